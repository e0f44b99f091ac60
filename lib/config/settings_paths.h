#pragma once

#include <string>

// The user's application-data folder with "ZQV" appended (ANSI). Empty when
// the system cannot name the application-data folder.
std::string SettingsFolderPath();

// SettingsFolderPath() with "config.ini" appended (ANSI). Empty when the
// folder is unknown.
std::string SettingsFilePath();

// An ANSI path in UTF-8, the form the configuration library expects.
std::string ToUtf8Path(const std::string& ansiPath);

// The folder of the module (DLL or program) that contains this code.
std::string ModuleFolderPath();

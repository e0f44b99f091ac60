#pragma once

#include <string>

// Points the user's application-data folder (the "AppData" user shell folder)
// at a fresh temporary folder for as long as it lives, then restores the old
// value and deletes the folder with everything in it. The change is visible
// to every process of the Wine prefix, so tests that use it hold the CTest
// resource lock "appdata".
class AppDataRedirect {
public:
    // folderName is created under the temporary folder; it may hold
    // characters outside ASCII (given as UTF-16).
    explicit AppDataRedirect(const std::wstring& folderName = L"telvara-appdata");
    ~AppDataRedirect();
    AppDataRedirect(const AppDataRedirect&) = delete;
    AppDataRedirect& operator=(const AppDataRedirect&) = delete;

    // The redirected application-data folder, in the ANSI code page.
    const std::string& Folder() const { return m_folder; }
    // Folder() + "\ZQV" and Folder() + "\ZQV\config.ini".
    std::string SettingsFolder() const { return m_folder + "\\ZQV"; }
    std::string SettingsFile() const { return m_folder + "\\ZQV\\config.ini"; }

private:
    std::wstring m_folderWide;
    std::string m_folder;
    std::wstring m_savedValue;
    unsigned long m_savedType = 0;
    bool m_hadValue = false;
};

// Writes bytes to a file (created or truncated); throws on failure.
void WriteFileBytes(const std::string& path, const std::string& bytes);
// Reads a whole file; throws on failure.
std::string ReadFileBytes(const std::string& path);

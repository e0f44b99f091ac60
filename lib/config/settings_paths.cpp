#include "settings_paths.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <vector>

namespace {
constexpr const char* kSettingsFolderName = "ZQV";
constexpr const char* kSettingsFileName = "config.ini";
}

std::string SettingsFolderPath()
{
    char path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path))) {
        return {};
    }
    if (!PathAppendA(path, kSettingsFolderName)) {
        return {};
    }
    return path;
}

std::string SettingsFilePath()
{
    std::string folder = SettingsFolderPath();
    if (folder.empty()) {
        return {};
    }
    char path[MAX_PATH] = {};
    lstrcpynA(path, folder.c_str(), MAX_PATH);
    if (!PathAppendA(path, kSettingsFileName)) {
        return {};
    }
    return path;
}

std::string ToUtf8Path(const std::string& ansiPath)
{
    if (ansiPath.empty()) {
        return {};
    }
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, ansiPath.data(), static_cast<int>(ansiPath.size()), nullptr, 0);
    if (wideLength <= 0) {
        return {};
    }
    std::vector<wchar_t> wide(static_cast<size_t>(wideLength));
    MultiByteToWideChar(CP_ACP, 0, ansiPath.data(), static_cast<int>(ansiPath.size()), wide.data(), wideLength);
    const int utf8Length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (utf8Length <= 0) {
        return {};
    }
    std::string utf8(static_cast<size_t>(utf8Length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, utf8.data(), utf8Length, nullptr, nullptr);
    return utf8;
}

std::string ModuleFolderPath()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ModuleFolderPath), &module)) {
        return {};
    }
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    PathRemoveFileSpecA(path);
    return path;
}

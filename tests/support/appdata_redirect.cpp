#include "appdata_redirect.h"

#include <windows.h>
#include <shellapi.h>

#include <stdexcept>
#include <vector>

namespace {

constexpr const wchar_t* kShellFolders = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

HKEY OpenShellFolders()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kShellFolders, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot open the User Shell Folders key");
    }
    return key;
}

std::string ToAnsi(const std::wstring& wide)
{
    const int length = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, ansi.data(), length, nullptr, nullptr);
    ansi.resize(static_cast<size_t>(length) - 1);
    return ansi;
}

void DeleteTree(const std::wstring& folder)
{
    // SHFileOperation wants a list ending in two terminators.
    std::wstring from = folder;
    from.push_back(L'\0');
    SHFILEOPSTRUCTW operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_NO_UI;
    SHFileOperationW(&operation);
}

}  // namespace

AppDataRedirect::AppDataRedirect(const std::wstring& folderName)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_folderWide = std::wstring(temp) + folderName + L"-" + std::to_wstring(GetCurrentProcessId());
    DeleteTree(m_folderWide);
    if (!CreateDirectoryW(m_folderWide.c_str(), nullptr)) {
        throw std::runtime_error("cannot create the temporary application-data folder");
    }
    m_folder = ToAnsi(m_folderWide);

    HKEY key = OpenShellFolders();
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, L"AppData", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<wchar_t> value(size / sizeof(wchar_t) + 1, L'\0');
        RegQueryValueExW(key, L"AppData", nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size);
        m_savedValue = value.data();
        m_savedType = type;
        m_hadValue = true;
    }
    RegSetValueExW(key, L"AppData", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_folderWide.c_str()),
                   static_cast<DWORD>((m_folderWide.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

AppDataRedirect::~AppDataRedirect()
{
    HKEY key = OpenShellFolders();
    if (m_hadValue) {
        RegSetValueExW(key, L"AppData", 0, m_savedType, reinterpret_cast<const BYTE*>(m_savedValue.c_str()),
                       static_cast<DWORD>((m_savedValue.size() + 1) * sizeof(wchar_t)));
    } else {
        RegDeleteValueW(key, L"AppData");
    }
    RegCloseKey(key);
    DeleteTree(m_folderWide);
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot create " + path);
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != bytes.size()) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string ReadFileBytes(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open " + path);
    }
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    const BOOL ok = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    if (!ok || read != bytes.size()) {
        throw std::runtime_error("cannot read " + path);
    }
    return bytes;
}

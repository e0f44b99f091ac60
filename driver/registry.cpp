#include "registry.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kKeyNameSize = 360;

std::string Join(const char* parent, const char* name)
{
    char path[2 * kKeyNameSize];
    std::snprintf(path, sizeof path, "%s\\%s", parent, name);
    return path;
}

// Every key below path (depth first, children before their parent), then path.
void CollectKeys(HKEY root, const std::string& path, std::vector<std::string>& keys)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return;
    }
    std::vector<std::string> children;
    char name[kKeyNameSize];
    for (DWORD index = 0; RegEnumKeyA(key, index, name, sizeof name) == ERROR_SUCCESS; ++index) {
        children.push_back(Join(path.c_str(), name));
    }
    RegCloseKey(key);
    for (const std::string& child : children) {
        CollectKeys(root, child, keys);
    }
    keys.push_back(path);
}

}  // namespace

int RegKeyExists(HKEY root, const char* path)
{
    if (!path) {
        return -1;
    }
    HKEY key = nullptr;
    if (RegOpenKeyA(root, path, &key) != ERROR_SUCCESS) {
        return 0;
    }
    RegCloseKey(key);
    return 1;
}

int RegCreateSubKey(HKEY root, const char* parent, const char* name)
{
    if (RegKeyExists(root, Join(parent, name).c_str()) == 1) {
        return 0;
    }
    HKEY parentKey = nullptr;
    if (RegOpenKeyA(root, parent, &parentKey) != ERROR_SUCCESS) {
        return -1;
    }
    HKEY key = nullptr;
    const LONG created = RegCreateKeyA(parentKey, name, &key);
    RegCloseKey(parentKey);
    if (created != ERROR_SUCCESS) {
        return -1;
    }
    RegCloseKey(key);
    return 0;
}

int RegSetString(HKEY root, const char* path, const char* valueName, const char* text)
{
    HKEY key = nullptr;
    if (RegOpenKeyA(root, path, &key) != ERROR_SUCCESS) {
        return -1;
    }
    const LONG written = RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                        static_cast<DWORD>(std::strlen(text) + 1));
    RegCloseKey(key);
    return written == ERROR_SUCCESS ? 0 : -1;
}

int RegReadString(HKEY root, const char* path, const char* valueName, char* buffer, DWORD size)
{
    HKEY key = nullptr;
    if (RegOpenKeyA(root, path, &key) != ERROR_SUCCESS) {
        return -1;
    }
    DWORD type = 0;
    DWORD needed = 0;
    int result = -1;
    if (RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &needed) == ERROR_SUCCESS && needed <= size &&
        RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &needed) == ERROR_SUCCESS) {
        // A value stored without its terminator still reads as a string.
        buffer[needed < size ? needed : size - 1] = '\0';
        result = 0;
    }
    RegCloseKey(key);
    return result;
}

int RegDeleteKeyTree(HKEY root, const char* parent, const char* name)
{
    HKEY parentKey = nullptr;
    if (RegOpenKeyA(root, parent, &parentKey) != ERROR_SUCCESS) {
        return -1;
    }
    RegCloseKey(parentKey);
    std::vector<std::string> keys;
    CollectKeys(root, Join(parent, name), keys);
    int deleted = 0;
    for (const std::string& key : keys) {
        if (RegDeleteKeyA(root, key.c_str()) == ERROR_SUCCESS) {
            ++deleted;
        }
    }
    return deleted > 0 ? 0 : -1;
}

#include "driver_registration.h"

#include "registry.h"

#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr DWORD kPathSize = 360;

struct ModuleIdentity {
    char path[kPathSize];
    char classText[100];
};

// Steps shared by registration and removal: the module's lower-case path and
// the class id as ANSI text.
int Identify(REFCLSID clsid, const char* moduleName, ModuleIdentity& identity)
{
    HMODULE module = GetModuleHandleA(moduleName);
    if (!module) {
        return kRegistrationNotLoaded;
    }
    identity.path[0] = '\0';
    GetModuleFileNameA(module, identity.path, kPathSize);
    if (!identity.path[0]) {
        return kRegistrationNoPath;
    }
    CharLowerA(identity.path);
    LPOLESTR wideText = nullptr;
    if (FAILED(StringFromCLSID(clsid, &wideText))) {
        return kRegistrationNoClassText;
    }
    const int converted = WideCharToMultiByte(CP_ACP, 0, wideText, -1, identity.classText,
                                              sizeof identity.classText, nullptr, nullptr);
    CoTaskMemFree(wideText);
    return converted > 0 ? 0 : kRegistrationNoAnsiClassText;
}

std::string Path(const char* a, const char* b)
{
    char path[2 * kPathSize];
    std::snprintf(path, sizeof path, "%s\\%s", a, b);
    return path;
}

std::string Path(const char* a, const char* b, const char* c)
{
    char path[3 * kPathSize];
    std::snprintf(path, sizeof path, "%s\\%s\\%s", a, b, c);
    return path;
}

}  // namespace

int RegisterDriverServer(REFCLSID clsid, const char* moduleName, const char* keyName, const char* description,
                         const char* threadingModel)
{
    ModuleIdentity identity;
    if (const int failure = Identify(clsid, moduleName, identity)) {
        return failure;
    }
    const std::string classKey = Path("CLSID", identity.classText);
    const std::string serverKey = Path("CLSID", identity.classText, "InprocServer32");
    bool classCurrent = false;
    if (RegKeyExists(HKEY_CLASSES_ROOT, classKey.c_str()) == 1) {
        char registered[kPathSize] = {};
        if (RegReadString(HKEY_CLASSES_ROOT, serverKey.c_str(), nullptr, registered, sizeof registered) == 0) {
            CharLowerA(registered);
            classCurrent = std::strcmp(registered, identity.path) == 0;
        }
        if (!classCurrent) {
            RegDeleteKeyTree(HKEY_CLASSES_ROOT, "CLSID", identity.classText);
        }
    }
    if (!classCurrent) {
        RegCreateSubKey(HKEY_CLASSES_ROOT, "CLSID", identity.classText);
        RegSetString(HKEY_CLASSES_ROOT, classKey.c_str(), nullptr, description);
        RegCreateSubKey(HKEY_CLASSES_ROOT, classKey.c_str(), "InprocServer32");
        RegSetString(HKEY_CLASSES_ROOT, serverKey.c_str(), nullptr, identity.path);
        RegSetString(HKEY_CLASSES_ROOT, serverKey.c_str(), "ThreadingModel", threadingModel);
    }

    const std::string asioKey = Path("SOFTWARE", "ASIO");
    if (RegKeyExists(HKEY_LOCAL_MACHINE, asioKey.c_str()) == 1) {
        if (RegKeyExists(HKEY_LOCAL_MACHINE, Path("SOFTWARE", "ASIO", keyName).c_str()) == 1) {
            RegDeleteKeyTree(HKEY_LOCAL_MACHINE, asioKey.c_str(), keyName);
        }
    } else {
        RegCreateSubKey(HKEY_LOCAL_MACHINE, "SOFTWARE", "ASIO");
    }
    const std::string driverKey = Path("SOFTWARE", "ASIO", keyName);
    RegCreateSubKey(HKEY_LOCAL_MACHINE, asioKey.c_str(), keyName);
    RegSetString(HKEY_LOCAL_MACHINE, driverKey.c_str(), "CLSID", identity.classText);
    return RegSetString(HKEY_LOCAL_MACHINE, driverKey.c_str(), "Description", description);
}

int UnregisterDriverServer(REFCLSID clsid, const char* moduleName, const char* keyName)
{
    ModuleIdentity identity;
    if (const int failure = Identify(clsid, moduleName, identity)) {
        return failure;
    }
    if (RegKeyExists(HKEY_CLASSES_ROOT, Path("CLSID", identity.classText).c_str()) == 1) {
        RegDeleteKeyTree(HKEY_CLASSES_ROOT, "CLSID", identity.classText);
    }
    const std::string asioKey = Path("SOFTWARE", "ASIO");
    if (RegKeyExists(HKEY_LOCAL_MACHINE, asioKey.c_str()) == 1 &&
        RegKeyExists(HKEY_LOCAL_MACHINE, Path("SOFTWARE", "ASIO", keyName).c_str()) == 1) {
        RegDeleteKeyTree(HKEY_LOCAL_MACHINE, asioKey.c_str(), keyName);
    }
    return 0;
}

#include "driver_registry.h"

#include <objbase.h>

namespace {

bool ReadString(HKEY key, const char* valueName, std::string& text)
{
    char buffer[512];
    DWORD size = sizeof buffer;
    DWORD type = 0;
    if (RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    buffer[size < sizeof buffer ? size : sizeof buffer - 1] = '\0';
    text = buffer;
    return true;
}

}  // namespace

std::vector<RegisteredDriver> ListRegisteredDrivers()
{
    std::vector<RegisteredDriver> drivers;
    HKEY asio = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO", 0, KEY_READ, &asio) != ERROR_SUCCESS) {
        return drivers;
    }
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(asio, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        HKEY key = nullptr;
        if (RegOpenKeyExA(asio, name, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            continue;
        }
        RegisteredDriver driver{name, {}, {}};
        std::string clsidText;
        ReadString(key, "Description", driver.description);
        if (ReadString(key, "CLSID", clsidText)) {
            std::wstring wide(clsidText.begin(), clsidText.end());
            if (SUCCEEDED(CLSIDFromString(wide.c_str(), &driver.clsid))) {
                drivers.push_back(driver);
            }
        }
        RegCloseKey(key);
    }
    RegCloseKey(asio);
    return drivers;
}

bool FindRegisteredDriver(const std::string& name, RegisteredDriver& driver)
{
    for (const RegisteredDriver& candidate : ListRegisteredDrivers()) {
        if (lstrcmpiA(candidate.keyName.c_str(), name.c_str()) == 0 ||
            lstrcmpiA(candidate.description.c_str(), name.c_str()) == 0) {
            driver = candidate;
            return true;
        }
    }
    return false;
}

#include "server_registration.h"

#include "driver_registration.h"
#include "message_box.h"
#include "telvara_driver.h"

#include <cstdio>

namespace {
// telvara_x64.dll, or telvara_x86.dll in the 32-bit build: registration
// finds the library by this name among the loaded modules.
constexpr const char* kModuleName = TELVARA_DRIVER_FILE;
constexpr const char* kAsioKeyName = "TelvaraDriver";
constexpr const char* kDescription = "TELVARA";
}  // namespace

HRESULT RegisterServer()
{
    const int result = RegisterDriverServer(CLSID_TelvaraDriver, kModuleName, kAsioKeyName, kDescription, "Apartment");
    if (result != 0) {
        char text[128];
        std::snprintf(text, sizeof text, "Register Server failed ! (%d)", result);
        ShowMessageBox(text, "TELVARA Virtual Driver", MB_OK);
        return -1;
    }
    return S_OK;
}

HRESULT UnregisterServer()
{
    const int result = UnregisterDriverServer(CLSID_TelvaraDriver, kModuleName, kAsioKeyName);
    if (result != 0) {
        char text[128];
        std::snprintf(text, sizeof text, "Unregister Server failed ! (%d)", result);
        ShowMessageBox(text, "ASIO IAudio I/O Driver", MB_OK);
        return -1;
    }
    return S_OK;
}

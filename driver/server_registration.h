#pragma once

#include <windows.h>

// The bodies of DllRegisterServer and DllUnregisterServer: registration of
// this driver, with a message box naming the code when it fails.
HRESULT RegisterServer();
HRESULT UnregisterServer();

#pragma once

#include "asio.h"

#include <windows.h>

// The module that holds the driver object's code (its first method lives
// there), for the exports a host reads beside IASIO; null when unknown.
HMODULE DriverModule(IASIO* driver);

// The function the driver's module exports under that name, or null when
// the module or the export is missing.
template <typename Function>
Function DriverExport(IASIO* driver, const char* name)
{
    HMODULE module = DriverModule(driver);
    return module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

#pragma once

#include "asio.h"

#include <windows.h>

// The module that holds the driver object's code (its first method lives
// there), for the exports a host reads beside IASIO; null when unknown.
HMODULE DriverModule(IASIO* driver);

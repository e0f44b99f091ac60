#pragma once

#include "asio.h"

// Prints what the driver made of each configured device at its latest open
// ("devices:" and one indented line per device), or that the driver does
// not report it. Call after init, failed or not, while the driver is loaded.
void PrintDeviceReport(IASIO* driver);

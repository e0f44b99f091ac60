#pragma once

#include "asio.h"

// Prints the underrun and overrun frames that the simulated devices behind
// the driver counted, or that the driver (the shipped one) has no such
// counts. Call after stop, while the driver is still loaded.
void PrintSimulatedStreamCounts(IASIO* driver);

#pragma once

#include "asio.h"

// Prints, per render device of the running stream, how it follows the
// clock master: its rate against the master's in ppm, the resampling ratio,
// the frames queued on it, its offset from its configured delay,
// re-synchronisations and skipped blocks; or that the driver tells none.
// Call while the stream runs.
void PrintDriftFigures(IASIO* driver, double sampleRate);

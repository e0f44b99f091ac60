#pragma once

// The INI description of a device model (format in README.md).

#include "kssim.h"

#include <optional>
#include <string>
#include <vector>

namespace kssim::detail {

struct Description {
    std::vector<DeviceModel> devices;
    ClockMode clockMode = ClockMode::RealTime;
    bool ksUserMissing = false;
    // Virtual-clock injections (see Simulation::SetSeed and the others).
    uint64_t seed = 1;
    double jitterMs = 0.0;
    int positionNoiseFrames = 0;
};

// Reads and checks a description file. Relative file names in it are taken
// from the file's own folder. Throws std::runtime_error with
// "<file>:<line>: <reason>" (line 0 when the file cannot be read at all).
Description ReadDescription(const std::string& path);
// The same for text already in memory; path only names it in errors and
// gives the folder relative file names start from.
Description ParseDescription(const std::string& text, const std::string& path);

}  // namespace kssim::detail

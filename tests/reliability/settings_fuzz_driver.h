#pragma once

#include <string>

// The driver's side of the settings fuzzing: the simulated devices the valid
// file names, and one driver object taken through init with a given file.
namespace SettingsFuzz {

// Replaces the simulated hardware with the devices of ValidFile() ("Spk A",
// "Spk B", "Mic") on the fast clock.
void UseValidFileDevices();

// Writes `bytes` to `settingsPath`, creates a driver object and inits it.
// When init succeeds, the driver's answers (channels, buffer sizes, rate)
// must be ones a host can use, and two outputs and an input (as far as there
// are any) must stream; when it fails, getErrorMessage must say why. The
// object is released and every simulated handle must be closed again.
// Empty when all holds, otherwise what did not.
std::string DriverInitViolation(const std::string& settingsPath, const std::string& bytes, bool* initialised = nullptr);

}  // namespace SettingsFuzz

#pragma once

// The global named events shared by the driver and the control panel. The
// wait index of each is its position here.
namespace TelvaraEvents {
inline constexpr const char* kSettingsChanged = "Global\\TELVARA_CTL_COMING_EVENT";
inline constexpr const char* kOutputDelayChanged = "Global\\TELVARA_CTL_OUTLATENCY_EVENT";
inline constexpr const char* kDeviceSync = "Global\\TELVARA_CTL_DEVSYNC_EVENT";
inline constexpr const char* kExit = "Global\\TELVARA_CTL_EXIT_EVENT";
}  // namespace TelvaraEvents

// Opens the named event with all access, sets it and closes it again. False
// when no such event exists (no control thread alive anywhere).
bool SetNamedEvent(const char* name);

// Creates (or opens) a named auto-reset event that every process of the
// same user may open with all access, whatever the integrity level of the
// process that created it: an elevated host and a normal panel meet here.
// Null on failure.
void* CreateSharedEvent(const char* name);

#pragma once

#include <cstdint>
#include <string>

// The link between the control panel and the drivers of every host process:
// global named events, by meaning.
//
// The panel sets the base event of a meaning ("open it by name, set it,
// close it"); the base events are auto-reset, so one signal wakes one
// waiting driver process, whichever. That process takes the change up and
// passes it on to every other driver process through their own events: the
// base name with ".<process id>" behind it. So every running driver takes
// up every signal, and the panel's side stays as simple as it always was.
enum class LinkSignal {
    SettingsChanged,     // the panel wrote settings a running driver takes up (volume)
    OutputDelayChanged,  // the panel wrote a render device's output delay
};

inline constexpr LinkSignal kLinkSignals[] = {LinkSignal::SettingsChanged, LinkSignal::OutputDelayChanged};

namespace TelvaraEvents {
inline constexpr const char* kSettingsChanged = "Global\\TELVARA_CTL_COMING_EVENT";
inline constexpr const char* kOutputDelayChanged = "Global\\TELVARA_CTL_OUTLATENCY_EVENT";
}  // namespace TelvaraEvents

// The base event's name of a meaning.
const char* LinkEventName(LinkSignal signal);
// The event of one driver process for that meaning.
std::string ProcessLinkEventName(LinkSignal signal, uint32_t processId);

// Opens the named event with all access, sets it and closes it again. False
// when no such event exists (no driver listens anywhere).
bool SetNamedEvent(const char* name);
// The panel's side: sets the base event of the meaning.
bool SignalDrivers(LinkSignal signal);
// A driver's side: passes a signal taken from the base event on to every
// other driver process. Answers how many processes it reached.
int RelayToOtherDriverProcesses(LinkSignal signal);

// Creates (or opens) a named auto-reset event that every process of the
// same user may open with all access, whatever the integrity level of the
// process that created it: an elevated host and a normal panel meet here.
// Null on failure (GetLastError tells why).
void* CreateSharedEvent(const char* name);

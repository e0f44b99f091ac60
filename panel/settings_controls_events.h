#pragma once

// The panel sets the driver's named events through the link both programs
// share, so both open the events the same way.
#include "named_events.h"

#include <functional>

// Sets one named event; true when the event could be opened. Tests put a
// recorder in place of SetNamedEvent.
using NamedEventSetter = std::function<bool(const char* name)>;

#pragma once

// The panel sets the driver's named events through the driver's own helper,
// so both programs open the events the same way.
#include "../driver/named_events.h"

#include <functional>

// Sets one named event; true when the event could be opened. Tests put a
// recorder in place of SetNamedEvent.
using NamedEventSetter = std::function<bool(const char* name)>;

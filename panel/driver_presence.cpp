#include "driver_presence.h"

#include "settings_controls_events.h"

#include <windows.h>

bool IsDriverInUse()
{
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, TelvaraEvents::kSettingsChanged);
    if (!event) {
        return false;
    }
    CloseHandle(event);
    return true;
}

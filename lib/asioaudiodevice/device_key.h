#pragma once

#include <cstdio>
#include <string_view>

// Internal key of the open device of 0-based `index`: "TelvaraDevice" and
// index + 1, formatted into a caller's buffer so a look-up allocates nothing.
struct DeviceKey {
    explicit DeviceKey(unsigned index) { std::snprintf(text, sizeof text, "TelvaraDevice%u", index + 1); }
    std::string_view View() const { return text; }
    char text[32];
};

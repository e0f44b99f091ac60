#pragma once

#include "device_catalogue.h"

#include <cstdint>
#include <string>

// What an item of the device tree stands for.
namespace PanelItemKind {
inline constexpr int32_t kRecording = 0;  // recording group or recording channel
inline constexpr int32_t kPlayback = 1;   // playback group or playback channel
inline constexpr int32_t kDevice = 3;     // device item at the root
}  // namespace PanelItemKind

// The record behind every tree item: one per item, owned by the item.
struct PanelTreeItem {
    bool isChannel = false;
    int32_t kind = PanelItemKind::kDevice;
    int32_t channel = 0;   // channel items: index within the direction, from 0
    std::string name;      // the device's unique name, its key in config.ini
    DeviceEntry device;    // the scanned device: render and capture data ranges
};

// Link values of the panel: a link n >= 0 names output channel n.
namespace ChannelLinks {
inline constexpr int32_t kAutomatic = -1;
inline constexpr int32_t kNotMapped = -2;
}  // namespace ChannelLinks

// Only the blank (0x20) is trimmed, at both ends: device names are stored so.
std::string TrimSpaces(const std::string& text);

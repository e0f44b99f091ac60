#pragma once

#include "device_tree_item.h"
#include "driver_settings.h"

#include <string>
#include <vector>

// The device tree as the panel shows it, worked out from the scanned devices
// and the loaded settings without any window: which items exist, their texts,
// their check states and the running channel numbers.
struct DeviceTreeNode {
    std::string text;
    bool checked = false;
    PanelTreeItem item;
    std::vector<DeviceTreeNode> children;
};

struct DeviceTreeLayout {
    std::vector<DeviceTreeNode> devices;   // root items, in byte-wise name order
    // Entries of the channel list: "自动分配" first, then one "声道%d" per
    // output channel number (entry k + 1 stands for output channel k).
    std::vector<std::string> channelList;
};

// Item texts are cut to this many bytes.
inline constexpr size_t kTreeItemTextBytes = 499;

// Every device of the scan in key order. A direction is listed when the
// device's maximum rate of that direction reaches the settings' sample rate;
// a device with neither direction is left out. Output channels are numbered
// over all playback channel items, input channels over all recording ones.
DeviceTreeLayout BuildDeviceTree(const DeviceTable& devices, const DriverSettings& settings);

// Whether the item's box is checked for the settings as they stand; the one
// rule for the first build and for every later change of the tables.
bool IsItemChecked(const PanelTreeItem& item, const DriverSettings& settings);

// Whether the device lists a direction at the given sample rate.
bool ListsPlayback(const DeviceEntry& device, int32_t sampleRate);
bool ListsRecording(const DeviceEntry& device, int32_t sampleRate);

// The settings of a device in a table, looked up by its trimmed name; null
// when the table has no entry.
const DeviceSettings* FindDeviceSettings(const DeviceSettingsTable& table, const std::string& name);

// The text of a link inside an item text: the number, or "自动分配" for -1.
std::string LinkText(int32_t link);

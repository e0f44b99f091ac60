#pragma once

#include "device_tree_item.h"
#include "driver_settings.h"

#include <string>
#include <vector>

// The device tree as the panel shows it, worked out from the scanned devices
// and the settings without any window: which items exist, their texts, their
// check states and the channel list. The one source of every text and box:
// the dialog shows what this works out, after every change as at the start.
struct DeviceTreeNode {
    std::string text;
    bool checked = false;
    PanelTreeItem item;
    std::vector<DeviceTreeNode> children;
};

struct DeviceTreeLayout {
    std::vector<DeviceTreeNode> devices;   // root items, in byte-wise name order
    // Entries of the channel list: "自动分配" first, then one "声道%d" per
    // output channel the ticked playback devices make (entry k + 1 stands
    // for output channel k), as the driver numbers its outputs.
    std::vector<std::string> channelList;
    int outputChannels = 0;
    // Some listed device is in the "out" or "in" list.
    bool anyTicked = false;
};

// Item texts are cut to this many bytes.
inline constexpr size_t kTreeItemTextBytes = 499;

// Every device of the scan in key order. A direction is listed when the
// device's maximum rate of that direction reaches the settings' sample rate;
// a device with neither direction is left out. A listed direction whose pin
// instances the scan found all taken ends in "(被占用)", and so does its
// device. The chosen clock master (IsClockMaster) ends in "(主时钟)" after
// that. Recording channels are listed for devices in the "in" list and
// numbered over the inserted items.
DeviceTreeLayout BuildDeviceTree(const DeviceTable& devices, const DriverSettings& settings);

// The outputs a driver opening these settings has: the channels of every
// device in the "out" list whose playback is listed at the sample rate.
int OutputChannelCount(const DeviceTable& devices, const DriverSettings& settings);

// Whether the item's box is checked for the settings as they stand: a
// device through a direction it lists, a group when its device is in that
// direction's list, a channel when its own link (the left one for the first
// channel, the right one for every other) maps it.
bool IsItemChecked(const PanelTreeItem& item, const DriverSettings& settings);

// Whether a driver opening these settings opens the device: for playback
// when the "out" list has it with channels and it plays at the rate, for
// recording likewise with the "in" list.
bool OpensDevice(const std::string& name, const DeviceEntry& device, const DriverSettings& settings);

// Whether the device is the clock master the user chose: "ClockMaster"
// names it and the driver opens it. Without one the driver's first playback
// device is the master, and no item says so.
bool IsClockMaster(const std::string& name, const DeviceEntry& device, const DriverSettings& settings);

// Whether the device lists a direction at the given sample rate.
bool ListsPlayback(const DeviceEntry& device, int32_t sampleRate);
bool ListsRecording(const DeviceEntry& device, int32_t sampleRate);

// The settings of a device in a table, looked up by its trimmed name; null
// when the table has no entry.
const DeviceSettings* FindDeviceSettings(const DeviceSettingsTable& table, const std::string& name);

// The link a channel plays: the left link for the first channel, the right
// link for every other.
int32_t LinkOfChannel(const DeviceSettings& record, int32_t channel);
// A link that plays something: automatic or an output channel.
bool IsMapped(int32_t link);

// The text of a link inside an item text: "自动分配" for -1, "未映射" for
// the links that leave a channel silent, the number for an output channel
// the driver has, and "%d(无此声道)" for one beyond its outputs.
std::string LinkText(int32_t link, int outputChannels);

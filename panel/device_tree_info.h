#pragma once

#include "device_tree_item.h"
#include "driver_settings.h"

#include <string>

// What the device pane shows for the highlighted tree item, and which of its
// controls act on it.
struct ItemInfo {
    std::string caption;           // the device's unique name (group box 1013)
    // "%d-%dHz" and "%d-%dBit": the capture range for recording items and
    // for devices that only record, the render range otherwise.
    std::string rateRange;
    std::string bitsRange;
    // Device and playback group items of a device that plays at the rate:
    // the output-delay controls, enabled once the device is in the "out"
    // list (a delay belongs to a device the driver opens).
    bool showDelayControls = false;
    bool enableDelay = false;
    int delayPosition = 0;         // output-delay slider
    std::string delayText;         // "%.2fms"
    // Playback channel items: list 1010 and its label, with the entry of the
    // channel's link selected (-1: none, for a channel that plays nothing).
    bool showChannelList = false;
    int channelSelection = -1;
    // A line for the status bar about this item; empty for none.
    std::string notice;
};

// outputChannels: the outputs the ticked devices make (the channel list's
// entries after "自动分配").
ItemInfo DescribeItem(const PanelTreeItem& item, const DriverSettings& settings, int outputChannels);

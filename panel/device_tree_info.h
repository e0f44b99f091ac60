#pragma once

#include "device_tree_item.h"
#include "driver_settings.h"

#include <string>

// What the side controls show for a clicked tree item.
struct ItemInfo {
    std::string caption;           // the device's unique name (group box 1013)
    std::string rateRange;         // "%d-%dHz" of the render range, for every item kind
    std::string bitsRange;         // "%d-%dBit" of the render range
    int delayPosition = 0;         // output-delay slider
    std::string delayText;         // "%.2fms"
    bool showDelayControls = false;  // device and group items
    bool showChannelList = false;    // playback channel items: list 1010 and its label
    // Playback channel of a device in the "out" list: the entry to select in
    // the channel list (link + 1; -1 selects none). Otherwise the selection
    // stays as it is.
    bool selectChannel = false;
    int channelSelection = -1;
};

ItemInfo DescribeItem(const PanelTreeItem& item, const DriverSettings& settings);

#pragma once

#include "device_tree_item.h"
#include "device_tree_model.h"

#include <string>
#include <vector>

// A scanned device: render and capture data ranges with the given channel
// counts and maximum rates (0 channels and 0 Hz: the device lacks that
// direction). Minimum rate 8000 Hz, bits 16 to 24.
DeviceEntry ScannedDevice(unsigned renderChannels, unsigned renderMaxRate, unsigned captureChannels = 0,
                          unsigned captureMaxRate = 0);

// A settings record with the given channel count and links.
DeviceSettings Record(int channels, int left, int right, float outLatency = 0.0f);

// The item record of a tree item of a device.
PanelTreeItem Item(const std::string& name, const DeviceEntry& device, int32_t kind, bool isChannel = false,
                   int32_t channel = 0);

// Texts and checks of a subtree, one "text|x" or "text| " per item, depth
// first, children indented by two blanks: easy to compare whole.
std::vector<std::string> Outline(const std::vector<DeviceTreeNode>& nodes);

// A text written in UTF-8 in the test, as the GBK bytes the panel uses.
std::string Gbk(const std::string& utf8);

// Lines written in UTF-8 in the test, as GBK bytes.
std::vector<std::string> GbkLines(const std::vector<std::string>& utf8);

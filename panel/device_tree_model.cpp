#include "device_tree_model.h"

#include "device_tree_texts.h"

#include <cstdio>

namespace {

std::string Format(const char* format, const char* side, const std::string& link)
{
    char text[kTreeItemTextBytes + 1];
    std::snprintf(text, sizeof text, format, side, link.c_str());
    return text;
}

std::string Format(const char* format, int first, int second = 0)
{
    char text[kTreeItemTextBytes + 1];
    std::snprintf(text, sizeof text, format, first, second);
    return text;
}

const char* Side(int32_t channel)
{
    return channel == 0 ? DeviceTreeTexts::kLeft : DeviceTreeTexts::kRight;
}

// The link that decides a channel's box: a stereo device's second channel
// follows the right link, every other channel the left one.
int32_t DecidingLink(const DeviceSettings& record, uint32_t deviceChannels, int32_t channel)
{
    return deviceChannels == 2 && channel != 0 ? record.channelLinkRight : record.channelLinkLeft;
}

std::string PlaybackChannelText(const DeviceSettings* record, uint32_t deviceChannels, int32_t channel,
                                int outputNumber)
{
    if (deviceChannels != 2) {
        return Format(DeviceTreeTexts::kPlaybackChannel, channel, outputNumber);
    }
    if (!record || record->channelLinkLeft == ChannelLinks::kNotMapped ||
        record->channelLinkRight == ChannelLinks::kNotMapped) {
        char text[kTreeItemTextBytes + 1];
        std::snprintf(text, sizeof text, DeviceTreeTexts::kStereoUnmapped, Side(channel));
        return text;
    }
    const int32_t link = channel == 0 ? record->channelLinkLeft : record->channelLinkRight;
    return Format(DeviceTreeTexts::kStereoChannel, Side(channel), LinkText(link));
}

std::string RecordingChannelText(const DeviceSettings& record, uint32_t deviceChannels, int32_t channel,
                                 int inputNumber)
{
    if (deviceChannels != 2) {
        return Format(DeviceTreeTexts::kRecordingChannel, inputNumber);
    }
    const int32_t link = channel == 0 ? record.channelLinkLeft : record.channelLinkRight;
    return Format(DeviceTreeTexts::kStereoChannel, Side(channel), LinkText(link));
}

PanelTreeItem ItemOf(const std::string& name, const DeviceEntry& device, int32_t kind, bool isChannel = false,
                     int32_t channel = 0)
{
    PanelTreeItem item;
    item.isChannel = isChannel;
    item.kind = kind;
    item.channel = channel;
    item.name = name;
    item.device = device;
    return item;
}

DeviceTreeNode Node(std::string text, PanelTreeItem item, const DriverSettings& settings)
{
    DeviceTreeNode node;
    node.text = text.substr(0, kTreeItemTextBytes);
    node.checked = IsItemChecked(item, settings);
    node.item = std::move(item);
    return node;
}

}  // namespace

std::string TrimSpaces(const std::string& text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::string LinkText(int32_t link)
{
    return link == ChannelLinks::kAutomatic ? std::string(DeviceTreeTexts::kAutomatic) : std::to_string(link);
}

const DeviceSettings* FindDeviceSettings(const DeviceSettingsTable& table, const std::string& name)
{
    const auto it = table.find(TrimSpaces(name));
    return it == table.end() ? nullptr : &it->second;
}

bool ListsPlayback(const DeviceEntry& device, int32_t sampleRate)
{
    return device.render.dataRange.MaximumSampleFrequency >= static_cast<uint32_t>(sampleRate);
}

bool ListsRecording(const DeviceEntry& device, int32_t sampleRate)
{
    return device.capture.dataRange.MaximumSampleFrequency >= static_cast<uint32_t>(sampleRate);
}

bool IsItemChecked(const PanelTreeItem& item, const DriverSettings& settings)
{
    const DeviceSettings* output = FindDeviceSettings(settings.outputDevices, item.name);
    const DeviceSettings* input = FindDeviceSettings(settings.inputDevices, item.name);
    if (item.kind == PanelItemKind::kDevice) {
        return (output && ListsPlayback(item.device, settings.sampleRate)) ||
               (input && ListsRecording(item.device, settings.sampleRate));
    }
    const bool playback = item.kind == PanelItemKind::kPlayback;
    const DeviceSettings* record = playback ? output : input;
    if (!record) {
        return false;
    }
    if (!item.isChannel) {
        return true;
    }
    const uint32_t channels = playback ? item.device.render.dataRange.MaximumChannels
                                       : item.device.capture.dataRange.MaximumChannels;
    return DecidingLink(*record, channels, item.channel) != ChannelLinks::kNotMapped;
}

DeviceTreeLayout BuildDeviceTree(const DeviceTable& devices, const DriverSettings& settings)
{
    DeviceTreeLayout layout;
    layout.channelList.push_back(DeviceTreeTexts::kAutomatic);
    int outputNumber = 0;
    int inputNumber = 0;
    for (const auto& [name, device] : devices) {
        if (name.empty()) {
            continue;
        }
        DeviceTreeNode deviceNode = Node(name, ItemOf(name, device, PanelItemKind::kDevice), settings);
        if (ListsPlayback(device, settings.sampleRate)) {
            DeviceTreeNode group =
                Node(DeviceTreeTexts::kPlaybackGroup, ItemOf(name, device, PanelItemKind::kPlayback), settings);
            const DeviceSettings* record = FindDeviceSettings(settings.outputDevices, name);
            const uint32_t channels = device.render.dataRange.MaximumChannels;
            for (uint32_t c = 0; c < channels; ++c) {
                const auto channel = static_cast<int32_t>(c);
                group.children.push_back(Node(PlaybackChannelText(record, channels, channel, outputNumber),
                                              ItemOf(name, device, PanelItemKind::kPlayback, true, channel),
                                              settings));
                layout.channelList.push_back(Format(DeviceTreeTexts::kChannelListEntry, outputNumber));
                ++outputNumber;
            }
            deviceNode.children.push_back(std::move(group));
        }
        if (ListsRecording(device, settings.sampleRate)) {
            DeviceTreeNode group =
                Node(DeviceTreeTexts::kRecordingGroup, ItemOf(name, device, PanelItemKind::kRecording), settings);
            // Recording channels are listed only for a device in the "in" list.
            if (const DeviceSettings* record = FindDeviceSettings(settings.inputDevices, name)) {
                const uint32_t channels = device.capture.dataRange.MaximumChannels;
                for (uint32_t c = 0; c < channels; ++c) {
                    const auto channel = static_cast<int32_t>(c);
                    group.children.push_back(Node(RecordingChannelText(*record, channels, channel, inputNumber),
                                                  ItemOf(name, device, PanelItemKind::kRecording, true, channel),
                                                  settings));
                    ++inputNumber;
                }
            }
            deviceNode.children.push_back(std::move(group));
        }
        if (!deviceNode.children.empty()) {
            layout.devices.push_back(std::move(deviceNode));
        }
    }
    return layout;
}

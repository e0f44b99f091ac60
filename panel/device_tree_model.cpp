#include "device_tree_model.h"

#include "device_tree_texts.h"

#include <climits>
#include <cstdio>

namespace {

const char* Side(int32_t channel)
{
    return channel == 0 ? DeviceTreeTexts::kLeft : DeviceTreeTexts::kRight;
}

// A playback channel shows the link it plays: a stereo device with its side,
// any other with its channel index. Without an "out" entry nothing plays.
std::string PlaybackChannelText(const DeviceSettings* record, uint32_t deviceChannels, int32_t channel,
                                int outputChannels)
{
    const std::string link =
        record ? LinkText(LinkOfChannel(*record, channel), outputChannels) : std::string(DeviceTreeTexts::kNotMapped);
    char text[kTreeItemTextBytes + 1];
    if (deviceChannels == 2) {
        std::snprintf(text, sizeof text, DeviceTreeTexts::kStereoChannel, Side(channel), link.c_str());
    } else {
        std::snprintf(text, sizeof text, DeviceTreeTexts::kPlaybackChannel, static_cast<int>(channel), link.c_str());
    }
    return text;
}

// The driver records every channel of a device in the "in" list: a stereo
// device shows its sides, any other the input channel number it has.
std::string RecordingChannelText(const DeviceSettings& record, uint32_t deviceChannels, int32_t channel,
                                 int inputNumber)
{
    char text[kTreeItemTextBytes + 1];
    if (deviceChannels == 2) {
        std::snprintf(text, sizeof text, DeviceTreeTexts::kStereoChannel, Side(channel),
                      LinkText(LinkOfChannel(record, channel), INT_MAX).c_str());
    } else {
        std::snprintf(text, sizeof text, DeviceTreeTexts::kRecordingChannel, inputNumber);
    }
    return text;
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

bool HasChannels(const DeviceSettingsTable& table, const std::string& name)
{
    const DeviceSettings* record = FindDeviceSettings(table, name);
    return !name.empty() && record && record->maximumChannels > 0;
}

bool OpensForPlayback(const std::string& name, const DeviceEntry& device, const DriverSettings& settings)
{
    return HasChannels(settings.outputDevices, name) && ListsPlayback(device, settings.sampleRate);
}

DeviceTreeNode Node(const std::string& text, PanelTreeItem item, const DriverSettings& settings)
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

int32_t LinkOfChannel(const DeviceSettings& record, int32_t channel)
{
    return channel == 0 ? record.channelLinkLeft : record.channelLinkRight;
}

bool IsMapped(int32_t link)
{
    return link >= ChannelLinks::kAutomatic;
}

std::string LinkText(int32_t link, int outputChannels)
{
    if (link == ChannelLinks::kAutomatic) {
        return DeviceTreeTexts::kAutomatic;
    }
    if (!IsMapped(link)) {
        return DeviceTreeTexts::kNotMapped;
    }
    char text[64];
    std::snprintf(text, sizeof text, link < outputChannels ? "%d" : DeviceTreeTexts::kMissingOutput,
                  static_cast<int>(link));
    return text;
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
    const DeviceSettings* record = item.kind == PanelItemKind::kPlayback ? output : input;
    if (!record) {
        return false;
    }
    return !item.isChannel || IsMapped(LinkOfChannel(*record, item.channel));
}

int OutputChannelCount(const DeviceTable& devices, const DriverSettings& settings)
{
    // As the driver counts: the channels the settings give each device it
    // opens, in name order.
    int outputs = 0;
    for (const auto& [name, device] : devices) {
        if (OpensForPlayback(name, device, settings)) {
            outputs += FindDeviceSettings(settings.outputDevices, name)->maximumChannels;
        }
    }
    return outputs;
}

bool OpensDevice(const std::string& name, const DeviceEntry& device, const DriverSettings& settings)
{
    return OpensForPlayback(name, device, settings) ||
           (HasChannels(settings.inputDevices, name) && ListsRecording(device, settings.sampleRate));
}

bool IsClockMaster(const std::string& name, const DeviceEntry& device, const DriverSettings& settings)
{
    return !settings.clockMaster.empty() && TrimSpaces(name) == settings.clockMaster &&
           OpensDevice(name, device, settings);
}

DeviceTreeLayout BuildDeviceTree(const DeviceTable& devices, const DriverSettings& settings)
{
    DeviceTreeLayout layout;
    layout.outputChannels = OutputChannelCount(devices, settings);
    layout.channelList.push_back(DeviceTreeTexts::kAutomatic);
    for (int k = 0; k < layout.outputChannels; ++k) {
        char entry[32];
        std::snprintf(entry, sizeof entry, DeviceTreeTexts::kChannelListEntry, k);
        layout.channelList.push_back(entry);
    }
    int inputNumber = 0;
    for (const auto& [name, device] : devices) {
        if (name.empty()) {
            continue;
        }
        // A direction another program holds is marked, and so is its
        // device: the user sees it before ticking it.
        const bool playbackInUse = ListsPlayback(device, settings.sampleRate) && device.render.allInstancesTaken;
        const bool recordingInUse = ListsRecording(device, settings.sampleRate) && device.capture.allInstancesTaken;
        const auto marked = [](std::string text, bool inUse) { return inUse ? text + DeviceTreeTexts::kInUse : text; };
        std::string deviceText = marked(name, playbackInUse || recordingInUse);
        if (IsClockMaster(name, device, settings)) {
            deviceText += DeviceTreeTexts::kClockMaster;
        }
        DeviceTreeNode deviceNode = Node(deviceText, ItemOf(name, device, PanelItemKind::kDevice), settings);
        if (ListsPlayback(device, settings.sampleRate)) {
            DeviceTreeNode group = Node(marked(DeviceTreeTexts::kPlaybackGroup, playbackInUse),
                                        ItemOf(name, device, PanelItemKind::kPlayback), settings);
            const DeviceSettings* record = FindDeviceSettings(settings.outputDevices, name);
            const uint32_t channels = device.render.dataRange.MaximumChannels;
            for (uint32_t c = 0; c < channels; ++c) {
                const auto channel = static_cast<int32_t>(c);
                group.children.push_back(Node(PlaybackChannelText(record, channels, channel, layout.outputChannels),
                                              ItemOf(name, device, PanelItemKind::kPlayback, true, channel),
                                              settings));
            }
            deviceNode.children.push_back(std::move(group));
        }
        if (ListsRecording(device, settings.sampleRate)) {
            DeviceTreeNode group = Node(marked(DeviceTreeTexts::kRecordingGroup, recordingInUse),
                                        ItemOf(name, device, PanelItemKind::kRecording), settings);
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
            layout.anyTicked = layout.anyTicked || deviceNode.checked;
            layout.devices.push_back(std::move(deviceNode));
        }
    }
    return layout;
}

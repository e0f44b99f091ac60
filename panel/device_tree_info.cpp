#include "device_tree_info.h"

#include "device_tree_model.h"
#include "device_tree_texts.h"
#include "settings_controls_ranges.h"

#include <cstdio>

namespace {

std::string FormatRange(const char* format, ULONG minimum, ULONG maximum)
{
    char text[64];
    std::snprintf(text, sizeof text, format, static_cast<int>(minimum), static_cast<int>(maximum));
    return text;
}

}  // namespace

ItemInfo DescribeItem(const PanelTreeItem& item, const DriverSettings& settings, int outputChannels)
{
    ItemInfo info;
    info.caption = item.name;
    const bool plays = ListsPlayback(item.device, settings.sampleRate);
    const bool recordingSide =
        item.kind == PanelItemKind::kRecording || (item.kind == PanelItemKind::kDevice && !plays);
    const KSDATARANGE_AUDIO& range = recordingSide ? item.device.capture.dataRange : item.device.render.dataRange;
    info.rateRange = FormatRange(DeviceTreeTexts::kRateRange, range.MinimumSampleFrequency, range.MaximumSampleFrequency);
    info.bitsRange = FormatRange(DeviceTreeTexts::kBitsRange, range.MinimumBitsPerSample, range.MaximumBitsPerSample);

    const DeviceSettings* output = FindDeviceSettings(settings.outputDevices, item.name);
    info.showDelayControls = !item.isChannel && !recordingSide && plays;
    info.enableDelay = info.showDelayControls && output;
    const float outLatency = output ? output->outLatency : 0.0f;
    info.delayPosition = DelaySliderPosition(outLatency);
    info.delayText = DelayLabelText(outLatency);
    if (info.showDelayControls && !output) {
        info.notice = DeviceTreeTexts::kDelayNeedsTickNotice;
    }

    info.showChannelList = item.isChannel && item.kind == PanelItemKind::kPlayback;
    if (info.showChannelList && output) {
        const int32_t link = LinkOfChannel(*output, item.channel);
        info.channelSelection = ChannelListSelection(link, outputChannels);
        if (link >= outputChannels) {
            char notice[256];
            std::snprintf(notice, sizeof notice, DeviceTreeTexts::kMissingOutputNotice, static_cast<int>(link));
            info.notice = notice;
        }
    }
    return info;
}

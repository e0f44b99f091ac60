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

ItemInfo DescribeItem(const PanelTreeItem& item, const DriverSettings& settings)
{
    ItemInfo info;
    info.caption = item.name;
    const DeviceSettings* output = FindDeviceSettings(settings.outputDevices, item.name);
    const float outLatency = output ? output->outLatency : 0.0f;
    info.delayPosition = DelaySliderPosition(outLatency);
    info.delayText = DelayLabelText(outLatency);
    const KSDATARANGE_AUDIO& render = item.device.render.dataRange;
    info.rateRange = FormatRange(DeviceTreeTexts::kRateRange, render.MinimumSampleFrequency,
                                 render.MaximumSampleFrequency);
    info.bitsRange = FormatRange(DeviceTreeTexts::kBitsRange, render.MinimumBitsPerSample, render.MaximumBitsPerSample);
    info.showDelayControls = !item.isChannel;
    info.showChannelList = item.isChannel && item.kind == PanelItemKind::kPlayback;
    if (info.showChannelList && output) {
        const int32_t link = item.channel == 0 ? output->channelLinkLeft : output->channelLinkRight;
        info.selectChannel = true;
        info.channelSelection = ChannelListSelection(link);
    }
    return info;
}

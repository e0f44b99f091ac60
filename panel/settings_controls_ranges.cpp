#include "settings_controls_ranges.h"

#include "device_tree_item.h"
#include "device_tree_texts.h"

#include <cstdio>
#include <limits>

const std::vector<std::string>& SampleRateTexts()
{
    static const std::vector<std::string> rates{"8000", "16000", "32000", "44100", "48000"};
    return rates;
}

int SampleRateSelection(int32_t sampleRate)
{
    const std::string prefix = std::to_string(sampleRate);
    const std::vector<std::string>& rates = SampleRateTexts();
    const int count = static_cast<int>(rates.size());
    for (int step = 1; step <= count; ++step) {
        const int index = step % count;
        if (rates[static_cast<size_t>(index)].compare(0, prefix.size(), prefix) == 0) {
            return index;
        }
    }
    return -1;
}

// Products in double: a float product rounds 0.29f x 5000 up to 1450.
int VolumeSliderPosition(float volume)
{
    return static_cast<int>((1.0 - static_cast<double>(volume)) * SettingsControlRanges::kVolumeMaximum);
}

int DelaySliderPosition(float outLatency)
{
    return static_cast<int>(static_cast<double>(outLatency) * SettingsControlRanges::kDelayMaximum);
}

float VolumeFromPosition(int position)
{
    return 1.0f - static_cast<float>(position) / static_cast<float>(SettingsControlRanges::kVolumeMaximum);
}

float OutLatencyFromPosition(int position)
{
    return static_cast<float>(position) / static_cast<float>(SettingsControlRanges::kDelayMaximum);
}

std::string DelayLabelText(float outLatency)
{
    char text[64];
    std::snprintf(text, sizeof text, DeviceTreeTexts::kDelayMilliseconds,
                  static_cast<double>(outLatency) * SettingsControlRanges::kDelayMilliseconds);
    return text;
}

int ChannelListSelection(int32_t link)
{
    return link >= ChannelLinks::kAutomatic && link < std::numeric_limits<int32_t>::max() ? link + 1 : -1;
}

int32_t LinkFromChannelList(int selection)
{
    return selection >= 0 ? selection - 1 : ChannelLinks::kNotMapped;
}

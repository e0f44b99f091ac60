#include "settings_controls_ranges.h"

#include "device_tree_item.h"
#include "device_tree_texts.h"
#include "settings_limits.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace {

// "静音"
constexpr const char* kSilence = "\xbe\xb2\xd2\xf4";

}  // namespace

const std::vector<std::string>& SampleRateTexts()
{
    static const std::vector<std::string> rates = [] {
        std::vector<std::string> texts;
        for (int32_t rate : SettingsLimits::kSampleRates) {
            texts.push_back(std::to_string(rate));
        }
        return texts;
    }();
    return rates;
}

namespace {

struct SampleFormatEntry {
    const char* text;
    const char* bits;
    const char* format;
};

// "16 位整数", "24 位整数", "32 位整数", "32 位浮点"
constexpr SampleFormatEntry kSampleFormats[] = {
    {"16 \xce\xbb\xd5\xfb\xca\xfd", "16", "int"},
    {"24 \xce\xbb\xd5\xfb\xca\xfd", "24", "int"},
    {"32 \xce\xbb\xd5\xfb\xca\xfd", "32", "int"},
    {"32 \xce\xbb\xb8\xa1\xb5\xe3", "32", "float"},
};
constexpr int kFloatEntry = 3;

}  // namespace

const std::vector<std::string>& SampleFormatTexts()
{
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> all;
        for (const SampleFormatEntry& entry : kSampleFormats) {
            all.push_back(entry.text);
        }
        return all;
    }();
    return texts;
}

int SampleFormatSelection(int32_t bitsPerSample, const std::string& sampleFormat)
{
    const std::string floatText = "float";
    const bool isFloat = std::equal(sampleFormat.begin(), sampleFormat.end(), floatText.begin(), floatText.end(),
                                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    if (isFloat) {
        return kFloatEntry;
    }
    for (int i = 0; i < kFloatEntry; ++i) {
        if (std::to_string(bitsPerSample) == kSampleFormats[i].bits) {
            return i;
        }
    }
    return -1;
}

bool StoredSampleFormat(int selection, std::string& bitsPerSample, std::string& sampleFormat)
{
    if (selection < 0 || selection >= static_cast<int>(std::size(kSampleFormats))) {
        return false;
    }
    bitsPerSample = kSampleFormats[selection].bits;
    sampleFormat = kSampleFormats[selection].format;
    return true;
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

int BufferSliderPosition(int32_t frames)
{
    using namespace SettingsControlRanges;
    if (frames <= kBufferMinimum) {
        return 0;
    }
    // Nearest on the slider's doubling scale.
    const double steps = std::log2(static_cast<double>(frames) / kBufferMinimum);
    return std::min(static_cast<int>(std::lround(steps)), kBufferPositions - 1);
}

int32_t BufferFramesFromPosition(int position)
{
    using namespace SettingsControlRanges;
    return kBufferMinimum << std::clamp(position, 0, kBufferPositions - 1);
}

std::string BufferSizeText(int32_t frames, int32_t sampleRate)
{
    char text[64];
    const double milliseconds = sampleRate > 0 ? 1000.0 * frames / sampleRate : 0.0;
    std::snprintf(text, sizeof text, "%d samples (%.1f ms)", static_cast<int>(frames), milliseconds);
    return text;
}

int VolumeSliderPosition(float volume)
{
    using namespace SettingsControlRanges;
    if (!(volume > 0.0f)) {
        return kVolumeMaximum;  // silence (and a value that is no number)
    }
    const double decibels = 20.0 * std::log10(static_cast<double>(volume));
    const long position = std::lround(-decibels / kDecibelsPerVolumeStep);
    // Only silence stands at the bottom: a faint gain shows one step above.
    return static_cast<int>(std::clamp<long>(position, 0, kVolumeMaximum - 1));
}

float VolumeFromPosition(int position)
{
    using namespace SettingsControlRanges;
    if (position >= kVolumeMaximum) {
        return 0.0f;
    }
    const double decibels = -kDecibelsPerVolumeStep * std::max(position, 0);
    return static_cast<float>(std::pow(10.0, decibels / 20.0));
}

std::string VolumeDecibelText(int position)
{
    using namespace SettingsControlRanges;
    if (position >= kVolumeMaximum) {
        return kSilence;
    }
    char text[32];
    // "-0.0" would look odd at the top.
    const double decibels = position > 0 ? -kDecibelsPerVolumeStep * position : 0.0;
    std::snprintf(text, sizeof text, "%.1f dB", decibels);
    return text;
}

int DelaySliderPosition(float outLatency)
{
    using namespace SettingsControlRanges;
    // In double: 0.29f x 100 lies just below 29.
    const long position = std::lround(static_cast<double>(outLatency) * kDelayMaximum);
    return static_cast<int>(std::clamp<long>(position, 0, kDelayMaximum));
}

float OutLatencyFromPosition(int position)
{
    using namespace SettingsControlRanges;
    return static_cast<float>(std::clamp(position, 0, kDelayMaximum)) / static_cast<float>(kDelayMaximum);
}

std::string DelayLabelText(float outLatency)
{
    char text[64];
    std::snprintf(text, sizeof text, DeviceTreeTexts::kDelayMilliseconds,
                  static_cast<double>(outLatency) * SettingsControlRanges::kDelayMilliseconds);
    return text;
}

int ChannelListSelection(int32_t link, int outputChannels)
{
    return link >= ChannelLinks::kAutomatic && link < outputChannels ? link + 1 : -1;
}

int32_t LinkFromChannelList(int selection)
{
    return selection >= 0 ? selection - 1 : ChannelLinks::kNotMapped;
}

#pragma once

#include "driver_settings.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>

// The limits of the settings, shared by the reader (which keeps every value
// inside them) and the operations that enforce them, so that what the driver
// tells a host is always something the host can use.
namespace SettingsLimits {

// Frames of one host buffer half: what BlockFrames may say and what
// createBuffers takes.
inline constexpr int32_t kSmallestBlockFrames = 16;
inline constexpr int32_t kLargestBlockFrames = 8192;
inline constexpr int32_t kDefaultBlockFrames = 512;

// Latencies a setting may report, in samples (10 s at 48 kHz); 0 lets the
// driver report its own.
inline constexpr int32_t kLongestLatencySetting = 480000;

inline constexpr int32_t kDefaultSampleRate = 44100;
// Every rate the driver offers a host, in ascending order: the five it has
// always had, then the high rates that USB Audio 2.0 and HD Audio devices
// take. A host is offered a rate only when every open device takes it too.
inline constexpr int32_t kSampleRates[] = {8000, 16000, 32000, 44100, 48000, 88200, 96000, 176400, 192000};
inline bool IsSupportedSampleRate(double rate)
{
    return std::any_of(std::begin(kSampleRates), std::end(kSampleRates),
                       [rate](int32_t listed) { return rate == static_cast<double>(listed); });
}

inline constexpr int32_t kDefaultBitsPerSample = 16;
inline bool IsSupportedBitsPerSample(int32_t bits)
{
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// The host's sample type: "float" in SampleFormat is float whatever the
// depth; otherwise ("int", nothing or anything else) the integers of the
// depth: 24 and 32 bits as they are, 16 and 8 (a depth of the devices
// only) as 16 bits. Letter case does not matter.
inline HostSampleType HostSampleTypeOf(int32_t bitsPerSample, const std::string& sampleFormat)
{
    std::string lower = sampleFormat;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    if (lower == "float") {
        return HostSampleType::Float32;
    }
    switch (bitsPerSample) {
    case 24:
        return HostSampleType::Int24;
    case 32:
        return HostSampleType::Int32;
    default:
        return HostSampleType::Int16;
    }
}

// 0 or less is no setting at all (the default); the rest is kept inside the limits.
inline int32_t BlockFrames(int32_t frames)
{
    return frames <= 0 ? kDefaultBlockFrames : std::clamp(frames, kSmallestBlockFrames, kLargestBlockFrames);
}

inline int32_t LatencySetting(int32_t samples)
{
    return std::clamp(samples, 0, kLongestLatencySetting);
}

// NaN counts as 1; the rest is taken between 0 and 1.
inline float Volume(float volume)
{
    return std::isnan(volume) ? 1.0f : std::clamp(volume, 0.0f, 1.0f);
}

// Names read from one device list ("in" or "out"); later names are left
// out. A machine has a few dozen audio devices at most, and every name
// costs a scan of the device table at init.
inline constexpr int32_t kMostDevicesPerList = 256;

// MaximumChannels is kept as read: the device layer leaves out, with a
// trace, a device whose count is negative or does not fit beside the others.

// OutLatency: the factor of the longest output delay (500 ms), so 0 to 1;
// NaN and anything below 0 are no delay.
inline constexpr float kLongestOutLatency = 1.0f;
inline float OutLatency(float factor)
{
    return factor > 0.0f ? std::min(factor, kLongestOutLatency) : 0.0f;
}

}  // namespace SettingsLimits

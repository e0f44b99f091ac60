#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Ranges of the settings controls and the conversions between slider
// positions and stored values.
namespace SettingsControlRanges {
inline constexpr int kBufferMinimum = 32;    // frames
inline constexpr int kBufferMaximum = 2048;
inline constexpr int kBufferStep = 8;        // line and page size
inline constexpr int kVolumeMaximum = 100;   // 0 at the top is full volume
inline constexpr int kDelayMaximum = 5000;   // tenths of a millisecond, 500 ms
inline constexpr int kDelayMilliseconds = 500;
}  // namespace SettingsControlRanges

// The five rates of the sample-rate list, in list order.
const std::vector<std::string>& SampleRateTexts();

// The list entry for a stored rate: the first entry that begins with its
// decimal text, searched from the second entry to the last and then the
// first; -1 when none does.
int SampleRateSelection(int32_t sampleRate);

// Slider positions from stored values, truncated toward zero: the top of the
// volume slider (0) is volume 1.0; the delay slider counts 1/5000 of 500 ms.
int VolumeSliderPosition(float volume);
int DelaySliderPosition(float outLatency);

// Stored values from slider positions, in single precision.
float VolumeFromPosition(int position);
float OutLatencyFromPosition(int position);

// The delay label: "%.2fms" of outLatency x 500.
std::string DelayLabelText(float outLatency);

// The channel-list entry of a link (automatic is entry 0, output channel k
// entry k + 1); -1 (no selection) for "not mapped" and other negative links.
int ChannelListSelection(int32_t link);
// The link chosen by a channel-list selection; -2 when nothing is selected.
int32_t LinkFromChannelList(int selection);

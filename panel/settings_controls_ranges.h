#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Ranges of the settings controls and the conversions between slider
// positions, stored values and the texts that show them.
namespace SettingsControlRanges {
// Buffer sizes in frames: the powers of two from 32 to 2048, which every
// host takes. Slider position p is 32 << p.
inline constexpr int32_t kBufferMinimum = 32;
inline constexpr int kBufferPositions = 7;
// Output volume: 0 at the top is 0 dB, each step 0.6 dB down, so that the
// marks -12, -24, -36 and -48 dB stand at 20, 40, 60 and 80; the bottom
// (100) is silence.
inline constexpr int kVolumeMaximum = 100;
inline constexpr double kDecibelsPerVolumeStep = 0.6;
// Output delay: the file keeps a fraction of 500 ms with two decimals, so
// the slider moves in the file's 5 ms steps: position p is p x 5 ms.
inline constexpr int kDelayMaximum = 100;
inline constexpr int kDelayMilliseconds = 500;
inline constexpr int kDelayStepMilliseconds = 5;
}  // namespace SettingsControlRanges

// The rates of the sample-rate list, in list order: every rate the driver
// offers, from 8000 to 192000 Hz.
const std::vector<std::string>& SampleRateTexts();

// The list entry for a stored rate: the first entry that begins with its
// decimal text, searched from the second entry to the last and then the
// first; -1 when none does.
int SampleRateSelection(int32_t sampleRate);

// The host sample types of the format list, in list order: 16-, 24- and
// 32-bit integers and 32-bit float ("16 位整数" ... "32 位浮点").
const std::vector<std::string>& SampleFormatTexts();
// The entry of the stored settings: "float" (any case) in SampleFormat is the
// float entry whatever the depth; otherwise the depth's entry, -1 for a
// depth the list does not offer.
int SampleFormatSelection(int32_t bitsPerSample, const std::string& sampleFormat);
// What an entry stores: the BitSpersample and SampleFormat texts; false for
// a selection outside the list.
bool StoredSampleFormat(int selection, std::string& bitsPerSample, std::string& sampleFormat);

// Buffer slider: the position of the nearest size the slider offers, and
// the size a position stands for.
int BufferSliderPosition(int32_t frames);
int32_t BufferFramesFromPosition(int position);
// "512 samples (11.6 ms)": a buffer size with its duration at the rate.
std::string BufferSizeText(int32_t frames, int32_t sampleRate);

// Volume slider: the position of a stored linear gain (rounded to the
// nearest step; only silence stands at the bottom) and the gain of a
// position, in single precision.
int VolumeSliderPosition(float volume);
float VolumeFromPosition(int position);
// "-24.0 dB", or "静音" at the bottom: the slider's tool tip.
std::string VolumeDecibelText(int position);

// Delay slider: the step of a stored delay (rounded to the nearest) and the
// stored delay of a step.
int DelaySliderPosition(float outLatency);
float OutLatencyFromPosition(int position);
// The delay label: "%.2fms" of outLatency x 500, the delay as stored.
std::string DelayLabelText(float outLatency);

// The channel-list entry of a link among that many output channels
// (automatic is entry 0, output channel k entry k + 1); -1 (no selection)
// for the links that leave a channel silent and for outputs beyond them.
int ChannelListSelection(int32_t link, int outputChannels);
// The link chosen by a channel-list selection; -2 when nothing is selected.
int32_t LinkFromChannelList(int selection);

#include "sample_conversion.h"

namespace {

int16_t SampleTo16(const uint8_t* source, uint16_t bytesPerSample)
{
    if (bytesPerSample == 1) {
        return static_cast<int16_t>((source[0] - 128) * 256);
    }
    // The top two bytes of a little-endian sample of 2, 3 or 4 bytes.
    const uint8_t* top = source + bytesPerSample - 2;
    return static_cast<int16_t>(static_cast<uint16_t>(top[0] | (top[1] << 8)));
}

}  // namespace

uint16_t BytesPerSample(int32_t bitsPerSample)
{
    switch (bitsPerSample) {
    case 8:
    case 16:
    case 24:
    case 32:
        return static_cast<uint16_t>(bitsPerSample / 8);
    default:
        return 0;
    }
}

void SamplesFrom16(const int16_t* source, size_t count, uint8_t* destination, uint16_t bytesPerSample)
{
    for (size_t i = 0; i < count; ++i) {
        const auto sample = static_cast<uint16_t>(source[i]);
        if (bytesPerSample == 1) {
            *destination++ = static_cast<uint8_t>((sample >> 8) ^ 0x80);
            continue;
        }
        for (uint16_t low = 2; low < bytesPerSample; ++low) {
            *destination++ = 0;
        }
        *destination++ = static_cast<uint8_t>(sample & 0xff);
        *destination++ = static_cast<uint8_t>(sample >> 8);
    }
}

void FramesTo16(const uint8_t* source, uint16_t sourceChannels, uint16_t bytesPerSample, size_t frames,
                int16_t* destination, uint16_t destinationChannels)
{
    const size_t sourceFrameBytes = static_cast<size_t>(sourceChannels) * bytesPerSample;
    for (size_t f = 0; f < frames; ++f, source += sourceFrameBytes) {
        for (uint16_t c = 0; c < destinationChannels; ++c) {
            *destination++ = c < sourceChannels ? SampleTo16(source + c * bytesPerSample, bytesPerSample) : 0;
        }
    }
}

void ChannelTo16(const uint8_t* frames, uint16_t frameChannels, uint16_t bytesPerSample, size_t frameCount,
                 uint16_t channel, int16_t* destination)
{
    const size_t frameBytes = static_cast<size_t>(frameChannels) * bytesPerSample;
    const uint8_t* sample = frames + static_cast<size_t>(channel) * bytesPerSample;
    if (bytesPerSample == 2) {
        for (size_t f = 0; f < frameCount; ++f, sample += frameBytes) {
            destination[f] = static_cast<int16_t>(static_cast<uint16_t>(sample[0] | (sample[1] << 8)));
        }
        return;
    }
    for (size_t f = 0; f < frameCount; ++f, sample += frameBytes) {
        destination[f] = SampleTo16(sample, bytesPerSample);
    }
}

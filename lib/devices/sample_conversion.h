#pragma once

#include <cstddef>
#include <cstdint>

// The engine moves 16-bit samples; a pin may run at another depth of integer
// PCM (8-bit unsigned, 16, 24 or 32-bit signed, little-endian). These move
// samples between the two forms: 24 and 32 bits hold the 16-bit sample in
// their top bytes, so a round trip is exact; 8 bits keep the top byte.

// Bytes of one sample at that depth; 0 for a depth the paths cannot move.
uint16_t BytesPerSample(int32_t bitsPerSample);

// count 16-bit samples into a pin's form.
void SamplesFrom16(const int16_t* source, size_t count, uint8_t* destination, uint16_t bytesPerSample);

// Frames of a pin's form into 16-bit frames of another channel count: the
// first destinationChannels channels of each pin frame are taken, channels
// the pin does not have stay silent.
void FramesTo16(const uint8_t* source, uint16_t sourceChannels, uint16_t bytesPerSample, size_t frames,
                int16_t* destination, uint16_t destinationChannels);

// One channel of frames in a pin's form into 16-bit samples, one per frame.
void ChannelTo16(const uint8_t* frames, uint16_t frameChannels, uint16_t bytesPerSample, size_t frameCount,
                 uint16_t channel, int16_t* destination);

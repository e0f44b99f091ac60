#pragma once

#include <cstddef>
#include <cstdint>

// The forms samples take on either side of the driver: in the host's
// buffers and in the frames of a pin. Between the two every sample is an
// int32 at full scale (a 16-bit sample s is s << 16, a 24-bit one s << 8):
// the render block, the delay line and the capture spreading work on that
// form, and each sample is converted once on its way in and once on its
// way out.
//
// Conversions into a narrower form round to nearest (halves upward) and
// saturate, never wrap; float samples outside -1..1 are clipped to full
// scale and NaN is silence. So 16 -> 16 and 24 -> 24 (in any container)
// are exact, and integer <-> float is within one step of the integer form.
enum class SampleFormat : uint8_t {
    Int8,       // unsigned, 128 is silence
    Int16,
    Int24,      // packed, three bytes
    Int24In32,  // 24 valid bits in the top of a 32-bit container, low byte zero
    Int32,
    Float32,    // IEEE float, full scale -1..1
};

inline constexpr int kSampleFormatCount = 6;

struct SampleFormatInfo {
    uint16_t containerBytes;
    uint16_t validBits;
    bool isFloat;
};

// The one table of the forms.
const SampleFormatInfo& InfoOf(SampleFormat format);
inline uint16_t BytesOf(SampleFormat format)
{
    return InfoOf(format).containerBytes;
}

// Bytes of one sample at that depth of integer PCM; 0 for a depth the paths cannot move.
uint16_t BytesPerSample(int32_t bitsPerSample);

// `count` samples, `sourceStride` bytes apart, into the internal form,
// `destinationStride` samples apart.
void ToInternal(SampleFormat format, const uint8_t* source, size_t sourceStride, size_t count, int32_t* destination,
                size_t destinationStride);
// `count` samples of the internal form, `sourceStride` samples apart, into
// `format`, `destinationStride` bytes apart.
void FromInternal(const int32_t* source, size_t sourceStride, size_t count, SampleFormat format, uint8_t* destination,
                  size_t destinationStride);
// From one form to another through the internal form, sample by sample.
void ConvertSamples(SampleFormat from, const uint8_t* source, size_t sourceStride, SampleFormat to, uint8_t* destination,
                    size_t destinationStride, size_t count);

// One sample each way, for callers that have a single value.
int32_t SampleToInternal(SampleFormat format, const uint8_t* source);
void SampleFromInternal(int32_t sample, SampleFormat format, uint8_t* destination);

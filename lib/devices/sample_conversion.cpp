#include "sample_conversion.h"

#include <cmath>
#include <cstring>

namespace {

constexpr SampleFormatInfo kFormats[kSampleFormatCount] = {
    {1, 8, false},   // Int8
    {2, 16, false},  // Int16
    {3, 24, false},  // Int24
    {4, 24, false},  // Int24In32
    {4, 32, false},  // Int32
    {4, 32, true},   // Float32
};

// The internal sample rounded to its top 32 - shift bits, saturated.
inline int32_t Narrow(int32_t sample, int shift)
{
    // Only the top of the range can round past the largest value.
    const int32_t half = int32_t{1} << (shift - 1);
    return sample >= INT32_MAX - half + 1 ? INT32_MAX >> shift : (sample + half) >> shift;
}

inline int32_t LoadInt32(const uint8_t* p)
{
    int32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

inline void StoreInt32(uint8_t* p, int32_t value)
{
    std::memcpy(p, &value, sizeof value);
}

// One codec per form: Read gives the internal sample, Write takes it.
struct Int8Codec {
    static constexpr size_t kBytes = 1;
    static int32_t Read(const uint8_t* p) { return static_cast<int32_t>(static_cast<uint32_t>(p[0] ^ 0x80u) << 24); }
    static void Write(uint8_t* p, int32_t v) { p[0] = static_cast<uint8_t>(Narrow(v, 24) ^ 0x80); }
};

struct Int16Codec {
    static constexpr size_t kBytes = 2;
    static int32_t Read(const uint8_t* p)
    {
        int16_t value;
        std::memcpy(&value, p, sizeof value);
        return static_cast<int32_t>(static_cast<uint32_t>(value) << 16);
    }
    static void Write(uint8_t* p, int32_t v)
    {
        const auto value = static_cast<int16_t>(Narrow(v, 16));
        std::memcpy(p, &value, sizeof value);
    }
};

struct Int24Codec {
    static constexpr size_t kBytes = 3;
    static int32_t Read(const uint8_t* p)
    {
        return static_cast<int32_t>((static_cast<uint32_t>(p[0]) << 8) | (static_cast<uint32_t>(p[1]) << 16) |
                                    (static_cast<uint32_t>(p[2]) << 24));
    }
    static void Write(uint8_t* p, int32_t v)
    {
        const auto value = static_cast<uint32_t>(Narrow(v, 8));
        p[0] = static_cast<uint8_t>(value);
        p[1] = static_cast<uint8_t>(value >> 8);
        p[2] = static_cast<uint8_t>(value >> 16);
    }
};

struct Int24In32Codec {
    static constexpr size_t kBytes = 4;
    // The low byte is padding: whatever a device leaves there is not sound.
    static int32_t Read(const uint8_t* p) { return static_cast<int32_t>(static_cast<uint32_t>(LoadInt32(p)) & 0xFFFFFF00u); }
    static void Write(uint8_t* p, int32_t v) { StoreInt32(p, static_cast<int32_t>(static_cast<uint32_t>(Narrow(v, 8)) << 8)); }
};

struct Int32Codec {
    static constexpr size_t kBytes = 4;
    static int32_t Read(const uint8_t* p) { return LoadInt32(p); }
    static void Write(uint8_t* p, int32_t v) { StoreInt32(p, v); }
};

struct Float32Codec {
    static constexpr size_t kBytes = 4;
    static int32_t Read(const uint8_t* p)
    {
        float value;
        std::memcpy(&value, p, sizeof value);
        double scaled = static_cast<double>(value) * 2147483648.0;
        if (!(scaled > -2147483648.0)) {
            scaled = scaled != scaled ? 0.0 : -2147483648.0;  // NaN is silence
        } else if (scaled > 2147483647.0) {
            scaled = 2147483647.0;
        }
        return static_cast<int32_t>(std::lrint(scaled));
    }
    static void Write(uint8_t* p, int32_t v)
    {
        const float value = static_cast<float>(v) * (1.0f / 2147483648.0f);
        std::memcpy(p, &value, sizeof value);
    }
};

// Calls body with the codec of the form.
template <typename Body>
void WithCodec(SampleFormat format, Body&& body)
{
    switch (format) {
    case SampleFormat::Int8: body(Int8Codec{}); break;
    case SampleFormat::Int16: body(Int16Codec{}); break;
    case SampleFormat::Int24: body(Int24Codec{}); break;
    case SampleFormat::Int24In32: body(Int24In32Codec{}); break;
    case SampleFormat::Int32: body(Int32Codec{}); break;
    case SampleFormat::Float32: body(Float32Codec{}); break;
    }
}

}  // namespace

const SampleFormatInfo& InfoOf(SampleFormat format)
{
    const auto index = static_cast<size_t>(format);
    return kFormats[index < kSampleFormatCount ? index : static_cast<size_t>(SampleFormat::Int16)];
}

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

void ToInternal(SampleFormat format, const uint8_t* source, size_t sourceStride, size_t count, int32_t* destination,
                size_t destinationStride)
{
    WithCodec(format, [&](auto codec) {
        // Packed samples: a stride the compiler knows lets it vectorize.
        if (sourceStride == codec.kBytes) {
            for (size_t i = 0; i < count; ++i) {
                destination[i * destinationStride] = codec.Read(source + i * codec.kBytes);
            }
            return;
        }
        for (size_t i = 0; i < count; ++i, source += sourceStride, destination += destinationStride) {
            *destination = codec.Read(source);
        }
    });
}

void FromInternal(const int32_t* source, size_t sourceStride, size_t count, SampleFormat format, uint8_t* destination,
                  size_t destinationStride)
{
    WithCodec(format, [&](auto codec) {
        if (destinationStride == codec.kBytes) {
            for (size_t i = 0; i < count; ++i) {
                codec.Write(destination + i * codec.kBytes, source[i * sourceStride]);
            }
            return;
        }
        for (size_t i = 0; i < count; ++i, source += sourceStride, destination += destinationStride) {
            codec.Write(destination, *source);
        }
    });
}

void ConvertSamples(SampleFormat from, const uint8_t* source, size_t sourceStride, SampleFormat to, uint8_t* destination,
                    size_t destinationStride, size_t count)
{
    WithCodec(from, [&](auto reader) {
        WithCodec(to, [&](auto writer) {
            if (destinationStride == writer.kBytes) {
                for (size_t i = 0; i < count; ++i) {
                    writer.Write(destination + i * writer.kBytes, reader.Read(source + i * sourceStride));
                }
                return;
            }
            for (size_t i = 0; i < count; ++i, source += sourceStride, destination += destinationStride) {
                writer.Write(destination, reader.Read(source));
            }
        });
    });
}

int32_t SampleToInternal(SampleFormat format, const uint8_t* source)
{
    int32_t sample = 0;
    ToInternal(format, source, 0, 1, &sample, 0);
    return sample;
}

void SampleFromInternal(int32_t sample, SampleFormat format, uint8_t* destination)
{
    FromInternal(&sample, 0, 1, format, destination, 0);
}

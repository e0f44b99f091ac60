#include "signal_generator.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace kssim::detail {

namespace {

constexpr double kPi = 3.14159265358979323846;

// A sample held left-aligned in 32 bits, put into its container: cut to
// the container and its valid bits; float is the sample over 2^31.
uint32_t FromAligned(int32_t aligned, WORD bits, WORD validBits = 0, bool isFloat = false)
{
    if (isFloat) {
        const float sample = static_cast<float>(aligned) / 2147483648.0f;
        uint32_t value;
        std::memcpy(&value, &sample, sizeof value);
        return value;
    }
    const uint32_t value = static_cast<uint32_t>(aligned);
    switch (bits) {
    case 8: return ((value >> 24) ^ 0x80u) & 0xFFu;  // unsigned 8-bit PCM
    case 16: return value >> 16;
    case 24: return value >> 8;
    default:
        // The valid bits are the top ones; the rest of the container is zero.
        return validBits > 0 && validBits < 32 ? value & ~((1u << (32 - validBits)) - 1u) : value;
    }
}

void Store(uint8_t* to, uint32_t sample, unsigned bytes)
{
    for (unsigned i = 0; i < bytes; ++i) {
        to[i] = static_cast<uint8_t>(sample >> (8 * i));
    }
}

void WriteFrame(const SignalSource& source, int64_t frame, uint8_t* to)
{
    const unsigned bytes = source.bitsPerSample / 8;
    for (unsigned c = 0; c < source.channels; ++c) {
        uint32_t sample = 0;
        switch (source.signal) {
        case Signal::Ramp: sample = RampSample(frame, c, source.bitsPerSample, source.isFloat); break;
        case Signal::Sine: {
            const double phase = 2.0 * kPi * std::fmod(static_cast<double>(frame) * source.frequency, source.sampleRate) /
                                 source.sampleRate;
            const auto aligned = static_cast<int32_t>(std::lround(0.5 * std::sin(phase) * 2147483647.0));
            sample = FromAligned(aligned, source.bitsPerSample, source.validBits, source.isFloat);
            break;
        }
        case Signal::Clicks: {
            const unsigned period = source.frequency ? source.frequency : 1;
            sample = FromAligned(frame % period == 0 ? 0x7FFFFFFF : 0, source.bitsPerSample, source.validBits,
                                 source.isFloat);
            break;
        }
        case Signal::WavFile: {
            const CaptureClip* clip = source.clip;
            int32_t aligned = 0;
            if (clip && clip->Frames()) {
                const size_t clipFrame = static_cast<size_t>(frame % static_cast<int64_t>(clip->Frames()));
                aligned = clip->samples[clipFrame * clip->channels + c % clip->channels];
            }
            sample = FromAligned(aligned, source.bitsPerSample, source.validBits, source.isFloat);
            break;
        }
        }
        Store(to + c * bytes, sample, bytes);
    }
}

}  // namespace

uint32_t RampSample(int64_t frame, unsigned channel, WORD bitsPerSample, bool isFloat)
{
    if (bitsPerSample == 8 && !isFloat) {
        return static_cast<uint32_t>(frame + 0x10 * channel) & 0xFFu;
    }
    const uint32_t v = static_cast<uint32_t>(frame + 0x1000 * channel) & 0xFFFFu;
    if (isFloat) {
        return FromAligned(static_cast<int32_t>(v << 16), 32, 0, true);
    }
    switch (bitsPerSample) {
    case 24: return v << 8;
    case 32: return v << 16;
    default: return v;
    }
}

void GenerateCapture(const SignalSource& source, int64_t position, uint8_t* destination, size_t size)
{
    const size_t blockAlign = static_cast<size_t>(source.channels) * (source.bitsPerSample / 8);
    if (blockAlign == 0) {
        std::memset(destination, 0, size);
        return;
    }
    int64_t frame = position / static_cast<int64_t>(blockAlign);
    size_t offset = static_cast<size_t>(position % static_cast<int64_t>(blockAlign));
    std::vector<uint8_t> scratch(blockAlign);
    size_t done = 0;
    while (done < size) {
        const size_t take = std::min(blockAlign - offset, size - done);
        if (offset == 0 && take == blockAlign) {
            WriteFrame(source, frame, destination + done);
        } else {
            WriteFrame(source, frame, scratch.data());
            std::memcpy(destination + done, scratch.data() + offset, take);
        }
        done += take;
        offset = 0;
        ++frame;
    }
}

}  // namespace kssim::detail

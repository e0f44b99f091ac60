#include "sample_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr SampleFormat kAll[] = {SampleFormat::Int8,      SampleFormat::Int16, SampleFormat::Int24,
                                 SampleFormat::Int24In32, SampleFormat::Int32, SampleFormat::Float32};

std::vector<uint8_t> FloatBytes(float value)
{
    std::vector<uint8_t> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

std::vector<uint8_t> Out(int32_t internal, SampleFormat format)
{
    std::vector<uint8_t> bytes(BytesOf(format) + 1, 0xEE);  // one byte beyond must stay
    SampleFromInternal(internal, format, bytes.data());
    EXPECT_EQ(bytes.back(), 0xEE) << "written beyond the sample";
    bytes.pop_back();
    return bytes;
}

int32_t In(SampleFormat format, const std::vector<uint8_t>& bytes)
{
    return SampleToInternal(format, bytes.data());
}

}  // namespace

TEST(SampleConversion, TheTableOfFormsAndTheDepthsOfIntegerPcm)
{
    struct Row {
        SampleFormat format;
        uint16_t bytes;
        uint16_t valid;
        bool isFloat;
    };
    const Row rows[] = {{SampleFormat::Int8, 1, 8, false},       {SampleFormat::Int16, 2, 16, false},
                        {SampleFormat::Int24, 3, 24, false},     {SampleFormat::Int24In32, 4, 24, false},
                        {SampleFormat::Int32, 4, 32, false},     {SampleFormat::Float32, 4, 32, true}};
    for (const Row& row : rows) {
        const SampleFormatInfo& info = InfoOf(row.format);
        EXPECT_EQ(info.containerBytes, row.bytes);
        EXPECT_EQ(info.validBits, row.valid);
        EXPECT_EQ(info.isFloat, row.isFloat);
    }
    EXPECT_EQ(BytesPerSample(8), 1);
    EXPECT_EQ(BytesPerSample(16), 2);
    EXPECT_EQ(BytesPerSample(24), 3);
    EXPECT_EQ(BytesPerSample(32), 4);
    for (int bits : {0, 7, 12, 20, 64, -16}) {
        EXPECT_EQ(BytesPerSample(bits), 0) << bits;
    }
}

// Each form's edges, into the internal form and out of it: full scale at
// both ends, rounding to nearest with halves upward, saturation instead of
// a wrap, padding ignored, float clipped at +-1 and NaN silent.
TEST(SampleConversion, EdgesOfEveryFormRoundAndSaturate)
{
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    struct Reading {
        SampleFormat format;
        std::vector<uint8_t> bytes;
        int32_t internal;
    };
    const Reading readings[] = {
        {SampleFormat::Int8, {0x00}, kMin},
        {SampleFormat::Int8, {0x80}, 0},
        {SampleFormat::Int8, {0xFF}, 0x7F000000},
        {SampleFormat::Int16, {0x00, 0x80}, kMin},
        {SampleFormat::Int16, {0xFF, 0x7F}, 0x7FFF0000},
        {SampleFormat::Int16, {0xFF, 0xFF}, -0x10000},
        {SampleFormat::Int24, {0x00, 0x00, 0x80}, kMin},
        {SampleFormat::Int24, {0xFF, 0xFF, 0x7F}, 0x7FFFFF00},
        {SampleFormat::Int24, {0x56, 0x34, 0x12}, 0x12345600},
        {SampleFormat::Int24In32, {0xAB, 0x56, 0x34, 0x12}, 0x12345600},
        {SampleFormat::Int24In32, {0xFF, 0x00, 0x00, 0x80}, kMin},
        {SampleFormat::Int32, {0x67, 0x45, 0x23, 0x01}, 0x01234567},
        {SampleFormat::Int32, {0x00, 0x00, 0x00, 0x80}, kMin},
        {SampleFormat::Float32, FloatBytes(1.0f), kMax},
        {SampleFormat::Float32, FloatBytes(-1.0f), kMin},
        {SampleFormat::Float32, FloatBytes(1.5f), kMax},
        {SampleFormat::Float32, FloatBytes(-1.5f), kMin},
        {SampleFormat::Float32, FloatBytes(std::numeric_limits<float>::infinity()), kMax},
        {SampleFormat::Float32, FloatBytes(-std::numeric_limits<float>::infinity()), kMin},
        {SampleFormat::Float32, FloatBytes(std::numeric_limits<float>::quiet_NaN()), 0},
        {SampleFormat::Float32, FloatBytes(0.5f), 0x40000000},
        {SampleFormat::Float32, FloatBytes(-0.25f), -0x20000000},
        {SampleFormat::Float32, FloatBytes(std::ldexp(1.0f, -31)), 1},
    };
    for (const Reading& r : readings) {
        EXPECT_EQ(In(r.format, r.bytes), r.internal) << "form " << static_cast<int>(r.format);
    }
    struct Writing {
        int32_t internal;
        SampleFormat format;
        std::vector<uint8_t> bytes;
    };
    const Writing writings[] = {
        {kMax, SampleFormat::Int8, {0xFF}},
        {kMin, SampleFormat::Int8, {0x00}},
        {0x00800000, SampleFormat::Int8, {0x81}},
        {0x007FFFFF, SampleFormat::Int8, {0x80}},
        {-0x00800000, SampleFormat::Int8, {0x80}},
        {-0x00800001, SampleFormat::Int8, {0x7F}},
        {kMax, SampleFormat::Int16, {0xFF, 0x7F}},
        {0x7FFF8000, SampleFormat::Int16, {0xFF, 0x7F}},
        {kMin, SampleFormat::Int16, {0x00, 0x80}},
        {0x00008000, SampleFormat::Int16, {0x01, 0x00}},
        {0x00007FFF, SampleFormat::Int16, {0x00, 0x00}},
        {-0x8000, SampleFormat::Int16, {0x00, 0x00}},
        {-0x8001, SampleFormat::Int16, {0xFF, 0xFF}},
        {kMax, SampleFormat::Int24, {0xFF, 0xFF, 0x7F}},
        {kMin, SampleFormat::Int24, {0x00, 0x00, 0x80}},
        {0x12345680, SampleFormat::Int24, {0x57, 0x34, 0x12}},
        {0x1234567F, SampleFormat::Int24, {0x56, 0x34, 0x12}},
        {kMax, SampleFormat::Int24In32, {0x00, 0xFF, 0xFF, 0x7F}},
        {kMin, SampleFormat::Int24In32, {0x00, 0x00, 0x00, 0x80}},
        {0x12345680, SampleFormat::Int24In32, {0x00, 0x57, 0x34, 0x12}},
        {kMax, SampleFormat::Int32, {0xFF, 0xFF, 0xFF, 0x7F}},
        {kMin, SampleFormat::Int32, {0x00, 0x00, 0x00, 0x80}},
        {kMin, SampleFormat::Float32, FloatBytes(-1.0f)},
        {0x40000000, SampleFormat::Float32, FloatBytes(0.5f)},
        {kMax, SampleFormat::Float32, FloatBytes(1.0f)},
        {0, SampleFormat::Float32, FloatBytes(0.0f)},
    };
    for (const Writing& w : writings) {
        EXPECT_EQ(Out(w.internal, w.format), w.bytes) << "form " << static_cast<int>(w.format) << ", sample 0x"
                                                      << std::hex << w.internal;
    }
}

// Every 16-bit sample, and 24-bit samples across their range, pass any
// form at least as wide (float included: 24 bits fit its mantissa) and come
// back exactly; a 32-bit sample through float comes back within one step
// of float's 24 bits.
TEST(SampleConversion, NarrowSamplesRoundTripExactlyThroughEveryWiderForm)
{
    std::vector<int32_t> sixteen;
    for (int v = -32768; v <= 32767; ++v) {
        sixteen.push_back(v * 65536);
    }
    std::vector<int32_t> twentyFour = {static_cast<int32_t>(0x80000000u), 0x7FFFFF00, 0, 0x100, -0x100};
    for (int64_t v = -8388608; v <= 8388607; v += 97) {
        twentyFour.push_back(static_cast<int32_t>(v * 256));
    }
    std::vector<int32_t> thirtyTwo = {std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), 1, -1};
    for (int64_t v = std::numeric_limits<int32_t>::min(); v <= std::numeric_limits<int32_t>::max(); v += 999983) {
        thirtyTwo.push_back(static_cast<int32_t>(v));
    }
    struct Case {
        const std::vector<int32_t>* samples;
        SampleFormat through;
        int32_t tolerance;
    };
    const Case cases[] = {
        {&sixteen, SampleFormat::Int16, 0},       {&sixteen, SampleFormat::Int24, 0},
        {&sixteen, SampleFormat::Int24In32, 0},   {&sixteen, SampleFormat::Int32, 0},
        {&sixteen, SampleFormat::Float32, 0},     {&twentyFour, SampleFormat::Int24, 0},
        {&twentyFour, SampleFormat::Int24In32, 0}, {&twentyFour, SampleFormat::Int32, 0},
        {&twentyFour, SampleFormat::Float32, 0},  {&thirtyTwo, SampleFormat::Int32, 0},
        {&thirtyTwo, SampleFormat::Float32, 128},
    };
    for (const Case& c : cases) {
        const std::vector<int32_t>& samples = *c.samples;
        const size_t bytes = BytesOf(c.through);
        std::vector<uint8_t> wide(samples.size() * bytes);
        FromInternal(samples.data(), 1, samples.size(), c.through, wide.data(), bytes);
        std::vector<int32_t> back(samples.size());
        ToInternal(c.through, wide.data(), bytes, samples.size(), back.data(), 1);
        size_t wrong = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (std::llabs(static_cast<int64_t>(back[i]) - samples[i]) > c.tolerance && wrong++ < 3) {
                ADD_FAILURE() << "form " << static_cast<int>(c.through) << ": 0x" << std::hex << samples[i]
                              << " came back as 0x" << back[i];
            }
        }
        EXPECT_EQ(wrong, 0u) << "form " << static_cast<int>(c.through);
    }
}

// A conversion between two forms takes one channel of interleaved frames
// and writes every stride-th sample, nothing between or beyond; going
// through the internal form it is each pair's composition.
TEST(SampleConversion, ConvertingBetweenFormsFollowsTheStridesAndMatchesTheTwoSteps)
{
    const std::vector<int32_t> values = {0x12345678, -0x7654321, 0x7FFFFFFF, static_cast<int32_t>(0x80000000u), 0,
                                         0x00008000, -0x8000, 0x40000000};
    for (SampleFormat from : kAll) {
        for (SampleFormat to : kAll) {
            SCOPED_TRACE(testing::Message() << "from " << static_cast<int>(from) << " to " << static_cast<int>(to));
            const size_t fromBytes = BytesOf(from);
            const size_t toBytes = BytesOf(to);
            // Three interleaved channels; channel 1 carries the values.
            std::vector<uint8_t> frames(values.size() * 3 * fromBytes, 0x11);
            for (size_t f = 0; f < values.size(); ++f) {
                SampleFromInternal(values[f], from, frames.data() + (f * 3 + 1) * fromBytes);
            }
            std::vector<uint8_t> out(values.size() * 2 * toBytes + 1, 0xEE);
            ConvertSamples(from, frames.data() + fromBytes, 3 * fromBytes, to, out.data(), 2 * toBytes, values.size());
            for (size_t f = 0; f < values.size(); ++f) {
                std::vector<uint8_t> expected(toBytes);
                SampleFromInternal(SampleToInternal(from, frames.data() + (f * 3 + 1) * fromBytes), to, expected.data());
                EXPECT_EQ(std::vector<uint8_t>(out.begin() + f * 2 * toBytes, out.begin() + (f * 2 + 1) * toBytes),
                          expected)
                    << "frame " << f;
                EXPECT_EQ(std::vector<uint8_t>(out.begin() + (f * 2 + 1) * toBytes, out.begin() + (f * 2 + 2) * toBytes),
                          std::vector<uint8_t>(toBytes, 0xEE))
                    << "between the samples of frame " << f;
            }
            EXPECT_EQ(out.back(), 0xEE);
        }
    }
}

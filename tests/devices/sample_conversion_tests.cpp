#include "sample_conversion.h"

#include <gtest/gtest.h>

#include <vector>

TEST(SampleConversion, DepthsTheDataPathsCanMove)
{
    EXPECT_EQ(BytesPerSample(8), 1);
    EXPECT_EQ(BytesPerSample(16), 2);
    EXPECT_EQ(BytesPerSample(24), 3);
    EXPECT_EQ(BytesPerSample(32), 4);
    for (int bits : {0, 7, 12, 20, 64, -16}) {
        EXPECT_EQ(BytesPerSample(bits), 0) << bits;
    }
}

TEST(SampleConversion, SixteenBitSamplesKeepTheirBytes)
{
    const std::vector<int16_t> samples = {0x1234, -2, 32767, -32768};
    std::vector<uint8_t> out(8);
    SamplesFrom16(samples.data(), 4, out.data(), 2);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x34, 0x12, 0xFE, 0xFF, 0xFF, 0x7F, 0x00, 0x80}));
}

TEST(SampleConversion, TwentyFourAndThirtyTwoBitsHoldTheSampleInTheirTopBytes)
{
    const std::vector<int16_t> samples = {0x1234, -32768};
    std::vector<uint8_t> out24(6);
    SamplesFrom16(samples.data(), 2, out24.data(), 3);
    EXPECT_EQ(out24, (std::vector<uint8_t>{0x00, 0x34, 0x12, 0x00, 0x00, 0x80}));
    std::vector<uint8_t> out32(8);
    SamplesFrom16(samples.data(), 2, out32.data(), 4);
    EXPECT_EQ(out32, (std::vector<uint8_t>{0x00, 0x00, 0x34, 0x12, 0x00, 0x00, 0x00, 0x80}));
}

TEST(SampleConversion, EightBitSamplesAreUnsignedAroundTheMiddle)
{
    const std::vector<int16_t> samples = {-32768, -1, 0, 0x7F00, 32767};
    std::vector<uint8_t> out(5);
    SamplesFrom16(samples.data(), 5, out.data(), 1);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x00, 0x7F, 0x80, 0xFF, 0xFF}));
    std::vector<int16_t> back(5);
    FramesTo16(out.data(), 1, 1, 5, back.data(), 1);
    EXPECT_EQ(back, (std::vector<int16_t>{-32768, -256, 0, 0x7F00, 0x7F00}));
}

TEST(SampleConversion, EveryWideSampleRoundTripsExactly)
{
    std::vector<int16_t> all(65536);
    for (int v = 0; v < 65536; ++v) {
        all[static_cast<size_t>(v)] = static_cast<int16_t>(v - 32768);
    }
    for (uint16_t bytes : {2, 3, 4}) {
        std::vector<uint8_t> wide(all.size() * bytes);
        SamplesFrom16(all.data(), all.size(), wide.data(), bytes);
        std::vector<int16_t> back(all.size());
        FramesTo16(wide.data(), 1, bytes, all.size(), back.data(), 1);
        EXPECT_EQ(back, all) << bytes << " bytes";
    }
}

TEST(SampleConversion, FramesTakeTheFirstChannelsOfThePinAndSilenceTheMissingOnes)
{
    // Three 24-bit stereo frames: left n, right 100 + n.
    std::vector<int16_t> stereo = {1, 101, 2, 102, 3, 103};
    std::vector<uint8_t> pin(stereo.size() * 3);
    SamplesFrom16(stereo.data(), stereo.size(), pin.data(), 3);

    std::vector<int16_t> mono(3, 0x5555);
    FramesTo16(pin.data(), 2, 3, 3, mono.data(), 1);
    EXPECT_EQ(mono, (std::vector<int16_t>{1, 2, 3}));

    std::vector<int16_t> quad(12, 0x5555);
    FramesTo16(pin.data(), 2, 3, 3, quad.data(), 4);
    EXPECT_EQ(quad, (std::vector<int16_t>{1, 101, 0, 0, 2, 102, 0, 0, 3, 103, 0, 0}));
}

// One channel of a pin's frames, at every depth, channel count and channel:
// the sample as 16 bits (8-bit pins give their top byte), one per frame,
// and nothing written beyond the frames asked for.
TEST(SampleConversion, OneChannelOfThePinsFramesComesOutAsSixteenBitSamples)
{
    const std::vector<int16_t> values = {0x1234, -2, 32767, -32768, 0, 0x00FF, -0x0100, 0x7F01};
    for (uint16_t bytes : {1, 2, 3, 4}) {
        for (uint16_t channels : {1, 2, 3}) {
            const size_t frames = values.size();
            // Channel c of frame f: a value of the list, shifted per channel.
            std::vector<int16_t> interleaved;
            for (size_t f = 0; f < frames; ++f) {
                for (uint16_t c = 0; c < channels; ++c) {
                    interleaved.push_back(values[(f + c * 3) % frames]);
                }
            }
            std::vector<uint8_t> pin(interleaved.size() * bytes);
            SamplesFrom16(interleaved.data(), interleaved.size(), pin.data(), bytes);
            for (uint16_t c = 0; c < channels; ++c) {
                SCOPED_TRACE(testing::Message() << bytes << " bytes, " << channels << " channels, channel " << c);
                std::vector<int16_t> out(frames + 1, 0x5555);
                ChannelTo16(pin.data(), channels, bytes, frames, c, out.data());
                for (size_t f = 0; f < frames; ++f) {
                    const int16_t sample = values[(f + c * 3) % frames];
                    const auto expected = bytes == 1 ? static_cast<int16_t>(sample & 0xFF00) : sample;
                    EXPECT_EQ(out[f], expected) << "frame " << f;
                }
                EXPECT_EQ(out[frames], 0x5555) << "beyond the frames";
                std::vector<int16_t> untouched(2, 0x5555);
                ChannelTo16(pin.data(), channels, bytes, 0, c, untouched.data());
                EXPECT_EQ(untouched, std::vector<int16_t>(2, 0x5555));
            }
        }
    }
}

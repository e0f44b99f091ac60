#include "delay_line.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <vector>

namespace {

// The host's signal in the line's form (int32 at full scale): every sample
// differs from its neighbours, with both signs, low bits of its own and no
// long runs of silence.
int32_t Input(int64_t frame, int channel)
{
    return static_cast<int32_t>(((frame * 37 + channel * 1001) % 30001 - 15000) * 65536 + (frame * 7 + channel) % 251);
}

// What the line must put out at `frame` when it holds the signal back by
// `delay` frames: silence before the signal began.
int32_t Delayed(int64_t frame, int channel, int64_t delay)
{
    return frame < delay ? 0 : Input(frame - delay, channel);
}

// Runs `blocks` blocks of `frames` frames of the signal through the line;
// `before(b)` runs before block b. The output, frame by frame.
std::vector<int32_t> RunThrough(CDelayLine& line, int channels, int32_t frames, int blocks,
                                const std::function<void(int)>& before = {})
{
    std::vector<int32_t> output;
    std::vector<int32_t> block(static_cast<size_t>(frames) * channels);
    for (int b = 0; b < blocks; ++b) {
        if (before) {
            before(b);
        }
        for (int32_t f = 0; f < frames; ++f) {
            for (int c = 0; c < channels; ++c) {
                block[static_cast<size_t>(f) * channels + c] = Input(static_cast<int64_t>(b) * frames + f, c);
            }
        }
        line.Pass(block.data(), frames);
        output.insert(output.end(), block.begin(), block.end());
    }
    return output;
}

int32_t Out(const std::vector<int32_t>& output, int channels, int64_t frame, int channel)
{
    return output[static_cast<size_t>(frame) * channels + channel];
}

// A faded sample: the signal's own sample scaled by a gain of 0 to 1.
bool NotLouder(int32_t out, int32_t signal)
{
    return std::abs(out) <= std::abs(signal) && (out == 0 || (out < 0) == (signal < 0));
}

// The tenth of a fade next to silence: the end of a fade-out, the start of
// a fade-in (fades of fewer than ten frames have none).
bool NearSilence(int64_t position, int32_t fadeFrames, bool fadingOut)
{
    const int64_t tenth = fadeFrames / 10;
    return fadingOut ? position >= fadeFrames - tenth : position < tenth;
}

}  // namespace

// Primed with P frames, the line puts out P frames of silence and then the
// signal, every frame exactly P late; P is at most the longest delay. A new
// priming starts over from silence.
TEST(DelayLine, PrimingHoldsTheSignalBackByExactlyThePrimedFrames)
{
    struct Case {
        int channels;
        int64_t longest;
        int32_t blockFrames;
        int64_t primed;
        int64_t expected;
    };
    const Case cases[] = {
        {2, 24000, 512, 0, 0},        {2, 24000, 512, 1, 1},         {2, 24000, 512, 511, 511},
        {2, 24000, 512, 512, 512},    {1, 24000, 256, 1800, 1800},   {6, 22050, 512, 22050, 22050},
        {2, 1000, 512, 5000, 1000},   {2, 1000, 512, -5, 0},         {8, 24000, 2048, 24000, 24000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, longest " << c.longest << ", blocks of "
                                        << c.blockFrames << ", primed " << c.primed);
        CDelayLine line(c.channels, c.longest, c.blockFrames);
        ASSERT_TRUE(line.HasStorage());
        line.Prime(c.primed);
        EXPECT_EQ(line.Delay(), c.expected);
        const int blocks = static_cast<int>(c.expected / c.blockFrames) + 4;
        const std::vector<int32_t> output = RunThrough(line, c.channels, c.blockFrames, blocks);
        for (int64_t t = 0; t < static_cast<int64_t>(blocks) * c.blockFrames; ++t) {
            for (int ch = 0; ch < c.channels; ++ch) {
                ASSERT_EQ(Out(output, c.channels, t, ch), Delayed(t, ch, c.expected)) << "frame " << t << " channel " << ch;
            }
        }
    }
    // Primed again while the signal runs: silence first, then the signal
    // from the priming on.
    CDelayLine line(2, 4800, 256);
    line.Prime(700);
    RunThrough(line, 2, 256, 5);
    line.Prime(300);
    std::vector<int32_t> block(512, 1234);
    line.Pass(block.data(), 256);
    EXPECT_EQ(block, std::vector<int32_t>(512, 0));
    // 300 - 256 = 44 frames of silence are left, then the first block.
    std::vector<int32_t> next(512, 4321);
    line.Pass(next.data(), 256);
    for (size_t i = 0; i < 512; ++i) {
        ASSERT_EQ(next[i], i < 2 * 44 ? 0 : 1234) << i;
    }
}

// A new delay is taken at the next block: the output fades out (never louder
// than the signal), stays silent to the end of the block in which the fade
// ended, the line jumps there (silence in front, or the oldest frames
// dropped), and the output fades in; from the end of the fade-in on every
// frame is exactly the new delay late.
TEST(DelayLine, ANewDelayIsTakenAtABlockBoundaryBetweenFades)
{
    struct Case {
        int channels;
        int32_t blockFrames;
        int32_t fadeFrames;
        int64_t from;
        int64_t to;
        int changeBeforeBlock;
    };
    const Case cases[] = {
        {2, 256, 100, 0, 1000, 3},    // growing from none
        {2, 256, 100, 1000, 200, 6},  // shrinking
        {1, 128, 50, 300, 0, 5},      // to none
        {2, 64, 150, 500, 100, 10},   // fades longer than a block
        {2, 64, 150, 100, 900, 10},
        {2, 256, 128, 700, 300, 4},   // the fade-out ends exactly at a block's end
        {3, 256, 1, 300, 700, 2},     // the shortest fade
        {2, 256, 100, 500, 500, 3},   // the same delay: nothing changes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, blocks of " << c.blockFrames << ", fades of "
                                        << c.fadeFrames << ", " << c.from << " -> " << c.to << " frames");
        CDelayLine line(c.channels, 2000, c.blockFrames);
        line.Prime(c.from);
        const int blocks = c.changeBeforeBlock + static_cast<int>((2000 + 2 * c.fadeFrames) / c.blockFrames) + 6;
        const std::vector<int32_t> output = RunThrough(line, c.channels, c.blockFrames, blocks, [&](int b) {
            if (b == c.changeBeforeBlock) {
                line.ChangeTo(c.to, c.fadeFrames);
                EXPECT_EQ(line.Delay(), c.to);
            }
        });
        const int64_t end = static_cast<int64_t>(blocks) * c.blockFrames;
        const int64_t start = static_cast<int64_t>(c.changeBeforeBlock) * c.blockFrames;
        const int64_t fadeOutEnd = start + c.fadeFrames;
        const int64_t jump = (fadeOutEnd + c.blockFrames - 1) / c.blockFrames * c.blockFrames;
        const int64_t fadeInStart = jump + std::max<int64_t>(0, c.to - c.from);
        const int64_t fadeInEnd = fadeInStart + c.fadeFrames;
        ASSERT_LT(fadeInEnd + c.blockFrames, end);
        double fadeOutSum = 0;
        double fadeOutSignal = 0;
        double fadeInSum = 0;
        double fadeInSignal = 0;
        for (int64_t t = 0; t < end; ++t) {
            for (int ch = 0; ch < c.channels; ++ch) {
                const int32_t out = Out(output, c.channels, t, ch);
                const int32_t before = Delayed(t, ch, c.from);
                const int32_t after = Delayed(t, ch, c.to);
                if (c.from == c.to || t < start) {
                    ASSERT_EQ(out, before) << "frame " << t;
                } else if (t < fadeOutEnd) {
                    ASSERT_TRUE(NotLouder(out, before)) << "fade-out, frame " << t << ": " << out << " for " << before;
                    ASSERT_TRUE(!NearSilence(t - start, c.fadeFrames, true) || std::abs(out) <= std::abs(before) / 5 + 1)
                        << "the fade-out ends near silence, frame " << t << ": " << out << " for " << before;
                    fadeOutSum += std::abs(out);
                    fadeOutSignal += std::abs(before);
                } else if (t < fadeInStart) {
                    ASSERT_EQ(out, 0) << "between the fades, frame " << t;
                } else if (t < fadeInEnd) {
                    ASSERT_TRUE(NotLouder(out, after)) << "fade-in, frame " << t << ": " << out << " for " << after;
                    ASSERT_TRUE(!NearSilence(t - fadeInStart, c.fadeFrames, false) ||
                                std::abs(out) <= std::abs(after) / 5 + 1)
                        << "the fade-in starts near silence, frame " << t << ": " << out << " for " << after;
                    fadeInSum += std::abs(out);
                    fadeInSignal += std::abs(after);
                } else {
                    ASSERT_EQ(out, after) << "after the fades, frame " << t;
                }
            }
        }
        if (c.from != c.to && c.fadeFrames >= 8) {
            // A fade, not a mute: about half the signal's level on average.
            EXPECT_GT(fadeOutSum, 0.3 * fadeOutSignal);
            EXPECT_GT(fadeInSum, 0.3 * fadeInSignal);
        }
    }
}

// A change that comes while the line is still fading moves the target: the
// jump takes the latest delay, and a change during the fade-in is taken with
// fades of its own once it is over. Every sample on the way is some delay's
// signal, faded or not; at the end every frame is exactly the latest delay
// late.
TEST(DelayLine, AChangeDuringAFadeEndsExactlyAtTheLatestDelay)
{
    struct Step {
        int beforeBlock;
        int64_t to;
    };
    struct Case {
        const char* what;
        int64_t from;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        // Fades of 300 frames over blocks of 128: the second change comes
        // during the fade-out.
        {"during the fade-out", 200, {{4, 1000}, {5, 600}}},
        // Growing 0 -> 500 jumps at the end of block 5 (frame 768); after
        // 500 frames of silence the fade-in runs over frames 1268 .. 1567,
        // in blocks 9 to 12.
        {"during the fade-in", 0, {{3, 500}, {10, 50}}},
        {"back to where it was", 400, {{2, 900}, {3, 400}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CDelayLine line(2, 2000, 128);
        line.Prime(c.from);
        std::vector<int64_t> delays = {c.from};
        const int blocks = 60;
        const std::vector<int32_t> output = RunThrough(line, 2, 128, blocks, [&](int b) {
            for (const Step& step : c.steps) {
                if (b == step.beforeBlock) {
                    line.ChangeTo(step.to, 300);
                    delays.push_back(step.to);
                }
            }
        });
        const int64_t latest = c.steps.back().to;
        EXPECT_EQ(line.Delay(), latest);
        for (int64_t t = 0; t < static_cast<int64_t>(blocks) * 128; ++t) {
            for (int ch = 0; ch < 2; ++ch) {
                const int32_t out = Out(output, 2, t, ch);
                bool some = false;
                for (int64_t delay : delays) {
                    some = some || NotLouder(out, Delayed(t, ch, delay));
                }
                ASSERT_TRUE(some) << "frame " << t << ": " << out;
                if (t >= 40 * 128) {
                    ASSERT_EQ(out, Delayed(t, ch, latest)) << "frame " << t;
                }
            }
        }
    }
    // A delay beyond the longest is the longest; below none is none.
    CDelayLine line(2, 2000, 128);
    line.ChangeTo(5000, 10);
    EXPECT_EQ(line.Delay(), 2000);
    line.ChangeTo(-1, 10);
    EXPECT_EQ(line.Delay(), 0);
}

TEST(DelayLine, AFactorIsHalfASecondTimesItInWholeMilliseconds)
{
    struct Case {
        float factor;
        int ms;
    };
    const Case cases[] = {
        {0.0f, 0},     {-0.5f, 0},   {0.01f, 5},    {0.02f, 10},  {0.1f, 50},   {0.25f, 125},
        {0.33f, 165},  {1.0f, 500},  {1.5f, 500},   {999.0f, 500}, {1000.0f, 0}, {1e9f, 0},
        {std::numeric_limits<float>::quiet_NaN(), 0}, {std::numeric_limits<float>::infinity(), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DelayMsOfFactor(c.factor), c.ms) << c.factor;
    }
}

TEST(DelayLine, AMillisecondIsItsWholeBytesOfSixteenBitFramesInWholeFrames)
{
    struct Case {
        int ms;
        double rate;
        int channels;
        int64_t frames;
    };
    const Case cases[] = {
        {10, 44100.0, 2, 440},   {10, 44100.0, 6, 440},  // 529.2 bytes a ms: 5290 bytes hold 440 whole frames
        {1, 44100.0, 1, 44},     {500, 48000.0, 2, 24000}, {500, 44100.0, 2, 22000},  // 176.4 bytes a ms count as 176
        {7, 8000.0, 1, 56},      {0, 48000.0, 2, 0},       {-5, 48000.0, 2, 0},
        {10, 48000.0, 0, 0},     {10, 0.0, 2, 0},          {10, -44100.0, 2, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DelayFrames(c.ms, c.rate, c.channels), c.frames) << c.ms << " ms at " << c.rate << " Hz, "
                                                                    << c.channels << " channels";
    }
}

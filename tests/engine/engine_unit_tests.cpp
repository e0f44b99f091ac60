#include "live_settings.h"
#include "sample_position.h"
#include "stream_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(TimeCode, CountsOnPastThirtyTwoBitsOfSamplePosition)
{
    // 27 hours at 44100 Hz are more samples than 32 bits hold.
    const struct {
        uint64_t position;
        double rate;
        uint64_t code;
    } cases[] = {
        {0, 48000.0, 28800000},
        {512, 48000.0, 28800512},
        {0xFFFFFFFFull - 100, 44100.0, 0xFFFFFFFFull - 100 + 26460000},
        {0x100000005ull, 44100.0, 0x100000005ull + 26460000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CStreamEngine::TimeCodeSamples(c.position, c.rate), c.code) << c.position;
    }
}

// One thread posts settings whose every field carries the same number, the
// engine's side takes them: it never sees a mix of two posts, never an
// older post after a newer one, and sees the last one.
TEST(LiveSettingsMailbox, TheReaderTakesWholeSettingsInOrderAndTheLastOne)
{
    LiveSettings initial;
    initial.volume = 0.0f;
    initial.delayMs.assign(16, 0);
    CLiveSettingsMailbox mailbox(initial);
    constexpr int kPosts = 200000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        LiveSettings settings = initial;
        for (int n = 1; n <= kPosts; ++n) {
            settings.volume = static_cast<float>(n);
            settings.delayMs.assign(16, n);
            mailbox.Post(settings);
        }
        done = true;
    });
    int last = 0;
    long taken = 0;
    bool finished = false;
    while (!finished) {
        finished = done.load();
        const LiveSettings* settings = mailbox.Take();
        if (!settings) {
            continue;
        }
        ++taken;
        const int n = static_cast<int>(settings->volume);
        ASSERT_GT(n, last) << "an older post after a newer one";
        for (int delay : settings->delayMs) {
            ASSERT_EQ(delay, n) << "a mix of two posts";
        }
        last = n;
    }
    writer.join();
    if (const LiveSettings* settings = mailbox.Take()) {
        last = static_cast<int>(settings->volume);
    }
    EXPECT_EQ(last, kPosts);
    EXPECT_EQ(mailbox.Take(), nullptr) << "nothing new";
    EXPECT_GT(taken, 0);
}

// The engine publishes position and stamp together; a host reading from
// another thread never gets one without the other.
TEST(SamplePosition, AReaderNeverSeesAPositionWithAnotherPublicationsStamp)
{
    CSamplePosition position;
    std::atomic<bool> done{false};
    std::thread engine([&] {
        for (uint64_t n = 1; n <= 2000000; ++n) {
            position.Publish(n << 20, n * 3);
        }
        done = true;
    });
    long reads = 0;
    while (!done.load()) {
        ASIOSamples samples;
        ASIOTimeStamp stamp;
        position.Read(&samples, &stamp);
        const uint64_t n = ((static_cast<uint64_t>(samples.hi) << 32) | samples.lo) >> 20;
        const uint64_t ns = (static_cast<uint64_t>(stamp.hi) << 32) | stamp.lo;
        ASSERT_EQ(ns, n * 3) << "read " << reads;
        ++reads;
    }
    engine.join();
    EXPECT_GT(reads, 0);
}

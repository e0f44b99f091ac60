// Which configured device counts as plugged back in while a stream runs
// without it: only one seen gone (at the open or at a look) and found again.
#include "device_arrival_watch.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace {

DeviceOpenReport Report(const std::string& name, StreamDirection direction, DeviceOutcome outcome)
{
    DeviceOpenReport report;
    report.name = name;
    report.direction = direction;
    report.outcome = outcome;
    return report;
}

const AwaitedDevice kSpeaker{"Speaker", StreamDirection::Render};
const AwaitedDevice kMicrophone{"Microphone", StreamDirection::Capture};
// The same name in the other direction is another device.
const AwaitedDevice kSpeakerCapture{"Speaker", StreamDirection::Capture};

struct Look {
    bool engineDropped;
    std::vector<AwaitedDevice> present;
    bool back;  // the look reports the watched device back
};

struct WatchCase {
    const char* name;
    DeviceOutcome speakerAtOpen;  // the microphone always opened
    std::vector<Look> looks;
};

const WatchCase kCases[] = {
    {"not found at the open, found at the first look", DeviceOutcome::Gone,
     {{false, {kMicrophone}, false}, {false, {kMicrophone, kSpeaker}, true}}},
    {"a capture part of the same name is not the speaker", DeviceOutcome::Gone,
     {{false, {kMicrophone, kSpeakerCapture}, false}}},
    {"in use at the open: back only once unplugged and plugged in again", DeviceOutcome::Busy,
     {{false, {kMicrophone, kSpeaker}, false}, {false, {kMicrophone}, false}, {false, {kMicrophone, kSpeaker}, true}}},
    {"dropped while it stays plugged in: never back", DeviceOutcome::Open,
     {{true, {kMicrophone, kSpeaker}, false}, {true, {kMicrophone, kSpeaker}, false}}},
    {"dropped and unplugged, then plugged in again", DeviceOutcome::Open,
     {{true, {kSpeaker, kMicrophone}, false}, {true, {kMicrophone}, false}, {true, {kMicrophone, kSpeaker}, true}}},
};

class DeviceArrivalWatchTest : public testing::TestWithParam<WatchCase> {};

}  // namespace

TEST_P(DeviceArrivalWatchTest, ADeviceIsBackOnlyWhenFoundAfterItWasSeenGoneAndThenTheWatchEnds)
{
    const WatchCase& c = GetParam();
    CDeviceArrivalWatch watch;
    watch.Begin({Report("Speaker", StreamDirection::Render, c.speakerAtOpen),
                 Report("Microphone", StreamDirection::Capture, DeviceOutcome::Open)});
    for (size_t n = 0; n < c.looks.size(); ++n) {
        SCOPED_TRACE("look " + std::to_string(n));
        const Look& look = c.looks[n];
        DeviceLook asked = watch.Awaited(look.engineDropped);
        ASSERT_FALSE(asked.devices.empty());
        // The speaker is looked for; the microphone only once the engine
        // dropped a device.
        EXPECT_EQ(asked.devices.front(), kSpeaker);
        EXPECT_EQ(asked.devices.size(), look.engineDropped ? 2u : 1u);
        AwaitedDevice back;
        EXPECT_EQ(watch.TakeUp({asked.stream, look.present}, back), look.back);
        if (look.back) {
            EXPECT_EQ(back, kSpeaker);
        }
    }
    if (c.looks.back().back) {
        // One reset for the stream: nothing is looked for until the next.
        EXPECT_TRUE(watch.Awaited(true).devices.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DeviceArrivalWatchTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<WatchCase>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p) {
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             }
                             return name;
                         });

// While every configured device streams nothing is looked for; a look taken
// for an earlier stream, or after the stream ended, counts for nothing.
TEST(DeviceArrivalWatch, NothingIsAwaitedWhileEveryDeviceStreamsAndAnOldLookCountsForNothing)
{
    CDeviceArrivalWatch watch;
    EXPECT_TRUE(watch.Awaited(false).devices.empty()) << "no stream";
    watch.Begin({Report("Speaker", StreamDirection::Render, DeviceOutcome::Open),
                 Report("Microphone", StreamDirection::Capture, DeviceOutcome::Open)});
    EXPECT_TRUE(watch.Awaited(false).devices.empty());
    EXPECT_EQ(watch.Awaited(false).stream, 0u);

    watch.Begin({Report("Speaker", StreamDirection::Render, DeviceOutcome::Gone)});
    const uint64_t first = watch.Awaited(false).stream;
    ASSERT_NE(first, 0u);
    watch.Begin({Report("Speaker", StreamDirection::Render, DeviceOutcome::Gone)});
    const uint64_t second = watch.Awaited(false).stream;
    EXPECT_NE(second, first);
    AwaitedDevice back;
    EXPECT_FALSE(watch.TakeUp({first, {kSpeaker}}, back)) << "a look for the stream before";
    watch.End();
    EXPECT_FALSE(watch.TakeUp({second, {kSpeaker}}, back)) << "a look that ends after the stream";
    EXPECT_TRUE(watch.Awaited(true).devices.empty());
}

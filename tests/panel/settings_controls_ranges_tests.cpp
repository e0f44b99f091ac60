#include "settings_controls_ranges.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>

TEST(SampleRateList, AStoredRateSelectsTheFirstEntryBeginningWithItSearchingFromTheSecond)
{
    EXPECT_EQ(SampleRateTexts(), (std::vector<std::string>{"8000", "16000", "32000", "44100", "48000"}));
    const std::pair<int, int> cases[] = {
        {8000, 0}, {16000, 1}, {32000, 2}, {44100, 3}, {48000, 4},
        {441, 3},   // a beginning of an entry
        {4, 3},     // 44100 comes before 48000
        {8, 0},     // found only when the search wraps to the first entry
        {1, 1},
        {96000, -1}, {0, -1}, {-1, -1}, {22050, -1},
    };
    for (const auto& [rate, selection] : cases) {
        EXPECT_EQ(SampleRateSelection(rate), selection) << rate;
    }
}

TEST(SliderPositions, StoredValuesGiveTruncatedPositions)
{
    EXPECT_EQ(VolumeSliderPosition(1.0f), 0);
    EXPECT_EQ(VolumeSliderPosition(0.0f), 100);
    EXPECT_EQ(VolumeSliderPosition(0.75f), 25);
    EXPECT_EQ(VolumeSliderPosition(0.3f), 69);   // 0.3f lies slightly above 0.3
    EXPECT_EQ(DelaySliderPosition(0.29f), 1449);
    EXPECT_EQ(DelaySliderPosition(0.25f), 1250);
    EXPECT_EQ(DelaySliderPosition(1.0f), 5000);
    EXPECT_EQ(DelayLabelText(0.25f), "125.00ms");
    EXPECT_EQ(DelayLabelText(0.0f), "0.00ms");
}

TEST(SliderPositions, PositionsGiveSinglePrecisionValues)
{
    char text[32];
    const std::pair<int, const char*> volumes[] = {{0, "1.000000"}, {25, "0.750000"}, {100, "0.000000"},
                                                   {30, "0.700000"}};
    for (const auto& [position, expected] : volumes) {
        std::snprintf(text, sizeof text, "%f", static_cast<double>(VolumeFromPosition(position)));
        EXPECT_STREQ(text, expected) << position;
    }
    EXPECT_FLOAT_EQ(OutLatencyFromPosition(1234), 0.2468f);
    EXPECT_FLOAT_EQ(OutLatencyFromPosition(5000), 1.0f);
}

TEST(ChannelListEntries, LinksAndSelectionsMapOntoEachOther)
{
    EXPECT_EQ(ChannelListSelection(-1), 0);
    EXPECT_EQ(ChannelListSelection(0), 1);
    EXPECT_EQ(ChannelListSelection(9), 10);
    EXPECT_EQ(ChannelListSelection(-2), -1);
    EXPECT_EQ(ChannelListSelection(INT_MIN), -1);
    EXPECT_EQ(ChannelListSelection(INT_MAX), -1);
    EXPECT_EQ(LinkFromChannelList(0), -1);
    EXPECT_EQ(LinkFromChannelList(1), 0);
    EXPECT_EQ(LinkFromChannelList(10), 9);
    EXPECT_EQ(LinkFromChannelList(-1), -2);   // nothing selected
}

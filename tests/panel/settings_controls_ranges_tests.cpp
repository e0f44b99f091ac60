#include "settings_controls_ranges.h"

#include "panel_model_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

TEST(SampleRateList, AStoredRateSelectsTheFirstEntryBeginningWithItSearchingFromTheSecond)
{
    EXPECT_EQ(SampleRateTexts(), (std::vector<std::string>{"8000", "16000", "32000", "44100", "48000", "88200", "96000",
                                                           "176400", "192000"}));
    const std::pair<int, int> cases[] = {
        {8000, 0}, {16000, 1}, {32000, 2}, {44100, 3}, {48000, 4},
        {88200, 5}, {96000, 6}, {176400, 7}, {192000, 8},
        {441, 3},   // a beginning of an entry
        {4, 3},     // 44100 comes before 48000
        {8, 5},     // 88200 comes before the search wraps
        {80, 0},    // found only when the search wraps to the first entry
        {1, 1},
        {0, -1}, {-1, -1}, {22050, -1}, {384000, -1},
    };
    for (const auto& [rate, selection] : cases) {
        EXPECT_EQ(SampleRateSelection(rate), selection) << rate;
    }
}

TEST(SampleFormatList, TheStoredDepthAndTypeSelectAnEntryAndEachEntryStoresBoth)
{
    EXPECT_EQ(SampleFormatTexts(), GbkLines({"16 位整数", "24 位整数", "32 位整数", "32 位浮点"}));
    struct Stored {
        int32_t bits;
        const char* format;
        int selection;
    };
    const Stored stored[] = {
        {16, "int", 0}, {24, "int", 1}, {32, "int", 2}, {32, "float", 3}, {16, "FLOAT", 3}, {24, "", 1},
        {8, "int", -1}, {20, "int", -1}, {16, "double", 0},
    };
    for (const Stored& s : stored) {
        EXPECT_EQ(SampleFormatSelection(s.bits, s.format), s.selection) << s.bits << " " << s.format;
    }
    const std::pair<const char*, const char*> written[] = {{"16", "int"}, {"24", "int"}, {"32", "int"}, {"32", "float"}};
    for (int selection = 0; selection < 4; ++selection) {
        std::string bits, format;
        ASSERT_TRUE(StoredSampleFormat(selection, bits, format));
        EXPECT_EQ(bits, written[selection].first);
        EXPECT_EQ(format, written[selection].second);
        EXPECT_EQ(SampleFormatSelection(std::stoi(bits), format), selection) << "round trip";
    }
    std::string bits = "x", format = "y";
    EXPECT_FALSE(StoredSampleFormat(-1, bits, format));
    EXPECT_FALSE(StoredSampleFormat(4, bits, format));
    EXPECT_EQ(bits + format, "xy");
}

TEST(VolumeSlider, ThePositionFollowsTheDecibelMarksAndTheBottomIsSilence)
{
    // The marks 0, -12, -24, -36 and -48 dB stand at 0, 20, 40, 60 and 80;
    // the file keeps the linear gain with six decimals.
    struct Case {
        int position;
        const char* stored;
        const char* tip;
    };
    const Case cases[] = {
        {0, "1.000000", "0.0 dB"},     {20, "0.251189", "-12.0 dB"}, {40, "0.063096", "-24.0 dB"},
        {60, "0.015849", "-36.0 dB"},  {80, "0.003981", "-48.0 dB"}, {10, "0.501187", "-6.0 dB"},
        {99, "0.001072", "-59.4 dB"},  {100, "0.000000", "静音"},
    };
    for (const Case& c : cases) {
        char text[32];
        std::snprintf(text, sizeof text, "%f", static_cast<double>(VolumeFromPosition(c.position)));
        EXPECT_STREQ(text, c.stored) << c.position;
        EXPECT_EQ(VolumeDecibelText(c.position), Gbk(c.tip)) << c.position;
        // A stored value comes back to its position.
        EXPECT_EQ(VolumeSliderPosition(static_cast<float>(std::atof(c.stored))), c.position) << c.position;
    }
    // Values the panel never wrote: a faint gain stays above silence, more
    // than full scale stands at the top, no number at the bottom.
    EXPECT_EQ(VolumeSliderPosition(1e-9f), 99);
    EXPECT_EQ(VolumeSliderPosition(2.0f), 0);
    EXPECT_EQ(VolumeSliderPosition(-0.5f), 100);
    EXPECT_EQ(VolumeSliderPosition(std::nanf("")), 100);
    EXPECT_EQ(VolumeSliderPosition(0.5f), 10);   // -6.02 dB, nearest step
}

TEST(DelaySlider, EveryStepIsOneStepOfTheFileAndTheLabelShowsWhatIsStored)
{
    // The file keeps a fraction of 500 ms with two decimals: 5 ms steps.
    for (int position = 0; position <= 100; ++position) {
        const float stored = OutLatencyFromPosition(position);
        char text[16];
        std::snprintf(text, sizeof text, "%6.2f", static_cast<double>(stored));
        EXPECT_FLOAT_EQ(static_cast<float>(std::atof(text)), stored) << position;
        EXPECT_EQ(DelaySliderPosition(static_cast<float>(std::atof(text))), position);
        char label[16];
        std::snprintf(label, sizeof label, "%d.00ms", position * 5);
        EXPECT_EQ(DelayLabelText(stored), label);
    }
    EXPECT_EQ(DelaySliderPosition(0.29f), 29);     // 0.29f lies just below 0.29
    EXPECT_EQ(DelaySliderPosition(0.2468f), 25);   // a hand-written value: nearest step
    EXPECT_EQ(DelayLabelText(0.2468f), "123.40ms"); // but shown as it is stored
    EXPECT_EQ(DelaySliderPosition(1.7f), 100);
    EXPECT_EQ(DelaySliderPosition(-0.1f), 0);
    EXPECT_FLOAT_EQ(OutLatencyFromPosition(101), 1.0f);
}

TEST(BufferSlider, StepsAreThePowersOfTwoAndTheSizeShowsItsDuration)
{
    const int32_t sizes[] = {32, 64, 128, 256, 512, 1024, 2048};
    for (int position = 0; position < 7; ++position) {
        EXPECT_EQ(BufferFramesFromPosition(position), sizes[position]);
        EXPECT_EQ(BufferSliderPosition(sizes[position]), position);
    }
    EXPECT_EQ(BufferSliderPosition(500), 4);    // a stored size between steps: the nearest
    EXPECT_EQ(BufferSliderPosition(16), 0);
    EXPECT_EQ(BufferSliderPosition(65536), 6);
    EXPECT_EQ(BufferSizeText(512, 44100), "512 samples (11.6 ms)");
    EXPECT_EQ(BufferSizeText(32, 8000), "32 samples (4.0 ms)");
    EXPECT_EQ(BufferSizeText(2048, 48000), "2048 samples (42.7 ms)");
    EXPECT_EQ(BufferSizeText(500, 0), "500 samples (0.0 ms)");
}

TEST(ChannelListEntries, LinksAndSelectionsMapOntoEachOtherWithinTheOutputs)
{
    EXPECT_EQ(ChannelListSelection(-1, 4), 0);
    EXPECT_EQ(ChannelListSelection(0, 4), 1);
    EXPECT_EQ(ChannelListSelection(3, 4), 4);
    EXPECT_EQ(ChannelListSelection(4, 4), -1);   // no such output
    EXPECT_EQ(ChannelListSelection(0, 0), -1);
    EXPECT_EQ(ChannelListSelection(-1, 0), 0);
    EXPECT_EQ(ChannelListSelection(-2, 4), -1);
    EXPECT_EQ(ChannelListSelection(INT_MIN, 4), -1);
    EXPECT_EQ(ChannelListSelection(INT_MAX, INT_MAX), -1);
    EXPECT_EQ(LinkFromChannelList(0), -1);
    EXPECT_EQ(LinkFromChannelList(1), 0);
    EXPECT_EQ(LinkFromChannelList(10), 9);
    EXPECT_EQ(LinkFromChannelList(-1), -2);   // nothing selected
}

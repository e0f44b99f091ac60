#include "device_tree_info.h"
#include "panel_model_support.h"

#include <gtest/gtest.h>

TEST(ItemInfo, RangesAreThoseOfTheDirectionTheItemStandsFor)
{
    DriverSettings settings;
    const DeviceEntry both = ScannedDevice(2, 48000, 1, 96000);
    struct Case {
        const char* what;
        PanelTreeItem item;
        const char* rates;
        const char* bits;
    };
    const Case cases[] = {
        {"device that plays", Item("D", both, PanelItemKind::kDevice), "8000-48000Hz", "16-24Bit"},
        {"playback channel", Item("D", both, PanelItemKind::kPlayback, true, 1), "8000-48000Hz", "16-24Bit"},
        {"recording group", Item("D", both, PanelItemKind::kRecording), "8000-96000Hz", "16-24Bit"},
        {"recording channel", Item("D", both, PanelItemKind::kRecording, true, 0), "8000-96000Hz", "16-24Bit"},
        {"device that only records", Item("M", ScannedDevice(0, 0, 2, 48000), PanelItemKind::kDevice),
         "8000-48000Hz", "16-24Bit"},
        {"device whose playback stops below the rate", Item("R", ScannedDevice(2, 32000, 2, 48000), PanelItemKind::kDevice),
         "8000-48000Hz", "16-24Bit"},
    };
    for (const Case& c : cases) {
        const ItemInfo info = DescribeItem(c.item, settings, 0);
        EXPECT_EQ(info.rateRange, c.rates) << c.what;
        EXPECT_EQ(info.bitsRange, c.bits) << c.what;
        EXPECT_EQ(info.caption, c.item.name) << c.what;
    }
}

TEST(ItemInfo, DelayControlsBelongToDevicesThatPlayAndActOnlyOnceTheDeviceIsTicked)
{
    DriverSettings settings;
    settings.outputDevices["D"] = Record(2, 0, 1, 0.29f);
    const DeviceEntry headset = ScannedDevice(2, 48000, 2, 48000);
    struct Case {
        const char* what;
        PanelTreeItem item;
        bool shown;
        bool enabled;
        int position;
        const char* text;
        bool notice;
    };
    const Case cases[] = {
        // The file's 0.29 is 145 ms: the slider stands on that 5 ms step.
        {"ticked device", Item("D", headset, PanelItemKind::kDevice), true, true, 29, "145.00ms", false},
        {"its playback group", Item("D", headset, PanelItemKind::kPlayback), true, true, 29, "145.00ms", false},
        {"its recording group", Item("D", headset, PanelItemKind::kRecording), false, false, 29, "145.00ms", false},
        {"a playback channel", Item("D", headset, PanelItemKind::kPlayback, true, 0), false, false, 29, "145.00ms",
         false},
        {"a device not ticked", Item("E", headset, PanelItemKind::kDevice), true, false, 0, "0.00ms", true},
        {"a device that only records", Item("M", ScannedDevice(0, 0, 2, 48000), PanelItemKind::kDevice), false, false,
         0, "0.00ms", false},
    };
    for (const Case& c : cases) {
        const ItemInfo info = DescribeItem(c.item, settings, 2);
        EXPECT_EQ(info.showDelayControls, c.shown) << c.what;
        EXPECT_EQ(info.enableDelay, c.enabled) << c.what;
        EXPECT_EQ(info.delayPosition, c.position) << c.what;
        EXPECT_EQ(info.delayText, c.text) << c.what;
        EXPECT_EQ(info.notice, c.notice ? Gbk("勾选此设备的播放后即可设置输出延迟") : "") << c.what;
    }
}

TEST(ItemInfo, APlaybackChannelSelectsItsLinkAmongTheOutputsThatExist)
{
    struct Case {
        int left;
        int right;
        int channel;
        int selection;
        const char* notice;
    };
    const Case cases[] = {
        {3, 5, 0, 4, ""}, {3, 5, 1, 6, ""}, {3, 5, 4, 6, ""},  // every channel after the first uses the right link
        {-1, 0, 0, 0, ""},                                    // automatic is entry 0
        {-2, 0, 0, -1, ""},                                   // not mapped selects nothing
        {-7, 0, 0, -1, ""},
        // Beyond the six outputs: nothing selected, and the user is told.
        {6, 0, 0, -1, "声道链接的输出声道6不存在，此声道静音，请在列表中重新选择"},
    };
    const DeviceEntry device = ScannedDevice(6, 48000);
    for (const Case& c : cases) {
        DriverSettings settings;
        settings.outputDevices["D"] = Record(6, c.left, c.right);
        const ItemInfo info = DescribeItem(Item("D", device, PanelItemKind::kPlayback, true, c.channel), settings, 6);
        EXPECT_TRUE(info.showChannelList);
        EXPECT_FALSE(info.showDelayControls);
        EXPECT_EQ(info.channelSelection, c.selection) << c.left << ";" << c.right << " channel " << c.channel;
        EXPECT_EQ(info.notice, Gbk(c.notice)) << c.left << ";" << c.right;
    }
    // Without an output entry the channel plays nothing: no entry selected.
    const ItemInfo unlisted = DescribeItem(Item("D", device, PanelItemKind::kPlayback, true, 0), DriverSettings{}, 6);
    EXPECT_TRUE(unlisted.showChannelList);
    EXPECT_EQ(unlisted.channelSelection, -1);
}

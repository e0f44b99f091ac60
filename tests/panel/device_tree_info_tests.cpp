#include "device_tree_info.h"
#include "panel_model_support.h"

#include <gtest/gtest.h>

TEST(ItemInfo, RangesAreTheRenderRangesForEveryKindOfItem)
{
    DriverSettings settings;
    const DeviceEntry both = ScannedDevice(2, 48000, 1, 96000);
    for (const PanelTreeItem& item : {Item("D", both, PanelItemKind::kDevice),
                                      Item("D", both, PanelItemKind::kRecording),
                                      Item("D", both, PanelItemKind::kRecording, true, 0)}) {
        const ItemInfo info = DescribeItem(item, settings);
        EXPECT_EQ(info.rateRange, "8000-48000Hz");
        EXPECT_EQ(info.bitsRange, "16-24Bit");
        EXPECT_EQ(info.caption, "D");
    }
    const ItemInfo micOnly = DescribeItem(Item("M", ScannedDevice(0, 0, 2, 48000), PanelItemKind::kRecording), settings);
    EXPECT_EQ(micOnly.rateRange, "0-0Hz");
    EXPECT_EQ(micOnly.bitsRange, "0-0Bit");
}

TEST(ItemInfo, DelayControlsBelongToDeviceAndGroupItemsAndShowTheTruncatedStoredDelay)
{
    DriverSettings settings;
    settings.outputDevices["D"] = Record(2, 0, 1, 0.29f);
    const DeviceEntry device = ScannedDevice(2, 48000, 2, 48000);

    const ItemInfo group = DescribeItem(Item("D", device, PanelItemKind::kPlayback), settings);
    EXPECT_TRUE(group.showDelayControls);
    EXPECT_FALSE(group.showChannelList);
    EXPECT_FALSE(group.selectChannel);
    EXPECT_EQ(group.delayPosition, 1449);
    EXPECT_EQ(group.delayText, "145.00ms");

    const ItemInfo recordingChannel = DescribeItem(Item("D", device, PanelItemKind::kRecording, true, 1), settings);
    EXPECT_FALSE(recordingChannel.showDelayControls);
    EXPECT_FALSE(recordingChannel.showChannelList);

    const ItemInfo unlisted = DescribeItem(Item("Other", device, PanelItemKind::kDevice), settings);
    EXPECT_EQ(unlisted.delayPosition, 0);
    EXPECT_EQ(unlisted.delayText, "0.00ms");
}

TEST(ItemInfo, APlaybackChannelSelectsItsLinkInTheChannelList)
{
    struct Case {
        int left;
        int right;
        int channel;
        int selection;
    };
    const Case cases[] = {
        {3, 5, 0, 4}, {3, 5, 1, 6}, {3, 5, 4, 6},  // every channel after the first uses the right link
        {-1, 0, 0, 0},                            // automatic is entry 0
        {-2, 0, 0, -1},                           // not mapped selects nothing
        {-7, 0, 0, -1},
    };
    const DeviceEntry device = ScannedDevice(6, 48000);
    for (const Case& c : cases) {
        DriverSettings settings;
        settings.outputDevices["D"] = Record(6, c.left, c.right);
        const ItemInfo info = DescribeItem(Item("D", device, PanelItemKind::kPlayback, true, c.channel), settings);
        EXPECT_TRUE(info.showChannelList);
        EXPECT_FALSE(info.showDelayControls);
        EXPECT_TRUE(info.selectChannel);
        EXPECT_EQ(info.channelSelection, c.selection) << c.left << ";" << c.right << " channel " << c.channel;
    }
    // Without an output entry the list keeps its selection.
    const ItemInfo unlisted = DescribeItem(Item("D", device, PanelItemKind::kPlayback, true, 0), DriverSettings{});
    EXPECT_TRUE(unlisted.showChannelList);
    EXPECT_FALSE(unlisted.selectChannel);
}

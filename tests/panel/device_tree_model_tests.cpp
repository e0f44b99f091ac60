#include "device_tree_model.h"
#include "panel_model_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

DriverSettings Settings(int sampleRate = 44100)
{
    DriverSettings settings;
    settings.sampleRate = sampleRate;
    return settings;
}

}  // namespace

TEST(DeviceTree, EachDirectionIsListedOnlyWhenItsMaximumRateReachesTheSampleRate)
{
    DeviceTable devices;
    devices["A render to 32000"] = ScannedDevice(1, 32000, 1, 48000);
    devices["B both to 44100"] = ScannedDevice(1, 44100, 1, 44100);
    devices["C neither"] = ScannedDevice(1, 32000, 1, 32000);
    devices["D capture only"] = ScannedDevice(0, 0, 1, 96000);

    EXPECT_EQ(Outline(BuildDeviceTree(devices, Settings(44100)).devices),
              GbkLines({"A render to 32000| ", "  录音| ",
                 "B both to 44100| ", "  播放| ", "    声道0[未映射]| ", "  录音| ",
                 "D capture only| ", "  录音| "}));
    // A rate beyond every device lists nothing; the comparison is unsigned,
    // so a negative stored rate lists nothing either.
    EXPECT_TRUE(BuildDeviceTree(devices, Settings(96001)).devices.empty());
    EXPECT_TRUE(BuildDeviceTree(devices, Settings(-1)).devices.empty());
}

TEST(DeviceTree, ADirectionAnotherProgramHoldsIsMarkedAndSoIsItsDevice)
{
    struct Case {
        const char* what;
        bool renderTaken;
        bool captureTaken;
        int sampleRate;
        Lines outline;
    };
    const Case cases[] = {
        {"playback held", true, false, 44100, {"D(被占用)| ", "  播放(被占用)| ", "    左声道[未映射]| ", "    右声道[未映射]| ", "  录音| "}},
        {"recording held", false, true, 44100, {"D(被占用)| ", "  播放| ", "    左声道[未映射]| ", "    右声道[未映射]| ", "  录音(被占用)| "}},
        {"both held", true, true, 44100, {"D(被占用)| ", "  播放(被占用)| ", "    左声道[未映射]| ", "    右声道[未映射]| ", "  录音(被占用)| "}},
        {"none held", false, false, 44100, {"D| ", "  播放| ", "    左声道[未映射]| ", "    右声道[未映射]| ", "  录音| "}},
        // A direction not listed at the rate marks nothing.
        {"held playback not listed", true, false, 96000, {"D| ", "  录音| "}},
    };
    for (const Case& c : cases) {
        DeviceTable devices;
        devices["D"] = ScannedDevice(2, 48000, 1, 96000);
        devices["D"].render.allInstancesTaken = c.renderTaken;
        devices["D"].capture.allInstancesTaken = c.captureTaken;
        EXPECT_EQ(Outline(BuildDeviceTree(devices, Settings(c.sampleRate)).devices), GbkLines(c.outline)) << c.what;
    }
}

TEST(DeviceTree, TheChannelListHoldsTheOutputsOfTheTickedDevicesAsTheDriverNumbersThem)
{
    // A stereo device that is not ticked makes no outputs; the ticked ones
    // make theirs in name order, and a rate that drops one takes its
    // outputs away.
    DeviceTable devices;
    devices["A"] = ScannedDevice(2, 48000);
    devices["B"] = ScannedDevice(2, 44100);
    devices["C"] = ScannedDevice(6, 48000);
    DriverSettings settings = Settings(44100);
    settings.outputDevices["B"] = Record(2, 0, 1);
    settings.outputDevices["C"] = Record(6, 2, 7);

    const DeviceTreeLayout at44100 = BuildDeviceTree(devices, settings);
    EXPECT_EQ(at44100.outputChannels, 8);
    EXPECT_EQ(at44100.channelList, GbkLines({"自动分配", "声道0", "声道1", "声道2", "声道3", "声道4", "声道5", "声道6",
                                             "声道7"}));
    EXPECT_EQ(Outline(at44100.devices),
              GbkLines({"A| ", "  播放| ", "    左声道[未映射]| ", "    右声道[未映射]| ",
                        "B|x", "  播放|x", "    左声道[0]|x", "    右声道[1]|x",
                        "C|x", "  播放|x", "    声道0[2]|x", "    声道1[7]|x", "    声道2[7]|x", "    声道3[7]|x",
                        "    声道4[7]|x", "    声道5[7]|x"}));

    settings.sampleRate = 48000;
    const DeviceTreeLayout at48000 = BuildDeviceTree(devices, settings);
    EXPECT_EQ(at48000.outputChannels, 6);
    EXPECT_EQ(at48000.channelList.size(), 7u);
    // Output 7 is gone with B: C's right link now names a channel the driver
    // does not have, and says so.
    EXPECT_EQ(Outline(at48000.devices),
              GbkLines({"A| ", "  播放| ", "    左声道[未映射]| ", "    右声道[未映射]| ",
                        "C|x", "  播放|x", "    声道0[2]|x", "    声道1[7(无此声道)]|x", "    声道2[7(无此声道)]|x",
                        "    声道3[7(无此声道)]|x", "    声道4[7(无此声道)]|x", "    声道5[7(无此声道)]|x"}));
    EXPECT_TRUE(at48000.anyTicked);
    EXPECT_FALSE(BuildDeviceTree(devices, Settings(48000)).anyTicked);
}

TEST(DeviceTree, EachChannelShowsTheLinkItPlaysAndIsCheckedWhenThatLinkMapsIt)
{
    // One text for one value: -1 is "自动分配" wherever it stands, a silent
    // link "未映射", an output channel its number.
    struct Case {
        const char* what;
        bool hasRecord;
        int left;
        int right;
        Lines outline;
    };
    const Case cases[] = {
        {"no output entry", false, 0, 0, {"S| ", "  播放| ", "    左声道[未映射]| ", "    右声道[未映射]| "}},
        {"links 0 and 1", true, 0, 1, {"S|x", "  播放|x", "    左声道[0]|x", "    右声道[1]|x"}},
        {"left unmapped", true, -2, 1, {"S|x", "  播放|x", "    左声道[未映射]| ", "    右声道[1]|x"}},
        {"right unmapped, left beyond", true, 5, -2, {"S|x", "  播放|x", "    左声道[5(无此声道)]|x", "    右声道[未映射]| "}},
        {"both unmapped", true, -2, -2, {"S|x", "  播放|x", "    左声道[未映射]| ", "    右声道[未映射]| "}},
        {"another silent link", true, -7, -1, {"S|x", "  播放|x", "    左声道[未映射]| ", "    右声道[自动分配]|x"}},
        {"automatic", true, -1, -1, {"S|x", "  播放|x", "    左声道[自动分配]|x", "    右声道[自动分配]|x"}},
    };
    for (const Case& c : cases) {
        DeviceTable devices;
        devices["S"] = ScannedDevice(2, 48000);
        DriverSettings settings = Settings();
        if (c.hasRecord) {
            settings.outputDevices["S"] = Record(2, c.left, c.right);
        }
        EXPECT_EQ(Outline(BuildDeviceTree(devices, settings).devices), GbkLines(c.outline)) << c.what;
    }
}

TEST(DeviceTree, OtherPlaybackChannelCountsShowTheLeftLinkOnTheFirstChannelAndTheRightOnTheOthers)
{
    DeviceTable devices;
    devices["M"] = ScannedDevice(1, 48000);
    devices["S6"] = ScannedDevice(6, 48000);
    DriverSettings settings = Settings();
    settings.outputDevices["M"] = Record(1, 4, -2);
    settings.outputDevices["S6"] = Record(6, -2, 1);

    EXPECT_EQ(Outline(BuildDeviceTree(devices, settings).devices),
              GbkLines({"M|x", "  播放|x", "    声道0[4]|x",
                 "S6|x", "  播放|x", "    声道0[未映射]| ", "    声道1[1]|x", "    声道2[1]|x", "    声道3[1]|x",
                 "    声道4[1]|x", "    声道5[1]|x"}));
}

TEST(DeviceTree, RecordingChannelsAreListedOnlyForDevicesInTheInListAndNumberedByInsertedItems)
{
    DeviceTable devices;
    devices["A mic without entry"] = ScannedDevice(0, 0, 2, 48000);
    devices["B stereo mic"] = ScannedDevice(0, 0, 2, 48000);
    devices["C mono mic"] = ScannedDevice(0, 0, 1, 48000);
    devices["D six mic"] = ScannedDevice(0, 0, 6, 48000);
    DriverSettings settings = Settings();
    settings.inputDevices["B stereo mic"] = Record(2, -2, 1);
    settings.inputDevices["C mono mic"] = Record(1, -1, -1);
    settings.inputDevices["D six mic"] = Record(6, -2, 0);

    EXPECT_EQ(Outline(BuildDeviceTree(devices, settings).devices),
              GbkLines({"A mic without entry| ", "  录音| ",
                 "B stereo mic|x", "  录音|x", "    左声道[未映射]| ", "    右声道[1]|x",
                 "C mono mic|x", "  录音|x", "    声道[2]|x",
                 "D six mic|x", "  录音|x", "    声道[3]| ", "    声道[4]|x", "    声道[5]|x", "    声道[6]|x",
                 "    声道[7]|x", "    声道[8]|x"}));
}

TEST(DeviceTree, ALinkReadsAsWhatTheChannelPlays)
{
    const std::pair<int, const char*> cases[] = {
        {-1, "自动分配"}, {-2, "未映射"}, {-7, "未映射"}, {0, "0"}, {3, "3"}, {4, "4(无此声道)"}, {100, "100(无此声道)"},
    };
    for (const auto& [link, text] : cases) {
        EXPECT_EQ(LinkText(link, 4), Gbk(text)) << link;
    }
    EXPECT_FALSE(IsMapped(-2));
    EXPECT_FALSE(IsMapped(-3));
    EXPECT_TRUE(IsMapped(-1));
}

TEST(DeviceTree, ADeviceIsCheckedOnlyThroughADirectionItLists)
{
    // An "out" entry of a device whose playback is not listed at this rate
    // does not check the device item.
    DeviceTable devices;
    devices["X"] = ScannedDevice(2, 32000, 1, 48000);
    DriverSettings settings = Settings(44100);
    settings.outputDevices["X"] = Record(2, 0, 1);
    EXPECT_EQ(Outline(BuildDeviceTree(devices, settings).devices), GbkLines({"X| ", "  录音| "}));
    settings.inputDevices["X"] = Record(1, 0, 1);
    EXPECT_EQ(Outline(BuildDeviceTree(devices, settings).devices), GbkLines({"X|x", "  录音|x", "    声道[0]|x"}));
}

TEST(DeviceTree, DuplicateNamesKeepTheirOwnSettingsAndItemsCarryTheUniqueName)
{
    DeviceTable devices;
    devices[""] = ScannedDevice(2, 48000);   // a name of blanks only is not listed
    devices["Speakers"] = ScannedDevice(2, 48000);
    devices["1_Speakers"] = ScannedDevice(1, 48000);
    DriverSettings settings = Settings();
    settings.outputDevices["1_Speakers"] = Record(1, 0, 1);

    const DeviceTreeLayout layout = BuildDeviceTree(devices, settings);
    EXPECT_EQ(Outline(layout.devices),
              GbkLines({"1_Speakers|x", "  播放|x", "    声道0[0]|x",
                 "Speakers| ", "  播放| ", "    左声道[未映射]| ", "    右声道[未映射]| "}));
    const DeviceTreeNode& channel = layout.devices[1].children[0].children[1];
    EXPECT_EQ(channel.item.name, "Speakers");
    EXPECT_TRUE(channel.item.isChannel);
    EXPECT_EQ(channel.item.kind, PanelItemKind::kPlayback);
    EXPECT_EQ(channel.item.channel, 1);
    EXPECT_EQ(channel.item.device.render.dataRange.MaximumChannels, 2u);
    EXPECT_EQ(layout.devices[1].item.kind, PanelItemKind::kDevice);
    EXPECT_FALSE(layout.devices[1].item.isChannel);
}

TEST(DeviceTree, ItemTextsAreCutTo499Bytes)
{
    DeviceTable devices;
    const std::string longName(1000, 'n');
    devices[longName] = ScannedDevice(1, 48000);
    const DeviceTreeLayout layout = BuildDeviceTree(devices, Settings());
    ASSERT_EQ(layout.devices.size(), 1u);
    EXPECT_EQ(layout.devices[0].text, std::string(499, 'n'));
    EXPECT_EQ(layout.devices[0].item.name, longName);
}

TEST(DeviceTree, TheChosenClockMasterIsMarkedOnlyWhileTheDriverOpensIt)
{
    // A and B play, Mic records, Slow plays only up to 32000 Hz (so it is
    // not listed at 44100 Hz).
    DeviceTable devices;
    devices["A"] = ScannedDevice(2, 48000);
    devices["B"] = ScannedDevice(2, 48000);
    devices["Mic"] = ScannedDevice(0, 0, 1, 48000);
    devices["Slow"] = ScannedDevice(2, 32000);
    struct Case {
        const char* master;
        const char* outputs;  // devices of the "out" list, "A0": A without channels
        bool micListed;
        Lines roots;
    };
    const Case cases[] = {
        {"", "AB", true, {"A|x", "B|x", "Mic|x"}},
        {"B", "AB", false, {"A|x", "B(主时钟)|x", "Mic| "}},
        // A recording device may lead as well.
        {"Mic", "AB", true, {"A|x", "B|x", "Mic(主时钟)|x"}},
        // Named, but not opened: not in its list, listed without channels,
        // or not playing at the rate. The first playback device leads then.
        {"Mic", "AB", false, {"A|x", "B|x", "Mic| "}},
        {"A", "A0B", false, {"A|x", "B|x", "Mic| "}},
        {"Slow", "BS", false, {"A| ", "B|x", "Mic| "}},
        // Names compare byte for byte.
        {"b", "AB", false, {"A|x", "B|x", "Mic| "}},
    };
    for (const Case& c : cases) {
        DriverSettings settings = Settings();
        settings.clockMaster = c.master;
        for (const std::string outputs = c.outputs; const char name : outputs) {
            if (name == '0') {
                settings.outputDevices["A"].maximumChannels = 0;
            } else {
                settings.outputDevices[name == 'S' ? "Slow" : std::string(1, name)] = Record(2, -1, -1);
            }
        }
        if (c.micListed) {
            settings.inputDevices["Mic"] = Record(1, -1, -1);
        }
        Lines roots;
        for (const DeviceTreeNode& node : BuildDeviceTree(devices, settings).devices) {
            roots.push_back(node.text + (node.checked ? "|x" : "| "));
            EXPECT_EQ(IsClockMaster(node.item.name, node.item.device, settings),
                      node.text.size() > node.item.name.size())
                << c.master << " " << node.item.name;
        }
        EXPECT_EQ(roots, GbkLines(c.roots)) << c.master << " " << c.outputs;
    }
}

#include "settings_file.h"

#include "appdata_redirect.h"
#include "device_tree_model.h"
#include "panel_model_support.h"
#include "settings_controls_editor.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kSettingsEvent = "Global\\TELVARA_CTL_COMING_EVENT";
constexpr const char* kDelayEvent = "Global\\TELVARA_CTL_OUTLATENCY_EVENT";

// Each test starts from an empty config.ini in a redirected application-data
// folder. The editor works on the loaded settings, as the dialog does, and
// sets its events through a recorder that keeps the file as it was at that
// moment: every write must be complete before the driver is told.
class SettingsEditorTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_file = std::make_unique<SettingsFile>(SettingsFailureAction::Continue);
        ASSERT_TRUE(m_file->IsUsable());
        m_file->KeepAutomaticLinks();
        m_settings = m_file->LoadSettings();
        m_editor = std::make_unique<DeviceSettingsEditor>(*m_file, *m_settings, [this](const char* name) {
            m_events.push_back({name, FileText()});
            return m_driverRunning;
        });
    }

    // config.ini as written. "%6.2f" gives "OutLatency=  0.25"; Windows keeps
    // the two blanks, Wine's profile writer drops them: the text is compared
    // in Wine's form, with the blanks dropped wherever they were kept.
    std::string FileText() const
    {
        std::string text = ReadFileBytes(m_appData.SettingsFile());
        for (size_t at = text.find("OutLatency=  "); at != std::string::npos; at = text.find("OutLatency=  ", at)) {
            text.erase(at + 11, 2);
        }
        return text;
    }

    // Starts from the given config.ini, loaded into the working tables.
    void StartFrom(const std::string& text)
    {
        WriteFileBytes(m_appData.SettingsFile(), text);
        m_file->LoadSettings();
    }

    std::vector<std::string> EventNames() const
    {
        std::vector<std::string> names;
        for (const auto& event : m_events) {
            names.push_back(event.name);
        }
        return names;
    }

    // The file is final when the last event is set.
    void ExpectOneEventAfterEveryWrite(const char* name)
    {
        ASSERT_EQ(EventNames(), std::vector<std::string>{name});
        EXPECT_EQ(m_events.back().fileAtEvent, FileText());
    }

    // What the tree shows after a rebuild from the file.
    std::vector<std::string> RebuiltOutline(const DeviceTable& devices)
    {
        return Outline(BuildDeviceTree(devices, *m_file->LoadSettings()).devices);
    }

    struct Event {
        std::string name;
        std::string fileAtEvent;
    };

    AppDataRedirect m_appData;
    std::unique_ptr<SettingsFile> m_file;
    DriverSettings* m_settings = nullptr;
    std::unique_ptr<DeviceSettingsEditor> m_editor;
    std::vector<Event> m_events;
    bool m_driverRunning = true;
};

const DeviceEntry kStereoSpeaker = ScannedDevice(2, 48000);
const DeviceEntry kSixChannel = ScannedDevice(6, 48000);
const DeviceEntry kHeadset = ScannedDevice(2, 48000, 1, 44100);

}  // namespace

TEST_F(SettingsEditorTest, TickingANewDeviceStoresItInBothListsWithAutomaticLinks)
{
    const CheckBoxOutcome outcome =
        m_editor->ToggleCheckBox(Item("Speaker", kStereoSpeaker, PanelItemKind::kDevice), false, 3);

    EXPECT_EQ(FileText(),
              "[Speaker]\r\n"
              "outMaximumChannels=2\r\n"
              "outMinimumSampleFrequency=8000\r\n"
              "outMaximumSampleFrequency=48000\r\n"
              "outMinimumBitsPerSample=16\r\n"
              "outMaximumBitsPerSample=24\r\n"
              "outChannelLink=-1;-1\r\n"
              "outOutLatency=0.00\r\n"
              "inMaximumChannels=0\r\n"
              "inMinimumSampleFrequency=0\r\n"
              "inMaximumSampleFrequency=0\r\n"
              "inMinimumBitsPerSample=0\r\n"
              "inMaximumBitsPerSample=0\r\n"
              "inChannelLink=-1;-1\r\n"
              "[default]\r\n"
              "out=Speaker\r\n"
              "in=Speaker\r\n");
    ExpectOneEventAfterEveryWrite(kSettingsEvent);
    EXPECT_EQ(outcome.channelList, CheckBoxOutcome::ChannelList::Unchanged);
    EXPECT_FALSE(outcome.delayPosition);
    EXPECT_FALSE(outcome.clearParentCheck);

    DeviceTable devices{{"Speaker", kStereoSpeaker}};
    EXPECT_EQ(RebuiltOutline(devices), (std::vector<std::string>{"Speaker|x", Gbk("  播放|x"),
                                                                   Gbk("    左声道[自动分配]|x"),
                                                                   Gbk("    右声道[自动分配]|x")}));
}

TEST_F(SettingsEditorTest, TickingAPlaybackChannelOfADeviceWithoutOutputEntryStoresThatChannelOnly)
{
    // Channel list entry 3 is output channel 2.
    const CheckBoxOutcome outcome =
        m_editor->ToggleCheckBox(Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback, true, 1), false, 3);

    EXPECT_EQ(outcome.channelList, CheckBoxOutcome::ChannelList::Enable);
    ExpectOneEventAfterEveryWrite(kSettingsEvent);
    const std::string file = FileText();
    EXPECT_NE(file.find("outMaximumChannels=2\r\n"), std::string::npos);
    EXPECT_NE(file.find("outChannelLink=-2;2\r\n"), std::string::npos);
    EXPECT_NE(file.find("out=Speaker\r\n"), std::string::npos);
    EXPECT_NE(file.find("in=\r\n"), std::string::npos);
    EXPECT_EQ(file.find("inMaximumChannels"), std::string::npos);

    // The rebuilt tree shows the tick where it was made.
    DeviceTable devices{{"Speaker", kStereoSpeaker}};
    EXPECT_EQ(RebuiltOutline(devices), (std::vector<std::string>{"Speaker|x", Gbk("  播放|x"),
                                                                   Gbk("    左声道[未映射]| "),
                                                                   Gbk("    右声道[未映射]|x")}));
}

TEST_F(SettingsEditorTest, TickingAChannelOfASixChannelDeviceWithoutEntryLinksItAutomatically)
{
    m_editor->ToggleCheckBox(Item("Six", kSixChannel, PanelItemKind::kPlayback, true, 3), false, 0);
    EXPECT_NE(FileText().find("outChannelLink=-1;-1\r\n"), std::string::npos);
    DeviceTable devices{{"Six", kSixChannel}};
    const std::vector<std::string> outline = RebuiltOutline(devices);
    ASSERT_EQ(outline.size(), 8u);
    EXPECT_EQ(outline[5], Gbk("    声道3[3]|x"));
}

TEST_F(SettingsEditorTest, TickingAPlaybackChannelOfAListedDeviceSetsItsLinkFromTheChannelList)
{
    StartFrom("[default]\r\nout=Speaker\r\n[Speaker]\r\noutMaximumChannels=2\r\noutChannelLink=4;-2\r\n"
              "outOutLatency=0.10\r\n");
    m_editor->ToggleCheckBox(Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback, true, 1), false, 1);
    EXPECT_NE(FileText().find("outChannelLink=4;0\r\n"), std::string::npos);
    EXPECT_NE(FileText().find("outOutLatency=0.10\r\n"), std::string::npos);
    // Nothing selected in the list: the channel stays unmapped.
    m_editor->ToggleCheckBox(Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback, true, 0), false, -1);
    EXPECT_NE(FileText().find("outChannelLink=-2;0\r\n"), std::string::npos);
    EXPECT_EQ(EventNames().size(), 2u);
}

TEST_F(SettingsEditorTest, ClearingAChannelUnmapsItAndPutsTheDeviceInBothListsWithItsOwnDelay)
{
    // The delay slider may show another device when a channel is cleared:
    // each device keeps the delay stored for it.
    struct Case {
        const char* what;
        std::string start;
        PanelTreeItem item;
        std::string outLink;
        std::string outLatency;
        std::string inLink;
        CheckBoxOutcome::ChannelList channelList;
    };
    const Case cases[] = {
        {"playback channel of a listed device",
         "[default]\r\nout=Speaker\r\n[Speaker]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\n"
         "outOutLatency=0.10\r\n",
         Item("Speaker", kHeadset, PanelItemKind::kPlayback, true, 1), "outChannelLink=0;-2\r\n", "outOutLatency=0.10\r\n",
         "inChannelLink=-1;-1\r\n", CheckBoxOutcome::ChannelList::Disable},
        {"recording channel of a device without output entry",
         "[default]\r\nin=Speaker\r\n[Speaker]\r\ninMaximumChannels=1\r\ninChannelLink=0;1\r\n",
         Item("Speaker", kHeadset, PanelItemKind::kRecording, true, 0), "outChannelLink=-1;-1\r\n", "outOutLatency=0.00\r\n",
         "inChannelLink=-2;1\r\n", CheckBoxOutcome::ChannelList::Unchanged},
    };
    for (const Case& c : cases) {
        StartFrom(c.start);
        m_events.clear();
        const CheckBoxOutcome outcome = m_editor->ToggleCheckBox(c.item, true, 2);
        EXPECT_EQ(outcome.channelList, c.channelList) << c.what;
        EXPECT_FALSE(outcome.delayPosition) << c.what;
        const std::string file = FileText();
        for (const std::string& line : {std::string("outMaximumSampleFrequency=48000\r\n"), c.outLink, c.outLatency,
                                        std::string("inMaximumSampleFrequency=44100\r\n"), c.inLink,
                                        std::string("out=Speaker\r\n"), std::string("in=Speaker\r\n")}) {
            EXPECT_NE(file.find(line), std::string::npos) << c.what << ": " << line << "\n" << file;
        }
        ExpectOneEventAfterEveryWrite(kSettingsEvent);
    }
}

TEST_F(SettingsEditorTest, ClearingARecordingChannelUnmapsItsInputLinkAndTickingItMapsItAgain)
{
    StartFrom("[default]\r\nin=Mic\r\n[Mic]\r\ninMaximumChannels=1\r\ninChannelLink=0;1\r\n");
    const PanelTreeItem channel = Item("Mic", kHeadset, PanelItemKind::kRecording, true, 0);
    const CheckBoxOutcome cleared = m_editor->ToggleCheckBox(channel, true, 5);
    EXPECT_EQ(cleared.channelList, CheckBoxOutcome::ChannelList::Unchanged);
    EXPECT_NE(FileText().find("inChannelLink=-2;1\r\n"), std::string::npos);
    EXPECT_NE(FileText().find("out=Mic\r\n"), std::string::npos);   // both lists receive the device
    DeviceTable devices{{"Mic", kHeadset}};
    EXPECT_EQ(RebuiltOutline(devices)[5], Gbk("    声道[0]| "));

    m_editor->ToggleCheckBox(channel, false, 5);
    EXPECT_NE(FileText().find("inChannelLink=-1;1\r\n"), std::string::npos);
    EXPECT_EQ(RebuiltOutline(devices)[5], Gbk("    声道[0]|x"));
}

TEST_F(SettingsEditorTest, ClearingGroupsAndDevicesTakesThemOffTheListsButLeavesTheirSections)
{
    const std::string start = "[default]\r\nout=A;B\r\nin=A;B\r\n"
                              "[A]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\noutOutLatency=0.29\r\n"
                              "inMaximumChannels=1\r\n"
                              "[B]\r\noutMaximumChannels=2\r\noutOutLatency=0.10\r\ninMaximumChannels=1\r\n";
    struct Case {
        const char* what;
        int32_t kind;
        std::string outList;
        std::string inList;
        std::optional<int> delayPosition;
        bool clearParent;
    };
    const Case cases[] = {
        {"device", PanelItemKind::kDevice, "out=B\r\n", "in=B\r\n", 1449, false},
        {"playback group", PanelItemKind::kPlayback, "out=B\r\n", "in=A;B\r\n", 1449, false},
        {"recording group", PanelItemKind::kRecording, "out=A;B\r\n", "in=B\r\n", std::nullopt, false},
    };
    for (const Case& c : cases) {
        StartFrom(start);
        m_events.clear();
        const CheckBoxOutcome outcome = m_editor->ToggleCheckBox(Item("A", kHeadset, c.kind), true, 0);
        const std::string file = FileText();
        EXPECT_NE(file.find(c.outList), std::string::npos) << c.what << "\n" << file;
        EXPECT_NE(file.find(c.inList), std::string::npos) << c.what;
        EXPECT_NE(file.find("[A]\r\noutMaximumChannels=2\r\n"), std::string::npos) << c.what;
        EXPECT_EQ(outcome.delayPosition, c.delayPosition) << c.what;
        EXPECT_EQ(outcome.clearParentCheck, c.clearParent) << c.what;
        ExpectOneEventAfterEveryWrite(kSettingsEvent);
    }
    // The second group cleared takes the device off both lists: its box goes.
    StartFrom(start);
    m_editor->ToggleCheckBox(Item("A", kHeadset, PanelItemKind::kRecording), true, 0);
    const CheckBoxOutcome last = m_editor->ToggleCheckBox(Item("A", kHeadset, PanelItemKind::kPlayback), true, 0);
    EXPECT_TRUE(last.clearParentCheck);
    EXPECT_NE(FileText().find("out=B\r\nin=B\r\n"), std::string::npos);
    // A device without an output entry leaves the delay slider at 0.
    const CheckBoxOutcome unlisted = m_editor->ToggleCheckBox(Item("C", kHeadset, PanelItemKind::kDevice), true, 0);
    EXPECT_EQ(unlisted.delayPosition, 0);
}

TEST_F(SettingsEditorTest, TickingAGroupKeepsTheLinksAndDelayOfAnExistingEntry)
{
    StartFrom("[default]\r\nout=A\r\n[A]\r\noutMaximumChannels=6\r\noutChannelLink=3;4\r\noutOutLatency=0.40\r\n");
    m_editor->ToggleCheckBox(Item("A", kHeadset, PanelItemKind::kRecording), false, 0);
    const std::string file = FileText();
    EXPECT_NE(file.find("outMaximumChannels=2\r\n"), std::string::npos);   // the scanned range replaces it
    EXPECT_NE(file.find("outChannelLink=3;4\r\n"), std::string::npos);
    EXPECT_NE(file.find("outOutLatency=0.40\r\n"), std::string::npos);
    EXPECT_NE(file.find("inChannelLink=-1;-1\r\n"), std::string::npos);
    EXPECT_NE(file.find("out=A\r\nin=A\r\n"), std::string::npos);
}

TEST_F(SettingsEditorTest, TheChannelListSetsOneLinkAndRenamesTheItem)
{
    StartFrom("[default]\r\nout=Speaker\r\n[Speaker]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\n");
    EXPECT_EQ(m_editor->SelectChannelLink(Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback, true, 1), 0),
              Gbk("右声道[自动分配]"));
    EXPECT_NE(FileText().find("outChannelLink=0;-1\r\n"), std::string::npos);
    ExpectOneEventAfterEveryWrite(kSettingsEvent);
    EXPECT_EQ(m_editor->SelectChannelLink(Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback, true, 0), 8),
              Gbk("左声道[7]"));
    EXPECT_NE(FileText().find("outChannelLink=7;-1\r\n"), std::string::npos);

    // A device without an output entry gets one with its scanned range.
    m_events.clear();
    EXPECT_EQ(m_editor->SelectChannelLink(Item("New", kStereoSpeaker, PanelItemKind::kPlayback, true, 0), 2),
              Gbk("左声道[1]"));
    const std::string file = FileText();
    EXPECT_NE(file.find("[New]\r\noutMaximumChannels=2\r\noutMinimumSampleFrequency=8000\r\n"), std::string::npos);
    EXPECT_NE(file.find("outChannelLink=1;-2\r\n"), std::string::npos);
    EXPECT_NE(file.find("out=New;Speaker\r\n"), std::string::npos);
    ExpectOneEventAfterEveryWrite(kSettingsEvent);
}

TEST_F(SettingsEditorTest, TheChannelListSetsTheLinkOfADeviceGroupOrRecordingChannelButLeavesItsText)
{
    // The keyboard can move the selection to any item before the list changes.
    struct Case {
        const char* what;
        PanelTreeItem item;
        const char* link;
    };
    const Case cases[] = {
        {"device", Item("Speaker", kHeadset, PanelItemKind::kDevice), "outChannelLink=4;1\r\n"},
        {"playback group", Item("Speaker", kHeadset, PanelItemKind::kPlayback), "outChannelLink=4;1\r\n"},
        {"recording group", Item("Speaker", kHeadset, PanelItemKind::kRecording), "outChannelLink=4;1\r\n"},
        {"recording channel", Item("Speaker", kHeadset, PanelItemKind::kRecording, true, 1), "outChannelLink=0;4\r\n"},
    };
    for (const Case& c : cases) {
        StartFrom("[default]\r\nout=Speaker\r\n[Speaker]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\n");
        m_events.clear();
        EXPECT_EQ(m_editor->SelectChannelLink(c.item, 5), std::nullopt) << c.what;
        EXPECT_NE(FileText().find(c.link), std::string::npos) << c.what << "\n" << FileText();
        ExpectOneEventAfterEveryWrite(kSettingsEvent);
    }
}

TEST_F(SettingsEditorTest, TheSampleRateIsWrittenAndSignalledAndAnEmptySelectionChangesNothing)
{
    EXPECT_TRUE(m_editor->SelectSampleRate(4));
    EXPECT_EQ(FileText(), "[default]\r\nSampleRate=48000\r\n");
    ExpectOneEventAfterEveryWrite(kSettingsEvent);
    EXPECT_EQ(m_file->LoadSettings()->sampleRate, 48000);
    EXPECT_FALSE(m_editor->SelectSampleRate(-1));
    EXPECT_FALSE(m_editor->SelectSampleRate(5));
    EXPECT_EQ(FileText(), "[default]\r\nSampleRate=48000\r\n");
    EXPECT_EQ(EventNames().size(), 1u);
}

TEST_F(SettingsEditorTest, TheBufferSizeIsWrittenOnEveryMoveWithoutAnEvent)
{
    for (int position : {40, 48, 1000, 256}) {
        m_editor->SetBufferSize(position);
    }
    EXPECT_EQ(FileText(), "[default]\r\nBlockFrames=256\r\n");
    EXPECT_TRUE(m_events.empty());
}

TEST_F(SettingsEditorTest, TheVolumeIsWrittenSignalledAndTracedOnlyWhenTheDriverListens)
{
    TraceCapture trace;
    m_editor->SetVolume(25);
    EXPECT_EQ(FileText(), "[default]\r\nVolume=0.750000\r\n");
    ExpectOneEventAfterEveryWrite(kSettingsEvent);
    EXPECT_TRUE(trace.Contains("[TELVARA]ASIO SET VOLUME 0.750000"));

    m_editor->SetVolume(100);
    EXPECT_EQ(FileText(), "[default]\r\nVolume=0.000000\r\n");
    m_driverRunning = false;
    trace.Clear();
    m_editor->SetVolume(0);
    EXPECT_EQ(FileText(), "[default]\r\nVolume=1.000000\r\n");
    EXPECT_EQ(EventNames().size(), 3u);
    EXPECT_TRUE(trace.Lines().empty());
}

TEST_F(SettingsEditorTest, TheOutputDelayIsWrittenForTheClickedDeviceOnlyAndSignalledOnItsOwnEvent)
{
    TraceCapture trace;
    // Nothing clicked since the last rebuild, or a channel item: nothing happens.
    EXPECT_FALSE(m_editor->SetOutputDelay(nullptr, 1234));
    const PanelTreeItem channel = Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback, true, 0);
    EXPECT_FALSE(m_editor->SetOutputDelay(&channel, 1234));
    EXPECT_EQ(FileText(), "");
    EXPECT_TRUE(m_events.empty());

    const PanelTreeItem group = Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback);
    EXPECT_EQ(m_editor->SetOutputDelay(&group, 1234), "123.40ms");
    EXPECT_EQ(FileText(), "[Speaker]\r\noutOutLatency=0.25\r\n");
    ExpectOneEventAfterEveryWrite(kDelayEvent);
    EXPECT_TRUE(trace.Contains(Gbk("[TELVARA]调整设备[Speaker]延迟 0.246800 事件发送成功")));

    m_driverRunning = false;
    EXPECT_EQ(m_editor->SetOutputDelay(&group, 5000), "500.00ms");
    EXPECT_EQ(FileText(), "[Speaker]\r\noutOutLatency=1.00\r\n");
    EXPECT_TRUE(trace.Contains(Gbk("[TELVARA]调整设备[Speaker]延迟 1.000000 事件发送失败")));

    // The device joins the working table; the "out" list follows with the
    // next save of the device settings.
    ASSERT_TRUE(m_settings->outputDevices.count("Speaker"));
    EXPECT_EQ(m_settings->outputDevices["Speaker"].maximumChannels, 2);
    m_editor->SaveDeviceSettings();
    EXPECT_NE(FileText().find("out=Speaker\r\n"), std::string::npos);
}

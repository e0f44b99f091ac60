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
const DeviceEntry kMicrophone = ScannedDevice(0, 0, 1, 48000);

const char* const kSpeakerOut = "outMaximumChannels=2\r\n"
                                "outMinimumSampleFrequency=8000\r\n"
                                "outMaximumSampleFrequency=48000\r\n"
                                "outMinimumBitsPerSample=16\r\n"
                                "outMaximumBitsPerSample=24\r\n";

}  // namespace

TEST_F(SettingsEditorTest, TickingADeviceListsItOnlyForTheDirectionsItHas)
{
    struct Case {
        const char* what;
        DeviceEntry device;
        const char* file;
    };
    const Case cases[] = {
        {"speaker", kStereoSpeaker,
         "[Device]\r\noutMaximumChannels=2\r\noutMinimumSampleFrequency=8000\r\noutMaximumSampleFrequency=48000\r\n"
         "outMinimumBitsPerSample=16\r\noutMaximumBitsPerSample=24\r\noutChannelLink=-1;-1\r\noutOutLatency=0.00\r\n"
         "[default]\r\nout=Device\r\nin=\r\n"},
        {"microphone", kMicrophone,
         "[default]\r\nout=\r\nin=Device\r\n"
         "[Device]\r\ninMaximumChannels=1\r\ninMinimumSampleFrequency=8000\r\ninMaximumSampleFrequency=48000\r\n"
         "inMinimumBitsPerSample=16\r\ninMaximumBitsPerSample=24\r\ninChannelLink=-1;-1\r\n"},
        {"headset", kHeadset,
         "[Device]\r\noutMaximumChannels=2\r\noutMinimumSampleFrequency=8000\r\noutMaximumSampleFrequency=48000\r\n"
         "outMinimumBitsPerSample=16\r\noutMaximumBitsPerSample=24\r\noutChannelLink=-1;-1\r\noutOutLatency=0.00\r\n"
         "inMaximumChannels=1\r\ninMinimumSampleFrequency=8000\r\ninMaximumSampleFrequency=44100\r\n"
         "inMinimumBitsPerSample=16\r\ninMaximumBitsPerSample=24\r\ninChannelLink=-1;-1\r\n"
         "[default]\r\nout=Device\r\nin=Device\r\n"},
        // At 48000 Hz the headset records no more: it is not put in "in".
        {"headset at 48000 Hz", kHeadset,
         "[default]\r\nSampleRate=48000\r\nout=Device\r\nin=\r\n"
         "[Device]\r\noutMaximumChannels=2\r\noutMinimumSampleFrequency=8000\r\noutMaximumSampleFrequency=48000\r\n"
         "outMinimumBitsPerSample=16\r\noutMaximumBitsPerSample=24\r\noutChannelLink=-1;-1\r\noutOutLatency=0.00\r\n"},
    };
    for (const Case& c : cases) {
        StartFrom(std::string(c.what).find("48000") != std::string::npos ? "[default]\r\nSampleRate=48000\r\n" : "");
        m_events.clear();
        m_editor->ToggleCheckBox(Item("Device", c.device, PanelItemKind::kDevice), false);
        EXPECT_EQ(FileText(), c.file) << c.what;
        ExpectOneEventAfterEveryWrite(kSettingsEvent);
    }

    DeviceTable devices{{"Device", kStereoSpeaker}};
    StartFrom("");
    m_editor->ToggleCheckBox(Item("Device", kStereoSpeaker, PanelItemKind::kDevice), false);
    EXPECT_EQ(RebuiltOutline(devices), (std::vector<std::string>{"Device|x", Gbk("  播放|x"),
                                                                   Gbk("    左声道[自动分配]|x"),
                                                                   Gbk("    右声道[自动分配]|x")}));
}

TEST_F(SettingsEditorTest, TickingAGroupListsTheDeviceForThatDirectionOnly)
{
    m_editor->ToggleCheckBox(Item("Headset", kHeadset, PanelItemKind::kPlayback), false);
    EXPECT_NE(FileText().find("out=Headset\r\nin=\r\n"), std::string::npos) << FileText();
    m_editor->ToggleCheckBox(Item("Headset", kHeadset, PanelItemKind::kPlayback), true);
    m_editor->ToggleCheckBox(Item("Headset", kHeadset, PanelItemKind::kRecording), false);
    EXPECT_NE(FileText().find("out=\r\n"), std::string::npos) << FileText();
    EXPECT_NE(FileText().find("in=Headset\r\n"), std::string::npos) << FileText();
    EXPECT_EQ(EventNames().size(), 3u);
}

TEST_F(SettingsEditorTest, TickingAPlaybackChannelOfADeviceWithoutOutputEntryPlaysThatChannelAutomatically)
{
    m_editor->ToggleCheckBox(Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback, true, 1), false);

    ExpectOneEventAfterEveryWrite(kSettingsEvent);
    const std::string file = FileText();
    EXPECT_NE(file.find(std::string("[Speaker]\r\n") + kSpeakerOut + "outChannelLink=-2;-1\r\n"), std::string::npos)
        << file;
    EXPECT_NE(file.find("out=Speaker\r\nin=\r\n"), std::string::npos);
    EXPECT_EQ(file.find("inMaximumChannels"), std::string::npos);

    // The rebuilt tree shows the tick where it was made, and what it plays.
    DeviceTable devices{{"Speaker", kStereoSpeaker}};
    EXPECT_EQ(RebuiltOutline(devices), (std::vector<std::string>{"Speaker|x", Gbk("  播放|x"),
                                                                   Gbk("    左声道[未映射]| "),
                                                                   Gbk("    右声道[自动分配]|x")}));
}

TEST_F(SettingsEditorTest, TickingAChannelOfASixChannelDeviceWithoutEntryPlaysTheChannelsOfItsLink)
{
    // Channel 3 follows the right link, as channels 1 to 5 all do.
    m_editor->ToggleCheckBox(Item("Six", kSixChannel, PanelItemKind::kPlayback, true, 3), false);
    EXPECT_NE(FileText().find("outChannelLink=-2;-1\r\n"), std::string::npos);
    DeviceTable devices{{"Six", kSixChannel}};
    const std::vector<std::string> outline = RebuiltOutline(devices);
    ASSERT_EQ(outline.size(), 8u);
    EXPECT_EQ(outline[2], Gbk("    声道0[未映射]| "));
    EXPECT_EQ(outline[5], Gbk("    声道3[自动分配]|x"));
}

TEST_F(SettingsEditorTest, TickingAPlaybackChannelLinksItAutomaticallyAndClearingItUnmapsIt)
{
    StartFrom("[default]\r\nout=Speaker\r\n[Speaker]\r\noutMaximumChannels=2\r\noutChannelLink=4;-2\r\n"
              "outOutLatency=0.10\r\n");
    m_editor->ToggleCheckBox(Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback, true, 1), false);
    EXPECT_NE(FileText().find("outChannelLink=4;-1\r\n"), std::string::npos);
    EXPECT_NE(FileText().find("outOutLatency=0.10\r\n"), std::string::npos);
    m_editor->ToggleCheckBox(Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback, true, 0), true);
    EXPECT_NE(FileText().find("outChannelLink=-2;-1\r\n"), std::string::npos);
    EXPECT_NE(FileText().find("out=Speaker\r\nin=\r\n"), std::string::npos) << "the device stays listed, in \"out\" only";
    EXPECT_EQ(EventNames().size(), 2u);
}

TEST_F(SettingsEditorTest, ClearingAChannelUnmapsThatChannelAndTouchesNoOtherDirection)
{
    struct Case {
        const char* what;
        std::string start;
        PanelTreeItem item;
        std::vector<std::string> lines;
        const char* absent;
    };
    const Case cases[] = {
        {"playback channel",
         "[default]\r\nout=Speaker\r\n[Speaker]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\noutOutLatency=0.10\r\n",
         Item("Speaker", kHeadset, PanelItemKind::kPlayback, true, 1),
         {"outChannelLink=0;-2\r\n", "outOutLatency=0.10\r\n", "out=Speaker\r\nin=\r\n"}, "inMaximumChannels"},
        {"recording channel",
         "[default]\r\nin=Speaker\r\n[Speaker]\r\ninMaximumChannels=1\r\ninChannelLink=0;1\r\n",
         Item("Speaker", kHeadset, PanelItemKind::kRecording, true, 0),
         {"inChannelLink=-2;1\r\n", "in=Speaker\r\n", "out=\r\n"}, "outMaximumChannels"},
    };
    for (const Case& c : cases) {
        StartFrom(c.start);
        m_events.clear();
        m_editor->ToggleCheckBox(c.item, true);
        const std::string file = FileText();
        for (const std::string& line : c.lines) {
            EXPECT_NE(file.find(line), std::string::npos) << c.what << ": " << line << "\n" << file;
        }
        EXPECT_EQ(file.find(c.absent), std::string::npos) << c.what << "\n" << file;
        ExpectOneEventAfterEveryWrite(kSettingsEvent);
    }
}

TEST_F(SettingsEditorTest, ClearingARecordingChannelUnmapsItsInputLinkAndTickingItMapsItAgain)
{
    StartFrom("[default]\r\nin=Mic\r\n[Mic]\r\ninMaximumChannels=1\r\ninChannelLink=0;1\r\n");
    const PanelTreeItem channel = Item("Mic", kHeadset, PanelItemKind::kRecording, true, 0);
    m_editor->ToggleCheckBox(channel, true);
    EXPECT_NE(FileText().find("inChannelLink=-2;1\r\n"), std::string::npos);
    EXPECT_NE(FileText().find("out=\r\n"), std::string::npos);
    DeviceTable devices{{"Mic", kHeadset}};
    EXPECT_EQ(RebuiltOutline(devices)[5], Gbk("    声道[0]| "));

    m_editor->ToggleCheckBox(channel, false);
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
    };
    const Case cases[] = {
        {"device", PanelItemKind::kDevice, "out=B\r\n", "in=B\r\n"},
        {"playback group", PanelItemKind::kPlayback, "out=B\r\n", "in=A;B\r\n"},
        {"recording group", PanelItemKind::kRecording, "out=A;B\r\n", "in=B\r\n"},
    };
    for (const Case& c : cases) {
        StartFrom(start);
        m_events.clear();
        m_editor->ToggleCheckBox(Item("A", kHeadset, c.kind), true);
        const std::string file = FileText();
        EXPECT_NE(file.find(c.outList), std::string::npos) << c.what << "\n" << file;
        EXPECT_NE(file.find(c.inList), std::string::npos) << c.what;
        EXPECT_NE(file.find("[A]\r\noutMaximumChannels=2\r\n"), std::string::npos) << c.what;
        ExpectOneEventAfterEveryWrite(kSettingsEvent);
    }
    // The second group cleared takes the device off both lists, and its box
    // goes with them.
    StartFrom(start);
    m_editor->ToggleCheckBox(Item("A", kHeadset, PanelItemKind::kRecording), true);
    m_editor->ToggleCheckBox(Item("A", kHeadset, PanelItemKind::kPlayback), true);
    EXPECT_NE(FileText().find("out=B\r\nin=B\r\n"), std::string::npos);
    DeviceTable devices{{"A", kHeadset}};
    EXPECT_EQ(RebuiltOutline(devices)[0], "A| ");
}

TEST_F(SettingsEditorTest, TickingAGroupKeepsTheLinksAndDelayOfAnExistingEntry)
{
    StartFrom("[default]\r\nout=A\r\n[A]\r\noutMaximumChannels=6\r\noutChannelLink=3;4\r\noutOutLatency=0.40\r\n");
    m_editor->ToggleCheckBox(Item("A", kHeadset, PanelItemKind::kRecording), false);
    std::string file = FileText();
    EXPECT_NE(file.find("outMaximumChannels=6\r\n"), std::string::npos) << "the output entry is not this click's";
    EXPECT_NE(file.find("inChannelLink=-1;-1\r\n"), std::string::npos);
    EXPECT_NE(file.find("out=A\r\nin=A\r\n"), std::string::npos);
    m_editor->ToggleCheckBox(Item("A", kHeadset, PanelItemKind::kPlayback), false);
    file = FileText();
    EXPECT_NE(file.find("outMaximumChannels=2\r\n"), std::string::npos);   // the scanned range replaces it
    EXPECT_NE(file.find("outChannelLink=3;4\r\n"), std::string::npos);
    EXPECT_NE(file.find("outOutLatency=0.40\r\n"), std::string::npos);
}

TEST_F(SettingsEditorTest, TheChannelListSetsTheLinkOfTheHighlightedPlaybackChannel)
{
    StartFrom("[default]\r\nout=Speaker\r\n[Speaker]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\n");
    EXPECT_TRUE(m_editor->SelectChannelLink(Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback, true, 1), 0));
    EXPECT_NE(FileText().find("outChannelLink=0;-1\r\n"), std::string::npos);
    ExpectOneEventAfterEveryWrite(kSettingsEvent);
    EXPECT_TRUE(m_editor->SelectChannelLink(Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback, true, 0), 8));
    EXPECT_NE(FileText().find("outChannelLink=7;-1\r\n"), std::string::npos);
    // The link it has already: nothing is written, nobody is told.
    m_events.clear();
    EXPECT_FALSE(m_editor->SelectChannelLink(Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback, true, 0), 8));
    EXPECT_TRUE(m_events.empty());

    // A device without an output entry gets one with its scanned range, in
    // which only that channel plays.
    EXPECT_TRUE(m_editor->SelectChannelLink(Item("New", kStereoSpeaker, PanelItemKind::kPlayback, true, 0), 2));
    const std::string file = FileText();
    EXPECT_NE(file.find("[New]\r\noutMaximumChannels=2\r\noutMinimumSampleFrequency=8000\r\n"), std::string::npos);
    EXPECT_NE(file.find("outChannelLink=1;-2\r\n"), std::string::npos);
    EXPECT_NE(file.find("out=New;Speaker\r\n"), std::string::npos);
    ExpectOneEventAfterEveryWrite(kSettingsEvent);
}

TEST_F(SettingsEditorTest, TheChannelListChangesNothingForAnyOtherItem)
{
    const std::string start = "[default]\r\nout=Speaker\r\n[Speaker]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\n";
    StartFrom(start);
    const std::string before = FileText();
    for (const PanelTreeItem& item : {Item("Speaker", kHeadset, PanelItemKind::kDevice),
                                      Item("Speaker", kHeadset, PanelItemKind::kPlayback),
                                      Item("Speaker", kHeadset, PanelItemKind::kRecording),
                                      Item("Speaker", kHeadset, PanelItemKind::kRecording, true, 1)}) {
        EXPECT_FALSE(m_editor->SelectChannelLink(item, 5)) << item.kind << " " << item.isChannel;
    }
    EXPECT_EQ(FileText(), before);
    EXPECT_TRUE(m_events.empty());
}

TEST_F(SettingsEditorTest, TheSampleRateIsWrittenAndSignalledAndAnEmptySelectionChangesNothing)
{
    EXPECT_TRUE(m_editor->SelectSampleRate(4));
    EXPECT_EQ(FileText(), "[default]\r\nSampleRate=48000\r\n");
    ExpectOneEventAfterEveryWrite(kSettingsEvent);
    EXPECT_EQ(m_file->LoadSettings()->sampleRate, 48000);
    EXPECT_FALSE(m_editor->SelectSampleRate(-1));
    EXPECT_FALSE(m_editor->SelectSampleRate(9));  // one past the last rate, 192000
    EXPECT_EQ(FileText(), "[default]\r\nSampleRate=48000\r\n");
    EXPECT_EQ(EventNames().size(), 1u);
}

TEST_F(SettingsEditorTest, TheSampleFormatWritesDepthAndTypeThenSignalsOnce)
{
    EXPECT_TRUE(m_editor->SelectSampleFormat(3));
    EXPECT_EQ(FileText(), "[default]\r\nBitSpersample=32\r\nSampleFormat=float\r\n");
    ExpectOneEventAfterEveryWrite(kSettingsEvent);
    EXPECT_EQ(m_file->LoadSettings()->bitsPerSample, 32);
    EXPECT_TRUE(m_editor->SelectSampleFormat(1));
    EXPECT_EQ(FileText(), "[default]\r\nBitSpersample=24\r\nSampleFormat=int\r\n");
    EXPECT_EQ(m_file->ReadDefaultText("SampleFormat", "?"), "int");
    EXPECT_FALSE(m_editor->SelectSampleFormat(-1));
    EXPECT_FALSE(m_editor->SelectSampleFormat(4));
    EXPECT_EQ(FileText(), "[default]\r\nBitSpersample=24\r\nSampleFormat=int\r\n");
    EXPECT_EQ(EventNames().size(), 2u);
}

TEST_F(SettingsEditorTest, TheBufferSizeIsWrittenOnEveryMoveWithoutAnEvent)
{
    for (int32_t frames : {64, 128, 1024, 256}) {
        m_editor->SetBufferSize(frames);
    }
    EXPECT_EQ(FileText(), "[default]\r\nBlockFrames=256\r\n");
    EXPECT_TRUE(m_events.empty());
}

TEST_F(SettingsEditorTest, TheVolumeIsWrittenAsALinearGainSignalledAndTracedOnlyWhenTheDriverListens)
{
    TraceCapture trace;
    m_editor->SetVolume(40);   // the "-24" mark
    EXPECT_EQ(FileText(), "[default]\r\nVolume=0.063096\r\n");
    ExpectOneEventAfterEveryWrite(kSettingsEvent);
    EXPECT_TRUE(trace.Contains("[TELVARA]ASIO SET VOLUME 0.063096"));

    m_editor->SetVolume(100);
    EXPECT_EQ(FileText(), "[default]\r\nVolume=0.000000\r\n");
    m_driverRunning = false;
    trace.Clear();
    m_editor->SetVolume(0);
    EXPECT_EQ(FileText(), "[default]\r\nVolume=1.000000\r\n");
    EXPECT_EQ(EventNames().size(), 3u);
    EXPECT_TRUE(trace.Lines().empty());
}

TEST_F(SettingsEditorTest, TheOutputDelayIsWrittenOnlyForATickedDeviceThatPlaysAndSignalledOnItsOwnEvent)
{
    TraceCapture trace;
    StartFrom("[default]\r\nout=Speaker\r\n[Speaker]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\n");
    const std::string before = FileText();
    // Nothing highlighted, a channel, a recording group, a device not in
    // "out", one that does not play at the rate: nothing happens.
    const PanelTreeItem channel = Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback, true, 0);
    const PanelTreeItem recording = Item("Speaker", kHeadset, PanelItemKind::kRecording);
    const PanelTreeItem unticked = Item("Other", kStereoSpeaker, PanelItemKind::kDevice);
    const PanelTreeItem slow = Item("Speaker", ScannedDevice(2, 32000), PanelItemKind::kDevice);
    for (const PanelTreeItem* item : {static_cast<const PanelTreeItem*>(nullptr), &channel, &recording, &unticked, &slow}) {
        EXPECT_FALSE(m_editor->SetOutputDelay(item, 25));
    }
    EXPECT_EQ(FileText(), before);
    EXPECT_TRUE(m_events.empty());

    const PanelTreeItem group = Item("Speaker", kStereoSpeaker, PanelItemKind::kPlayback);
    EXPECT_EQ(m_editor->SetOutputDelay(&group, 29), "145.00ms");
    EXPECT_NE(FileText().find("outOutLatency=0.29\r\n"), std::string::npos) << FileText();
    ExpectOneEventAfterEveryWrite(kDelayEvent);
    EXPECT_TRUE(trace.Contains(Gbk("[TELVARA]调整设备[Speaker]延迟 0.290000 事件发送成功")));

    m_driverRunning = false;
    EXPECT_EQ(m_editor->SetOutputDelay(&group, 100), "500.00ms");
    EXPECT_NE(FileText().find("outOutLatency=1.00\r\n"), std::string::npos);
    EXPECT_TRUE(trace.Contains(Gbk("[TELVARA]调整设备[Speaker]延迟 1.000000 事件发送失败")));
}

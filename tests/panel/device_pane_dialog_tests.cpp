// The dialog as a user works it with mouse and keyboard: every way of
// ticking a box is saved, the device pane follows the highlight and acts on
// it, item texts say what the settings hold, the lists and sliders store
// what they show. Driven through the window and its controls only.
#include "dialog_test_fixture.h"

#include "panel_model_support.h"
#include "panel_resources.h"

#include <commctrl.h>
#include <dbt.h>

using namespace dialogtest;

namespace {

const char* const kTwoSpeakers = "[default]\r\nout=A;B\r\n"
                                 "[A]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\noutOutLatency=0.10\r\n"
                                 "[B]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\noutOutLatency=0.20\r\n";

std::wstring WideGbk(const std::string& utf8)
{
    const std::string gbk = Gbk(utf8);
    wchar_t text[512] = {};
    MultiByteToWideChar(936, 0, gbk.c_str(), -1, text, 511);
    return text;
}

}  // namespace

TEST_F(DeviceTreeDialogTest, TickingWithTheKeyboardIsSavedAsAClickIs)
{
    kssim::Simulation::Instance().Reset({Render("Speakers"), Capture("Mic")});
    Create();
    SendMessageA(Tree(), TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(ItemAt({1})));
    Pump();
    PressKey(Tree(), VK_SPACE);
    EXPECT_NE(File().find("out=Speakers\r\n"), std::string::npos) << File();
    EXPECT_TRUE(m_settingsEvent.WasSet());
    EXPECT_TRUE(Checked(ItemAt({1})));
    EXPECT_TRUE(Checked(ItemAt({1, 0})));
    PressKey(Tree(), VK_SPACE);
    EXPECT_NE(File().find("out=\r\n"), std::string::npos) << File();
    EXPECT_FALSE(Checked(ItemAt({1, 0})));
}

TEST_F(DeviceTreeDialogTest, ThePaneShowsTheHighlightedItemAndItsControlsActOnIt)
{
    kssim::Simulation::Instance().Reset({Render("A"), Render("B")});
    WriteSettings(kTwoSpeakers);
    Create();
    ClickText(ItemAt({0}));
    ASSERT_EQ(Highlighted(), ItemAt({0}));
    EXPECT_EQ(ControlText(IDC_CHANNEL_GROUP), "A");
    EXPECT_EQ(ControlText(IDC_DELAY_VALUE), "50.00ms");

    // The arrow key moves the highlight to B: the pane follows.
    PressKey(Tree(), VK_DOWN);
    ASSERT_EQ(Highlighted(), ItemAt({1}));
    EXPECT_EQ(ControlText(IDC_CHANNEL_GROUP), "B");
    EXPECT_EQ(ControlText(IDC_DELAY_VALUE), "100.00ms");

    // One step of the delay slider goes to B, the highlighted device.
    PressKey(Control(IDC_DELAY_SLIDER), VK_RIGHT);
    EXPECT_NE(File().find("[B]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\noutOutLatency=0.21\r\n"),
              std::string::npos)
        << File();
    EXPECT_NE(File().find("[A]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\noutOutLatency=0.10\r\n"),
              std::string::npos)
        << File();
    EXPECT_TRUE(m_delayEvent.WasSet());

    // Opening A with its +/- button leaves the highlight, and the pane, on B.
    ClickExpander(ItemAt({0}));
    EXPECT_EQ(Highlighted(), ItemAt({1}));
    EXPECT_EQ(ControlText(IDC_CHANNEL_GROUP), "B");
    EXPECT_EQ(ControlText(IDC_DELAY_VALUE), "105.00ms");
}

TEST_F(DeviceTreeDialogTest, AnAutomaticLinkReadsTheSameRightAfterTickingAsAfterARebuild)
{
    kssim::Simulation::Instance().Reset({Render("Speakers")});
    Create();
    ExpandAll();
    ClickCheckBox(ItemAt({0}));
    ASSERT_NE(File().find("outChannelLink=-1;-1\r\n"), std::string::npos);
    const std::vector<std::string> ticked =
        GbkLines({"Speakers|x", "  播放|x", "    左声道[自动分配]|x", "    右声道[自动分配]|x"});
    EXPECT_EQ(Outline(), ticked);

    DEV_BROADCAST_DEVICEINTERFACE_A change{};
    change.dbcc_size = sizeof change;
    change.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    SendMessageA(Window(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&change));
    Pump();
    ExpandAll();
    EXPECT_EQ(Outline(), ticked);
}

TEST_F(DeviceTreeDialogTest, TheChannelListOffersTheDriversOutputsOnlyAndAKeyboardPickWaitsUntilItIsMade)
{
    // Two ticked stereo speakers make four outputs; C is not ticked. B's
    // right channel names output 5, which the driver does not have.
    kssim::Simulation::Instance().Reset({Render("A"), Render("B"), Render("C")});
    WriteSettings("[default]\r\nout=A;B\r\n[A]\r\noutMaximumChannels=2\r\noutChannelLink=-1;-1\r\n"
                  "[B]\r\noutMaximumChannels=2\r\noutChannelLink=0;5\r\n");
    Create();
    ExpandAll();
    HWND list = Control(IDC_CHANNEL_LIST);
    EXPECT_EQ(SendMessageA(list, CB_GETCOUNT, 0, 0), 5) << "自动分配 and 声道0 to 声道3";
    EXPECT_EQ(Text(ItemAt({1, 0, 1})), Gbk("右声道[5(无此声道)]"));
    ClickText(ItemAt({1, 0, 1}));
    EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), -1);
    EXPECT_EQ(StatusBarText(), WideGbk("声道链接的输出声道5不存在，此声道静音，请在列表中重新选择"));

    // A's left channel: browsing the open list with the keyboard writes
    // nothing, Escape takes the browsing back.
    ClickText(ItemAt({0, 0, 0}));
    ASSERT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), 0);
    const std::string before = File();
    SendMessageA(list, CB_SHOWDROPDOWN, TRUE, 0);
    PressKey(list, VK_DOWN);
    EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(File(), before);
    PressKey(list, VK_ESCAPE);
    EXPECT_FALSE(SendMessageA(list, CB_GETDROPPEDSTATE, 0, 0));
    EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(File(), before);
    EXPECT_FALSE(m_settingsEvent.WasSet());

    // Enter makes the pick.
    SendMessageA(list, CB_SHOWDROPDOWN, TRUE, 0);
    PressKey(list, VK_DOWN);
    PressKey(list, VK_RETURN);
    EXPECT_NE(File().find("[A]\r\noutMaximumChannels=2\r\noutChannelLink=0;-1\r\n"), std::string::npos) << File();
    EXPECT_EQ(Text(ItemAt({0, 0, 0})), Gbk("左声道[0]"));
    EXPECT_TRUE(m_settingsEvent.WasSet());
}

TEST_F(DeviceTreeDialogTest, TheVolumeSliderFollowsItsDecibelMarks)
{
    kssim::Simulation::Instance().Reset({Render("Speakers")});
    Create();
    // The marks -12, -24, -36 and -48 dB; the file keeps the linear gain.
    const std::pair<int, const char*> marks[] = {
        {20, "Volume=0.251189\r\n"}, {40, "Volume=0.063096\r\n"}, {60, "Volume=0.015849\r\n"},
        {80, "Volume=0.003981\r\n"}, {100, "Volume=0.000000\r\n"}, {0, "Volume=1.000000\r\n"}};
    for (const auto& [position, line] : marks) {
        Scroll(IDC_OUTPUT_VOLUME, position, WM_VSCROLL);
        EXPECT_NE(File().find(line), std::string::npos) << position << "\n" << File();
    }
}

TEST_F(DeviceTreeDialogTest, TheDelayMovesInTheStepsTheFileKeepsAndOnlyForDevicesThatPlay)
{
    kssim::Simulation::Instance().Reset({Render("Speakers"), Capture("Mic")});
    WriteSettings("[default]\r\nout=Speakers\r\nin=Mic\r\n"
                  "[Speakers]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\noutOutLatency=0.29\r\n"
                  "[Mic]\r\ninMaximumChannels=2\r\ninChannelLink=0;1\r\n");
    Create();
    ClickText(ItemAt({1}));
    EXPECT_EQ(ControlText(IDC_DELAY_VALUE), "145.00ms");
    EXPECT_EQ(ControlText(IDC_DELAY_TIP).substr(0, 11), "TIP:0~500ms") << "the slider reaches 0";
    // One arrow press is one 5 ms step of the file.
    PressKey(Control(IDC_DELAY_SLIDER), VK_RIGHT);
    EXPECT_NE(File().find("outOutLatency=0.30\r\n"), std::string::npos) << File();
    EXPECT_EQ(ControlText(IDC_DELAY_VALUE), "150.00ms");
    PressKey(Control(IDC_DELAY_SLIDER), VK_LEFT);
    PressKey(Control(IDC_DELAY_SLIDER), VK_LEFT);
    EXPECT_NE(File().find("outOutLatency=0.28\r\n"), std::string::npos) << File();
    EXPECT_EQ(ControlText(IDC_DELAY_VALUE), "140.00ms");
    EXPECT_TRUE(m_delayEvent.WasSet());

    // The microphone records only: its own ranges, no delay to set.
    ClickText(ItemAt({0}));
    EXPECT_EQ(ControlText(IDC_CHANNEL_GROUP), "Mic");
    EXPECT_EQ(ControlText(IDC_RATE_RANGE), "8000-48000Hz");
    EXPECT_EQ(ControlText(IDC_BITS_RANGE), "16-16Bit");
    EXPECT_FALSE(IsWindowVisible(Control(IDC_DELAY_SLIDER)));
    const std::string before = File();
    Scroll(IDC_DELAY_SLIDER, 30, WM_HSCROLL);
    EXPECT_EQ(File(), before);
    EXPECT_FALSE(m_delayEvent.WasSet());
}

TEST_F(DeviceTreeDialogTest, TickingADeviceListsItOnlyForTheDirectionsItHas)
{
    kssim::Simulation::Instance().Reset({Render("Speakers"), Capture("Mic")});
    Create();
    ClickCheckBox(ItemAt({1}));
    EXPECT_NE(File().find("out=Speakers\r\nin=\r\n"), std::string::npos) << File();
    ClickCheckBox(ItemAt({0}));
    EXPECT_NE(File().find("out=Speakers\r\nin=Mic\r\n"), std::string::npos) << File();
    EXPECT_EQ(File().find("[Mic]\r\nout"), std::string::npos) << File();
    EXPECT_EQ(File().find("inMaximumChannels=0"), std::string::npos) << File();
}

TEST_F(DeviceTreeDialogTest, TheDriftBoxAndTheClockMasterMenuWriteAtOnceAndShowTheFile)
{
    kssim::Simulation::Instance().Reset({Render("A"), Render("B"), Capture("Mic")});
    const std::string start = "[default]\r\nout=A;B\r\nDriftCompensation=0\r\n"
                              "[A]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\n"
                              "[B]\r\noutMaximumChannels=2\r\noutChannelLink=0;1\r\n";
    WriteSettings(start);
    Create();
    HWND box = Control(IDC_DRIFT_COMPENSATION);
    wchar_t caption[32] = {};
    GetWindowTextW(box, caption, 31);
    EXPECT_EQ(std::wstring(caption), WideGbk("时钟漂移补偿"));
    EXPECT_EQ(IsDlgButtonChecked(Window(), IDC_DRIFT_COMPENSATION), BST_UNCHECKED);

    // Each click writes the key in place and tells the driver.
    for (const char* expected : {"DriftCompensation=1\r\n", "DriftCompensation=0\r\n", "DriftCompensation=1\r\n"}) {
        SendMessageA(box, BM_CLICK, 0, 0);
        Pump();
        EXPECT_EQ(File().find(std::string("[default]\r\nout=A;B\r\n") + expected), 0u) << File();
        EXPECT_TRUE(m_settingsEvent.WasSet()) << expected;
    }
    EXPECT_EQ(IsDlgButtonChecked(Window(), IDC_DRIFT_COMPENSATION), BST_CHECKED);

    // No device is named: none is marked. B becomes the master through its
    // menu, highlighted by the click.
    EXPECT_EQ(Text(ItemAt({0})), "A");
    dialogtest::ContextMenu menu = RightClick(ItemAt({1}), true);
    ASSERT_TRUE(menu.shown);
    EXPECT_EQ(menu.text, WideGbk("设为主时钟设备"));
    EXPECT_EQ(menu.state & (MF_GRAYED | MF_CHECKED), 0u);
    EXPECT_NE(File().find("DriftCompensation=1\r\nClockMaster=B\r\n"), std::string::npos) << File();
    EXPECT_TRUE(m_settingsEvent.WasSet());
    EXPECT_EQ(Highlighted(), ItemAt({1}));
    EXPECT_EQ(ControlText(IDC_CHANNEL_GROUP), "B");
    EXPECT_EQ(Text(ItemAt({0})), "A");
    EXPECT_EQ(Text(ItemAt({1})), Gbk("B(主时钟)"));

    // The menu key opens the same menu at the highlighted item: checked now.
    // Closing it writes nothing.
    std::string before = File();
    menu = MenuKey(false);
    ASSERT_TRUE(menu.shown);
    EXPECT_EQ(menu.state & (MF_GRAYED | MF_CHECKED), static_cast<UINT>(MF_CHECKED));
    EXPECT_EQ(File(), before);
    EXPECT_FALSE(m_settingsEvent.WasSet());

    // The microphone is not opened by the driver: grayed, and its command,
    // however it comes, writes nothing.
    menu = RightClick(ItemAt({2}), true);
    ASSERT_TRUE(menu.shown);
    EXPECT_EQ(menu.state & (MF_GRAYED | MF_CHECKED), static_cast<UINT>(MF_GRAYED));
    EXPECT_EQ(Highlighted(), ItemAt({2}));
    SendMessageW(Window(), WM_COMMAND, IDM_SET_CLOCK_MASTER, 0);
    Pump();
    EXPECT_EQ(File(), before);
    EXPECT_FALSE(m_settingsEvent.WasSet());
    EXPECT_EQ(Text(ItemAt({1})), Gbk("B(主时钟)"));

    // A's menu moves the mark; a new panel shows the file as it was left.
    RightClick(ItemAt({0}), true);
    EXPECT_NE(File().find("ClockMaster=A\r\n"), std::string::npos) << File();
    m_dialog.reset();
    Pump();
    Create();
    EXPECT_EQ(IsDlgButtonChecked(Window(), IDC_DRIFT_COMPENSATION), BST_CHECKED);
    EXPECT_EQ(Text(ItemAt({0})), Gbk("A(主时钟)"));
    EXPECT_EQ(Text(ItemAt({1})), "B");
    SaveScreenshot("panel-clock-master.bmp");

    // Chosen again on the master, the name is cleared.
    menu = RightClick(ItemAt({0}), true);
    EXPECT_EQ(menu.state & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
    EXPECT_NE(File().find("ClockMaster=\r\n"), std::string::npos) << File();
    EXPECT_TRUE(m_settingsEvent.WasSet());
    EXPECT_EQ(Text(ItemAt({0})), "A");
}

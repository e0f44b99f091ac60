// The device tree as a user sets it up through the dialog, and the rebuilds
// that devices arriving and leaving cause.
#include "dialog_test_fixture.h"

#include "message_box_log.h"
#include "panel_model_support.h"
#include "panel_resources.h"

#include <commctrl.h>
#include <dbt.h>

using namespace dialogtest;

namespace {

std::wstring Wide(const char* utf8)
{
    wchar_t text[512] = {};
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text, 511);
    return text;
}

}  // namespace

TEST_F(DeviceTreeDialogTest, AUserSetsUpTwoSpeakersAndAMicrophoneThroughTheDialog)
{
    kssim::Simulation::Instance().Reset(
        {Render("Speakers A"), Render("Speakers B", 2, 44100), Capture("Mic"), SecondOf(Render("Speakers A"))});
    Create();
    EXPECT_TRUE(LoggedMessageBoxes().empty());
    ExpandAll();
    EXPECT_EQ(Outline(), GbkLines({"1_Speakers A| ", "  播放| ", "    左声道[未映射]| ", "    右声道[未映射]| ",
                            "Mic| ", "  录音| ",
                            "Speakers A| ", "  播放| ", "    左声道[未映射]| ", "    右声道[未映射]| ",
                            "Speakers B| ", "  播放| ", "    左声道[未映射]| ", "    右声道[未映射]| "}));
    // Nothing ticked: no outputs yet, and the status bar says what to do first.
    EXPECT_EQ(SendMessageA(Control(IDC_CHANNEL_LIST), CB_GETCOUNT, 0, 0), 1);
    EXPECT_EQ(StatusBarText(), Wide("请勾选要使用的声音设备：播放设备勾选“播放”，录音设备勾选“录音”"));
    EXPECT_EQ(SendMessageA(Control(IDC_SAMPLE_RATE_LIST), CB_GETCURSEL, 0, 0), 3);
    EXPECT_EQ(SendMessageA(Control(IDC_BUFFER_SLIDER), TBM_GETPOS, 0, 0), 4);
    EXPECT_EQ(ControlText(IDC_BUFFER_TEXT), "512 samples (11.6 ms)");
    EXPECT_FALSE(IsWindowEnabled(Control(IDC_INPUT_VOLUME)));
    SendMessageA(Tree(), TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(ItemAt({0})));
    SaveScreenshot("panel-device-tree.bmp");

    // Tick the speaker: the "out" list only, automatic links shown as such
    // at once, one settings event.
    ClickCheckBox(ItemAt({2}));
    EXPECT_EQ(File(), "[Speakers A]\r\noutMaximumChannels=2\r\noutMinimumSampleFrequency=8000\r\n"
                      "outMaximumSampleFrequency=48000\r\noutMinimumBitsPerSample=16\r\noutMaximumBitsPerSample=16\r\n"
                      "outChannelLink=-1;-1\r\noutOutLatency=0.00\r\n"
                      "[default]\r\nout=Speakers A\r\nin=\r\n");
    EXPECT_TRUE(m_settingsEvent.WasSet());
    EXPECT_FALSE(m_delayEvent.WasSet());
    EXPECT_EQ(Outline()[6], "Speakers A|x");
    EXPECT_EQ(Outline()[7], Gbk("  播放|x"));
    EXPECT_EQ(Outline()[8], Gbk("    左声道[自动分配]|x"));
    EXPECT_EQ(Outline()[9], Gbk("    右声道[自动分配]|x"));
    EXPECT_EQ(SendMessageA(Control(IDC_CHANNEL_LIST), CB_GETCOUNT, 0, 0), 3);

    // Pick output channel 1 for its right channel.
    ClickText(ItemAt({2, 0, 1}));
    EXPECT_EQ(Highlighted(), ItemAt({2, 0, 1}));
    EXPECT_TRUE(IsWindowVisible(Control(IDC_CHANNEL_LIST)));
    EXPECT_EQ(SendMessageA(Control(IDC_CHANNEL_LIST), CB_GETCURSEL, 0, 0), 0);
    Choose(IDC_CHANNEL_LIST, 2);
    EXPECT_NE(File().find("outChannelLink=-1;1\r\n"), std::string::npos);
    EXPECT_EQ(Text(ItemAt({2, 0, 1})), Gbk("右声道[1]"));
    EXPECT_TRUE(m_settingsEvent.WasSet());

    // Volume at -6 dB.
    Scroll(IDC_OUTPUT_VOLUME, 10, WM_VSCROLL);
    EXPECT_NE(File().find("Volume=0.501187\r\n"), std::string::npos);
    EXPECT_TRUE(m_settingsEvent.WasSet());

    // 100 ms of delay on the speaker, on its own event.
    ClickText(ItemAt({2}));
    EXPECT_TRUE(IsWindowVisible(Control(IDC_DELAY_SLIDER)));
    Scroll(IDC_DELAY_SLIDER, 20, WM_HSCROLL);
    EXPECT_NE(File().find("outOutLatency=0.20\r\n"), std::string::npos);
    EXPECT_EQ(ControlText(IDC_DELAY_VALUE), "100.00ms");
    EXPECT_TRUE(m_delayEvent.WasSet());
    EXPECT_FALSE(m_settingsEvent.WasSet());

    // The buffer slider writes and tells nobody.
    Scroll(IDC_BUFFER_SLIDER, 3, WM_HSCROLL);
    EXPECT_NE(File().find("BlockFrames=256\r\n"), std::string::npos);
    EXPECT_EQ(ControlText(IDC_BUFFER_TEXT), "256 samples (5.8 ms)");
    EXPECT_FALSE(m_settingsEvent.WasSet());
    EXPECT_FALSE(m_delayEvent.WasSet());

    // 48000 Hz: the speaker that stops at 44100 Hz leaves the tree; the
    // highlight stays on Speakers A.
    Choose(IDC_SAMPLE_RATE_LIST, 4);
    EXPECT_NE(File().find("SampleRate=48000\r\n"), std::string::npos);
    EXPECT_TRUE(m_settingsEvent.WasSet());
    ExpandAll();
    EXPECT_EQ(Outline(), GbkLines({"1_Speakers A| ", "  播放| ", "    左声道[未映射]| ", "    右声道[未映射]| ",
                            "Mic| ", "  录音| ",
                            "Speakers A|x", "  播放|x", "    左声道[自动分配]|x", "    右声道[1]|x"}));
    EXPECT_EQ(Highlighted(), ItemAt({2}));
    EXPECT_EQ(ControlText(IDC_BUFFER_TEXT), "256 samples (5.3 ms)");

    // The microphone: ticking its recording group lists it in "in" only.
    ClickCheckBox(ItemAt({1, 0}));
    EXPECT_NE(File().find("out=Speakers A\r\nin=Mic\r\n"), std::string::npos) << File();
    EXPECT_TRUE(Checked(ItemAt({1})));
    EXPECT_TRUE(Checked(ItemAt({1, 0})));
    ExpandAll();
    ClickText(ItemAt({2, 0, 1}));
    SaveScreenshot("panel-ticked-devices.bmp");
}

TEST_F(DeviceTreeDialogTest, DevicesArrivingAndLeavingRebuildTheTree)
{
    kssim::Simulation::Instance().Reset({Render("Speakers")});
    Create();
    const std::vector<std::string> speakers = GbkLines({"Speakers| ", "  播放| ", "    左声道[未映射]| ",
                                                        "    右声道[未映射]| "});
    ASSERT_EQ(Outline(), speakers);

    DEV_BROADCAST_DEVICEINTERFACE_A change{};
    change.dbcc_size = sizeof change;
    change.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    const auto deviceChange = [&](WPARAM event, bool withData) {
        SendMessageA(Window(), WM_DEVICECHANGE, event, withData ? reinterpret_cast<LPARAM>(&change) : 0);
        Pump();
    };
    kssim::Simulation::Instance().AddDevice(Capture("Headset"));
    deviceChange(DBT_DEVICEARRIVAL, false);   // no event data: nothing happens
    EXPECT_EQ(Outline(), speakers);
    deviceChange(DBT_DEVICEARRIVAL, true);
    std::vector<std::string> both = GbkLines({"Headset| ", "  录音| "});
    both.insert(both.end(), speakers.begin(), speakers.end());
    EXPECT_EQ(Outline(), both);

    kssim::Simulation::Instance().RemoveDevice("\\\\?\\sim#render#Speakers");
    deviceChange(DBT_DEVICEREMOVECOMPLETE, true);
    EXPECT_EQ(Outline(), GbkLines({"Headset| ", "  录音| "}));
    EXPECT_TRUE(LoggedMessageBoxes().empty());

    kssim::Simulation::Instance().RemoveDevice("\\\\?\\sim#capture#Headset");
    deviceChange(DBT_DEVICEREMOVECOMPLETE, true);
    EXPECT_TRUE(Outline().empty());
    ASSERT_EQ(LoggedMessageBoxes().size(), 1u);
    EXPECT_EQ(LoggedMessageBoxes()[0].text,
              Gbk("当前采样率下无可用设备进行设置，请确保蓝牙音箱或外部音频设备已连接!"));
    EXPECT_EQ(LoggedMessageBoxes()[0].caption, Gbk("提示"));
    EXPECT_EQ(LoggedMessageBoxes()[0].type, static_cast<unsigned>(MB_OK));
}

TEST_F(DeviceTreeDialogTest, ADeviceAnotherProgramHoldsIsMarkedAndTheFormatListWritesBothKeys)
{
    kssim::Simulation::Instance().Reset({Render("Speakers"), Capture("Mic")});
    kssim::Simulation::Instance().HoldInstances("\\\\?\\sim#render#Speakers", -1);
    Create();
    ExpandAll();
    EXPECT_EQ(Outline(), GbkLines({"Mic| ", "  录音| ", "Speakers(被占用)| ", "  播放(被占用)| ",
                                   "    左声道[未映射]| ", "    右声道[未映射]| "}));

    // The host sample types, 16-bit integers chosen while nothing is stored.
    HWND formats = Control(IDC_SAMPLE_FORMAT_LIST);
    ASSERT_EQ(SendMessageA(formats, CB_GETCOUNT, 0, 0), 4);
    const char* const texts[] = {"16 位整数", "24 位整数", "32 位整数", "32 位浮点"};
    for (int i = 0; i < 4; ++i) {
        wchar_t entry[64] = {};
        SendMessageW(formats, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry));
        EXPECT_EQ(std::wstring(entry), Wide(texts[i])) << i;
    }
    EXPECT_EQ(SendMessageA(formats, CB_GETCURSEL, 0, 0), 0);
    Choose(IDC_SAMPLE_FORMAT_LIST, 3);
    EXPECT_NE(File().find("BitSpersample=32\r\nSampleFormat=float\r\n"), std::string::npos) << File();
    EXPECT_TRUE(m_settingsEvent.WasSet());
    Choose(IDC_SAMPLE_FORMAT_LIST, 1);
    EXPECT_NE(File().find("BitSpersample=24\r\nSampleFormat=int\r\n"), std::string::npos) << File();
    // The sample rate list offers the high rates.
    HWND rates = Control(IDC_SAMPLE_RATE_LIST);
    ASSERT_EQ(SendMessageA(rates, CB_GETCOUNT, 0, 0), 9);
    char last[16] = {};
    SendMessageA(rates, CB_GETLBTEXT, 8, reinterpret_cast<LPARAM>(last));
    EXPECT_STREQ(last, "192000");

    // The other program lets go; the next scan (a rate change rescans)
    // clears the mark.
    kssim::Simulation::Instance().ReleaseInstances("\\\\?\\sim#render#Speakers", -1);
    Choose(IDC_SAMPLE_RATE_LIST, 4);
    ExpandAll();
    EXPECT_EQ(Outline(), GbkLines({"Mic| ", "  录音| ", "Speakers| ", "  播放| ", "    左声道[未映射]| ",
                                   "    右声道[未映射]| "}));
}

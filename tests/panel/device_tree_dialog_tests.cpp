// The panel's dialog in this process, under an X display, driven with window
// messages as a user drives it: clicks on the tree's check boxes and items,
// the channel and rate lists, the sliders. After each step the test reads
// config.ini and the two named events the driver waits on.
#include "settings_file.h"

#include "appdata_redirect.h"
#include "kssim.h"
#include "message_box_log.h"
#include "panel_dialog.h"
#include "panel_model_support.h"
#include "panel_resources.h"
#include "shell_calls.h"

#include <gtest/gtest.h>
#include <dbt.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const PanelLinks kLinks{"http://www.telvara.example/", "", "1"};

BOOL WINAPI IgnoreIconCall(DWORD, PNOTIFYICONDATAA)
{
    return TRUE;
}

kssim::DeviceModel Render(const std::string& name, ULONG channels = 2, ULONG maximumRate = 48000)
{
    kssim::DeviceModel device = kssim::RenderDevice(name, "\\\\?\\sim#render#" + name);
    device.pins.at(0).ranges.at(0).maximumChannels = channels;
    device.pins.at(0).ranges.at(0).maximumSampleFrequency = maximumRate;
    return device;
}

kssim::DeviceModel Capture(const std::string& name, ULONG channels = 1)
{
    kssim::DeviceModel device = kssim::CaptureDevice(name, "\\\\?\\sim#capture#" + name);
    device.pins.at(0).ranges.at(0).maximumChannels = channels;
    return device;
}

// A second device of the same friendly name.
kssim::DeviceModel SecondOf(kssim::DeviceModel device)
{
    device.devicePath += "#2";
    return device;
}

// One of the events a running driver creates; the panel only opens and sets them.
class DriverEvent {
public:
    explicit DriverEvent(const char* name) : m_event(CreateEventA(nullptr, FALSE, FALSE, name)) {}
    ~DriverEvent() { CloseHandle(m_event); }
    // Whether the panel set it since the last look.
    bool WasSet() const { return WaitForSingleObject(m_event, 0) == WAIT_OBJECT_0; }

private:
    HANDLE m_event;
};

class DeviceTreeDialogTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        INITCOMMONCONTROLSEX controls{sizeof controls, 0xFF};
        InitCommonControlsEx(&controls);
        SetNotifyIconFunction(IgnoreIconCall);
    }

    void SetUp() override
    {
        CreateDirectoryA(m_appData.SettingsFolder().c_str(), nullptr);
        WriteFileBytes(m_appData.SettingsFile(), "");
        ClearLoggedMessageBoxes();
    }

    void TearDown() override
    {
        m_dialog.reset();
        Pump();
        kssim::Simulation::Instance().Reset();
    }

    void Create()
    {
        m_dialog = std::make_unique<CQuorvexDlg>(kLinks);
        ASSERT_TRUE(m_dialog->Create(GetModuleHandleA(nullptr), ""));
        // Shown, so that the tree lays out its items for the clicks.
        ShowWindow(Window(), SW_SHOW);
        Pump();
    }

    static void Pump()
    {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    HWND Window() const { return m_dialog->GetSafeHwnd(); }
    HWND Control(int id) const { return GetDlgItem(Window(), id); }
    HWND Tree() const { return Control(IDC_DEVICE_TREE); }
    std::string File() const { return ReadFileBytes(m_appData.SettingsFile()); }

    HTREEITEM Next(HTREEITEM item, UINT relation) const
    {
        return reinterpret_cast<HTREEITEM>(
            SendMessageA(Tree(), TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
    }

    // The item reached from the root by child positions, e.g. {1, 0, 1}.
    HTREEITEM ItemAt(std::initializer_list<int> path) const
    {
        HTREEITEM item = Next(nullptr, TVGN_ROOT);
        bool first = true;
        for (int position : path) {
            if (!first) {
                item = Next(item, TVGN_CHILD);
            }
            first = false;
            for (int i = 0; i < position && item; ++i) {
                item = Next(item, TVGN_NEXT);
            }
        }
        return item;
    }

    std::string Text(HTREEITEM item) const
    {
        char text[512] = {};
        TVITEMA query{};
        query.mask = TVIF_TEXT | TVIF_HANDLE;
        query.hItem = item;
        query.pszText = text;
        query.cchTextMax = sizeof text;
        SendMessageA(Tree(), TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&query));
        return text;
    }

    bool Checked(HTREEITEM item) const
    {
        const auto state = SendMessageA(Tree(), TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_STATEIMAGEMASK);
        return (state & TVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
    }

    // Texts and checks of the whole tree, expanded, as the model tests
    // write them ("text|x" checked, "text| " clear, children indented).
    std::vector<std::string> Outline() const
    {
        std::vector<std::string> lines;
        AddOutline(Next(nullptr, TVGN_ROOT), "", lines);
        return lines;
    }

    void AddOutline(HTREEITEM item, const std::string& indent, std::vector<std::string>& lines) const
    {
        for (; item; item = Next(item, TVGN_NEXT)) {
            lines.push_back(indent + Text(item) + (Checked(item) ? "|x" : "| "));
            AddOutline(Next(item, TVGN_CHILD), indent + "  ", lines);
        }
    }

    void ExpandAll() const
    {
        for (HTREEITEM device = Next(nullptr, TVGN_ROOT); device; device = Next(device, TVGN_NEXT)) {
            SendMessageA(Tree(), TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(device));
            for (HTREEITEM group = Next(device, TVGN_CHILD); group; group = Next(group, TVGN_NEXT)) {
                SendMessageA(Tree(), TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(group));
            }
        }
        Pump();
    }

    // A left click at a point of the tree, the cursor put there first (the
    // panel hit-tests the cursor position).
    void ClickTree(POINT point)
    {
        POINT screen = point;
        ClientToScreen(Tree(), &screen);
        SetCursorPos(screen.x, screen.y);
        Pump();
        const LPARAM where = MAKELPARAM(point.x, point.y);
        PostMessageA(Tree(), WM_LBUTTONUP, 0, where);
        SendMessageA(Tree(), WM_LBUTTONDOWN, MK_LBUTTON, where);
        Pump();
    }

    POINT TextPoint(HTREEITEM item) const
    {
        RECT rect{};
        std::memcpy(&rect, &item, sizeof item);   // TVM_GETITEMRECT takes the item in the rectangle
        SendMessageA(Tree(), TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&rect));
        return {rect.left + 4, (rect.top + rect.bottom) / 2};
    }

    // The check box sits left of the item's text.
    void ClickCheckBox(HTREEITEM item)
    {
        POINT point = TextPoint(item);
        point.x -= 14;
        TVHITTESTINFO hit{};
        hit.pt = point;
        SendMessageA(Tree(), TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit));
        ASSERT_EQ(hit.hItem, item);
        ASSERT_TRUE(hit.flags & TVHT_ONITEMSTATEICON) << hit.flags;
        ClickTree(point);
    }

    void ClickText(HTREEITEM item) { ClickTree(TextPoint(item)); }

    void Scroll(int id, int position, UINT message)
    {
        SendMessageA(Control(id), TBM_SETPOS, TRUE, position);
        SendMessageA(Window(), message, MAKEWPARAM(TB_THUMBTRACK, position), reinterpret_cast<LPARAM>(Control(id)));
        Pump();
    }

    void Choose(int id, int index)
    {
        SendMessageA(Control(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        SendMessageA(Window(), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(Control(id)));
        Pump();
    }

    std::string ControlText(int id) const
    {
        char text[256] = {};
        GetWindowTextA(Control(id), text, sizeof text);
        return text;
    }

    // Keeps a picture of the dialog beside the test program (a BMP file).
    void SaveScreenshot(const std::string& name) const;

    AppDataRedirect m_appData{L"telvara-device-tree"};
    std::unique_ptr<CQuorvexDlg> m_dialog;
    DriverEvent m_settingsEvent{"Global\\TELVARA_CTL_COMING_EVENT"};
    DriverEvent m_delayEvent{"Global\\TELVARA_CTL_OUTLATENCY_EVENT"};
};

void DeviceTreeDialogTest::SaveScreenshot(const std::string& name) const
{
    RedrawWindow(Window(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Pump();
    RECT frame;
    GetWindowRect(Window(), &frame);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY);
    SelectObject(memory, previous);
    const DWORD rowBytes = static_cast<DWORD>((width * 3 + 3) & ~3);
    const DWORD imageBytes = rowBytes * static_cast<DWORD>(height);
    BITMAPFILEHEADER header{};
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof header + sizeof info.bmiHeader;
    header.bfSize = header.bfOffBits + imageBytes;
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    bytes.append(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    bytes.append(static_cast<const char*>(bits), imageBytes);
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    folder.resize(folder.find_last_of('\\') + 1);
    WriteFileBytes(folder + name, bytes);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
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
    EXPECT_EQ(SendMessageA(Control(IDC_CHANNEL_LIST), CB_GETCOUNT, 0, 0), 7);
    EXPECT_EQ(SendMessageA(Control(IDC_SAMPLE_RATE_LIST), CB_GETCURSEL, 0, 0), 3);
    EXPECT_EQ(SendMessageA(Control(IDC_BUFFER_SLIDER), TBM_GETPOS, 0, 0), 512);
    EXPECT_FALSE(IsWindowEnabled(Control(IDC_INPUT_VOLUME)));
    SaveScreenshot("panel-device-tree.bmp");

    // Tick the speaker: both lists, automatic links, one settings event.
    ClickCheckBox(ItemAt({2}));
    EXPECT_EQ(File(), "[Speakers A]\r\noutMaximumChannels=2\r\noutMinimumSampleFrequency=8000\r\n"
                      "outMaximumSampleFrequency=48000\r\noutMinimumBitsPerSample=16\r\noutMaximumBitsPerSample=16\r\n"
                      "outChannelLink=-1;-1\r\noutOutLatency=0.00\r\n"
                      "inMaximumChannels=0\r\ninMinimumSampleFrequency=0\r\ninMaximumSampleFrequency=0\r\n"
                      "inMinimumBitsPerSample=0\r\ninMaximumBitsPerSample=0\r\ninChannelLink=-1;-1\r\n"
                      "[default]\r\nout=Speakers A\r\nin=Speakers A\r\n");
    EXPECT_TRUE(m_settingsEvent.WasSet());
    EXPECT_FALSE(m_delayEvent.WasSet());
    EXPECT_TRUE(Checked(ItemAt({2})));
    EXPECT_TRUE(Checked(ItemAt({2, 0})));
    EXPECT_TRUE(Checked(ItemAt({2, 0, 1})));

    // Pick output channel 1 for its right channel.
    ClickText(ItemAt({2, 0, 1}));
    EXPECT_TRUE(IsWindowVisible(Control(IDC_CHANNEL_LIST)));
    EXPECT_EQ(SendMessageA(Control(IDC_CHANNEL_LIST), CB_GETCURSEL, 0, 0), 0);
    Choose(IDC_CHANNEL_LIST, 2);
    EXPECT_NE(File().find("outChannelLink=-1;1\r\n"), std::string::npos);
    EXPECT_EQ(Text(ItemAt({2, 0, 1})), Gbk("右声道[1]"));
    EXPECT_TRUE(m_settingsEvent.WasSet());

    // Half volume.
    Scroll(IDC_OUTPUT_VOLUME, 50, WM_VSCROLL);
    EXPECT_NE(File().find("Volume=0.500000\r\n"), std::string::npos);
    EXPECT_TRUE(m_settingsEvent.WasSet());

    // 100 ms of delay on the speaker, on its own event.
    ClickText(ItemAt({2}));
    EXPECT_TRUE(IsWindowVisible(Control(IDC_DELAY_SLIDER)));
    Scroll(IDC_DELAY_SLIDER, 1000, WM_HSCROLL);
    EXPECT_NE(File().find("outOutLatency=0.20\r\n"), std::string::npos);
    EXPECT_EQ(ControlText(IDC_DELAY_VALUE), "100.00ms");
    EXPECT_TRUE(m_delayEvent.WasSet());
    EXPECT_FALSE(m_settingsEvent.WasSet());

    // The buffer slider writes and tells nobody.
    Scroll(IDC_BUFFER_SLIDER, 256, WM_HSCROLL);
    EXPECT_NE(File().find("BlockFrames=256\r\n"), std::string::npos);
    EXPECT_FALSE(m_settingsEvent.WasSet());
    EXPECT_FALSE(m_delayEvent.WasSet());

    // 48000 Hz: the speaker that stops at 44100 Hz leaves the tree.
    Choose(IDC_SAMPLE_RATE_LIST, 4);
    EXPECT_NE(File().find("SampleRate=48000\r\n"), std::string::npos);
    EXPECT_TRUE(m_settingsEvent.WasSet());
    ExpandAll();
    EXPECT_EQ(Outline(), GbkLines({"1_Speakers A| ", "  播放| ", "    左声道[未映射]| ", "    右声道[未映射]| ",
                            "Mic| ", "  录音| ",
                            "Speakers A|x", "  播放|x", "    左声道[自动分配]|x", "    右声道[1]|x"}));
    EXPECT_EQ(m_dialog->GetCurrentItem(), nullptr);

    // The microphone: ticking its recording group lists it in both tables.
    ClickCheckBox(ItemAt({1, 0}));
    EXPECT_NE(File().find("in=Mic;Speakers A\r\n"), std::string::npos);
    EXPECT_NE(File().find("out=Mic;Speakers A\r\n"), std::string::npos);
    EXPECT_TRUE(Checked(ItemAt({1})));
    EXPECT_TRUE(Checked(ItemAt({1, 0})));
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

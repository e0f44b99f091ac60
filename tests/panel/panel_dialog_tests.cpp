// The panel's dialog in this process, under an X display: its window, the
// icon records it hands the shell, the visibility rules and every exit of its
// loop. The shell calls are replaced, so the exact records are seen here.
#include "settings_file.h"

#include "appdata_redirect.h"
#include "kssim.h"
#include "message_box.h"
#include "message_box_log.h"
#include "panel_dialog.h"
#include "panel_resources.h"
#include "shell_calls.h"
#include "tray_icon.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

struct ShellIconCall {
    DWORD message;
    NOTIFYICONDATAA record;
};

struct ShellOpenCall {
    HWND owner;
    std::string verb, file, parameters;
    bool folderGiven;
    INT showCommand;
};

// Filled by the replacements below; the dialog runs on this thread.
std::vector<ShellIconCall> g_iconCalls;
std::vector<ShellOpenCall> g_openCalls;
bool g_guardFired = false;

BOOL WINAPI RecordIconCall(DWORD message, PNOTIFYICONDATAA data)
{
    g_iconCalls.push_back({message, *data});
    return TRUE;
}

HINSTANCE WINAPI RecordOpenCall(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR folder, INT show)
{
    g_openCalls.push_back({owner, verb ? verb : "", file ? file : "", parameters ? parameters : "", folder != nullptr,
                           show});
    return reinterpret_cast<HINSTANCE>(33);
}

void CALLBACK GuardTimer(HWND, UINT, UINT_PTR, DWORD)
{
    g_guardFired = true;
    PostQuitMessage(0x6A);
}

std::wstring Wide(const char* utf8)
{
    wchar_t text[512] = {};
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text, 511);
    return text;
}

std::wstring TextOf(HWND window)
{
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 511);
    return text;
}

std::wstring StatusText(HWND bar)
{
    wchar_t text[512] = {};
    SendMessageW(bar, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text));
    return text;
}

// A host that lives as long as the test: this process.
std::string ThisProcessAsHost()
{
    return std::to_string(GetCurrentProcessId());
}

struct ToolTipSearch {
    HWND owner;
    int tools;
    HWND found;
};

BOOL CALLBACK MatchToolTip(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<ToolTipSearch*>(parameter);
    char className[32] = {};
    GetClassNameA(window, className, sizeof className);
    if (lstrcmpiA(className, TOOLTIPS_CLASSA) == 0 && GetWindow(window, GW_OWNER) == search->owner &&
        SendMessageW(window, TTM_GETTOOLCOUNT, 0, 0) == search->tools) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// A tool-tip window of this thread owned by the window, with that many tools.
HWND FindToolTip(HWND owner, int tools)
{
    ToolTipSearch search{owner, tools, nullptr};
    EnumThreadWindows(GetCurrentThreadId(), MatchToolTip, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void Pump()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

size_t Count(DWORD message)
{
    size_t count = 0;
    for (const ShellIconCall& call : g_iconCalls) {
        count += call.message == message;
    }
    return count;
}

const PanelLinks kLinks{"http://www.telvara.example/", "", "1"};

class PanelDialogTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        INITCOMMONCONTROLSEX controls{sizeof controls, 0xFF};
        InitCommonControlsEx(&controls);
        SetNotifyIconFunction(RecordIconCall);
        SetShellExecuteFunction(RecordOpenCall);
    }

    void SetUp() override
    {
        // As a panel finds it after its first start: the folder and an empty
        // file (the process-wide settings reader makes them only once).
        CreateDirectoryA(m_appData.SettingsFolder().c_str(), nullptr);
        WriteFileBytes(m_appData.SettingsFile(), "");
        kssim::Simulation::Instance().Reset();
        g_iconCalls.clear();
        g_openCalls.clear();
        g_guardFired = false;
    }

    void TearDown() override
    {
        m_dialog.reset();
        MSG message;  // nothing of one test reaches the next
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    CQuorvexDlg& Create(const char* arguments = "")
    {
        m_dialog = std::make_unique<CQuorvexDlg>(kLinks);
        EXPECT_TRUE(m_dialog->Create(GetModuleHandleA(nullptr), arguments));
        return *m_dialog;
    }

    HWND Window() const { return m_dialog->GetSafeHwnd(); }
    bool Visible() const { return IsWindowVisible(Window()) != FALSE; }

    void Tray(LPARAM mouseMessage) { SendMessageW(Window(), WM_TRAY_NOTIFY, 0, mouseMessage); }

    // Runs the dialog's loop until it ends, at most guardMs; true when it
    // ended by itself.
    bool RunLoop(UINT guardMs = 10000)
    {
        g_guardFired = false;
        const UINT_PTR guard = SetTimer(nullptr, 0, guardMs, GuardTimer);
        m_dialog->RunModalLoop();
        KillTimer(nullptr, guard);
        return !g_guardFired;
    }

    // A quit message is waiting (taken from the queue).
    static bool QuitPosted()
    {
        MSG message;
        return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
    }

    AppDataRedirect m_appData{L"telvara-panel-dialog"};
    std::unique_ptr<CQuorvexDlg> m_dialog;
};

TEST_F(PanelDialogTest, StartsHiddenInItsClassWithTheExactIconRecordAndTheBalloonOfTheSettings)
{
    WriteFileBytes(m_appData.SettingsFile(), "[default]\r\nSampleRate=48000\r\nBitSpersample=24\r\n");
    Create();
    ASSERT_NE(Window(), nullptr);
    EXPECT_FALSE(Visible());
    char className[64] = {};
    GetClassNameA(Window(), className, sizeof className);
    EXPECT_STREQ(className, "telvarapanel");
    EXPECT_EQ(FindWindowA("telvarapanel", nullptr), Window());
    EXPECT_FALSE(m_dialog->IsHostMode());

    ASSERT_EQ(g_iconCalls.size(), 2u);
    const NOTIFYICONDATAA& added = g_iconCalls[0].record;
    EXPECT_EQ(g_iconCalls[0].message, static_cast<DWORD>(NIM_ADD));
#ifdef _WIN64
    EXPECT_EQ(added.cbSize, sizeof(NOTIFYICONDATAA));
#else
    EXPECT_EQ(added.cbSize, 508u);
#endif
    EXPECT_EQ(added.hWnd, Window());
    EXPECT_EQ(added.uID, 0u);
    EXPECT_EQ(added.uFlags, 7u);
    EXPECT_EQ(added.uCallbackMessage, static_cast<UINT>(WM_USER + 1));
    EXPECT_NE(added.hIcon, nullptr);
    EXPECT_STREQ(added.szTip, "TELVARA");

    const NOTIFYICONDATAA& balloon = g_iconCalls[1].record;
    EXPECT_EQ(g_iconCalls[1].message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(balloon.uFlags, 16u);
    EXPECT_STREQ(balloon.szInfo, "SampleRate:48000hz 24bit");
    EXPECT_STREQ(balloon.szInfoTitle, "TELVARA");
    EXPECT_EQ(balloon.uTimeout, 5000u);
    EXPECT_EQ(balloon.dwInfoFlags, 1u);
    EXPECT_EQ(balloon.hWnd, Window());
    EXPECT_EQ(balloon.hIcon, added.hIcon);
}

TEST_F(PanelDialogTest, DefaultSettingsGiveTheDefaultBalloon)
{
    Create();
    ASSERT_EQ(g_iconCalls.size(), 2u);
    EXPECT_STREQ(g_iconCalls[1].record.szInfo, "SampleRate:44100hz 16bit");
}

TEST_F(PanelDialogTest, TheStatusBarSaysWhatToDoFirstThenTheAboutTextAndStaysBelowEveryControl)
{
    kssim::Simulation::Instance().Reset({kssim::RenderDevice("Speakers", "\\\\?\\sim#render#Speakers")});
    Create();
    HWND bar = GetDlgItem(Window(), IDC_STATUS_BAR);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(StatusText(bar), Wide("请勾选要使用的声音设备：播放设备勾选“播放”，录音设备勾选“录音”"));
    m_dialog.reset();

    WriteFileBytes(m_appData.SettingsFile(), "[default]\r\nout=Speakers\r\n[Speakers]\r\noutMaximumChannels=2\r\n");
    Create();
    bar = GetDlgItem(Window(), IDC_STATUS_BAR);
    const wchar_t* about = nullptr;
    const int length = LoadStringW(GetModuleHandleA(nullptr), IDS_ABOUT_TEXT, reinterpret_cast<LPWSTR>(&about), 0);
    ASSERT_GT(length, 0);
    const std::wstring aboutText(about, static_cast<size_t>(length));
    EXPECT_EQ(StatusText(bar), aboutText);

    // At the template's size and at larger sizes, no control reaches into
    // the bar, which is at least 26 pixels high, and its text stays.
    MINMAXINFO limits{};
    SendMessageW(Window(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    RECT frame;
    GetWindowRect(Window(), &frame);
    EXPECT_EQ(limits.ptMinTrackSize.x, frame.right - frame.left);
    EXPECT_EQ(limits.ptMinTrackSize.y, frame.bottom - frame.top);
    for (int grow : {0, 120, 0}) {
        SetWindowPos(Window(), nullptr, 0, 0, limits.ptMinTrackSize.x + grow, limits.ptMinTrackSize.y + grow,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        RECT barRect;
        GetWindowRect(bar, &barRect);
        EXPECT_GE(barRect.bottom - barRect.top, 26);
        RECT client;
        GetClientRect(Window(), &client);
        MapWindowPoints(Window(), nullptr, reinterpret_cast<POINT*>(&client), 2);
        EXPECT_EQ(barRect.bottom, client.bottom) << "the bar runs along the bottom edge";
        EXPECT_EQ(StatusText(bar), aboutText) << "grow " << grow;
        for (HWND child = GetWindow(Window(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            if (child == bar || !(GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE)) {
                continue;
            }
            RECT rect;
            GetWindowRect(child, &rect);
            EXPECT_LE(rect.bottom, barRect.top) << "control " << GetDlgCtrlID(child) << " at grow " << grow;
        }
    }
}

TEST_F(PanelDialogTest, ResizingGrowsTheTreeAndMovesThePanesWithTheFrame)
{
    Create();
    auto rectOf = [this](int id) {
        RECT rect;
        GetWindowRect(GetDlgItem(Window(), id), &rect);
        MapWindowPoints(nullptr, Window(), reinterpret_cast<POINT*>(&rect), 2);
        return rect;
    };
    const int ids[] = {IDC_DEVICE_TREE, IDC_CHANNEL_GROUP, IDC_WEB_BUTTON, IDC_LOGO, IDC_SAMPLE_RATE_LIST,
                       IDC_BUFFER_SLIDER, IDC_OUTPUT_VOLUME, IDC_INPUT_VOLUME, IDC_APPLY_NOTE};
    std::vector<RECT> before;
    for (int id : ids) {
        before.push_back(rectOf(id));
    }
    RECT frame;
    GetWindowRect(Window(), &frame);
    SetWindowPos(Window(), nullptr, 0, 0, frame.right - frame.left + 200, frame.bottom - frame.top + 150,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // dx, dy of the position and dw, dh of the size, per control.
    struct Change {
        int dx, dy, dw, dh;
    };
    const Change expected[] = {
        {0, 0, 200, 150},    // the tree grows with the window
        {200, 0, 0, 0},      // the device pane keeps to the right
        {200, 0, 0, 0},      // so does the web button
        {0, 0, 0, 0},        // the logo stays
        {0, 150, 0, 0},      // the ASIO settings keep to the bottom
        {0, 150, 0, 0},
        {200, 150, 0, 0},    // the volume sliders to the bottom right
        {200, 150, 0, 0},
        {0, 150, 0, 0},
    };
    for (size_t i = 0; i < std::size(ids); ++i) {
        const RECT after = rectOf(ids[i]);
        EXPECT_EQ(after.left - before[i].left, expected[i].dx) << ids[i];
        EXPECT_EQ(after.top - before[i].top, expected[i].dy) << ids[i];
        EXPECT_EQ((after.right - after.left) - (before[i].right - before[i].left), expected[i].dw) << ids[i];
        EXPECT_EQ((after.bottom - after.top) - (before[i].bottom - before[i].top), expected[i].dh) << ids[i];
    }
}

// Every control of the template, with its class and text.
struct ControlCase {
    int id;
    const char* className;
    const char* text;  // UTF-8
    bool visible;
};

TEST_F(PanelDialogTest, TemplateHoldsEveryControlWithItsTextAndTheDelayControlsStartHidden)
{
    Create();
    EXPECT_EQ(TextOf(Window()), Wide("TELVARA 控制面板(V1.5.0)"));
    const ControlCase controls[] = {
        {IDC_DEVICE_TREE, "SysTreeView32", "", true},
        {IDC_BUFFER_SLIDER, "msctls_trackbar32", "", true},
        {IDC_SAMPLE_RATE_LIST, "ComboBox", "44100", true},  // the rate of the default settings
        {IDC_CHANNEL_GROUP, "Button", "声道配置", true},
        // No device, so nothing highlighted: no channel to link.
        {IDC_CHANNEL_LABEL, "Static", "播放声道:", false},
        {IDC_CHANNEL_LIST, "ComboBox", "", false},
        {IDC_RATE_RANGE, "Static", "", true},
        {IDC_BITS_RANGE, "Static", "", true},
        {IDC_OUTPUT_VOLUME, "msctls_trackbar32", "", true},
        {IDC_WEB_BUTTON, "Button", "", true},
        {IDC_INPUT_VOLUME, "msctls_trackbar32", "", true},
        {IDC_LOGO, "Static", "", true},
        {IDC_DELAY_SLIDER, "msctls_trackbar32", "", false},
        {IDC_DELAY_LABEL, "Static", "输出延迟:", false},
        {IDC_DELAY_TIP, "Static", "TIP:0~500ms之间，给延迟小的音频设备增加延迟达到与延迟大设备同步的目的", false},
        {IDC_DELAY_UNIT, "Static", "MS", false},
        {IDC_DELAY_VALUE, "Static", "0.0ms", false},
        {IDC_BUFFER_TEXT, "Static", "512 samples (11.6 ms)", true},  // the default buffer size
        {IDC_APPLY_NOTE, "Static", "采样率、采样位数、缓冲区大小和设备在宿主程序重新打开驱动后生效；音量和延迟立即生效", true},
        {IDC_SAMPLE_FORMAT_LIST, "ComboBox", "16 位整数", true},  // the default format
    };
    for (const ControlCase& expected : controls) {
        SCOPED_TRACE(expected.id);
        HWND control = GetDlgItem(Window(), expected.id);
        ASSERT_NE(control, nullptr);
        char className[64] = {};
        GetClassNameA(control, className, sizeof className);
        EXPECT_STREQ(className, expected.className);
        EXPECT_EQ(TextOf(control), Wide(expected.text));
        EXPECT_EQ((GetWindowLongW(control, GWL_STYLE) & WS_VISIBLE) != 0, expected.visible);
    }
    EXPECT_NE(GetWindowLongW(GetDlgItem(Window(), IDC_DEVICE_TREE), GWL_STYLE) & TVS_CHECKBOXES, 0);
    EXPECT_NE(GetWindowLongW(GetDlgItem(Window(), IDC_OUTPUT_VOLUME), GWL_STYLE) & TBS_VERT, 0);

    // The fixed labels, in template order.
    std::vector<std::wstring> labels;
    for (HWND child = GetWindow(Window(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetDlgCtrlID(child) & 0xFFFF) == 0xFFFF) {
            labels.push_back(TextOf(child));
        }
    }
    std::vector<std::wstring> expectedLabels;
    for (const char* text : {"声卡设置", "ASIO 设置", "采样率：", "采样率:", "位深度:", "输出音量", "缓冲区大小",
                             "dB", "0", "输入音量", "采样位数：", "-12", "-24", "-36", "-48", "dB", "0", "-12",
                             "-24", "-36", "-48"}) {
        expectedLabels.push_back(Wide(text));
    }
    EXPECT_EQ(labels, expectedLabels);
}

struct HostCase {
    const char* arguments;
    bool hostMode;
    DWORD processId;
};

class PanelCommandLineTest : public PanelDialogTest, public testing::WithParamInterface<HostCase> {};

TEST_P(PanelCommandLineTest, ArgumentsTurnTheHostWatchOn)
{
    Create(GetParam().arguments);
    EXPECT_EQ(m_dialog->IsHostMode(), GetParam().hostMode);
    EXPECT_EQ(m_dialog->GetHostProcessId(), GetParam().processId);
}

INSTANTIATE_TEST_SUITE_P(Arguments, PanelCommandLineTest,
                         testing::Values(HostCase{"", false, 0}, HostCase{"1234 more words", true, 1234},
                                         HostCase{"no digits", true, 0}, HostCase{"  77", true, 77}));

TEST_F(PanelDialogTest, WithoutDigitsTheWatchRunsOnAndNeverEndsThePanel)
{
    Create("no digits here");
    // Four watch periods and more: the loop must still be running.
    EXPECT_FALSE(RunLoop(1500));
    EXPECT_EQ(Count(NIM_DELETE), 0u);
}

TEST_F(PanelDialogTest, WithoutArgumentsNothingEndsThePanelByItself)
{
    Create();
    EXPECT_FALSE(RunLoop(1000));
    EXPECT_EQ(Count(NIM_DELETE), 0u);
}

// A host: this program, waiting in a test of its own until it is ended.
TEST(PanelHostChild, DISABLED_WaitsUntilEnded)
{
    Sleep(120000);
}

TEST_F(PanelDialogTest, TheHostWatchEndsThePanelWhenTheHostIsGoneRemovingTheIconFirst)
{
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string line = std::string("\"") + self +
                       "\" --gtest_also_run_disabled_tests --gtest_filter=PanelHostChild.DISABLED_WaitsUntilEnded";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION host{};
    ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &host));
    Sleep(500);  // running, and so in the process list
    Create((std::to_string(host.dwProcessId) + " more words").c_str());
    EXPECT_EQ(m_dialog->GetHostProcessId(), host.dwProcessId);
    // The host lives through a few watch periods, then ends.
    EXPECT_FALSE(RunLoop(1000)) << "the watch ended the panel while its host lived";
    TerminateProcess(host.hProcess, 0);
    ASSERT_EQ(WaitForSingleObject(host.hProcess, 60000), WAIT_OBJECT_0);
    CloseHandle(host.hThread);
    CloseHandle(host.hProcess);
    const ULONGLONG ended = GetTickCount64();
    EXPECT_TRUE(RunLoop(10000));
    std::printf("[ measure  ] host ended -> loop ended: %llu ms\n", GetTickCount64() - ended);
    EXPECT_EQ(Count(NIM_DELETE), 1u);
    ASSERT_FALSE(g_iconCalls.empty());
    EXPECT_EQ(g_iconCalls.back().message, static_cast<DWORD>(NIM_DELETE));
}

TEST_F(PanelDialogTest, LeftClickAlwaysLeavesTheDialogShownDoubleClickTogglesIt)
{
    Create();
    Tray(WM_LBUTTONDOWN);
    EXPECT_TRUE(Visible());
    Tray(WM_LBUTTONDOWN);  // hidden and at once shown again
    EXPECT_TRUE(Visible());
    Tray(WM_LBUTTONDBLCLK);  // a double click's second message hides it
    EXPECT_FALSE(Visible());
    Tray(WM_LBUTTONDOWN);
    Tray(WM_LBUTTONDBLCLK);
    EXPECT_FALSE(Visible()) << "down then double click from hidden: shown, then hidden";
    Tray(WM_LBUTTONDBLCLK);
    EXPECT_TRUE(Visible()) << "a lone double-click message shows a hidden dialog";
    Tray(WM_RBUTTONDOWN);
    Tray(WM_MOUSEMOVE);
    EXPECT_TRUE(Visible());
    EXPECT_FALSE(QuitPosted());
    EXPECT_EQ(Count(NIM_DELETE), 0u);
}

TEST_F(PanelDialogTest, InHostModeTheCloseCommandOnlyHides)
{
    Create("4");
    Tray(WM_LBUTTONDOWN);
    ASSERT_TRUE(Visible());
    EXPECT_EQ(SendMessageW(Window(), WM_SYSCOMMAND, SC_CLOSE, 0), 0);
    EXPECT_FALSE(Visible());
    EXPECT_TRUE(IsWindow(Window()));
    EXPECT_FALSE(QuitPosted());
    EXPECT_EQ(Count(NIM_DELETE), 0u);
}

// The exits of the dialog's loop: each removes the icon exactly once and ends
// the loop. Host mode (id 4, a process that never ends) must not matter.
struct ExitCase {
    const char* name;
    const char* arguments;
    void (*act)(HWND window);
    bool deviceDeleted;
    int result;  // the dialog's result; 0 when a quit message ended the loop
};

class PanelExitTest : public PanelDialogTest, public testing::WithParamInterface<ExitCase> {};

TEST_P(PanelExitTest, EndsTheLoopRemovingTheIconOnce)
{
    Create(GetParam().arguments);
    ASSERT_NE(m_dialog->GetDevice(), nullptr);
    GetParam().act(Window());
    EXPECT_TRUE(RunLoop(10000));
    EXPECT_EQ(Count(NIM_DELETE), 1u);
    EXPECT_EQ(g_iconCalls.back().message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(m_dialog->GetDevice() == nullptr, GetParam().deviceDeleted);
    EXPECT_EQ(m_dialog->GetDialogResult(), GetParam().result);
}

void PressKey(HWND window, WPARAM key)
{
    HWND tree = GetDlgItem(window, IDC_DEVICE_TREE);
    PostMessageW(tree, WM_KEYDOWN, key, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Exits, PanelExitTest,
    testing::Values(
        ExitCase{"CloseCommand", "", [](HWND w) { PostMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0); }, true, IDCANCEL},
        ExitCase{"RightDoubleClick", "", [](HWND w) { PostMessageW(w, WM_TRAY_NOTIFY, 0, WM_RBUTTONDBLCLK); }, false,
                 0},
        ExitCase{"RightDoubleClickInHostMode", "4",
                 [](HWND w) { PostMessageW(w, WM_TRAY_NOTIFY, 0, WM_RBUTTONDBLCLK); }, false, 0},
        ExitCase{"Escape", "4", [](HWND w) { PressKey(w, VK_ESCAPE); }, true, IDCANCEL},
        ExitCase{"Enter", "4", [](HWND w) { PressKey(w, VK_RETURN); }, false, IDOK},
        ExitCase{"DriverClose", "4", [](HWND w) { PostMessageW(w, WM_CLOSE, 0, 0); }, true, IDCANCEL}),
    [](const testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

TEST_F(PanelDialogTest, TabFollowsTheLayoutFromTheTreeToTheWebButton)
{
    Create();
    std::vector<int> order;
    for (HWND child = GetWindow(Window(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetWindowLongW(child, GWL_STYLE) & WS_TABSTOP) {
            order.push_back(GetDlgCtrlID(child));
        }
    }
    EXPECT_EQ(order, (std::vector<int>{IDC_DEVICE_TREE, IDC_CHANNEL_LIST, IDC_DELAY_SLIDER, IDC_SAMPLE_RATE_LIST,
                                       IDC_SAMPLE_FORMAT_LIST, IDC_DRIFT_COMPENSATION, IDC_BUFFER_SLIDER,
                                       IDC_OUTPUT_VOLUME, IDC_INPUT_VOLUME, IDC_WEB_BUTTON}));
    // The dialog manager walks it so, skipping what is hidden or disabled.
    HWND tree = GetDlgItem(Window(), IDC_DEVICE_TREE);
    EXPECT_EQ(GetNextDlgTabItem(Window(), tree, FALSE), GetDlgItem(Window(), IDC_SAMPLE_RATE_LIST));
    EXPECT_EQ(GetNextDlgTabItem(Window(), GetDlgItem(Window(), IDC_OUTPUT_VOLUME), FALSE),
              GetDlgItem(Window(), IDC_WEB_BUTTON));
    EXPECT_EQ(GetNextDlgTabItem(Window(), GetDlgItem(Window(), IDC_WEB_BUTTON), FALSE), tree);
}

TEST_F(PanelDialogTest, TheSlidersTipsSayTheVolumeInDecibelsAndWhyTheInputVolumeCannotMove)
{
    Create();
    // The dialog's tool-tip window: the one with the sliders' three tools
    // (the tree has one of its own).
    HWND tip = FindToolTip(Window(), 3);
    ASSERT_NE(tip, nullptr);
    EXPECT_EQ(GetWindow(tip, GW_OWNER), Window());

    HWND volume = GetDlgItem(Window(), IDC_OUTPUT_VOLUME);
    const auto tipText = [&](HWND slider) {
        NMTTDISPINFOW request{};
        request.hdr.hwndFrom = tip;
        request.hdr.idFrom = reinterpret_cast<UINT_PTR>(slider);
        request.hdr.code = TTN_GETDISPINFOW;
        SendMessageW(Window(), WM_NOTIFY, request.hdr.idFrom, reinterpret_cast<LPARAM>(&request));
        return std::wstring(request.lpszText ? request.lpszText : L"");
    };
    for (const auto& [position, text] : {std::pair<int, const char*>{0, "0.0 dB"}, {40, "-24.0 dB"},
                                         {80, "-48.0 dB"}, {100, "静音"}}) {
        SendMessageW(volume, TBM_SETPOS, TRUE, position);
        EXPECT_EQ(tipText(volume), Wide(text)) << position;
    }
    EXPECT_EQ(tipText(GetDlgItem(Window(), IDC_BUFFER_SLIDER)), L"512 samples (11.6 ms)");

    wchar_t reason[256] = {};
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = Window();
    tool.uId = IDC_INPUT_VOLUME;
    tool.lpszText = reason;
    SendMessageW(tip, TTM_GETTEXTW, sizeof reason / sizeof reason[0], reinterpret_cast<LPARAM>(&tool));
    EXPECT_EQ(std::wstring(reason), Wide("输入音量由 Windows 录音设备的音量决定，这里不能调整"));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(Window(), IDC_INPUT_VOLUME)));
}

TEST_F(PanelDialogTest, TheNoDeviceMessageComesWithTheWindowNotBeforeIt)
{
    ClearLoggedMessageBoxes();
    Create(ThisProcessAsHost().c_str());   // started for a host: hidden
    Pump();
    EXPECT_TRUE(LoggedMessageBoxes().empty()) << "a box before any window";
    Tray(WM_LBUTTONDOWN);
    Pump();
    ASSERT_EQ(LoggedMessageBoxes().size(), 1u);
    EXPECT_EQ(LoggedMessageBoxes()[0].caption, "\xcc\xe1\xca\xbe");   // "提示"
    EXPECT_TRUE(Visible());
    // Once only.
    Tray(WM_LBUTTONDBLCLK);
    Tray(WM_LBUTTONDOWN);
    Pump();
    EXPECT_EQ(LoggedMessageBoxes().size(), 1u);
}

TEST_F(PanelDialogTest, ARestoreCommandBringsTheWindowForwardShownAndRestored)
{
    Create(ThisProcessAsHost().c_str());
    ASSERT_FALSE(Visible());
    PostMessageW(Window(), WM_SYSCOMMAND, SC_RESTORE, 0);
    Pump();
    EXPECT_TRUE(Visible());
    ShowWindow(Window(), SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(Window()));
    PostMessageW(Window(), WM_SYSCOMMAND, SC_RESTORE, 0);
    Pump();
    EXPECT_TRUE(Visible());
    EXPECT_FALSE(IsIconic(Window()));
    EXPECT_FALSE(QuitPosted());
}

TEST_F(PanelDialogTest, TheIconsMenuOpensTheWindowAndExits)
{
    kssim::Simulation::Instance().Reset({kssim::RenderDevice("Speakers", "\\\\?\\sim#render#Speakers")});
    Create(ThisProcessAsHost().c_str());
    HMENU menu = m_dialog->LoadTrayMenu();
    ASSERT_NE(menu, nullptr);
    HMENU popup = GetSubMenu(menu, 0);
    ASSERT_EQ(GetMenuItemCount(popup), 2);
    wchar_t text[32] = {};
    GetMenuStringW(popup, 0, text, 32, MF_BYPOSITION);
    EXPECT_EQ(std::wstring(text), Wide("打开"));
    EXPECT_EQ(GetMenuItemID(popup, 0), static_cast<UINT>(IDM_TRAY_OPEN));
    GetMenuStringW(popup, 1, text, 32, MF_BYPOSITION);
    EXPECT_EQ(std::wstring(text), Wide("退出"));
    EXPECT_EQ(GetMenuItemID(popup, 1), static_cast<UINT>(IDM_TRAY_EXIT));
    DestroyMenu(menu);

    SendMessageW(Window(), WM_COMMAND, IDM_TRAY_OPEN, 0);
    EXPECT_TRUE(Visible());
    // No host uses the driver: the exit asks nothing.
    ClearLoggedMessageBoxes();
    PostMessageW(Window(), WM_COMMAND, IDM_TRAY_EXIT, 0);
    EXPECT_TRUE(RunLoop(10000));
    EXPECT_TRUE(LoggedMessageBoxes().empty());
    EXPECT_EQ(Count(NIM_DELETE), 1u);
}

int g_answer = IDNO;
std::vector<std::string> g_questions;

int AnswerBox(const char* text, const char*, unsigned int type)
{
    g_questions.push_back(text);
    return (type & MB_YESNO) ? g_answer : IDOK;
}

TEST_F(PanelDialogTest, ExitingFromTheIconAsksFirstWhileAHostUsesTheDriver)
{
    // A host's driver has its control thread waiting on the settings event.
    HANDLE driverEvent = CreateEventA(nullptr, FALSE, FALSE, "Global\\TELVARA_CTL_COMING_EVENT");
    ASSERT_NE(driverEvent, nullptr);
    const MessageBoxHandler previous = SetMessageBoxHandler(AnswerBox);
    g_questions.clear();
    Create(ThisProcessAsHost().c_str());
    for (const auto& [action, answer] :
         {std::pair<WPARAM, int>{IDM_TRAY_EXIT, IDNO}, {0, IDNO}, {IDM_TRAY_EXIT, IDYES}}) {
        g_answer = answer;
        if (action) {
            PostMessageW(Window(), WM_COMMAND, action, 0);
        } else {
            PostMessageW(Window(), WM_TRAY_NOTIFY, 0, WM_RBUTTONDBLCLK);   // the other way out
        }
        const bool ended = RunLoop(answer == IDYES ? 10000 : 1000);
        EXPECT_EQ(ended, answer == IDYES);
        EXPECT_EQ(Count(NIM_DELETE), answer == IDYES ? 1u : 0u);
    }
    SetMessageBoxHandler(previous);
    CloseHandle(driverEvent);
    ASSERT_EQ(g_questions.size(), 3u);
    EXPECT_EQ(g_questions[0],
              "\xd3\xd0\xcb\xde\xd6\xf7\xb3\xcc\xd0\xf2\xd5\xfd\xd4\xda\xca\xb9\xd3\xc3 TELVARA \xc7\xfd\xb6\xaf\xa1\xa3"
              "\xcd\xcb\xb3\xf6\xbf\xd8\xd6\xc6\xc3\xe6\xb0\xe5\xba\xf3\xa3\xac\xd2\xf4\xc1\xbf\xba\xcd\xd1\xd3\xb3\xd9\xb5"
              "\xc4\xb5\xf7\xd5\xfb\xbd\xab\xce\xde\xb7\xa8\xcb\xcd\xb4\xef\xc7\xfd\xb6\xaf\xa1\xa3\xc8\xb7\xb6\xa8\xcd\xcb"
              "\xb3\xf6\xc2\xf0\xa3\xbf");
}

TEST_F(PanelDialogTest, TheWebButtonOpensTheSiteThroughTheShell)
{
    Create();
    SendMessageW(Window(), WM_COMMAND, MAKEWPARAM(IDC_WEB_BUTTON, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(Window(), IDC_WEB_BUTTON)));
    ASSERT_EQ(g_openCalls.size(), 1u);
    EXPECT_EQ(g_openCalls[0].owner, nullptr);
    EXPECT_EQ(g_openCalls[0].verb, "open");
    EXPECT_EQ(g_openCalls[0].file, "explorer.exe");
    EXPECT_EQ(g_openCalls[0].parameters, kLinks.webSite);
    EXPECT_FALSE(g_openCalls[0].folderGiven);
    EXPECT_EQ(g_openCalls[0].showCommand, SW_SHOW);
    EXPECT_FALSE(Visible()) << "the click changes nothing else";
}

}  // namespace

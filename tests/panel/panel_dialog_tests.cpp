// The panel's dialog in this process, under an X display: its window, the
// icon records it hands the shell, the visibility rules and every exit of its
// loop. The shell calls are replaced, so the exact records are seen here.
#include "settings_file.h"

#include "appdata_redirect.h"
#include "kssim.h"
#include "panel_dialog.h"
#include "panel_resources.h"
#include "shell_calls.h"
#include "tray_icon.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
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

TEST_F(PanelDialogTest, StatusBarShowsTheAboutTextBelowEveryControl)
{
    Create();
    HWND bar = GetDlgItem(Window(), IDC_STATUS_BAR);
    ASSERT_NE(bar, nullptr);
    const wchar_t* about = nullptr;
    const int length = LoadStringW(GetModuleHandleA(nullptr), IDS_ABOUT_TEXT, reinterpret_cast<LPWSTR>(&about), 0);
    ASSERT_GT(length, 0);
    wchar_t text[512] = {};
    SendMessageW(bar, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_EQ(std::wstring(text), std::wstring(about, static_cast<size_t>(length)));

    // At the template's size and at the smallest size the frame allows, no
    // control reaches into the bar, which is at least 26 pixels high.
    MINMAXINFO limits{};
    SendMessageW(Window(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    RECT frame;
    GetWindowRect(Window(), &frame);
    EXPECT_EQ(limits.ptMinTrackSize.x, frame.right - frame.left);
    EXPECT_EQ(limits.ptMinTrackSize.y, frame.bottom - frame.top);
    for (int grow : {0, 120}) {
        SetWindowPos(Window(), nullptr, 0, 0, limits.ptMinTrackSize.x + grow, limits.ptMinTrackSize.y + grow,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        RECT barRect;
        GetWindowRect(bar, &barRect);
        EXPECT_GE(barRect.bottom - barRect.top, 26);
        RECT client;
        GetClientRect(Window(), &client);
        MapWindowPoints(Window(), nullptr, reinterpret_cast<POINT*>(&client), 2);
        EXPECT_EQ(barRect.bottom, client.bottom) << "the bar runs along the bottom edge";
        for (HWND child = GetWindow(Window(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            if (child == bar) {
                continue;
            }
            RECT rect;
            GetWindowRect(child, &rect);
            EXPECT_LE(rect.bottom, barRect.top) << "control " << GetDlgCtrlID(child) << " at grow " << grow;
        }
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
        {IDC_CHANNEL_LABEL, "Static", "播放声道:", true},
        {IDC_CHANNEL_LIST, "ComboBox", "", true},
        {IDC_RATE_RANGE, "Static", "", true},
        {IDC_BITS_RANGE, "Static", "", true},
        {IDC_OUTPUT_VOLUME, "msctls_trackbar32", "", true},
        {IDC_WEB_BUTTON, "Button", "", true},
        {IDC_INPUT_VOLUME, "msctls_trackbar32", "", true},
        {IDC_LOGO, "Static", "", true},
        {IDC_DELAY_SLIDER, "msctls_trackbar32", "", false},
        {IDC_DELAY_LABEL, "Static", "输出延迟:", false},
        {IDC_DELAY_TIP, "Static", "TIP:1~500ms之间，给延迟小的音频设备增加延迟达到与延迟大设备同步的目的", false},
        {IDC_DELAY_UNIT, "Static", "MS", false},
        {IDC_DELAY_VALUE, "Static", "0.0ms", false},
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
                             "dB", "0", "输入音量", "采样位数：16bit", "-12", "-24", "-36", "-48", "dB", "0", "-12",
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

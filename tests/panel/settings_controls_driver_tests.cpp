// The real panel and the simulated-device driver in processes of their own,
// the panel beside the driver as users install it, both reading the same
// device description. The test works the panel with window messages, as a
// user's clicks and drags do, and looks at what the driver then does.
#include "e2e_signals.h"
#include "panel_process.h"
#include "registered_driver.h"

#include <commctrl.h>

#include <cstring>

namespace {

using namespace e2e;

constexpr long kBlock = 512;
constexpr int kOutputVolumeSlider = 1014;
constexpr int kDeviceTree = 1009;

// The rectangle of an item's text in a tree of another process: the message
// takes its item in, and gives the rectangle back through, that process's
// memory.
RECT RemoteItemTextRect(HWND tree, HTREEITEM item)
{
    RECT rect{};
    DWORD processId = 0;
    GetWindowThreadProcessId(tree, &processId);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    if (!process) {
        return rect;
    }
    void* remote = VirtualAllocEx(process, nullptr, sizeof rect, MEM_COMMIT, PAGE_READWRITE);
    std::memcpy(&rect, &item, sizeof item);
    if (remote && WriteProcessMemory(process, remote, &rect, sizeof rect, nullptr) &&
        SendMessageA(tree, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(remote))) {
        ReadProcessMemory(process, remote, &rect, sizeof rect, nullptr);
    } else {
        rect = RECT{};
    }
    if (remote) {
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    CloseHandle(process);
    return rect;
}

// A click on the check box left of a root item's text, with the cursor put
// there first (the panel hit-tests the cursor position).
void ClickRootCheckBox(HWND tree, int position)
{
    // The tree lays its items out after they are inserted: look again every
    // 50 ms, for at most 10 s.
    RECT text{};
    for (int attempt = 0; attempt < 200 && text.left >= text.right; ++attempt) {
        Sleep(attempt ? 50 : 0);
        auto item = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
        for (int i = 0; i < position && item; ++i) {
            item = reinterpret_cast<HTREEITEM>(
                SendMessageA(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item)));
        }
        text = item ? RemoteItemTextRect(tree, item) : RECT{};
    }
    ASSERT_LT(text.left, text.right) << "no such item";
    POINT point{text.left - 10, (text.top + text.bottom) / 2};
    POINT screen = point;
    ClientToScreen(tree, &screen);
    SetCursorPos(screen.x, screen.y);
    Sleep(100);
    const LPARAM where = MAKELPARAM(point.x, point.y);
    // Both posted, in order: the tree follows the button while it is down
    // and takes the release from its queue.
    PostMessageA(tree, WM_LBUTTONDOWN, MK_LBUTTON, where);
    PostMessageA(tree, WM_LBUTTONUP, 0, where);
}

// A panel whose window exists may still be initialising, and ignores the
// controls until it has loaded its settings: ready once its tree is built.
bool PanelReadyWithin(HWND panel, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        if (SendMessageA(GetDlgItem(panel, kDeviceTree), TVM_GETCOUNT, 0, 0) > 0) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

// What telvara-host reports of a new driver object.
std::string ChannelsLine()
{
    const ProgramResult info = RunProgram(CommandLine({HostProgramPath(), "info", "TelvaraDriver"}));
    for (const std::string& line : Lines(info.output)) {
        if (line.rfind("channels:", 0) == 0) {
            return line;
        }
    }
    return info.output;
}

bool NoPanelRunsWithin(DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        if (paneltest::ProcessesNamed(L"telvarapanel.exe").empty()) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

class PanelAndDriverTest : public RegisteredDriverTest {
protected:
    void SetUp() override
    {
        RegisteredDriverTest::SetUp();
        ASSERT_TRUE(CopyFileTo(paneltest::PanelBuild("panel-sim"), m_driver.File("telvarapanel.exe")));
    }
};

}  // namespace

TEST_F(PanelAndDriverTest, MovingThePanelsVolumeSliderHalvesWhatTheSpeakersPlay)
{
    WriteSettings(Settings());
    const std::string readyName = "Local\\telvara-panel-ready-" + std::to_string(GetCurrentProcessId());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    ASSERT_NE(ready, nullptr);
    ChildProgram host(CommandLine({HelperPath(), "stream", readyName, "volume"}));
    ASSERT_TRUE(host.Started());
    const bool streaming = WaitForEventOrExit(ready, host.Handle(), 30000);
    CloseHandle(ready);
    ASSERT_TRUE(streaming) << host.Output();

    HWND panel = paneltest::WaitForPanelWindow(0, 20000);
    ASSERT_NE(panel, nullptr) << "the driver did not start the panel";
    ASSERT_TRUE(PanelReadyWithin(panel, 10000));
    HWND slider = GetDlgItem(panel, kOutputVolumeSlider);
    ASSERT_NE(slider, nullptr);
    SendMessageA(slider, TBM_SETPOS, TRUE, 50);
    SendMessageA(panel, WM_VSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 50), reinterpret_cast<LPARAM>(slider));

    ASSERT_EQ(host.Wait(60000), std::optional<long>(kHelperOk)) << host.Output();
    EXPECT_NE(host.Output().find(std::string("trace: ") + kVolumeTracePrefix + "0.500000"), std::string::npos)
        << host.Output();
    EXPECT_NE(ReadFileBytes(m_appData.SettingsFile()).find("Volume=0.500000\r\n"), std::string::npos);

    // Full scale until a block boundary after the stream was running, half
    // from there to the end, on both speakers and their links.
    WavContent a, b;
    ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
    ASSERT_TRUE(ReadRendered("speaker_b.wav", b));
    size_t change = 0;
    while (change < a.Frames() && a.At(change, 0) == StreamSample(0, static_cast<long>(change))) {
        ++change;
    }
    ASSERT_LT(change, a.Frames()) << "the samples were never halved\n" << host.Output();
    EXPECT_EQ(change % kBlock, 0u) << change;
    EXPECT_GE(change, static_cast<size_t>(8 * kBlock));
    EXPECT_GE(a.Frames() - change, static_cast<size_t>(10 * kBlock));
    const auto scaled = [change](int buffer, long t) {
        return static_cast<int16_t>(StreamSample(buffer, t) / (static_cast<size_t>(t) < change ? 1 : 2));
    };
    EXPECT_TRUE(PlayedAsExpected(a, kBlock, [&](long t, int c) { return scaled(c, t); })) << "Speaker A";
    EXPECT_TRUE(PlayedAsExpected(b, kBlock, [&](long t, int c) { return c == 1 ? scaled(0, t) : int16_t{0}; }))
        << "Speaker B";

    // The panel watches the host it was started for and ends with it.
    for (int i = 0; i < 100 && IsWindow(panel); ++i) {
        Sleep(50);
    }
    EXPECT_FALSE(IsWindow(panel));
}

TEST_F(PanelAndDriverTest, ASpeakerTickedInThePanelIsPlayedByTheNextDriverObject)
{
    WriteSettings("[default]\nout=Speaker A\n[Speaker A]\noutMaximumChannels=2\noutChannelLink=0;1\n");
    EXPECT_EQ(ChannelsLine(), "channels:      0 inputs, 2 outputs");
    // That host's driver started a panel of its own, which ends with the
    // host: only then may the user's panel start (one panel per logon).
    ASSERT_TRUE(NoPanelRunsWithin(10000));

    paneltest::Process panelProcess(m_driver.File("telvarapanel.exe"), "");
    ASSERT_TRUE(panelProcess.Started());
    HWND panel = paneltest::WaitForPanelWindow(panelProcess.Id(), 20000);
    ASSERT_NE(panel, nullptr) << "panel exit code " << panelProcess.WaitForExit(0).value_or(STILL_ACTIVE);
    ASSERT_TRUE(PanelReadyWithin(panel, 10000));
    SendMessageA(panel, WM_USER + 1, 0, WM_LBUTTONDOWN);   // the icon's click shows the dialog
    // Microphone, Speaker A, Speaker B: tick the second speaker.
    ClickRootCheckBox(GetDlgItem(panel, kDeviceTree), 2);
    std::string file;
    for (int i = 0; i < 200 && file.find("in=") == std::string::npos; ++i) {
        Sleep(50);   // the panel writes the lists last
        file = ReadFileBytes(m_appData.SettingsFile());
    }
    EXPECT_NE(file.find("out=Speaker A;Speaker B\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("[Speaker B]\r\noutMaximumChannels=2\r\n"), std::string::npos) << file;

    // A host that creates the driver anew opens both speakers; releasing
    // that driver object closes the panel.
    EXPECT_EQ(ChannelsLine(), "channels:      0 inputs, 4 outputs");
    EXPECT_TRUE(panelProcess.WaitForExit(10000));
}

// The real panel and the simulated-device driver in processes of their own,
// the panel beside the driver as users install it, both reading the same
// device description. The test works the panel with window messages, as a
// user's clicks and drags do, and looks at what the driver then does.
#include "delay_change_check.h"
#include "e2e_signals.h"
#include "panel_process.h"
#include "panel_resources.h"
#include "registered_driver.h"

#include <commctrl.h>

#include <cstring>
#include <functional>

namespace {

using namespace e2e;

constexpr long kBlock = 512;
// Delay slider position 20 (5 ms steps): 0.20 of 500 ms, 100 ms of 176
// bytes at 44100 Hz stereo, 4 bytes a frame.
constexpr int kDelayPosition = 20;
constexpr long kDelayFrames = 176 * 100 / 4;
// Volume slider position 10: -6 dB, stored as the linear gain 0.501187.
constexpr int kVolumePosition = 10;
constexpr const char* kVolumeText = "0.501187";
constexpr float kVolume = 0.501187f;
// How long a panel whose window is shown may take to end once closed: Wine
// waits about 2 s for a window manager when a visible window goes.
constexpr DWORD kVisibleCloseMs = 8000;

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

HTREEITEM NextItem(HWND tree, HTREEITEM item, UINT relation)
{
    return reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
}

// The item reached from the roots by child positions: {2, 0, 1} is the
// second channel of the first group of the third device. Each item on the
// way is expanded, so that the one reached is laid out.
HTREEITEM ItemAt(HWND tree, std::initializer_list<int> path)
{
    HTREEITEM item = nullptr;
    HTREEITEM parent = nullptr;
    for (int position : path) {
        if (parent) {
            SendMessageA(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(parent));
        }
        item = parent ? NextItem(tree, parent, TVGN_CHILD) : NextItem(tree, nullptr, TVGN_ROOT);
        for (int i = 0; i < position && item; ++i) {
            item = NextItem(tree, item, TVGN_NEXT);
        }
        parent = item;
    }
    return item;
}

// A click on an item's check box (left of its text) or on its text, with
// the cursor put there first (the panel hit-tests the cursor position).
void ClickItem(HWND tree, HTREEITEM item, bool onCheckBox)
{
    ASSERT_NE(item, nullptr) << "no such item";
    // The tree lays its items out after they are inserted or expanded: look
    // again every 50 ms, for at most 10 s.
    RECT text{};
    for (int attempt = 0; attempt < 200 && text.left >= text.right; ++attempt) {
        Sleep(attempt ? 50 : 0);
        text = RemoteItemTextRect(tree, item);
    }
    ASSERT_LT(text.left, text.right) << "the item was never laid out";
    POINT point{onCheckBox ? text.left - 10 : text.left + 4, (text.top + text.bottom) / 2};
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

// A click on an item's text, done once the tree has selected the item: the
// panel has then taken the click (it is the item the delay slider and the
// channel list act on), at most 10 s.
void SelectItemByClick(HWND tree, HTREEITEM item)
{
    ClickItem(tree, item, false);
    for (int i = 0; i < 200 && NextItem(tree, nullptr, TVGN_CARET) != item; ++i) {
        Sleep(50);
    }
    ASSERT_EQ(NextItem(tree, nullptr, TVGN_CARET), item) << "the click never selected the item";
}

// A new position of a slider, announced to the panel as a drag does.
void MoveSlider(HWND panel, int id, UINT message, int position)
{
    HWND slider = GetDlgItem(panel, id);
    ASSERT_NE(slider, nullptr);
    SendMessageA(slider, TBM_SETPOS, TRUE, position);
    SendMessageA(panel, message, MAKEWPARAM(TB_THUMBPOSITION, position), reinterpret_cast<LPARAM>(slider));
}

void ChooseFromList(HWND panel, int id, int index)
{
    HWND list = GetDlgItem(panel, id);
    ASSERT_EQ(SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0), index);
    SendMessageA(panel, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

// The volume scales the host's samples as the driver does: in single
// precision, truncated toward zero.
int16_t Scaled(int buffer, long frame)
{
    return static_cast<int16_t>(static_cast<float>(StreamSample(buffer, frame)) * kVolume);
}

// A panel whose window exists may still be initialising, and ignores the
// controls until it has loaded its settings: ready once its tree is built.
bool PanelReadyWithin(HWND panel, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        if (SendMessageA(GetDlgItem(panel, IDC_DEVICE_TREE), TVM_GETCOUNT, 0, 0) > 0) {
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

    // Runs e2e_helper's host on the given outputs until it has streamed a
    // while, calls whileStreaming, and waits for the host to end well.
    // The host's output.
    std::string StreamWhile(const char* awaited, int outputs, const std::function<void()>& whileStreaming)
    {
        const std::string readyName = "Local\\telvara-panel-ready-" + std::to_string(GetCurrentProcessId());
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
        EXPECT_NE(ready, nullptr);
        ChildProgram host(CommandLine({HelperPath(), "stream", readyName, awaited, std::to_string(outputs)}));
        EXPECT_TRUE(host.Started());
        const bool streaming = WaitForEventOrExit(ready, host.Handle(), 30000);
        CloseHandle(ready);
        if (!streaming) {
            ADD_FAILURE() << "the host did not start streaming:\n" << host.Output();
            return host.Output();
        }
        whileStreaming();
        EXPECT_EQ(host.Wait(60000), std::optional<long>(kHelperOk)) << host.Output();
        return host.Output();
    }

    // The panel window of that process (0: the one the driver started for
    // the streaming host), ready and shown by a click on its icon.
    static HWND ShownPanel(DWORD processId = 0)
    {
        HWND panel = paneltest::WaitForPanelWindow(processId, 20000);
        EXPECT_NE(panel, nullptr) << "no panel window came";
        EXPECT_TRUE(panel && PanelReadyWithin(panel, 10000));
        if (panel) {
            SendMessageA(panel, WM_USER + 1, 0, WM_LBUTTONDOWN);   // the icon's click shows the dialog
        }
        return panel;
    }

    // config.ini once it holds every one of the texts, or as it is after 10 s
    // (the panel writes on its own thread, after posted clicks).
    std::string SettingsOnceTheyHold(std::initializer_list<std::string> texts) const
    {
        std::string file;
        for (int i = 0; i < 200; ++i) {
            file = ReadFileBytes(m_appData.SettingsFile());
            bool all = true;
            for (const std::string& text : texts) {
                all = all && file.find(text) != std::string::npos;
            }
            if (all) {
                break;
            }
            Sleep(50);
        }
        return file;
    }
};

// Every text in the file; a failure shows the file.
testing::AssertionResult Holds(const std::string& file, std::initializer_list<std::string> texts)
{
    for (const std::string& text : texts) {
        if (file.find(text) == std::string::npos) {
            return testing::AssertionFailure() << "no \"" << text << "\" in\n" << file;
        }
    }
    return testing::AssertionSuccess();
}

}  // namespace

TEST_F(PanelAndDriverTest, MovingThePanelsVolumeSliderScalesWhatTheSpeakersPlay)
{
    WriteSettings(Settings());
    HWND panel = nullptr;
    const std::string output = StreamWhile("volume", 2, [&] {
        panel = ShownPanel();
        if (panel) {
            MoveSlider(panel, IDC_OUTPUT_VOLUME, WM_VSCROLL, kVolumePosition);
        }
    });
    ASSERT_FALSE(HasFailure());
    EXPECT_NE(output.find(std::string("trace: ") + kVolumeTracePrefix + kVolumeText), std::string::npos) << output;
    EXPECT_NE(ReadFileBytes(m_appData.SettingsFile()).find(std::string("Volume=") + kVolumeText + "\r\n"),
              std::string::npos);

    // Full scale until a block boundary after the stream was running, -6 dB
    // from there to the end, on both speakers and their links.
    WavContent a, b;
    ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
    ASSERT_TRUE(ReadRendered("speaker_b.wav", b));
    size_t change = 0;
    while (change < a.Frames() && a.At(change, 0) == StreamSample(0, static_cast<long>(change))) {
        ++change;
    }
    ASSERT_LT(change, a.Frames()) << "the samples were never scaled\n" << output;
    EXPECT_EQ(change % kBlock, 0u) << change;
    EXPECT_GE(change, static_cast<size_t>(8 * kBlock));
    EXPECT_GE(a.Frames() - change, static_cast<size_t>(10 * kBlock));
    const auto scaled = [change](int buffer, long t) {
        return static_cast<size_t>(t) < change ? StreamSample(buffer, t) : Scaled(buffer, t);
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

TEST_F(PanelAndDriverTest, ThePanelsDelaySliderMovesThatSpeakerInTheRunningStreamAndNoOther)
{
    WriteSettings(Settings());
    // While a host streams, the user gives Speaker A a delay of 100 ms.
    const std::string output = StreamWhile("outlatency", 2, [&] {
        HWND panel = ShownPanel();
        if (panel) {
            SelectItemByClick(GetDlgItem(panel, IDC_DEVICE_TREE), ItemAt(GetDlgItem(panel, IDC_DEVICE_TREE), {1}));
            MoveSlider(panel, IDC_DELAY_SLIDER, WM_HSCROLL, kDelayPosition);
        }
    });
    ASSERT_FALSE(HasFailure());
    EXPECT_NE(output.find(std::string("trace: ") + kOutputDelayTrace), std::string::npos) << output;
    EXPECT_TRUE(Holds(ReadFileBytes(m_appData.SettingsFile()), {"outChannelLink=0;1\r\noutOutLatency=0.20\r\n"}));

    // Speaker A moved by exactly the new delay, at once, with a fade of 5 ms
    // (220 frames) each way; Speaker B played every sample in step, without
    // a gap or a sample twice.
    WavContent a, b;
    ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
    ASSERT_TRUE(ReadRendered("speaker_b.wav", b));
    EXPECT_TRUE(MovedByTheDelayChange(a, kBlock, 0, kDelayFrames, 220)) << "Speaker A";
    EXPECT_TRUE(PlayedAsExpected(b, kBlock, [](long t, int c) { return c == 1 ? StreamSample(0, t) : int16_t{0}; }))
        << "Speaker B";

    // The next host opens the devices with the new delay: Speaker A plays
    // exactly kDelayFrames after Speaker B.
    StreamWhile("none", 2, [] {});
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
    ASSERT_TRUE(ReadRendered("speaker_b.wav", b));
    ASSERT_GE(a.Frames(), static_cast<size_t>(kDelayFrames + 10 * kBlock));
    EXPECT_TRUE(PlayedAsExpected(
        a, kBlock, [](long t, int c) { return t < kDelayFrames ? int16_t{0} : StreamSample(c, t - kDelayFrames); }))
        << "Speaker A";
    EXPECT_TRUE(PlayedAsExpected(b, kBlock, [](long t, int c) { return c == 1 ? StreamSample(0, t) : int16_t{0}; }))
        << "Speaker B";
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
    HWND panel = ShownPanel(panelProcess.Id());
    ASSERT_NE(panel, nullptr) << "panel exit code " << panelProcess.WaitForExit(0).value_or(STILL_ACTIVE);
    // Microphone, Speaker A, Speaker B: tick the second speaker.
    HWND tree = GetDlgItem(panel, IDC_DEVICE_TREE);
    ClickItem(tree, ItemAt(tree, {2}), true);
    // The panel writes the lists last.
    const std::string file = SettingsOnceTheyHold({"in="});
    EXPECT_TRUE(Holds(file, {"out=Speaker A;Speaker B\r\n", "[Speaker B]\r\noutMaximumChannels=2\r\n"}));

    // A host that creates the driver anew opens both speakers. The panel the
    // user started stays when that host lets the driver go.
    EXPECT_EQ(ChannelsLine(), "channels:      0 inputs, 4 outputs");
    EXPECT_FALSE(panelProcess.WaitForExit(kVisibleCloseMs)) << "closed by a host's driver";
    DWORD_PTR result = 0;
    SendMessageTimeoutA(panel, WM_CLOSE, 0, 0, SMTO_NORMAL, 10000, &result);
    EXPECT_TRUE(panelProcess.WaitForExit(10000));
}

TEST_F(PanelAndDriverTest, TwoSpeakersAndAMicrophoneSetUpInThePanelPlayTheLinksVolumeAndDelayChosenThere)
{
    WriteSettings("[default]\n");
    paneltest::Process panelProcess(m_driver.File("telvarapanel.exe"), "");
    ASSERT_TRUE(panelProcess.Started());
    HWND panel = ShownPanel(panelProcess.Id());
    ASSERT_NE(panel, nullptr) << "panel exit code " << panelProcess.WaitForExit(0).value_or(STILL_ACTIVE);
    HWND tree = GetDlgItem(panel, IDC_DEVICE_TREE);

    // Tick Speaker A, Speaker B and the Microphone. Each device joins the
    // list of the direction it has; new devices link automatically (their
    // place in "out" and the next).
    ClickItem(tree, ItemAt(tree, {1}), true);
    ASSERT_TRUE(Holds(SettingsOnceTheyHold({"out=Speaker A\r\nin=\r\n"}), {"out=Speaker A\r\nin=\r\n"}));
    ClickItem(tree, ItemAt(tree, {2}), true);
    ASSERT_TRUE(Holds(SettingsOnceTheyHold({"out=Speaker A;Speaker B\r\n"}), {"out=Speaker A;Speaker B\r\n"}));
    ClickItem(tree, ItemAt(tree, {0}), true);
    const std::string lists = "out=Speaker A;Speaker B\r\nin=Microphone\r\n";
    ASSERT_TRUE(Holds(SettingsOnceTheyHold({lists}), {lists}));

    // Speaker B: its left channel on output 0 ("声道0", entry 1 of the
    // channel list), its right channel cleared.
    SelectItemByClick(tree, ItemAt(tree, {2, 0, 0}));
    ChooseFromList(panel, IDC_CHANNEL_LIST, 1);
    ASSERT_TRUE(Holds(SettingsOnceTheyHold({"outChannelLink=0;-1\r\n"}), {"outChannelLink=0;-1\r\n"}));
    ClickItem(tree, ItemAt(tree, {2, 0, 1}), true);
    ASSERT_TRUE(Holds(SettingsOnceTheyHold({"outChannelLink=0;-2\r\n"}), {"outChannelLink=0;-2\r\n"}));

    // -6 dB, and Speaker A 100 ms late.
    MoveSlider(panel, IDC_OUTPUT_VOLUME, WM_VSCROLL, kVolumePosition);
    SelectItemByClick(tree, ItemAt(tree, {1}));
    MoveSlider(panel, IDC_DELAY_SLIDER, WM_HSCROLL, kDelayPosition);
    const std::string file = ReadFileBytes(m_appData.SettingsFile());
    ASSERT_TRUE(Holds(file, {std::string("Volume=") + kVolumeText + "\r\n", "[Speaker A]\r\noutMaximumChannels=2\r\n",
                             "outChannelLink=-1;-1\r\noutOutLatency=0.20\r\n", lists}));
    ASSERT_FALSE(HasFailure());

    // A host streams four outputs, each its own signal. Speaker A sits first
    // in "out": automatic links play outputs 0 and 1 on it, 100 ms late.
    // Speaker B plays output 0 on its left channel and nothing on its right.
    // The panel the user started stays when the host lets the driver go.
    StreamWhile("none", 4, [] {});
    ASSERT_FALSE(HasFailure());
    EXPECT_FALSE(panelProcess.WaitForExit(kVisibleCloseMs)) << "closed by a host's driver";
    WavContent a, b;
    ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
    ASSERT_TRUE(ReadRendered("speaker_b.wav", b));
    ASSERT_GE(a.Frames(), static_cast<size_t>(kDelayFrames + 10 * kBlock));
    EXPECT_TRUE(PlayedAsExpected(
        a, kBlock, [](long t, int c) { return t < kDelayFrames ? int16_t{0} : Scaled(c, t - kDelayFrames); }))
        << "Speaker A";
    EXPECT_TRUE(PlayedAsExpected(b, kBlock, [](long t, int c) { return c == 0 ? Scaled(0, t) : int16_t{0}; }))
        << "Speaker B";

    // The microphone records its ramp.
    TempFolder out;
    const std::string recording = out / "recording.wav";
    const ProgramResult recorded = RunProgram(CommandLine(
        {HostProgramPath(), "record", "TelvaraDriver", "--out", recording, "--inputs", "0,1", "--seconds", "0.5"}));
    ASSERT_EQ(recorded.exitCode, 0L) << recorded.output;
    EXPECT_TRUE(RecordedTheMicrophoneRamp(recording, kBlock)) << recorded.output;
    DWORD_PTR result = 0;
    SendMessageTimeoutA(panel, WM_CLOSE, 0, 0, SMTO_NORMAL, 10000, &result);
    EXPECT_TRUE(panelProcess.WaitForExit(10000));
}

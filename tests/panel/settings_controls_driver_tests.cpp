// The real panel and a running driver in processes of their own: a host
// streams through the simulated-device driver, which starts the panel beside
// it; the test moves the panel's volume slider with window messages, as a
// user's drag does, and reads what the speakers played.
#include "e2e_signals.h"
#include "registered_driver.h"

#include <commctrl.h>

namespace {

using namespace e2e;

constexpr long kBlock = 512;
constexpr int kOutputVolumeSlider = 1014;

// The panel the driver started, once its window exists; null after timeoutMs.
HWND WaitForPanelWindow(DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        if (HWND window = FindWindowA("telvarapanel", nullptr)) {
            return window;
        }
        Sleep(50);
    }
    return nullptr;
}

class PanelAndDriverTest : public RegisteredDriverTest {
protected:
    void SetUp() override
    {
        RegisteredDriverTest::SetUp();
        // The simulated panel reads the same device description beside it.
        ASSERT_TRUE(CopyFileTo(WindowsPathOf(PANEL_SIM_PROGRAM), m_driver.File("telvarapanel.exe")));
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

    HWND panel = WaitForPanelWindow(20000);
    ASSERT_NE(panel, nullptr) << "the driver did not start the panel";
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

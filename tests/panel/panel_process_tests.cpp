// The panel program itself, in processes of its own under an X display: one
// instance per logon, the host watch, the settings failure, crash reports and
// the start-up usage request. The test build of the panel (panel-testing)
// sends its usage request to 127.0.0.1 on TELVARA_PANEL_TEST_PORT and faults
// on a registered message; the simulated build (panel-sim) has no endpoint.
#include "appdata_redirect.h"
#include "loopback_http_server.h"
#include "panel_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace {

using namespace paneltest;
using Clock = std::chrono::steady_clock;

constexpr DWORD kStartMs = 30000;
constexpr DWORD kEndMs = 20000;
constexpr DWORD kFaultExitCode = 0x600D;  // the test build's end of the crash filter chain

std::string ReadText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class PanelProcessTest : public testing::Test {
protected:
    void TearDown() override
    {
        // No panel of this test may outlive it: the next one would meet the
        // instance mutex.
        EXPECT_EQ(WaitForPanelWindow(0, 0), nullptr) << "a panel still runs";
    }

    // Ends a panel through its window as the driver does, checking its exit.
    static void ClosePanel(const Process& panel, HWND window)
    {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_NORMAL, kEndMs, &result);
        EXPECT_EQ(panel.WaitForExit(kEndMs), std::optional<DWORD>(0));
    }

    AppDataRedirect m_appData{L"telvara-panel-process"};
    ScratchFolder m_folder{"telvara-panel"};
};

TEST_F(PanelProcessTest, ASecondStartEndsAtOnceAndLeavesTheFirstPanelAndItsWatchAlone)
{
    const std::string program = InstallPanel("panel-testing", m_folder);
    ASSERT_FALSE(program.empty());
    // The first panel watches this test program, which outlives it.
    Process first(program, std::to_string(GetCurrentProcessId()));
    ASSERT_TRUE(first.Started());
    HWND window = WaitForPanelWindow(first.Id(), kStartMs);
    ASSERT_NE(window, nullptr);

    // The second one names a short-lived host: it must end without a window,
    // and the first must not start watching that host instead.
    auto shortHost = StartHostStandIn();
    ASSERT_TRUE(shortHost->Started());
    Process second(program, std::to_string(shortHost->Id()) + " other");
    EXPECT_EQ(second.WaitForExit(kEndMs), std::optional<DWORD>(0));
    shortHost->Terminate();
    Sleep(1000);  // three watch periods
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(WaitForPanelWindow(0, 0), window);
    EXPECT_FALSE(IsWindowVisible(window));
    ClosePanel(first, window);
}

// Whether the window becomes visible within 10 s.
bool BecomesVisible(HWND window)
{
    for (int i = 0; i < 200 && !IsWindowVisible(window); ++i) {
        Sleep(50);
    }
    return IsWindowVisible(window) != FALSE;
}

TEST_F(PanelProcessTest, ASecondStartWithoutAHostBringsTheRunningPanelForwardAndEnds)
{
    // The Start menu's entry while a host's panel runs hidden.
    const std::string program = InstallPanel("panel-testing", m_folder);
    Process first(program, std::to_string(GetCurrentProcessId()));
    HWND window = WaitForPanelWindow(first.Id(), kStartMs);
    ASSERT_NE(window, nullptr);
    ASSERT_FALSE(IsWindowVisible(window));
    Process second(program, "");
    EXPECT_EQ(second.WaitForExit(kEndMs), std::optional<DWORD>(0));
    EXPECT_TRUE(BecomesVisible(window)) << "the second start showed nothing";
    EXPECT_FALSE(IsIconic(window));
    EXPECT_EQ(WaitForPanelWindow(0, 0), window);
    ClosePanel(first, window);
}

TEST_F(PanelProcessTest, APanelStartedWithoutAHostShowsItsWindowAndOneForAHostStaysHidden)
{
    const std::string program = InstallPanel("panel-testing", m_folder);
    {
        Process panel(program, "");
        HWND window = WaitForPanelWindow(panel.Id(), kStartMs);
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(BecomesVisible(window));
        ClosePanel(panel, window);
    }
    Process panel(program, std::to_string(GetCurrentProcessId()));
    HWND window = WaitForPanelWindow(panel.Id(), kStartMs);
    ASSERT_NE(window, nullptr);
    Sleep(1000);
    EXPECT_FALSE(IsWindowVisible(window)) << "a panel started for a host waits in the notification area";
    ClosePanel(panel, window);
}

TEST_F(PanelProcessTest, APanelEndsSoonAfterTheHostItWasStartedFor)
{
    const std::string program = InstallPanel("panel-testing", m_folder);
    auto host = StartHostStandIn();
    ASSERT_TRUE(host->Started());
    Process panel(program, std::to_string(host->Id()) + " more words");
    HWND window = WaitForPanelWindow(panel.Id(), kStartMs);
    ASSERT_NE(window, nullptr);
    Sleep(1000);
    ASSERT_TRUE(panel.Running()) << "ended while its host lived";
    const Clock::time_point hostEnd = Clock::now();
    host->Terminate();
    EXPECT_EQ(panel.WaitForExit(kEndMs), std::optional<DWORD>(0));
    std::printf("[ measure  ] host ended -> panel ended: %.3f s (watch period 0.3 s)\n",
                std::chrono::duration<double>(Clock::now() - hostEnd).count());
}

TEST_F(PanelProcessTest, APanelWithoutDigitsWatchesNothingThatCouldEnd)
{
    const std::string program = InstallPanel("panel-testing", m_folder);
    Process panel(program, "no digits");
    HWND window = WaitForPanelWindow(panel.Id(), kStartMs);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(panel.WaitForExit(1500)) << "five watch periods";
    ClosePanel(panel, window);
}

TEST_F(PanelProcessTest, AnUnusableSettingsFolderShowsTheMessageAndEndsWithMinusOne)
{
    // A file where the settings folder should be.
    WriteFileBytes(m_appData.SettingsFolder(), "not a folder");
    const std::string program = InstallPanel("panel-testing", m_folder);
    Process panel(program, "4");
    HWND box = nullptr;
    const ULONGLONG end = GetTickCount64() + kStartMs;
    while (!box && GetTickCount64() < end && panel.Running()) {
        box = FindProcessWindow(panel.Id(), "#32770");
        Sleep(10);
    }
    ASSERT_NE(box, nullptr) << "no message box";
    Sleep(200);  // let the box finish setting its texts
    EXPECT_EQ(TextOf(box), L"TELVARA");
    const std::wstring text = TextOf(GetDlgItem(box, 0xFFFF));
    // The panel hands its GBK text to the ANSI box: what the box shows is
    // that text read in the system's ANSI code page (936 on a Chinese system).
    wchar_t converted[64] = {};
    MultiByteToWideChar(CP_ACP, 0, "\xb6\xc1\xc8\xa1\xc5\xe4\xd6\xc3\xce\xc4\xbc\xfe\xb3\xf6\xcf\xd6\xd2\xec\xb3\xa3:", -1,
                        converted, 63);
    const std::wstring prefix = converted;
    EXPECT_EQ(text.substr(0, prefix.size()), prefix) << "box text has " << text.size() << " characters";
    EXPECT_GT(text.size(), prefix.size());
    EXPECT_TRUE(FindProcessWindow(panel.Id(), "telvarapanel")) << "the box belongs to the starting panel";
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(panel.WaitForExit(kEndMs), std::optional<DWORD>(0xFFFFFFFFu));
}

TEST_F(PanelProcessTest, AFaultInsideThePanelIsRecordedBesideItsProgram)
{
    const std::string program = InstallPanel("panel-testing", m_folder);
    Process panel(program, "");
    HWND window = WaitForPanelWindow(panel.Id(), kStartMs);
    ASSERT_NE(window, nullptr);
    PostMessageW(window, RegisterWindowMessageA("TelvaraPanelTestFault"), 0, 0);
    EXPECT_EQ(panel.WaitForExit(kEndMs), std::optional<DWORD>(kFaultExitCode));

    const std::string report = ReadText(m_folder / "telvarapanel.RPT");
    ASSERT_FALSE(report.empty()) << "no telvarapanel.RPT beside the program";
    const std::string module = program;
    const std::string escaped = std::regex_replace(module, std::regex(R"([\\.^$|()\[\]{}*+?])"), R"(\$&)");
    const std::string head = "//=====================================================\n"
                             "Exception code: C0000005 ACCESS_VIOLATION\n"
                             "Fault address:  [0-9A-F]{8} 01:[0-9A-F]{8} " +
                             escaped + "\n";
#ifdef _WIN64
    EXPECT_TRUE(std::regex_match(report, std::regex(head + "\n"))) << report;
#else
    const std::string full = head +
                             "\nRegisters:\n"
                             "EAX:[0-9A-F]{8}\nEBX:[0-9A-F]{8}\nECX:[0-9A-F]{8}\nEDX:[0-9A-F]{8}\n"
                             "ESI:[0-9A-F]{8}\nEDI:[0-9A-F]{8}\n"
                             "CS:EIP:[0-9A-F]{4}:[0-9A-F]{8}\n"
                             "SS:ESP:[0-9A-F]{4}:[0-9A-F]{8}  EBP:[0-9A-F]{8}\n"
                             "DS:[0-9A-F]{4}  ES:[0-9A-F]{4}  FS:[0-9A-F]{4}  GS:[0-9A-F]{4}\n"
                             "Flags:[0-9A-F]{8}\n"
                             "\nCall stack:\n"
                             "Address   Frame     Logical addr  Module\n"
                             "(?:[0-9A-F]{8}  [0-9A-F]{8}  [0-9A-F]{4}:[0-9A-F]{8} [^\n]*\n)+"
                             "\n";
    EXPECT_TRUE(std::regex_match(report, std::regex(full))) << report;
    // The walk starts in the panel and climbs through panel frames: the
    // faulting function and the functions that called it.
    std::istringstream lines(report.substr(report.find("Module\n") + 7));
    std::string line;
    int panelFrames = 0;
    bool first = true;
    while (std::getline(lines, line) && !line.empty()) {
        const bool inPanel = line.size() > 34 && line.substr(34) == module;
        if (first) {
            EXPECT_TRUE(inPanel) << line;
            first = false;
        }
        panelFrames += inPanel;
    }
    EXPECT_GE(panelFrames, 3) << report;
#endif
}

// How long the start-up takes until the panel's loop answers, by endpoint:
// the request runs before the loop. Each panel must work afterwards.
struct UsageCase {
    const char* name;
    const char* build;
    enum { Answering, Silent, Refused, NoEndpoint } server;
};

class PanelUsageRequestTest : public PanelProcessTest, public testing::WithParamInterface<UsageCase> {};

TEST_P(PanelUsageRequestTest, StartUpIsBoundedAndThePanelWorks)
{
    std::unique_ptr<LoopbackHttpServer> server;
    if (GetParam().server == UsageCase::Answering || GetParam().server == UsageCase::Silent) {
        server = std::make_unique<LoopbackHttpServer>(GetParam().server == UsageCase::Answering
                                                          ? LoopbackHttpServer::Behaviour::Answer
                                                          : LoopbackHttpServer::Behaviour::Silent,
                                                      TELVARA_PANEL_TEST_PORT);
        ASSERT_TRUE(server->Listening()) << "port " << TELVARA_PANEL_TEST_PORT << " is taken";
    }
    const std::string program = InstallPanel(GetParam().build, m_folder);
    const Clock::time_point start = Clock::now();
    Process panel(program, "");
    HWND window = WaitForPanelWindow(panel.Id(), kStartMs);
    ASSERT_NE(window, nullptr);
    // A click on the icon is a posted message: only the running loop takes
    // it, after the request. (A sent message would be answered earlier, while
    // the start-up waits on the shell's notification area.)
    PostMessageW(window, WM_USER + 1, 0, WM_LBUTTONDOWN);
    while (!IsWindowVisible(window) && Clock::now() - start < std::chrono::seconds(60)) {
        Sleep(5);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_TRUE(IsWindowVisible(window)) << "the icon click was never handled";
    std::printf("[ measure  ] %s: process start -> icon click handled: %.3f s\n", GetParam().name, seconds);
    // Far below the HTTP library's own one-minute default.
    EXPECT_LT(seconds, 15.0);

    if (server) {
        const std::string request = server->WaitForRequest(5000);
        std::string hostHeader = "\r\nHost: 127.0.0.1:";
        hostHeader += std::to_string(TELVARA_PANEL_TEST_PORT);
        hostHeader += "\r\n";
        EXPECT_EQ(request.substr(0, request.find("\r\n") + 2), "GET /go1?id=1&pvFlag=1 HTTP/1.0\r\n");
        EXPECT_NE(request.find(hostHeader), std::string::npos) << request;
        EXPECT_EQ(server->Connections(), 1);
    }
    // Still a working panel: the close ends it.
    ClosePanel(panel, window);
}

INSTANTIATE_TEST_SUITE_P(
    Endpoints, PanelUsageRequestTest,
    testing::Values(UsageCase{"AnsweringServer", "panel-testing", UsageCase::Answering},
                    UsageCase{"SilentServer", "panel-testing", UsageCase::Silent},
                    UsageCase{"RefusedConnection", "panel-testing", UsageCase::Refused},
                    UsageCase{"NoEndpoint", "panel-sim", UsageCase::NoEndpoint}),
    [](const testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.name); });

}  // namespace

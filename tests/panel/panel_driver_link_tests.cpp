// The driver and the real panel across processes: a host process loads the
// simulated driver, which starts the panel beside it (built over the same
// simulated devices). Built in the 64-bit tree, where the driver is.
#include "appdata_redirect.h"
#include "panel_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

namespace {

using namespace paneltest;
using Clock = std::chrono::steady_clock;

constexpr DWORD kWaitMs = 60000;
// How long a panel whose window is shown may take to end once closed: Wine
// waits about 2 s for a window manager when a visible window goes.
constexpr DWORD kVisibleCloseMs = 8000;

class PanelDriverLinkTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CopyFileA(BuildFile("driver-sim\\telvara_x64.dll").c_str(), (m_folder / "telvara_x64.dll").c_str(),
                              FALSE));
        ASSERT_FALSE(InstallPanel("panel-sim", m_folder).empty());
        m_job = CreateJobObjectA(nullptr, nullptr);
        ASSERT_NE(m_job, nullptr);
        m_stem = "Local\\telvara-panel-link-";
        m_stem += std::to_string(GetCurrentProcessId());
        m_first = Event("-first");
        m_second = Event("-second");
        m_ready = Event("-ready");
        m_release = Event("-release");
        m_released = Event("-released");
        m_end = Event("-end");
    }

    void TearDown() override
    {
        for (HANDLE event : {m_first, m_second, m_ready, m_release, m_released, m_end}) {
            CloseHandle(event);
        }
        CloseHandle(m_job);
        EXPECT_EQ(WaitForPanelWindow(0, 0), nullptr) << "a panel still runs";
    }

    HANDLE Event(const char* suffix) const
    {
        std::string name = m_stem;
        name += suffix;
        return CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    }

    // Waits for the host's event, or its end (a failure).
    static bool WaitForHost(const Process& host, HANDLE event)
    {
        HANDLE waits[] = {event, host.Handle()};
        if (WaitForMultipleObjects(2, waits, FALSE, kWaitMs) == WAIT_OBJECT_0) {
            return true;
        }
        ADD_FAILURE() << "host did not get on, exit code " << host.WaitForExit(0).value_or(0xFFFF);
        return false;
    }

    // Starts a host (panel_link_host with its flags) in the job, with
    // everything it starts, and waits until its first driver object has met
    // a panel's window, which it answers. stem: the host's own event names
    // (the fixture's, or another host's).
    HWND StartHost(std::unique_ptr<Process>& host, const char* flags = "", const std::string& stem = "")
    {
        std::string arguments = "\"";
        arguments += m_folder / "telvara_x64.dll";
        arguments += "\" ";
        arguments += stem.empty() ? m_stem : stem;
        if (*flags) {
            arguments += " ";
            arguments += flags;
        }
        host = std::make_unique<Process>(ThisFolder() + "panel_link_host.exe", arguments, true);
        if (!host->Started() || !AssignProcessToJobObject(m_job, host->Handle())) {
            ADD_FAILURE() << "host not started";
            return nullptr;
        }
        host->Resume();
        HANDLE first = stem.empty() ? m_first : OpenEventA(SYNCHRONIZE, FALSE, (stem + "-first").c_str());
        const bool met = WaitForHost(*host, first);
        if (!stem.empty()) {
            CloseHandle(first);
        }
        return met ? WaitForPanelWindow(0, 0) : nullptr;
    }

    // Whether the window becomes visible within 10 s (the panel takes a
    // posted command from its queue).
    static bool BecomesVisible(HWND window)
    {
        for (int i = 0; i < 200 && !IsWindowVisible(window); ++i) {
            Sleep(50);
        }
        return IsWindowVisible(window) != FALSE;
    }

    // Processes ever started in the job.
    DWORD StartedProcesses() const
    {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
        QueryInformationJobObject(m_job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                  nullptr);
        return accounting.TotalProcesses;
    }

    static HANDLE OpenPanel(HWND window)
    {
        DWORD id = 0;
        GetWindowThreadProcessId(window, &id);
        return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    }

    AppDataRedirect m_appData{L"telvara-panel-link"};
    ScratchFolder m_folder{"telvara-panel-link"};
    HANDLE m_job = nullptr;
    std::string m_stem;
    HANDLE m_first = nullptr;
    HANDLE m_second = nullptr;
    HANDLE m_ready = nullptr;
    HANDLE m_release = nullptr;
    HANDLE m_released = nullptr;
    HANDLE m_end = nullptr;
};

TEST_F(PanelDriverLinkTest, ADriverStartsOneHiddenPanelAndReleasingItClosesThePanel)
{
    std::unique_ptr<Process> host;
    HWND window = StartHost(host);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindowVisible(window)) << "started hidden";
    // The second driver object finds the panel's window and starts nothing:
    // no process joins the job.
    const DWORD started = StartedProcesses();
    SetEvent(m_second);
    ASSERT_TRUE(WaitForHost(*host, m_ready));
    Sleep(500);
    EXPECT_EQ(StartedProcesses(), started);
    EXPECT_EQ(WaitForPanelWindow(0, 0), window);
    HANDLE panel = OpenPanel(window);
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(WaitForSingleObject(panel, 1000), static_cast<DWORD>(WAIT_TIMEOUT)) << "the panel ended by itself";

    SetEvent(m_release);
    EXPECT_EQ(host->WaitForExit(kWaitMs), std::optional<DWORD>(0));
    EXPECT_EQ(WaitForSingleObject(panel, kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0)) << "the close did not end it";
    DWORD code = 0xFFFF;
    GetExitCodeProcess(panel, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(panel);
}

TEST_F(PanelDriverLinkTest, ThePanelEndsWhenItsHostEndsWithoutReleasingTheDriver)
{
    std::unique_ptr<Process> host;
    HWND window = StartHost(host);
    ASSERT_NE(window, nullptr);
    HANDLE panel = OpenPanel(window);
    ASSERT_NE(panel, nullptr);
    SetEvent(m_second);
    ASSERT_TRUE(WaitForHost(*host, m_ready));
    const Clock::time_point end = Clock::now();
    host->Terminate();
    EXPECT_EQ(WaitForSingleObject(panel, kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
    std::printf("[ measure  ] host killed -> panel ended: %.3f s\n",
                std::chrono::duration<double>(Clock::now() - end).count());
    CloseHandle(panel);
}

TEST_F(PanelDriverLinkTest, AHostsControlPanelCallShowsTheHiddenPanelItsDriverStarted)
{
    std::unique_ptr<Process> host;
    HWND window = StartHost(host, "control-panel");
    ASSERT_NE(window, nullptr);
    ASSERT_FALSE(IsWindowVisible(window)) << "started hidden";
    const DWORD started = StartedProcesses();
    SetEvent(m_second);   // the host presses its "control panel" button
    ASSERT_TRUE(WaitForHost(*host, m_ready));
    EXPECT_TRUE(BecomesVisible(window)) << "the button did nothing visible";
    EXPECT_FALSE(IsIconic(window));
    EXPECT_EQ(StartedProcesses(), started) << "the running panel came forward; no second one was started";
    EXPECT_EQ(WaitForPanelWindow(0, 0), window);
    HANDLE panel = OpenPanel(window);
    ASSERT_NE(panel, nullptr);
    SetEvent(m_release);
    EXPECT_EQ(host->WaitForExit(kWaitMs), std::optional<DWORD>(0)) << "controlPanel answered ASE_OK";
    // The panel watches its host and ends with it.
    EXPECT_EQ(WaitForSingleObject(panel, kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(panel);
}

TEST_F(PanelDriverLinkTest, APanelStartedByHandOutlivesTheHostsThatUseTheDriver)
{
    // Started by hand: no host id, and its window comes at once.
    Process panel(m_folder / "telvarapanel.exe", "");
    ASSERT_TRUE(panel.Started());
    HWND window = WaitForPanelWindow(panel.Id(), kWaitMs);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(BecomesVisible(window));

    // A host lists the driver and lets it go, as "telvara-host info" does.
    std::unique_ptr<Process> host;
    ASSERT_EQ(StartHost(host), window) << "the host met the running panel";
    SetEvent(m_second);
    ASSERT_TRUE(WaitForHost(*host, m_ready));
    SetEvent(m_release);
    EXPECT_EQ(host->WaitForExit(kWaitMs), std::optional<DWORD>(0));
    EXPECT_FALSE(panel.WaitForExit(kVisibleCloseMs)) << "the host's driver closed a panel it had not started";
    EXPECT_TRUE(IsWindowVisible(window));
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_NORMAL, kWaitMs, &result);
    EXPECT_EQ(panel.WaitForExit(kWaitMs), std::optional<DWORD>(0));
}

TEST_F(PanelDriverLinkTest, AShortSecondHostLeavesTheFirstHostsPanelAlone)
{
    std::unique_ptr<Process> first;
    HWND window = StartHost(first, "stay");
    ASSERT_NE(window, nullptr);
    HANDLE panel = OpenPanel(window);
    ASSERT_NE(panel, nullptr);

    // A second host with events of its own comes and goes.
    const std::string stem = m_stem + "-short";
    HANDLE events[4];
    const char* suffixes[] = {"-first", "-second", "-ready", "-release"};
    for (int i = 0; i < 4; ++i) {
        events[i] = CreateEventA(nullptr, TRUE, FALSE, (stem + suffixes[i]).c_str());
    }
    std::unique_ptr<Process> second;
    ASSERT_EQ(StartHost(second, "", stem), window);
    SetEvent(events[1]);
    ASSERT_TRUE(WaitForHost(*second, events[2]));
    SetEvent(events[3]);
    EXPECT_EQ(second->WaitForExit(kWaitMs), std::optional<DWORD>(0));
    for (HANDLE event : events) {
        CloseHandle(event);
    }
    EXPECT_EQ(WaitForSingleObject(panel, 1500), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the second host's driver closed the first host's panel";

    // The first host lets its drivers go and lives on: the panel it started
    // (hidden, unused) is closed with its last driver object.
    SetEvent(m_second);
    ASSERT_TRUE(WaitForHost(*first, m_ready));
    SetEvent(m_release);
    ASSERT_TRUE(WaitForHost(*first, m_released));
    EXPECT_EQ(WaitForSingleObject(panel, kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(first->Running());
    SetEvent(m_end);
    EXPECT_EQ(first->WaitForExit(kWaitMs), std::optional<DWORD>(0));
    CloseHandle(panel);
}

TEST_F(PanelDriverLinkTest, APanelWhoseWindowTheUserHasOpenStaysWhenItsHostLetsTheDriverGo)
{
    std::unique_ptr<Process> host;
    HWND window = StartHost(host, "stay");
    ASSERT_NE(window, nullptr);
    HANDLE panel = OpenPanel(window);
    ASSERT_NE(panel, nullptr);
    ASSERT_TRUE(PostMessageW(window, WM_USER + 1, 0, WM_LBUTTONDOWN));   // the user opens it from its icon
    ASSERT_TRUE(BecomesVisible(window));

    SetEvent(m_second);
    ASSERT_TRUE(WaitForHost(*host, m_ready));
    SetEvent(m_release);
    ASSERT_TRUE(WaitForHost(*host, m_released));
    // A visible window takes a while to go on a display without a window
    // manager: the close would show only after that.
    EXPECT_EQ(WaitForSingleObject(panel, kVisibleCloseMs), static_cast<DWORD>(WAIT_TIMEOUT)) << "closed under its user";
    EXPECT_TRUE(IsWindowVisible(window));
    // It still watches its host and ends with it.
    SetEvent(m_end);
    EXPECT_EQ(host->WaitForExit(kWaitMs), std::optional<DWORD>(0));
    EXPECT_EQ(WaitForSingleObject(panel, kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(panel);
}

}  // namespace

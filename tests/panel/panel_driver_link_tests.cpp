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
    }

    void TearDown() override
    {
        for (HANDLE event : {m_first, m_second, m_ready, m_release}) {
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

    // Starts the host in the job (with everything it starts) and waits until
    // its first driver object has started the panel. The panel's window then.
    HWND StartHost(std::unique_ptr<Process>& host)
    {
        std::string arguments = "\"";
        arguments += m_folder / "telvara_x64.dll";
        arguments += "\" ";
        arguments += m_stem;
        host = std::make_unique<Process>(ThisFolder() + "panel_link_host.exe", arguments, true);
        if (!host->Started() || !AssignProcessToJobObject(m_job, host->Handle())) {
            ADD_FAILURE() << "host not started";
            return nullptr;
        }
        host->Resume();
        return WaitForHost(*host, m_first) ? WaitForPanelWindow(0, 0) : nullptr;
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

}  // namespace

// The driver's link to the panel as a host lives with it: a named event that
// cannot be made costs no CPU, another process's drivers coming and going
// leave this process's link alone, and a panel signal is taken up while a
// start failure is shown to the user. The panel is stood in for by this
// program: it writes config.ini and sets the driver's global events by
// name, as the panel does.
#include "child_process.h"
#include "contract_host.h"
#include "driver_fixture.h"
#include "held_message_boxes.h"
#include "telvara_driver.h"
#include "trace_capture.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using kssim::CaptureDevice;
using kssim::RenderDevice;

constexpr long kBlock = 512;
constexpr const char* kSettingsChangedEvent = "Global\\TELVARA_CTL_COMING_EVENT";
constexpr const char* kVolumeTrace = "[TELVARA]ASIO Ctrol VOLUME ";

// What the panel does after writing settings: opens the event by name, sets
// it, closes it. False when no such event exists.
bool SignalAsThePanelDoes(const char* name)
{
    HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
    if (!event) {
        return false;
    }
    SetEvent(event);
    CloseHandle(event);
    return true;
}

double ProcessCpuMs()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ticks = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 10000.0;
}

// Waits at most timeoutMs for a trace line that starts with prefix.
bool WaitForTrace(const TraceCapture& trace, const std::string& prefix, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        const std::vector<std::string> lines = trace.Lines();
        if (std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; })) {
            return true;
        }
        Sleep(20);
    } while (GetTickCount64() < deadline);
    return false;
}

class ControlThreadTest : public DriverTest {
protected:
    static std::string OneSpeaker(const std::string& extra = {})
    {
        return "[default]\nout=Spk A\n" + extra + RenderSection("Spk A", 2, 0, 1);
    }
};

}  // namespace

TEST_F(ControlThreadTest, AnEventNameHeldByAnotherObjectCostsNoCpuAndIsTracedOnce)
{
    // A mutex holds the settings event's name, in the global namespace
    // and in the session's: whichever the driver uses, it cannot make it.
    const char* names[] = {"Global\\TELVARA_CTL_COMING_EVENT", "TELVARA_CTL_COMING_EVENT"};
    HANDLE blockers[2] = {};
    for (int i = 0; i < 2; ++i) {
        blockers[i] = CreateMutexA(nullptr, FALSE, names[i]);
        ASSERT_NE(blockers[i], nullptr) << names[i] << ": error " << GetLastError()
                                        << " (an event of that name is still open somewhere)";
    }
    WriteConfig(OneSpeaker());
    UseDevices({RenderDevice("Spk A", RenderPath('a'))});
    TraceCapture trace;
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    Sleep(300);
    const double before = ProcessCpuMs();
    Sleep(1000);
    const double cpuMs = ProcessCpuMs() - before;
    const std::vector<std::string> lines = trace.Lines();
    const auto naming = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        // The base name itself, not this process's own event behind it.
        return line.find("TELVARA_CTL_COMING_EVENT ") != std::string::npos;
    });
    ReleaseDriver();
    for (HANDLE blocker : blockers) {
        CloseHandle(blocker);
    }
    EXPECT_LT(cpuMs, 100.0) << "ms of CPU this process used in an idle second after init";
    EXPECT_EQ(naming, 1) << "trace lines that name the event that could not be made";
    std::printf("[ figures  ] idle second with one event name taken: %.0f ms of CPU, %ld trace lines name it\n", cpuMs,
                static_cast<long>(naming));
}

// Runs in a child process of the test below: creates, initialises and
// releases driver objects of its own. config.ini is the parent's (the
// application-data folder is redirected for the whole prefix); the devices
// are this process's simulated ones, named as the parent's.
TEST(ControlThreadChild, DISABLED_CreatesInitialisesAndReleasesDriversOfItsOwn)
{
    kssim::Simulation::Instance().Reset({RenderDevice("Spk A", RenderPath('a'))});
    for (int round = 0; round < 8; ++round) {
        auto* object = new CTelvaraDriver(nullptr);
        object->NonDelegatingAddRef();
        IASIO* driver = object;
        EXPECT_EQ(driver->init(nullptr), ASIOTrue) << "round " << round;
        EXPECT_EQ(driver->Release(), 0u) << "round " << round;
    }
    kssim::Simulation::Instance().Reset();
}

TEST_F(ControlThreadTest, AnotherProcessReleasingItsDriversLeavesThisProcesssPanelLinkAlive)
{
    WriteConfig(OneSpeaker());
    UseDevices({RenderDevice("Spk A", RenderPath('a'))}, kssim::ClockMode::RealTime);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ContractHost host(driver);
    ASSERT_EQ(host.CreateBuffers({0, 1}, {}, kBlock), ASE_OK);
    ASSERT_EQ(host.Start({1000, 1000}), ASE_OK);
    ASSERT_TRUE(host.WaitForCallbacks(5, 10000));
    const long child = RunChildTest("ControlThreadChild.DISABLED_CreatesInitialisesAndReleasesDriversOfItsOwn", 60000);
    ASSERT_EQ(child, 0) << "the other process's drivers";

    // The panel halves the volume.
    TraceCapture trace;
    WriteConfig(OneSpeaker("Volume=0.5\n"));
    const bool signalled = SignalAsThePanelDoes(kSettingsChangedEvent);
    size_t halved = 0;
    const ULONGLONG deadline = GetTickCount64() + 3000;
    while (halved < 2 * kBlock && GetTickCount64() < deadline) {
        Sleep(50);
        const std::vector<int16_t> played = Rendered(RenderPath('a'));
        halved = static_cast<size_t>(std::count(played.begin(), played.end(), int16_t{500}));
    }
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_TRUE(signalled) << "the settings-changed event no longer exists";
    EXPECT_GE(halved, static_cast<size_t>(2 * kBlock))
        << "samples played at half volume in the 3 s after the panel's signal (the control thread "
        << (WaitForTrace(trace, kVolumeTrace, 0) ? "traced" : "never traced") << " the new volume)";
}

TEST_F(ControlThreadTest, APanelSignalIsTakenUpWhileAStartFailureIsShown)
{
    WriteConfig("[default]\nout=Spk A\nin=Mic\n" + RenderSection("Spk A", 2, 0, 1) + CaptureSection("Mic", 2));
    UseDevices({RenderDevice("Spk A", RenderPath('a')), CaptureDevice("Mic", CapturePath('m'))});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ContractHost host(driver);
    ASSERT_EQ(host.CreateBuffers({0, 1}, {0, 1}, kBlock), ASE_OK);
    // A stream first: the control thread serves the driver that streamed last.
    ASSERT_EQ(host.Start({1000, 1000}), ASE_OK);
    ASSERT_TRUE(host.WaitForCallbacks(3, 10000));
    ASSERT_EQ(driver->stop(), ASE_OK);

    // Unplugged, the microphone refuses the run state: start fails and
    // tells the user, who does not answer yet.
    kssim::Simulation::Instance().RemoveDevice(CapturePath('m'));
    HeldMessageBoxes boxes;
    TraceCapture trace;
    std::atomic<ASIOError> started{1};
    HANDLE returned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread hostThread([&] {
        started = driver->start();
        SetEvent(returned);
    });
    for (int i = 0; i < 250 && boxes.Shown().empty() && WaitForSingleObject(returned, 0) != WAIT_OBJECT_0; ++i) {
        Sleep(20);
    }
    const bool boxUp = !boxes.Shown().empty() && WaitForSingleObject(returned, 0) != WAIT_OBJECT_0;
    WriteConfig("[default]\nout=Spk A\nin=Mic\nVolume=0.5\n" + RenderSection("Spk A", 2, 0, 1) +
                CaptureSection("Mic", 2));
    const bool signalled = SignalAsThePanelDoes(kSettingsChangedEvent);
    const bool takenUp = WaitForTrace(trace, kVolumeTrace, 3000);
    boxes.LetGo();
    hostThread.join();
    CloseHandle(returned);
    EXPECT_TRUE(signalled);
    EXPECT_TRUE(takenUp) << "the control thread took up the panel's signal within 3 s"
                         << (boxUp ? " while start's message box stood" : "");
    EXPECT_NE(started.load(), ASE_OK) << "start with a microphone that refuses to run";
}

// The driver's stream thread, seen from the host: it registers with the
// multimedia class scheduler whatever the process's elevation, never waits
// on a user (no message box), stamps each buffer switch with the
// performance counter, and while streaming neither allocates, nor writes
// trace output, nor opens named events. What the thread calls is counted
// through the program's imports, per thread; the thread is the one the
// callbacks arrive on.
#include "contract_host.h"
#include "driver_fixture.h"
#include "held_message_boxes.h"
#include "import_slot.h"
#include "ks_system.h"
#include "per_thread_calls.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using kssim::CaptureDevice;
using kssim::RenderDevice;

constexpr long kBlock = 512;

class RealTimeThreadTest : public DriverTest {
protected:
    static HMODULE Program() { return GetModuleHandleA(nullptr); }

    // The thread every switch arrived on (0 when none arrived or they came
    // on several).
    static DWORD StreamThread(const ContractHost& host)
    {
        const std::vector<ContractHost::Switch> switches = host.Switches();
        if (switches.empty()) {
            return 0;
        }
        for (const ContractHost::Switch& entry : switches) {
            if (entry.threadId != switches.front().threadId) {
                return 0;
            }
        }
        return switches.front().threadId;
    }
};

// Points the program's import of `name` at `stub`, with `original` set
// before any call can reach the stub.
template <typename Function>
std::unique_ptr<ImportRedirect> Redirect(const char* name, Function stub, Function& original)
{
    void** slot = FindImportSlotInAnyDll(GetModuleHandleA(nullptr), name);
    if (!slot) {
        return nullptr;
    }
    original = reinterpret_cast<Function>(*slot);
    return std::make_unique<ImportRedirect>(GetModuleHandleA(nullptr), name, reinterpret_cast<void*>(stub));
}

// ---- the scheduler registration -------------------------------------------

PerThreadCount g_registrations;
using RegisterFunction = HANDLE(WINAPI*)(LPCSTR, LPDWORD);
RegisterFunction g_realRegister = nullptr;

HANDLE WINAPI RefusedRegistration(LPCSTR, LPDWORD)
{
    g_registrations.Add();
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return nullptr;
}

using TokenFunction = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
TokenFunction g_realTokenInformation = nullptr;

// The token of a process that is not elevated; everything else as it is.
BOOL WINAPI NotElevated(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID information, DWORD length, PDWORD returned)
{
    if (type != TokenElevation) {
        return g_realTokenInformation(token, type, information, length, returned);
    }
    if (returned) {
        *returned = sizeof(TOKEN_ELEVATION);
    }
    if (!information || length < sizeof(TOKEN_ELEVATION)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    static_cast<TOKEN_ELEVATION*>(information)->TokenIsElevated = 0;
    return TRUE;
}

// ---- what the stream thread calls -------------------------------------------

PerThreadCount g_allocations;
PerThreadCount g_traces;
PerThreadCount g_eventOpens;

// The simulated devices stand for hardware: what they allocate or trace
// inside a kernel-streaming call is theirs, not the driver's. (Set up
// before main: a guarded local static could allocate inside malloc.)
const void* const g_seam[] = {
    reinterpret_cast<const void*>(&KsSystem::DeviceIoControl),
    reinterpret_cast<const void*>(&KsSystem::CancelIoEx),
    reinterpret_cast<const void*>(&KsSystem::CloseHandle),
    reinterpret_cast<const void*>(&KsSystem::KsCreatePin),
    reinterpret_cast<const void*>(&KsSystem::CreateFileA),
};

bool InsideTheDevices()
{
    return StackPassesThrough(g_seam, sizeof g_seam / sizeof g_seam[0]);
}

void CountAllocation()
{
    if (!InsideTheDevices()) {
        g_allocations.Add();
    }
}

using MallocFunction = void*(__cdecl*)(size_t);
using CallocFunction = void*(__cdecl*)(size_t, size_t);
using ReallocFunction = void*(__cdecl*)(void*, size_t);
using AlignedFunction = void*(__cdecl*)(size_t, size_t);
using HeapAllocFunction = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using HeapReAllocFunction = LPVOID(WINAPI*)(HANDLE, DWORD, LPVOID, SIZE_T);
using LocalAllocFunction = HLOCAL(WINAPI*)(UINT, SIZE_T);
using GlobalAllocFunction = HGLOBAL(WINAPI*)(UINT, SIZE_T);
using VirtualAllocFunction = LPVOID(WINAPI*)(LPVOID, SIZE_T, DWORD, DWORD);
using TraceFunction = void(WINAPI*)(LPCSTR);
using OpenEventFunction = HANDLE(WINAPI*)(DWORD, BOOL, LPCSTR);

MallocFunction g_malloc = nullptr;
CallocFunction g_calloc = nullptr;
ReallocFunction g_realloc = nullptr;
AlignedFunction g_alignedMalloc = nullptr;
HeapAllocFunction g_heapAlloc = nullptr;
HeapReAllocFunction g_heapReAlloc = nullptr;
LocalAllocFunction g_localAlloc = nullptr;
GlobalAllocFunction g_globalAlloc = nullptr;
VirtualAllocFunction g_virtualAlloc = nullptr;
TraceFunction g_outputDebugString = nullptr;
OpenEventFunction g_openEvent = nullptr;

void* __cdecl CountedMalloc(size_t size)
{
    CountAllocation();
    return g_malloc(size);
}
void* __cdecl CountedCalloc(size_t count, size_t size)
{
    CountAllocation();
    return g_calloc(count, size);
}
void* __cdecl CountedRealloc(void* block, size_t size)
{
    CountAllocation();
    return g_realloc(block, size);
}
void* __cdecl CountedAlignedMalloc(size_t size, size_t alignment)
{
    CountAllocation();
    return g_alignedMalloc(size, alignment);
}
LPVOID WINAPI CountedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size)
{
    CountAllocation();
    return g_heapAlloc(heap, flags, size);
}
LPVOID WINAPI CountedHeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T size)
{
    CountAllocation();
    return g_heapReAlloc(heap, flags, block, size);
}
HLOCAL WINAPI CountedLocalAlloc(UINT flags, SIZE_T size)
{
    CountAllocation();
    return g_localAlloc(flags, size);
}
HGLOBAL WINAPI CountedGlobalAlloc(UINT flags, SIZE_T size)
{
    CountAllocation();
    return g_globalAlloc(flags, size);
}
LPVOID WINAPI CountedVirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protection)
{
    CountAllocation();
    return g_virtualAlloc(address, size, type, protection);
}
void WINAPI CountedOutputDebugString(LPCSTR text)
{
    if (!InsideTheDevices()) {
        g_traces.Add();
    }
    g_outputDebugString(text);
}
HANDLE WINAPI CountedOpenEvent(DWORD access, BOOL inherit, LPCSTR name)
{
    g_eventOpens.Add();
    return g_openEvent(access, inherit, name);
}

// Every redirect the stream thread's calls are counted through, for as
// long as it lives.
class CountedCalls {
public:
    CountedCalls()
    {
        g_allocations.Clear();
        g_traces.Clear();
        g_eventOpens.Clear();
        m_malloc = Add("malloc", CountedMalloc, g_malloc);
        Add("calloc", CountedCalloc, g_calloc);
        Add("realloc", CountedRealloc, g_realloc);
        Add("_aligned_malloc", CountedAlignedMalloc, g_alignedMalloc);
        Add("HeapAlloc", CountedHeapAlloc, g_heapAlloc);
        Add("HeapReAlloc", CountedHeapReAlloc, g_heapReAlloc);
        Add("LocalAlloc", CountedLocalAlloc, g_localAlloc);
        Add("GlobalAlloc", CountedGlobalAlloc, g_globalAlloc);
        Add("VirtualAlloc", CountedVirtualAlloc, g_virtualAlloc);
        m_traces = Add("OutputDebugStringA", CountedOutputDebugString, g_outputDebugString);
        m_eventOpens = Add("OpenEventA", CountedOpenEvent, g_openEvent);
    }
    // Nothing can be counted without these.
    bool Complete() const { return m_malloc && m_traces && m_eventOpens; }
    std::string Installed() const { return m_installed; }

private:
    template <typename Function>
    bool Add(const char* name, Function stub, Function& original)
    {
        m_redirects.push_back(Redirect(name, stub, original));
        if (m_redirects.back()) {
            m_installed += std::string(m_installed.empty() ? "" : ", ") + name + " (" + m_redirects.back()->Dll() + ")";
        }
        return m_redirects.back() != nullptr;
    }
    std::vector<std::unique_ptr<ImportRedirect>> m_redirects;
    std::string m_installed;
    bool m_malloc = false;
    bool m_traces = false;
    bool m_eventOpens = false;
};

}  // namespace

// Under Wine every process reads as elevated; the second case makes the
// token say otherwise. In both the registration is made to fail: the
// driver tries it, says nothing to the user and streams on.
TEST_F(RealTimeThreadTest, TheStreamThreadRegistersWithTheSchedulerAndAFailureStopsNothing)
{
    for (const bool elevated : {true, false}) {
        SCOPED_TRACE(elevated ? "elevated, as under Wine" : "not elevated");
        WriteConfig("[default]\nout=Spk A\n" + RenderSection("Spk A", 2, 0, 1));
        UseDevices({RenderDevice("Spk A", RenderPath('a'))}, kssim::ClockMode::RealTime);
        g_registrations.Clear();
        const std::unique_ptr<ImportRedirect> registration =
            Redirect("AvSetMmThreadCharacteristicsA", RefusedRegistration, g_realRegister);
        ASSERT_TRUE(registration) << "the program does not import AvSetMmThreadCharacteristicsA";
        std::unique_ptr<ImportRedirect> token;
        if (!elevated) {
            token = Redirect("GetTokenInformation", NotElevated, g_realTokenInformation);
            ASSERT_TRUE(token) << "the program does not import GetTokenInformation";
        }
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        {
            ContractHost host(driver);
            HeldMessageBoxes boxes;
            ASSERT_EQ(host.CreateBuffers({0, 1}, {}, kBlock), ASE_OK);
            ASSERT_EQ(host.Start({100, 100}), ASE_OK);
            // No user answers a box meanwhile.
            const bool streamed = host.WaitForCallbacks(5, 5000);
            const std::vector<LoggedMessageBox> shown = boxes.Shown();
            boxes.LetGo();
            const long callbacks = host.Callbacks();
            EXPECT_EQ(driver->stop(), ASE_OK);
            const DWORD stream = StreamThread(host);
            const long tried = stream ? g_registrations.Of(stream) : g_registrations.Total();
            EXPECT_GE(tried, 1) << "registrations the stream thread attempted";
            EXPECT_TRUE(streamed) << callbacks << " switches in 5 s while a message box stood unanswered";
            EXPECT_TRUE(shown.empty()) << shown.size() << " message boxes, the first with the caption \""
                                       << (shown.empty() ? "" : shown[0].caption) << "\"";
        }
        ReleaseDriver();
    }
}

// Each switch's systemTime against the performance counter as the switch
// arrives: taken right before the call, it is at most a little older, and
// it has the counter's resolution, not whole milliseconds.
TEST_F(RealTimeThreadTest, SystemTimeIsThePerformanceCounterRightBeforeTheBufferSwitch)
{
    WriteConfig("[default]\nout=Spk A\n" + RenderSection("Spk A", 2, 0, 1));
    UseDevices({RenderDevice("Spk A", RenderPath('a'))}, kssim::ClockMode::RealTime);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ContractHost host(driver);
    host.supportsTimeInfo = true;
    ASSERT_EQ(host.CreateBuffers({0, 1}, {}, kBlock), ASE_OK);
    ASSERT_EQ(host.Start({100, 100}), ASE_OK);
    ASSERT_TRUE(host.WaitForCallbacks(45, 10000));
    ASSERT_EQ(driver->stop(), ASE_OK);
    std::vector<double> lagsMs;
    long wholeMilliseconds = 0;
    for (const ContractHost::Switch& entry : host.Switches()) {
        ASSERT_TRUE(entry.timeInfo);
        const ASIOTimeStamp& stamp = entry.time.timeInfo.systemTime;
        const int64_t ns = static_cast<int64_t>((static_cast<uint64_t>(stamp.hi) << 32) | stamp.lo);
        lagsMs.push_back((entry.arrivalNs - ns) / 1e6);
        wholeMilliseconds += ns % 1000000 == 0 ? 1 : 0;
    }
    ASSERT_GE(lagsMs.size(), 45u);
    std::vector<double> sorted = lagsMs;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    const long ahead = static_cast<long>(std::count_if(lagsMs.begin(), lagsMs.end(), [](double lag) { return lag < -1.0; }));
    EXPECT_GE(median, 0.0) << "median ms from systemTime to the switch's arrival";
    EXPECT_LT(median, 2.0) << "median ms from systemTime to the switch's arrival";
    EXPECT_EQ(ahead, 0) << "switches that arrived more than 1 ms before their systemTime";
    EXPECT_LE(wholeMilliseconds, static_cast<long>(lagsMs.size() / 2)) << "stamps in whole milliseconds, of "
                                                                        << lagsMs.size();
    std::printf("[ figures  ] systemTime to arrival: median %.3f ms, least %.3f ms, most %.3f ms; %ld of %zu stamps "
                "in whole ms\n",
                median, sorted.front(), sorted.back(), wholeMilliseconds, lagsMs.size());
}

// While streaming the stream thread allocates nothing (the blocks are made
// before it starts, whatever buffer size the host chose), writes no trace
// output and opens no named event, also when a device stalls beside it.
// What the simulated devices do inside their calls is theirs.
TEST_F(RealTimeThreadTest, TheStreamThreadNeitherAllocatesNorTracesNorOpensNamedEvents)
{
    if (!StackWalkAvailable()) {
        GTEST_SKIP() << "telling the simulated devices' calls apart needs the unwind tables of 64-bit code";
    }
    struct Case {
        const char* name;
        std::string config;
        std::vector<kssim::DeviceModel> devices;
        std::vector<long> inputs;
        long bufferSize;
        std::string stalls;  // a device that stalls after ten switches, or none
    };
    const Case cases[] = {
        {"the host's buffer size, 1024, differs from BlockFrames, 256",
         "[default]\nout=Spk A\nin=Mic\nBlockFrames=256\n" + RenderSection("Spk A", 2, 0, 1) + CaptureSection("Mic", 2),
         {RenderDevice("Spk A", RenderPath('a')), CaptureDevice("Mic", CapturePath('m'))},
         {0, 1},
         1024,
         ""},
        {"a speaker stalls",
         "[default]\nout=Spk A;Spk B\n" + RenderSection("Spk A", 2, 0, 1) + RenderSection("Spk B", 2, 0, 1),
         {RenderDevice("Spk A", RenderPath('a')), RenderDevice("Spk B", RenderPath('b'))},
         {},
         kBlock,
         RenderPath('b')},
        {"the buffer size the driver prefers",
         "[default]\nout=Spk A\nin=Mic\n" + RenderSection("Spk A", 2, 0, 1) + CaptureSection("Mic", 2),
         {RenderDevice("Spk A", RenderPath('a')), CaptureDevice("Mic", CapturePath('m'))},
         {0, 1},
         kBlock,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteConfig(c.config);
        UseDevices(c.devices, kssim::ClockMode::RealTime);
        CountedCalls counted;
        ASSERT_TRUE(counted.Complete()) << "counted: " << counted.Installed();
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        long allocations = 0, eventOpens = 0, traces = 0;
        {
            ContractHost host(driver);
            ASSERT_EQ(host.CreateBuffers({0, 1}, c.inputs, c.bufferSize), ASE_OK);
            std::atomic<long> tracesAtFirstSwitch{-1};
            host.onBufferSwitch = [&](long index) {
                if (tracesAtFirstSwitch.load() < 0) {
                    tracesAtFirstSwitch = g_traces.Of(GetCurrentThreadId());
                }
                std::fill(host.OutputHalf(0, index), host.OutputHalf(0, index) + c.bufferSize, int16_t{100});
                std::fill(host.OutputHalf(1, index), host.OutputHalf(1, index) + c.bufferSize, int16_t{100});
            };
            ASSERT_EQ(host.Start({100, 100}), ASE_OK);
            ASSERT_TRUE(host.WaitForCallbacks(10, 10000));
            if (!c.stalls.empty()) {
                kssim::Simulation::Instance().SetStreamFault(c.stalls, 0, kssim::StreamFault::NeverComplete);
            }
            host.CallbacksOver(1000);
            const DWORD stream = StreamThread(host);
            ASSERT_NE(stream, 0u) << "the switches came on more than one thread";
            // Counted up to here: stopping may trace the thread's end.
            traces = g_traces.Of(stream) - tracesAtFirstSwitch.load();
            EXPECT_EQ(driver->stop(), ASE_OK);
            allocations = g_allocations.Of(stream);
            eventOpens = g_eventOpens.Of(stream);
        }
        EXPECT_EQ(allocations, 0) << "allocations by the stream thread (" << counted.Installed() << ")";
        EXPECT_EQ(traces, 0) << "trace lines the stream thread wrote while streaming";
        EXPECT_EQ(eventOpens, 0) << "named events the stream thread opened";
        std::printf("[ figures  ] %s: %ld allocations, %ld trace lines, %ld named-event opens on the stream thread\n",
                    c.name, allocations, traces, eventOpens);
        ReleaseDriver();
    }
}

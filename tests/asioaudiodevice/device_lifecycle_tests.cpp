#include "device_test_support.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>

namespace {

DWORD HandleCountOfProcess()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

// Wine answers GetProcessHandleCount with 0; the system's handle table
// (SystemHandleInformation) counts the handles of this process on Wine and
// Windows alike.
struct SystemHandleEntry {
    USHORT processId;
    USHORT creatorBackTraceIndex;
    UCHAR objectType;
    UCHAR attributes;
    USHORT handle;
    PVOID object;
    ULONG access;
};
struct SystemHandleTable {
    ULONG count;
    SystemHandleEntry entries[1];
};

int HandlesInSystemTable()
{
    using QueryFunction = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QueryFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> buffer(8 << 20);
    ULONG returned = 0;
    if (!query || query(16 /* SystemHandleInformation */, buffer.data(), static_cast<ULONG>(buffer.size()),
                        &returned) != 0) {
        ADD_FAILURE() << "no system handle table";
        return -1;
    }
    const auto* table = reinterpret_cast<const SystemHandleTable*>(buffer.data());
    int count = 0;
    for (ULONG i = 0; i < table->count; ++i) {
        count += table->entries[i].processId == static_cast<USHORT>(GetCurrentProcessId()) ? 1 : 0;
    }
    return count;
}

int ThreadCount()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

// Committed private memory (PagefileUsage: Wine leaves PrivateUsage at 0).
size_t CommittedBytes()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
}

class DeviceLifecycleTest : public DeviceSetTest {
protected:
    void SetUp() override
    {
        DeviceSetTest::SetUp();
        Sim().Reset({SimRender("Out1", 2, 16, 24), SimRender("Out2", 2, 16, 24), SimCapture("In1", 2, 16, 24),
                     SimCapture("In2", 4, 16, 24)});
        Sim().SetClockMode(kssim::ClockMode::Fast);
        WriteConfig(ConfigText().Out("Out1", 2).Out("Out2", 2).In("In1", 2).In("In2", 2).Default("BitSpersample", "24"));
    }

    // What a host does between two sample-rate changes: open both sides,
    // run, stream a few blocks each way, stop and close.
    static void RunOneSession(AsioAudioDevice& device)
    {
        ASSERT_TRUE(device.OpenCaptureDevices());
        ASSERT_TRUE(device.OpenRenderDevices());
        device.SetRenderState(KSSTATE_RUN);
        ASSERT_EQ(device.SetCaptureState(KSSTATE_RUN), 0);
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        std::vector<int16_t> samples(512 * 2, 1);
        for (int block = 0; block < 3; ++block) {
            for (uint16_t index = 0; index < device.renderDeviceCount; ++index) {
                RenderBlock renderBlock;
                renderBlock.deviceIndex = index;
                renderBlock.data = samples.data();
                renderBlock.byteCount = 2048;
                renderBlock.completionEvent = event;
                ASSERT_EQ(device.WriteRenderDevice(renderBlock), 0);
                ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
            }
            for (uint16_t index = 0; index < device.captureDeviceCount; ++index) {
                ASSERT_EQ(device.ReadCaptureDevice(index, samples.data(), 2048, 5000), 0);
            }
        }
        CloseHandle(event);
        // The simulation keeps what devices played; that is not ours to count.
        for (const char* name : {"Out1", "Out2"}) {
            kssim::Simulation::Instance().ClearRendered(RenderPath(name), 0);
        }
        device.SetCaptureState(KSSTATE_STOP);
        device.SetRenderState(KSSTATE_STOP);
        device.CloseCaptureDevices();
        device.CloseRenderDevices();
    }
};

}  // namespace

TEST_F(DeviceLifecycleTest, TwoHundredOpenCloseCyclesLeaveNoHandleThreadOrMemoryBehind)
{
    AsioAudioDevice& device = MakeDevice();
    RunOneSession(device);  // first use: ksuser, enumerators, settings
    const DWORD processHandlesBefore = HandleCountOfProcess();
    const int handlesBefore = HandlesInSystemTable();
    const int threadsBefore = ThreadCount();
    const size_t bytesBefore = CommittedBytes();
    for (int cycle = 0; cycle < 200; ++cycle) {
        RunOneSession(device);
        ASSERT_FALSE(HasFatalFailure()) << "cycle " << cycle;
        ASSERT_EQ(Sim().OpenPinInstances(RenderPath("Out1"), 0), 0) << "cycle " << cycle;
    }
    const DWORD processHandlesAfter = HandleCountOfProcess();
    const int handlesAfter = HandlesInSystemTable();
    const int threadsAfter = ThreadCount();
    const size_t bytesAfter = CommittedBytes();
    std::printf("GetProcessHandleCount %lu -> %lu, handles in the system table %d -> %d, threads %d -> %d, "
                "committed bytes %zu -> %zu\n",
                processHandlesBefore, processHandlesAfter, handlesBefore, handlesAfter, threadsBefore, threadsAfter,
                bytesBefore, bytesAfter);
    EXPECT_EQ(processHandlesAfter, processHandlesBefore);
    EXPECT_EQ(handlesAfter, handlesBefore);
    EXPECT_EQ(threadsAfter, threadsBefore);
    // Each session opens 4 devices with delay lines (176400 bytes each),
    // stream buffers and records: a leak of any of them over 200 sessions
    // would grow far beyond this.
    EXPECT_LT(bytesAfter, bytesBefore + 256 * 1024);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

TEST_F(DeviceLifecycleTest, ConstructingAndDestroyingDeviceSetsLeavesNoHandleOpen)
{
    {
        AsioAudioDevice& device = MakeDevice();
        RunOneSession(device);
    }
    m_device.reset();
    const int handlesBefore = HandlesInSystemTable();
    for (int cycle = 0; cycle < 50; ++cycle) {
        AsioAudioDevice& device = MakeDevice();
        ASSERT_TRUE(device.OpenCaptureDevices());
        ASSERT_TRUE(device.OpenRenderDevices());
        device.SetRenderState(KSSTATE_RUN);
        device.SetCaptureState(KSSTATE_RUN);
        m_device.reset();  // the destructor closes everything
        ASSERT_EQ(Sim().OpenHandleCount(), 0) << "cycle " << cycle;
    }
    EXPECT_EQ(HandlesInSystemTable(), handlesBefore);
}

TEST_F(DeviceLifecycleTest, ADeviceSetWithOpenDevicesIsDestroyedCleanlyAfterItsDevicesWereRemoved)
{
    AsioAudioDevice& device = MakeDevice();
    ASSERT_TRUE(device.OpenCaptureDevices());
    ASSERT_TRUE(device.OpenRenderDevices());
    device.SetRenderState(KSSTATE_RUN);
    device.SetCaptureState(KSSTATE_RUN);
    for (const char* name : {"Out1", "Out2"}) {
        Sim().RemoveDevice(RenderPath(name));
    }
    for (const char* name : {"In1", "In2"}) {
        Sim().RemoveDevice(CapturePath(name));
    }
    m_device.reset();
    EXPECT_EQ(Sim().OpenHandleCount(), 0);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

// Threads, kernel objects and memory the simulation holds: nothing outlives
// the handles and the model that need it.

#include "child_process.h"
#include "kssim_test_support.h"

#include <memory>

using namespace kssimtest;

namespace {

class Lifetime : public SimulationTest {};

// One full use of a render device as the device layer makes it: enumerate,
// open, create a pin, run, stream, stop, close.
void UseRenderDeviceOnce()
{
    HDEVINFO set = KsSystem::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(KsSystem::SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, 0, &data));
    SP_DEVICE_INTERFACE_DATA alias{};
    alias.cbSize = sizeof alias;
    ASSERT_TRUE(KsSystem::SetupDiGetDeviceInterfaceAlias(set, &data, &KSCATEGORY_RENDER, &alias));
    ASSERT_TRUE(KsSystem::SetupDiDestroyDeviceInfoList(set));

    HANDLE filter = OpenFilter(kRenderPath);
    HANDLE pin = OpenPin(filter, 0, PcmFormat(2, 48000, 16));
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
    StreamRequest quick(192);         // within the device buffer: done at once
    StreamRequest slow(192000 * 5);   // five seconds: still queued at the close
    ASSERT_EQ(quick.Write(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(slow.Write(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(quick.Done(5000));
    ASSERT_TRUE(SetState(pin, KSSTATE_PAUSE).ok);
    ASSERT_TRUE(KsSystem::CloseHandle(pin));
    ASSERT_TRUE(slow.Done(0));
    EXPECT_EQ(slow.Status(), kStatusCancelled);
    ASSERT_TRUE(KsSystem::CloseHandle(filter));
}

}  // namespace

TEST_F(Lifetime, TheClockThreadLivesOnlyWhileFiltersOrPinsAreOpen)
{
    Sim().Reset({WideRenderDevice()});
    const int threads = ThreadCount();
    const DWORD handles = HandleCount();
    HANDLE filter = OpenFilter(kRenderPath);
    HANDLE pin = OpenPin(filter, 0, PcmFormat(2, 48000, 16));
    EXPECT_EQ(ThreadCount(), threads);  // nothing to clock yet
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
    EXPECT_EQ(ThreadCount(), threads + 1);
    EXPECT_TRUE(KsSystem::CloseHandle(pin));
    EXPECT_EQ(ThreadCount(), threads + 1);  // the filter is still open
    EXPECT_TRUE(KsSystem::CloseHandle(filter));
    EXPECT_TRUE(CountsSettleAt(threads, handles));
}

TEST_F(Lifetime, TwoHundredCyclesLeaveNoThreadHandleOrRequestBehind)
{
    Sim().Reset({WideRenderDevice()});
    UseRenderDeviceOnce();  // lets the process make its one-time allocations first
    const int threads = ThreadCount();
    const DWORD handles = HandleCount();
    for (int cycle = 0; cycle < 200; ++cycle) {
        UseRenderDeviceOnce();
        if (HasFatalFailure()) {
            FAIL() << "cycle " << cycle;
        }
    }
    EXPECT_TRUE(CountsSettleAt(threads, handles));
    EXPECT_EQ(Sim().OpenHandleCount(), 0);
    EXPECT_EQ(Sim().OpenDeviceInfoSetCount(), 0);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    // Besides the data, the silence of a device that ran dry between the two
    // writes of a cycle on a busy machine.
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0).size(),
              201u * 192u + static_cast<size_t>(Sim().UnderrunFrames(kRenderPath, 0)) * 4);
}

TEST_F(Lifetime, ResetCompletesClosesAndRestoresTheSwitches)
{
    kssim::DeviceModel render = WideRenderDevice();
    render.asynchronousProperties = true;
    Sim().Reset({render, WideCaptureDevice()});
    StreamRequest write(192000), read(192000);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const int threads = ThreadCount();
    const DWORD handles = HandleCount();

    HDEVINFO set = KsSystem::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    HANDLE renderFilter = OpenFilter(kRenderPath);
    HANDLE captureFilter = OpenFilter(kCapturePath);
    HANDLE renderPin = OpenPin(renderFilter, 0, PcmFormat(2, 48000, 16));
    HANDLE capturePin = OpenPin(captureFilter, 0, PcmFormat(2, 48000, 16));
    // Queued on paused pins, so that nothing completes before the reset
    // whatever the clock does.
    ASSERT_TRUE(SetState(renderPin, KSSTATE_PAUSE).ok);
    ASSERT_TRUE(SetState(capturePin, KSSTATE_PAUSE).ok);
    ASSERT_EQ(write.Write(renderPin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(read.Read(capturePin), static_cast<DWORD>(ERROR_IO_PENDING));
    Sim().HoldPropertyCompletions(true);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_CTYPES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG count = 0;
    DWORD bytes = 0;
    EXPECT_FALSE(KsSystem::DeviceIoControl(renderFilter, IOCTL_KS_PROPERTY, &request, sizeof request, &count, 4, &bytes,
                                           &overlapped));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    Sim().SetKsUserMissing(true);

    Sim().Reset({render});
    EXPECT_TRUE(write.Done(0) && read.Done(0));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(write.Status(), kStatusCancelled);
    EXPECT_EQ(static_cast<LONG>(overlapped.Internal), kStatusCancelled);
    EXPECT_EQ(Sim().OpenHandleCount(), 0);
    EXPECT_EQ(Sim().OpenDeviceInfoSetCount(), 0);
    EXPECT_TRUE(CountsSettleAt(threads, handles));

    // The old handles are dead, and closing them again harms nothing.
    EXPECT_EQ(write.Write(renderPin), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(KsSystem::CloseHandle(renderPin));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(KsSystem::CancelIoEx(capturePin, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(KsSystem::SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(HandleCount(), handles);

    // ksuser is back and the clock runs in real time again.
    HANDLE filter = OpenFilter(kRenderPath);
    HANDLE pin = OpenPin(filter, 0, PcmFormat(2, 48000, 16));
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
    StreamRequest long1(192000);
    ASSERT_EQ(long1.Write(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(long1.Done(0));
    KsSystem::CloseHandle(pin);
    KsSystem::CloseHandle(filter);
    CloseHandle(event);
}

// Run as a child: leaves a device streaming with requests queued and lets
// the process end; the exit must neither hang nor crash.
TEST(KssimChild, DISABLED_LeavesDevicesStreamingAtExit)
{
    Sim().Reset({WideRenderDevice(), WideCaptureDevice()});
    HANDLE filter = OpenFilter(kRenderPath);
    HANDLE pin = OpenPin(filter, 0, PcmFormat(2, 48000, 16));
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
    // Never freed: the request must stay valid until the model is emptied at exit.
    auto* write = new StreamRequest(192000);
    ASSERT_EQ(write->Write(pin), static_cast<DWORD>(ERROR_IO_PENDING));
}

TEST_F(Lifetime, AProcessEndsCleanlyWithDevicesStillStreaming)
{
    EXPECT_EQ(RunChildTest("KssimChild.DISABLED_LeavesDevicesStreamingAtExit", 60000), 0);
}

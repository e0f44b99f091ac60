#include "device_test_support.h"
#include "process_resources.h"

#include <windows.h>

#include <cstdio>

namespace {

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
    const DWORD handlesBefore = HandleCount();
    const int threadsBefore = ThreadCount();
    const size_t bytesBefore = CommittedBytes();
    for (int cycle = 0; cycle < 200; ++cycle) {
        RunOneSession(device);
        ASSERT_FALSE(HasFatalFailure()) << "cycle " << cycle;
        ASSERT_EQ(Sim().OpenPinInstances(RenderPath("Out1"), 0), 0) << "cycle " << cycle;
    }
    const DWORD handlesAfter = HandleCount();
    const int threadsAfter = ThreadCount();
    const size_t bytesAfter = CommittedBytes();
    std::printf("handles %lu -> %lu, threads %d -> %d, committed bytes %zu -> %zu\n", handlesBefore, handlesAfter,
                threadsBefore, threadsAfter, bytesBefore, bytesAfter);
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
    const DWORD handlesBefore = HandleCount();
    for (int cycle = 0; cycle < 50; ++cycle) {
        AsioAudioDevice& device = MakeDevice();
        ASSERT_TRUE(device.OpenCaptureDevices());
        ASSERT_TRUE(device.OpenRenderDevices());
        device.SetRenderState(KSSTATE_RUN);
        device.SetCaptureState(KSSTATE_RUN);
        m_device.reset();  // the destructor closes everything
        ASSERT_EQ(Sim().OpenHandleCount(), 0) << "cycle " << cycle;
    }
    EXPECT_EQ(HandleCount(), handlesBefore);
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

#include "device_test_support.h"

#include "ks_trace_level_guard.h"
#include "trace_capture.h"

namespace {

class PinStateTest : public DeviceSetTest {
protected:
    void SetUp() override
    {
        DeviceSetTest::SetUp();
        Sim().Reset({SimRender("R1"), SimRender("R2"), SimCapture("C1"), SimCapture("C2")});
        WriteConfig(ConfigText().Out("R1", 2).Out("R2", 2).In("C1", 2).In("C2", 2));
        AsioAudioDevice& device = MakeDevice();
        ASSERT_TRUE(device.OpenCaptureDevices());
        ASSERT_TRUE(device.OpenRenderDevices());
    }
};

constexpr const char* kClosedRender = "[TELVARA]\n\xb9\xd8\xb1\xd5" "Asio\xca\xe4\xb3\xf6\xc9\xe8\xb1\xb8";
constexpr const char* kClosedCapture = "[TELVARA]\n\xb9\xd8\xb1\xd5" "Asio\xca\xe4\xc8\xeb\xc9\xe8\xb1\xb8";

}  // namespace

TEST_F(PinStateTest, RunPutsEveryPinIntoTheRunStateAndMarksItActive)
{
    AsioAudioDevice& device = *m_device;
    EXPECT_EQ(device.SetRenderState(KSSTATE_RUN), 0);
    EXPECT_EQ(device.SetCaptureState(KSSTATE_RUN), 0);
    for (const char* name : {"R1", "R2"}) {
        EXPECT_EQ(Sim().PinState(RenderPath(name), 0), KSSTATE_RUN) << name;
    }
    for (const char* name : {"C1", "C2"}) {
        EXPECT_EQ(Sim().PinState(CapturePath(name), 0), KSSTATE_RUN) << name;
    }
    EXPECT_TRUE(device.GetRenderDevice(0)->active);
    EXPECT_TRUE(device.GetCaptureDevice(1)->active);
    EXPECT_EQ(device.CountActiveRenderDevices(), 2);
    EXPECT_EQ(device.activeRenderCount, 2);
    EXPECT_EQ(device.CountActiveCaptureDevices(), 2);
    EXPECT_EQ(device.activeCaptureCount, 2);
}

TEST_F(PinStateTest, RenderPinsGetOneRequestAndCapturePinsTwo)
{
    KsTraceLevelGuard level(6);
    TraceCapture trace;
    m_device->SetRenderState(KSSTATE_RUN);
    EXPECT_EQ(trace.Count("CKsPin::SetState() Enter"), 2u);
    trace.Clear();
    m_device->SetCaptureState(KSSTATE_RUN);
    EXPECT_EQ(trace.Count("CKsPin::SetState() Enter"), 4u);
}

TEST_F(PinStateTest, AStopAfterARunKeepsTheDevicesActive)
{
    AsioAudioDevice& device = *m_device;
    device.SetRenderState(KSSTATE_RUN);
    device.SetCaptureState(KSSTATE_RUN);
    EXPECT_EQ(device.SetCaptureState(KSSTATE_STOP), 0);
    EXPECT_EQ(device.SetRenderState(KSSTATE_STOP), 0);
    EXPECT_EQ(Sim().PinState(RenderPath("R1"), 0), KSSTATE_STOP);
    EXPECT_EQ(Sim().PinState(CapturePath("C2"), 0), KSSTATE_STOP);
    EXPECT_EQ(device.CountActiveRenderDevices(), 2);
    EXPECT_EQ(device.CountActiveCaptureDevices(), 2);
}

TEST_F(PinStateTest, AFailingStateRequestClearsActiveAfterItsRetries)
{
    AsioAudioDevice& device = *m_device;
    Sim().RemoveDevice(RenderPath("R2"));
    Sim().RemoveDevice(CapturePath("C2"));
    KsTraceLevelGuard level(1);
    TraceCapture trace;
    EXPECT_EQ(device.SetRenderState(KSSTATE_RUN), 0) << "render never reports a failure";
    EXPECT_EQ(trace.Count("Failed to Set Pin State"), 2u) << "one retry";
    trace.Clear();
    const int32_t captureResult = device.SetCaptureState(KSSTATE_RUN);
    EXPECT_LT(captureResult, 0) << "C2 is the last capture device";
    EXPECT_EQ(trace.Count("Failed to Set Pin State"), 2u);
    EXPECT_TRUE(device.GetRenderDevice(0)->active);
    EXPECT_FALSE(device.GetRenderDevice(1)->active);
    EXPECT_TRUE(device.GetCaptureDevice(0)->active);
    EXPECT_FALSE(device.GetCaptureDevice(1)->active);
    EXPECT_EQ(device.CountActiveRenderDevices(), 1);
    EXPECT_EQ(device.CountActiveCaptureDevices(), 1);
}

TEST_F(PinStateTest, TheCaptureResultIsThatOfTheLastDevice)
{
    Sim().RemoveDevice(CapturePath("C1"));
    EXPECT_EQ(m_device->SetCaptureState(KSSTATE_RUN), 0);
    EXPECT_FALSE(m_device->GetCaptureDevice(0)->active);
    EXPECT_TRUE(m_device->GetCaptureDevice(1)->active);
}

TEST_F(PinStateTest, ClosingEmptiesTheTablesAndClosingTwiceOnlyTraces)
{
    AsioAudioDevice& device = *m_device;
    device.SetRenderState(KSSTATE_RUN);
    device.SetCaptureState(KSSTATE_RUN);
    device.CountActiveCaptureDevices();
    TraceCapture trace;
    device.CloseCaptureDevices();
    device.CloseRenderDevices();
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{kClosedCapture, kClosedRender}));
    EXPECT_EQ(device.outputChannels, 0);
    EXPECT_EQ(device.inputChannels, 0);
    EXPECT_EQ(device.renderDeviceCount, 0);
    EXPECT_EQ(device.captureDeviceCount, 0);
    EXPECT_EQ(device.activeRenderCount, 0);
    EXPECT_EQ(device.activeCaptureCount, 2) << "kept until the next count";
    EXPECT_FALSE(device.HasRenderDevices());
    EXPECT_FALSE(device.HasCaptureDevices());
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("R1"), 0), 0);
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("C1"), 0), 0);
    EXPECT_EQ(Sim().PinState(RenderPath("R1"), 0), KSSTATE_STOP);
    trace.Clear();
    device.CloseCaptureDevices();
    device.CloseRenderDevices();
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{kClosedCapture, kClosedRender}));
    EXPECT_EQ(device.SetCaptureState(KSSTATE_RUN), 0);
    EXPECT_EQ(device.CountActiveCaptureDevices(), 0);
}

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
        CDeviceSet& set = MakeSet();
        ASSERT_TRUE(set.OpenCapture(CaptureRequest()));
        ASSERT_TRUE(set.OpenRender(RenderRequest()));
    }
};

constexpr const char* kClosedRender = "[TELVARA]\n\xb9\xd8\xb1\xd5" "Asio\xca\xe4\xb3\xf6\xc9\xe8\xb1\xb8";
constexpr const char* kClosedCapture = "[TELVARA]\n\xb9\xd8\xb1\xd5" "Asio\xca\xe4\xc8\xeb\xc9\xe8\xb1\xb8";

}  // namespace

// Run puts every pin into the run state and marks it active; a stop that
// succeeds keeps it active (the flag tells the last request succeeded).
TEST_F(PinStateTest, RunAndStopReachEveryPinAndKeepTheDevicesActive)
{
    CDeviceSet& set = *m_set;
    EXPECT_EQ(set.ActiveRender(), 0);
    EXPECT_EQ(set.SetRenderState(KSSTATE_RUN), 0);
    EXPECT_EQ(set.SetCaptureState(KSSTATE_RUN), 0);
    for (const char* name : {"R1", "R2"}) {
        EXPECT_EQ(Sim().PinState(RenderPath(name), 0), KSSTATE_RUN) << name;
    }
    for (const char* name : {"C1", "C2"}) {
        EXPECT_EQ(Sim().PinState(CapturePath(name), 0), KSSTATE_RUN) << name;
    }
    EXPECT_TRUE(Render(0).Active());
    EXPECT_TRUE(Capture(1).Active());
    EXPECT_EQ(set.ActiveRender(), 2);
    EXPECT_EQ(set.ActiveCapture(), 2);

    EXPECT_EQ(set.SetCaptureState(KSSTATE_STOP), 0);
    EXPECT_EQ(set.SetRenderState(KSSTATE_STOP), 0);
    EXPECT_EQ(Sim().PinState(RenderPath("R1"), 0), KSSTATE_STOP);
    EXPECT_EQ(Sim().PinState(CapturePath("C2"), 0), KSSTATE_STOP);
    EXPECT_EQ(set.ActiveRender(), 2);
    EXPECT_EQ(set.ActiveCapture(), 2);
}

TEST_F(PinStateTest, RenderPinsGetOneRequestAndCapturePinsTwo)
{
    KsTraceLevelGuard level(6);
    TraceCapture trace;
    m_set->SetRenderState(KSSTATE_RUN);
    EXPECT_EQ(trace.Count("CKsPin::SetState() Enter"), 2u);
    trace.Clear();
    m_set->SetCaptureState(KSSTATE_RUN);
    EXPECT_EQ(trace.Count("CKsPin::SetState() Enter"), 4u);
    trace.Clear();
    EXPECT_EQ(Capture(0).SetState(KSSTATE_PAUSE), S_OK);
    EXPECT_EQ(trace.Count("CKsPin::SetState() Enter"), 2u) << "an endpoint asks as its direction does";
}

// A failing state request clears the device's flag after its retries:
// render asks once more and never reports the failure, capture asks twice
// and answers what the last device it asked answered.
TEST_F(PinStateTest, AFailingStateRequestClearsActiveAfterItsRetries)
{
    struct Case {
        const char* removedCapture;
        bool captureResultFails;
    };
    for (const Case& c : {Case{"C2", true}, Case{"C1", false}}) {
        SCOPED_TRACE(c.removedCapture);
        m_set.reset();
        ASSERT_NO_FATAL_FAILURE(SetUp());
        CDeviceSet& set = *m_set;
        Sim().RemoveDevice(RenderPath("R2"));
        Sim().RemoveDevice(CapturePath(c.removedCapture));
        KsTraceLevelGuard level(1);
        TraceCapture trace;
        EXPECT_EQ(set.SetRenderState(KSSTATE_RUN), 0) << "render never reports a failure";
        EXPECT_EQ(trace.Count("Failed to Set Pin State"), 2u) << "one retry";
        trace.Clear();
        const int32_t captureResult = set.SetCaptureState(KSSTATE_RUN);
        EXPECT_EQ(captureResult < 0, c.captureResultFails) << captureResult;
        EXPECT_EQ(trace.Count("Failed to Set Pin State"), 2u);
        EXPECT_TRUE(Render(0).Active());
        EXPECT_FALSE(Render(1).Active());
        const size_t removed = c.removedCapture[1] == '1' ? 0 : 1;
        EXPECT_FALSE(Capture(removed).Active());
        EXPECT_TRUE(Capture(1 - removed).Active());
        EXPECT_EQ(set.ActiveRender(), 1);
        EXPECT_EQ(set.ActiveCapture(), 1);
    }
}

TEST_F(PinStateTest, ClosingEmptiesTheDirectionsAndClosingTwiceOnlyTraces)
{
    CDeviceSet& set = *m_set;
    set.SetRenderState(KSSTATE_RUN);
    set.SetCaptureState(KSSTATE_RUN);
    TraceCapture trace;
    set.CloseCapture();
    set.CloseRender();
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{kClosedCapture, kClosedRender}));
    EXPECT_EQ(set.OutputChannels(), 0);
    EXPECT_EQ(set.InputChannels(), 0);
    EXPECT_TRUE(set.Render().empty());
    EXPECT_TRUE(set.Capture().empty());
    EXPECT_EQ(set.ActiveRender(), 0);
    EXPECT_EQ(set.ActiveCapture(), 0);
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("R1"), 0), 0);
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("C1"), 0), 0);
    EXPECT_EQ(Sim().PinState(RenderPath("R1"), 0), KSSTATE_STOP);
    trace.Clear();
    set.CloseCapture();
    set.CloseRender();
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{kClosedCapture, kClosedRender}));
    EXPECT_EQ(set.SetCaptureState(KSSTATE_RUN), 0);
    EXPECT_EQ(set.SetRenderState(KSSTATE_RUN), 0);
    EXPECT_EQ(set.ActiveCapture(), 0);
}

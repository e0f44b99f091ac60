#include "device_test_support.h"
#include "process_resources.h"

#include <windows.h>

#include <cstdio>

namespace {

constexpr DWORD kWaitMs = 5000;

// Waits, at most kWaitMs, until the pin has a slot free.
bool SlotFree(const CRenderEndpoint& endpoint)
{
    const ULONGLONG deadline = GetTickCount64() + kWaitMs;
    while (!endpoint.CanSend(false)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        WaitForSingleObject(endpoint.WaitHandle(), 20);
    }
    return true;
}

class DeviceLifecycleTest : public DeviceSetTest {
protected:
    void SetUp() override
    {
        DeviceSetTest::SetUp();
        Sim().Reset({SimRender("Out1", 2, 16, 24), SimRender("Out2", 2, 16, 24), SimCapture("In1", 2, 16, 24),
                     SimCapture("In2", 4, 16, 24)});
        Sim().SetClockMode(kssim::ClockMode::Fast);
        WriteConfig(ConfigText().Out("Out1", 2).Out("Out2", 2).In("In1", 2).In("In2", 2));
    }

    // What a host does between two sample-rate changes, the way the driver
    // does it: open both sides, prime the render pins while paused, run,
    // stream a few blocks each way, stop, take everything back and close.
    static void RunOneSession(CDeviceSet& set)
    {
        ASSERT_TRUE(set.OpenCapture(CaptureRequest(44100.0, 24)));
        ASSERT_TRUE(set.OpenRender(RenderRequest(44100.0, 24)));
        set.SetRenderState(KSSTATE_PAUSE);
        ASSERT_EQ(set.SetCaptureState(KSSTATE_RUN), 0);
        std::vector<int16_t> samples(512, 1);
        for (const auto& endpoint : set.Render()) {
            ASSERT_TRUE(endpoint->PrepareStream(512, 2, 512, 10));
            ASSERT_EQ(endpoint->Send(samples.data(), samples.data()), S_OK);
            ASSERT_EQ(endpoint->Send(samples.data(), samples.data()), S_OK);
        }
        set.SetRenderState(KSSTATE_RUN);
        std::vector<std::vector<int16_t>> inputs(2, std::vector<int16_t>(512));
        uint8_t* destinations[2] = {reinterpret_cast<uint8_t*>(inputs[0].data()), reinterpret_cast<uint8_t*>(inputs[1].data())};
        for (const auto& endpoint : set.Capture()) {
            ASSERT_TRUE(endpoint->PrepareStream(512, 2));
            ASSERT_EQ(endpoint->AskForAll(), S_OK);
        }
        for (int block = 0; block < 3; ++block) {
            for (const auto& endpoint : set.Render()) {
                ASSERT_TRUE(SlotFree(*endpoint));
                ASSERT_EQ(endpoint->Send(samples.data(), samples.data()), S_OK);
            }
            for (const auto& endpoint : set.Capture()) {
                ASSERT_TRUE(endpoint->HasArrived());
                ASSERT_EQ(endpoint->Deliver(destinations), S_OK);
            }
        }
        // The simulation keeps what devices played; that is not ours to count.
        for (const char* name : {"Out1", "Out2"}) {
            kssim::Simulation::Instance().ClearRendered(RenderPath(name), 0);
        }
        set.SetCaptureState(KSSTATE_STOP);
        set.SetRenderState(KSSTATE_STOP);
        set.TakeBackAll();
        set.CloseCapture();
        set.CloseRender();
    }
};

}  // namespace

TEST_F(DeviceLifecycleTest, TwoHundredOpenCloseCyclesLeaveNoHandleThreadOrMemoryBehind)
{
    CDeviceSet& set = MakeSet();
    RunOneSession(set);  // first use: ksuser, enumerators, settings
    ASSERT_FALSE(HasFatalFailure());
    const DWORD handlesBefore = HandleCount();
    const int threadsBefore = ThreadCount();
    const size_t bytesBefore = CommittedBytes();
    for (int cycle = 0; cycle < 200; ++cycle) {
        RunOneSession(set);
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
    // Each session opens 4 devices with delay lines (about 88 kB each at 24
    // bits and 44.1 kHz), block slots, requests and endpoints: a leak of any
    // of them over 200 sessions would grow far beyond this.
    EXPECT_LT(bytesAfter, bytesBefore + 256 * 1024);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

TEST_F(DeviceLifecycleTest, ConstructingAndDestroyingDeviceSetsLeavesNoHandleOpen)
{
    RunOneSession(MakeSet());
    ASSERT_FALSE(HasFatalFailure());
    m_set.reset();
    const DWORD handlesBefore = HandleCount();
    for (int cycle = 0; cycle < 50; ++cycle) {
        CDeviceSet& set = MakeSet();
        ASSERT_TRUE(set.OpenCapture(CaptureRequest()));
        ASSERT_TRUE(set.OpenRender(RenderRequest()));
        set.SetRenderState(KSSTATE_RUN);
        set.SetCaptureState(KSSTATE_RUN);
        ASSERT_TRUE(Capture(1).PrepareStream(512, 2));
        ASSERT_EQ(Capture(1).AskForAll(), S_OK);
        m_set.reset();  // the destructor closes everything
        ASSERT_EQ(Sim().OpenHandleCount(), 0) << "cycle " << cycle;
        ASSERT_EQ(Sim().PendingRequestCount(), 0) << "cycle " << cycle;
    }
    EXPECT_EQ(HandleCount(), handlesBefore);
}

TEST_F(DeviceLifecycleTest, ADeviceSetWithOpenDevicesIsDestroyedCleanlyAfterItsDevicesWereRemoved)
{
    Sim().SetClockMode(kssim::ClockMode::RealTime);
    CDeviceSet& set = MakeSet();
    ASSERT_TRUE(set.OpenCapture(CaptureRequest()));
    ASSERT_TRUE(set.OpenRender(RenderRequest()));
    set.SetRenderState(KSSTATE_RUN);
    set.SetCaptureState(KSSTATE_RUN);
    std::vector<int16_t> samples(512, 1);
    for (const auto& endpoint : set.Render()) {
        ASSERT_TRUE(endpoint->PrepareStream(512, 2, 512, 0));
        ASSERT_EQ(endpoint->Send(samples.data(), samples.data()), S_OK);
    }
    for (const auto& endpoint : set.Capture()) {
        ASSERT_TRUE(endpoint->PrepareStream(512, 2));
        ASSERT_EQ(endpoint->AskForAll(), S_OK);
    }
    for (const char* name : {"Out1", "Out2"}) {
        Sim().RemoveDevice(RenderPath(name));
    }
    for (const char* name : {"In1", "In2"}) {
        Sim().RemoveDevice(CapturePath(name));
    }
    m_set.reset();
    EXPECT_EQ(Sim().OpenHandleCount(), 0);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

// After a stream every pin of both directions is asked to give its requests
// back, and all of them are waited for by one deadline: pins slow to give
// them back cost that wait once, not once each.
TEST_F(DeviceLifecycleTest, TakingBackAllEmptiesEveryPinOfBothDirections)
{
    Sim().SetClockMode(kssim::ClockMode::RealTime);
    CDeviceSet& set = MakeSet();
    ASSERT_TRUE(set.OpenCapture(CaptureRequest()));
    ASSERT_TRUE(set.OpenRender(RenderRequest()));
    set.SetRenderState(KSSTATE_RUN);
    set.SetCaptureState(KSSTATE_RUN);
    for (const char* name : {"Out1", "Out2"}) {
        Sim().SetStreamFault(RenderPath(name), 0, kssim::StreamFault::NeverComplete);
        Sim().SetCancelDelay(RenderPath(name), 0, 300);
    }
    for (const char* name : {"In1", "In2"}) {
        Sim().SetStreamFault(CapturePath(name), 0, kssim::StreamFault::NeverComplete);
        Sim().SetCancelDelay(CapturePath(name), 0, 300);
    }
    std::vector<int16_t> samples(512, 1);
    for (const auto& endpoint : set.Render()) {
        ASSERT_TRUE(endpoint->PrepareStream(512, 2, 512, 0));
        ASSERT_EQ(endpoint->Send(samples.data(), samples.data()), S_OK);
        ASSERT_EQ(endpoint->Send(samples.data(), samples.data()), S_OK);
    }
    for (const auto& endpoint : set.Capture()) {
        ASSERT_TRUE(endpoint->PrepareStream(512, 2));
        ASSERT_EQ(endpoint->AskForAll(), S_OK);
    }
    EXPECT_EQ(Sim().PendingRequestCount(), 2 * 2 * 4 + 2 * 3);
    set.TakeBackAll();
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    for (const auto& endpoint : set.Render()) {
        EXPECT_EQ(endpoint->Held(), 0);
    }
    for (const auto& endpoint : set.Capture()) {
        EXPECT_EQ(endpoint->Held(), 0);
    }
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Out1"), 0), 1) << "the pins stay open";
}

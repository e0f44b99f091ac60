// Many starts, stops and driver objects: nothing may pile up in the host.
#include "asio_test_host.h"
#include "driver_fixture.h"
#include "process_resources.h"
#include "telvara_driver.h"

namespace {

using kssim::CaptureDevice;
using kssim::RenderDevice;

class DriverLifecycleTest : public DriverTest {
protected:
    void SetUp() override
    {
        WriteConfig("[default]\nout=Spk A;Spk B\nin=Mic\n" + RenderSection("Spk A", 2, 0, 1, "0.10") +
                    RenderSection("Spk B", 2, 0, 1) + CaptureSection("Mic", 2));
        UseDevices({RenderDevice("Spk A", RenderPath('a')), RenderDevice("Spk B", RenderPath('b')),
                    CaptureDevice("Mic", CapturePath('m'))});
    }
};

}  // namespace

TEST_F(DriverLifecycleTest, AThousandStartsAndStopsLeaveNothingBehind)
{
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    ASSERT_EQ(host.CreateBuffers({0, 1}, {0, 1}, 512), ASE_OK);
    // The simulated speakers keep everything they play; emptied now and then
    // (the memory stays theirs), they do not count as the driver's growth.
    auto& sim = kssim::Simulation::Instance();
    const auto forgetPlayed = [&sim] {
        sim.ClearRendered(RenderPath('a'), kRenderPinId);
        sim.ClearRendered(RenderPath('b'), kRenderPinId);
    };
    // One round first, so that everything made once per process exists, and
    // the speakers' records hold more than any 100 rounds play (a busy
    // machine was seen to play 720 callbacks in 100 rounds on average).
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForCallbacks(4000, 20000));
    ASSERT_EQ(driver->stop(), ASE_OK);
    forgetPlayed();
    const int threads = ThreadCount();
    const DWORD handles = HandleCount();
    const size_t committed = CommittedBytes();

    for (int cycle = 1; cycle <= 1000; ++cycle) {
        ASSERT_EQ(driver->start(), ASE_OK) << cycle;
        if (cycle % 100 == 0) {
            // Now and then a stream that really runs before it stops.
            const long seen = host.Callbacks();
            ASSERT_TRUE(host.WaitForCallbacks(seen + 3, 10000)) << cycle;
        }
        ASSERT_EQ(driver->stop(), ASE_OK) << cycle;
        ASSERT_EQ(driver->stop(), ASE_NotPresent) << cycle;
        if (cycle % 100 == 0) {
            forgetPlayed();
        }
    }
    EXPECT_TRUE(CountsSettleAt(threads, handles, 5000));
    EXPECT_LT(CommittedBytes(), committed + (2u << 20)) << "committed memory grew by "
                                                       << (CommittedBytes() - committed) << " bytes, "
                                                       << host.Callbacks() << " callbacks";
}

TEST_F(DriverLifecycleTest, TwoHundredDriverObjectsCreatedInitialisedAndReleasedLeaveNothingBehind)
{
    auto oneObject = [this](bool stream) {
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        if (stream) {
            AsioTestHost host(driver);
            ASSERT_EQ(host.CreateBuffers({0, 1}, {0}, 256), ASE_OK);
            ASSERT_EQ(driver->start(), ASE_OK);
            ASSERT_TRUE(host.WaitForCallbacks(2, 10000));
            // Released while started: the last release stops and cleans up.
            ReleaseDriver();
            return;
        }
        ReleaseDriver();
    };
    oneObject(true);
    const int threads = ThreadCount();
    const DWORD handles = HandleCount();
    const size_t committed = CommittedBytes();
    for (int cycle = 1; cycle <= 200; ++cycle) {
        oneObject(cycle % 50 == 0);
        ASSERT_FALSE(HasFatalFailure()) << cycle;
        ASSERT_EQ(kssim::Simulation::Instance().OpenPinInstances(RenderPath('a'), kRenderPinId), 0) << cycle;
    }
    EXPECT_TRUE(CountsSettleAt(threads, handles, 5000));
    EXPECT_LT(CommittedBytes(), committed + (4u << 20)) << "committed memory grew by "
                                                       << (CommittedBytes() - committed) << " bytes";
}

TEST_F(DriverLifecycleTest, ARateChangeWhileStartedResumesTheStreamAndADisposeStopsIt)
{
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    ASSERT_EQ(host.CreateBuffers({0, 1}, {}, 512), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForCallbacks(2, 10000));
    EXPECT_EQ(driver->setSampleRate(48000), ASE_OK);
    const long afterChange = host.Callbacks();
    ASSERT_TRUE(host.WaitForCallbacks(afterChange + 2, 10000)) << "the stream resumed at the new rate";
    EXPECT_EQ(driver->stop(), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK) << "a later start resumes";
    ASSERT_TRUE(host.WaitForCallbacks(host.Callbacks() + 2, 10000));
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK) << "dispose while started";
    const long afterDispose = host.Callbacks();
    Sleep(100);
    EXPECT_EQ(host.Callbacks(), afterDispose);
    EXPECT_EQ(driver->start(), ASE_NotPresent);
}

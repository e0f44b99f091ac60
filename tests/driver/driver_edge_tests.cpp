// The driver off the happy path: hosts that call it from inside their
// callback, devices that stall, fail or go away, settings out of range, two
// driver objects in one process, host buffers that do not match the devices.
#include "asio_test_host.h"
#include "child_process.h"
#include "driver_fixture.h"
#include "driver_texts.h"
#include "named_events.h"
#include "settings_limits.h"
#include "telvara_driver.h"
#include "trace_capture.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

namespace {

using kssim::CaptureDevice;
using kssim::RenderDevice;

constexpr long kBlock = 512;

class EdgeTest : public DriverTest {
protected:
    // Creates the buffers with every output half filled with `value`,
    // refilled in every callback, and starts.
    void StartWithConstant(AsioTestHost& host, const std::vector<long>& outputs, int16_t value,
                           const std::vector<long>& inputs = {})
    {
        ASSERT_EQ(host.CreateBuffers(outputs, inputs, kBlock), ASE_OK);
        host.onBufferSwitch = [&host, count = outputs.size(), value](long index) {
            for (size_t n = 0; n < count; ++n) {
                std::fill(host.OutputHalf(n, index), host.OutputHalf(n, index) + kBlock, value);
            }
        };
        host.onBufferSwitch(0);
        host.onBufferSwitch(1);
        ASSERT_EQ(host.Driver()->start(), ASE_OK);
    }

    // Callbacks the host receives over `ms` of wall-clock time.
    static long CallbacksOver(AsioTestHost& host, DWORD ms)
    {
        const long before = host.Callbacks();
        Sleep(ms);
        return host.Callbacks() - before;
    }
};

// A device with more channels than the simulated default range.
kssim::DeviceModel Wide(kssim::DeviceModel device, ULONG channels)
{
    device.pins[0].ranges[0].maximumChannels = channels;
    return device;
}

}  // namespace

TEST(ErrorText, CopiesWholeGbkCharactersOnly)
{
    // "音频" is four bytes, two characters.
    const char* text = "ab\xd2\xf4\xc6\xb5";
    const struct {
        size_t capacity;
        const char* expected;
    } cases[] = {{1, ""}, {3, "ab"}, {4, "ab"}, {5, "ab\xd2\xf4"}, {6, "ab\xd2\xf4"}, {7, "ab\xd2\xf4\xc6\xb5"}};
    for (const auto& c : cases) {
        char field[16];
        std::memset(field, 0x5A, sizeof field);
        DriverTexts::CopyWholeGbk(field, c.capacity, text);
        EXPECT_STREQ(field, c.expected) << "capacity " << c.capacity;
        for (size_t i = c.capacity; i < sizeof field; ++i) {
            ASSERT_EQ(field[i], 0x5A) << "capacity " << c.capacity << ", byte " << i;
        }
    }
}

TEST_F(EdgeTest, ACaptureDeviceWithMoreChannelsThanHostBuffersStaysInsideTheTables)
{
    WriteConfig("[default]\nout=Spk A\nin=Mic\n" + RenderSection("Spk A", 2, 0, 1) + CaptureSection("Mic", 56));
    UseDevices({RenderDevice("Spk A", RenderPath('a')), Wide(CaptureDevice("Mic", CapturePath('m')), 56)});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    long inputs = 0, outputs = 0;
    driver->getChannels(&inputs, &outputs);
    ASSERT_EQ(inputs, 56);
    // Before any createBuffers: nothing of the host's to free.
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    AsioTestHost host(driver);
    std::vector<long> all(16);
    for (long n = 0; n < 16; ++n) {
        all[n] = n;
    }
    std::vector<std::vector<int16_t>> received(16);
    ASSERT_EQ(host.CreateBuffers({0, 1}, all, kBlock), ASE_OK);
    host.onBufferSwitch = [&](long index) {
        for (size_t n = 0; n < 16; ++n) {
            received[n].insert(received[n].end(), host.InputHalf(n, index), host.InputHalf(n, index) + kBlock);
        }
    };
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForCallbacks(4, 10000));
    ASSERT_EQ(driver->stop(), ASE_OK);
    // Input n is the device's channel n: its ramp runs 0x1000 * n ahead.
    for (size_t n = 0; n < 16; ++n) {
        ASSERT_GE(received[n].size(), static_cast<size_t>(4 * kBlock));
        for (long t = 0; t < 4 * kBlock; ++t) {
            ASSERT_EQ(static_cast<uint16_t>(received[n][t] - received[0][t]), static_cast<uint16_t>(0x1000 * n))
                << n << " " << t;
        }
    }
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

// Each of these runs in a child: a driver that waits for its own thread
// hangs for ever, and the parent's time-out turns that into a failure.
class InsideCallbackTest : public EdgeTest {
protected:
    // Streams and, in the third callback, calls `call` on the engine thread.
    // The call must return there; the stream ends with it, or (a new rate)
    // goes on at once.
    void CallInsideTheCallback(const std::function<void(IASIO*)>& call, bool releases, bool streamGoesOn = false)
    {
        WriteConfig("[default]\nout=Spk A\nin=Mic\n" + RenderSection("Spk A", 2, 0, 1) + CaptureSection("Mic", 2));
        UseDevices({RenderDevice("Spk A", RenderPath('a')), CaptureDevice("Mic", CapturePath('m'))},
                   kssim::ClockMode::RealTime);
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        if (releases) {
            m_driver = nullptr;  // the callback releases the only reference
        }
        AsioTestHost host(driver);
        ASSERT_EQ(host.CreateBuffers({0, 1}, {0, 1}, kBlock), ASE_OK);
        std::atomic<bool> returned{false};
        std::atomic<long> calls{0};
        host.onBufferSwitch = [&](long) {
            if (++calls == 3) {
                call(driver);
                returned = true;
            }
        };
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(host.WaitForCallbacks(3, 10000));
        for (int i = 0; i < 500 && !returned; ++i) {
            Sleep(10);
        }
        ASSERT_TRUE(returned.load());
        Sleep(200);
        if (streamGoesOn) {
            EXPECT_GT(calls.load(), 3) << "the stream resumed";
            EXPECT_EQ(driver->stop(), ASE_OK);
        } else {
            EXPECT_EQ(calls.load(), 3) << "the stream ended with the call";
        }
        if (releases) {
            EXPECT_EQ(kssim::Simulation::Instance().OpenPinInstances(RenderPath('a'), kRenderPinId), 0);
        } else {
            // The driver is still usable from the host's thread.
            EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
            ASSERT_EQ(host.CreateBuffers({0, 1}, {0, 1}, kBlock), ASE_OK);
            ASSERT_EQ(driver->start(), ASE_OK);
            EXPECT_TRUE(host.WaitForCallbacks(8, 10000));
            EXPECT_EQ(driver->stop(), ASE_OK);
        }
    }
};

TEST_F(InsideCallbackTest, DISABLED_Stop)
{
    CallInsideTheCallback([](IASIO* driver) { EXPECT_EQ(driver->stop(), ASE_OK); }, false);
}

TEST_F(InsideCallbackTest, DISABLED_DisposeBuffers)
{
    CallInsideTheCallback([](IASIO* driver) { EXPECT_EQ(driver->disposeBuffers(), ASE_OK); }, false);
}

TEST_F(InsideCallbackTest, DISABLED_SetSampleRate)
{
    CallInsideTheCallback([](IASIO* driver) { EXPECT_EQ(driver->setSampleRate(48000), ASE_OK); }, false, true);
}

TEST_F(InsideCallbackTest, DISABLED_Release)
{
    CallInsideTheCallback([](IASIO* driver) { driver->Release(); }, true);
}

TEST(InsideCallback, StopDisposeSetSampleRateAndReleaseReturnFromInsideTheHostsCallback)
{
    for (const char* name : {"Stop", "DisposeBuffers", "SetSampleRate", "Release"}) {
        EXPECT_EQ(RunChildTest(std::string("InsideCallbackTest.DISABLED_") + name, 30000), 0) << name;
    }
}

TEST_F(EdgeTest, ASecondDriverObjectCannotStartWhileTheFirstStreams)
{
    WriteConfig("[default]\nout=Spk A\n" + RenderSection("Spk A", 2, 0, 1));
    auto speaker = RenderDevice("Spk A", RenderPath('a'));
    speaker.pins[0].instances.PossibleCount = 2;
    speaker.pins[0].globalInstances.PossibleCount = 2;
    UseDevices({speaker});
    IASIO* first = CreateDriver();
    ASSERT_EQ(first->init(nullptr), ASIOTrue);
    auto* second = new CTelvaraDriver(nullptr);
    second->NonDelegatingAddRef();
    IASIO* other = second;
    ASSERT_EQ(other->init(nullptr), ASIOTrue);
    {
        AsioTestHost host(first);
        StartWithConstant(host, {0, 1}, 100);
        ASSERT_TRUE(host.WaitForCallbacks(4, 10000));
        ASIOCallbacks callbacks = {[](long, ASIOBool) {}, [](ASIOSampleRate) {},
                                   [](long, long, void*, double*) -> long { return 0; },
                                   [](ASIOTime* t, long, ASIOBool) { return t; }};
        ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
        ASSERT_EQ(other->createBuffers(infos, 2, kBlock, &callbacks), ASE_OK);
        EXPECT_EQ(other->start(), ASE_NotPresent);
        char error[DriverTexts::kErrorMessageBytes] = {};
        other->getErrorMessage(error);
        EXPECT_STREQ(error, DriverTexts::kAlreadyStreaming);
        // The first stream goes on, untouched.
        const long seen = host.Callbacks();
        EXPECT_TRUE(host.WaitForCallbacks(seen + 4, 10000));
        EXPECT_EQ(first->stop(), ASE_OK);
    }
    EXPECT_EQ(other->start(), ASE_OK) << "free once the first has stopped";
    EXPECT_EQ(other->stop(), ASE_OK);
    other->Release();
}

TEST_F(EdgeTest, WithoutADeviceToPaceItTheEngineKeepsTheBlockPeriod)
{
    WriteConfig("[default]\nout=Spk A\n" + RenderSection("Spk A", 2, 0, 1));
    UseDevices({RenderDevice("Spk A", RenderPath('a'))}, kssim::ClockMode::RealTime);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    StartWithConstant(host, {0, 1}, 100);
    ASSERT_TRUE(host.WaitForCallbacks(10, 10000));
    kssim::Simulation::Instance().RemoveDevice(RenderPath('a'));
    Sleep(300);  // the device drops out
    // 500 ms are 43 blocks of 512 frames at 44100 Hz.
    const long callbacks = CallbacksOver(host, 500);
    EXPECT_GE(callbacks, 20);
    EXPECT_LE(callbacks, 70) << "the engine spins";
    EXPECT_EQ(host.ResetRequests(), 1);
    EXPECT_EQ(driver->stop(), ASE_OK);
}

TEST_F(EdgeTest, StartFailsWhenNoDeviceCanRun)
{
    WriteConfig("[default]\nout=Spk A\n" + RenderSection("Spk A", 2, 0, 1));
    UseDevices({RenderDevice("Spk A", RenderPath('a'))});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    ASSERT_EQ(host.CreateBuffers({0, 1}, {}, kBlock), ASE_OK);
    kssim::Simulation::Instance().RemoveDevice(RenderPath('a'));
    EXPECT_NE(driver->start(), ASE_OK);
    Sleep(100);
    EXPECT_EQ(host.Callbacks(), 0);
}

TEST_F(EdgeTest, AStalledDeviceIsDroppedTheOthersStreamAndTheHostResetsWithoutIt)
{
    const std::string config =
        "[default]\nout=Spk A;Spk B\n" + RenderSection("Spk A", 2, 0, 1) + RenderSection("Spk B", 2, 0, 1);
    WriteConfig(config);
    UseDevices({RenderDevice("Spk A", RenderPath('a')), RenderDevice("Spk B", RenderPath('b'))},
               kssim::ClockMode::RealTime);
    kssim::Simulation::Instance().SetStreamFault(RenderPath('b'), 0, kssim::StreamFault::NeverComplete);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    {
        AsioTestHost host(driver);
        StartWithConstant(host, {0, 1}, 100);
        // 2 s are 172 blocks of 512 frames at 44100 Hz.
        const long callbacks = CallbacksOver(host, 2000);
        EXPECT_GE(callbacks, 120);
        EXPECT_EQ(host.ResetRequests(), 1);
        EXPECT_EQ(driver->stop(), ASE_OK);
        // The healthy device played most of those 2 s.
        EXPECT_GE(Rendered(RenderPath('a')).size() / 2, static_cast<size_t>(44100 * 3 / 2));
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    }
    // The host's reset: a new driver object, with Spk B gone meanwhile.
    ReleaseDriver();
    kssim::Simulation::Instance().RemoveDevice(RenderPath('b'));
    kssim::Simulation::Instance().ClearRendered(RenderPath('a'), kRenderPinId);
    IASIO* again = CreateDriver();
    ASSERT_EQ(again->init(nullptr), ASIOTrue);
    AsioTestHost host(again);
    StartWithConstant(host, {0, 1}, 100);
    EXPECT_TRUE(host.WaitForCallbacks(20, 10000));
    EXPECT_EQ(again->stop(), ASE_OK);
    EXPECT_EQ(host.ResetRequests(), 0);
    EXPECT_GE(Rendered(RenderPath('a')).size() / 2, static_cast<size_t>(18 * kBlock));
}

TEST_F(EdgeTest, VolumeOutOfRangeIsClampedAndSamplesNeverWrap)
{
    const struct {
        const char* volume;
        int16_t played;
    } cases[] = {{"5", 20000}, {"-3", 0}, {"0.5", 10000}};
    // The settings reader refuses "nan"; a NaN from elsewhere counts as 1.
    EXPECT_EQ(SettingsLimits::Volume(std::nanf("")), 1.0f);
    for (const auto& c : cases) {
        WriteConfig(std::string("[default]\nout=Spk A\nVolume=") + c.volume + "\n" + RenderSection("Spk A", 2, 0, 1));
        UseDevices({RenderDevice("Spk A", RenderPath('a'))});
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        {
            AsioTestHost host(driver);
            StartWithConstant(host, {0, 1}, 20000);
            ASSERT_TRUE(host.WaitForCallbacks(4, 10000));
            ASSERT_EQ(driver->stop(), ASE_OK);
        }
        const auto played = Rendered(RenderPath('a'));
        ASSERT_GE(played.size(), static_cast<size_t>(4 * kBlock));
        for (size_t i = 0; i < 4 * kBlock; ++i) {
            ASSERT_EQ(played[i], c.played) << "Volume=" << c.volume << ", sample " << i;
        }
        ReleaseDriver();
    }
}

TEST_F(EdgeTest, TheLongestDelayFitsTheLineAtEightChannelsAndLongerOnesAreCut)
{
    const struct {
        const char* outLatency;
        size_t silentFrames;
    } cases[] = {{"0.60", 48 * 300}, {"1.00", 48 * 500}, {"3", 48 * 500}};
    for (const auto& c : cases) {
        WriteConfig("[default]\nout=Eight\nSampleRate=48000\n" + RenderSection("Eight", 8, 0, 1, c.outLatency));
        UseDevices({Wide(RenderDevice("Eight", RenderPath('e')), 8)});
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        {
            AsioTestHost host(driver);
            StartWithConstant(host, {0, 1}, 77);
            ASSERT_TRUE(host.WaitForCallbacks(static_cast<long>(c.silentFrames / kBlock) + 4, 20000));
            ASSERT_EQ(driver->stop(), ASE_OK);
        }
        const auto played = Rendered(RenderPath('e'));
        ASSERT_GE(played.size(), 8 * (c.silentFrames + kBlock));
        for (size_t i = 0; i < 8 * c.silentFrames; ++i) {
            ASSERT_EQ(played[i], 0) << c.outLatency << ": sample " << i;
        }
        EXPECT_EQ(played[8 * c.silentFrames], 77) << c.outLatency;
        ReleaseDriver();
    }
}

TEST_F(EdgeTest, AReadThatMissesItsWaitGivesTheHostSilenceNeverTheBlockBefore)
{
    WriteConfig("[default]\nout=Spk A\nin=Mic\n" + RenderSection("Spk A", 2, 0, 1) + CaptureSection("Mic", 2));
    UseDevices({RenderDevice("Spk A", RenderPath('a')), CaptureDevice("Mic", CapturePath('m'))});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    std::vector<std::vector<int16_t>> blocks;
    ASSERT_EQ(host.CreateBuffers({0, 1}, {0}, kBlock), ASE_OK);
    host.onBufferSwitch = [&](long index) {
        blocks.emplace_back(host.InputHalf(0, index), host.InputHalf(0, index) + kBlock);
        if (blocks.size() == 4) {
            kssim::Simulation::Instance().SetStreamFault(CapturePath('m'), 0, kssim::StreamFault::NeverComplete);
        } else if (blocks.size() == 5) {
            kssim::Simulation::Instance().SetStreamFault(CapturePath('m'), 0, kssim::StreamFault::None);
        }
    };
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForCallbacks(14, 20000));
    ASSERT_EQ(driver->stop(), ASE_OK);
    // Each block is silence or the ramp, always further on than the last.
    int silent = 0;
    long last = -1;
    for (size_t b = 0; b < 14; ++b) {
        const std::vector<int16_t>& block = blocks[b];
        if (std::all_of(block.begin(), block.end(), [](int16_t s) { return s == 0; })) {
            ++silent;
            continue;
        }
        const long start = static_cast<uint16_t>(block[0]);
        for (long t = 0; t < kBlock; ++t) {
            ASSERT_EQ(static_cast<uint16_t>(block[t]), static_cast<uint16_t>(start + t)) << "block " << b;
        }
        EXPECT_GT(start, last) << "block " << b << " is an earlier block again";
        last = start;
    }
    EXPECT_GE(silent, 1) << "the read that missed its wait";
}

TEST_F(EdgeTest, ACaptureDeviceThatStaysLateIsDroppedAndTheStreamGoesOnAtTheBlockRate)
{
    WriteConfig("[default]\nout=Spk A\nin=Mic\n" + RenderSection("Spk A", 2, 0, 1) + CaptureSection("Mic", 2));
    UseDevices({RenderDevice("Spk A", RenderPath('a')), CaptureDevice("Mic", CapturePath('m'))},
               kssim::ClockMode::RealTime);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    StartWithConstant(host, {0, 1}, 50, {0, 1});
    ASSERT_TRUE(host.WaitForCallbacks(5, 10000));
    kssim::Simulation::Instance().SetStreamFault(CapturePath('m'), 0, kssim::StreamFault::NeverComplete);
    Sleep(600);  // the device drops out
    // 500 ms are 43 blocks of 512 frames at 44100 Hz; each late read would
    // cost 100 ms.
    EXPECT_GE(CallbacksOver(host, 500), 30);
    EXPECT_EQ(host.ResetRequests(), 1);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(kssim::Simulation::Instance().PendingRequestCount(), 0);
}

TEST_F(EdgeTest, StopTakesBackAReadThePinStillHolds)
{
    WriteConfig("[default]\nout=Spk A\nin=Mic\n" + RenderSection("Spk A", 2, 0, 1) + CaptureSection("Mic", 2));
    UseDevices({RenderDevice("Spk A", RenderPath('a')), CaptureDevice("Mic", CapturePath('m'))});
    kssim::Simulation::Instance().SetStreamFault(CapturePath('m'), 0, kssim::StreamFault::NeverComplete);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    StartWithConstant(host, {0, 1}, 50, {0, 1});
    ASSERT_TRUE(host.WaitForCallbacks(3, 10000));
    ASSERT_EQ(driver->stop(), ASE_OK);
    // Its block may go now: nothing can write into it any more.
    EXPECT_EQ(kssim::Simulation::Instance().PendingRequestCount(), 0);
}

TEST_F(EdgeTest, PanelEventsDuringReopeningAndDestructionNeverReachAGoneDriver)
{
    WriteConfig("[default]\nout=Spk A\n" + RenderSection("Spk A", 2, 0, 1, "0.10"));
    UseDevices({RenderDevice("Spk A", RenderPath('a'))});
    std::atomic<bool> done{false};
    std::atomic<long> sent{0};
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    std::thread panel([&] {
        while (!done) {
            SetNamedEvent(TelvaraEvents::kOutputDelayChanged);
            SetNamedEvent(TelvaraEvents::kSettingsChanged);
            ++sent;
            Sleep(1);
        }
    });
    for (int round = 0; round < 12; ++round) {
        {
            AsioTestHost host(driver);
            StartWithConstant(host, {0, 1}, 50);
            ASSERT_TRUE(host.WaitForCallbacks(3, 10000));
            ASSERT_EQ(driver->setSampleRate(round % 2 ? 44100 : 48000), ASE_OK);
            ASSERT_EQ(driver->start(), ASE_OK);
            ASSERT_TRUE(host.WaitForCallbacks(6, 10000));
            // Destroyed while streaming; a new object takes its place.
            ReleaseDriver();
        }
        driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    }
    done = true;
    panel.join();
    EXPECT_GT(sent.load(), 12);
}

TEST_F(EdgeTest, NothingOfTheDriverGoesToTheHostsStandardOutput)
{
    // Spk B's channel count cannot be read: the settings stop there, with
    // Spk A loaded, and say why.
    WriteConfig("[default]\nout=Spk A;Spk B\n" + RenderSection("Spk A", 2, 0, 1) + "[Spk B]\noutMaximumChannels=two\n");
    UseDevices({RenderDevice("Spk A", RenderPath('a'))});
    TraceCapture trace;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    {
        AsioTestHost host(driver);
        StartWithConstant(host, {0, 1}, 50);
        EXPECT_TRUE(host.WaitForCallbacks(3, 10000));
        EXPECT_EQ(driver->setSampleRate(48000), ASE_OK);
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    }
    ReleaseDriver();
    // A volume the settings library refuses, read by a new driver object.
    WriteConfig("[default]\nVolume=nan\nout=Spk A\n" + RenderSection("Spk A", 2, 0, 1));
    driver = CreateDriver();
    driver->init(nullptr);
    ReleaseDriver();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::vector<std::string> lines = trace.Lines();
    const auto exceptions = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("[TELVARA]System exception:", 0) == 0;
    });
    EXPECT_GE(exceptions, 2);
}

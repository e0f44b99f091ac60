// The driver object streaming on kssim's virtual clock: the devices' own
// rates, the engine's waits, injected jitter and hiccups, all on simulated
// time, so that what is checked cannot be blurred by the machine's stalls.

#include "asio_test_host.h"
#include "driver_fixture.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using kssim::CaptureDevice;
using kssim::ClockMode;
using kssim::RenderDevice;

constexpr int kRate = 48000;
// Real time a RunFor may take before a test gives up: a bound, not a figure.
constexpr DWORD kWallGuardMs = 240000;

kssim::Simulation& Sim()
{
    return kssim::Simulation::Instance();
}

double WallSeconds()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int16_t HostSample(size_t n, int64_t t)
{
    return static_cast<int16_t>(1 + ((t * 3 + static_cast<int64_t>(n) * 5003) % 20000));
}

kssim::DeviceModel Speaker(const std::string& name, char id, double ppm, double bufferMs = 10.0)
{
    kssim::DeviceModel device = RenderDevice(name, RenderPath(id));
    device.clockPpm = ppm;
    device.deviceBufferMs = bufferMs;
    return device;
}

kssim::DeviceModel Microphone(double ppm)
{
    kssim::DeviceModel device = CaptureDevice("Mic", CapturePath('m'));
    device.clockPpm = ppm;
    return device;
}

class VirtualTimeTest : public DriverTest {
protected:
    // Two stereo speakers on the host's outputs 0/1 (and the microphone on
    // its inputs 0/1 when withMic), 48 kHz.
    void Configure(long block, int inFlight, bool withMic)
    {
        std::string text = "[default]\nout=Spk A;Spk B\nSampleRate=48000\nBlockFrames=" + std::to_string(block) +
                           "\nRequestsInFlight=" + std::to_string(inFlight) + "\n";
        if (withMic) {
            text += "in=Mic\n" + CaptureSection("Mic", 2);
        }
        WriteConfig(text + RenderSection("Spk A", 2, 0, 1) + RenderSection("Spk B", 2, 0, 1));
    }

    // Buffers, both halves filled, a callback that fills the next block,
    // and the start; the simulated clock stands still until RunFor.
    void Start(AsioTestHost& host, long block, bool withMic)
    {
        ASSERT_EQ(host.CreateBuffers({0, 1}, withMic ? std::vector<long>{0, 1} : std::vector<long>{}, block), ASE_OK);
        m_blocks = 0;
        Fill(host, 0);
        Fill(host, 1);
        host.onBufferSwitch = [this, &host](long index) { Fill(host, index); };
        ASSERT_EQ(host.Start(), ASE_OK);
    }

    void Fill(AsioTestHost& host, long index)
    {
        const int64_t first = m_blocks++ * host.BufferSize();
        for (size_t n = 0; n < 2; ++n) {
            int16_t* half = host.OutputHalf(n, index);
            for (long f = 0; f < host.BufferSize(); ++f) {
                half[f] = HostSample(n, first + f);
            }
        }
    }

    static void Finish(AsioTestHost& host)
    {
        EXPECT_EQ(host.Stop(), ASE_OK);
        EXPECT_EQ(host.DisposeBuffers(), ASE_OK);
    }

    int64_t m_blocks = 0;  // the engine thread's while the stream runs
};

struct RunRecord {
    std::vector<uint8_t> bytesA, bytesB;
    int64_t underrunA = 0, underrunB = 0, overrunMic = 0;
    long callbacks = 0;
};

}  // namespace

TEST_F(VirtualTimeTest, OneSeedGivesTheSameBytesAndCountsEveryRun)
{
    // Jitter of up to 3 ms on 128-frame blocks (2.7 ms) with two in flight
    // makes the devices run dry now and then, at moments only the seed decides.
    const auto run = [this](uint64_t seed) {
        RunRecord record;
        Configure(128, 2, true);
        UseDevices({Speaker("Spk A", 'a', 150.0), Speaker("Spk B", 'b', -150.0, 4.0), Microphone(80.0)},
                   ClockMode::Virtual);
        Sim().SetSeed(seed);
        Sim().SetJitter(3.0);
        Sim().InjectHiccup(1.5, 0.015);
        IASIO* driver = CreateDriver();
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        {
            AsioTestHost host(driver);
            Start(host, 128, true);
            EXPECT_TRUE(Sim().RunFor(3.0, kWallGuardMs));
            record.bytesA = Sim().RenderedBytes(RenderPath('a'), kRenderPinId);
            record.bytesB = Sim().RenderedBytes(RenderPath('b'), kRenderPinId);
            record.underrunA = Sim().UnderrunFrames(RenderPath('a'), kRenderPinId);
            record.underrunB = Sim().UnderrunFrames(RenderPath('b'), kRenderPinId);
            record.overrunMic = Sim().OverrunFrames(CapturePath('m'), kCapturePinId);
            record.callbacks = host.Callbacks();
            Finish(host);
        }
        ReleaseDriver();
        return record;
    };
    const RunRecord first = run(7);
    const RunRecord second = run(7);
    const RunRecord other = run(8);
    // 3 s of 128-frame blocks is 1125 cycles; jitter only ever delays.
    EXPECT_GT(first.callbacks, 1000);
    EXPECT_GT(first.underrunA + first.underrunB, 0) << "the jitter must cost something for the seed to matter";
    EXPECT_GT(first.bytesA.size(), static_cast<size_t>(4 * 2 * kRate));
    EXPECT_EQ(first.callbacks, second.callbacks);
    EXPECT_EQ(first.underrunA, second.underrunA);
    EXPECT_EQ(first.underrunB, second.underrunB);
    EXPECT_EQ(first.overrunMic, second.overrunMic);
    EXPECT_TRUE(first.bytesA == second.bytesA);
    EXPECT_TRUE(first.bytesB == second.bytesB);
    EXPECT_FALSE(first.bytesA == other.bytesA && first.bytesB == other.bytesB) << "another seed, another run";
}

TEST_F(VirtualTimeTest, EachDeviceClockKeepsItsOwnRateForAnHour)
{
    // The largest blocks keep the hour short in real time; the device clocks
    // do not care how the stream is cut.
    constexpr long kBlock = 4096;
    Configure(kBlock, 2, false);
    UseDevices({Speaker("Spk A", 'a', 150.0), Speaker("Spk B", 'b', -150.0)}, ClockMode::Virtual);
    Sim().KeepRenderedBytes(false);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    Start(host, kBlock, false);
    const double wallStart = WallSeconds();
    ASSERT_TRUE(Sim().RunFor(3600.0, kWallGuardMs));
    const double wall = WallSeconds() - wallStart;
    // Both pins ran from the clock's start: 3600 s × 48000 × (1 ± 150 ppm).
    const int64_t fast = Sim().DevicePositionFrames(RenderPath('a'), kRenderPinId);
    const int64_t slow = Sim().DevicePositionFrames(RenderPath('b'), kRenderPinId);
    EXPECT_NEAR(fast, 172825920, 1);
    EXPECT_NEAR(slow, 172774080, 1);
    EXPECT_NEAR(fast - slow, 51840, 1);
    // The stream went on all the time, a cycle per block of the slower device.
    EXPECT_NEAR(host.Callbacks(), 172774080 / kBlock, 3);
    Finish(host);
    std::printf("[ figures  ] one simulated hour at %ld frames took %.1f s of wall time: %.0fx real time\n", kBlock, wall,
                3600.0 / wall);
}

TEST_F(VirtualTimeTest, ALongStreamOnOneClockNeverRunsDry)
{
    // Two speakers and a microphone on one clock (37 ppm off nominal), 64
    // frames and two in flight: three simulated minutes.
    Configure(64, 2, true);
    UseDevices({Speaker("Spk A", 'a', 37.0), Speaker("Spk B", 'b', 37.0, 3.0), Microphone(37.0)}, ClockMode::Virtual);
    Sim().KeepRenderedBytes(false);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    Start(host, 64, true);
    const double wallStart = WallSeconds();
    ASSERT_TRUE(Sim().RunFor(180.0, kWallGuardMs));
    const double wall = WallSeconds() - wallStart;
    EXPECT_EQ(Sim().UnderrunFrames(RenderPath('a'), kRenderPinId), 0);
    EXPECT_EQ(Sim().UnderrunFrames(RenderPath('b'), kRenderPinId), 0);
    EXPECT_EQ(Sim().OverrunFrames(CapturePath('m'), kCapturePinId), 0);
    EXPECT_EQ(host.ResetRequests(), 0);
    const double frames = 180.0 * kRate * (1.0 + 37e-6);
    EXPECT_NEAR(static_cast<double>(host.Callbacks()), frames / 64.0, 4.0);
    // What the speakers played is what the host wrote, silence only before it.
    EXPECT_NEAR(static_cast<double>(Sim().PlayedFrames(RenderPath('a'), kRenderPinId)), frames, 3.0 * 64 + 480);
    Finish(host);
    std::printf("[ figures  ] three simulated minutes at 64 frames took %.1f s of wall time: %.1fx real time\n", wall,
                180.0 / wall);
}

// Streams with four hiccups of the engine thread, each hiccupFrames(block,
// inFlight) long, at four phases against the block clock, for each block
// size and number of requests in flight; expects no frame lost on any
// device and no reset request.
class HiccupTest : public VirtualTimeTest {
protected:
    void Run(long (*hiccupFrames)(long block, int inFlight))
    {
        struct Case {
            long block;
            int inFlight;
        };
        const Case cases[] = {{32, 2}, {64, 2}, {128, 2}, {256, 2}, {512, 2}, {32, 4}, {128, 4}, {512, 4}};
        for (const Case& c : cases) {
            const long frames = hiccupFrames(c.block, c.inFlight);
            SCOPED_TRACE(std::to_string(c.block) + " frames, " + std::to_string(c.inFlight) + " in flight, hiccup of " +
                         std::to_string(frames) + " frames");
            Configure(c.block, c.inFlight, true);
            UseDevices({Speaker("Spk A", 'a', 0.0), Speaker("Spk B", 'b', 0.0, 2.0), Microphone(0.0)},
                       ClockMode::Virtual);
            Sim().KeepRenderedBytes(false);
            for (int n = 0; n < 4; ++n) {
                Sim().InjectHiccup(0.25 + 0.25 * n + n * 0.0013, static_cast<double>(frames) / kRate);
            }
            IASIO* driver = CreateDriver();
            ASSERT_EQ(driver->init(nullptr), ASIOTrue);
            {
                AsioTestHost host(driver);
                Start(host, c.block, true);
                ASSERT_TRUE(Sim().RunFor(1.5, kWallGuardMs));
                EXPECT_EQ(Sim().UnderrunFrames(RenderPath('a'), kRenderPinId), 0);
                EXPECT_EQ(Sim().UnderrunFrames(RenderPath('b'), kRenderPinId), 0);
                EXPECT_EQ(Sim().OverrunFrames(CapturePath('m'), kCapturePinId), 0);
                EXPECT_EQ(host.ResetRequests(), 0);
                Finish(host);
            }
            ReleaseDriver();
        }
    }
};

// When the engine wakes for a device, the device still holds its requests
// in flight, whole, and the microphone as many reads: a hiccup shorter than
// that queue costs no frame anywhere, whatever the block size.
TEST_F(HiccupTest, AHiccupShorterThanTheQueueLosesNothing)
{
    Run([](long block, int inFlight) { return block * inFlight - 1; });
}

// A hiccup longer than the queue, at four phases of the cycle: each speaker
// plays silence only for the part its queue could not cover (the
// microphone loses no more), nothing is lost after it, and from the cycle
// after it both speakers play the same host frame at the same device frame
// (one clock, one start: what each recorded at one index was played at one
// moment), although their device buffers give blocks back at different
// moments.
TEST_F(VirtualTimeTest, AfterAHiccupLongerThanTheQueueEachDeviceLosesOnlyWhatItCouldNotCoverAndTheSpeakersPlayInStep)
{
    struct Case {
        long block;
        int inFlight;
        double hiccupMs;
    };
    const Case cases[] = {{512, 2, 50.0}, {128, 4, 20.0}, {32, 2, 5.0}};
    for (const Case& c : cases) {
        const double period = static_cast<double>(c.block) / kRate;
        const auto hiccupFrames = static_cast<int64_t>(c.hiccupMs * kRate / 1000.0);
        const int64_t uncovered = hiccupFrames - c.block * c.inFlight;
        ASSERT_GT(uncovered, 0);
        for (int phase = 0; phase < 4; ++phase) {
            const double at = 0.5 + phase * period / 4;
            SCOPED_TRACE(std::to_string(c.block) + " frames, " + std::to_string(c.inFlight) + " in flight, hiccup of " +
                         std::to_string(hiccupFrames) + " frames at phase " + std::to_string(phase));
            Configure(c.block, c.inFlight, true);
            UseDevices({Speaker("Spk A", 'a', 0.0), Speaker("Spk B", 'b', 0.0, 2.0), Microphone(0.0)},
                       ClockMode::Virtual);
            Sim().InjectHiccup(at, c.hiccupMs / 1000.0);
            IASIO* driver = CreateDriver();
            ASSERT_EQ(driver->init(nullptr), ASIOTrue);
            {
                AsioTestHost host(driver);
                Start(host, c.block, true);
                // The hiccup starts at the engine's first wake-up from `at`
                // on, within a period; a period after it the engine has
                // caught up.
                const double caughtUp = at + c.hiccupMs / 1000.0 + 2 * period;
                ASSERT_TRUE(Sim().RunFor(caughtUp, kWallGuardMs));
                const int64_t lostA = Sim().UnderrunFrames(RenderPath('a'), kRenderPinId);
                const int64_t lostB = Sim().UnderrunFrames(RenderPath('b'), kRenderPinId);
                const int64_t lostMic = Sim().OverrunFrames(CapturePath('m'), kCapturePinId);
                EXPECT_GT(lostA, 0);
                EXPECT_LE(lostA, uncovered);
                EXPECT_GT(lostB, 0);
                EXPECT_LE(lostB, uncovered);
                EXPECT_LE(lostMic, uncovered);
                ASSERT_TRUE(Sim().RunFor(1.0 - caughtUp, kWallGuardMs));
                EXPECT_EQ(Sim().UnderrunFrames(RenderPath('a'), kRenderPinId), lostA) << "nothing lost after it";
                EXPECT_EQ(Sim().UnderrunFrames(RenderPath('b'), kRenderPinId), lostB) << "nothing lost after it";
                EXPECT_EQ(Sim().OverrunFrames(CapturePath('m'), kCapturePinId), lostMic) << "nothing lost after it";
                EXPECT_EQ(host.ResetRequests(), 0);
                const std::vector<uint8_t> a = Sim().RenderedBytes(RenderPath('a'), kRenderPinId);
                const std::vector<uint8_t> b = Sim().RenderedBytes(RenderPath('b'), kRenderPinId);
                const auto from = static_cast<size_t>(caughtUp * kRate);
                const size_t to = std::min(a.size(), b.size()) / 4;
                ASSERT_GT(to, from + static_cast<size_t>(0.3 * kRate));
                size_t apart = 0;
                size_t silent = 0;
                for (size_t f = from; f < to; ++f) {
                    apart += std::memcmp(&a[4 * f], &b[4 * f], 4) != 0 ? 1 : 0;
                    silent += (a[4 * f] | a[4 * f + 1]) == 0 ? 1 : 0;
                }
                EXPECT_EQ(apart, 0u) << "frames the speakers play apart from frame " << from << " to " << to;
                EXPECT_EQ(silent, 0u) << "the host's frames play on";
                Finish(host);
            }
            ReleaseDriver();
        }
    }
}

// The driver object streaming on kssim's virtual clock: the devices' own
// rates, the engine's waits, injected jitter and hiccups, all on simulated
// time, so that what is checked cannot be blurred by the machine's stalls.

#include "asio_test_host.h"
#include "driver_fixture.h"
#include "named_events.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
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
    void Configure(long block, int inFlight, bool withMic, bool compensate = true)
    {
        std::string text = "[default]\nout=Spk A;Spk B\nSampleRate=48000\nBlockFrames=" + std::to_string(block) +
                           "\nRequestsInFlight=" + std::to_string(inFlight) + "\nDriftCompensation=" +
                           (compensate ? "1" : "0") + "\n";
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
    // The speakers stay on their own clocks: with one following the other,
    // two runs of one seed have been seen to end a callback apart.
    const auto run = [this](uint64_t seed) {
        RunRecord record;
        Configure(128, 2, true, false);
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
    // The stream went on all the time, a cycle per block of the clock
    // master (the first speaker); the other one followed it.
    EXPECT_NEAR(host.Callbacks(), 172825920 / kBlock, 3);
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

namespace {

// Speakers on their own clocks, the first the clock master: the host plays
// a ramp (4 steps a frame from the lowest sample to the highest, every
// 16384 frames), so that the host frame a speaker plays at any moment reads back
// from what it played, to a fraction of a frame even after resampling.
class DriftTest : public VirtualTimeTest {
protected:
    static constexpr int kRampPeriod = 16384;

    struct Speaker {
        const char* name;
        char id;
        double ppm;
        const char* outLatency;  // its delay setting, or null
        double delayFrames;
    };

    void WriteSettings(const std::vector<Speaker>& speakers, long block, bool compensate)
    {
        std::string list;
        std::string sections;
        for (const Speaker& s : speakers) {
            list += (list.empty() ? "" : ";") + std::string(s.name);
            sections += RenderSection(s.name, 2, 0, 1, s.outLatency);
        }
        WriteConfig("[default]\nout=" + list + "\nSampleRate=48000\nBlockFrames=" + std::to_string(block) +
                    "\nRequestsInFlight=2\nDriftCompensation=" + (compensate ? "1" : "0") + "\n" + sections);
    }

    void Configure(const std::vector<Speaker>& speakers, long block, bool compensate)
    {
        WriteSettings(speakers, block, compensate);
        std::vector<kssim::DeviceModel> devices;
        for (const Speaker& s : speakers) {
            devices.push_back(::Speaker(s.name, s.id, s.ppm, 4.0));
        }
        UseDevices(devices, ClockMode::Virtual);
    }

    void StartRamp(AsioTestHost& host, long block)
    {
        ASSERT_EQ(host.CreateBuffers({0, 1}, {}, block), ASE_OK);
        m_blocks = 0;
        FillRamp(host, 0);
        FillRamp(host, 1);
        host.onBufferSwitch = [this, &host](long index) { FillRamp(host, index); };
        ASSERT_EQ(host.Start(), ASE_OK);
    }

    void FillRamp(AsioTestHost& host, long index)
    {
        const int64_t first = m_blocks++ * host.BufferSize();
        for (size_t n = 0; n < 2; ++n) {
            int16_t* half = host.OutputHalf(n, index);
            for (long f = 0; f < host.BufferSize(); ++f) {
                half[f] = static_cast<int16_t>(((first + f) * 4) % 65536 - 32768);
            }
        }
    }

    // The ramp's phase (host frame modulo the period) a speaker played at
    // simulated time t, interpolated between its frames; negative near the
    // ramp's jump back, where the resampler's filter rings.
    static double PhaseAt(const std::vector<uint8_t>& bytes, double ppm, double t, double rate = kRate)
    {
        const double position = t * rate * (1.0 + ppm * 1e-6);
        const auto frame = static_cast<size_t>(position);
        if ((frame + 2) * 4 > bytes.size()) {
            return -1.0;
        }
        const auto value = [&](size_t f) {
            int16_t sample;
            std::memcpy(&sample, &bytes[f * 4], 2);
            return (sample + 32768.0) / 4.0;
        };
        const double a = value(frame);
        const double b = value(frame + 1);
        if (a < 256 || a > kRampPeriod - 256 || b < a) {
            return -1.0;
        }
        return a + (b - a) * (position - static_cast<double>(frame));
    }

    // The largest distance, in frames, between the host frame a follower
    // plays `delayFrames` after the master and the one the master plays,
    // looked at every 0.1 s from `from` to `to` (simulated seconds); and how
    // many looks could be read.
    static std::pair<double, int> WorstOffset(const std::vector<uint8_t>& master, const std::vector<uint8_t>& follower,
                                              double ppm, double delayFrames, double from, double to,
                                              double followerRate = kRate)
    {
        double worst = 0.0;
        int measured = 0;
        for (double t = from; t < to; t += 0.1) {
            const double mine = PhaseAt(follower, ppm, t + delayFrames / kRate, followerRate);
            const double theirs = PhaseAt(master, 0.0, t);
            if (mine < 0 || theirs < 0) {
                continue;
            }
            double offset = theirs - mine;
            offset -= kRampPeriod * std::round(offset / kRampPeriod);
            worst = std::max(worst, std::fabs(offset));
            ++measured;
        }
        return {worst, measured};
    }
};

}  // namespace

// A speaker 150 ppm fast and one 150 ppm slow against the master, one of
// them 50 ms late by its setting: with compensation each plays every host
// frame when the master does, its delay apart, to within two frames from a
// few seconds on, and none runs dry; without it they drift apart and run dry.
TEST_F(DriftTest, FollowersPlayInStepWithTheMasterOnlyWithCompensation)
{
    constexpr long kBlock = 128;
    constexpr double kSeconds = 40.0;
    const std::vector<Speaker> speakers = {
        {"Spk A", 'a', 0.0, nullptr, 0.0}, {"Spk B", 'b', 150.0, nullptr, 0.0}, {"Spk C", 'c', -150.0, "0.1", 2400.0}};
    for (const bool compensate : {true, false}) {
        SCOPED_TRACE(compensate ? "compensation on" : "compensation off");
        Configure(speakers, kBlock, compensate);
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        {
            AsioTestHost host(driver);
            StartRamp(host, kBlock);
            ASSERT_TRUE(Sim().RunFor(5.0, kWallGuardMs));
            std::vector<int64_t> lostAtLock;
            for (const Speaker& s : speakers) {
                lostAtLock.push_back(Sim().UnderrunFrames(RenderPath(s.id), kRenderPinId));
            }
            ASSERT_TRUE(Sim().RunFor(kSeconds - 5.0, kWallGuardMs));
            const std::vector<uint8_t> master = Sim().RenderedBytes(RenderPath('a'), kRenderPinId);
            for (size_t n = 1; n < speakers.size(); ++n) {
                const Speaker& s = speakers[n];
                const std::vector<uint8_t> bytes = Sim().RenderedBytes(RenderPath(s.id), kRenderPinId);
                const auto [worst, measured] = WorstOffset(master, bytes, s.ppm, s.delayFrames, 5.0, kSeconds - 0.5);
                const int64_t lost = Sim().UnderrunFrames(RenderPath(s.id), kRenderPinId) - lostAtLock[n];
                std::printf("[ figures  ] %s, %s at %+.0f ppm: worst offset %.2f frames, %d readings, "
                            "%lld frames run dry after 5 s\n",
                            compensate ? "compensation on" : "compensation off", s.name, s.ppm, worst, measured,
                            static_cast<long long>(lost));
                EXPECT_GT(measured, 200);
                if (compensate) {
                    EXPECT_LT(worst, 2.0) << s.name;
                    EXPECT_EQ(lost, 0) << s.name;
                } else {
                    EXPECT_GT(worst, 50.0) << s.name;
                }
            }
            EXPECT_EQ(Sim().UnderrunFrames(RenderPath('a'), kRenderPinId) - lostAtLock[0], 0);
            Finish(host);
        }
        ReleaseDriver();
    }
}

// A follower stalls and is taken out, another one's delay changes while the
// stream runs: the one left stays in step with the master and lands exactly
// its new delay later, without running dry.
TEST_F(DriftTest, AStalledFollowerAndALiveDelayChangeLeaveTheOthersInStep)
{
    constexpr long kBlock = 128;
    std::vector<Speaker> speakers = {
        {"Spk A", 'a', 0.0, nullptr, 0.0}, {"Spk B", 'b', 150.0, nullptr, 0.0}, {"Spk C", 'c', -150.0, nullptr, 0.0}};
    Configure(speakers, kBlock, true);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    StartRamp(host, kBlock);
    ASSERT_TRUE(Sim().RunFor(6.0, kWallGuardMs));
    const int64_t lostA = Sim().UnderrunFrames(RenderPath('a'), kRenderPinId);
    const int64_t lostB = Sim().UnderrunFrames(RenderPath('b'), kRenderPinId);
    Sim().SetStreamFault(RenderPath('c'), kRenderPinId, kssim::StreamFault::NeverComplete);
    ASSERT_TRUE(Sim().RunFor(2.0, kWallGuardMs));
    // Speaker B 20 ms later, as the panel sets it.
    long input = 0, before = 0, after = 0;
    driver->getLatencies(&input, &before);
    speakers[1].outLatency = "0.04";
    WriteSettings(speakers, kBlock, true);
    ASSERT_TRUE(SetNamedEvent(TelvaraEvents::kOutputDelayChanged));
    for (int i = 0; i < 2000 && after == before; ++i) {
        Sleep(1);
        driver->getLatencies(&input, &after);
    }
    ASSERT_NE(after, before) << "the driver took the new delay up";
    ASSERT_TRUE(Sim().RunFor(16.0, kWallGuardMs));
    EXPECT_GT(host.ResetRequests(), 0) << "the stalled speaker was taken out";
    const std::vector<uint8_t> master = Sim().RenderedBytes(RenderPath('a'), kRenderPinId);
    const std::vector<uint8_t> b = Sim().RenderedBytes(RenderPath('b'), kRenderPinId);
    const auto [worstBefore, readBefore] = WorstOffset(master, b, 150.0, 0.0, 5.0, 8.0);
    const auto [worstAfter, readAfter] = WorstOffset(master, b, 150.0, 960.0, 10.0, 23.5);
    EXPECT_GT(readBefore, 20);
    EXPECT_GT(readAfter, 100);
    EXPECT_LT(worstBefore, 2.0);
    EXPECT_LT(worstAfter, 2.0);
    EXPECT_EQ(Sim().UnderrunFrames(RenderPath('a'), kRenderPinId), lostA);
    EXPECT_EQ(Sim().UnderrunFrames(RenderPath('b'), kRenderPinId), lostB);
    Finish(host);
}

// A microphone whose clock runs 100 ppm fast or slow against the master
// speaker (or one that takes 44100 Hz only, under a 48000 Hz host, 50 ppm
// fast): with compensation the device frame each host block starts with
// advances at the microphone's rate against the host's frames, so that
// what it records reaches the host as long after it was recorded as when
// it locked, within two frames, and it loses nothing; without it the
// microphone's frames fall behind or run ahead of the speaker's.
TEST_F(DriftTest, ACaptureFollowerReachesTheHostAtTheMastersPaceOnlyWithCompensation)
{
    constexpr long kBlock = 128;
    constexpr double kSeconds = 40.0;
    constexpr double kLockSeconds = 6.0;
    struct Case {
        double ppm;
        bool compensate;
        bool waveRt;
        ULONG onlyRate;  // the one rate the microphone takes; 0: any
    };
    for (const Case c : {Case{100.0, true, false, 0}, Case{-100.0, true, false, 0}, Case{-100.0, true, true, 0},
                         Case{50.0, true, false, 44100}, Case{100.0, false, false, 0}}) {
        SCOPED_TRACE(std::to_string(c.ppm) + (c.compensate ? " ppm, compensation on" : " ppm, compensation off") +
                     (c.waveRt ? ", WaveRT" : "") + (c.onlyRate ? ", 44100 Hz only" : ""));
        kssim::DeviceModel mic = Microphone(c.ppm);
        if (c.waveRt) {
            mic = kssim::WaveRtCaptureDevice("Mic", CapturePath('m'));
            mic.clockPpm = c.ppm;
        }
        if (c.onlyRate) {
            mic.pins[0].ranges[0].minimumSampleFrequency = c.onlyRate;
            mic.pins[0].ranges[0].maximumSampleFrequency = c.onlyRate;
        }
        // Device frames per host frame.
        const double frameRatio = (c.onlyRate ? c.onlyRate / static_cast<double>(kRate) : 1.0) * (1.0 + c.ppm * 1e-6);
        WriteConfig("[default]\nout=Spk A\nin=Mic\nSampleRate=48000\nBlockFrames=" + std::to_string(kBlock) +
                    "\nRequestsInFlight=2\nDriftCompensation=" + (c.compensate ? "1" : "0") + "\n" +
                    RenderSection("Spk A", 2, 0, 1) + CaptureSection("Mic", 2));
        UseDevices({::Speaker("Spk A", 'a', 0.0, 4.0), mic}, ClockMode::Virtual);
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        {
            AsioTestHost host(driver);
            ASSERT_EQ(host.CreateBuffers({0, 1}, {0, 1}, kBlock), ASE_OK);
            // The microphone's ramp (its frame number, modulo 65536) at the
            // start of each host block.
            std::vector<uint16_t> firsts;
            firsts.reserve(static_cast<size_t>(kSeconds * kRate / kBlock) + 1000);
            m_blocks = 0;
            FillRamp(host, 0);
            FillRamp(host, 1);
            host.onBufferSwitch = [this, &host, &firsts](long index) {
                FillRamp(host, index);
                if (firsts.size() < firsts.capacity()) {
                    firsts.push_back(static_cast<uint16_t>(host.InputHalf(0, index)[0]));
                }
            };
            ASSERT_EQ(host.Start(), ASE_OK);
            ASSERT_TRUE(Sim().RunFor(kLockSeconds, kWallGuardMs));
            const int64_t lostAtLock = Sim().OverrunFrames(CapturePath('m'), kCapturePinId);
            const int64_t dryAtLock = Sim().UnderrunFrames(RenderPath('a'), kRenderPinId);
            ASSERT_TRUE(Sim().RunFor(kSeconds - kLockSeconds, kWallGuardMs));
            Finish(host);
            // The device frame of each block against the host frame, at the
            // microphone's rate: constant when it reaches the host at the
            // master's pace. Blocks near the ramp's wraps (where the
            // resampler's filter rings, by hundreds of steps of the ramp
            // for a full-scale jump: at 0, and at 32768 where the samples
            // turn negative) are passed over.
            const size_t lockBlock = static_cast<size_t>(kLockSeconds * kRate / kBlock);
            double lowest = 1e18, highest = -1e18;
            double last = -1.0;  // the device frame of the last block read
            size_t lastBlock = 0;
            int read = 0;
            for (size_t k = 0; k < firsts.size(); ++k) {
                // Unwrapped next to where the last block read stood; passed
                // over where that says it lies near a wrap (a sample there
                // may be anything).
                const double expected =
                    last < 0 ? firsts[k] : last + static_cast<double>((k - lastBlock) * kBlock) * frameRatio;
                const double phase = std::fmod(expected, 32768.0);
                if (phase < 4096 || phase > 32768 - 4096) {
                    continue;
                }
                const double frame = firsts[k] + 65536.0 * std::round((expected - firsts[k]) / 65536.0);
                if (k < lockBlock && last >= 0 && std::fabs(frame - expected) > 1000) {
                    continue;  // the silence the resampler starts with
                }
                last = frame;
                lastBlock = k;
                if (k < lockBlock) {
                    continue;
                }
                const double residual = frame - static_cast<double>(k * kBlock) * frameRatio;
                lowest = std::min(lowest, residual);
                highest = std::max(highest, residual);
                ++read;
            }
            const int64_t lost = Sim().OverrunFrames(CapturePath('m'), kCapturePinId) - lostAtLock;
            const int64_t dry = Sim().UnderrunFrames(RenderPath('a'), kRenderPinId) - dryAtLock;
            std::printf("[ figures  ] %s mic%s at %+.0f ppm, compensation %s: the frames it gives each block wander "
                        "%.2f frames after %.0f s, %d blocks read, %lld frames lost, master %lld frames dry\n",
                        c.waveRt ? "WaveRT" : "standard", c.onlyRate ? " (44100 Hz only)" : "", c.ppm,
                        c.compensate ? "on" : "off", highest - lowest,
                        kLockSeconds, read,
                        static_cast<long long>(lost), static_cast<long long>(dry));
            EXPECT_GT(read, 7000);
            if (c.compensate) {
                EXPECT_LT(highest - lowest, 2.0);
                EXPECT_EQ(lost, 0);
                EXPECT_EQ(dry, 0);
            } else {
                EXPECT_GT(highest - lowest, 50.0);
            }
        }
        ReleaseDriver();
    }
}

// The microphone is the clock master by its setting and the speaker, 150
// ppm fast, follows it: with compensation the speaker plays the host's
// frames at the pace the microphone gives them, within two frames from a
// few seconds on, and never runs dry; without it the speaker runs ahead.
TEST_F(DriftTest, ARenderFollowerOfACaptureMasterPlaysAtTheMicrophonesPace)
{
    constexpr long kBlock = 128;
    constexpr double kSeconds = 30.0;
    for (const bool compensate : {true, false}) {
        SCOPED_TRACE(compensate ? "compensation on" : "compensation off");
        WriteConfig("[default]\nout=Spk A\nin=Mic\nClockMaster=Mic\nSampleRate=48000\nBlockFrames=" +
                    std::to_string(kBlock) + "\nRequestsInFlight=2\nDriftCompensation=" + (compensate ? "1" : "0") +
                    "\n" + RenderSection("Spk A", 2, 0, 1) + CaptureSection("Mic", 2));
        UseDevices({::Speaker("Spk A", 'a', 150.0, 4.0), Microphone(0.0)}, ClockMode::Virtual);
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        {
            AsioTestHost host(driver);
            ASSERT_EQ(host.CreateBuffers({0, 1}, {0, 1}, kBlock), ASE_OK);
            m_blocks = 0;
            FillRamp(host, 0);
            FillRamp(host, 1);
            host.onBufferSwitch = [this, &host](long index) { FillRamp(host, index); };
            ASSERT_EQ(host.Start(), ASE_OK);
            ASSERT_TRUE(Sim().RunFor(6.0, kWallGuardMs));
            const int64_t dryAtLock = Sim().UnderrunFrames(RenderPath('a'), kRenderPinId);
            ASSERT_TRUE(Sim().RunFor(kSeconds - 6.0, kWallGuardMs));
            Finish(host);
            // The host frame the speaker plays against the microphone's
            // clock (that of the host's frames): constant when in step.
            const std::vector<uint8_t> bytes = Sim().RenderedBytes(RenderPath('a'), kRenderPinId);
            double first = 0.0, worst = 0.0;
            int measured = 0;
            for (double t = 6.0; t < kSeconds - 0.5; t += 0.1) {
                const double phase = PhaseAt(bytes, 150.0, t);
                if (phase < 0) {
                    continue;
                }
                double offset = phase - t * kRate;
                offset -= kRampPeriod * std::round(offset / kRampPeriod);
                if (measured == 0) {
                    first = offset;
                }
                double moved = offset - first;
                moved -= kRampPeriod * std::round(moved / kRampPeriod);
                worst = std::max(worst, std::fabs(moved));
                ++measured;
            }
            const int64_t dry = Sim().UnderrunFrames(RenderPath('a'), kRenderPinId) - dryAtLock;
            std::printf("[ figures  ] speaker at +150 ppm after a microphone master, compensation %s: moved %.2f "
                        "frames over %d readings, %lld frames dry\n",
                        compensate ? "on" : "off", worst, measured, static_cast<long long>(dry));
            EXPECT_GT(measured, 150);
            if (compensate) {
                EXPECT_LT(worst, 2.0);
                EXPECT_EQ(dry, 0);
            } else {
                EXPECT_GT(worst, 50.0);
            }
        }
        ReleaseDriver();
    }
}

// A speaker that takes 44100 Hz only, 100 ppm fast, beside the master at
// the host's 48000 Hz: it runs at its own rate, resampled, and plays every
// host frame when the master does, within two frames from a few seconds on,
// without running dry.
TEST_F(DriftTest, ASpeakerThatCannotRunAtTheHostsRatePlaysInStepAtItsOwn)
{
    constexpr long kBlock = 128;
    constexpr double kSeconds = 30.0;
    WriteSettings({{"Spk A", 'a', 0.0, nullptr, 0.0}, {"Spk B", 'b', 100.0, nullptr, 0.0}}, kBlock, true);
    kssim::DeviceModel own = ::Speaker("Spk B", 'b', 100.0, 4.0);
    own.pins[0].ranges[0].minimumSampleFrequency = 44100;
    own.pins[0].ranges[0].maximumSampleFrequency = 44100;
    UseDevices({::Speaker("Spk A", 'a', 0.0, 4.0), own}, ClockMode::Virtual);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    StartRamp(host, kBlock);
    ASSERT_TRUE(Sim().RunFor(5.0, kWallGuardMs));
    const int64_t dry = Sim().UnderrunFrames(RenderPath('b'), kRenderPinId);
    ASSERT_TRUE(Sim().RunFor(kSeconds - 5.0, kWallGuardMs));
    const std::vector<uint8_t> master = Sim().RenderedBytes(RenderPath('a'), kRenderPinId);
    const std::vector<uint8_t> bytes = Sim().RenderedBytes(RenderPath('b'), kRenderPinId);
    const auto [worst, measured] = WorstOffset(master, bytes, 100.0, 0.0, 5.0, kSeconds - 0.5, 44100.0);
    std::printf("[ figures  ] 44100 Hz speaker at +100 ppm under a 48000 Hz host: worst offset %.2f frames, %d "
                "readings, %lld frames dry after 5 s\n",
                worst, measured, static_cast<long long>(Sim().UnderrunFrames(RenderPath('b'), kRenderPinId) - dry));
    EXPECT_GT(measured, 150);
    EXPECT_LT(worst, 2.0);
    EXPECT_EQ(Sim().UnderrunFrames(RenderPath('b'), kRenderPinId), dry);
    const std::vector<uint8_t> connect = Sim().LastPinConnect(RenderPath('b'), kRenderPinId);
    ASSERT_GE(connect.size(), sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX));
    WAVEFORMATEX format;
    std::memcpy(&format, connect.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT), sizeof format);
    EXPECT_EQ(format.nSamplesPerSec, 44100u);
    Finish(host);
}

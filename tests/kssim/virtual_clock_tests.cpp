// The virtual clock seen from a stream thread (this test's own, waiting
// through the stream clock), and KSPROPERTY_AUDIO_POSITION on both clocks.

#include "description_file.h"
#include "kssim_test_support.h"
#include "rt_audio.h"
#include "stream_clock.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

using namespace kssimtest;

namespace {

constexpr DWORD kRate = 48000;
constexpr DWORD kFrameBytes = 4;  // stereo, 16 bits

KSAUDIO_POSITION Position(HANDLE pin)
{
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Audio;
    request.Id = KSPROPERTY_AUDIO_POSITION;
    request.Flags = KSPROPERTY_TYPE_GET;
    KSAUDIO_POSITION position{~0ull, ~0ull};
    const IoResult result = Property(pin, &request, sizeof request, &position, sizeof position);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.bytes, sizeof position);
    return position;
}

// Moves the simulated clock `seconds` on from this thread, as a stream
// thread that waits for nothing but time.
void WaitSimulated(double seconds)
{
    const int64_t until =
        StreamClock::Now() + static_cast<int64_t>(seconds * static_cast<double>(StreamClock::TicksPerSecond()));
    EXPECT_EQ(StreamClock::WaitUntil(nullptr, 0, until), static_cast<DWORD>(WAIT_TIMEOUT));
}

// Empties the model when it goes out of scope: declared after a test's
// stream requests, it completes those still pending before their buffers
// and OVERLAPPEDs go, whichever way the test ends.
struct ModelEmptiedFirst {
    ModelEmptiedFirst() = default;
    ModelEmptiedFirst(const ModelEmptiedFirst&) = delete;
    ModelEmptiedFirst& operator=(const ModelEmptiedFirst&) = delete;
    ~ModelEmptiedFirst() { Sim().Reset(); }
};

class VirtualClockTest : public SimulationTest {
protected:
    // One device of the given direction and clock error on a free-running
    // virtual clock, its pin open at 48 kHz stereo 16 bits.
    HANDLE Open(bool render, double ppm, double bufferMs = 10.0)
    {
        kssim::DeviceModel device = render ? WideRenderDevice() : WideCaptureDevice();
        device.clockPpm = ppm;
        device.deviceBufferMs = bufferMs;
        m_path = device.devicePath;
        Sim().Reset({device});
        Sim().SetClockMode(kssim::ClockMode::Virtual);
        Sim().RunFreely();
        m_filter = OpenFilter(m_path);
        return OpenPin(m_filter, 0, PcmFormat(2, kRate, 16));
    }

    void TearDown() override
    {
        Sim().Reset();  // closes the handles of the model
    }

    std::string m_path;
    HANDLE m_filter = nullptr;
};

}  // namespace

TEST_F(VirtualClockTest, PositionFollowsEachDeviceClockWithItsRateError)
{
    struct Case {
        bool render;
        double ppm;
    };
    for (const Case& c : {Case{true, 0.0}, Case{true, 150.0}, Case{true, -150.0}, Case{false, 1000.0}, Case{false, -37.5}}) {
        SCOPED_TRACE(std::string(c.render ? "render" : "capture") + " at " + std::to_string(c.ppm) + " ppm");
        HANDLE pin = Open(c.render, c.ppm);
        StreamRequest request(kRate * kFrameBytes);  // one second
        ASSERT_EQ(c.render ? request.Write(pin) : request.Read(pin), static_cast<DWORD>(ERROR_IO_PENDING));
        KSAUDIO_POSITION position = Position(pin);
        EXPECT_EQ(position.PlayOffset, 0u) << "nothing moves before RUN";
        EXPECT_EQ(position.WriteOffset, kRate * kFrameBytes);
        ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
        WaitSimulated(0.5);
        const double frames = 0.5 * kRate * (1.0 + c.ppm * 1e-6);
        position = Position(pin);
        EXPECT_EQ(position.PlayOffset % kFrameBytes, 0u);
        EXPECT_NEAR(static_cast<double>(position.PlayOffset / kFrameBytes), std::floor(frames), 1.0);
        EXPECT_EQ(position.WriteOffset, kRate * kFrameBytes) << "what was handed to the device";
        EXPECT_EQ(static_cast<int64_t>(position.PlayOffset / kFrameBytes), Sim().DevicePositionFrames(m_path, 0));
        // A paused device stands still.
        ASSERT_TRUE(SetState(pin, KSSTATE_PAUSE).ok);
        WaitSimulated(0.25);
        EXPECT_EQ(Position(pin).PlayOffset, position.PlayOffset);
        Sim().Reset();
    }
}

TEST_F(VirtualClockTest, RequestsCompleteAtTheirSimulatedTimeAndADryDeviceCountsItsSilence)
{
    HANDLE pin = Open(true, 0.0, 10.0);
    StreamRequest first(kRate * kFrameBytes);  // one second
    ASSERT_EQ(first.Write(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
    EXPECT_FALSE(first.Done());
    // It completes once its last byte has entered the device's 10 ms buffer.
    const int64_t bound = StreamClock::Now() + 5 * StreamClock::TicksPerSecond();
    ASSERT_EQ(StreamClock::WaitUntil(&first.event, 1, bound), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_NEAR(Sim().VirtualSeconds(), 0.99, 1e-6);
    EXPECT_EQ(first.Result(), static_cast<DWORD>(ERROR_SUCCESS));
    // Nothing more comes for a second: the device plays 0.99 s of silence.
    WaitSimulated(1.0);
    StreamRequest second(kRate * kFrameBytes / 10);
    const ModelEmptiedFirst emptied;
    ASSERT_EQ(second.Write(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_NEAR(static_cast<double>(Sim().UnderrunFrames(m_path, 0)), 0.99 * kRate, 1.0);
    EXPECT_EQ(Sim().RenderedBytes(m_path, 0).size(), first.data.size() + Sim().UnderrunFrames(m_path, 0) * kFrameBytes);
}

TEST_F(VirtualClockTest, PositionNoiseStaysWithinItsFramesAndReachesThemAll)
{
    HANDLE pin = Open(true, 0.0);
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
    WaitSimulated(1.0);
    Sim().SetPositionNoise(2);
    const int64_t truth = Sim().DevicePositionFrames(m_path, 0);
    std::set<int64_t> seen;
    for (int i = 0; i < 200; ++i) {
        const KSAUDIO_POSITION position = Position(pin);
        ASSERT_EQ(position.PlayOffset % kFrameBytes, 0u);
        seen.insert(static_cast<int64_t>(position.PlayOffset / kFrameBytes) - truth);
    }
    EXPECT_EQ(seen, (std::set<int64_t>{-2, -1, 0, 1, 2}));
}

TEST_F(VirtualClockTest, TheRealTimeClockMovesThePositionToo)
{
    HANDLE filter = nullptr;
    {
        Sim().Reset({WideRenderDevice()});
        filter = OpenFilter(kRenderPath);
    }
    HANDLE pin = OpenPin(filter, 0, PcmFormat(2, kRate, 16));
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
    Sleep(30);
    ASSERT_TRUE(SetState(pin, KSSTATE_PAUSE).ok);
    const KSAUDIO_POSITION position = Position(pin);
    EXPECT_GT(position.PlayOffset, 0u);
    EXPECT_EQ(position.PlayOffset % kFrameBytes, 0u);
    EXPECT_EQ(static_cast<int64_t>(position.PlayOffset / kFrameBytes), Sim().DevicePositionFrames(kRenderPath, 0));
    EXPECT_EQ(Position(pin).PlayOffset, position.PlayOffset) << "a paused device stands still";
}

TEST_F(VirtualClockTest, TheDescriptionSwitchesTheVirtualClockAndItsInjections)
{
    using kssim::detail::ParseDescription;
    const kssim::detail::Description description =
        ParseDescription("[kssim]\nclock = virtual\nseed = 42\njitter-ms = 2.5\nposition-noise = 3\n", "C:\\d\\kssim.ini");
    EXPECT_EQ(description.clockMode, kssim::ClockMode::Virtual);
    EXPECT_EQ(description.seed, 42u);
    EXPECT_EQ(description.jitterMs, 2.5);
    EXPECT_EQ(description.positionNoiseFrames, 3);
    struct Bad {
        const char* text;
        const char* reason;
    };
    for (const Bad& bad : {Bad{"[kssim]\njitter-ms = -1\n", "C:\\d\\kssim.ini:2: jitter-ms must lie between 0 and 1000"},
                           Bad{"[kssim]\nposition-noise = 100001\n",
                               "C:\\d\\kssim.ini:2: position-noise must lie between 0 and 100000 frames"},
                           Bad{"[kssim]\nseed = x\n", "C:\\d\\kssim.ini:2: 'seed': 'x' is not a whole number"}}) {
        std::string error = "no error";
        try {
            ParseDescription(bad.text, "C:\\d\\kssim.ini");
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
        EXPECT_EQ(error, bad.reason);
    }
}

namespace {

// A render stream of 5 ms requests, all queued before RUN, whose frame n
// holds n itself: its low 16 bits on the left, the rest on the right.
std::vector<std::unique_ptr<StreamRequest>> NumberedRequests(int count, DWORD frames)
{
    std::vector<std::unique_ptr<StreamRequest>> requests;
    uint32_t n = 0;
    for (int i = 0; i < count; ++i) {
        auto request = std::make_unique<StreamRequest>(frames * kFrameBytes);
        for (DWORD f = 0; f < frames; ++f, ++n) {
            const uint16_t sides[2] = {static_cast<uint16_t>(n & 0xFFFF), static_cast<uint16_t>(n >> 16)};
            std::memcpy(&request->data[f * kFrameBytes], sides, sizeof sides);
        }
        requests.push_back(std::move(request));
    }
    return requests;
}

// Where the device clock stood: from `seconds` on, frame position `frame`
// (fractional) advancing at `rate` frames a second (0: paused).
struct ClockStretch {
    double seconds;
    double frame;
    double rate;
};

double SecondsOfFrame(const std::vector<ClockStretch>& stretches, double frame)
{
    for (auto it = stretches.rbegin(); it != stretches.rend(); ++it) {
        if (it->rate > 0.0 && it->frame <= frame) {
            return it->seconds + (frame - it->frame) / it->rate;
        }
    }
    return -1.0;
}

}  // namespace

TEST_F(VirtualClockTest, PlayedTailDatesItsFramesOnTheDeviceClockThroughPausesRateChangesAndRingWraps)
{
    constexpr size_t kCapacity = kssim::Simulation::kPlayedTailCapacityFrames;
    constexpr DWORD kRequestFrames = 240;  // shorter than the device buffer: frames are taken in before they play
    HANDLE pin = Open(true, 250.0);
    Sim().KeepRenderedBytes(false);
    const auto requests = NumberedRequests(1000, kRequestFrames);  // 5 s
    const ModelEmptiedFirst emptied;
    for (const auto& request : requests) {
        ASSERT_EQ(request->Write(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    EXPECT_TRUE(Sim().PlayedTail(m_path, 0, 100).bytes.empty()) << "nothing played before RUN";

    const double nominal = kRate;
    std::vector<ClockStretch> stretches;
    double rate = nominal * (1.0 + 250e-6);
    auto frameNow = [&] {
        const ClockStretch& last = stretches.back();
        return last.frame + (Sim().VirtualSeconds() - last.seconds) * last.rate;
    };
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
    stretches.push_back({Sim().VirtualSeconds(), 0.0, rate});

    enum class Action { ReadTail, Pause, ChangeRate };
    struct Step {
        const char* what;
        double wait;  // simulated seconds before the action
        Action action;
        size_t asked;  // frames asked for
    };
    const Step steps[] = {
        {"before the ring is full", 0.3, Action::ReadTail, 5000},
        {"the ring not yet full, asked for all of it", 0.0, Action::ReadTail, kCapacity},
        {"the ring wrapped", 1.2, Action::ReadTail, kCapacity},
        {"asked beyond the ring", 0.0, Action::ReadTail, kCapacity + 1000},
        {"pause for 0.25 s", 0.0, Action::Pause, 0},
        {"across a pause", 0.25, Action::ReadTail, kCapacity},
        {"rate change to -400 ppm", 0.3, Action::ChangeRate, 0},
        {"across a rate change", 0.4, Action::ReadTail, kCapacity},
        {"after the rate change", 1.0, Action::ReadTail, 1000},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        WaitSimulated(step.wait);
        if (step.action == Action::Pause) {
            ASSERT_TRUE(SetState(pin, KSSTATE_PAUSE).ok);
            stretches.push_back({Sim().VirtualSeconds(), frameNow(), 0.0});
            WaitSimulated(0.25);
            ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
            stretches.push_back({Sim().VirtualSeconds(), stretches.back().frame, rate});
            continue;
        }
        if (step.action == Action::ChangeRate) {
            const double frame = frameNow();
            rate = nominal * (1.0 - 400e-6);
            Sim().SetClockPpm(m_path, -400.0);
            stretches.push_back({Sim().VirtualSeconds(), frame, rate});
            continue;
        }
        const auto played = static_cast<size_t>(std::floor(frameNow()));
        const size_t expected = std::min({step.asked, kCapacity, played});
        const kssim::RenderTail tail = Sim().PlayedTail(m_path, 0, step.asked);
        ASSERT_EQ(tail.bytes.size(), expected * kFrameBytes);
        EXPECT_NEAR(tail.framesPerSecond, rate, 1e-6);
        // It ends at the device position: its last frame has played, the
        // device is in the middle of the next one.
        const int64_t end = tail.firstFrame + static_cast<int64_t>(expected);
        EXPECT_EQ(end, Sim().DevicePositionFrames(m_path, 0));
        EXPECT_EQ(end, static_cast<int64_t>(played));
        EXPECT_NEAR(tail.firstFrameSeconds, SecondsOfFrame(stretches, static_cast<double>(tail.firstFrame)), 1e-6);
        EXPECT_LE(SecondsOfFrame(stretches, static_cast<double>(end)), Sim().VirtualSeconds());
        EXPECT_GT(SecondsOfFrame(stretches, static_cast<double>(end + 1)), Sim().VirtualSeconds());
        // The bytes are those sent for these frames, wherever the ring wrapped.
        for (size_t f = 0; f < expected; ++f) {
            const auto n = static_cast<uint32_t>(tail.firstFrame + static_cast<int64_t>(f));
            const uint32_t held = Sample16(tail.bytes, 2 * f) | (static_cast<uint32_t>(Sample16(tail.bytes, 2 * f + 1)) << 16);
            ASSERT_EQ(held, n) << "frame " << f << " of the tail";
        }
    }
    EXPECT_EQ(Sim().UnderrunFrames(m_path, 0), 0);
    EXPECT_TRUE(Sim().RenderedBytes(m_path, 0).empty()) << "the tail is kept without the rendered bytes";
}

TEST_F(VirtualClockTest, PlayedTailOfAWaveRtPinIsWhatLeavesItsFifo)
{
    constexpr DWORD kBufferFrames = 2400;
    constexpr int64_t kFifoFrames = 64;  // the model's 256 bytes
    kssim::DeviceModel device = kssim::WaveRtRenderDevice("Speakers", kRenderPath);
    device.clockPpm = 250.0;
    Sim().Reset({device});
    Sim().SetClockMode(kssim::ClockMode::Virtual);
    Sim().RunFreely();
    m_path = kRenderPath;
    m_filter = OpenFilter(m_path);
    HANDLE pin = OpenPin(m_filter, 0, PcmFormat(2, kRate, 16), true);
    ASSERT_NE(pin, nullptr);
    KSRTAUDIO_BUFFER_PROPERTY ask{};
    ask.Property.Set = kKsPropSetIdRtAudio;
    ask.Property.Id = kRtAudioBuffer;
    ask.Property.Flags = KSPROPERTY_TYPE_GET;
    ask.RequestedBufferSize = kBufferFrames * kFrameBytes;
    KSRTAUDIO_BUFFER buffer{};
    ASSERT_TRUE(Property(pin, &ask, sizeof ask, &buffer, sizeof buffer).ok);
    ASSERT_EQ(buffer.ActualBufferSize, kBufferFrames * kFrameBytes);
    auto* frames = static_cast<uint16_t*>(buffer.BufferAddress);
    for (DWORD f = 0; f < kBufferFrames; ++f) {
        frames[2 * f] = static_cast<uint16_t>(f + 1);
        frames[2 * f + 1] = static_cast<uint16_t>(~f);
    }
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
    const double start = Sim().VirtualSeconds();
    const double rate = kRate * (1.0 + 250e-6);
    for (double wait : {0.004, 1.0}) {  // inside the FIFO's silence, then round the ring
        SCOPED_TRACE(wait);
        WaitSimulated(wait);
        const kssim::RenderTail tail = Sim().PlayedTail(m_path, 0, kssim::Simulation::kPlayedTailCapacityFrames);
        const size_t count = tail.bytes.size() / kFrameBytes;
        ASSERT_GT(count, 0u);
        EXPECT_NEAR(tail.framesPerSecond, rate, 1e-6);
        EXPECT_NEAR(tail.firstFrameSeconds, start + static_cast<double>(tail.firstFrame) / rate, 1e-6);
        // The buffer moves in steps of 1 ms: the tail ends within one of now.
        const double end = static_cast<double>(tail.firstFrame + static_cast<int64_t>(count));
        EXPECT_LE(end, (Sim().VirtualSeconds() - start) * rate);
        EXPECT_GT(end, (Sim().VirtualSeconds() - start - 0.001) * rate - 1.0);
        for (size_t i = 0; i < count; ++i) {
            const int64_t heard = tail.firstFrame + static_cast<int64_t>(i);
            const int64_t f = (heard - kFifoFrames) % kBufferFrames;
            const uint16_t left = heard < kFifoFrames ? 0 : static_cast<uint16_t>(f + 1);
            const uint16_t right = heard < kFifoFrames ? 0 : static_cast<uint16_t>(~f);
            ASSERT_EQ(Sample16(tail.bytes, 2 * i), left) << "frame " << heard;
            ASSERT_EQ(Sample16(tail.bytes, 2 * i + 1), right) << "frame " << heard;
        }
    }
}

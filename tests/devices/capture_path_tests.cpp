#include "device_test_support.h"

#include "ks_trace_level_guard.h"
#include "request_completion.h"
#include "stream_request_watch.h"
#include "trace_capture.h"

#include <windows.h>

#include <atomic>
#include <thread>

namespace {

constexpr DWORD kLongWaitMs = 5000;

// The 16-bit host's input buffers of one device for one block, one per channel.
class Destinations {
public:
    Destinations(uint16_t channels, size_t frames, int16_t fill = 0x7777)
        : m_buffers(channels, std::vector<int16_t>(frames, fill))
    {
        for (auto& buffer : m_buffers) {
            m_pointers.push_back(reinterpret_cast<uint8_t*>(buffer.data()));
        }
    }

    uint8_t* const* Pointers() const { return m_pointers.data(); }
    // Leaves the channel out of the deliveries.
    void Leave(size_t channel) { m_pointers.at(channel) = nullptr; }
    const std::vector<int16_t>& Channel(size_t channel) const { return m_buffers.at(channel); }
    size_t Channels() const { return m_buffers.size(); }
    size_t Frames() const { return m_buffers.empty() ? 0 : m_buffers[0].size(); }
    void Fill(int16_t value)
    {
        for (auto& buffer : m_buffers) {
            std::fill(buffer.begin(), buffer.end(), value);
        }
    }

private:
    std::vector<std::vector<int16_t>> m_buffers;
    std::vector<uint8_t*> m_pointers;
};

// The simulated device's ramp as 16-bit samples: channel c of frame n holds
// n + 0x1000 c (16 bits, and in the top bytes of 24 and 32); 8-bit pins hold
// (n + 0x10 c) mod 256, unsigned, which is its top byte.
int16_t RampSample(uint32_t frame, size_t channel, int bits)
{
    if (bits == 8) {
        const auto u = static_cast<uint8_t>(frame + 0x10 * channel);
        return static_cast<int16_t>((u - 128) * 256);
    }
    return static_cast<int16_t>(static_cast<uint16_t>(frame + 0x1000 * channel));
}

// Follows the ramp over consecutive deliveries; the first one sets where it
// starts.
class RampFollower {
public:
    explicit RampFollower(int bits = 16) : m_bits(bits) {}

    // The first `arrived` frames of the first `channels` channels continue
    // the ramp, the rest of them are silent.
    ::testing::AssertionResult Continues(const Destinations& block, size_t arrived, size_t channels)
    {
        if (!m_started && arrived > 0) {
            const int16_t first = block.Channel(0)[0];
            m_next = m_bits == 8 ? static_cast<uint8_t>(first / 256 + 128) : static_cast<uint16_t>(first);
            m_started = true;
        }
        for (size_t f = 0; f < block.Frames(); ++f) {
            for (size_t c = 0; c < channels; ++c) {
                const int16_t expected = f < arrived ? RampSample(m_next + static_cast<uint32_t>(f), c, m_bits) : 0;
                const int16_t actual = block.Channel(c)[f];
                if (actual != expected) {
                    return ::testing::AssertionFailure() << "frame " << f << " channel " << c << ": " << actual
                                                         << " instead of " << expected;
                }
            }
        }
        m_next += static_cast<uint32_t>(arrived);
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult Continues(const Destinations& block, size_t arrived)
    {
        return Continues(block, arrived, block.Channels());
    }
    ::testing::AssertionResult Continues(const Destinations& block) { return Continues(block, block.Frames()); }

private:
    int m_bits;
    uint32_t m_next = 0;
    bool m_started = false;
};

// Waits, at most waitMs, for the oldest read and delivers it.
HRESULT DeliverNext(CCaptureEndpoint& endpoint, const Destinations& destinations, DWORD waitMs = kLongWaitMs)
{
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    while (!endpoint.HasArrived()) {
        if (GetTickCount64() >= deadline) {
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        }
        WaitForSingleObject(endpoint.WaitHandle(), 20);
    }
    return endpoint.Deliver(destinations.Pointers());
}

kssim::DeviceModel RoomyCapture(const std::string& name, ULONG channels = 2)
{
    kssim::DeviceModel model = SimCapture(name, channels);
    model.deviceBufferMs = 500;  // no frame lost to a slow test thread
    return model;
}

class CapturePathTest : public DeviceSetTest {
protected:
    // Opens the one capture device "Mic" of the model.
    CCaptureEndpoint& Open(const ConfigText& config, kssim::DeviceModel model = SimCapture("Mic"),
                           double rate = 44100.0, int32_t bits = 16)
    {
        m_set.reset();
        Sim().Reset({model});
        WriteConfig(config);
        EXPECT_TRUE(MakeSet().OpenCapture(CaptureRequest(rate, bits)));
        return Capture(0);
    }
};

}  // namespace

TEST_F(CapturePathTest, ReadsDeliverTheRampWithoutGapsOrRepeatsAcross1000Reads)
{
    CCaptureEndpoint& endpoint = Open(ConfigText().In("Mic", 2));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    ASSERT_TRUE(endpoint.PrepareStream(512, 2));
    ASSERT_EQ(endpoint.AskForAll(), S_OK);
    RampFollower ramp;
    Destinations block(2, 512);
    for (int n = 0; n < 1000; ++n) {
        block.Fill(0x7777);
        ASSERT_EQ(DeliverNext(endpoint, block), S_OK) << "read " << n;
        ASSERT_TRUE(ramp.Continues(block)) << "read " << n;
    }
    EXPECT_EQ(endpoint.Counters().failedRequests.load(), 0);
}

TEST_F(CapturePathTest, ReadsAtTheDevicesPaceDeliverTheRampWithoutGaps)
{
    CCaptureEndpoint& endpoint = Open(ConfigText().In("Mic", 2), RoomyCapture("Mic"), 48000.0);
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    ASSERT_TRUE(endpoint.PrepareStream(96, 4));
    ASSERT_EQ(endpoint.AskForAll(), S_OK);
    RampFollower ramp;
    Destinations block(2, 96);
    for (int n = 0; n < 300; ++n) {
        ASSERT_EQ(DeliverNext(endpoint, block), S_OK) << "read " << n;
        ASSERT_TRUE(ramp.Continues(block)) << "read " << n;
    }
    EXPECT_EQ(Sim().OverrunFrames(CapturePath("Mic"), 0), 0);
}

// Each read is one request for a whole block in the pin's form, with the
// endpoint's event; DataUsed tells what arrived, and frames the pin did not
// fill are silence, never what the buffer held from an earlier read.
TEST_F(CapturePathTest, TheReadTellsWhatArrivedAndTheRestIsSilence)
{
    CCaptureEndpoint& endpoint = Open(ConfigText().In("Mic", 2));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    ASSERT_TRUE(endpoint.PrepareStream(512, 2));
    StreamRequestWatch watch;
    ASSERT_EQ(endpoint.AskForAll(), S_OK);
    const std::vector<SeenRequest> seen = watch.Seen();
    ASSERT_EQ(seen.size(), 3u) << "the reads in flight and one more";
    for (const SeenRequest& read : seen) {
        EXPECT_EQ(read.code, static_cast<DWORD>(IOCTL_KS_READ_STREAM));
        EXPECT_EQ(read.pin, endpoint.Pin()->GetHandle());
        EXPECT_EQ(read.header.Size, sizeof(KSSTREAM_HEADER));
        EXPECT_EQ(read.header.FrameExtent, 2048u);
        EXPECT_EQ(read.header.DataUsed, 0u);
        EXPECT_EQ(read.header.OptionsFlags, 0u);
        EXPECT_EQ(read.header.PresentationTime.Numerator, 0u);
        EXPECT_EQ(read.header.PresentationTime.Denominator, 0u);
        EXPECT_EQ(read.event, endpoint.WaitHandle());
        EXPECT_EQ(read.address->DataUsed, 2048u) << "the fast device filled it at once";
    }
    EXPECT_NE(seen[0].header.Data, seen[1].header.Data);
    EXPECT_NE(seen[1].header.Data, seen[2].header.Data);
    EXPECT_NE(seen[0].header.Data, seen[2].header.Data);
    // The driver fills only 100 frames of every read asked from now on; the
    // three reads already asked come back whole.
    watch.ShortenReadsTo(400);
    RampFollower ramp;
    Destinations block(2, 512);
    for (int n = 0; n < 6; ++n) {
        block.Fill(0x7777);
        ASSERT_EQ(DeliverNext(endpoint, block), S_OK) << "read " << n;
        ASSERT_TRUE(ramp.Continues(block, n < 3 ? 512 : 100)) << "read " << n;
    }
}

// A read the pin has not given back is not delivered: the host's buffers
// stay as they are until the engine decides (silence, counted as a miss or
// not), and the read is delivered once it comes.
TEST_F(CapturePathTest, AReadNotYetArrivedIsNotDelivered)
{
    CCaptureEndpoint& endpoint = Open(ConfigText().In("Mic", 2), RoomyCapture("Mic"));
    // Paused, the device fills nothing.
    ASSERT_EQ(endpoint.SetState(KSSTATE_PAUSE), S_OK);
    ASSERT_TRUE(endpoint.PrepareStream(512, 2));
    ASSERT_EQ(endpoint.AskForAll(), S_OK);
    EXPECT_EQ(Sim().PendingRequestCount(), 3);
    EXPECT_EQ(endpoint.Held(), 3);
    EXPECT_FALSE(endpoint.HasArrived());
    Destinations block(2, 512, 0x5A5A);
    EXPECT_EQ(endpoint.Deliver(block.Pointers()), E_PENDING);
    EXPECT_EQ(block.Channel(0), std::vector<int16_t>(512, 0x5A5A));
    endpoint.Silence(block.Pointers());
    EXPECT_EQ(block.Channel(1), std::vector<int16_t>(512, 0));
    EXPECT_EQ(endpoint.Counters().missedBlocks.load(), 0);
    block.Fill(0x5A5A);
    endpoint.Miss(block.Pointers());
    EXPECT_EQ(block.Channel(0), std::vector<int16_t>(512, 0));
    EXPECT_EQ(endpoint.Counters().missedBlocks.load(), 1);
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    RampFollower ramp;
    for (int n = 0; n < 4; ++n) {
        ASSERT_EQ(DeliverNext(endpoint, block), S_OK) << "read " << n;
        ASSERT_TRUE(ramp.Continues(block)) << "read " << n;
    }
}

TEST_F(CapturePathTest, ARangeWithMoreChannelsThanTheSettingsDeliversTheSettingsChannels)
{
    CCaptureEndpoint& endpoint = Open(ConfigText().In("Mic", 1));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    ASSERT_TRUE(endpoint.PrepareStream(512, 2));
    StreamRequestWatch watch;
    ASSERT_EQ(endpoint.AskForAll(), S_OK);
    ASSERT_FALSE(watch.Seen().empty());
    EXPECT_EQ(watch.Seen()[0].header.FrameExtent, 2048u) << "512 stereo frames from the pin";
    RampFollower ramp;
    Destinations block(1, 512);
    for (int n = 0; n < 20; ++n) {
        ASSERT_EQ(DeliverNext(endpoint, block), S_OK);
        ASSERT_TRUE(ramp.Continues(block)) << "read " << n;
    }
}

// Channels of the settings that the pin does not have are silent; a channel
// without a host buffer is left out.
TEST_F(CapturePathTest, ChannelsTheDeviceDoesNotHaveAreSilentAndChannelsWithoutABufferAreLeftOut)
{
    CCaptureEndpoint& endpoint = Open(ConfigText().In("Mic", 3));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    ASSERT_TRUE(endpoint.PrepareStream(512, 2));
    ASSERT_EQ(endpoint.AskForAll(), S_OK);
    RampFollower ramp;
    Destinations block(3, 512);
    ASSERT_EQ(DeliverNext(endpoint, block), S_OK);
    ASSERT_TRUE(ramp.Continues(block, 512, 2));
    EXPECT_EQ(block.Channel(2), std::vector<int16_t>(512, 0));
    Destinations partial(3, 512);
    partial.Leave(1);
    ASSERT_EQ(DeliverNext(endpoint, partial), S_OK);
    ASSERT_TRUE(ramp.Continues(partial, 512, 1));
    EXPECT_EQ(partial.Channel(1), std::vector<int16_t>(512, 0x7777));
    EXPECT_EQ(partial.Channel(2), std::vector<int16_t>(512, 0));
}

TEST_F(CapturePathTest, PinsAtOtherDepthsDeliverSixteenBitSamples)
{
    // The extensible request names 16 valid bits, more than 8 hold; the pin
    // refuses it, and refuses looped streaming too, so an 8-bit pin opens on
    // the third attempt (plain PCM, standard streaming).
    kssim::DeviceModel model = SimCapture("Mic", 2, 8, 32);
    model.pins[0].acceptsLooped = false;
    for (int bits : {8, 24, 32}) {
        SCOPED_TRACE(bits);
        CCaptureEndpoint& endpoint = Open(ConfigText().In("Mic", 2), model, 44100.0, bits);
        Sim().SetClockMode(kssim::ClockMode::Fast);
        ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
        ASSERT_TRUE(endpoint.PrepareStream(300, 2));
        StreamRequestWatch watch;
        ASSERT_EQ(endpoint.AskForAll(), S_OK);
        ASSERT_FALSE(watch.Seen().empty());
        EXPECT_EQ(watch.Seen()[0].header.FrameExtent, 300u * 2u * static_cast<unsigned>(bits / 8));
        RampFollower ramp(bits);
        Destinations block(2, 300);
        for (int n = 0; n < 50; ++n) {
            ASSERT_EQ(DeliverNext(endpoint, block), S_OK);
            ASSERT_TRUE(ramp.Continues(block)) << "read " << n;
        }
    }
}

TEST_F(CapturePathTest, ARefusedReadAnswersNegative)
{
    CCaptureEndpoint& endpoint = Open(ConfigText().In("Mic", 2));
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    ASSERT_TRUE(endpoint.PrepareStream(512, 2));
    Sim().SetStreamFault(CapturePath("Mic"), 0, kssim::StreamFault::Fail);
    KsTraceLevelGuard level(1);
    TraceCapture trace;
    EXPECT_EQ(endpoint.AskForAll(), E_FAIL);
    EXPECT_TRUE(trace.Contains("DeviceIoControl Failed!  Error=0x0000001f"));
    EXPECT_EQ(endpoint.Counters().failedRequests.load(), 1);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    EXPECT_FALSE(endpoint.HasArrived());
    Destinations block(2, 512, 0x1234);
    EXPECT_EQ(endpoint.Deliver(block.Pointers()), E_PENDING);
    EXPECT_EQ(block.Channel(0), std::vector<int16_t>(512, 0x1234));
}

TEST_F(CapturePathTest, ARemovedDeviceFailsItsReadsWithoutHangingTheCaller)
{
    CCaptureEndpoint& endpoint = Open(ConfigText().In("Mic", 2), RoomyCapture("Mic"));
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    ASSERT_TRUE(endpoint.PrepareStream(128, 2));
    ASSERT_EQ(endpoint.AskForAll(), S_OK);
    std::atomic<int> reads{0};
    HRESULT failure = S_OK;
    std::thread reader([&] {
        Destinations block(2, 128);
        for (int n = 0; n < 100000; ++n) {
            const HRESULT hr = DeliverNext(endpoint, block, 1000);
            if (FAILED(hr)) {
                failure = hr;
                return;
            }
            ++reads;
        }
    });
    while (reads < 20) {
        Sleep(1);
    }
    Sim().RemoveDevice(CapturePath("Mic"));
    // A reader waiting for the removed device would never come back; the
    // join returning is the check.
    reader.join();
    EXPECT_TRUE(FAILED(failure));
    EXPECT_NE(failure, HRESULT_FROM_WIN32(ERROR_TIMEOUT)) << "the removal must end the reads, not a time-out";
    EXPECT_GE(endpoint.Counters().failedRequests.load(), 1);
    m_set->CloseCapture();
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("Mic"), 0), 0);
}

TEST_F(CapturePathTest, ClosingTakesBackTheReadsThePinHolds)
{
    CCaptureEndpoint& endpoint = Open(ConfigText().In("Mic", 2), RoomyCapture("Mic"));
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    Sim().SetStreamFault(CapturePath("Mic"), 0, kssim::StreamFault::NeverComplete);
    Sim().SetCancelDelay(CapturePath("Mic"), 0, 200);
    ASSERT_TRUE(endpoint.PrepareStream(512, 3));
    ASSERT_EQ(endpoint.AskForAll(), S_OK);
    EXPECT_EQ(Sim().PendingRequestCount(), 4);
    TraceCapture trace;
    m_set->CloseCapture();
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("Mic"), 0), 0);
    for (const std::string& line : trace.Lines()) {
        EXPECT_EQ(line.find("did not give back"), std::string::npos) << line;
    }
}

// Reads the pin kept from an earlier stream are taken back before the slots
// are made anew: nothing of them reaches the next stream.
TEST_F(CapturePathTest, ANewStreamTakesBackTheReadsAnEarlierOneLeftWithThePin)
{
    CCaptureEndpoint& endpoint = Open(ConfigText().In("Mic", 1), RoomyCapture("Mic"));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    Sim().SetStreamFault(CapturePath("Mic"), 0, kssim::StreamFault::NeverComplete);
    ASSERT_TRUE(endpoint.PrepareStream(512, 2));
    ASSERT_EQ(endpoint.AskForAll(), S_OK);
    EXPECT_EQ(endpoint.Held(), 3);
    EXPECT_FALSE(endpoint.HasArrived());
    Sim().SetStreamFault(CapturePath("Mic"), 0, kssim::StreamFault::None);
    ASSERT_TRUE(endpoint.PrepareStream(512, 2));
    EXPECT_EQ(endpoint.Held(), 0);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    ASSERT_EQ(endpoint.AskForAll(), S_OK);
    RampFollower ramp;
    Destinations block(1, 512);
    for (int n = 0; n < 4; ++n) {
        ASSERT_EQ(DeliverNext(endpoint, block), S_OK);
        ASSERT_TRUE(ramp.Continues(block)) << "read " << n;
    }
}

// A resampled device 1000 ppm fast is asked for reads as long as one host
// block lasts at its ratio, so that what it recorded reaches the host block
// after block, whole: the host's frames run the ramp at the device's pace,
// the queue of resampled frames stays a few frames long, and the device
// frames taken match the host frames given.
TEST_F(CapturePathTest, AResampledDeviceIsAskedForTheFramesOfOneHostBlockAtItsRatio)
{
    constexpr int32_t kFrames = 512;
    constexpr int kBlocks = 300;
    constexpr double kDeviceFramesPerHostFrame = 1.001;
    CCaptureEndpoint& endpoint = Open(ConfigText().In("Mic", 2));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    ASSERT_TRUE(endpoint.PrepareStream(kFrames, 2, nullptr, SampleFormat::Int16, true));
    ASSERT_EQ(endpoint.AskForAll(), S_OK);
    endpoint.StartResampling();
    endpoint.SetRatio(1.0 / kDeviceFramesPerHostFrame);
    Destinations block(2, kFrames);
    double slopes = 0.0;
    int sloped = 0;
    for (int n = 0; n < kBlocks; ++n) {
        ASSERT_EQ(DeliverNext(endpoint, block), S_OK) << "read " << n;
        ASSERT_GE(endpoint.Waiting(), 0.0) << "read " << n;
        ASSERT_LE(endpoint.Waiting(), 8.0) << "read " << n;
        // The ramp's slope over the block, where it passes no wrap (the
        // resampler's filter rings there).
        const auto first = static_cast<uint16_t>(block.Channel(0).front());
        const auto last = static_cast<uint16_t>(block.Channel(0).back());
        if (n > 4 && first % 32768 > 4096 && last % 32768 < 28672 && last > first) {
            slopes += (last - first) / static_cast<double>(kFrames - 1);
            ++sloped;
        }
    }
    EXPECT_EQ(endpoint.Counters().missedBlocks.load(), 0);
    ASSERT_GT(sloped, kBlocks / 2);
    EXPECT_NEAR(slopes / sloped, kDeviceFramesPerHostFrame, 3e-4);  // ends rounded to whole steps
    int64_t position = 0, taken = 0;
    ASSERT_TRUE(endpoint.ReadProgress(&position, &taken));
    // What the resampler and the queue hold besides: its delay and a few frames.
    EXPECT_NEAR(static_cast<double>(taken) / kDeviceFramesPerHostFrame, kBlocks * kFrames, 64.0);
}

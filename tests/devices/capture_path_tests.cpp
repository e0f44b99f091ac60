#include "device_test_support.h"

#include "ks_trace_level_guard.h"
#include "trace_capture.h"

#include <windows.h>

#include <atomic>
#include <thread>

namespace {

constexpr uint32_t kLongWaitMs = 5000;

// Follows the generator's ramp over consecutive reads: channel c of frame n
// holds n + 0x1000 * c (16 bits).
class RampFollower {
public:
    explicit RampFollower(uint16_t channels) : m_channels(channels) {}

    // Checks that the block holds frames continuing the ramp; the first block
    // sets where it starts.
    ::testing::AssertionResult Continues(const std::vector<int16_t>& block)
    {
        for (size_t f = 0; f < block.size() / m_channels; ++f) {
            const auto first = static_cast<uint16_t>(block[f * m_channels]);
            if (!m_started) {
                m_next = first;
                m_started = true;
            }
            for (uint16_t c = 0; c < m_channels; ++c) {
                const auto expected = static_cast<uint16_t>(m_next + 0x1000 * c);
                const auto actual = static_cast<uint16_t>(block[f * m_channels + c]);
                if (actual != expected) {
                    return ::testing::AssertionFailure() << "frame " << f << " channel " << c << ": " << actual
                                                         << " instead of " << expected;
                }
            }
            ++m_next;
        }
        return ::testing::AssertionSuccess();
    }

private:
    uint16_t m_channels;
    uint16_t m_next = 0;
    bool m_started = false;
};

// Every frame of the block is one ramp frame (channels in step), wherever it starts.
::testing::AssertionResult IsRampSegment(const std::vector<int16_t>& block, uint16_t channels)
{
    RampFollower follower(channels);
    return follower.Continues(block);
}

class CapturePathTest : public DeviceSetTest {
protected:
    AsioAudioDevice& Open(ConfigText config, kssim::DeviceModel model = SimCapture("Mic"))
    {
        m_device.reset();
        Sim().Reset({model});
        WriteConfig(config);
        AsioAudioDevice& device = MakeDevice();
        EXPECT_TRUE(device.OpenCaptureDevices());
        return device;
    }

    int32_t Read(std::vector<int16_t>& block, uint32_t timeoutMs)
    {
        return m_device->ReadCaptureDevice(0, block.data(), static_cast<uint32_t>(block.size() * 2), timeoutMs);
    }
};

kssim::DeviceModel RoomyCapture(const std::string& name, ULONG channels = 2, ULONG minimumBits = 16,
                                ULONG maximumBits = 16)
{
    kssim::DeviceModel model = SimCapture(name, channels, minimumBits, maximumBits);
    model.deviceBufferMs = 500;  // no frame lost to a slow test thread
    return model;
}

}  // namespace

TEST_F(CapturePathTest, ReadsDeliverTheRampWithoutGapsOrRepeatsAcross1000Reads)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 2));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    device.SetCaptureState(KSSTATE_RUN);
    RampFollower ramp(2);
    std::vector<int16_t> block(512 * 2);
    for (int n = 0; n < 1000; ++n) {
        std::fill(block.begin(), block.end(), static_cast<int16_t>(0x7777));
        ASSERT_EQ(Read(block, kLongWaitMs), 0) << "read " << n;
        ASSERT_TRUE(ramp.Continues(block)) << "read " << n;
    }
}

TEST_F(CapturePathTest, ReadsAtTheDevicesPaceDeliverTheRampWithoutGaps)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 2).Default("SampleRate", "48000").Default("BlockFrames", "96"),
                                   RoomyCapture("Mic"));
    device.SetCaptureState(KSSTATE_RUN);
    RampFollower ramp(2);
    std::vector<int16_t> block(96 * 2);
    for (int n = 0; n < 300; ++n) {
        ASSERT_EQ(Read(block, kLongWaitMs), 0) << "read " << n;
        ASSERT_TRUE(ramp.Continues(block)) << "read " << n;
    }
}

TEST_F(CapturePathTest, TheRequestTellsWhatArrived)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 2));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    device.SetCaptureState(KSSTATE_RUN);
    std::vector<int16_t> block(512 * 2);
    ASSERT_EQ(Read(block, kLongWaitMs), 0);
    const KSSTREAM_HEADER& header = g_captureRequests[0].header;
    EXPECT_EQ(header.Size, sizeof(KSSTREAM_HEADER));
    EXPECT_EQ(header.FrameExtent, 2048u);
    EXPECT_EQ(header.DataUsed, 2048u);
    EXPECT_EQ(header.Data, block.data());
    EXPECT_EQ(header.OptionsFlags, 0u);
    EXPECT_EQ(header.PresentationTime.Numerator, 0u);
    EXPECT_EQ(header.PresentationTime.Denominator, 0u);
}

TEST_F(CapturePathTest, AnIndexWithoutAnOpenDeviceSubmitsNothing)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 2));
    device.SetCaptureState(KSSTATE_RUN);
    std::vector<int16_t> block(1024);
    EXPECT_EQ(device.ReadCaptureDevice(1, block.data(), 2048, 0), static_cast<int32_t>(E_FAIL));
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

TEST_F(CapturePathTest, AReadWithoutWaitReturnsAtOnceAndIsTakenBackBeforeTheNextRead)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 2).Default("SampleRate", "48000"), RoomyCapture("Mic"));
    // Paused, the device fills nothing: a read without wait is late however
    // long the machine took since the pin was made.
    device.SetCaptureState(KSSTATE_PAUSE);
    std::vector<int16_t> early(512 * 2, 0x5A5A);
    EXPECT_EQ(Read(early, 0), AsioAudioDevice::kCaptureReadLate) << "a read that missed its wait delivered nothing";
    device.SetCaptureState(KSSTATE_RUN);
    std::vector<int16_t> next(512 * 2);
    ASSERT_EQ(Read(next, kLongWaitMs), 0);
    EXPECT_TRUE(IsRampSegment(next, 2));
    // From here the early buffer belongs to nobody: nothing writes into it.
    const std::vector<int16_t> snapshot = early;
    RampFollower ramp(2);
    ASSERT_TRUE(ramp.Continues(next));
    for (int n = 0; n < 5; ++n) {
        ASSERT_EQ(Read(next, kLongWaitMs), 0);
        ASSERT_TRUE(ramp.Continues(next)) << "read " << n;
    }
    Sleep(30);
    EXPECT_EQ(early, snapshot);
}

TEST_F(CapturePathTest, TimedOutReadsNeverCorruptALaterBuffer)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 2).Default("SampleRate", "48000").Default("BlockFrames", "256"),
                                   RoomyCapture("Mic"));
    device.SetCaptureState(KSSTATE_RUN);
    std::vector<std::vector<int16_t>> buffers(4, std::vector<int16_t>(256 * 2));
    for (int round = 0; round < 40; ++round) {
        std::vector<int16_t>& timedOut = buffers[static_cast<size_t>(round % 4)];
        std::vector<int16_t>& complete = buffers[static_cast<size_t>((round + 1) % 4)];
        std::fill(timedOut.begin(), timedOut.end(), static_cast<int16_t>(-1));
        // Within 1 ms the read may or may not have completed.
        const int32_t first = Read(timedOut, 1);
        ASSERT_TRUE(first == 0 || first == AsioAudioDevice::kCaptureReadLate) << first;
        ASSERT_EQ(Read(complete, kLongWaitMs), 0);
        ASSERT_TRUE(IsRampSegment(complete, 2)) << "round " << round;
        const std::vector<int16_t> kept = complete;
        ASSERT_EQ(Read(buffers[static_cast<size_t>((round + 2) % 4)], kLongWaitMs), 0);
        ASSERT_EQ(complete, kept) << "round " << round;
    }
}

TEST_F(CapturePathTest, ARangeWithMoreChannelsThanTheSettingsDeliversTheSettingsChannels)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 1));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    device.SetCaptureState(KSSTATE_RUN);
    RampFollower ramp(1);
    std::vector<int16_t> block(512, 0x7777);
    for (int n = 0; n < 20; ++n) {
        ASSERT_EQ(Read(block, kLongWaitMs), 0);
        ASSERT_TRUE(ramp.Continues(block)) << "read " << n;
    }
    EXPECT_EQ(g_captureRequests[0].header.FrameExtent, 2048u) << "512 stereo frames from the pin";
}

TEST_F(CapturePathTest, ChannelsTheDeviceDoesNotHaveAreSilent)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 3));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    device.SetCaptureState(KSSTATE_RUN);
    std::vector<int16_t> block(512 * 3, 0x7777);
    ASSERT_EQ(Read(block, kLongWaitMs), 0);
    std::vector<int16_t> stereo;
    for (size_t f = 0; f < 512; ++f) {
        stereo.push_back(block[f * 3]);
        stereo.push_back(block[f * 3 + 1]);
        ASSERT_EQ(block[f * 3 + 2], 0) << "frame " << f;
    }
    EXPECT_TRUE(IsRampSegment(stereo, 2));
}

TEST_F(CapturePathTest, PinsAtOtherDepthsDeliverSixteenBitSamples)
{
    for (int bits : {24, 32}) {
        SCOPED_TRACE(bits);
        AsioAudioDevice& device =
            Open(ConfigText().In("Mic", 2).Default("BitSpersample", std::to_string(bits)), SimCapture("Mic", 2, 8, 32));
        Sim().SetClockMode(kssim::ClockMode::Fast);
        device.SetCaptureState(KSSTATE_RUN);
        RampFollower ramp(2);
        std::vector<int16_t> block(512 * 2);
        for (int n = 0; n < 50; ++n) {
            ASSERT_EQ(Read(block, kLongWaitMs), 0);
            ASSERT_TRUE(ramp.Continues(block)) << "read " << n;
        }
        EXPECT_EQ(g_captureRequests[0].header.FrameExtent, 512u * 2u * static_cast<unsigned>(bits / 8));
    }
}

TEST_F(CapturePathTest, EightBitPinsDeliverTheirTopByte)
{
    // The extensible request names 16 valid bits, more than 8 hold; the pin
    // refuses it, and refuses looped streaming too, so the third attempt
    // (plain PCM, standard streaming) opens it.
    kssim::DeviceModel model = SimCapture("Mic", 2, 8, 16);
    model.pins[0].acceptsLooped = false;
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 2).Default("BitSpersample", "8"), model);
    Sim().SetClockMode(kssim::ClockMode::Fast);
    device.SetCaptureState(KSSTATE_RUN);
    std::vector<int16_t> block(300 * 2);
    ASSERT_EQ(Read(block, kLongWaitMs), 0);
    // The 8-bit ramp: channel c of frame n is (n + 0x10 c) mod 256, unsigned.
    const auto first = static_cast<uint8_t>(block[0] / 256 + 128);
    for (size_t f = 0; f < 300; ++f) {
        for (size_t c = 0; c < 2; ++c) {
            const auto u = static_cast<uint8_t>(first + f + 0x10 * c);
            ASSERT_EQ(block[f * 2 + c], static_cast<int16_t>((u - 128) * 256)) << f << "/" << c;
        }
    }
}

TEST_F(CapturePathTest, MissingPinBufferOrRequestIsAFailure)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 2));
    CaptureDeviceRecord& record = *device.GetCaptureDevice(0);
    std::vector<int16_t> block(1024);
    TraceCapture trace;
    EXPECT_EQ(device.PinReadData(nullptr, record.stream, 0, block.data(), 2048, 0), static_cast<int32_t>(E_POINTER));
    EXPECT_EQ(device.PinReadData(record.pin, record.stream, 0, nullptr, 2048, 0), static_cast<int32_t>(E_POINTER));
    EXPECT_EQ(device.PinReadData(record.pin, record.stream, 32, block.data(), 2048, 0),
              static_cast<int32_t>(E_INVALIDARG));
    EXPECT_EQ(trace.Lines(),
              (std::vector<std::string>{"[TELVARA]Error: PinReadData->CapPin Allocation failure.  hr = 0x80004003\n\n",
                                        "[TELVARA]Error: PinReadData->pBuffer Allocation failure.  hr = 0x80004003\n\n",
                                        "[TELVARA]Error: PinReadData->capture request missing.  hr = 0x80070057\n\n"}));
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

TEST_F(CapturePathTest, ARequestWithoutItsEventIsNotSubmitted)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 2));
    HANDLE saved = g_captureRequests[0].overlapped.hEvent;
    g_captureRequests[0].overlapped.hEvent = nullptr;
    std::vector<int16_t> block(1024);
    EXPECT_EQ(device.ReadCaptureDevice(0, block.data(), 2048, 0), static_cast<int32_t>(E_INVALIDARG));
    g_captureRequests[0].overlapped.hEvent = saved;
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

TEST_F(CapturePathTest, ARefusedReadAnswersNegative)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 2));
    device.SetCaptureState(KSSTATE_RUN);
    Sim().SetStreamFault(CapturePath("Mic"), 0, kssim::StreamFault::Fail);
    KsTraceLevelGuard level(1);
    TraceCapture trace;
    std::vector<int16_t> block(1024, 0x1234);
    EXPECT_EQ(Read(block, kLongWaitMs), static_cast<int32_t>(E_FAIL));
    EXPECT_TRUE(trace.Contains("DeviceIoControl Failed!  Error=0x0000001f"));
    EXPECT_EQ(block, std::vector<int16_t>(1024, 0x1234));
}

TEST_F(CapturePathTest, ARemovedDeviceFailsItsReadsWithoutHangingTheCaller)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 2).Default("BlockFrames", "128"), RoomyCapture("Mic"));
    device.SetCaptureState(KSSTATE_RUN);
    std::atomic<int> reads{0};
    std::atomic<int32_t> failure{0};
    std::thread reader([&] {
        std::vector<int16_t> block(256);
        for (int n = 0; n < 100000; ++n) {
            const int32_t result = Read(block, 1000);
            if (result < 0) {
                failure = result;
                return;
            }
            ++reads;
        }
    });
    while (reads < 20) {
        Sleep(1);
    }
    Sim().RemoveDevice(CapturePath("Mic"));
    reader.join();
    EXPECT_LT(failure.load(), 0);
    device.CloseCaptureDevices();
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

TEST_F(CapturePathTest, ClosingTakesBackAReadThatTimedOut)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 2), RoomyCapture("Mic"));
    device.SetCaptureState(KSSTATE_RUN);
    Sim().SetStreamFault(CapturePath("Mic"), 0, kssim::StreamFault::NeverComplete);
    std::vector<int16_t> block(1024, 0x4242);
    EXPECT_EQ(Read(block, 10), AsioAudioDevice::kCaptureReadLate);
    EXPECT_EQ(Sim().PendingRequestCount(), 1);
    TraceCapture trace;
    device.CloseCaptureDevices();
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("Mic"), 0), 0);
    for (const std::string& line : trace.Lines()) {
        EXPECT_EQ(line.find("did not give back"), std::string::npos) << line;
    }
}

TEST_F(CapturePathTest, AReadHeldByThePinIsCancelledBeforeItsRequestIsUsedAgain)
{
    AsioAudioDevice& device = Open(ConfigText().In("Mic", 1), RoomyCapture("Mic"));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    device.SetCaptureState(KSSTATE_RUN);
    Sim().SetStreamFault(CapturePath("Mic"), 0, kssim::StreamFault::NeverComplete);
    std::vector<int16_t> held(512, 0x4242);
    EXPECT_EQ(Read(held, 10), AsioAudioDevice::kCaptureReadLate);
    Sim().SetStreamFault(CapturePath("Mic"), 0, kssim::StreamFault::None);
    std::vector<int16_t> block(512);
    ASSERT_EQ(Read(block, kLongWaitMs), 0);
    EXPECT_TRUE(IsRampSegment(block, 1));
    EXPECT_EQ(held, std::vector<int16_t>(512, 0x4242)) << "a read that never completed delivers nothing";
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

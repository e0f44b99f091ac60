// Stream requests: render bytes, capture signals, pin states, pacing,
// looped streaming and the render WAV file.

#include "kssim_test_support.h"
#include "trace_capture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

using namespace kssimtest;

namespace {

class Streaming : public SimulationTest {
protected:
    HANDLE Open(const kssim::DeviceModel& device, const WAVEFORMATEX& format, bool looped = false)
    {
        Sim().Reset({device});
        m_filter = OpenFilter(device.devicePath);
        m_pin = OpenPin(m_filter, 0, format, looped);
        return m_pin;
    }
    void ClosePin()
    {
        if (m_pin) {
            EXPECT_TRUE(KsSystem::CloseHandle(m_pin));
            m_pin = nullptr;
        }
    }
    void TearDown() override
    {
        ClosePin();
        if (m_filter && m_filter != INVALID_HANDLE_VALUE) {
            KsSystem::CloseHandle(m_filter);
        }
        SimulationTest::TearDown();
    }
    HANDLE m_filter = nullptr;
    HANDLE m_pin = nullptr;
};

// Bytes no two requests share, so order and content both show.
void Fill(std::vector<uint8_t>& data, uint32_t seed)
{
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
}

int64_t Ticks()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double MillisecondsSince(int64_t start)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(Ticks() - start) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Checks that a 16-bit stereo capture block continues the ramp at frame
// `frame`; answers the frame after it.
uint32_t ExpectStereoRamp(const std::vector<uint8_t>& data, uint32_t frame)
{
    for (size_t f = 0; f < data.size() / 4; ++f, ++frame) {
        const uint16_t left = Sample16(data, 2 * f);
        const uint16_t right = Sample16(data, 2 * f + 1);
        if (left != static_cast<uint16_t>(frame) || right != static_cast<uint16_t>(frame + 0x1000)) {
            ADD_FAILURE() << "frame " << frame << ": " << left << "/" << right;
            return frame;
        }
    }
    return frame;
}

std::vector<uint8_t> ReadOnce(HANDLE pin, size_t bytes)
{
    StreamRequest read(bytes);
    EXPECT_EQ(read.Read(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(read.Done(5000));
    EXPECT_EQ(read.header.DataUsed, bytes);
    return read.data;
}

std::vector<uint8_t> Joined(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    std::vector<uint8_t> joined(a.size() + b.size());
    std::copy(a.begin(), a.end(), joined.begin());
    std::copy(b.begin(), b.end(), joined.begin() + static_cast<ptrdiff_t>(a.size()));
    return joined;
}

uint32_t U32(const std::vector<uint8_t>& bytes, size_t at)
{
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

}  // namespace

TEST_F(Streaming, FastModeRenderKeepsEveryByteInOrder)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    std::vector<uint8_t> expected;
    for (uint32_t i = 0; i < 200; ++i) {
        StreamRequest write(512 + (i % 3) * 4);
        Fill(write.data, i);
        ASSERT_EQ(write.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
        // Fast mode completes before DeviceIoControl returns.
        ASSERT_TRUE(write.Done(0));
        EXPECT_EQ(write.Status(), 0);
        EXPECT_EQ(write.overlapped.InternalHigh, sizeof(KSSTREAM_HEADER));
        EXPECT_EQ(write.header.DataUsed, write.data.size());
        EXPECT_EQ(write.Result(), static_cast<DWORD>(ERROR_SUCCESS));
        expected.insert(expected.end(), write.data.begin(), write.data.end());
    }
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0), expected);
    Sim().ClearRendered(kRenderPath, 0);
    EXPECT_TRUE(Sim().RenderedBytes(kRenderPath, 0).empty());
}

TEST_F(Streaming, RealTimeRenderCompletesInOrderAndKeepsEveryByte)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    std::vector<std::unique_ptr<StreamRequest>> ring;
    std::vector<uint8_t> expected;
    uint32_t submitted = 0;
    auto submit = [&](StreamRequest& request) {
        Fill(request.data, submitted++);
        ASSERT_EQ(request.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
        expected.insert(expected.end(), request.data.begin(), request.data.end());
    };
    for (int i = 0; i < 4; ++i) {
        // 10 ms each: a queue that ran dry would now put silence into the
        // record, so the test keeps 40 ms queued.
        ring.push_back(std::make_unique<StreamRequest>(1920));
        submit(*ring.back());
    }
    EXPECT_EQ(Sim().PendingRequestCount(), 4);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    for (int k = 0; k < 100; ++k) {
        // The oldest request is always the first of those outstanding to complete.
        HANDLE events[4];
        const int outstanding = std::min(4, 100 - k);
        for (int i = 0; i < outstanding; ++i) {
            events[i] = ring[(k + i) % 4]->event;
        }
        ASSERT_EQ(WaitForMultipleObjects(outstanding, events, FALSE, 5000), WAIT_OBJECT_0) << "request " << k;
        StreamRequest& done = *ring[k % 4];
        EXPECT_EQ(done.Status(), 0);
        if (k < 96) {
            submit(done);
        }
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(ring[i]->Done(5000));
    }
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0), expected);
    EXPECT_EQ(Sim().UnderrunFrames(kRenderPath, 0), 0);
}

TEST_F(Streaming, ARenderQueueThatRunsDryPlaysCountedSilenceIntoTheRecord)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    StreamRequest first(960);  // 5 ms
    Fill(first.data, 1);
    ASSERT_EQ(first.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(first.Done(5000));
    EXPECT_EQ(Sim().UnderrunFrames(kRenderPath, 0), 0);
    Sleep(100);
    StreamRequest second(960);
    Fill(second.data, 2);
    ASSERT_EQ(second.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(second.Done(5000));
    const int64_t silent = Sim().UnderrunFrames(kRenderPath, 0);
    // At least 100 ms less the 5 ms block and the 10 ms device buffer ran dry.
    EXPECT_GE(silent, 85 * 48);
    const std::vector<uint8_t> played = Sim().RenderedBytes(kRenderPath, 0);
    ASSERT_EQ(played.size(), 2 * 960 + static_cast<size_t>(silent) * 4);
    EXPECT_TRUE(std::equal(first.data.begin(), first.data.end(), played.begin()));
    EXPECT_TRUE(std::all_of(played.begin() + 960, played.end() - 960, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(second.data.begin(), second.data.end(), played.end() - 960));
    EXPECT_EQ(Sim().OverrunFrames(kRenderPath, 0), 0);
}

TEST_F(Streaming, RequestsWaitForRunAndStopCancelsThem)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    StreamRequest first(400), second(400);
    Fill(first.data, 1);
    Fill(second.data, 2);
    ASSERT_EQ(first.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(second.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(first.Status(), kStatusPending);
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE}) {
        ASSERT_TRUE(SetState(m_pin, state).ok);
        EXPECT_FALSE(first.Done(0));
        EXPECT_FALSE(second.Done(0));
    }
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    // Completed by the time the state request returns.
    EXPECT_TRUE(first.Done(0));
    EXPECT_TRUE(second.Done(0));
    std::vector<uint8_t> expected = first.data;
    expected.insert(expected.end(), second.data.begin(), second.data.end());
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0), expected);

    ASSERT_TRUE(SetState(m_pin, KSSTATE_PAUSE).ok);
    ASSERT_EQ(first.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(second.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(SetState(m_pin, KSSTATE_STOP).ok);
    for (StreamRequest* request : {&first, &second}) {
        EXPECT_TRUE(request->Done(0));
        EXPECT_EQ(request->Status(), kStatusCancelled);
        EXPECT_EQ(request->Result(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    }
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0), expected);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

TEST_F(Streaming, RealTimeClockStandsStillOutsideRun)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    StreamRequest write(192);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_PAUSE).ok);
    ASSERT_EQ(write.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(write.Done(100));
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    EXPECT_TRUE(write.Done(5000));
}

TEST_F(Streaming, FastModeCaptureRampHasNoGapsOrRepeats)
{
    Open(WideCaptureDevice(), PcmFormat(2, 48000, 16));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    std::vector<std::unique_ptr<StreamRequest>> reads;
    for (int i = 0; i < 3; ++i) {
        reads.push_back(std::make_unique<StreamRequest>(400));
        ASSERT_EQ(reads.back()->Read(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    uint32_t frame = 0;
    for (int k = 0; k < 100; ++k) {
        StreamRequest& read = *reads[k % 3];
        ASSERT_TRUE(read.Done(0));
        EXPECT_EQ(read.header.DataUsed, 400u);
        EXPECT_EQ(read.overlapped.InternalHigh, sizeof(KSSTREAM_HEADER));
        frame = ExpectStereoRamp(read.data, frame);
        std::fill(read.data.begin(), read.data.end(), 0xEE);
        ASSERT_EQ(read.Read(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    EXPECT_EQ(frame, 100u * 100u);
}

TEST_F(Streaming, RealTimeCaptureRampHasNoGapsWhileReadsStayQueued)
{
    kssim::DeviceModel device = WideCaptureDevice();
    device.deviceBufferMs = 200;  // generous, so a slow test machine cannot lose frames
    Open(device, PcmFormat(2, 48000, 16));
    std::vector<std::unique_ptr<StreamRequest>> reads;
    for (int i = 0; i < 4; ++i) {
        reads.push_back(std::make_unique<StreamRequest>(960));  // 5 ms
        ASSERT_EQ(reads.back()->Read(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    uint32_t frame = 0;
    for (int k = 0; k < 40; ++k) {
        HANDLE events[4];
        for (int i = 0; i < 4; ++i) {
            events[i] = reads[(k + i) % 4]->event;
        }
        ASSERT_EQ(WaitForMultipleObjects(4, events, FALSE, 5000), WAIT_OBJECT_0) << "read " << k;
        StreamRequest& read = *reads[k % 4];
        frame = ExpectStereoRamp(read.data, frame);
        ASSERT_EQ(read.Read(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    EXPECT_EQ(frame, 40u * 240u);
}

TEST_F(Streaming, CaptureLosesFramesWhenNoReadWaitsLongerThanTheDeviceBuffer)
{
    kssim::DeviceModel device = WideCaptureDevice();
    device.deviceBufferMs = 10;
    // 8 kHz: the 16-bit ramp takes 8 s to wrap, far longer than this test.
    Open(device, PcmFormat(2, 8000, 16));
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    const std::vector<uint8_t> first = ReadOnce(m_pin, 320);
    const uint32_t next = ExpectStereoRamp(first, Sample16(first, 0));
    Sleep(150);
    const std::vector<uint8_t> second = ReadOnce(m_pin, 320);
    const uint16_t resumed = Sample16(second, 0);
    // At least 150 ms passed and the device keeps 10 ms: 140 ms * 8 frames were lost.
    EXPECT_GE(static_cast<uint16_t>(resumed - next), 1000);
    EXPECT_EQ(Sim().OverrunFrames(kCapturePath, 0), static_cast<uint16_t>(resumed - next));
    ExpectStereoRamp(second, resumed);
}

TEST_F(Streaming, RampInEightTwentyFourAndThirtyTwoBitContainers)
{
    Sim().Reset({WideCaptureDevice()});
    Sim().SetClockMode(kssim::ClockMode::Fast);
    m_filter = OpenFilter(kCapturePath);
    auto capture = [&](const WAVEFORMATEX& format, size_t bytes) {
        HANDLE pin = OpenPin(m_filter, 0, format);
        EXPECT_TRUE(SetState(pin, KSSTATE_RUN).ok);
        std::vector<uint8_t> data = ReadOnce(pin, bytes);
        KsSystem::CloseHandle(pin);
        return data;
    };
    const std::vector<uint8_t> mono8 = capture(PcmFormat(1, 48000, 8), 300);
    for (size_t i = 0; i < mono8.size(); ++i) {
        ASSERT_EQ(mono8[i], static_cast<uint8_t>(i)) << i;
    }
    const std::vector<uint8_t> stereo8 = capture(PcmFormat(2, 48000, 8), 600);
    for (size_t f = 0; f < 300; ++f) {
        ASSERT_EQ(stereo8[2 * f], static_cast<uint8_t>(f));
        ASSERT_EQ(stereo8[2 * f + 1], static_cast<uint8_t>(f + 0x10));
    }
    const std::vector<uint8_t> stereo24 = capture(ExtensibleFormat(2, 48000, 24, 16).Format, 6 * 400);
    for (size_t f = 0; f < 400; ++f) {
        const uint32_t right = (f + 0x1000) & 0xFFFF;
        const uint8_t expected[6] = {0, static_cast<uint8_t>(f), static_cast<uint8_t>(f >> 8),
                                     0, static_cast<uint8_t>(right), static_cast<uint8_t>(right >> 8)};
        ASSERT_EQ(std::memcmp(stereo24.data() + 6 * f, expected, 6), 0) << f;
    }
    const std::vector<uint8_t> stereo32 = capture(PcmFormat(2, 48000, 32), 8 * 400);
    for (size_t f = 0; f < 400; ++f) {
        ASSERT_EQ(U32(stereo32, 8 * f), static_cast<uint32_t>(f) << 16);
        ASSERT_EQ(U32(stereo32, 8 * f + 4), static_cast<uint32_t>((f + 0x1000) & 0xFFFF) << 16);
    }
    // The 16-bit counter wraps.
    const std::vector<uint8_t> mono16 = capture(PcmFormat(1, 48000, 16), 2 * 70000);
    EXPECT_EQ(Sample16(mono16, 65535), 65535);
    EXPECT_EQ(Sample16(mono16, 65536), 0);
    EXPECT_EQ(Sample16(mono16, 69999), 69999 - 65536);
}

// 24 valid bits in a 32-bit container hold the ramp as 32 bits do; float
// holds it as a signed 16-bit sample over 32768.
TEST_F(Streaming, RampInTwentyFourInThirtyTwoAndFloatContainers)
{
    kssim::DeviceModel device = WideCaptureDevice();
    kssim::AudioRange floats = device.pins[0].ranges[0];
    floats.subFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    device.pins[0].ranges.push_back(floats);
    Sim().Reset({device});
    Sim().SetClockMode(kssim::ClockMode::Fast);
    m_filter = OpenFilter(kCapturePath);
    const auto capture = [&](const WAVEFORMATEXTENSIBLE& format, bool floatData, size_t bytes) {
        std::vector<uint8_t> block = ConnectBlock(0, format.Format);
        if (floatData) {
            reinterpret_cast<KSDATAFORMAT*>(block.data() + sizeof(KSPIN_CONNECT))->SubFormat =
                KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        }
        HANDLE pin = nullptr;
        EXPECT_EQ(CreatePin(m_filter, block, &pin), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_TRUE(SetState(pin, KSSTATE_RUN).ok);
        std::vector<uint8_t> data = ReadOnce(pin, bytes);
        KsSystem::CloseHandle(pin);
        return data;
    };
    const std::vector<uint8_t> packed = capture(ExtensibleFormat(2, 48000, 32, 24), false, 8 * 70000);
    for (size_t f : {size_t{0}, size_t{1}, size_t{300}, size_t{32767}, size_t{32768}, size_t{65535}, size_t{69999}}) {
        ASSERT_EQ(U32(packed, 8 * f), static_cast<uint32_t>(f & 0xFFFF) << 16) << f;
        ASSERT_EQ(U32(packed, 8 * f + 4), static_cast<uint32_t>((f + 0x1000) & 0xFFFF) << 16) << f;
    }
    WAVEFORMATEXTENSIBLE floatFormat = ExtensibleFormat(2, 48000, 32, 32);
    floatFormat.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    const std::vector<uint8_t> floats32 = capture(floatFormat, true, 8 * 70000);
    for (size_t f : {size_t{0}, size_t{1}, size_t{300}, size_t{32767}, size_t{32768}, size_t{65535}, size_t{69999}}) {
        for (size_t c = 0; c < 2; ++c) {
            float sample;
            std::memcpy(&sample, floats32.data() + 8 * f + 4 * c, 4);
            const auto v = static_cast<int16_t>(static_cast<uint16_t>(f + 0x1000 * c));
            ASSERT_EQ(sample, static_cast<float>(v) / 32768.0f) << f << " channel " << c;
        }
    }
}

TEST_F(Streaming, ReadsThatSplitFramesContinueTheSameStream)
{
    Open(WideCaptureDevice(), ExtensibleFormat(2, 48000, 24, 24).Format);
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    std::vector<uint8_t> pieces;
    for (size_t size : {5, 7, 1, 11, 512, 3}) {
        const std::vector<uint8_t> part = ReadOnce(m_pin, size);
        pieces.insert(pieces.end(), part.begin(), part.end());
    }
    ASSERT_EQ(pieces.size(), 539u);
    for (size_t at = 0; at + 6 <= pieces.size(); at += 6) {
        const size_t f = at / 6;
        const uint32_t right = (f + 0x1000) & 0xFFFF;
        const uint8_t expected[6] = {0, static_cast<uint8_t>(f), static_cast<uint8_t>(f >> 8),
                                     0, static_cast<uint8_t>(right), static_cast<uint8_t>(right >> 8)};
        ASSERT_EQ(std::memcmp(pieces.data() + at, expected, 6), 0) << f;
    }
}

TEST_F(Streaming, ClicksAndSine)
{
    kssim::DeviceModel clicks = WideCaptureDevice();
    clicks.captureSignal = kssim::Signal::Clicks;
    clicks.signalFrequency = 100;
    Open(clicks, PcmFormat(1, 48000, 16));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    std::vector<uint8_t> data = ReadOnce(m_pin, 2 * 1000);
    for (size_t f = 0; f < 1000; ++f) {
        ASSERT_EQ(Sample16(data, f), f % 100 == 0 ? 0x7FFF : 0) << f;
    }
    ClosePin();
    m_pin = OpenPin(m_filter, 0, PcmFormat(1, 48000, 8));
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    data = ReadOnce(m_pin, 300);
    EXPECT_EQ(data[0], 0xFF);
    EXPECT_EQ(data[1], 0x80);
    EXPECT_EQ(data[200], 0xFF);
    ClosePin();
    KsSystem::CloseHandle(m_filter);

    kssim::DeviceModel sine = WideCaptureDevice();
    sine.captureSignal = kssim::Signal::Sine;
    sine.signalFrequency = 1000;
    Open(sine, PcmFormat(2, 48000, 16));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    data = ReadOnce(m_pin, 4 * 48);
    auto left = [&](size_t f) { return static_cast<int16_t>(Sample16(data, 2 * f)); };
    EXPECT_EQ(left(0), 0);
    EXPECT_NEAR(left(12), 16384, 1);   // a quarter period: half scale
    EXPECT_NEAR(left(24), 0, 1);
    EXPECT_NEAR(left(36), -16384, 1);
    EXPECT_NEAR(left(4), std::lround(0.5 * std::sin(2 * 3.14159265358979 * 4 / 48) * 32768), 2);
    EXPECT_EQ(Sample16(data, 25), Sample16(data, 24));  // both channels alike
}

TEST_F(Streaming, CaptureFromAWavFileLoopsAndConvertsTheDepth)
{
    const std::string folder = TempFolder();
    // 16-bit mono, three frames: 100, -200, 300.
    std::vector<uint8_t> wav = {'R', 'I', 'F', 'F', 42, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
                                1, 0, 1, 0, 0x80, 0xBB, 0, 0, 0, 0x77, 1, 0, 2, 0, 16, 0,
                                'd', 'a', 't', 'a', 6, 0, 0, 0, 100, 0, 0x38, 0xFF, 0x2C, 1};
    WriteBytes(folder + "in.wav", wav);
    kssim::DeviceModel device = WideCaptureDevice();
    device.captureSignal = kssim::Signal::WavFile;
    device.captureFile = folder + "in.wav";
    Open(device, PcmFormat(2, 48000, 16));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    std::vector<uint8_t> data = ReadOnce(m_pin, 4 * 7);
    const int16_t expected[] = {100, -200, 300, 100, -200, 300, 100};
    for (size_t f = 0; f < 7; ++f) {
        EXPECT_EQ(static_cast<int16_t>(Sample16(data, 2 * f)), expected[f]);
        EXPECT_EQ(static_cast<int16_t>(Sample16(data, 2 * f + 1)), expected[f]);
    }
    ClosePin();
    m_pin = OpenPin(m_filter, 0, ExtensibleFormat(1, 48000, 24, 24).Format);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    data = ReadOnce(m_pin, 6);
    EXPECT_EQ(data, (std::vector<uint8_t>{0, 100, 0, 0, 0x38, 0xFF}));

    kssim::DeviceModel broken = device;
    broken.captureFile = folder + "missing.wav";
    EXPECT_THROW(Sim().Reset({broken}), std::invalid_argument);
    // A failed Reset leaves the model as it was.
    EXPECT_EQ(Sim().OpenHandleCount(), 2);
}

TEST_F(Streaming, SeveralHeadersInOneRequest)
{
    Sim().Reset({WideRenderDevice(), WideCaptureDevice()});
    Sim().SetClockMode(kssim::ClockMode::Fast);
    HANDLE renderFilter = OpenFilter(kRenderPath);
    HANDLE captureFilter = OpenFilter(kCapturePath);
    HANDLE render = OpenPin(renderFilter, 0, PcmFormat(2, 48000, 16));
    HANDLE capture = OpenPin(captureFilter, 0, PcmFormat(2, 48000, 16));
    SetState(render, KSSTATE_RUN);
    SetState(capture, KSSTATE_RUN);

    std::vector<uint8_t> a(100), b(60);
    Fill(a, 5);
    Fill(b, 6);
    KSSTREAM_HEADER headers[2] = {};
    headers[0].Size = headers[1].Size = sizeof(KSSTREAM_HEADER);
    headers[0].Data = a.data();
    headers[0].FrameExtent = headers[0].DataUsed = 100;
    headers[1].Data = b.data();
    headers[1].FrameExtent = 64;
    headers[1].DataUsed = 60;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD bytes = 0;
    EXPECT_FALSE(KsSystem::DeviceIoControl(render, IOCTL_KS_WRITE_STREAM, nullptr, 0, headers, sizeof headers, &bytes,
                                           &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(overlapped.InternalHigh, sizeof headers);
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0), Joined(a, b));

    ResetEvent(event);
    headers[0].DataUsed = headers[1].DataUsed = 0;
    headers[1].FrameExtent = 60;
    EXPECT_FALSE(KsSystem::DeviceIoControl(capture, IOCTL_KS_READ_STREAM, nullptr, 0, headers, sizeof headers, &bytes,
                                           &overlapped));
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(headers[0].DataUsed, 100u);
    EXPECT_EQ(headers[1].DataUsed, 60u);
    EXPECT_EQ(ExpectStereoRamp(Joined(a, b), 0), 40u);
    CloseHandle(event);
    KsSystem::CloseHandle(render);
    KsSystem::CloseHandle(capture);
    KsSystem::CloseHandle(renderFilter);
    KsSystem::CloseHandle(captureFilter);
}

TEST_F(Streaming, OnlyTheLastRequestOfABlockNeedsAnEvent)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    // A block split in four requests; only the last carries the event, as
    // the render path sends them.
    std::vector<std::unique_ptr<StreamRequest>> parts;
    for (int i = 0; i < 4; ++i) {
        parts.push_back(std::make_unique<StreamRequest>(512));
        Fill(parts.back()->data, static_cast<uint32_t>(i));
    }
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    for (int i = 0; i < 4; ++i) {
        StreamRequest& part = *parts[i];
        part.overlapped = OVERLAPPED{};
        part.overlapped.hEvent = i == 3 ? part.event : nullptr;
        part.header.DataUsed = 512;
        DWORD bytes = 0;
        ASSERT_FALSE(KsSystem::DeviceIoControl(m_pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &part.header,
                                               part.header.Size, &bytes, &part.overlapped));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(parts[3]->Done(5000));
    std::vector<uint8_t> expected;
    for (auto& part : parts) {
        EXPECT_EQ(part->Status(), 0);  // done before the last, in order
        expected.insert(expected.end(), part->data.begin(), part->data.end());
    }
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0), expected);
}

TEST_F(Streaming, WithoutAnEventTheHandleItselfIsSignalled)
{
    kssim::DeviceModel device = WideRenderDevice();
    device.deviceBufferMs = 0;
    Open(device, PcmFormat(2, 48000, 16));
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    StreamRequest write(1920);  // 10 ms
    write.overlapped = OVERLAPPED{};
    write.header.DataUsed = 1920;
    DWORD bytes = 0;
    ASSERT_FALSE(KsSystem::DeviceIoControl(m_pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &write.header, write.header.Size,
                                           &bytes, &write.overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    // GetOverlappedResult waits on the pin handle, as it does for a file.
    ASSERT_TRUE(GetOverlappedResult(m_pin, &write.overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, sizeof(KSSTREAM_HEADER));
    EXPECT_EQ(WaitForSingleObject(m_pin, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0).size(), 1920u);
}

TEST_F(Streaming, MalformedStreamRequestsFailAtOnce)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    StreamRequest request(64);
    request.header.DataUsed = 64;
    DWORD bytes = 0xDEAD;
    auto write = [&](HANDLE handle, DWORD code, void* buffer, DWORD size, OVERLAPPED* overlapped) {
        SetLastError(0);
        EXPECT_FALSE(KsSystem::DeviceIoControl(handle, code, nullptr, 0, buffer, size, &bytes, overlapped));
        return GetLastError();
    };
    EXPECT_EQ(write(m_pin, IOCTL_KS_WRITE_STREAM, &request.header, sizeof(KSSTREAM_HEADER), nullptr),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(write(m_pin, IOCTL_KS_WRITE_STREAM, &request.header, 16, &request.overlapped),
              static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(write(m_pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &request.overlapped),
              static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    request.header.Size = 8;
    EXPECT_EQ(write(m_pin, IOCTL_KS_WRITE_STREAM, &request.header, sizeof(KSSTREAM_HEADER), &request.overlapped),
              static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    request.header.Size = sizeof(KSSTREAM_HEADER) + 8;
    EXPECT_EQ(write(m_pin, IOCTL_KS_WRITE_STREAM, &request.header, sizeof(KSSTREAM_HEADER), &request.overlapped),
              static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    request.header.Size = sizeof(KSSTREAM_HEADER);
    request.header.DataUsed = 65;
    EXPECT_EQ(write(m_pin, IOCTL_KS_WRITE_STREAM, &request.header, sizeof(KSSTREAM_HEADER), &request.overlapped),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    request.header.DataUsed = 64;
    request.header.Data = nullptr;
    EXPECT_EQ(write(m_pin, IOCTL_KS_WRITE_STREAM, &request.header, sizeof(KSSTREAM_HEADER), &request.overlapped),
              static_cast<DWORD>(ERROR_NOACCESS));
    request.header.Data = request.data.data();
    EXPECT_EQ(write(m_pin, IOCTL_KS_READ_STREAM, &request.header, sizeof(KSSTREAM_HEADER), &request.overlapped),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(write(m_filter, IOCTL_KS_WRITE_STREAM, &request.header, sizeof(KSSTREAM_HEADER), &request.overlapped),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

TEST_F(Streaming, RealTimePacingNeverRunsAheadOfTheClock)
{
    kssim::DeviceModel device = WideRenderDevice();
    device.deviceBufferMs = 0;
    Open(device, PcmFormat(2, 48000, 16));
    std::vector<std::unique_ptr<StreamRequest>> ring;
    for (int i = 0; i < 3; ++i) {
        ring.push_back(std::make_unique<StreamRequest>(1920));  // 10 ms
        ASSERT_EQ(ring.back()->Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    const int64_t start = Ticks();
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    std::vector<double> completions;
    for (int k = 0; k < 20; ++k) {
        StreamRequest& request = *ring[k % 3];
        ASSERT_TRUE(request.Done(5000));
        completions.push_back(MillisecondsSince(start));
        if (k < 17) {
            ASSERT_EQ(request.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
        }
    }
    // Request k holds the audio up to (k + 1) * 10 ms: it cannot be done earlier.
    for (int k = 0; k < 20; ++k) {
        EXPECT_GE(completions[k], (k + 1) * 10.0 - 0.01) << k;
    }
    EXPECT_LT(completions.back(), 10000.0);
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0).size(), 20u * 1920u);
}

TEST_F(Streaming, ASlowDeviceClockTakesLonger)
{
    kssim::DeviceModel device = WideRenderDevice();
    device.deviceBufferMs = 0;
    device.clockPpm = -500000.0;  // half speed
    Open(device, PcmFormat(2, 48000, 16));
    StreamRequest a(1920), b(1920), c(1920), d(1920), e(1920);
    for (StreamRequest* request : {&a, &b, &c, &d, &e}) {
        ASSERT_EQ(request->Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    const int64_t start = Ticks();
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    ASSERT_TRUE(e.Done(10000));
    EXPECT_TRUE(a.Done(0) && b.Done(0) && c.Done(0) && d.Done(0));
    EXPECT_GE(MillisecondsSince(start), 100.0 - 0.01);  // 50 ms of audio at half speed
}

TEST_F(Streaming, LoopedCaptureFillsTheRingUntilStop)
{
    Open(WideCaptureDevice(), PcmFormat(2, 48000, 16), true);
    StreamRequest ring(4800);  // 25 ms
    StreamRequest behind(480);
    ASSERT_EQ(ring.Read(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(behind.Read(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    // A looped buffer never completes while the pin runs.
    EXPECT_FALSE(ring.Done(120));
    EXPECT_FALSE(behind.Done(0));
    ASSERT_TRUE(SetState(m_pin, KSSTATE_STOP).ok);
    ASSERT_TRUE(ring.Done(0));
    EXPECT_EQ(ring.Status(), 0);
    EXPECT_EQ(ring.header.DataUsed, 4800u);
    ASSERT_TRUE(behind.Done(0));
    EXPECT_EQ(behind.Status(), kStatusCancelled);
    // More than one lap went by: the ring holds 1200 consecutive frames,
    // starting somewhere, with exactly one seam between newest and oldest.
    int seams = 0;
    for (size_t f = 0; f < 1200; ++f) {
        const uint16_t here = Sample16(ring.data, 2 * f);
        const uint16_t next = Sample16(ring.data, 2 * ((f + 1) % 1200));
        EXPECT_EQ(Sample16(ring.data, 2 * f + 1), static_cast<uint16_t>(here + 0x1000));
        if (next != static_cast<uint16_t>(here + 1)) {
            ++seams;
            EXPECT_EQ(static_cast<uint16_t>(here - next), 1199) << "newest and oldest are one lap apart";
        }
    }
    EXPECT_EQ(seams, 1);
}

TEST_F(Streaming, LoopedBuffersInFastModePlayOnceAndWaitForStop)
{
    Sim().Reset({WideRenderDevice(), WideCaptureDevice()});
    Sim().SetClockMode(kssim::ClockMode::Fast);
    HANDLE renderFilter = OpenFilter(kRenderPath);
    HANDLE captureFilter = OpenFilter(kCapturePath);
    HANDLE render = OpenPin(renderFilter, 0, PcmFormat(2, 48000, 16), true);
    HANDLE capture = OpenPin(captureFilter, 0, PcmFormat(2, 48000, 16), true);
    StreamRequest out(400), in(400);
    Fill(out.data, 9);
    ASSERT_EQ(out.Write(render), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(in.Read(capture), static_cast<DWORD>(ERROR_IO_PENDING));
    SetState(render, KSSTATE_RUN);
    SetState(capture, KSSTATE_RUN);
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0), out.data);
    EXPECT_EQ(ExpectStereoRamp(in.data, 0), 100u);
    EXPECT_FALSE(out.Done(0));
    EXPECT_FALSE(in.Done(0));
    SetState(render, KSSTATE_STOP);
    SetState(capture, KSSTATE_STOP);
    EXPECT_TRUE(out.Done(0));
    EXPECT_TRUE(in.Done(0));
    EXPECT_EQ(out.Status(), 0);
    EXPECT_EQ(in.header.DataUsed, 400u);
    for (HANDLE handle : {render, capture, renderFilter, captureFilter}) {
        KsSystem::CloseHandle(handle);
    }
}

TEST_F(Streaming, LoopedRenderPlaysTheBufferRoundAndRound)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16), true);
    StreamRequest loop(1920);
    Fill(loop.data, 3);
    ASSERT_EQ(loop.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    Sleep(60);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_STOP).ok);
    ASSERT_TRUE(loop.Done(0));
    const std::vector<uint8_t> played = Sim().RenderedBytes(kRenderPath, 0);
    EXPECT_GE(played.size(), 5u * 1920u);  // at least 60 ms went by
    for (size_t i = 0; i < played.size(); ++i) {
        ASSERT_EQ(played[i], loop.data[i % 1920]) << i;
    }
}

TEST_F(Streaming, RenderFileIsAValidWaveFileContinuedByLaterPins)
{
    const std::string path = TempFolder() + "played.wav";
    kssim::DeviceModel device = WideRenderDevice();
    device.renderFile = path;
    Open(device, PcmFormat(2, 48000, 16));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    std::vector<uint8_t> expected;
    auto play = [&](int count, size_t size) {
        for (int i = 0; i < count; ++i) {
            StreamRequest write(size);
            Fill(write.data, static_cast<uint32_t>(expected.size()));
            ASSERT_EQ(write.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
            expected.insert(expected.end(), write.data.begin(), write.data.end());
        }
    };
    play(10, 400);
    ClosePin();
    std::vector<uint8_t> file = ReadBytes(path);
    ASSERT_EQ(file.size(), 44u + 4000u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(U32(file, 4), 36u + 4000u);
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(U32(file, 16), 16u);
    const uint8_t fmt[16] = {1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0, 0xEE, 2, 0, 4, 0, 16, 0};
    EXPECT_EQ(std::memcmp(file.data() + 20, fmt, 16), 0);
    EXPECT_EQ(std::string(file.begin() + 36, file.begin() + 40), "data");
    EXPECT_EQ(U32(file, 40), 4000u);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + 44));

    // The same format again: the file goes on.
    m_pin = OpenPin(m_filter, 0, PcmFormat(2, 48000, 16));
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    play(2, 400);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_STOP).ok);  // stopping finishes the header too
    file = ReadBytes(path);
    EXPECT_EQ(U32(file, 40), 4800u);
    EXPECT_EQ(U32(file, 4), 36u + 4800u);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + 44));
    ClosePin();

    // Another format: the file starts again, with an extensible header.
    m_pin = OpenPin(m_filter, 0, ExtensibleFormat(1, 44100, 24, 20).Format);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    expected.clear();
    play(1, 300);
    Sim().Reset();  // finishes the file while the pin is still open
    m_pin = nullptr;
    m_filter = nullptr;
    file = ReadBytes(path);
    ASSERT_EQ(file.size(), 12u + 8 + 40 + 8 + 300);
    EXPECT_EQ(U32(file, 16), 40u);
    EXPECT_EQ(file[20] | (file[21] << 8), 0xFFFE);
    EXPECT_EQ(file[22], 1);                         // one channel
    EXPECT_EQ(file[20 + 18] | (file[20 + 19] << 8), 20);  // valid bits
    EXPECT_EQ(U32(file, 64), 300u);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + 68));
}

TEST_F(Streaming, AnUnwritableRenderFileIsTracedAndMemoryStillRecords)
{
    kssim::DeviceModel device = WideRenderDevice();
    device.renderFile = TempFolder() + "no such folder\\played.wav";
    TraceCapture trace;
    Open(device, PcmFormat(2, 48000, 16));
    ASSERT_NE(m_pin, nullptr);
    const std::string expected = "[kssim] render file of " + std::string(kRenderPath) + ": " + device.renderFile +
                                 ": cannot be written";
    bool traced = false;
    for (const std::string& line : trace.Lines()) {
        traced = traced || line.rfind(expected, 0) == 0;
    }
    EXPECT_TRUE(traced) << expected;
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    StreamRequest write(64);
    ASSERT_EQ(write.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0).size(), 64u);
    EXPECT_THROW(Sim().RenderedBytes("\\\\?\\nothing", 0), std::invalid_argument);
    EXPECT_THROW(Sim().RenderedBytes(kRenderPath, 2), std::invalid_argument);
}

namespace {

// Queues a write whose OVERLAPPED has no event, as a driver does for all
// but the last request of a block.
DWORD WriteWithoutEvent(StreamRequest& request, HANDLE pin)
{
    request.overlapped = OVERLAPPED{};
    request.header.DataUsed = request.header.FrameExtent;
    DWORD bytes = 0;
    return KsSystem::DeviceIoControl(pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &request.header, request.header.Size,
                                     &bytes, &request.overlapped)
               ? ERROR_SUCCESS
               : GetLastError();
}

}  // namespace

TEST_F(Streaming, TheHandleOfEventlessRequestsIsUnsignalledWhilePendingAndSignalledWhenDone)
{
    kssim::DeviceModel device = WideRenderDevice();
    device.deviceBufferMs = 0;
    Open(device, PcmFormat(2, 48000, 16));

    // Done within the call (fast clock): the handle is signalled after it.
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    StreamRequest first(192);
    ASSERT_EQ(WriteWithoutEvent(first, m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(first.Status(), 0);
    EXPECT_EQ(WaitForSingleObject(m_pin, 0), WAIT_OBJECT_0);

    // Pending (real-time clock): the signalled handle goes back to
    // unsignalled with the call, and is signalled again once the request is
    // done, though no request with an event follows it.
    ASSERT_TRUE(SetState(m_pin, KSSTATE_STOP).ok);
    Sim().SetClockMode(kssim::ClockMode::RealTime);
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    StreamRequest second(38400);  // 200 ms: long enough that a busy machine still sees it pending
    const int64_t start = Ticks();
    ASSERT_EQ(WriteWithoutEvent(second, m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(m_pin, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_EQ(WaitForSingleObject(m_pin, 5000), WAIT_OBJECT_0);
    EXPECT_GE(MillisecondsSince(start), 200.0 - 0.01);
    EXPECT_EQ(second.Status(), 0);
}

TEST_F(Streaming, AnEventlessRequestIsNeverDoneEarlyNorAfterTheRequestBehindIt)
{
    kssim::DeviceModel device = WideRenderDevice();
    device.deviceBufferMs = 0;
    Open(device, PcmFormat(2, 48000, 16));
    StreamRequest eventless(1920);  // 10 ms
    StreamRequest last(1920);
    ASSERT_EQ(WriteWithoutEvent(eventless, m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(last.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    const int64_t start = Ticks();
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    double eventlessDone = -1.0;
    while (!last.Done(0) && MillisecondsSince(start) < 5000.0) {
        if (eventlessDone < 0.0 && eventless.Status() != kStatusPending) {
            eventlessDone = MillisecondsSince(start);
        }
        Sleep(0);
    }
    ASSERT_TRUE(last.Done(0));
    // Requests complete in order: the first is done when the event of the
    // second is set, and not before the device reached its end.
    EXPECT_EQ(eventless.Status(), 0);
    if (eventlessDone >= 0.0) {
        EXPECT_GE(eventlessDone, 10.0 - 0.01);
    }
    EXPECT_GE(MillisecondsSince(start), 20.0 - 0.01);
}

// Under Wine each call on an event or a timer is a round trip to the server:
// a steady stream costs about one per completed request, not one per
// request for every queueing, wake-up, timer and completion.
TEST_F(Streaming, AStreamCostsAboutOneEventCallPerCompletedRequest)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    constexpr int kRequestsPerBlock = 4;  // 60 frames each, the last with an event
    constexpr int kBlocks = 40;           // of 5 ms, two in flight
    std::vector<std::unique_ptr<StreamRequest>> requests;
    for (int i = 0; i < 2 * kRequestsPerBlock; ++i) {
        requests.push_back(std::make_unique<StreamRequest>(240));
    }
    auto queue = [&](int block) {
        for (int r = 0; r < kRequestsPerBlock; ++r) {
            StreamRequest& request = *requests[(block % 2) * kRequestsPerBlock + r];
            const DWORD result = r + 1 < kRequestsPerBlock ? WriteWithoutEvent(request, m_pin) : request.Write(m_pin);
            ASSERT_EQ(result, static_cast<DWORD>(ERROR_IO_PENDING));
        }
    };
    queue(0);
    queue(1);
    const int64_t callsBefore = Sim().EventCalls();
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    for (int block = 0; block < kBlocks; ++block) {
        ASSERT_TRUE(requests[(block % 2) * kRequestsPerBlock + kRequestsPerBlock - 1]->Done(5000)) << block;
        if (block + 2 < kBlocks) {
            queue(block + 2);
        }
    }
    const int64_t calls = Sim().EventCalls() - callsBefore;
    const int completed = kBlocks * kRequestsPerBlock;
    EXPECT_LE(calls, 2 * completed) << calls << " calls for " << completed << " requests";
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0).size(), static_cast<size_t>(completed) * 240u +
                                                               static_cast<size_t>(Sim().UnderrunFrames(kRenderPath, 0)) * 4u);
}

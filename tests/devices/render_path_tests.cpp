#include "device_test_support.h"

#include "render_stream.h"
#include "request_completion.h"
#include "trace_capture.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

namespace {

constexpr DWORD kEventWaitMs = 5000;

std::vector<uint8_t> AsBytes(const std::vector<int16_t>& samples)
{
    std::vector<uint8_t> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

// What a pin of that depth must receive for these 16-bit samples, spelled
// out byte by byte.
std::vector<uint8_t> InPinForm(const std::vector<int16_t>& samples, int bits)
{
    std::vector<uint8_t> bytes;
    for (int16_t sample : samples) {
        const auto value = static_cast<uint16_t>(sample);
        const auto low = static_cast<uint8_t>(value & 0xff);
        const auto high = static_cast<uint8_t>(value >> 8);
        switch (bits) {
        case 8: bytes.push_back(static_cast<uint8_t>(high ^ 0x80)); break;
        case 24: bytes.insert(bytes.end(), {0, low, high}); break;
        case 32: bytes.insert(bytes.end(), {0, 0, low, high}); break;
        default: bytes.insert(bytes.end(), {low, high}); break;
        }
    }
    return bytes;
}

// A stereo block whose every sample differs from its neighbours and from
// those of other blocks.
std::vector<int16_t> Block(uint32_t number, size_t frames)
{
    std::vector<int16_t> samples(frames * 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(number * 7919u + i * 31u);
    }
    return samples;
}

class Event {
public:
    Event() : m_handle(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    ~Event() { CloseHandle(m_handle); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE Get() const { return m_handle; }
    bool Signalled(DWORD waitMs) const { return WaitForSingleObject(m_handle, waitMs) == WAIT_OBJECT_0; }

private:
    HANDLE m_handle;
};

class RenderPathTest : public DeviceSetTest {
protected:
    // Opens one render device "Card" with the given range and settings.
    AsioAudioDevice& Open(ConfigText config, kssim::DeviceModel model = SimRender("Card"))
    {
        m_device.reset();
        Sim().Reset({model});
        WriteConfig(config);
        AsioAudioDevice& device = MakeDevice();
        EXPECT_TRUE(device.OpenRenderDevices());
        return device;
    }

    int32_t Write(std::vector<int16_t>& samples, const Event& event, RenderBlock* out = nullptr)
    {
        RenderBlock block;
        block.deviceIndex = 0;
        block.data = samples.data();
        block.byteCount = static_cast<int32_t>(samples.size() * 2);
        block.completionEvent = event.Get();
        const int32_t result = m_device->WriteRenderDevice(block);
        if (out) {
            *out = block;
        }
        return result;
    }

    // Plays blocks one after the other, each once the previous is taken.
    void PlayBlocks(int count, size_t frames, std::vector<int16_t>& played)
    {
        Event event;
        for (int n = 0; n < count; ++n) {
            std::vector<int16_t> samples = Block(static_cast<uint32_t>(n), frames);
            ASSERT_EQ(Write(samples, event), 0) << "block " << n;
            ASSERT_TRUE(event.Signalled(kEventWaitMs)) << "block " << n;
            played.insert(played.end(), samples.begin(), samples.end());
        }
    }
};

}  // namespace

TEST_F(RenderPathTest, AStereoBlockIsSplitIntoBlockFramesByteRequestsWithTheEventOnTheLast)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 2));
    device.SetRenderState(KSSTATE_PAUSE);  // requests stay queued for a look
    ASSERT_TRUE(device.GetRenderDevice(0)->active);
    std::vector<int16_t> samples = Block(0, 512);
    Event event;
    RenderBlock block;
    ASSERT_EQ(Write(samples, event, &block), 0);
    ASSERT_NE(block.streamHeaders, nullptr);
    const auto* base = reinterpret_cast<const uint8_t*>(samples.data());
    for (int i = 0; i < 4; ++i) {
        const StreamRequest& request = block.streamHeaders[i];
        EXPECT_EQ(request.header.Size, sizeof(KSSTREAM_HEADER));
        EXPECT_EQ(request.header.TypeSpecificFlags, 1u);
        EXPECT_EQ(request.header.PresentationTime.Time, 0);
        EXPECT_EQ(request.header.PresentationTime.Numerator, 0u);
        EXPECT_EQ(request.header.PresentationTime.Denominator, 0u);
        EXPECT_EQ(request.header.Duration, 0);
        EXPECT_EQ(request.header.FrameExtent, 512u);
        EXPECT_EQ(request.header.DataUsed, 512u);
        EXPECT_EQ(request.header.Data, base + 512 * i);
        EXPECT_EQ(request.header.OptionsFlags, 0x100u);
        EXPECT_EQ(request.overlapped.hEvent, i == 3 ? event.Get() : nullptr) << i;
        EXPECT_TRUE(IsRequestHeld(request.overlapped)) << i;
    }
    EXPECT_EQ(Sim().PendingRequestCount(), 4);
    EXPECT_FALSE(event.Signalled(0));
    device.CloseRenderDevices();
    EXPECT_EQ(Sim().PendingRequestCount(), 0) << "closing takes the queued requests back";
}

TEST_F(RenderPathTest, AMonoBlockOf256FramesMakesTwoRequests)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 1).Default("BlockFrames", "256"));
    device.SetRenderState(KSSTATE_PAUSE);
    std::vector<int16_t> samples(256, 3);
    Event event;
    RenderBlock block;
    ASSERT_EQ(Write(samples, event, &block), 0);
    EXPECT_EQ(block.streamHeaders[0].header.FrameExtent, 256u);
    EXPECT_EQ(block.streamHeaders[1].header.FrameExtent, 256u);
    EXPECT_EQ(block.streamHeaders[1].overlapped.hEvent, event.Get());
    EXPECT_EQ(Sim().PendingRequestCount(), 2);
}

TEST_F(RenderPathTest, ABlockSizeNotAMultipleOfBlockFramesLosesNoBytes)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 2));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    device.SetRenderState(KSSTATE_RUN);
    std::vector<int16_t> samples = Block(9, 300);  // 1200 bytes: 512 + 512 + 176
    Event event;
    RenderBlock block;
    ASSERT_EQ(Write(samples, event, &block), 0);
    ASSERT_TRUE(event.Signalled(kEventWaitMs));
    EXPECT_EQ(block.streamHeaders[2].header.FrameExtent, 176u);
    EXPECT_EQ(block.streamHeaders[2].overlapped.hEvent, event.Get());
    // A block smaller than blockFrames bytes is one request, not none.
    std::vector<int16_t> small = Block(10, 50);  // 200 bytes
    ASSERT_EQ(Write(small, event, &block), 0);
    ASSERT_TRUE(event.Signalled(kEventWaitMs));
    EXPECT_EQ(block.streamHeaders[0].header.FrameExtent, 200u);
    EXPECT_EQ(block.streamHeaders[0].overlapped.hEvent, event.Get());
    std::vector<int16_t> both = samples;
    both.insert(both.end(), small.begin(), small.end());
    EXPECT_EQ(Sim().RenderedBytes(RenderPath("Card"), 0), AsBytes(both));
}

TEST_F(RenderPathTest, BlocksArriveByteIdenticalAndInOrder)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 2));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    device.SetRenderState(KSSTATE_RUN);
    std::vector<int16_t> played;
    PlayBlocks(300, 512, played);
    EXPECT_EQ(Sim().RenderedBytes(RenderPath("Card"), 0), AsBytes(played));
}

TEST_F(RenderPathTest, BlocksArriveInOrderAtTheDevicesPace)
{
    // The test thread is the producer here, and the device plays from RUN
    // on: 64 frames are 1.3 ms, less than a loaded machine may hold the
    // thread up between two writes, and a late write means silence played
    // before it. So 200 ms go in first while the pin is paused, as the
    // engine primes its devices, and the device buffer takes them at once.
    kssim::DeviceModel model = SimRender("Card");
    model.deviceBufferMs = 500;
    AsioAudioDevice& device =
        Open(ConfigText().Out("Card", 2).Default("SampleRate", "48000").Default("BlockFrames", "64"), model);
    device.SetRenderState(KSSTATE_PAUSE);
    std::vector<int16_t> played = Block(1000, 9600);
    Event leadIn;
    ASSERT_EQ(Write(played, leadIn), 0);
    device.SetRenderState(KSSTATE_RUN);
    ASSERT_TRUE(leadIn.Signalled(kEventWaitMs));
    PlayBlocks(200, 64, played);
    EXPECT_EQ(Sim().RenderedBytes(RenderPath("Card"), 0), AsBytes(played))
        << Sim().UnderrunFrames(RenderPath("Card"), 0) << " frames of silence played";
}

TEST_F(RenderPathTest, PinsAtOtherDepthsReceiveTheSamplesConverted)
{
    for (int bits : {8, 24, 32}) {
        SCOPED_TRACE(bits);
        AsioAudioDevice& device = Open(ConfigText().Out("Card", 2).Default("BitSpersample", std::to_string(bits)),
                                       SimRender("Card", 2, 8, 32));
        Sim().SetClockMode(kssim::ClockMode::Fast);
        device.SetRenderState(KSSTATE_RUN);
        std::vector<int16_t> played;
        PlayBlocks(50, 512, played);
        const std::vector<uint8_t> rendered = Sim().RenderedBytes(RenderPath("Card"), 0);
        EXPECT_EQ(rendered.size(), played.size() * static_cast<size_t>(bits / 8));
        EXPECT_EQ(rendered, InPinForm(played, bits));
    }
}

TEST_F(RenderPathTest, AtTwentyFourBitsEachRequestCarriesTheFramesOfItsSixteenBitShare)
{
    AsioAudioDevice& device =
        Open(ConfigText().Out("Card", 2).Default("BitSpersample", "24"), SimRender("Card", 2, 16, 24));
    device.SetRenderState(KSSTATE_PAUSE);
    std::vector<int16_t> samples = Block(1, 512);
    Event event;
    RenderBlock block;
    ASSERT_EQ(Write(samples, event, &block), 0);
    const auto* first = static_cast<const uint8_t*>(block.streamHeaders[0].header.Data);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(block.streamHeaders[i].header.FrameExtent, 768u) << "128 frames of 6 bytes";
        EXPECT_EQ(static_cast<const uint8_t*>(block.streamHeaders[i].header.Data), first + 768 * i);
    }
    EXPECT_NE(static_cast<const void*>(first), static_cast<const void*>(samples.data()));
}

TEST_F(RenderPathTest, TheRequestsOfTwoBlocksLiveInTheRecordAndAreReused)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 2));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    device.SetRenderState(KSSTATE_RUN);
    Event event;
    std::vector<StreamRequest*> arrays;
    for (int n = 0; n < 6; ++n) {
        std::vector<int16_t> samples = Block(static_cast<uint32_t>(n), 512);
        RenderBlock block;
        ASSERT_EQ(Write(samples, event, &block), 0);
        ASSERT_TRUE(event.Signalled(kEventWaitMs));
        arrays.push_back(block.streamHeaders);
    }
    EXPECT_NE(arrays[0], arrays[1]);
    for (int n = 2; n < 6; ++n) {
        EXPECT_EQ(arrays[static_cast<size_t>(n)], arrays[static_cast<size_t>(n % 2)]) << n;
    }
}

TEST_F(RenderPathTest, AThirdBlockWhileThePinHoldsBothEarlierOnesIsRefused)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 2));
    device.SetRenderState(KSSTATE_PAUSE);
    Event first;
    Event second;
    Event event;
    std::vector<int16_t> a = Block(1, 512);
    std::vector<int16_t> b = Block(2, 512);
    std::vector<int16_t> c = Block(3, 512);
    ASSERT_EQ(Write(a, first), 0);
    ASSERT_EQ(Write(b, second), 0);
    TraceCapture trace;
    RenderBlock block;
    EXPECT_EQ(Write(c, event, &block), static_cast<int32_t>(E_PENDING));
    EXPECT_EQ(block.streamHeaders, nullptr);
    EXPECT_TRUE(trace.Contains("[TELVARA]Error: PinWriteData->pin still holds the earlier blocks.  hr = 0x8000000a\n\n"));
    EXPECT_EQ(Sim().PendingRequestCount(), 8);
    // Once the pin runs and takes them, the slots are free again.
    device.SetRenderState(KSSTATE_RUN);
    ASSERT_TRUE(first.Signalled(kEventWaitMs));
    ASSERT_TRUE(second.Signalled(kEventWaitMs));
    EXPECT_FALSE(event.Signalled(0));
    EXPECT_EQ(Write(c, event), 0);
    EXPECT_TRUE(event.Signalled(kEventWaitMs));
}

TEST_F(RenderPathTest, AnEmptyBlockIsTakenAtOnce)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 2));
    device.SetRenderState(KSSTATE_RUN);
    RenderDeviceRecord& record = *device.GetRenderDevice(0);
    int16_t none = 0;
    Event event;
    StreamRequest* headers = nullptr;
    EXPECT_EQ(device.PinWriteData(record.pin, record.stream, &none, 0, event.Get(), &headers), 0);
    EXPECT_TRUE(event.Signalled(0)) << "nothing to wait for: the event is set";
    EXPECT_EQ(headers, nullptr);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

TEST_F(RenderPathTest, AMissingOrInactiveDeviceWritesNothing)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 2));
    std::vector<int16_t> samples = Block(1, 512);
    Event event;
    EXPECT_EQ(Write(samples, event), 1) << "not yet active";
    device.SetRenderState(KSSTATE_RUN);
    RenderBlock block;
    block.deviceIndex = 1;
    block.data = samples.data();
    block.byteCount = 2048;
    block.completionEvent = event.Get();
    EXPECT_EQ(device.WriteRenderDevice(block), 1);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    EXPECT_TRUE(Sim().RenderedBytes(RenderPath("Card"), 0).empty());
}

TEST_F(RenderPathTest, AMissingPinOrDataIsAFailureNeverAPendingWrite)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 2));
    RenderDeviceRecord& record = *device.GetRenderDevice(0);
    std::vector<int16_t> samples = Block(1, 512);
    Event event;
    StreamRequest stale{};
    StreamRequest* headers = &stale;
    TraceCapture trace;
    EXPECT_EQ(device.PinWriteData(nullptr, record.stream, samples.data(), 2048, event.Get(), &headers),
              static_cast<int32_t>(E_POINTER));
    EXPECT_EQ(headers, nullptr);
    EXPECT_EQ(device.PinWriteData(record.pin, record.stream, nullptr, 2048, event.Get(), &headers),
              static_cast<int32_t>(E_POINTER));
    EXPECT_EQ(device.PinWriteData(record.pin, record.stream, samples.data(), -4, event.Get(), &headers),
              static_cast<int32_t>(E_INVALIDARG));
    EXPECT_EQ(trace.Lines(),
              (std::vector<std::string>{"[TELVARA]Error: CKsAudRenPin Allocation failure.  hr = 0x80004003\n\n",
                                        "[TELVARA]Error: PinWriteData->pBuffer Allocation failure.  hr = 0x80004003\n\n",
                                        "[TELVARA]Error: PinWriteData->byteCount or blockFrames invalid.  hr = 0x80070057\n\n"}));
    EXPECT_FALSE(event.Signalled(0));
}

TEST_F(RenderPathTest, AFailingFirstRequestQueuesNothing)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 2));
    device.SetRenderState(KSSTATE_RUN);
    Sim().SetStreamFault(RenderPath("Card"), 0, kssim::StreamFault::Fail);
    std::vector<int16_t> samples = Block(1, 512);
    Event event;
    TraceCapture trace;
    RenderBlock block;
    EXPECT_EQ(Write(samples, event, &block), static_cast<int32_t>(E_FAIL));
    EXPECT_TRUE(trace.Contains("[TELVARA]Error: Failed to write to Pin!!!.  hr = 0x80004005\n\n"));
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    ASSERT_NE(block.streamHeaders, nullptr);
    EXPECT_FALSE(IsRequestHeld(block.streamHeaders[0].overlapped));
    EXPECT_FALSE(event.Signalled(0));
    EXPECT_TRUE(device.GetRenderDevice(0)->active) << "tried again next cycle";
    Sim().SetStreamFault(RenderPath("Card"), 0, kssim::StreamFault::None);
    EXPECT_EQ(Write(samples, event), 0);
    EXPECT_TRUE(event.Signalled(kEventWaitMs));
}

TEST_F(RenderPathTest, ARemovedDeviceFailsItsWritesWithoutHangingTheCaller)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 2).Default("BlockFrames", "128"));
    device.SetRenderState(KSSTATE_RUN);
    std::atomic<int> written{0};
    std::atomic<int32_t> failure{0};
    std::thread writer([&] {
        Event event;
        for (uint32_t n = 0; n < 100000 && failure == 0; ++n) {
            std::vector<int16_t> samples = Block(n, 128);
            const int32_t result = Write(samples, event);
            if (result != 0) {
                failure = result;
                break;
            }
            // A removed device completes what it held: the wait ends either way.
            event.Signalled(kEventWaitMs);
            ++written;
        }
    });
    while (written < 20) {
        Sleep(1);
    }
    Sim().RemoveDevice(RenderPath("Card"));
    // The writer must come back by itself; a hang shows as the join never
    // returning within the test's time-out.
    writer.join();
    EXPECT_LT(failure.load(), 0);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    device.CloseRenderDevices();
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Card"), 0), 0);
}

// Whatever the moment of the removal, a failed write leaves no request of its
// block with the pin, so the caller may release the block at once.
TEST_F(RenderPathTest, AWriteFailingHalfQueuedTakesItsRequestsBackFirst)
{
    int failures = 0;
    for (int trial = 0; trial < 15; ++trial) {
        AsioAudioDevice& device =
            Open(ConfigText().Out("Card", 8).Default("BlockFrames", "32").Default("SampleRate", "48000"),
                 SimRender("Card", 8));
        device.SetRenderState(KSSTATE_RUN);
        std::thread remover([trial] {
            Sleep(static_cast<DWORD>(trial % 5));
            kssim::Simulation::Instance().RemoveDevice(RenderPath("Card"));
        });
        Event event;
        std::vector<int16_t> samples(2048 * 8, 5);  // 64 requests per block
        for (int n = 0; n < 1000; ++n) {
            RenderBlock block;
            block.deviceIndex = 0;
            block.data = samples.data();
            block.byteCount = static_cast<int32_t>(samples.size() * 2);
            block.completionEvent = event.Get();
            const int32_t result = device.WriteRenderDevice(block);
            if (result == static_cast<int32_t>(E_PENDING)) {
                event.Signalled(kEventWaitMs);
                continue;
            }
            if (result < 0) {
                ++failures;
                ASSERT_NE(block.streamHeaders, nullptr);
                for (int i = 0; i < 64; ++i) {
                    ASSERT_FALSE(IsRequestHeld(block.streamHeaders[i].overlapped)) << "request " << i;
                }
                break;
            }
        }
        remover.join();
        device.CloseRenderDevices();
        EXPECT_EQ(Sim().PendingRequestCount(), 0);
    }
    EXPECT_EQ(failures, 15);
}

TEST_F(RenderPathTest, CancelAndCollectTakesBackRequestsThePinWouldKeepForever)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 2));
    device.SetRenderState(KSSTATE_RUN);
    Sim().SetStreamFault(RenderPath("Card"), 0, kssim::StreamFault::NeverComplete);
    std::vector<int16_t> samples = Block(1, 512);
    Event event;
    RenderBlock block;
    ASSERT_EQ(Write(samples, event, &block), 0);
    EXPECT_EQ(Sim().PendingRequestCount(), 4);
    EXPECT_FALSE(event.Signalled(50));
    EXPECT_TRUE(CancelAndCollect(device.GetRenderDevice(0)->pin->GetHandle(), block.streamHeaders, 4,
                                 kGiveBackTimeoutMs));
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    EXPECT_TRUE(event.Signalled(0)) << "a cancelled request still signals its event";
}

TEST_F(RenderPathTest, ClosingWhileThePinKeepsItsRequestsWaitsForThemAndReleasesEverything)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 2));
    device.SetRenderState(KSSTATE_RUN);
    Sim().SetStreamFault(RenderPath("Card"), 0, kssim::StreamFault::NeverComplete);
    std::vector<int16_t> a = Block(1, 512);
    std::vector<int16_t> b = Block(2, 512);
    Event event;
    ASSERT_EQ(Write(a, event), 0);
    ASSERT_EQ(Write(b, event), 0);
    TraceCapture trace;
    device.CloseRenderDevices();
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Card"), 0), 0);
    for (const std::string& line : trace.Lines()) {
        EXPECT_EQ(line.find("did not give back"), std::string::npos) << line;
    }
}

TEST_F(RenderPathTest, TheStreamTellsWhichBlocksThePinStillHolds)
{
    AsioAudioDevice& device = Open(ConfigText().Out("Card", 2));
    device.SetRenderState(KSSTATE_RUN);
    RenderStream* stream = device.GetRenderDevice(0)->stream;
    Sim().SetStreamFault(RenderPath("Card"), 0, kssim::StreamFault::NeverComplete);
    std::vector<int16_t> samples = Block(1, 512);
    Event event;
    RenderBlock held;
    ASSERT_EQ(Write(samples, event, &held), 0);
    EXPECT_TRUE(stream->HoldsRequests(held.streamHeaders));
    EXPECT_FALSE(stream->HoldsRequests(nullptr)) << "a block never written is not held";
    StreamRequest foreign[4] = {};
    EXPECT_FALSE(stream->HoldsRequests(foreign)) << "requests of no slot of this stream";
    ASSERT_TRUE(CancelAndCollect(device.GetRenderDevice(0)->pin->GetHandle(), held.streamHeaders, 4,
                                 kGiveBackTimeoutMs));
    EXPECT_FALSE(stream->HoldsRequests(held.streamHeaders)) << "given back";
}

#include "device_test_support.h"

#include "delay_line.h"
#include "request_completion.h"
#include "stream_request_watch.h"
#include "trace_capture.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <tuple>

namespace {

constexpr DWORD kEventWaitMs = 5000;

// The host's two buffer halves that feed a device for one block: every
// sample differs from its neighbours and from those of other blocks.
struct Halves {
    std::vector<int16_t> left;
    std::vector<int16_t> right;
};

Halves HalvesOf(uint32_t number, size_t frames)
{
    Halves halves{std::vector<int16_t>(frames), std::vector<int16_t>(frames)};
    for (size_t f = 0; f < frames; ++f) {
        halves.left[f] = static_cast<int16_t>(number * 7919u + f * 31u);
        halves.right[f] = static_cast<int16_t>(number * 7919u + f * 31u + 15u);
    }
    return halves;
}

// The frames a device of that many channels must get for the halves: the
// left half on its first channel, the right half on every other one; a
// missing half is silence.
std::vector<int16_t> Interleaved(const int16_t* left, const int16_t* right, size_t frames, uint16_t channels)
{
    std::vector<int16_t> samples;
    for (size_t f = 0; f < frames; ++f) {
        for (uint16_t c = 0; c < channels; ++c) {
            const int16_t* source = c == 0 ? left : right;
            samples.push_back(source ? source[f] : 0);
        }
    }
    return samples;
}

std::vector<int16_t> Interleaved(const Halves& halves, uint16_t channels)
{
    return Interleaved(halves.left.data(), halves.right.data(), halves.left.size(), channels);
}

// What a pin of that depth must receive for these 16-bit samples, spelled
// out byte by byte.
std::vector<uint8_t> InPinForm(const std::vector<int16_t>& samples, int bits = 16)
{
    std::vector<uint8_t> bytes;
    for (int16_t sample : samples) {
        const auto value = static_cast<uint16_t>(sample);
        const auto low = static_cast<uint8_t>(value & 0xff);
        const auto high = static_cast<uint8_t>(value >> 8);
        switch (bits) {
        // Eight bits round to nearest (halves up) and saturate.
        case 8: bytes.push_back(static_cast<uint8_t>(std::min((sample + 128) >> 8, 127) ^ 0x80)); break;
        case 24: bytes.insert(bytes.end(), {0, low, high}); break;
        case 32: bytes.insert(bytes.end(), {0, 0, low, high}); break;
        default: bytes.insert(bytes.end(), {low, high}); break;
        }
    }
    return bytes;
}

// Waits, at most kEventWaitMs, until the pin has a slot free, and sends.
HRESULT SendWhenFree(CRenderEndpoint& endpoint, const int16_t* left, const int16_t* right)
{
    const ULONGLONG deadline = GetTickCount64() + kEventWaitMs;
    while (!endpoint.CanSend(false)) {
        if (GetTickCount64() >= deadline) {
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        }
        WaitForSingleObject(endpoint.WaitHandle(), 20);
    }
    return endpoint.Send(left, right);
}

HRESULT SendWhenFree(CRenderEndpoint& endpoint, const Halves& halves)
{
    return SendWhenFree(endpoint, halves.left.data(), halves.right.data());
}

// Waits, at most kEventWaitMs, until the pin has given back every block.
bool AllGivenBack(const CRenderEndpoint& endpoint)
{
    const ULONGLONG deadline = GetTickCount64() + kEventWaitMs;
    while (endpoint.Held() > 0) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        WaitForSingleObject(endpoint.WaitHandle(), 20);
    }
    return true;
}

class RenderPathTest : public DeviceSetTest {
protected:
    // Opens the one render device "Card" of the model.
    CRenderEndpoint& Open(const ConfigText& config, kssim::DeviceModel model = SimRender("Card"), double rate = 44100.0,
                          int32_t bits = 16)
    {
        m_set.reset();
        Sim().Reset({model});
        WriteConfig(config);
        EXPECT_TRUE(MakeSet().OpenRender(RenderRequest(rate, bits)));
        return Render(0);
    }

    // Plays blocks first .. first + count - 1, each once a slot is free, and
    // appends the frames the device must get.
    static void PlayBlocks(CRenderEndpoint& endpoint, uint32_t first, uint32_t count, size_t frames,
                           std::vector<int16_t>& played)
    {
        for (uint32_t n = first; n < first + count; ++n) {
            const Halves halves = HalvesOf(n, frames);
            ASSERT_EQ(SendWhenFree(endpoint, halves), S_OK) << "block " << n;
            const std::vector<int16_t> frameSamples = Interleaved(halves, endpoint.Channels());
            played.insert(played.end(), frameSamples.begin(), frameSamples.end());
        }
    }

    std::vector<uint8_t> Rendered() const { return Sim().RenderedBytes(RenderPath("Card"), 0); }
};

}  // namespace

// One request per requestUnit bytes of the 16-bit block (each carrying those
// samples in the pin's form, back to back in one buffer), the event on the
// last request only; the pin plays the block as the host gave it.
TEST_F(RenderPathTest, ABlockGoesOutAsOneRequestPerUnitWithTheEventOnTheLast)
{
    struct Case {
        uint16_t channels;
        int32_t frames;
        int32_t requestUnit;
        int32_t bits;
        std::vector<ULONG> extents;
    };
    const Case cases[] = {
        {2, 512, 512, 16, {512, 512, 512, 512}},
        {1, 256, 256, 16, {256, 256}},
        {2, 300, 512, 16, {512, 512, 176}},  // the rest of the block is a request of its own
        {2, 50, 512, 16, {200}},             // smaller than a unit: one request, not none
        {2, 512, 512, 24, {768, 768, 768, 768}},  // 128 frames of 6 bytes each
        {2, 512, 512, 8, {256, 256, 256, 256}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, " << c.frames << " frames, unit "
                                        << c.requestUnit << ", " << c.bits << " bits");
        CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", c.channels), SimRender("Card", c.channels, 8, 32),
                                         44100.0, c.bits);
        Sim().SetClockMode(kssim::ClockMode::Fast);
        ASSERT_TRUE(endpoint.PrepareStream(c.frames, 2, c.requestUnit, 0));
        ASSERT_EQ(endpoint.SetState(KSSTATE_PAUSE), S_OK);  // requests stay queued for a look
        const Halves halves = HalvesOf(1, static_cast<size_t>(c.frames));
        StreamRequestWatch watch;
        ASSERT_EQ(endpoint.Send(halves.left.data(), halves.right.data()), S_OK);
        const std::vector<SeenRequest> seen = watch.Seen();
        ASSERT_EQ(seen.size(), c.extents.size());
        const auto* first = static_cast<const uint8_t*>(seen[0].header.Data);
        size_t offset = 0;
        for (size_t i = 0; i < seen.size(); ++i) {
            const KSSTREAM_HEADER& header = seen[i].header;
            EXPECT_EQ(seen[i].code, static_cast<DWORD>(IOCTL_KS_WRITE_STREAM)) << i;
            EXPECT_EQ(seen[i].pin, endpoint.Pin()->GetHandle()) << i;
            EXPECT_EQ(header.Size, sizeof(KSSTREAM_HEADER)) << i;
            EXPECT_EQ(header.TypeSpecificFlags, 1u) << i;
            EXPECT_EQ(header.PresentationTime.Time, 0) << i;
            EXPECT_EQ(header.PresentationTime.Numerator, 0u) << i;
            EXPECT_EQ(header.PresentationTime.Denominator, 0u) << i;
            EXPECT_EQ(header.Duration, 0) << i;
            EXPECT_EQ(header.FrameExtent, c.extents[i]) << i;
            EXPECT_EQ(header.DataUsed, c.extents[i]) << i;
            EXPECT_EQ(static_cast<const uint8_t*>(header.Data), first + offset) << i;
            EXPECT_EQ(header.OptionsFlags, 0x100u) << i;
            EXPECT_EQ(seen[i].event, i + 1 == seen.size() ? endpoint.WaitHandle() : nullptr) << i;
            EXPECT_TRUE(IsRequestHeld(*seen[i].overlapped)) << i;
            offset += c.extents[i];
        }
        EXPECT_EQ(Sim().PendingRequestCount(), static_cast<int>(c.extents.size()));
        EXPECT_EQ(endpoint.Held(), 1);
        EXPECT_FALSE(Signalled(endpoint.WaitHandle(), 0));
        ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
        EXPECT_TRUE(Signalled(endpoint.WaitHandle(), kEventWaitMs));
        EXPECT_EQ(endpoint.Held(), 0);
        EXPECT_EQ(Rendered(), InPinForm(Interleaved(halves, c.channels), c.bits));
    }
}

TEST_F(RenderPathTest, BlocksArriveByteIdenticalAndInOrder)
{
    CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 2));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(endpoint.PrepareStream(512, 2, 512, 0));
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    std::vector<int16_t> played;
    PlayBlocks(endpoint, 0, 300, 512, played);
    EXPECT_EQ(Rendered(), InPinForm(played));
}

TEST_F(RenderPathTest, BlocksArriveInOrderAtTheDevicesPace)
{
    // The test thread is the producer here, and the device plays from RUN
    // on. So the slots are filled while the pin is paused (107 ms at 48 kHz),
    // as the engine primes its devices, and the device's buffer of 500 ms
    // takes whatever the thread gets ahead: a loaded machine that holds the
    // thread up for a while costs no silence.
    kssim::DeviceModel model = SimRender("Card");
    model.deviceBufferMs = 500;
    CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 2), model, 48000.0);
    ASSERT_TRUE(endpoint.PrepareStream(512, 8, 512, 0));
    ASSERT_EQ(endpoint.SetState(KSSTATE_PAUSE), S_OK);
    std::vector<int16_t> played;
    PlayBlocks(endpoint, 0, 10, 512, played);
    EXPECT_FALSE(endpoint.CanSend(false)) << "every slot is with the paused pin";
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    PlayBlocks(endpoint, 10, 90, 512, played);
    ASSERT_TRUE(AllGivenBack(endpoint));
    EXPECT_EQ(Rendered(), InPinForm(played)) << Sim().UnderrunFrames(RenderPath("Card"), 0)
                                             << " frames of silence played";
}

TEST_F(RenderPathTest, PinsAtOtherDepthsReceiveTheSamplesConverted)
{
    for (int bits : {8, 24, 32}) {
        SCOPED_TRACE(bits);
        CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 2), SimRender("Card", 2, 8, 32), 44100.0, bits);
        Sim().SetClockMode(kssim::ClockMode::Fast);
        ASSERT_TRUE(endpoint.PrepareStream(512, 2, 512, 0));
        ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
        std::vector<int16_t> played;
        PlayBlocks(endpoint, 0, 50, 512, played);
        const std::vector<uint8_t> rendered = Rendered();
        EXPECT_EQ(rendered.size(), played.size() * static_cast<size_t>(bits / 8));
        EXPECT_EQ(rendered, InPinForm(played, bits));
    }
}

// The left half feeds the first channel, the right half every other one;
// a half the host did not give is silence.
TEST_F(RenderPathTest, TheLinksFeedTheChannelsAndAMissingHalfIsSilence)
{
    CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 3), SimRender("Card", 3));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(endpoint.PrepareStream(128, 2, 128, 0));
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    const Halves halves = HalvesOf(3, 128);
    const int16_t* sources[4][2] = {{halves.left.data(), halves.right.data()},
                                    {halves.left.data(), nullptr},
                                    {nullptr, halves.right.data()},
                                    {nullptr, nullptr}};
    std::vector<int16_t> expected;
    for (const auto& pair : sources) {
        ASSERT_EQ(SendWhenFree(endpoint, pair[0], pair[1]), S_OK);
        const std::vector<int16_t> frames = Interleaved(pair[0], pair[1], 128, 3);
        expected.insert(expected.end(), frames.begin(), frames.end());
    }
    EXPECT_EQ(expected[1], halves.right[0]);
    EXPECT_EQ(expected[2], halves.right[0]);
    EXPECT_EQ(Rendered(), InPinForm(expected));
}

// Each block goes out from the slot after the one before, inFlight + 2 of
// them in turn; a slot's requests are made anew each time.
TEST_F(RenderPathTest, TheSlotsAreUsedInTurn)
{
    CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 2));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(endpoint.PrepareStream(512, 2, 512, 0));
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    StreamRequestWatch watch;
    std::vector<int16_t> played;
    PlayBlocks(endpoint, 0, 12, 512, played);
    const std::vector<SeenRequest> seen = watch.Seen();
    ASSERT_EQ(seen.size(), 48u);
    std::vector<const void*> data;
    std::vector<const OVERLAPPED*> lastRequests;
    for (size_t block = 0; block < 12; ++block) {
        data.push_back(seen[block * 4].header.Data);
        lastRequests.push_back(seen[block * 4 + 3].overlapped);
    }
    for (size_t a = 0; a < 4; ++a) {
        for (size_t b = a + 1; b < 4; ++b) {
            EXPECT_NE(data[a], data[b]) << a << " " << b;
        }
    }
    for (size_t block = 4; block < 12; ++block) {
        EXPECT_EQ(data[block], data[block % 4]) << block;
        EXPECT_EQ(lastRequests[block], lastRequests[block % 4]) << block;
    }
    EXPECT_EQ(Rendered(), InPinForm(played));
}

// The pacing device waits until the pin holds no more than its inFlight
// blocks, so that the next makes inFlight + 1; any device may take one slot
// more. With every slot held nothing is sent, and that is no failure.
TEST_F(RenderPathTest, NothingIsSentWhileThePinHoldsEverySlot)
{
    CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 2));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(endpoint.PrepareStream(512, 2, 512, 0));
    EXPECT_EQ(endpoint.InFlight(), 2);
    ASSERT_EQ(endpoint.SetState(KSSTATE_PAUSE), S_OK);
    const Halves a = HalvesOf(1, 512);
    const Halves b = HalvesOf(2, 512);
    const Halves c = HalvesOf(3, 512);
    const Halves d = HalvesOf(4, 512);
    const Halves e = HalvesOf(5, 512);
    EXPECT_TRUE(endpoint.CanSend(true));
    ASSERT_EQ(endpoint.Send(a.left.data(), a.right.data()), S_OK);
    ASSERT_EQ(endpoint.Send(b.left.data(), b.right.data()), S_OK);
    EXPECT_TRUE(endpoint.CanSend(true)) << "holding its blocks in flight, the pin asks for the next";
    ASSERT_EQ(endpoint.Send(c.left.data(), c.right.data()), S_OK);
    EXPECT_FALSE(endpoint.CanSend(true)) << "the pacing device has its blocks in flight and the next";
    EXPECT_TRUE(endpoint.CanSend(false)) << "one slot more for a device that lags";
    ASSERT_EQ(endpoint.Send(d.left.data(), d.right.data()), S_OK);
    EXPECT_FALSE(endpoint.CanSend(false));
    EXPECT_EQ(endpoint.Held(), 4);
    StreamRequestWatch watch;
    EXPECT_EQ(endpoint.Send(e.left.data(), e.right.data()), E_PENDING);
    EXPECT_TRUE(watch.Seen().empty());
    EXPECT_EQ(Sim().PendingRequestCount(), 16);
    EXPECT_EQ(endpoint.Counters().failedRequests.load(), 0);
    // Once the pin runs and takes them, the slots are free again.
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    ASSERT_TRUE(AllGivenBack(endpoint));
    EXPECT_TRUE(endpoint.CanSend(true));
    ASSERT_EQ(endpoint.Send(e.left.data(), e.right.data()), S_OK);
    ASSERT_TRUE(AllGivenBack(endpoint));
    std::vector<int16_t> played;
    for (const Halves* halves : {&a, &b, &c, &d, &e}) {
        const std::vector<int16_t> frames = Interleaved(*halves, 2);
        played.insert(played.end(), frames.begin(), frames.end());
    }
    EXPECT_EQ(Rendered(), InPinForm(played));
}

// Nothing streams before PrepareStream, and PrepareStream refuses what it
// cannot stream, in both directions.
TEST_F(RenderPathTest, NothingStreamsWithoutAPreparedStream)
{
    Sim().Reset({SimRender("Card"), SimCapture("Mic")});
    WriteConfig(ConfigText().Out("Card", 2).In("Mic", 2));
    CDeviceSet& set = MakeSet();
    ASSERT_TRUE(set.OpenRender(RenderRequest()));
    ASSERT_TRUE(set.OpenCapture(CaptureRequest()));
    CRenderEndpoint& render = Render(0);
    CCaptureEndpoint& capture = Capture(0);
    set.SetRenderState(KSSTATE_RUN);
    set.SetCaptureState(KSSTATE_RUN);
    StreamRequestWatch watch;
    const Halves halves = HalvesOf(1, 512);
    EXPECT_FALSE(render.CanSend(false));
    EXPECT_EQ(render.Send(halves.left.data(), halves.right.data()), E_PENDING);
    std::vector<int16_t> left(512, 0x1111);
    std::vector<int16_t> right(512, 0x1111);
    uint8_t* destinations[2] = {reinterpret_cast<uint8_t*>(left.data()), reinterpret_cast<uint8_t*>(right.data())};
    EXPECT_EQ(capture.AskForAll(), S_OK);
    EXPECT_FALSE(capture.HasArrived());
    EXPECT_EQ(capture.Deliver(destinations), E_PENDING);
    EXPECT_EQ(left, std::vector<int16_t>(512, 0x1111));
    for (const auto& [frames, inFlight, unit] :
         {std::tuple{0, 2, 512}, std::tuple{-1, 2, 512}, std::tuple{512, 2, 0}, std::tuple{512, -1, 512}}) {
        SCOPED_TRACE(testing::Message() << frames << " frames, " << inFlight << " in flight, unit " << unit);
        EXPECT_FALSE(render.PrepareStream(frames, inFlight, unit, 0));
        EXPECT_FALSE(render.CanSend(false));
    }
    EXPECT_FALSE(capture.PrepareStream(0, 2));
    EXPECT_FALSE(capture.PrepareStream(512, 0));
    EXPECT_TRUE(watch.Seen().empty());
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    EXPECT_TRUE(Sim().RenderedBytes(RenderPath("Card"), 0).empty());
}

// The delay line primed with the opening delay: the device gets that many
// frames of silence first, then every block exactly that late.
TEST_F(RenderPathTest, TheDevicePlaysTheBlocksExactlyTheDelayLate)
{
    for (int delayMs : {0, 10, 125, 500}) {
        SCOPED_TRACE(testing::Message() << delayMs << " ms");
        CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 2), SimRender("Card"), 48000.0);
        Sim().SetClockMode(kssim::ClockMode::Fast);
        ASSERT_TRUE(endpoint.PrepareStream(512, 2, 512, delayMs));
        const int64_t delayFrames = DelayFrames(delayMs, 48000.0, 2);
        EXPECT_EQ(delayFrames, 48 * delayMs);
        EXPECT_EQ(endpoint.CurrentDelayFrames(), delayFrames);
        ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
        std::vector<int16_t> played;
        const auto blocks = static_cast<uint32_t>(delayFrames / 512 + 6);
        PlayBlocks(endpoint, 0, blocks, 512, played);
        std::vector<int16_t> expected(static_cast<size_t>(delayFrames) * 2, 0);
        expected.insert(expected.end(), played.begin(), played.end() - static_cast<std::ptrdiff_t>(delayFrames * 2));
        EXPECT_EQ(Rendered(), InPinForm(expected));
    }
}

// A new delay while streaming: once the fades are over the device plays the
// host's blocks exactly the new delay late.
TEST_F(RenderPathTest, ADelayChangeWhileStreamingEndsExactlyTheNewDelayLate)
{
    CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 2), SimRender("Card"), 48000.0);
    Sim().SetClockMode(kssim::ClockMode::Fast);
    endpoint.ChangeDelay(20);
    EXPECT_EQ(endpoint.CurrentDelayFrames(), 0) << "no delay line before the stream is prepared";
    ASSERT_TRUE(endpoint.PrepareStream(256, 2, 256, 0));
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    std::vector<int16_t> played;
    PlayBlocks(endpoint, 0, 10, 256, played);
    endpoint.ChangeDelay(20);
    EXPECT_EQ(endpoint.CurrentDelayFrames(), 960);
    PlayBlocks(endpoint, 10, 30, 256, played);
    const std::vector<uint8_t> rendered = Rendered();
    ASSERT_EQ(rendered.size(), played.size() * 2);
    // The last ten blocks: well after the fade-out, the jump and the fade-in.
    const std::vector<int16_t> tail(played.end() - 10 * 256 * 2 - 960 * 2, played.end() - 960 * 2);
    EXPECT_EQ(std::vector<uint8_t>(rendered.end() - 10 * 256 * 4, rendered.end()), InPinForm(tail));
    // The first ten blocks went out undelayed.
    EXPECT_EQ(std::vector<uint8_t>(rendered.begin(), rendered.begin() + 10 * 256 * 4),
              InPinForm(std::vector<int16_t>(played.begin(), played.begin() + 10 * 256 * 2)));
}

TEST_F(RenderPathTest, AFailingFirstRequestQueuesNothing)
{
    CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 2));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(endpoint.PrepareStream(512, 2, 512, 0));
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    Sim().SetStreamFault(RenderPath("Card"), 0, kssim::StreamFault::Fail);
    const Halves refused = HalvesOf(1, 512);
    EXPECT_EQ(endpoint.Send(refused.left.data(), refused.right.data()), E_FAIL);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    EXPECT_EQ(endpoint.Held(), 0);
    EXPECT_EQ(endpoint.Counters().failedRequests.load(), 1);
    EXPECT_FALSE(Signalled(endpoint.WaitHandle(), 0));
    EXPECT_TRUE(endpoint.Active()) << "tried again next cycle";
    EXPECT_TRUE(endpoint.CanSend(true));
    Sim().SetStreamFault(RenderPath("Card"), 0, kssim::StreamFault::None);
    const Halves taken = HalvesOf(2, 512);
    ASSERT_EQ(endpoint.Send(taken.left.data(), taken.right.data()), S_OK);
    EXPECT_TRUE(Signalled(endpoint.WaitHandle(), kEventWaitMs));
    EXPECT_EQ(Rendered(), InPinForm(Interleaved(taken, 2)));
}

// A request refused after earlier requests of its block were queued: those
// still point into the slot, so the slot stays with the pin until they come
// back, and the next block goes out from the next slot.
TEST_F(RenderPathTest, ABlockRefusedHalfWayKeepsItsSlotUntilThePinGivesItsRequestsBack)
{
    CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 2));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    ASSERT_TRUE(endpoint.PrepareStream(512, 2, 512, 0));
    ASSERT_EQ(endpoint.SetState(KSSTATE_PAUSE), S_OK);
    const Halves broken = HalvesOf(1, 512);
    StreamRequestWatch watch;
    watch.FailRequest(2);
    EXPECT_EQ(endpoint.Send(broken.left.data(), broken.right.data()), E_FAIL);
    EXPECT_EQ(watch.Seen().size(), 3u) << "the fourth request is never sent";
    EXPECT_EQ(Sim().PendingRequestCount(), 2);
    EXPECT_EQ(endpoint.Held(), 1);
    EXPECT_EQ(endpoint.Counters().failedRequests.load(), 1);
    const Halves next = HalvesOf(2, 512);
    ASSERT_EQ(endpoint.Send(next.left.data(), next.right.data()), S_OK);
    const std::vector<SeenRequest> seen = watch.Seen();
    ASSERT_EQ(seen.size(), 7u);
    EXPECT_NE(seen[3].header.Data, seen[0].header.Data) << "another slot";
    EXPECT_EQ(endpoint.Held(), 2);
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    ASSERT_TRUE(AllGivenBack(endpoint));
    // The device played the half of the broken block that was queued.
    std::vector<int16_t> played = Interleaved(broken, 2);
    played.resize(512);
    const std::vector<int16_t> whole = Interleaved(next, 2);
    played.insert(played.end(), whole.begin(), whole.end());
    EXPECT_EQ(Rendered(), InPinForm(played));
}

// Unplugged at any moment while another thread streams: the writer comes
// back with the failure instead of waiting for the device, and nothing stays
// with the pin.
TEST_F(RenderPathTest, ARemovedDeviceFailsItsWritesAtAnyMomentAndKeepsNothing)
{
    for (int trial = 0; trial < 15; ++trial) {
        SCOPED_TRACE(trial);
        // 64 requests per block: removals land inside blocks too.
        CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 8), SimRender("Card", 8), 48000.0);
        ASSERT_TRUE(endpoint.PrepareStream(256, 2, 64, 0));
        ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
        std::atomic<int> written{0};
        HRESULT failure = S_OK;
        std::thread writer([&] {
            for (uint32_t n = 0; n < 100000; ++n) {
                const Halves halves = HalvesOf(n, 256);
                const HRESULT hr = SendWhenFree(endpoint, halves);
                if (FAILED(hr)) {
                    failure = hr;
                    return;
                }
                ++written;
            }
        });
        while (written < 3 + trial) {
            Sleep(1);
        }
        Sleep(static_cast<DWORD>(trial % 5));
        Sim().RemoveDevice(RenderPath("Card"));
        // A writer waiting for the removed device would never come back; the
        // join returning is the check.
        writer.join();
        EXPECT_EQ(failure, E_FAIL);
        EXPECT_GE(endpoint.Counters().failedRequests.load(), 1);
        EXPECT_TRUE(endpoint.TakeBack(GetTickCount64() + kGiveBackTimeoutMs));
        EXPECT_EQ(endpoint.Held(), 0);
        EXPECT_EQ(Sim().PendingRequestCount(), 0);
        m_set->CloseRender();
        EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Card"), 0), 0);
    }
}

// A pin that keeps its requests: taking them back cancels them and waits
// only until its deadline.
TEST_F(RenderPathTest, TakeBackCancelsWhatThePinWouldKeepAndWaitsNoLongerThanItsDeadline)
{
    CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 2));
    ASSERT_TRUE(endpoint.PrepareStream(512, 2, 512, 0));
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    Sim().SetStreamFault(RenderPath("Card"), 0, kssim::StreamFault::NeverComplete);
    const Halves halves = HalvesOf(1, 512);
    ASSERT_EQ(endpoint.Send(halves.left.data(), halves.right.data()), S_OK);
    EXPECT_EQ(endpoint.Held(), 1);
    EXPECT_EQ(Sim().PendingRequestCount(), 4);
    EXPECT_FALSE(Signalled(endpoint.WaitHandle(), 50));
    EXPECT_TRUE(endpoint.TakeBack(GetTickCount64() + kGiveBackTimeoutMs));
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    EXPECT_EQ(endpoint.Held(), 0);
    EXPECT_TRUE(Signalled(endpoint.WaitHandle(), 0)) << "a cancelled request still signals its event";

    // Slow to give back: a deadline before the pin does ends the wait with
    // the block still held; a later one sees it back.
    Sim().SetCancelDelay(RenderPath("Card"), 0, 2000);
    ASSERT_EQ(endpoint.Send(halves.left.data(), halves.right.data()), S_OK);
    EXPECT_FALSE(endpoint.TakeBack(GetTickCount64() + 20));
    EXPECT_EQ(endpoint.Held(), 1);
    EXPECT_TRUE(endpoint.TakeBack(GetTickCount64() + 5 * kGiveBackTimeoutMs));
    EXPECT_EQ(endpoint.Held(), 0);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

// Closing while the pin keeps its requests waits for them (as long as a pin
// may take) and releases everything; a pin that keeps them longer is
// reported and its requests' memory kept.
TEST_F(RenderPathTest, ClosingWhileThePinKeepsItsRequestsWaitsForThemAndReleasesEverything)
{
    for (DWORD cancelDelayMs : {0ul, 300ul, 3000ul}) {
        SCOPED_TRACE(cancelDelayMs);
        CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 2));
        ASSERT_TRUE(endpoint.PrepareStream(512, 2, 512, 0));
        ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
        Sim().SetStreamFault(RenderPath("Card"), 0, kssim::StreamFault::NeverComplete);
        Sim().SetCancelDelay(RenderPath("Card"), 0, cancelDelayMs);
        const Halves a = HalvesOf(1, 512);
        const Halves b = HalvesOf(2, 512);
        ASSERT_EQ(endpoint.Send(a.left.data(), a.right.data()), S_OK);
        ASSERT_EQ(endpoint.Send(b.left.data(), b.right.data()), S_OK);
        TraceCapture trace;
        m_set->CloseRender();
        EXPECT_EQ(Sim().PendingRequestCount(), 0);
        EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Card"), 0), 0);
        EXPECT_EQ(trace.Count("[TELVARA]Card: the pin did not give back its requests, their memory is kept"),
                  cancelDelayMs > kGiveBackTimeoutMs ? 1u : 0u);
    }
}

// A device that follows another's clock gets each block through the
// resampler: as many frames as the ratio makes of it (the last request of
// the block ends there, the others keep their unit), and a jump drops or
// inserts host frames at the head of the next blocks. Whatever the ratio,
// every host frame reaches the device but what the resampler still holds.
TEST_F(RenderPathTest, AResampledDeviceGetsWhatTheRatioMakesOfEachBlock)
{
    struct Case {
        double ratio;
        int64_t jump;
    };
    const Case cases[] = {{1.0015, 0}, {0.9985, 0}, {1.0, 200}, {1.0, -200}};
    constexpr size_t kFrames = 256;
    constexpr uint32_t kBlocks = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "ratio " << c.ratio << ", jump " << c.jump);
        CRenderEndpoint& endpoint = Open(ConfigText().Out("Card", 2));
        Sim().SetClockMode(kssim::ClockMode::Fast);
        // 64 frames a request: four to a block.
        ASSERT_TRUE(endpoint.PrepareStream(kFrames, 2, 256, 0, nullptr, SampleFormat::Int16, true));
        endpoint.StartResampling();
        endpoint.SetRatio(c.ratio);
        endpoint.Jump(c.jump);
        ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
        std::vector<int16_t> unused;
        for (uint32_t n = 0; n < kBlocks; ++n) {
            const Halves halves = HalvesOf(n, kFrames);
            StreamRequestWatch watch;
            ASSERT_EQ(SendWhenFree(endpoint, halves), S_OK) << "block " << n;
            const std::vector<SeenRequest> seen = watch.Seen();
            ASSERT_FALSE(seen.empty());
            for (size_t i = 0; i + 1 < seen.size(); ++i) {
                EXPECT_EQ(seen[i].header.DataUsed, 256u) << "block " << n << ", request " << i;
            }
            EXPECT_GT(seen.back().header.DataUsed, 0u);
            EXPECT_EQ(seen.back().header.DataUsed % 4, 0u);
            EXPECT_EQ(seen.back().event, endpoint.WaitHandle());
        }
        ASSERT_TRUE(AllGivenBack(endpoint));
        const double reached = static_cast<double>(Rendered().size() / 4);
        const double expected =
            (static_cast<double>(kBlocks * kFrames - c.jump) - endpoint.ResamplerDelay()) * c.ratio;
        EXPECT_NEAR(reached, expected, 1.0);
        EXPECT_EQ(endpoint.PendingJump(), 0);
    }
}

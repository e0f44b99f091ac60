#include "device_test_support.h"

#include "ks_system.h"
#include "pin.h"
#include "rt_audio.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr DWORD kEventWaitMs = 5000;
// Big blocks: a machine that stalls for tens of milliseconds must not make
// the device overtake the test.
constexpr int32_t kFrames = 2048;
constexpr int kInFlight = 3;
constexpr uint32_t kBlockBytes = kFrames * 4;

kssim::DeviceModel AsWaveRt(kssim::DeviceModel model)
{
    model.aliases[kKsCategoryRealtime] = SPINT_ACTIVE;
    model.pins[0].interfaces = {kssim::LoopedStreamingInterface()};
    model.waveRt = kssim::WaveRtModel();
    return model;
}

// Block n's left and right halves: no two samples of a stream alike.
std::vector<int16_t> HalfOf(uint32_t n, int side)
{
    std::vector<int16_t> half(kFrames);
    for (int32_t f = 0; f < kFrames; ++f) {
        half[f] = static_cast<int16_t>(1 + ((n * kFrames + f) * 2 + side) % 30000);
    }
    return half;
}

std::vector<uint8_t> BlockBytes(uint32_t n)
{
    const std::vector<int16_t> left = HalfOf(n, 0);
    const std::vector<int16_t> right = HalfOf(n, 1);
    std::vector<uint8_t> bytes;
    for (int32_t f = 0; f < kFrames; ++f) {
        for (int16_t sample : {left[f], right[f]}) {
            bytes.push_back(static_cast<uint8_t>(sample & 0xff));
            bytes.push_back(static_cast<uint8_t>((static_cast<uint16_t>(sample) >> 8) & 0xff));
        }
    }
    return bytes;
}

class LoopedStreamingTest : public DeviceSetTest {
protected:
    void SetUp() override
    {
        DeviceSetTest::SetUp();
        m_activity = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override
    {
        m_set.reset();
        CloseHandle(m_activity);
        DeviceSetTest::TearDown();
    }

    CRenderEndpoint& OpenRender(const kssim::DeviceModel& model)
    {
        m_set.reset();
        Sim().Reset({model});
        WriteConfig(ConfigText().Out("Card", 2));
        EXPECT_TRUE(MakeSet().OpenRender(RenderRequest(48000.0, 16)));
        return Render(0);
    }

    // Sends block n once the endpoint has room, waiting on its handle or,
    // without one, a few milliseconds at a time.
    ::testing::AssertionResult SendBlock(CRenderEndpoint& endpoint, uint32_t n)
    {
        const ULONGLONG deadline = GetTickCount64() + kEventWaitMs;
        while (!endpoint.CanSend(true)) {
            if (GetTickCount64() >= deadline) {
                return ::testing::AssertionFailure() << "no room for block " << n;
            }
            if (endpoint.WaitHandle()) {
                WaitForSingleObject(endpoint.WaitHandle(), 20);
            } else {
                Sleep(5);
            }
        }
        const std::vector<int16_t> left = HalfOf(n, 0);
        const std::vector<int16_t> right = HalfOf(n, 1);
        if (FAILED(endpoint.Send(left.data(), right.data()))) {
            return ::testing::AssertionFailure() << "block " << n << " refused";
        }
        return ::testing::AssertionSuccess();
    }

    // What the device played after its FIFO's silence, once it has played
    // at least `bytes` of it (waited for at most kEventWaitMs). A fed
    // endpoint gets silence meanwhile, so that the device never runs out.
    std::vector<uint8_t> PlayedAfterFifo(size_t fifoBytes, size_t bytes, CRenderEndpoint* fed = nullptr)
    {
        const ULONGLONG deadline = GetTickCount64() + kEventWaitMs;
        std::vector<uint8_t> rendered;
        while ((rendered = Sim().RenderedBytes(RenderPath("Card"), 0)).size() < fifoBytes + bytes &&
               GetTickCount64() < deadline) {
            while (fed && fed->CanSend(true)) {
                EXPECT_EQ(fed->Send(nullptr, nullptr), S_OK);
            }
            Sleep(5);
        }
        EXPECT_GE(rendered.size(), fifoBytes + bytes);
        EXPECT_TRUE(std::all_of(rendered.begin(), rendered.begin() + std::min(fifoBytes, rendered.size()),
                                [](uint8_t b) { return b == 0; }));
        rendered.erase(rendered.begin(), rendered.begin() + std::min(fifoBytes, rendered.size()));
        rendered.resize(std::min(rendered.size(), bytes));
        return rendered;
    }

    HANDLE m_activity = nullptr;
};

}  // namespace

// A WaveRT device opens with the looped interface and streams through its
// buffer sample-exactly, in each of the ways a driver may offer it: event
// or timer mode, position register or property, sizes granted as asked or
// otherwise, sizes refused until an aligned one is asked.
TEST_F(LoopedStreamingTest, EachWayOfTheBufferPlaysEveryBlockInOrder)
{
    struct Case {
        const char* what;
        void (*rules)(kssim::WaveRtModel&);
        const char* description;  // expected in the transport's description
        bool event;
        uint32_t granted;         // the buffer size the endpoint streams with
        bool positionsLate;       // position reads pend and are answered on the device's clock thread
    };
    const Case cases[] = {
        // Asked: the blocks in flight, the one written after the callback
        // and the one being played.
        {"notifications and a register", [](kssim::WaveRtModel&) {}, "event mode", true, 5 * kBlockBytes, false},
        {"no notification support", [](kssim::WaveRtModel& r) { r.notifications = false; }, "timer mode", false,
         5 * kBlockBytes, false},
        {"no position register", [](kssim::WaveRtModel& r) { r.positionRegister = false; }, "position property",
         true, 5 * kBlockBytes, false},
        // The cycle never waits for a position read: one answered late is
        // taken up at a later look.
        {"no position register, positions answered late",
         [](kssim::WaveRtModel& r) { r.positionRegister = false; }, "position property", true, 5 * kBlockBytes, true},
        {"unaligned sizes refused", [](kssim::WaveRtModel& r) {
             r.alignment = 2176;  // 40960, 41088 and 41216 are refused; 41344 is the fourth size asked
             r.roundsSizes = false;
         }, "event mode", true, 41344, false},
        {"too small refused", [](kssim::WaveRtModel& r) { r.smallestBytes = 6 * kBlockBytes; }, "event mode", true,
         10 * kBlockBytes, false},
        // Smaller than asked: a block fewer ahead, every block still in order.
        {"another size granted", [](kssim::WaveRtModel& r) { r.grantedBytes = 4 * kBlockBytes; }, "event mode", true,
         4 * kBlockBytes, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kssim::DeviceModel model = AsWaveRt(SimRender("Card"));
        c.rules(*model.waveRt);
        model.pendingPositions = c.positionsLate;
        CRenderEndpoint& endpoint = OpenRender(model);
        const std::vector<uint8_t> connect = Sim().LastPinConnect(RenderPath("Card"), 0);
        KSPIN_CONNECT pinConnect;
        std::memcpy(&pinConnect, connect.data(), sizeof pinConnect);
        EXPECT_EQ(pinConnect.Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING));
        ASSERT_TRUE(endpoint.PrepareStream(kFrames, kInFlight, 512, 0, m_activity));
        const std::string description = endpoint.TransportDescription();
        EXPECT_NE(description.find(c.description), std::string::npos) << description;
        EXPECT_EQ(endpoint.WaitHandle(), c.event ? m_activity : nullptr);
        EXPECT_NE(description.find("buffer " + std::to_string(c.granted) + " bytes"), std::string::npos)
            << description;
        // The FIFO (256 bytes by default) is the latency the device reports.
        EXPECT_EQ(endpoint.ReportedLatencyFrames(), 64);
        const uint32_t blocks = 12;
        for (uint32_t n = 0; n < static_cast<uint32_t>(kInFlight); ++n) {
            ASSERT_TRUE(SendBlock(endpoint, n));
        }
        ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
        for (uint32_t n = kInFlight; n < blocks; ++n) {
            ASSERT_TRUE(SendBlock(endpoint, n));
        }
        std::vector<uint8_t> expected;
        for (uint32_t n = 0; n < blocks; ++n) {
            const std::vector<uint8_t> block = BlockBytes(n);
            expected.insert(expected.end(), block.begin(), block.end());
        }
        EXPECT_TRUE(PlayedAfterFifo(256, expected.size(), &endpoint) == expected);
        EXPECT_EQ(Sim().UnderrunFrames(RenderPath("Card"), 0), 0);
        EXPECT_EQ(endpoint.LostFrames(), 0);
        ASSERT_EQ(endpoint.SetState(KSSTATE_STOP), S_OK);
    }
}

// A WaveRT pin takes no stream requests: it answers them as an invalid
// device request.
TEST_F(LoopedStreamingTest, AWaveRtPinRefusesStreamRequests)
{
    CRenderEndpoint& endpoint = OpenRender(AsWaveRt(SimRender("Card")));
    KSSTREAM_HEADER header{};
    header.Size = sizeof header;
    uint8_t data[64] = {};
    header.Data = data;
    header.FrameExtent = sizeof data;
    header.DataUsed = sizeof data;
    OVERLAPPED overlapped{};
    overlapped.hEvent = m_activity;
    EXPECT_FALSE(KsSystem::DeviceIoControl(endpoint.Pin()->GetHandle(), IOCTL_KS_WRITE_STREAM, nullptr, 0, &header,
                                           sizeof header, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

// A device that runs before the first block is written (the engine gives
// its first blocks once the capture devices' first reads have come): it
// plays the silent buffer meanwhile, nothing of it counts as lost, and the
// blocks then play whole and in order from where the device stood.
TEST_F(LoopedStreamingTest, BlocksWrittenAfterTheDeviceStartedPlayFromWhereItStandsAndNothingCountsAsLost)
{
    CRenderEndpoint& endpoint = OpenRender(AsWaveRt(SimRender("Card")));
    ASSERT_TRUE(endpoint.PrepareStream(kFrames, kInFlight, 512, 0, m_activity));
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    Sleep(2 * kFrames * 1000 / 48000);  // two blocks' time
    const uint32_t blocks = 8;
    std::vector<uint8_t> expected;
    for (uint32_t n = 0; n < blocks; ++n) {
        ASSERT_TRUE(SendBlock(endpoint, n));
        const std::vector<uint8_t> block = BlockBytes(n);
        expected.insert(expected.end(), block.begin(), block.end());
    }
    // Fed with silence after the blocks, so that the device never runs out.
    const ULONGLONG deadline = GetTickCount64() + kEventWaitMs;
    std::vector<uint8_t> rendered;
    size_t first = 0;
    do {
        while (endpoint.CanSend(true)) {
            ASSERT_EQ(endpoint.Send(nullptr, nullptr), S_OK);
        }
        Sleep(5);
        rendered = Sim().RenderedBytes(RenderPath("Card"), 0);
        first = static_cast<size_t>(std::find_if(rendered.begin(), rendered.end(), [](uint8_t b) { return b != 0; }) -
                                    rendered.begin());
    } while (rendered.size() < first + expected.size() && GetTickCount64() < deadline);
    ASSERT_GE(rendered.size(), first + expected.size());
    EXPECT_GE(first, static_cast<size_t>(kBlockBytes)) << "the device ran before the first block";
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), rendered.begin() + static_cast<std::ptrdiff_t>(first)));
    EXPECT_EQ(endpoint.LostFrames(), 0);
    EXPECT_EQ(Sim().UnderrunFrames(RenderPath("Card"), 0), 0);
    ASSERT_EQ(endpoint.SetState(KSSTATE_STOP), S_OK);
}

// Nothing more written: the device plays the old buffer again, as hardware
// does; it counts those frames as underrun, and so does the endpoint.
TEST_F(LoopedStreamingTest, AnUnderrunReplaysOldDataAndIsCounted)
{
    CRenderEndpoint& endpoint = OpenRender(AsWaveRt(SimRender("Card")));
    ASSERT_TRUE(endpoint.PrepareStream(kFrames, kInFlight, 512, 0, m_activity));
    for (uint32_t n = 0; n < static_cast<uint32_t>(kInFlight); ++n) {
        ASSERT_TRUE(SendBlock(endpoint, n));
    }
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    std::vector<uint8_t> once;
    for (uint32_t n = 0; n < static_cast<uint32_t>(kInFlight); ++n) {
        const std::vector<uint8_t> block = BlockBytes(n);
        once.insert(once.end(), block.begin(), block.end());
    }
    // The buffer holds two blocks more, never written: silence between.
    std::vector<uint8_t> twice = once;
    twice.resize(twice.size() + 2 * kBlockBytes, 0);
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_TRUE(PlayedAfterFifo(256, twice.size()) == twice);
    EXPECT_GE(Sim().UnderrunFrames(RenderPath("Card"), 0), static_cast<int64_t>(kInFlight) * kFrames - 64);
    EXPECT_EQ(endpoint.Held(), 0);
    EXPECT_GE(endpoint.LostFrames(), static_cast<int64_t>(kInFlight) * kFrames);
    ASSERT_EQ(endpoint.SetState(KSSTATE_STOP), S_OK);
}

// Capture: blocks arrive behind the record position with the device's
// ramp unbroken; a reader that stays away longer than the buffer loses the
// frames written over, counted, and goes on from the oldest frame left.
TEST_F(LoopedStreamingTest, CaptureTakesBlocksBehindTheRecordPositionAndCountsOverruns)
{
    kssim::DeviceModel model = AsWaveRt(SimCapture("Mic"));
    Sim().Reset({model});
    WriteConfig(ConfigText().In("Mic", 2));
    ASSERT_TRUE(MakeSet().OpenCapture(CaptureRequest(48000.0, 16)));
    CCaptureEndpoint& endpoint = Capture(0);
    ASSERT_EQ(endpoint.SetState(KSSTATE_RUN), S_OK);
    ASSERT_TRUE(endpoint.PrepareStream(kFrames, kInFlight, m_activity));
    EXPECT_EQ(endpoint.WaitHandle(), m_activity);
    std::vector<int16_t> left(kFrames);
    std::vector<int16_t> right(kFrames);
    uint8_t* destinations[2] = {reinterpret_cast<uint8_t*>(left.data()), reinterpret_cast<uint8_t*>(right.data())};
    const auto deliver = [&]() -> ::testing::AssertionResult {
        const ULONGLONG deadline = GetTickCount64() + kEventWaitMs;
        while (!endpoint.HasArrived()) {
            if (GetTickCount64() >= deadline) {
                return ::testing::AssertionFailure() << "no block";
            }
            WaitForSingleObject(m_activity, 20);
        }
        if (endpoint.Deliver(destinations) != S_OK) {
            return ::testing::AssertionFailure() << "not delivered";
        }
        return ::testing::AssertionSuccess();
    };
    int64_t next = -1;
    for (int n = 0; n < 6; ++n) {
        ASSERT_TRUE(deliver());
        for (int32_t f = 0; f < kFrames; ++f) {
            const auto frame = static_cast<uint16_t>(left[f]);
            ASSERT_EQ(static_cast<uint16_t>(right[f]), static_cast<uint16_t>(frame + 0x1000)) << n << " " << f;
            if (next >= 0) {
                ASSERT_EQ(frame, static_cast<uint16_t>(next)) << "block " << n << " frame " << f;
            }
            next = static_cast<uint16_t>(frame + 1);
        }
    }
    EXPECT_EQ(endpoint.LostFrames(), 0);
    Sleep(3 * kFrames * kInFlight * 1000 / 48000);  // three buffers' time
    ASSERT_TRUE(deliver());
    const int64_t lost = endpoint.LostFrames();
    EXPECT_GT(lost, static_cast<int64_t>(kFrames) * kInFlight);
    EXPECT_EQ(static_cast<uint16_t>(left[0]), static_cast<uint16_t>(next + lost));
    ASSERT_EQ(endpoint.SetState(KSSTATE_STOP), S_OK);
}

// A WaveRT pin is exclusive: one another program holds is reported as in
// use, the same as a standard pin; a free one is reported with its transport.
TEST_F(LoopedStreamingTest, TheDeviceReportNamesWaveRtAndAPinHeldElsewhere)
{
    kssim::DeviceModel held = AsWaveRt(SimRender("Held"));
    held.heldByOtherProgram = true;
    Sim().Reset({AsWaveRt(SimRender("Card")), held});
    WriteConfig(ConfigText().Out("Card", 2).Out("Held", 2));
    CDeviceSet& set = MakeSet();
    ASSERT_TRUE(set.OpenRender(RenderRequest(48000.0, 16)));
    EXPECT_EQ(OpenReportText(set.Reports()),
              "out  Card: open, 16 bit integer, 2 ch, 48000 Hz, WaveRT, FIFO 64 frames\n"
              "out  Held: in use by another program\n");
}

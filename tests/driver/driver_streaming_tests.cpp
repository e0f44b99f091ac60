// The stream, sample by sample: channel links, volume, delay lines, capture
// spreading, positions and time information.
#include "asio_test_host.h"
#include "driver_fixture.h"
#include "named_events.h"
#include "delay_line.h"
#include "telvara_driver.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

using kssim::CaptureDevice;
using kssim::RenderDevice;

constexpr long kBlock = 512;

// What the host writes into output buffer n at frame t of the stream: a
// different, never-zero ramp per buffer.
int16_t HostSample(size_t n, long t)
{
    return static_cast<int16_t>(1 + ((t * 3 + static_cast<long>(n) * 5003) % 20000));
}

class StreamingTest : public DriverTest {
protected:
    // Fills half `index` of every output buffer with the host's next block:
    // the block numbering follows the halves as the driver sends them.
    void FillNextBlock(AsioTestHost& host, size_t outputs, long index)
    {
        const long block = m_blocksFilled++;
        for (size_t n = 0; n < outputs; ++n) {
            int16_t* half = host.OutputHalf(n, index);
            for (long f = 0; f < host.BufferSize(); ++f) {
                half[f] = HostSample(n, block * host.BufferSize() + f);
            }
        }
    }

    // Creates the buffers, prefills both halves, streams `cycles` callbacks.
    void Stream(AsioTestHost& host, const std::vector<long>& outputs, const std::vector<long>& inputs, long cycles,
                long bufferSize = kBlock)
    {
        ASSERT_EQ(host.CreateBuffers(outputs, inputs, bufferSize), ASE_OK);
        m_blocksFilled = 0;
        FillNextBlock(host, outputs.size(), 0);
        FillNextBlock(host, outputs.size(), 1);
        auto previous = host.onBufferSwitch;
        host.onBufferSwitch = [&, previous, count = outputs.size()](long index) {
            FillNextBlock(host, count, index);
            if (previous) {
                previous(index);
            }
        };
        ASSERT_EQ(host.Driver()->start(), ASE_OK);
        ASSERT_TRUE(host.WaitForCallbacks(cycles, 20000)) << host.Callbacks() << " callbacks";
        ASSERT_EQ(host.Driver()->stop(), ASE_OK);
    }

    long m_blocksFilled = 0;
};

}  // namespace

TEST_F(StreamingTest, LinksAreOutputChannelNumbers)
{
    // Spk A and Quad take channels 0-1 and 2-5; the host creates buffers for
    // outputs 5 and 2 only, in that order.
    WriteConfig("[default]\nout=Spk A;Quad;Mute\n" + RenderSection("Spk A", 2, 2, 5) + RenderSection("Quad", 4, 5, 0) +
                RenderSection("Mute", 2, -2, -2));
    auto quad = RenderDevice("Quad", RenderPath('q'));
    quad.pins[0].ranges[0].maximumChannels = 4;
    UseDevices({RenderDevice("Spk A", RenderPath('a')), quad, RenderDevice("Mute", RenderPath('m'))});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    // Buffer 0 is output 5, buffer 1 output 2.
    Stream(host, {5, 2}, {}, 12);

    const long frames = 10 * kBlock;
    const auto stereo = Rendered(RenderPath('a'));
    ASSERT_GE(stereo.size(), static_cast<size_t>(2 * frames));
    for (long t = 0; t < frames; ++t) {
        ASSERT_EQ(stereo[2 * t], HostSample(1, t)) << "output 2 on the left, frame " << t;
        ASSERT_EQ(stereo[2 * t + 1], HostSample(0, t)) << "output 5 on the right, frame " << t;
    }
    const auto four = Rendered(RenderPath('q'));
    ASSERT_GE(four.size(), static_cast<size_t>(4 * frames));
    for (long t = 0; t < frames; ++t) {
        ASSERT_EQ(four[4 * t], HostSample(0, t)) << "left link on channel 0, frame " << t;
        for (int c = 1; c < 4; ++c) {
            ASSERT_EQ(four[4 * t + c], 0) << "output 0 was not created: channel " << c << ", frame " << t;
        }
    }
    const auto mute = Rendered(RenderPath('m'));
    ASSERT_GE(mute.size(), static_cast<size_t>(2 * frames));
    for (long i = 0; i < 2 * frames; ++i) {
        ASSERT_EQ(mute[i], 0) << i;
    }
}

TEST_F(StreamingTest, AnAutomaticLinkIsTheListPositionAndTheNext)
{
    // "Second" is item 1 of the list: -1;-1 links outputs 1 and 2.
    WriteConfig("[default]\nout=First;Second\n" + RenderSection("First", 2, -2, -2) +
                RenderSection("Second", 2, -1, -1));
    UseDevices({RenderDevice("First", RenderPath('f')), RenderDevice("Second", RenderPath('s'))});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    Stream(host, {0, 1, 2, 3}, {}, 6);
    const auto played = Rendered(RenderPath('s'));
    ASSERT_GE(played.size(), static_cast<size_t>(2 * 4 * kBlock));
    for (long t = 0; t < 4 * kBlock; ++t) {
        ASSERT_EQ(played[2 * t], HostSample(1, t)) << t;
        ASSERT_EQ(played[2 * t + 1], HostSample(2, t)) << t;
    }
}

TEST_F(StreamingTest, VolumeScalesTowardZero)
{
    WriteConfig("[default]\nout=Spk A\nVolume=0.500000\n" + RenderSection("Spk A", 2, 0, 1));
    UseDevices({RenderDevice("Spk A", RenderPath('a'))});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    ASSERT_EQ(host.CreateBuffers({0, 1}, {}, kBlock), ASE_OK);
    for (long index = 0; index < 2; ++index) {
        for (long f = 0; f < kBlock; ++f) {
            host.OutputHalf(0, index)[f] = 3;
            host.OutputHalf(1, index)[f] = -3;
        }
    }
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForCallbacks(2, 10000));
    ASSERT_EQ(driver->stop(), ASE_OK);
    const auto played = Rendered(RenderPath('a'));
    ASSERT_GE(played.size(), static_cast<size_t>(4 * kBlock));
    for (long f = 0; f < 2 * kBlock; ++f) {
        ASSERT_EQ(played[2 * f], 1) << f;
        ASSERT_EQ(played[2 * f + 1], -1) << f;
    }
}

// The volume scales the host's samples at their own width, truncated toward
// zero (16 bits in float as always, 24 and 32 bits in double), float
// samples by multiplication; a 32-bit device shows every bit of the result.
TEST_F(StreamingTest, VolumeScalesEachHostSampleTypeAtItsWidth)
{
    const float volume = 0.3f;
    struct Row {
        const char* settings;
        size_t bytes;
        int64_t left, right;  // integer samples written, or (float) bit patterns below
        float leftFloat, rightFloat;
        int32_t expectedLeft, expectedRight;  // what the 32-bit device plays
    };
    const auto trunc16 = [volume](int64_t s) { return static_cast<int32_t>(static_cast<int16_t>(static_cast<float>(s) * volume)) * 65536; };
    const auto trunc24 = [volume](int64_t s) { return static_cast<int32_t>(static_cast<double>(s) * volume) * 256; };
    const auto trunc32 = [volume](int64_t s) { return static_cast<int32_t>(static_cast<double>(s) * volume); };
    const auto scaled = [volume](float x) {
        return static_cast<int32_t>(static_cast<double>(std::clamp(x * volume, -1.0f, 1.0f)) * 2147483648.0);
    };
    const Row rows[] = {
        {"", 2, 32767, -32768, 0, 0, trunc16(32767), trunc16(-32768)},
        {"BitSpersample=24\n", 3, 8388607, -8388608, 0, 0, trunc24(8388607), trunc24(-8388608)},
        {"BitSpersample=32\n", 4, 2147483647, -2147483648LL, 0, 0, trunc32(2147483647), trunc32(-2147483648LL)},
        {"SampleFormat=float\n", 4, 0, 0, 1.0f, -1.5f, scaled(1.0f), scaled(-1.5f)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.settings);
        WriteConfig(std::string("[default]\nout=Spk A\nVolume=0.300000\n") + row.settings + RenderSection("Spk A", 2, 0, 1));
        auto speaker = RenderDevice("Spk A", RenderPath('a'));
        speaker.pins[0].ranges[0].minimumBitsPerSample = 32;
        speaker.pins[0].ranges[0].maximumBitsPerSample = 32;
        speaker.pins[0].requiredValidBits = 32;
        UseDevices({speaker});
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        {
            AsioTestHost host(driver);
            ASSERT_EQ(host.CreateBuffers({0, 1}, {}, kBlock), ASE_OK);
            for (long index = 0; index < 2; ++index) {
                for (int n = 0; n < 2; ++n) {
                    auto* half = reinterpret_cast<uint8_t*>(host.OutputHalf(static_cast<size_t>(n), index));
                    for (long f = 0; f < kBlock; ++f) {
                        if (row.bytes == 4 && row.settings[0] == 'S') {
                            const float x = n == 0 ? row.leftFloat : row.rightFloat;
                            std::memcpy(half + f * 4, &x, 4);
                        } else {
                            const int64_t v = n == 0 ? row.left : row.right;
                            std::memcpy(half + f * static_cast<long>(row.bytes), &v, row.bytes);  // little-endian
                        }
                    }
                }
            }
            ASSERT_EQ(driver->start(), ASE_OK);
            ASSERT_TRUE(host.WaitForCallbacks(2, 10000));
            ASSERT_EQ(driver->stop(), ASE_OK);
            ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
        }
        const std::vector<uint8_t> played = kssim::Simulation::Instance().RenderedBytes(RenderPath('a'), kRenderPinId);
        ASSERT_GE(played.size(), static_cast<size_t>(8 * 2 * kBlock));
        for (long f = 0; f < 2 * kBlock; ++f) {
            int32_t left;
            int32_t right;
            std::memcpy(&left, played.data() + 8 * f, 4);
            std::memcpy(&right, played.data() + 8 * f + 4, 4);
            ASSERT_EQ(left, row.expectedLeft) << f;
            ASSERT_EQ(right, row.expectedRight) << f;
        }
        ReleaseDriver();
    }
}

TEST_F(StreamingTest, ADelayOfPointTwoAt44100PlaysTheSilenceFirstThenTheHostUnchanged)
{
    WriteConfig("[default]\nout=Spk A\n" + RenderSection("Spk A", 2, 0, 1, "  0.20"));
    UseDevices({RenderDevice("Spk A", RenderPath('a'))});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    Stream(host, {0, 1}, {}, 20);
    const auto played = Rendered(RenderPath('a'));
    // 176 bytes per millisecond, 100 ms: 17600 bytes, 4400 stereo frames.
    const size_t silentFrames = 17600 / 4;
    ASSERT_GE(played.size(), 2 * (silentFrames + 4 * kBlock));
    for (size_t i = 0; i < 2 * silentFrames; ++i) {
        ASSERT_EQ(played[i], 0) << i;
    }
    for (long t = 0; t < 4 * kBlock; ++t) {
        ASSERT_EQ(played[2 * (silentFrames + t)], HostSample(0, t)) << t;
        ASSERT_EQ(played[2 * (silentFrames + t) + 1], HostSample(1, t)) << t;
    }
}

TEST_F(StreamingTest, TwoDevicesWithDelaysPointOneAndZeroPlayTheSameSignalApartByTheDelay)
{
    WriteConfig("[default]\nout=Late;Early\n" + RenderSection("Late", 2, 0, 1, "0.10") +
                RenderSection("Early", 2, 0, 1));
    UseDevices({RenderDevice("Late", RenderPath('l')), RenderDevice("Early", RenderPath('e'))});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    Stream(host, {0, 1}, {}, 16);
    const auto late = Rendered(RenderPath('l'));
    const auto early = Rendered(RenderPath('e'));
    // 50 ms at 176 bytes per millisecond: 8800 bytes, 2200 frames.
    const size_t offset = 2200;
    ASSERT_GE(late.size(), 2 * (offset + 4 * kBlock));
    for (size_t i = 0; i < 2 * offset; ++i) {
        ASSERT_EQ(late[i], 0) << i;
    }
    for (size_t i = 0; i < 2 * 4 * kBlock; ++i) {
        ASSERT_EQ(late[2 * offset + i], early[i]) << i;
    }
}

TEST_F(StreamingTest, CaptureDevicesFillTheInputsInDeviceThenChannelOrder)
{
    WriteConfig("[default]\nin=Mic A;Mic B\n" + CaptureSection("Mic A", 2) + CaptureSection("Mic B", 2) +
                "[default]\n");
    UseDevices({RenderDevice("Spk A", RenderPath('a')), CaptureDevice("Mic A", CapturePath('a')),
                CaptureDevice("Mic B", CapturePath('b'))});
    WriteConfig("[default]\nout=Spk A\nin=Mic A;Mic B\n" + RenderSection("Spk A", 2, 0, 1) + CaptureSection("Mic A", 2) +
                CaptureSection("Mic B", 2));
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    std::vector<std::vector<int16_t>> received(4);
    host.onBufferSwitch = [&](long index) {
        for (size_t n = 0; n < 4; ++n) {
            const int16_t* half = host.InputHalf(n, index);
            received[n].insert(received[n].end(), half, half + host.BufferSize());
        }
    };
    Stream(host, {0, 1}, {0, 1, 2, 3}, 8);
    // Each device's ramp: channel c of frame t is t + 0x1000 * c.
    for (size_t n = 0; n < 4; ++n) {
        ASSERT_GE(received[n].size(), static_cast<size_t>(8 * kBlock));
        const int channel = static_cast<int>(n % 2);
        const uint16_t first = static_cast<uint16_t>(received[n][0]);
        for (long t = 0; t < 8 * kBlock; ++t) {
            ASSERT_EQ(static_cast<uint16_t>(received[n][t]), static_cast<uint16_t>(first + t)) << n << " " << t;
        }
        EXPECT_EQ(static_cast<uint16_t>(first - 0x1000 * channel) % kBlock, 0) << "input " << n;
    }
}

TEST_F(StreamingTest, AFailingCaptureDeviceDropsOutAndTheNextKeepsItsChannels)
{
    WriteConfig("[default]\nout=Spk A\nin=Mic A;Mic B\n" + RenderSection("Spk A", 2, 0, 1) + CaptureSection("Mic A", 2) +
                CaptureSection("Mic B", 2));
    UseDevices({RenderDevice("Spk A", RenderPath('a')), CaptureDevice("Mic A", CapturePath('a')),
                CaptureDevice("Mic B", CapturePath('b'))});
    kssim::Simulation::Instance().SetStreamFault(CapturePath('a'), -1, kssim::StreamFault::Fail);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    std::vector<int16_t> inputs[4];
    host.onBufferSwitch = [&](long index) {
        for (size_t n = 0; n < 4; ++n) {
            inputs[n].insert(inputs[n].end(), host.InputHalf(n, index), host.InputHalf(n, index) + host.BufferSize());
        }
    };
    Stream(host, {0}, {0, 1, 2, 3}, 6);
    // Mic A's inputs 0 and 1 are silent; Mic B's channels 0 and 1 stay in
    // inputs 2 and 3: ramps 0x1000 apart.
    ASSERT_GE(inputs[2].size(), static_cast<size_t>(6 * kBlock));
    for (long t = 0; t < 6 * kBlock; ++t) {
        ASSERT_EQ(inputs[0][t], 0) << t;
        ASSERT_EQ(inputs[1][t], 0) << t;
        ASSERT_EQ(static_cast<uint16_t>(inputs[3][t] - inputs[2][t]), 0x1000) << t;
        ASSERT_EQ(static_cast<uint16_t>(inputs[2][t] - inputs[2][0]), static_cast<uint16_t>(t)) << t;
    }
}

TEST_F(StreamingTest, SamplePositionsTimeInfoAndTimeCode)
{
    WriteConfig("[default]\nout=Spk A\nSampleRate=48000\n" + RenderSection("Spk A", 2, 0, 1));
    UseDevices({RenderDevice("Spk A", RenderPath('a'))});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(driver->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
    AsioTestHost host(driver);
    host.supportsTimeInfo = true;
    Stream(host, {0, 1}, {}, 10);
    const auto switches = host.Switches();
    ASSERT_GE(switches.size(), 10u);
    const DWORD engineThread = switches[0].threadId;
    EXPECT_NE(engineThread, GetCurrentThreadId());
    for (size_t i = 0; i < 10; ++i) {
        const ASIOTime& time = switches[i].time;
        ASSERT_TRUE(switches[i].timeInfo);
        EXPECT_EQ(switches[i].index, static_cast<long>(i % 2));
        EXPECT_EQ(switches[i].threadId, engineThread);
        EXPECT_EQ(time.timeInfo.samplePosition.hi, 0u);
        EXPECT_EQ(time.timeInfo.samplePosition.lo, (i + 1) * kBlock) << i;
        EXPECT_EQ(time.timeInfo.flags, static_cast<unsigned long>(kSystemTimeValid | kSamplePositionValid |
                                                                  kSampleRateValid));
        EXPECT_EQ(time.timeInfo.sampleRate, 48000.0);
        EXPECT_EQ(time.timeInfo.speed, 1.0);
        EXPECT_EQ(time.timeCode.flags, static_cast<unsigned long>(kTcValid | kTcRunning));
        EXPECT_EQ(time.timeCode.timeCodeSamples.lo, (i + 1) * kBlock + 28800000u) << i;
        const double stampMs = (time.timeInfo.systemTime.hi * 4294967296.0 + time.timeInfo.systemTime.lo) / 1e6;
        EXPECT_NEAR(stampMs, static_cast<double>(timeGetTime()), 60000.0) << "nanoseconds of the system timer";
        if (i > 0) {
            const ASIOTimeStamp& before = switches[i - 1].time.timeInfo.systemTime;
            EXPECT_GE(time.timeInfo.systemTime.hi * 4294967296.0 + time.timeInfo.systemTime.lo,
                      before.hi * 4294967296.0 + before.lo);
        }
    }
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    EXPECT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(position.lo % kBlock, 0u);
    EXPECT_GE(position.lo, 10u * kBlock);
}

TEST_F(StreamingTest, AHostWithoutTimeInfoGetsPlainBufferSwitches)
{
    WriteConfig("[default]\nout=Spk A\n" + RenderSection("Spk A", 2, 0, 1));
    UseDevices({RenderDevice("Spk A", RenderPath('a'))});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    Stream(host, {0}, {}, 4);
    for (const auto& entry : host.Switches()) {
        EXPECT_FALSE(entry.timeInfo);
    }
}

TEST_F(StreamingTest, ASlowHostCallbackDelaysButNeverBreaksTheStream)
{
    WriteConfig("[default]\nout=Spk A\n" + RenderSection("Spk A", 2, 0, 1));
    UseDevices({RenderDevice("Spk A", RenderPath('a'))}, kssim::ClockMode::RealTime);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    // Each callback takes longer than a cycle (512 frames = 11.6 ms).
    host.onBufferSwitch = [](long) { Sleep(30); };
    Stream(host, {0, 1}, {}, 8);
    // The device runs dry while the host is slow and plays silence then (the
    // host's samples are never 0); what the host wrote arrives whole, in order.
    std::vector<int16_t> left;
    const auto played = Rendered(RenderPath('a'));
    for (size_t i = 0; i < played.size(); i += 2) {
        if (played[i] != 0) {
            left.push_back(played[i]);
        }
    }
    ASSERT_GE(left.size(), static_cast<size_t>(6 * kBlock));
    for (long t = 0; t < 6 * kBlock; ++t) {
        ASSERT_EQ(left[t], HostSample(0, t)) << t;
    }
}

TEST_F(StreamingTest, SettingsChangedEventTakesTheNewVolumeOnTheNextCycles)
{
    WriteConfig("[default]\nout=Spk A\n" + RenderSection("Spk A", 2, 0, 1));
    UseDevices({RenderDevice("Spk A", RenderPath('a'))});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    ASSERT_EQ(host.CreateBuffers({0, 1}, {}, kBlock), ASE_OK);
    host.onBufferSwitch = [&](long index) {
        for (long f = 0; f < kBlock; ++f) {
            host.OutputHalf(0, index)[f] = 1000;
            host.OutputHalf(1, index)[f] = 1000;
        }
    };
    host.onBufferSwitch(0);
    host.onBufferSwitch(1);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForCallbacks(4, 10000));
    WriteConfig("[default]\nout=Spk A\nVolume=0.500000\n" + RenderSection("Spk A", 2, 0, 1));
    ASSERT_TRUE(SetNamedEvent(TelvaraEvents::kSettingsChanged)) << "the control thread created the event";
    // The control thread applies it within its wait; give the stream time.
    const long seen = host.Callbacks();
    bool halved = false;
    for (int i = 0; i < 100 && !halved; ++i) {
        ASSERT_TRUE(host.WaitForCallbacks(seen + 4 * (i + 1), 10000));
        const auto played = Rendered(RenderPath('a'));
        halved = !played.empty() && played.back() == 500;
    }
    ASSERT_EQ(driver->stop(), ASE_OK);
    EXPECT_TRUE(halved);
    const auto played = Rendered(RenderPath('a'));
    // Every sample is 1000 until the change and 500 after it, nothing else.
    size_t i = 0;
    while (i < played.size() && played[i] == 1000) {
        ++i;
    }
    ASSERT_GT(i, 0u);
    for (; i < played.size(); ++i) {
        ASSERT_EQ(played[i], 500) << i;
    }
}

TEST_F(StreamingTest, CaptureDevicesThatArriveBeforeARateChangeAreReadWithBlocksOfTheirOwnSize)
{
    WriteConfig("[default]\nout=Spk A\nin=Mic A;Mic B\n" + RenderSection("Spk A", 2, 0, 1) + CaptureSection("Mic A", 2) +
                CaptureSection("Mic B", 1));
    UseDevices({RenderDevice("Spk A", RenderPath('a')), CaptureDevice("Mic B", CapturePath('b'))});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    // A two-channel device plugged in now takes index 0 at the next open.
    kssim::Simulation::Instance().AddDevice(CaptureDevice("Mic A", CapturePath('a')));
    ASSERT_EQ(driver->setSampleRate(48000), ASE_OK);
    long inputs = 0, outputs = 0;
    driver->getChannels(&inputs, &outputs);
    ASSERT_EQ(inputs, 3);
    AsioTestHost host(driver);
    std::vector<std::vector<int16_t>> received(3);
    host.onBufferSwitch = [&](long index) {
        for (size_t n = 0; n < 3; ++n) {
            received[n].insert(received[n].end(), host.InputHalf(n, index), host.InputHalf(n, index) + host.BufferSize());
        }
    };
    Stream(host, {0}, {0, 1, 2}, 6);
    // Mic A's two ramps 0x1000 apart, then Mic B's own ramp, unbroken.
    for (long t = 0; t < 6 * kBlock; ++t) {
        ASSERT_EQ(static_cast<uint16_t>(received[1][t] - received[0][t]), 0x1000) << t;
        ASSERT_EQ(static_cast<uint16_t>(received[0][t] - received[0][0]), static_cast<uint16_t>(t)) << t;
        ASSERT_EQ(static_cast<uint16_t>(received[2][t] - received[2][0]), static_cast<uint16_t>(t)) << t;
    }
}

TEST_F(StreamingTest, ADelayLineOfSixChannelsHoldsWholeFramesSoNoChannelShifts)
{
    WriteConfig("[default]\nout=Six\n" + RenderSection("Six", 6, 0, 1, "0.10"));
    auto six = RenderDevice("Six", RenderPath('s'));
    six.pins[0].ranges[0].maximumChannels = 6;
    UseDevices({six});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    Stream(host, {0, 1}, {}, 12);
    const auto played = Rendered(RenderPath('s'));
    // 529 bytes a millisecond (529.2 cut), 50 ms: 26450 bytes, cut to whole
    // 12-byte frames: 2204 frames of silence.
    const size_t silentFrames = 26448 / 12;
    ASSERT_GE(played.size(), 6 * (silentFrames + 4 * kBlock));
    for (size_t i = 0; i < 6 * silentFrames; ++i) {
        ASSERT_EQ(played[i], 0) << i;
    }
    for (long t = 0; t < 4 * kBlock; ++t) {
        const size_t frame = 6 * (silentFrames + t);
        ASSERT_EQ(played[frame], HostSample(0, t)) << t;
        for (int c = 1; c < 6; ++c) {
            ASSERT_EQ(played[frame + c], HostSample(1, t)) << t << " channel " << c;
        }
    }
}

TEST_F(StreamingTest, MoreRequestsInFlightPlaySilenceFirstThenTheHostWhole)
{
    // Each extra block in flight is one block of silence ahead of the host's
    // first: the devices then hold that much more against a late cycle.
    for (int inFlight : {2, 4, 8}) {
        SCOPED_TRACE(inFlight);
        WriteConfig("[default]\nout=Spk A\nRequestsInFlight=" + std::to_string(inFlight) + "\n" +
                    RenderSection("Spk A", 2, 0, 1));
        UseDevices({RenderDevice("Spk A", RenderPath('a'))});
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        AsioTestHost host(driver);
        Stream(host, {0, 1}, {}, 10);
        const std::vector<int16_t> played = Rendered(RenderPath('a'));
        const size_t lead = static_cast<size_t>(inFlight - 2) * kBlock * 2;
        ASSERT_GE(played.size(), lead + 8 * kBlock * 2);
        EXPECT_TRUE(std::all_of(played.begin(), played.begin() + static_cast<std::ptrdiff_t>(lead),
                                [](int16_t s) { return s == 0; }));
        for (long t = 0; t < 8 * kBlock; ++t) {
            ASSERT_EQ(played[lead + 2 * static_cast<size_t>(t)], HostSample(0, t)) << t;
            ASSERT_EQ(played[lead + 2 * static_cast<size_t>(t) + 1], HostSample(1, t)) << t;
        }
        ReleaseDriver();
    }
}

TEST_F(StreamingTest, ReadsInFlightKeepEveryFrameThroughALateCycle)
{
    // A device that keeps 5 ms for itself, and a host whose callback once
    // takes 40 ms (3.5 blocks): the reads queued ahead take the frames, so
    // the recording goes on without a gap and the device loses none.
    kssim::DeviceModel mic = CaptureDevice("Mic", CapturePath('m'));
    mic.deviceBufferMs = 5;
    WriteConfig("[default]\nout=Spk A\nin=Mic\nRequestsInFlight=8\n" + RenderSection("Spk A", 2, 0, 1) +
                CaptureSection("Mic", 2));
    UseDevices({RenderDevice("Spk A", RenderPath('a')), mic}, kssim::ClockMode::RealTime);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    AsioTestHost host(driver);
    std::vector<int16_t> recorded;
    host.onBufferSwitch = [&](long index) {
        recorded.insert(recorded.end(), host.InputHalf(0, index), host.InputHalf(0, index) + host.BufferSize());
        if (recorded.size() == 4 * static_cast<size_t>(kBlock)) {
            Sleep(40);
        }
    };
    Stream(host, {0, 1}, {0}, 16);
    EXPECT_EQ(kssim::Simulation::Instance().OverrunFrames(CapturePath('m'), kCapturePinId), 0);
    ASSERT_GE(recorded.size(), static_cast<size_t>(16 * kBlock));
    const auto first = static_cast<uint16_t>(recorded[0]);
    for (size_t t = 0; t < recorded.size(); ++t) {
        ASSERT_EQ(static_cast<uint16_t>(recorded[t]), static_cast<uint16_t>(first + t)) << t;
    }
}

TEST_F(StreamingTest, ALiveDelayChangeMovesOnlyThatDeviceExactlyByTheChange)
{
    // At 48000 Hz 100 ms are exactly 4800 frames; each change fades out and
    // in over 5 ms (240 frames) around a jump at a block boundary.
    constexpr long kDelay = 4800;
    constexpr long kFade = 240;
    const auto config = [this](const char* delay) {
        WriteConfig("[default]\nSampleRate=48000\nout=Spk A;Spk B\n" + RenderSection("Spk A", 2, 0, 1, delay) +
                    RenderSection("Spk B", 2, 0, 1));
    };
    config("0.00");
    UseDevices({RenderDevice("Spk A", RenderPath('a')), RenderDevice("Spk B", RenderPath('b'))});
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    long before = 0, between = 0, after = 0;
    long input = 0;
    driver->getLatencies(&input, &before);
    {
        AsioTestHost host(driver);
        long switches = 0;
        // The panel moves Speaker A to 100 ms, then back to none. The host
        // waits in its callback until the driver has taken each change up,
        // so that the unpaced simulated devices leave room to see it.
        const auto change = [&](const char* delay, long expected) {
            config(delay);
            SetNamedEvent(TelvaraEvents::kOutputDelayChanged);
            long output = 0;
            for (int i = 0; i < 2000 && output != expected; ++i) {
                Sleep(1);
                driver->getLatencies(&input, &output);
            }
            return output;
        };
        host.onBufferSwitch = [&](long) {
            if (++switches == 20) {
                between = change("0.20", before + kDelay);
            } else if (switches == 150) {
                after = change("0.00", before);
            }
        };
        Stream(host, {0, 1}, {}, 300);
        EXPECT_EQ(host.LatencyChanges(), 2) << "the host hears of each change";
    }
    EXPECT_EQ(between - before, kDelay) << "the outputs are as late as the latest device";
    EXPECT_EQ(after, before);

    // Speaker B plays every sample once, in order.
    const std::vector<int16_t> b = Rendered(RenderPath('b'));
    ASSERT_GE(b.size(), static_cast<size_t>(2 * 280 * kBlock));
    for (size_t i = 0; i < b.size(); i += 2) {
        const long t = static_cast<long>(i / 2);
        ASSERT_EQ(b[i], HostSample(0, t)) << "Speaker B, frame " << t;
        ASSERT_EQ(b[i + 1], HostSample(1, t)) << "Speaker B, frame " << t;
    }
    // Speaker A: in step until the first fade; silence for exactly the delay
    // after the jump; then every sample exactly 4800 frames late until the
    // second fade, after which it is in step again.
    const std::vector<int16_t> a = Rendered(RenderPath('a'));
    ASSERT_EQ(a.size(), b.size());
    const long frames = static_cast<long>(a.size() / 2);
    const auto playsAt = [&](long t, long late) {
        return t >= late && a[2 * t] == HostSample(0, t - late) && a[2 * t + 1] == HostSample(1, t - late);
    };
    const auto within = [&](long t, long late) {  // faded: never louder than the sample it fades
        return std::abs(a[2 * t]) <= std::abs(t >= late ? HostSample(0, t - late) : 0);
    };
    long t = 0;
    while (t < frames && playsAt(t, 0)) {
        ++t;
    }
    const long jump = (t + kFade + kBlock - 1) / kBlock * kBlock;
    ASSERT_GT(t, 10 * kBlock) << "the first change came too early to see";
    for (; t < jump; ++t) {
        ASSERT_TRUE(within(t, 0)) << "fade-out, frame " << t;
    }
    for (; t < jump + kDelay; ++t) {
        ASSERT_TRUE(a[2 * t] == 0 && a[2 * t + 1] == 0) << "the inserted silence, frame " << t;
    }
    for (; t < jump + kDelay + kFade; ++t) {
        ASSERT_TRUE(within(t, kDelay)) << "fade-in, frame " << t;
    }
    const long exactFrom = t;
    while (t < frames && playsAt(t, kDelay)) {
        ++t;
    }
    ASSERT_GT(t - exactFrom, 50 * kBlock) << "exactly 100 ms late from frame " << exactFrom << " to " << t;
    const long back = (t + kFade + kBlock - 1) / kBlock * kBlock;
    for (; t < back; ++t) {
        ASSERT_TRUE(within(t, kDelay)) << "second fade-out, frame " << t;
    }
    for (; t < back + kFade; ++t) {
        ASSERT_TRUE(within(t, 0)) << "second fade-in, frame " << t;
    }
    for (; t < frames; ++t) {
        ASSERT_TRUE(playsAt(t, 0)) << "in step again, frame " << t;
    }
}

TEST(DelayLine, StoredDelaysAreWholeMillisecondsInEveryBuild)
{
    // Hundredths as the file stores them; the same bytes in the 32-bit and
    // 64-bit builds (44100 Hz stereo: 176 whole bytes a ms).
    const std::pair<float, int64_t> cases[] = {
        {0.01f, 5 * 176}, {0.02f, 10 * 176}, {0.29f, 145 * 176}, {0.99f, 495 * 176}, {1.0f, 500 * 176},
        {2.0f, 500 * 176}, {0.0f, 0}, {-0.5f, 0},
    };
    for (const auto& [factor, bytes] : cases) {
        EXPECT_EQ(DelayFrames(DelayMsOfFactor(factor), 44100.0, 2) * 4, bytes) << factor;
    }
}

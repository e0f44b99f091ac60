// What a host learns from the driver before it streams, and how the driver
// answers calls that are out of order or malformed.
#include "asio_test_host.h"
#include "child_process.h"
#include "driver_fixture.h"
#include "driver_texts.h"
#include "ks_trace_level_guard.h"
#include "message_box_log.h"
#include "telvara_driver.h"
#include "trace_capture.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

using kssim::CaptureDevice;
using kssim::RenderDevice;

class DriverQueryTest : public DriverTest {
protected:
    // Two stereo render devices and one stereo capture device, configured.
    IASIO* InitTwoOutOneIn()
    {
        WriteConfig("[default]\nout=Spk A;Spk B\nin=Mic\n" + RenderSection("Spk A", 2, 0, 1) +
                    RenderSection("Spk B", 2, 0, 1) + CaptureSection("Mic", 2));
        UseDevices({RenderDevice("Spk A", RenderPath('a')), RenderDevice("Spk B", RenderPath('b')),
                    CaptureDevice("Mic", CapturePath('m'))});
        IASIO* driver = CreateDriver();
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        return driver;
    }
};

long NoMessages(long, long, void*, double*)
{
    return 0;
}
void NoSwitch(long, ASIOBool)
{
}

}  // namespace

TEST_F(DriverQueryTest, NameVersionAndAnEmptyErrorBeforeInit)
{
    IASIO* driver = CreateDriver();
    char name[32];
    std::memset(name, 'x', sizeof name);
    driver->getDriverName(name);
    EXPECT_STREQ(name, "TELVARA");
    EXPECT_EQ(driver->getDriverVersion(), 1);
    char error[200];
    std::memset(error, 'x', sizeof error);
    driver->getErrorMessage(error);
    EXPECT_STREQ(error, "");
}

TEST_F(DriverQueryTest, BufferSizeIsTheConfiguredBlockSizeOnly)
{
    WriteConfig("[default]\nBlockFrames=256\n");
    IASIO* driver = CreateDriver();
    TraceCapture capture;
    long minSize = 7, maxSize = 8, preferred = 9, granularity = 10;
    EXPECT_EQ(driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(minSize, 256);
    EXPECT_EQ(maxSize, 256);
    EXPECT_EQ(preferred, 256);
    EXPECT_EQ(granularity, -1);
    EXPECT_TRUE(capture.Contains(
        "[TELVARA]CTelvaraDriver::getBufferSize minSize=7 maxSize=8 preferredSize=9 granularity=10\n"));
}

TEST_F(DriverQueryTest, SampleRatesClocksFutureAndOutputReady)
{
    IASIO* driver = CreateDriver();
    // No device is open yet: every rate of the list is offered.
    for (double rate : {8000.0, 16000.0, 32000.0, 44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0}) {
        EXPECT_EQ(driver->canSampleRate(rate), ASE_OK) << rate;
    }
    for (double rate : {22050.0, 0.0, -44100.0, 44100.5, 384000.0}) {
        EXPECT_EQ(driver->canSampleRate(rate), ASE_NoClock) << rate;
    }
    ASIOClockSource clocks[4] = {};
    long count = 4;
    EXPECT_EQ(driver->getClockSources(clocks, &count), ASE_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(clocks[0].index, 0);
    EXPECT_EQ(clocks[0].associatedChannel, -1);
    EXPECT_EQ(clocks[0].associatedGroup, -1);
    EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
    EXPECT_STREQ(clocks[0].name, "Computer");
    EXPECT_EQ(driver->setClockSource(0), ASE_OK);
    EXPECT_EQ(driver->setClockSource(1), ASE_NotPresent);

    for (long selector : {1L, 2L, 10L, 11L}) {
        EXPECT_EQ(driver->future(selector, nullptr), ASE_SUCCESS) << selector;
    }
    // No direct monitoring: a host that believed in it would mute its own.
    for (long selector : {0L, 3L, 4L, 5L, 9L, 12L, 0x23111961L}) {
        EXPECT_EQ(driver->future(selector, nullptr), ASE_NotPresent) << selector;
    }
    EXPECT_EQ(driver->outputReady(), ASE_NotPresent);
    ASIOSampleRate rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 44100.0);
}

TEST_F(DriverQueryTest, InitWithoutConfiguredDevicesSaysSo)
{
    UseDevices({RenderDevice("Spk A", RenderPath('a'))});
    IASIO* driver = CreateDriver();
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    // The host's 124-byte field, guarded on both sides.
    char field[16 + DriverTexts::kErrorMessageBytes + 16];
    std::memset(field, 0x5A, sizeof field);
    driver->getErrorMessage(field + 16);
    for (size_t i = 0; i < 16; ++i) {
        ASSERT_EQ(field[i], 0x5A) << "before the field, byte " << i;
        ASSERT_EQ(field[16 + DriverTexts::kErrorMessageBytes + i], 0x5A) << "after the field, byte " << i;
    }
    EXPECT_STREQ(field + 16, DriverTexts::kNoAudioDevice) << "the whole text fits";
    EXPECT_LE(std::strlen(DriverTexts::kNoAudioDevice) + 1, DriverTexts::kErrorMessageBytes);
    long inputs = -1, outputs = -1;
    driver->getChannels(&inputs, &outputs);
    EXPECT_EQ(inputs, 0);
    EXPECT_EQ(outputs, 0);
}

TEST_F(DriverQueryTest, InitWithInputsButNoOutputsRunsWithTheInputsAndNamesTheOutput)
{
    WriteConfig("[default]\nout=Gone\nin=Mic\n" + RenderSection("Gone", 2, 0, 1) + CaptureSection("Mic", 2));
    UseDevices({CaptureDevice("Mic", CapturePath('m'))});
    IASIO* driver = CreateDriver();
    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    char error[200] = {};
    driver->getErrorMessage(error);
    // "未打开的设备:Gone(未找到)"
    EXPECT_STREQ(error, "\xce\xb4\xb4\xf2\xbf\xaa\xb5\xc4\xc9\xe8\xb1\xb8:Gone(\xce\xb4\xd5\xd2\xb5\xbd)");
    long inputs = -1, outputs = -1;
    driver->getChannels(&inputs, &outputs);
    EXPECT_EQ(inputs, 2);
    EXPECT_EQ(outputs, 0);
    EXPECT_EQ(kssim::Simulation::Instance().OpenPinInstances(CapturePath('m'), kCapturePinId), 1);
}

// The settings file is created once per process: this runs in a child.
// Not a fixture test: the application-data folder is the parent's.
TEST(DriverSettingsFailure, DISABLED_ChildFailsInitWithTheSettingsReason)
{
    ClearLoggedMessageBoxes();
    auto* object = new CTelvaraDriver(nullptr);
    object->NonDelegatingAddRef();
    IASIO* driver = object;
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    char error[200] = {};
    driver->getErrorMessage(error);
    // "读取配置文件出现异常:" and the library's reason.
    EXPECT_EQ(std::string(error).rfind("\xb6\xc1\xc8\xa1\xc5\xe4\xd6\xc3\xce\xc4\xbc\xfe\xb3\xf6\xcf\xd6\xd2\xec\xb3\xa3:", 0),
              0u)
        << error;
    ASSERT_EQ(LoggedMessageBoxes().size(), 1u) << "the user is told once";
    EXPECT_EQ(LoggedMessageBoxes()[0].caption, "TELVARA");
    driver->Release();
}

TEST_F(DriverQueryTest, AnUnreadableSettingsFileFailsInitWithItsReasonInsteadOfEndingTheHost)
{
    // A file where the settings folder belongs: nothing can be created.
    WriteFileBytes(m_appData.SettingsFolder(), "not a folder");
    EXPECT_EQ(RunChildTest("DriverSettingsFailure.DISABLED_ChildFailsInitWithTheSettingsReason"), 0)
        << "the host process lives on and init reports the reason";
}

TEST_F(DriverQueryTest, ChannelsAndChannelInfoBeforeAndAfterCreateBuffers)
{
    IASIO* driver = InitTwoOutOneIn();
    long inputs = 0, outputs = 0;
    EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
    EXPECT_EQ(inputs, 2);
    EXPECT_EQ(outputs, 4);

    ASIOChannelInfo info{};
    info.channel = 1;
    info.isInput = ASIOTrue;
    info.channelGroup = 77;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOTrue) << "inputs read as active before createBuffers";
    EXPECT_STREQ(info.name, "TELVARA input 2");
    EXPECT_EQ(info.type, ASIOSTInt16LSB);
    EXPECT_EQ(info.channelGroup, 77);

    info = {};
    info.channel = 0;
    std::strcpy(info.name, "host's");
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOFalse);
    EXPECT_STREQ(info.name, "TELVARA output 1") << "hosts list the names before they create buffers";

    ASIOCallbacks callbacks{NoSwitch, nullptr, NoMessages, nullptr};
    ASIOBufferInfo buffers[2] = {{ASIOFalse, 2, {}}, {ASIOFalse, 3, {}}};
    ASSERT_EQ(driver->createBuffers(buffers, 2, 512, &callbacks), ASE_OK);
    for (long channel = 0; channel < 4; ++channel) {
        info = {};
        info.channel = channel;
        EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
        EXPECT_EQ(info.isActive, channel >= 2 ? ASIOTrue : ASIOFalse) << channel;
        EXPECT_EQ(std::string(info.name), "TELVARA output " + std::to_string(channel + 1)) << "active or not";
    }
    info = {};
    info.channel = 0;
    info.isInput = ASIOTrue;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOFalse) << "no buffer was created for it";
    EXPECT_STREQ(info.name, "TELVARA input 1");
    info.isInput = ASIOFalse;
    info.channel = 2;
    driver->getChannelInfo(&info);
    EXPECT_STREQ(info.name, "TELVARA output 3");
    info.channel = 3;
    driver->getChannelInfo(&info);
    EXPECT_STREQ(info.name, "TELVARA output 4");

    for (long bad : {-1L, 4L, 1000L}) {
        info.channel = bad;
        info.isInput = ASIOFalse;
        EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter) << bad;
    }
    info.channel = 2;
    info.isInput = ASIOTrue;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

TEST_F(DriverQueryTest, CreateBuffersRefusesBadChannelsAndCounts)
{
    IASIO* driver = InitTwoOutOneIn();
    ASIOCallbacks callbacks{NoSwitch, nullptr, NoMessages, nullptr};
    ASIOBufferInfo input16{ASIOTrue, 16, {}};
    EXPECT_EQ(driver->createBuffers(&input16, 1, 512, &callbacks), ASE_InvalidParameter);
    ASIOBufferInfo outputAtCount{ASIOFalse, 4, {}};
    EXPECT_EQ(driver->createBuffers(&outputAtCount, 1, 512, &callbacks), ASE_InvalidParameter);
    ASIOBufferInfo negative{ASIOFalse, -1, {}};
    EXPECT_EQ(driver->createBuffers(&negative, 1, 512, &callbacks), ASE_InvalidParameter);
    // Five outputs on four output channels.
    std::vector<ASIOBufferInfo> five(5, ASIOBufferInfo{ASIOFalse, 0, {}});
    EXPECT_EQ(driver->createBuffers(five.data(), 5, 512, &callbacks), ASE_InvalidParameter);
    // Seventeen inputs.
    std::vector<ASIOBufferInfo> seventeen(17, ASIOBufferInfo{ASIOTrue, 0, {}});
    EXPECT_EQ(driver->createBuffers(seventeen.data(), 17, 512, &callbacks), ASE_InvalidParameter);
    // Null pointers and impossible sizes are refused instead of crashing the host.
    ASIOBufferInfo good{ASIOFalse, 0, {}};
    EXPECT_EQ(driver->createBuffers(nullptr, 1, 512, &callbacks), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(&good, 1, 512, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(&good, 1, 0, &callbacks), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(&good, 1, -512, &callbacks), ASE_InvalidParameter);
    // After every refusal nothing is left: start has no buffers.
    EXPECT_EQ(driver->start(), ASE_NotPresent);
    // A good call still works, twice in a row without dispose.
    EXPECT_EQ(driver->createBuffers(&good, 1, 512, &callbacks), ASE_OK);
    EXPECT_NE(good.buffers[0], nullptr);
    EXPECT_EQ(static_cast<int16_t*>(good.buffers[1]) - static_cast<int16_t*>(good.buffers[0]), 512);
    EXPECT_EQ(static_cast<int16_t*>(good.buffers[0])[0], 0) << "outputs start silent";
    EXPECT_EQ(driver->createBuffers(&good, 1, 256, &callbacks), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

TEST_F(DriverQueryTest, NullPointersAreRefusedNotFollowed)
{
    IASIO* driver = InitTwoOutOneIn();
    long value = 0;
    EXPECT_EQ(driver->getChannels(nullptr, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->getChannels(&value, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getLatencies(nullptr, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->getBufferSize(nullptr, &value, &value, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->getSampleRate(nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getClockSources(nullptr, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->getSamplePosition(nullptr, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getChannelInfo(nullptr), ASE_InvalidParameter);
    driver->getDriverName(nullptr);
    driver->getErrorMessage(nullptr);
}

TEST_F(DriverQueryTest, CallsOutOfOrder)
{
    IASIO* driver = InitTwoOutOneIn();
    EXPECT_EQ(driver->start(), ASE_NotPresent) << "start before createBuffers";
    EXPECT_EQ(driver->stop(), ASE_NotPresent) << "stop when not started";
    EXPECT_EQ(driver->init(nullptr), ASIOTrue) << "init again answers at once";
    EXPECT_EQ(driver->setSampleRate(44100), ASE_OK);
    EXPECT_EQ(driver->setSampleRate(22050), ASE_NoClock);
}

TEST_F(DriverQueryTest, SetSampleRateReopensTheDevicesAndNeverCallsTheHostBackInsideTheCall)
{
    IASIO* driver = InitTwoOutOneIn();
    auto& sim = kssim::Simulation::Instance();
    AsioTestHost host(driver);
    ASSERT_EQ(host.CreateBuffers({0, 1}, {}, 512), ASE_OK);
    KsTraceLevelGuard level(5);
    TraceCapture trace;
    testing::internal::CaptureStdout();
    const ASIOError changed = driver->setSampleRate(48000);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(changed, ASE_OK) << ::testing::PrintToString(trace.Lines());
    // "设置采样率:48000,块大小512" goes to the trace: the host's standard
    // output may carry its own data.
    EXPECT_EQ(out, "");
    bool traced = false;
    for (const std::string& line : trace.Lines()) {
        traced = traced ||
                 line.find("\xc9\xe8\xd6\xc3\xb2\xc9\xd1\xf9\xc2\xca:48000,\xbf\xe9\xb4\xf3\xd0\xa1" "512") !=
                     std::string::npos;
    }
    EXPECT_TRUE(traced);
    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);
    EXPECT_EQ(rate, 48000.0);
    const std::vector<uint8_t> connect = sim.LastPinConnect(RenderPath('a'), kRenderPinId);
    ASSERT_GE(connect.size(), sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX));
    const auto* format =
        reinterpret_cast<const WAVEFORMATEX*>(connect.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT));
    EXPECT_EQ(format->nSamplesPerSec, 48000u) << "the pins were created anew at the new rate";
    // The host asked for it itself; a stopped stream hears nothing.
    EXPECT_EQ(host.RateChanges().size(), 0u) << "no call back inside the host's own call";
    EXPECT_EQ(driver->setSampleRate(48000), ASE_OK);
    EXPECT_EQ(host.RateChanges().size(), 0u) << "the same rate again changes nothing";
}

TEST_F(DriverQueryTest, LatenciesCountTheBlocksInFlightAndTheBufferingTheDevicesReport)
{
    // 512 frames at 44100 Hz; the simulated devices keep 10 ms (441 frames)
    // and report it unless told not to. A setting other than 0 wins.
    struct Case {
        std::string defaults;
        bool reported;
        long input;
        long output;
    };
    const Case cases[] = {
        {"", true, 512 + 441, 2 * 512 + 441},
        {"RequestsInFlight=4\n", true, 512 + 441, 4 * 512 + 441},
        {"RequestsInFlight=99\n", true, 512 + 441, 8 * 512 + 441},
        {"RequestsInFlight=0\n", false, 512, 2 * 512},
        {"RequestsInFlight=3\n", false, 512, 3 * 512},
        {"InputLatency=100\nOutputLatency=200\n", true, 100, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.defaults + (c.reported ? "reported" : "not reported"));
        WriteConfig("[default]\nout=Spk A\nin=Mic\n" + c.defaults + RenderSection("Spk A", 2, 0, 1) +
                    CaptureSection("Mic", 2));
        kssim::DeviceModel speaker = RenderDevice("Spk A", RenderPath('a'));
        kssim::DeviceModel mic = CaptureDevice("Mic", CapturePath('m'));
        speaker.reportsLatency = mic.reportsLatency = c.reported;
        UseDevices({speaker, mic});
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        long input = 0;
        long output = 0;
        ASSERT_EQ(driver->getLatencies(&input, &output), ASE_OK);
        EXPECT_EQ(input, c.input);
        EXPECT_EQ(output, c.output);
        ReleaseDriver();
    }
}

// "BitSpersample" and "SampleFormat" choose the type of every channel and
// the size of the buffers createBuffers hands out: two halves of the
// buffer size in samples of 2, 3 or 4 bytes, silent from the start.
TEST_F(DriverQueryTest, TheSettingsChooseTheChannelsSampleTypeAndTheBufferSizes)
{
    struct Row {
        const char* settings;  // lines of section "default"
        ASIOSampleType type;
        size_t bytes;
    };
    const Row rows[] = {
        {"", ASIOSTInt16LSB, 2},
        {"BitSpersample=16\nSampleFormat=int\n", ASIOSTInt16LSB, 2},
        {"BitSpersample=8\n", ASIOSTInt16LSB, 2},
        {"BitSpersample=20\n", ASIOSTInt16LSB, 2},
        {"BitSpersample=24\n", ASIOSTInt24LSB, 3},
        {"BitSpersample=32\nSampleFormat=int\n", ASIOSTInt32LSB, 4},
        {"BitSpersample=32\nSampleFormat=double\n", ASIOSTInt32LSB, 4},
        {"SampleFormat=float\n", ASIOSTFloat32LSB, 4},
        {"BitSpersample=24\nSampleFormat=Float\n", ASIOSTFloat32LSB, 4},
    };
    constexpr long kFrames = 64;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.settings);
        kssim::DeviceModel speaker = RenderDevice("Spk", RenderPath('a'));
        speaker.pins[0].ranges[0].maximumBitsPerSample = 32;
        speaker.pins[0].ranges[0].minimumBitsPerSample = 8;
        kssim::DeviceModel microphone = CaptureDevice("Mic", CapturePath('m'));
        microphone.pins[0].ranges[0].maximumBitsPerSample = 32;
        microphone.pins[0].ranges[0].minimumBitsPerSample = 8;
        UseDevices({speaker, microphone});
        WriteConfig(std::string("[default]\nout=Spk\nin=Mic\n") + row.settings + RenderSection("Spk", 2, 0, 1) +
                    CaptureSection("Mic", 2));
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        for (ASIOBool input : {ASIOFalse, ASIOTrue}) {
            for (long channel : {0L, 1L}) {
                ASIOChannelInfo info{};
                info.channel = channel;
                info.isInput = input;
                ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
                EXPECT_EQ(info.type, row.type) << (input ? "input " : "output ") << channel;
            }
        }
        ASIOCallbacks callbacks{NoSwitch, nullptr, NoMessages, nullptr};
        ASIOBufferInfo buffers[3] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}, {ASIOTrue, 1, {}}};
        ASSERT_EQ(driver->createBuffers(buffers, 3, kFrames, &callbacks), ASE_OK);
        for (const ASIOBufferInfo& buffer : buffers) {
            const auto* first = static_cast<const uint8_t*>(buffer.buffers[0]);
            const auto* second = static_cast<const uint8_t*>(buffer.buffers[1]);
            EXPECT_EQ(static_cast<size_t>(second - first), kFrames * row.bytes);
            // Both halves are there and silent: the host may write all of them.
            EXPECT_EQ(std::count(first, first + 2 * kFrames * row.bytes, 0), static_cast<ptrdiff_t>(2 * kFrames * row.bytes));
        }
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
        ReleaseDriver();
    }
}

#include "device_test_support.h"

#include "ks_trace_level_guard.h"

#include "trace_capture.h"

#include <cstring>

namespace {

// The creation request of the last pin made on the device's pin 0.
struct PinConnect {
    KSPIN_CONNECT connect{};
    KSDATAFORMAT dataFormat{};
    WAVEFORMATEXTENSIBLE format{};
};

PinConnect LastConnect(const std::string& path)
{
    const std::vector<uint8_t> bytes = kssim::Simulation::Instance().LastPinConnect(path, 0);
    PinConnect result;
    EXPECT_GE(bytes.size(), sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX));
    if (bytes.size() < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) {
        return result;
    }
    std::memcpy(&result.connect, bytes.data(), sizeof(KSPIN_CONNECT));
    std::memcpy(&result.dataFormat, bytes.data() + sizeof(KSPIN_CONNECT), sizeof(KSDATAFORMAT));
    const size_t formatBytes = std::min(bytes.size() - sizeof(KSPIN_CONNECT) - sizeof(KSDATAFORMAT),
                                        sizeof(WAVEFORMATEXTENSIBLE));
    std::memcpy(&result.format, bytes.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT), formatBytes);
    return result;
}

using DeviceOpenTest = DeviceSetTest;

constexpr const char* kRenderClosedLine = "[TELVARA]\n\xb9\xd8\xb1\xd5" "Asio\xca\xe4\xb3\xf6\xc9\xe8\xb1\xb8";
constexpr const char* kCaptureClosedLine = "[TELVARA]\n\xb9\xd8\xb1\xd5" "Asio\xca\xe4\xc8\xeb\xc9\xe8\xb1\xb8";

}  // namespace

TEST_F(DeviceOpenTest, RenderDevicesOpenInNameOrderNotListOrder)
{
    Sim().Reset({SimRender("A"), SimRender("B")});
    WriteConfig(ConfigText().Out("B", 2).Out("A", 2));
    CDeviceSet& set = MakeSet();
    const OpenRequest request = RenderRequest();
    TraceCapture trace;
    EXPECT_TRUE(set.OpenRender(request));
    EXPECT_EQ(set.OutputChannels(), 4);
    ASSERT_EQ(set.Render().size(), 2u);
    EXPECT_EQ(Render(0).Name(), "A");
    EXPECT_EQ(Render(0).Index(), 0);
    EXPECT_EQ(Render(1).Name(), "B");
    EXPECT_EQ(Render(1).Index(), 1);
    EXPECT_EQ(set.ActiveRender(), 0) << "no state request yet";
    // Links of an empty ChannelLink follow the list position: B (0, 1), A (1, 2).
    EXPECT_EQ(Render(0).LinkLeft(), 1);
    EXPECT_EQ(Render(0).LinkRight(), 2);
    std::vector<std::string> lines = trace.Lines();
    // Each device's format, then its key and links.
    const std::vector<std::string> expected = {"[TELVARA]A: opened with 16 bit integer, 2 ch, 44100 Hz (WAVEFORMATEXTENSIBLE)\n",
                                               "[TELVARA]TelvaraDevice1 ==> TelvaraDevice1 L = 1 R = 2",
                                               "[TELVARA]B: opened with 16 bit integer, 2 ch, 44100 Hz (WAVEFORMATEXTENSIBLE)\n",
                                               "[TELVARA]TelvaraDevice2 ==> TelvaraDevice2 L = 0 R = 1",
                                               "[TELVARA]\xb4\xf2\xbf\xaa\xca\xe4\xb3\xf6\xc9\xe8\xb1\xb8,"
                                               "\xca\xe4\xb3\xf6\xc9\xf9\xb5\xc0\xca\xfd\xc1\xbf:4"};
    ASSERT_GE(lines.size(), expected.size());
    lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(expected.size()));
    EXPECT_EQ(lines, expected);
}

// An open that finds nothing open has nothing to close, and says so by
// tracing no close line: its trace is the opened devices and their channel
// count. Disabled: every open traces the close line first (CloseRender and
// CloseCapture trace unconditionally and the opens call them).
TEST_F(DeviceOpenTest, AnOpenWithNothingOpenTracesNoCloseLine)
{
    Sim().Reset({SimRender("A"), SimCapture("M")});
    WriteConfig(ConfigText().Out("A", 2).In("M", 2));
    CDeviceSet& set = MakeSet();
    const OpenRequest render = RenderRequest();
    const OpenRequest capture = CaptureRequest();
    TraceCapture trace;
    ASSERT_TRUE(set.OpenRender(render));
    ASSERT_TRUE(set.OpenCapture(capture));
    EXPECT_EQ(trace.Count(kRenderClosedLine), 0u);
    EXPECT_EQ(trace.Count(kCaptureClosedLine), 0u);
}

TEST_F(DeviceOpenTest, AnEndpointCarriesItsSettingsFormatAndPin)
{
    Sim().Reset({SimRender("Card")});
    WriteConfig(ConfigText().Out("Card", 2, "3;5", "  0.25"));
    ASSERT_TRUE(MakeSet().OpenRender(RenderRequest(48000.0)));
    const CRenderEndpoint& endpoint = Render(0);
    EXPECT_NE(endpoint.Pin(), nullptr);
    EXPECT_EQ(endpoint.Direction(), StreamDirection::Render);
    EXPECT_EQ(endpoint.Format().sampleRate, 48000);
    EXPECT_EQ(endpoint.Format().channels, 2);
    EXPECT_EQ(endpoint.Format().pinChannels, 2);
    EXPECT_EQ(endpoint.Format().bytesPerSample, 2);
    EXPECT_EQ(endpoint.Channels(), 2);
    EXPECT_EQ(endpoint.Settings().channelLinkLeft, 3);
    EXPECT_EQ(endpoint.Settings().channelLinkRight, 5);
    EXPECT_EQ(endpoint.LinkLeft(), 3);
    EXPECT_EQ(endpoint.LinkRight(), 5);
    EXPECT_FALSE(endpoint.Active());
    EXPECT_FLOAT_EQ(endpoint.Settings().outLatency, 0.25f);
    EXPECT_EQ(endpoint.OpeningDelayMs(), 125);
    EXPECT_EQ(endpoint.CurrentDelayFrames(), 0) << "no delay line before a stream is prepared";
    EXPECT_EQ(endpoint.Held(), 0);
    EXPECT_EQ(endpoint.Counters().missedBlocks.load(), 0);
    EXPECT_EQ(endpoint.Counters().failedRequests.load(), 0);
    EXPECT_EQ(LastConnect(RenderPath("Card")).format.Format.nSamplesPerSec, 48000u);
    EXPECT_FALSE(m_set->Render().empty());
}

TEST_F(DeviceOpenTest, TheRequestedRenderFormatIsExtensible)
{
    Sim().Reset({SimRender("Card")});
    WriteConfig(ConfigText().Out("Card", 2));
    ASSERT_TRUE(MakeSet().OpenRender(RenderRequest()));
    const PinConnect pin = LastConnect(RenderPath("Card"));
    EXPECT_EQ(pin.connect.Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));
    EXPECT_EQ(pin.format.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(pin.format.Format.nChannels, 2);
    EXPECT_EQ(pin.format.Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(pin.format.Format.cbSize, 22);
    EXPECT_EQ(pin.format.Samples.wValidBitsPerSample, 16);
    EXPECT_EQ(pin.format.dwChannelMask, 3u);
}

TEST_F(DeviceOpenTest, ARenderDeviceTakingOnlyPlainPcmOpensOnTheSecondAttempt)
{
    kssim::DeviceModel model = SimRender("Old");
    model.pins[0].acceptedLayouts = kssim::FormatLayouts::PcmOnly;
    Sim().Reset({model});
    WriteConfig(ConfigText().Out("Old", 2));
    ASSERT_TRUE(MakeSet().OpenRender(RenderRequest()));
    const PinConnect pin = LastConnect(RenderPath("Old"));
    EXPECT_EQ(pin.format.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(pin.format.Format.cbSize, 18);
    EXPECT_EQ(pin.format.Format.nBlockAlign, 4);
    EXPECT_EQ(pin.dataFormat.FormatSize, 64u + 18u);
}

TEST_F(DeviceOpenTest, ACaptureDeviceTakingOnlyPlainPcmOpensWithStandardStreaming)
{
    kssim::DeviceModel model = SimCapture("Mic");
    model.pins[0].acceptedLayouts = kssim::FormatLayouts::PcmOnly;
    Sim().Reset({model});
    WriteConfig(ConfigText().In("Mic", 2));
    ASSERT_TRUE(MakeSet().OpenCapture(CaptureRequest()));
    const PinConnect pin = LastConnect(CapturePath("Mic"));
    EXPECT_EQ(pin.connect.Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));
    EXPECT_EQ(pin.format.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(pin.format.Format.cbSize, 0);
}

TEST_F(DeviceOpenTest, ACaptureDeviceRefusingLoopedPcmOpensOnTheSecondAttempt)
{
    kssim::DeviceModel model = SimCapture("Mic");
    model.pins[0].acceptedLayouts = kssim::FormatLayouts::PcmOnly;
    model.pins[0].acceptsLooped = false;
    Sim().Reset({model});
    WriteConfig(ConfigText().In("Mic", 2));
    ASSERT_TRUE(MakeSet().OpenCapture(CaptureRequest()));
    const PinConnect pin = LastConnect(CapturePath("Mic"));
    EXPECT_EQ(pin.connect.Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));
    EXPECT_EQ(pin.format.Format.wFormatTag, WAVE_FORMAT_PCM);
}

TEST_F(DeviceOpenTest, TheCaptureRequestNamesSixteenValidBitsAtTwentyFourBits)
{
    Sim().Reset({SimCapture("Mic", 2, 16, 24)});
    WriteConfig(ConfigText().In("Mic", 2));
    ASSERT_TRUE(MakeSet().OpenCapture(CaptureRequest(44100.0, 24)));
    const PinConnect pin = LastConnect(CapturePath("Mic"));
    EXPECT_EQ(pin.format.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(pin.format.Format.wBitsPerSample, 24);
    EXPECT_EQ(pin.format.Format.nBlockAlign, 6);
    EXPECT_EQ(pin.format.Samples.wValidBitsPerSample, 16);
    EXPECT_EQ(Capture(0).Format().bytesPerSample, 3);
}

TEST_F(DeviceOpenTest, ADeviceRefusingEveryFormatIsSkippedAndTheNextTakesItsNumber)
{
    kssim::DeviceModel stubborn = SimRender("A");
    stubborn.pins[0].refusesEveryFormat = true;
    Sim().Reset({stubborn, SimRender("B")});
    WriteConfig(ConfigText().Out("A", 2).Out("B", 2));
    CDeviceSet& set = MakeSet();
    EXPECT_TRUE(set.OpenRender(RenderRequest()));
    ASSERT_EQ(set.Render().size(), 1u);
    EXPECT_EQ(set.OutputChannels(), 2);
    EXPECT_EQ(Render(0).Name(), "B");
    EXPECT_EQ(Render(0).Index(), 0);
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("A"), 0), 0);
}

TEST_F(DeviceOpenTest, ACaptureDeviceRefusingEveryFormatIsSkippedAfterTwoAttempts)
{
    kssim::DeviceModel stubborn = SimCapture("A");
    stubborn.pins[0].refusesEveryFormat = true;
    Sim().Reset({stubborn, SimCapture("B")});
    WriteConfig(ConfigText().In("A", 2).In("B", 2));
    CDeviceSet& set = MakeSet();
    const OpenRequest request = CaptureRequest();
    KsTraceLevelGuard level(1);
    TraceCapture trace;
    EXPECT_TRUE(set.OpenCapture(request));
    // The extensible format and its plain fallback; no looped attempt.
    EXPECT_EQ(trace.Count("Failed to instantiate Capture Pin"), 2u);
    ASSERT_EQ(set.Capture().size(), 1u);
    EXPECT_EQ(Capture(0).Name(), "B");
    EXPECT_EQ(Capture(0).Index(), 0);
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("A"), 0), 0);
}

TEST_F(DeviceOpenTest, NoConfiguredDevicePresentOpensNothing)
{
    Sim().Reset({SimRender("Present")});
    WriteConfig(ConfigText().Out("Missing", 2));
    CDeviceSet& set = MakeSet();
    EXPECT_EQ(set.OutputChannels(), 0);
    EXPECT_EQ(set.InputChannels(), 0);
    EXPECT_FALSE(set.OpenRender(RenderRequest()));
    EXPECT_EQ(set.OutputChannels(), 0);
    EXPECT_TRUE(set.Render().empty());
    EXPECT_EQ(set.ActiveRender(), 0);
    EXPECT_EQ(set.LongestReportedLatency(StreamDirection::Render), 0);
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Present"), 0), 0);
}

TEST_F(DeviceOpenTest, AConfiguredDeviceMissingFromTheHardwareIsLeftOut)
{
    Sim().Reset({SimRender("A"), SimRender("C")});
    WriteConfig(ConfigText().Out("A", 2).Out("B", 2).Out("C", 1));
    CDeviceSet& set = MakeSet();
    EXPECT_TRUE(set.OpenRender(RenderRequest()));
    ASSERT_EQ(set.Render().size(), 2u);
    EXPECT_EQ(set.OutputChannels(), 3);
    EXPECT_EQ(Render(1).Name(), "C");
    EXPECT_EQ(Render(1).Index(), 1);
}

TEST_F(DeviceOpenTest, ZeroChannelsConfiguredAddNoChannel)
{
    // The simulated driver, like real ones, refuses a format without channels.
    kssim::DeviceModel model = SimRender("Silent");
    model.pins[0].acceptsUnclaimedFormats = true;
    Sim().Reset({model});
    WriteConfig(ConfigText().Out("Silent", 0));
    CDeviceSet& set = MakeSet();
    EXPECT_FALSE(set.OpenRender(RenderRequest()));
    EXPECT_EQ(set.OutputChannels(), 0);
    EXPECT_TRUE(set.Render().empty());
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Silent"), 0), 0);
}

TEST_F(DeviceOpenTest, ANegativeOrOversizedChannelCountIsATracedSkip)
{
    Sim().Reset({SimRender("Negative"), SimRender("Huge")});
    WriteConfig(ConfigText().Out("Negative", -2).Out("Huge", 70000));
    CDeviceSet& set = MakeSet();
    const OpenRequest request = RenderRequest();
    TraceCapture trace;
    EXPECT_FALSE(set.OpenRender(request));
    EXPECT_TRUE(set.Render().empty());
    EXPECT_TRUE(trace.Contains("[TELVARA]Negative: channel count out of range, device skipped"));
    EXPECT_TRUE(trace.Contains("[TELVARA]Huge: channel count out of range, device skipped"));
}

TEST_F(DeviceOpenTest, ADeviceListedTwiceOpensOnce)
{
    Sim().Reset({SimRender("A")});
    WriteConfig(ConfigText().Out("A", 2).OutList("A;A"));
    CDeviceSet& set = MakeSet();
    EXPECT_TRUE(set.OpenRender(RenderRequest()));
    EXPECT_EQ(set.Render().size(), 1u);
    EXPECT_EQ(set.OutputChannels(), 2);
}

TEST_F(DeviceOpenTest, BlankItemsOfTheListMatchNoDevice)
{
    // A device named with blanks only scans as the empty name; a blank item
    // of the list must not open it, and " B" is not "B".
    Sim().Reset({kssim::RenderDevice("   ", RenderPath("blank")), SimRender("B")});
    WriteConfig(ConfigText().OutList("; B;"));
    CDeviceSet& set = MakeSet();
    EXPECT_FALSE(set.OpenRender(RenderRequest()));
    EXPECT_TRUE(set.Render().empty());
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("blank"), 0), 0);
}

TEST_F(DeviceOpenTest, ADepthThePathsCannotMoveIsATracedSkip)
{
    kssim::DeviceModel model = SimRender("Odd");
    model.pins[0].acceptsUnclaimedFormats = true;
    Sim().Reset({model, SimCapture("Mic")});
    WriteConfig(ConfigText().Out("Odd", 2).In("Mic", 2));
    CDeviceSet& set = MakeSet();
    const OpenRequest render = RenderRequest(44100.0, 20);
    const OpenRequest capture = CaptureRequest(44100.0, 20);
    TraceCapture trace;
    EXPECT_FALSE(set.OpenRender(render));
    EXPECT_FALSE(set.OpenCapture(capture));
    EXPECT_TRUE(trace.Contains("[TELVARA]Odd: BitSpersample cannot be streamed, device skipped"));
    EXPECT_TRUE(trace.Contains("[TELVARA]Mic: BitSpersample cannot be streamed, device skipped"));
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Odd"), 0), 0);
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("Mic"), 0), 0);
}

TEST_F(DeviceOpenTest, ACaptureDeviceOpensWithItsRangesChannelsAndCountsItsSettings)
{
    Sim().Reset({SimCapture("Mic", 2)});
    WriteConfig(ConfigText().In("Mic", 1));
    CDeviceSet& set = MakeSet();
    EXPECT_TRUE(set.OpenCapture(CaptureRequest()));
    EXPECT_EQ(set.InputChannels(), 1);
    ASSERT_EQ(set.Capture().size(), 1u);
    const CCaptureEndpoint& endpoint = Capture(0);
    EXPECT_EQ(endpoint.Channels(), 1);
    EXPECT_EQ(endpoint.Format().pinChannels, 2);
    EXPECT_EQ(endpoint.Name(), "Mic");
    EXPECT_EQ(endpoint.Index(), 0);
    EXPECT_EQ(endpoint.Direction(), StreamDirection::Capture);
    EXPECT_EQ(LastConnect(CapturePath("Mic")).format.Format.nChannels, 2);
}

// Capture devices are not limited in number, only the channels of a
// direction are: their sum stays within what hosts count with (16 bits).
TEST_F(DeviceOpenTest, ManyCaptureDevicesOpenAndOnlyTheChannelSumIsLimited)
{
    std::vector<kssim::DeviceModel> models;
    ConfigText config;
    for (int i = 0; i < 34; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Mic%02d", i);
        models.push_back(SimCapture(name, 1));
        config.In(name, 1);
    }
    // In name order after the microphones: one device too many channels,
    // then one that fills the sum exactly.
    models.push_back(SimCapture("Wide"));
    config.In("Wide", 0xFFFF - 34 + 1);
    models.push_back(SimCapture("Xfull"));
    config.In("Xfull", 0xFFFF - 34);
    Sim().Reset(models);
    WriteConfig(config);
    CDeviceSet& set = MakeSet();
    const OpenRequest request = CaptureRequest();
    TraceCapture trace;
    EXPECT_TRUE(set.OpenCapture(request));
    ASSERT_EQ(set.Capture().size(), 35u);
    EXPECT_EQ(Capture(33).Name(), "Mic33");
    EXPECT_EQ(Capture(33).Index(), 33);
    EXPECT_EQ(Capture(34).Name(), "Xfull");
    EXPECT_EQ(set.InputChannels(), 0xFFFF);
    EXPECT_TRUE(trace.Contains("[TELVARA]Wide: channel count out of range, device skipped"));
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("Mic33"), 0), 1);
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("Wide"), 0), 0);
}

// Opening a direction again closes what it has open first: capture pins
// belong to the filters the new scan replaces, render pins would otherwise
// stay open beside the new ones. Running pins with reads outstanding
// included.
TEST_F(DeviceOpenTest, OpeningAgainWithoutACloseKeepsNoPinOfTheFirstOpen)
{
    Sim().Reset({SimRender("Out"), SimCapture("In")});
    WriteConfig(ConfigText().Out("Out", 2).In("In", 2));
    CDeviceSet& set = MakeSet();
    ASSERT_TRUE(set.OpenRender(RenderRequest()));
    ASSERT_TRUE(set.OpenCapture(CaptureRequest()));
    set.SetRenderState(KSSTATE_RUN);
    ASSERT_EQ(set.SetCaptureState(KSSTATE_RUN), 0);
    ASSERT_TRUE(Capture(0).PrepareStream(512, 2));
    ASSERT_EQ(Capture(0).AskForAll(), S_OK);
    EXPECT_EQ(Sim().PendingRequestCount(), 3);
    // Each pin allows one instance: a second open only works when the first
    // pins were closed.
    EXPECT_TRUE(set.OpenRender(RenderRequest()));
    EXPECT_TRUE(set.OpenCapture(CaptureRequest()));
    EXPECT_EQ(set.Render().size(), 1u);
    EXPECT_EQ(set.Capture().size(), 1u);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Out"), 0), 1);
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("In"), 0), 1);
    EXPECT_NE(set.Catalogue().Devices().at("In").capture.filter, nullptr);
    EXPECT_FALSE(Capture(0).Active()) << "a new endpoint, not yet running";
}

// Capture pins belong to their filters, so a refresh of the catalogue must
// not take the filters from under open capture endpoints: afterwards every
// endpoint left still streams through a pin that exists.
TEST_F(DeviceOpenTest, ARefreshOfTheCatalogueLeavesOpenCaptureEndpointsTheirPins)
{
    Sim().Reset({SimCapture("Mic")});
    WriteConfig(ConfigText().In("Mic", 2));
    CDeviceSet& set = MakeSet();
    ASSERT_TRUE(set.OpenCapture(CaptureRequest()));
    set.EnumerateFilters();
    if (!set.Capture().empty()) {
        EXPECT_EQ(Sim().OpenPinInstances(CapturePath("Mic"), 0), 1);
        EXPECT_EQ(set.SetCaptureState(KSSTATE_RUN), 0);
    }
    set.CloseCapture();
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("Mic"), 0), 0);
}

TEST_F(DeviceOpenTest, ADeviceRemovedBeforeTheOpenIsNotFound)
{
    Sim().Reset({SimRender("A"), SimRender("B")});
    WriteConfig(ConfigText().Out("A", 2).Out("B", 2));
    CDeviceSet& set = MakeSet();
    set.EnumerateFilters();
    Sim().RemoveDevice(RenderPath("A"));
    EXPECT_TRUE(set.OpenRender(RenderRequest()));
    ASSERT_EQ(set.Render().size(), 1u);
    EXPECT_EQ(Render(0).Name(), "B");
}

// The buffering the devices report, for the latencies the host is told: the
// longest of a direction, in frames at the rate opened; a device that does
// not report it counts as none.
TEST_F(DeviceOpenTest, TheLongestReportedLatencyOfADirectionIsInFrames)
{
    kssim::DeviceModel shortBuffer = SimRender("A");
    shortBuffer.deviceBufferMs = 10.0;
    kssim::DeviceModel longBuffer = SimRender("B");
    longBuffer.deviceBufferMs = 25.0;
    kssim::DeviceModel silent = SimCapture("Mic");
    silent.reportsLatency = false;
    Sim().Reset({shortBuffer, longBuffer, silent});
    WriteConfig(ConfigText().Out("A", 2).Out("B", 2).In("Mic", 2));
    CDeviceSet& set = MakeSet();
    ASSERT_TRUE(set.OpenRender(RenderRequest(48000.0)));
    ASSERT_TRUE(set.OpenCapture(CaptureRequest(48000.0)));
    EXPECT_EQ(Render(0).ReportedLatencyFrames(), 480);
    EXPECT_EQ(Render(1).ReportedLatencyFrames(), 1200);
    EXPECT_EQ(set.LongestReportedLatency(StreamDirection::Render), 1200);
    EXPECT_EQ(set.LongestReportedLatency(StreamDirection::Capture), 0);
}

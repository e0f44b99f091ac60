#include "device_test_support.h"

#include "ks_trace_level_guard.h"
#include "ring_buffer.h"

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

}  // namespace

TEST_F(DeviceOpenTest, RenderDevicesOpenInNameOrderNotListOrder)
{
    Sim().Reset({SimRender("A"), SimRender("B")});
    WriteConfig(ConfigText().Out("B", 2).Out("A", 2));
    AsioAudioDevice& device = MakeDevice();
    TraceCapture trace;
    EXPECT_TRUE(device.OpenRenderDevices());
    EXPECT_EQ(device.outputChannels, 4);
    EXPECT_EQ(device.renderDeviceCount, 2);
    EXPECT_EQ(device.activeRenderCount, 2);
    ASSERT_NE(device.GetRenderDevice(0), nullptr);
    ASSERT_NE(device.GetRenderDevice(1), nullptr);
    EXPECT_EQ(device.GetRenderDevice(2), nullptr);
    const RenderDeviceRecord& first = *device.GetRenderDevice(0);
    EXPECT_STREQ(first.friendlyName, "A");
    EXPECT_STREQ(first.asioName, "TelvaraDevice1");
    EXPECT_EQ(first.index, 0);
    EXPECT_STREQ(device.GetRenderDevice(1)->friendlyName, "B");
    EXPECT_STREQ(device.GetRenderDevice(1)->asioName, "TelvaraDevice2");
    EXPECT_EQ(device.GetRenderDevice(1)->index, 1);
    // Links of an empty ChannelLink follow the list position: B (0, 1), A (1, 2).
    const std::vector<std::string> lines = trace.Lines();
    const std::vector<std::string> expected = {"[TELVARA]TelvaraDevice1 ==> TelvaraDevice1 L = 1 R = 2",
                                               "[TELVARA]TelvaraDevice2 ==> TelvaraDevice2 L = 0 R = 1",
                                               "[TELVARA]\xb4\xf2\xbf\xaa\xca\xe4\xb3\xf6\xc9\xe8\xb1\xb8,"
                                               "\xca\xe4\xb3\xf6\xc9\xf9\xb5\xc0\xca\xfd\xc1\xbf:4"};
    EXPECT_EQ(lines, expected);
}

TEST_F(DeviceOpenTest, OpenRecordsCarryTheSettingsButNoFilterOrRange)
{
    Sim().Reset({SimRender("Card")});
    WriteConfig(ConfigText().Out("Card", 2, "3;5", "  0.25").Default("SampleRate", "48000"));
    AsioAudioDevice& device = MakeDevice();
    ASSERT_TRUE(device.OpenRenderDevices());
    const RenderDeviceRecord& record = *device.GetRenderDevice(0);
    EXPECT_NE(record.pin, nullptr);
    EXPECT_EQ(record.filter, nullptr);
    EXPECT_EQ(record.dataRange.MaximumChannels, 0u);
    EXPECT_EQ(record.sampleRate, 48000);
    EXPECT_EQ(record.bitsPerSample, 16);
    EXPECT_EQ(record.channels, 2);
    EXPECT_EQ(record.settings.channelLinkLeft, 3);
    EXPECT_EQ(record.settings.channelLinkRight, 5);
    EXPECT_FALSE(record.active);
    EXPECT_FLOAT_EQ(record.outLatency, 0.25f);
    EXPECT_FLOAT_EQ(record.settings.outLatency, 0.25f);
    ASSERT_NE(record.ringBuffer, nullptr);
    // 500 ms at 48 kHz and the largest block (2048 frames, above the
    // configured 512), stereo 16-bit, and the byte a ring keeps free.
    EXPECT_EQ(record.ringBuffer->Capacity(), (24000 + 2048) * 4 + 2);
    EXPECT_EQ(record.ringBuffer->Available(), 0u);
    EXPECT_TRUE(device.HasRenderDevices());
}

TEST_F(DeviceOpenTest, TheRequestedRenderFormatIsExtensible)
{
    Sim().Reset({SimRender("Card")});
    WriteConfig(ConfigText().Out("Card", 2));
    ASSERT_TRUE(MakeDevice().OpenRenderDevices());
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
    ASSERT_TRUE(MakeDevice().OpenRenderDevices());
    const PinConnect pin = LastConnect(RenderPath("Old"));
    EXPECT_EQ(pin.format.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(pin.format.Format.cbSize, 18);
    EXPECT_EQ(pin.format.Format.nBlockAlign, 4);
    EXPECT_EQ(pin.dataFormat.FormatSize, 64u + 18u);
}

TEST_F(DeviceOpenTest, ACaptureDeviceTakingOnlyPlainPcmOpensLooped)
{
    kssim::DeviceModel model = SimCapture("Mic");
    model.pins[0].acceptedLayouts = kssim::FormatLayouts::PcmOnly;
    Sim().Reset({model});
    WriteConfig(ConfigText().In("Mic", 2));
    ASSERT_TRUE(MakeDevice().OpenCaptureDevices());
    const PinConnect pin = LastConnect(CapturePath("Mic"));
    EXPECT_EQ(pin.connect.Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING));
    EXPECT_EQ(pin.format.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(pin.format.Format.cbSize, 0);
}

TEST_F(DeviceOpenTest, ACaptureDeviceRefusingLoopedPcmOpensOnTheThirdAttempt)
{
    kssim::DeviceModel model = SimCapture("Mic");
    model.pins[0].acceptedLayouts = kssim::FormatLayouts::PcmOnly;
    model.pins[0].acceptsLooped = false;
    Sim().Reset({model});
    WriteConfig(ConfigText().In("Mic", 2));
    ASSERT_TRUE(MakeDevice().OpenCaptureDevices());
    const PinConnect pin = LastConnect(CapturePath("Mic"));
    EXPECT_EQ(pin.connect.Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));
    EXPECT_EQ(pin.format.Format.wFormatTag, WAVE_FORMAT_PCM);
}

TEST_F(DeviceOpenTest, TheCaptureRequestNamesSixteenValidBitsAtTwentyFourBits)
{
    Sim().Reset({SimCapture("Mic", 2, 16, 24)});
    WriteConfig(ConfigText().In("Mic", 2).Default("BitSpersample", "24"));
    ASSERT_TRUE(MakeDevice().OpenCaptureDevices());
    const PinConnect pin = LastConnect(CapturePath("Mic"));
    EXPECT_EQ(pin.format.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(pin.format.Format.wBitsPerSample, 24);
    EXPECT_EQ(pin.format.Format.nBlockAlign, 6);
    EXPECT_EQ(pin.format.Samples.wValidBitsPerSample, 16);
}

TEST_F(DeviceOpenTest, ADeviceRefusingEveryFormatIsSkippedAndTheNextTakesItsNumber)
{
    kssim::DeviceModel stubborn = SimRender("A");
    stubborn.pins[0].refusesEveryFormat = true;
    Sim().Reset({stubborn, SimRender("B")});
    WriteConfig(ConfigText().Out("A", 2).Out("B", 2));
    AsioAudioDevice& device = MakeDevice();
    EXPECT_TRUE(device.OpenRenderDevices());
    EXPECT_EQ(device.renderDeviceCount, 1);
    EXPECT_EQ(device.outputChannels, 2);
    ASSERT_NE(device.GetRenderDevice(0), nullptr);
    EXPECT_STREQ(device.GetRenderDevice(0)->friendlyName, "B");
    EXPECT_EQ(device.GetRenderDevice(1), nullptr);
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("A"), 0), 0);
}

TEST_F(DeviceOpenTest, ACaptureDeviceRefusingEveryFormatIsSkippedAfterThreeAttempts)
{
    kssim::DeviceModel stubborn = SimCapture("A");
    stubborn.pins[0].refusesEveryFormat = true;
    Sim().Reset({stubborn, SimCapture("B")});
    WriteConfig(ConfigText().In("A", 2).In("B", 2));
    AsioAudioDevice& device = MakeDevice();
    KsTraceLevelGuard level(1);
    TraceCapture trace;
    EXPECT_TRUE(device.OpenCaptureDevices());
    EXPECT_EQ(trace.Count("Failed to instantiate Capture Pin"), 3u);
    EXPECT_EQ(device.captureDeviceCount, 1);
    EXPECT_STREQ(device.GetCaptureDevice(0)->friendlyName, "B");
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("A"), 0), 0);
}

TEST_F(DeviceOpenTest, NoConfiguredDevicePresentOpensNothing)
{
    Sim().Reset({SimRender("Present")});
    WriteConfig(ConfigText().Out("Missing", 2));
    AsioAudioDevice& device = MakeDevice();
    EXPECT_FALSE(device.OpenRenderDevices());
    EXPECT_EQ(device.outputChannels, 0);
    EXPECT_TRUE(device.renderTable.empty());
    EXPECT_EQ(device.GetRenderDevice(0), nullptr);
    EXPECT_FALSE(device.HasRenderDevices());
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Present"), 0), 0);
}

TEST_F(DeviceOpenTest, AConfiguredDeviceMissingFromTheHardwareIsLeftOut)
{
    Sim().Reset({SimRender("A"), SimRender("C")});
    WriteConfig(ConfigText().Out("A", 2).Out("B", 2).Out("C", 1));
    AsioAudioDevice& device = MakeDevice();
    EXPECT_TRUE(device.OpenRenderDevices());
    EXPECT_EQ(device.renderDeviceCount, 2);
    EXPECT_EQ(device.outputChannels, 3);
    EXPECT_STREQ(device.GetRenderDevice(1)->friendlyName, "C");
}

TEST_F(DeviceOpenTest, ZeroChannelsConfiguredAddNoChannel)
{
    // The simulated driver, like real ones, refuses a format without channels.
    kssim::DeviceModel model = SimRender("Silent");
    model.pins[0].acceptsUnclaimedFormats = true;
    Sim().Reset({model});
    WriteConfig(ConfigText().Out("Silent", 0));
    AsioAudioDevice& device = MakeDevice();
    EXPECT_FALSE(device.OpenRenderDevices());
    EXPECT_EQ(device.outputChannels, 0);
    EXPECT_EQ(device.GetRenderDevice(0), nullptr);
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Silent"), 0), 0);
}

TEST_F(DeviceOpenTest, ANegativeOrOversizedChannelCountIsATracedSkip)
{
    Sim().Reset({SimRender("Negative"), SimRender("Huge")});
    WriteConfig(ConfigText().Out("Negative", -2).Out("Huge", 70000));
    AsioAudioDevice& device = MakeDevice();
    TraceCapture trace;
    EXPECT_FALSE(device.OpenRenderDevices());
    EXPECT_TRUE(device.renderTable.empty());
    EXPECT_TRUE(trace.Contains("[TELVARA]Negative: channel count out of range, device skipped"));
    EXPECT_TRUE(trace.Contains("[TELVARA]Huge: channel count out of range, device skipped"));
}

TEST_F(DeviceOpenTest, ADeviceListedTwiceOpensOnce)
{
    Sim().Reset({SimRender("A")});
    WriteConfig(ConfigText().Out("A", 2).OutList("A;A"));
    AsioAudioDevice& device = MakeDevice();
    EXPECT_TRUE(device.OpenRenderDevices());
    EXPECT_EQ(device.renderDeviceCount, 1);
    EXPECT_EQ(device.outputChannels, 2);
}

TEST_F(DeviceOpenTest, BlankItemsOfTheListMatchNoDevice)
{
    // A device named with blanks only scans as the empty name; a blank item
    // of the list must not open it, and " B" is not "B".
    Sim().Reset({kssim::RenderDevice("   ", RenderPath("blank")), SimRender("B")});
    WriteConfig(ConfigText().OutList("; B;"));
    AsioAudioDevice& device = MakeDevice();
    EXPECT_FALSE(device.OpenRenderDevices());
    EXPECT_TRUE(device.renderTable.empty());
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("blank"), 0), 0);
}

TEST_F(DeviceOpenTest, ADepthThePathsCannotMoveIsATracedSkip)
{
    kssim::DeviceModel model = SimRender("Odd");
    model.pins[0].acceptsUnclaimedFormats = true;
    Sim().Reset({model, SimCapture("Mic")});
    WriteConfig(ConfigText().Out("Odd", 2).In("Mic", 2).Default("BitSpersample", "20"));
    AsioAudioDevice& device = MakeDevice();
    TraceCapture trace;
    EXPECT_FALSE(device.OpenRenderDevices());
    EXPECT_FALSE(device.OpenCaptureDevices());
    EXPECT_TRUE(trace.Contains("[TELVARA]Odd: BitSpersample cannot be streamed, device skipped"));
    EXPECT_TRUE(trace.Contains("[TELVARA]Mic: BitSpersample cannot be streamed, device skipped"));
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Odd"), 0), 0);
}

TEST_F(DeviceOpenTest, ACaptureDeviceOpensWithItsRangesChannelsAndCountsItsSettings)
{
    Sim().Reset({SimCapture("Mic", 2)});
    WriteConfig(ConfigText().In("Mic", 1));
    AsioAudioDevice& device = MakeDevice();
    EXPECT_TRUE(device.OpenCaptureDevices());
    EXPECT_EQ(device.inputChannels, 1);
    EXPECT_EQ(device.captureDeviceCount, 1);
    const CaptureDeviceRecord* record = device.GetCaptureDevice(0);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->channels, 1);
    EXPECT_EQ(record->dataRange.MaximumChannels, 2u);
    EXPECT_STREQ(record->asioName, "TelvaraDevice1");
    EXPECT_STREQ(record->friendlyName, "Mic");
    EXPECT_EQ(LastConnect(CapturePath("Mic")).format.Format.nChannels, 2);
    EXPECT_TRUE(device.HasCaptureDevices());
}

TEST_F(DeviceOpenTest, AtMostThirtyTwoCaptureDevicesOpenOneForEachReadRequest)
{
    std::vector<kssim::DeviceModel> models;
    ConfigText config;
    for (int i = 0; i < 34; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Mic%02d", i);
        models.push_back(SimCapture(name, 1));
        config.In(name, 1);
    }
    Sim().Reset(models);
    WriteConfig(config);
    AsioAudioDevice& device = MakeDevice();
    TraceCapture trace;
    EXPECT_TRUE(device.OpenCaptureDevices());
    EXPECT_EQ(device.captureDeviceCount, 32);
    EXPECT_EQ(device.inputChannels, 32);
    EXPECT_STREQ(device.GetCaptureDevice(31)->friendlyName, "Mic31");
    EXPECT_EQ(device.GetCaptureDevice(32), nullptr);
    EXPECT_TRUE(trace.Contains("[TELVARA]Mic32: no capture request left, device skipped"));
    EXPECT_TRUE(trace.Contains("[TELVARA]Mic33: no capture request left, device skipped"));
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("Mic33"), 0), 0);
}

TEST_F(DeviceOpenTest, OpeningAgainWithoutACloseKeepsNoPinOfTheFirstOpen)
{
    Sim().Reset({SimRender("Out"), SimCapture("In")});
    WriteConfig(ConfigText().Out("Out", 2).In("In", 2));
    AsioAudioDevice& device = MakeDevice();
    ASSERT_TRUE(device.OpenRenderDevices());
    ASSERT_TRUE(device.OpenCaptureDevices());
    // Each pin allows one instance: a second open only works when the first
    // pins were closed.
    EXPECT_TRUE(device.OpenRenderDevices());
    EXPECT_TRUE(device.OpenCaptureDevices());
    EXPECT_EQ(device.renderDeviceCount, 1);
    EXPECT_EQ(device.captureDeviceCount, 1);
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Out"), 0), 1);
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("In"), 0), 1);
}

TEST_F(DeviceOpenTest, APinIsRefusedForAFilterWhoseDeviceWasRemovedAfterTheScan)
{
    Sim().Reset({SimRender("Gone"), SimCapture("Gone")});
    WriteConfig(ConfigText());
    AsioAudioDevice& device = MakeDevice();
    device.ScanRenderDevices();
    device.ScanCaptureDevices();
    DeviceEntry& entry = device.deviceTable.at("Gone");
    Sim().RemoveDevice(RenderPath("Gone"));
    Sim().RemoveDevice(CapturePath("Gone"));
    EXPECT_EQ(device.OpenRenderPin(entry.render.filter, 2, 44100, 16), nullptr);
    EXPECT_EQ(device.OpenCapturePin(entry.capture.filter, 2, 44100, 16), nullptr);
}

TEST_F(DeviceOpenTest, WithoutAFilterNoPinIsOpenedAndTheFailureIsTraced)
{
    WriteConfig(ConfigText());
    AsioAudioDevice& device = MakeDevice();
    TraceCapture trace;
    EXPECT_EQ(device.OpenRenderPin(nullptr, 2, 44100, 16), nullptr);
    EXPECT_EQ(device.OpenCapturePin(nullptr, 2, 44100, 16), nullptr);
    EXPECT_EQ(trace.Count("[TELVARA]\nhr = 0x00000000/n/n"), 2u);
}

TEST_F(DeviceOpenTest, ADeviceRemovedBeforeTheOpenIsNotFound)
{
    Sim().Reset({SimRender("A"), SimRender("B")});
    WriteConfig(ConfigText().Out("A", 2).Out("B", 2));
    AsioAudioDevice& device = MakeDevice();
    device.EnumerateFilters();
    Sim().RemoveDevice(RenderPath("A"));
    EXPECT_TRUE(device.OpenRenderDevices());
    EXPECT_EQ(device.renderDeviceCount, 1);
    EXPECT_STREQ(device.GetRenderDevice(0)->friendlyName, "B");
}

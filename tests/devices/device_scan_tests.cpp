#include "device_test_support.h"

#include "trace_capture.h"

#include <cstring>

namespace {

class DeviceScanTest : public DeviceSetTest {
protected:
    void SetUp() override
    {
        DeviceSetTest::SetUp();
        WriteConfig(ConfigText());
    }

    std::vector<std::string> Names()
    {
        std::vector<std::string> names;
        for (const auto& [name, entry] : m_device->deviceTable) {
            names.push_back(name);
        }
        return names;
    }
};

}  // namespace

TEST_F(DeviceScanTest, DuplicateRenderNamesGetNumbersInEnumerationOrder)
{
    Sim().Reset({SimRender("Speakers"), kssim::RenderDevice("Speakers", RenderPath("second")),
                 kssim::RenderDevice("Speakers", RenderPath("third")), SimCapture("Speakers")});
    AsioAudioDevice& device = MakeDevice();
    device.ScanRenderDevices();
    device.ScanCaptureDevices();
    EXPECT_EQ(Names(), (std::vector<std::string>{"1_Speakers", "2_Speakers", "Speakers"}));
    EXPECT_STREQ(device.deviceTable["Speakers"].render.filter->m_szName, RenderPath("Speakers").c_str());
    EXPECT_STREQ(device.deviceTable["1_Speakers"].render.filter->m_szName, RenderPath("second").c_str());
    EXPECT_STREQ(device.deviceTable["2_Speakers"].render.filter->m_szName, RenderPath("third").c_str());
    // The capture device keeps its name and meets the first render device.
    ASSERT_NE(device.deviceTable["Speakers"].capture.filter, nullptr);
    EXPECT_STREQ(device.deviceTable["Speakers"].capture.filter->m_szName, CapturePath("Speakers").c_str());
    EXPECT_EQ(device.deviceTable["1_Speakers"].capture.filter, nullptr);
}

TEST_F(DeviceScanTest, CaptureNamesAreUniqueAmongCaptureDevicesOnly)
{
    Sim().Reset({SimRender("Mic"), SimCapture("Mic"), kssim::CaptureDevice("Mic", CapturePath("second"))});
    AsioAudioDevice& device = MakeDevice();
    device.ScanRenderDevices();
    device.ScanCaptureDevices();
    EXPECT_EQ(Names(), (std::vector<std::string>{"1_Mic", "Mic"}));
    EXPECT_NE(device.deviceTable["Mic"].render.filter, nullptr);
    EXPECT_NE(device.deviceTable["Mic"].capture.filter, nullptr);
    EXPECT_EQ(device.deviceTable["1_Mic"].render.filter, nullptr);
    EXPECT_STREQ(device.deviceTable["1_Mic"].capture.filter->m_szName, CapturePath("second").c_str());
}

TEST_F(DeviceScanTest, ScannedRecordsCarryTheRangeTheRateAndTheUniqueName)
{
    kssim::DeviceModel model = SimRender("Card", 6, 16, 24);
    model.pins[0].ranges[0].minimumSampleFrequency = 44100;
    model.pins[0].ranges[0].maximumSampleFrequency = 96000;
    Sim().Reset({model, SimCapture("Card", 4)});
    AsioAudioDevice& device = MakeDevice();
    device.ScanRenderDevices();
    device.ScanCaptureDevices();
    const DeviceEntry& entry = device.deviceTable.at("Card");
    EXPECT_EQ(entry.render.channels, 6);
    EXPECT_EQ(entry.render.dataRange.MaximumChannels, 6u);
    EXPECT_EQ(entry.render.dataRange.MinimumBitsPerSample, 16u);
    EXPECT_EQ(entry.render.dataRange.MaximumBitsPerSample, 24u);
    EXPECT_EQ(entry.render.dataRange.MinimumSampleFrequency, 44100u);
    EXPECT_EQ(entry.render.dataRange.MaximumSampleFrequency, 96000u);
    EXPECT_EQ(entry.render.sampleRate, 44100);
    EXPECT_EQ(entry.render.bitsPerSample, 16);
    EXPECT_STREQ(entry.render.friendlyName, "Card");
    EXPECT_FALSE(entry.render.active);
    EXPECT_EQ(entry.render.pin, nullptr);
    EXPECT_EQ(entry.capture.channels, 4);
    EXPECT_STREQ(entry.capture.friendlyName, "Card");
}

TEST_F(DeviceScanTest, NamesAreTrimmedOfBlanksOnly)
{
    kssim::DeviceModel tabbed = kssim::RenderDevice("\tTab ", RenderPath("tab"));
    Sim().Reset({kssim::RenderDevice("  Headset  ", RenderPath("headset")), kssim::RenderDevice("   ", RenderPath("blank")),
                 tabbed});
    AsioAudioDevice& device = MakeDevice();
    device.ScanRenderDevices();
    EXPECT_EQ(Names(), (std::vector<std::string>{"", "\tTab", "Headset"}));
}

TEST_F(DeviceScanTest, ADeviceWithoutANameIsListedUnderItsLocationOrNotAtAll)
{
    kssim::DeviceModel located = kssim::RenderDevice("x", RenderPath("located"));
    located.friendlyName.reset();
    located.location = "Port 3";
    kssim::DeviceModel nameless = kssim::RenderDevice("x", RenderPath("nameless"));
    nameless.friendlyName.reset();
    nameless.location.reset();
    Sim().Reset({located, nameless});
    AsioAudioDevice& device = MakeDevice();
    device.ScanRenderDevices();
    EXPECT_EQ(Names(), (std::vector<std::string>{"Port 3"}));
}

TEST_F(DeviceScanTest, AFilterWithoutAnAudioRangeIsNotListed)
{
    kssim::DeviceModel video = SimRender("Video");
    video.pins[0].ranges[0].majorFormat = KSDATAFORMAT_TYPE_VIDEO;
    Sim().Reset({video, SimRender("Audio")});
    AsioAudioDevice& device = MakeDevice();
    device.ScanRenderDevices();
    EXPECT_EQ(Names(), (std::vector<std::string>{"Audio"}));
}

TEST_F(DeviceScanTest, WithoutDevicesTheEnumerationFailureIsTracedAndTheTableStaysEmpty)
{
    AsioAudioDevice& device = MakeDevice();
    TraceCapture trace;
    device.ScanRenderDevices();
    device.ScanCaptureDevices();
    EXPECT_TRUE(device.deviceTable.empty());
    EXPECT_EQ(trace.Count("[TELVARA]\nError: CKsEnumFilters::EnumFilters failed. hr = 0x80004005/n/n"), 2u);
    EXPECT_TRUE(device.EnumerateFilters());
    EXPECT_EQ(device.EnumerateRenderFilters(), static_cast<int32_t>(E_FAIL));
}

TEST_F(DeviceScanTest, ARescanForgetsCaptureDevicesThatAreGone)
{
    Sim().Reset({SimRender("Both"), SimCapture("Both"), SimCapture("MicOnly")});
    AsioAudioDevice& device = MakeDevice();
    device.ScanRenderDevices();
    device.ScanCaptureDevices();
    ASSERT_EQ(Names(), (std::vector<std::string>{"Both", "MicOnly"}));
    Sim().RemoveDevice(CapturePath("Both"));
    Sim().RemoveDevice(CapturePath("MicOnly"));
    device.ScanCaptureDevices();
    // The render part stays; no capture part points at a deleted filter.
    ASSERT_EQ(Names(), (std::vector<std::string>{"Both"}));
    EXPECT_NE(device.deviceTable["Both"].render.filter, nullptr);
    EXPECT_EQ(device.deviceTable["Both"].capture.filter, nullptr);
    EXPECT_EQ(device.deviceTable["Both"].capture.friendlyName[0], '\0');
}

TEST_F(DeviceScanTest, ARefreshOfTheFiltersAloneLeavesNoScannedPartBehind)
{
    Sim().Reset({SimRender("Both"), SimCapture("Both"), SimCapture("MicOnly")});
    AsioAudioDevice& device = MakeDevice();
    device.ScanRenderDevices();
    device.ScanCaptureDevices();
    device.EnumerateCaptureFilters();
    ASSERT_EQ(Names(), (std::vector<std::string>{"Both"}));
    EXPECT_EQ(device.deviceTable["Both"].capture.filter, nullptr);
    device.EnumerateRenderFilters();
    EXPECT_TRUE(device.deviceTable.empty());
}

TEST_F(DeviceScanTest, ACaptureEnumerationThatFailsStillDropsTheOldCaptureParts)
{
    Sim().Reset({SimRender("Both"), SimCapture("Both")});
    AsioAudioDevice& device = MakeDevice();
    device.ScanRenderDevices();
    device.ScanCaptureDevices();
    Sim().RemoveDevice(CapturePath("Both"));
    device.ScanCaptureDevices();  // nothing found: the enumeration fails
    ASSERT_EQ(Names(), (std::vector<std::string>{"Both"}));
    EXPECT_EQ(device.deviceTable["Both"].capture.filter, nullptr);
}

TEST_F(DeviceScanTest, TheDeviceSetTakesRateDepthAndBlockSizeFromTheSettings)
{
    WriteConfig(ConfigText().Default("SampleRate", "48000").Default("BitSpersample", "24").Default("BlockFrames", "256"));
    AsioAudioDevice& device = MakeDevice();
    EXPECT_EQ(device.sampleRate, 48000.0);
    EXPECT_EQ(device.bitsPerSample, 24);
    EXPECT_EQ(device.blockFrames, 256);
    ASSERT_NE(device.settings, nullptr);
    EXPECT_EQ(device.settings->blockFrames, 256);
    EXPECT_EQ(device.inputChannels, 0);
    EXPECT_EQ(device.outputChannels, 0);
    EXPECT_FALSE(device.HasRenderDevices());
    EXPECT_FALSE(device.HasCaptureDevices());
}

TEST_F(DeviceScanTest, ACaptureScanClosesTheCaptureDevicesWhoseFiltersItReplaces)
{
    Sim().Reset({SimCapture("Mic")});
    WriteConfig(ConfigText().In("Mic", 2));
    AsioAudioDevice& device = MakeDevice();
    ASSERT_TRUE(device.OpenCaptureDevices());
    device.SetCaptureState(KSSTATE_RUN);
    device.ScanCaptureDevices();
    EXPECT_FALSE(device.HasCaptureDevices());
    EXPECT_EQ(device.inputChannels, 0);
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("Mic"), 0), 0);
    EXPECT_NE(device.deviceTable.at("Mic").capture.filter, nullptr);
    EXPECT_TRUE(device.OpenCaptureDevices());
}

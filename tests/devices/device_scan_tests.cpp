#include "device_test_support.h"

#include "trace_capture.h"
#include "wave_format.h"

#include <memory>

namespace {

class DeviceScanTest : public DeviceSetTest {
protected:
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& [name, entry] : m_catalogue->Devices()) {
            names.push_back(name);
        }
        return names;
    }
    const DeviceEntry& Entry(const std::string& name) const { return m_catalogue->Devices().at(name); }

    // Its filters close their handles before the simulation is emptied.
    void TearDown() override
    {
        m_catalogue.reset();
        DeviceSetTest::TearDown();
    }

    std::unique_ptr<CDeviceCatalogue> m_catalogue = std::make_unique<CDeviceCatalogue>();
};

}  // namespace

TEST_F(DeviceScanTest, DuplicateRenderNamesGetNumbersInEnumerationOrder)
{
    Sim().Reset({SimRender("Speakers"), kssim::RenderDevice("Speakers", RenderPath("second")),
                 kssim::RenderDevice("Speakers", RenderPath("third")), SimCapture("Speakers")});
    m_catalogue->ScanRenderDevices();
    m_catalogue->ScanCaptureDevices();
    EXPECT_EQ(Names(), (std::vector<std::string>{"1_Speakers", "2_Speakers", "Speakers"}));
    EXPECT_STREQ(Entry("Speakers").render.filter->m_szName, RenderPath("Speakers").c_str());
    EXPECT_STREQ(Entry("1_Speakers").render.filter->m_szName, RenderPath("second").c_str());
    EXPECT_STREQ(Entry("2_Speakers").render.filter->m_szName, RenderPath("third").c_str());
    // The capture device keeps its name and meets the first render device.
    ASSERT_NE(Entry("Speakers").capture.filter, nullptr);
    EXPECT_STREQ(Entry("Speakers").capture.filter->m_szName, CapturePath("Speakers").c_str());
    EXPECT_EQ(Entry("1_Speakers").capture.filter, nullptr);
}

TEST_F(DeviceScanTest, CaptureNamesAreUniqueAmongCaptureDevicesOnly)
{
    Sim().Reset({SimRender("Mic"), SimCapture("Mic"), kssim::CaptureDevice("Mic", CapturePath("second"))});
    m_catalogue->ScanRenderDevices();
    m_catalogue->ScanCaptureDevices();
    EXPECT_EQ(Names(), (std::vector<std::string>{"1_Mic", "Mic"}));
    EXPECT_NE(Entry("Mic").render.filter, nullptr);
    EXPECT_NE(Entry("Mic").capture.filter, nullptr);
    EXPECT_EQ(Entry("1_Mic").render.filter, nullptr);
    EXPECT_STREQ(Entry("1_Mic").capture.filter->m_szName, CapturePath("second").c_str());
}

TEST_F(DeviceScanTest, ScannedDevicesCarryTheRangeAndTheUniqueName)
{
    kssim::DeviceModel model = SimRender("Card", 6, 16, 24);
    model.pins[0].ranges[0].minimumSampleFrequency = 44100;
    model.pins[0].ranges[0].maximumSampleFrequency = 96000;
    Sim().Reset({model, SimCapture("Card", 4)});
    m_catalogue->ScanRenderDevices();
    m_catalogue->ScanCaptureDevices();
    const DeviceEntry& entry = Entry("Card");
    EXPECT_EQ(entry.render.channels, 6);
    EXPECT_EQ(entry.render.dataRange.MaximumChannels, 6u);
    EXPECT_EQ(entry.render.dataRange.MinimumBitsPerSample, 16u);
    EXPECT_EQ(entry.render.dataRange.MaximumBitsPerSample, 24u);
    EXPECT_EQ(entry.render.dataRange.MinimumSampleFrequency, 44100u);
    EXPECT_EQ(entry.render.dataRange.MaximumSampleFrequency, 96000u);
    EXPECT_STREQ(entry.render.friendlyName, "Card");
    EXPECT_STREQ(entry.render.filter->m_szName, RenderPath("Card").c_str());
    EXPECT_EQ(entry.capture.channels, 4);
    EXPECT_EQ(entry.capture.dataRange.MaximumChannels, 4u);
    EXPECT_STREQ(entry.capture.friendlyName, "Card");
}

TEST_F(DeviceScanTest, NamesAreTrimmedOfBlanksOnly)
{
    kssim::DeviceModel tabbed = kssim::RenderDevice("\tTab ", RenderPath("tab"));
    Sim().Reset({kssim::RenderDevice("  Headset  ", RenderPath("headset")), kssim::RenderDevice("   ", RenderPath("blank")),
                 tabbed});
    m_catalogue->ScanRenderDevices();
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
    m_catalogue->ScanRenderDevices();
    EXPECT_EQ(Names(), (std::vector<std::string>{"Port 3"}));
}

TEST_F(DeviceScanTest, AFilterWithoutAnAudioRangeIsNotListed)
{
    kssim::DeviceModel video = SimRender("Video");
    video.pins[0].ranges[0].majorFormat = KSDATAFORMAT_TYPE_VIDEO;
    Sim().Reset({video, SimRender("Audio")});
    m_catalogue->ScanRenderDevices();
    EXPECT_EQ(Names(), (std::vector<std::string>{"Audio"}));
}

TEST_F(DeviceScanTest, WithoutDevicesTheEnumerationFailureIsTracedAndTheTableStaysEmpty)
{
    TraceCapture trace;
    m_catalogue->ScanRenderDevices();
    m_catalogue->ScanCaptureDevices();
    EXPECT_TRUE(m_catalogue->Devices().empty());
    EXPECT_EQ(trace.Count("[TELVARA]\nError: CKsEnumFilters::EnumFilters failed. hr = 0x80004005/n/n"), 2u);
    EXPECT_TRUE(m_catalogue->EnumerateFilters());
    EXPECT_EQ(m_catalogue->EnumerateRenderFilters(), static_cast<int32_t>(E_FAIL));
}

TEST_F(DeviceScanTest, ARescanForgetsCaptureDevicesThatAreGone)
{
    Sim().Reset({SimRender("Both"), SimCapture("Both"), SimCapture("MicOnly")});
    m_catalogue->ScanRenderDevices();
    m_catalogue->ScanCaptureDevices();
    ASSERT_EQ(Names(), (std::vector<std::string>{"Both", "MicOnly"}));
    Sim().RemoveDevice(CapturePath("Both"));
    Sim().RemoveDevice(CapturePath("MicOnly"));
    m_catalogue->ScanCaptureDevices();
    // The render part stays; no capture part points at a deleted filter.
    ASSERT_EQ(Names(), (std::vector<std::string>{"Both"}));
    EXPECT_NE(Entry("Both").render.filter, nullptr);
    EXPECT_EQ(Entry("Both").capture.filter, nullptr);
    EXPECT_EQ(Entry("Both").capture.friendlyName[0], '\0');
}

TEST_F(DeviceScanTest, ARefreshOfTheFiltersAloneLeavesNoScannedPartBehind)
{
    Sim().Reset({SimRender("Both"), SimCapture("Both"), SimCapture("MicOnly")});
    m_catalogue->ScanRenderDevices();
    m_catalogue->ScanCaptureDevices();
    m_catalogue->EnumerateCaptureFilters();
    ASSERT_EQ(Names(), (std::vector<std::string>{"Both"}));
    EXPECT_EQ(Entry("Both").capture.filter, nullptr);
    m_catalogue->EnumerateRenderFilters();
    EXPECT_TRUE(m_catalogue->Devices().empty());
}

TEST_F(DeviceScanTest, ACaptureEnumerationThatFailsStillDropsTheOldCaptureParts)
{
    Sim().Reset({SimRender("Both"), SimCapture("Both")});
    m_catalogue->ScanRenderDevices();
    m_catalogue->ScanCaptureDevices();
    Sim().RemoveDevice(CapturePath("Both"));
    m_catalogue->ScanCaptureDevices();  // nothing found: the enumeration fails
    ASSERT_EQ(Names(), (std::vector<std::string>{"Both"}));
    EXPECT_EQ(Entry("Both").capture.filter, nullptr);
}


// A filter found by a scan whose device is unplugged before the open gives
// no pin in either direction.
TEST_F(DeviceScanTest, AScannedFilterWhoseDeviceWasRemovedGivesNoPin)
{
    Sim().Reset({SimRender("Gone"), SimCapture("Gone")});
    m_catalogue->ScanRenderDevices();
    m_catalogue->ScanCaptureDevices();
    const DeviceEntry& entry = Entry("Gone");
    Sim().RemoveDevice(RenderPath("Gone"));
    Sim().RemoveDevice(CapturePath("Gone"));
    WAVEFORMATEXTENSIBLE render = MakeRequestedFormat(2, 44100, 16, StreamDirection::Render);
    WAVEFORMATEXTENSIBLE capture = MakeRequestedFormat(2, 44100, 16, StreamDirection::Capture);
    EXPECT_EQ(static_cast<CKsAudRenFilter*>(entry.render.filter)->CreateRenderPin(&render.Format), nullptr);
    EXPECT_EQ(static_cast<CKsAudCapFilter*>(entry.capture.filter)->CreateCapturePin(&capture.Format, FALSE), nullptr);
    EXPECT_EQ(Sim().OpenPinInstances(RenderPath("Gone"), 0), 0);
}

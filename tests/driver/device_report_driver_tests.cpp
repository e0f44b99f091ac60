// Busy and unusable devices as the host learns of them: init runs with the
// devices that open and names the others in getErrorMessage, fails only
// when none opens, and the rates offered are those every open device takes.
#include "asio_test_host.h"
#include "device_report.h"
#include "driver_fixture.h"
#include "driver_texts.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using kssim::CaptureDevice;
using kssim::RenderDevice;

class DeviceReportDriverTest : public DriverTest {
protected:
    std::string ErrorText()
    {
        char field[DriverTexts::kErrorMessageBytes + 16];
        std::memset(field, 0x5A, sizeof field);
        m_driver->getErrorMessage(field);
        for (size_t i = DriverTexts::kErrorMessageBytes; i < sizeof field; ++i) {
            EXPECT_EQ(field[i], 0x5A) << "written beyond the host's field, byte " << i;
        }
        return std::string(field, strnlen(field, DriverTexts::kErrorMessageBytes));
    }
    static kssim::DeviceModel WithRates(kssim::DeviceModel model, ULONG lowest, ULONG highest)
    {
        model.pins[0].ranges[0].minimumSampleFrequency = lowest;
        model.pins[0].ranges[0].maximumSampleFrequency = highest;
        return model;
    }
};

std::string Named(const std::string& name, const char* reason)
{
    return name + "(" + reason + ")";
}

// True when the text is whole GBK characters throughout.
bool WholeGbk(const std::string& text)
{
    return text.empty() || MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                               nullptr, 0) > 0;
}

// The sample rate of the last pin created on the device's pin 0.
DWORD LastPinRate(const std::string& path)
{
    const std::vector<uint8_t> bytes = kssim::Simulation::Instance().LastPinConnect(path, 0);
    WAVEFORMATEX format{};
    if (bytes.size() >= sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof format) {
        std::memcpy(&format, bytes.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT), sizeof format);
    }
    return format.nSamplesPerSec;
}

}  // namespace

TEST_F(DeviceReportDriverTest, ABusyDeviceIsNamedTheOthersStreamAndItOpensOnceFreed)
{
    WriteConfig("[default]\nout=Spk A;Spk B\nin=Mic\n" + RenderSection("Spk A", 2, 0, 1) +
                RenderSection("Spk B", 2, 0, 1) + CaptureSection("Mic", 2));
    UseDevices({RenderDevice("Spk A", RenderPath('a')), RenderDevice("Spk B", RenderPath('b')),
                CaptureDevice("Mic", CapturePath('m'))});
    kssim::Simulation::Instance().HoldInstances(RenderPath('b'), -1);
    IASIO* driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    long inputs = 0, outputs = 0;
    driver->getChannels(&inputs, &outputs);
    EXPECT_EQ(outputs, 2);
    EXPECT_EQ(inputs, 2);
    EXPECT_EQ(ErrorText(), std::string(DriverTexts::kLeftOutLead) + Named("Spk B", DriverTexts::kReasonBusy));
    EXPECT_EQ(LatestDeviceReport(), "out  Spk A: open, 16 bit integer, 2 ch, 44100 Hz\n"
                                    "out  Spk B: in use by another program\n"
                                    "in   Mic: open, 16 bit integer, 2 ch, 44100 Hz\n");
    {
        AsioTestHost host(driver);
        ASSERT_EQ(host.CreateBuffers({0, 1}, {0, 1}, 512), ASE_OK);
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(host.WaitForCallbacks(8, 20000)) << host.Callbacks() << " callbacks";
        ASSERT_EQ(driver->stop(), ASE_OK);
        ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    }
    EXPECT_GE(Rendered(RenderPath('a')).size(), 2u * 512u * 4u);
    EXPECT_TRUE(Rendered(RenderPath('b')).empty()) << "the busy device plays nothing";

    // The other program lets go: the next driver object opens it.
    kssim::Simulation::Instance().ReleaseInstances(RenderPath('b'), -1);
    ReleaseDriver();
    driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    driver->getChannels(&inputs, &outputs);
    EXPECT_EQ(outputs, 4);
    EXPECT_EQ(ErrorText(), "") << "nothing was left out";
    EXPECT_EQ(kssim::Simulation::Instance().OpenPinInstances(RenderPath('b'), 0), 1);
}

TEST_F(DeviceReportDriverTest, InitFailsOnlyWhenNoConfiguredDeviceOpens)
{
    struct Case {
        const char* what;
        std::string config;
        bool holdSpeaker;
        bool withMic;
        ASIOBool init;
        std::string error;
    };
    const std::string speaker = RenderSection("Spk", 2, 0, 1);
    const std::string mic = CaptureSection("Mic", 2);
    const Case cases[] = {
        {"a busy output beside an input", "[default]\nout=Spk\nin=Mic\n" + speaker + mic, true, true, ASIOTrue,
         std::string(DriverTexts::kLeftOutLead) + Named("Spk", DriverTexts::kReasonBusy)},
        {"the one device busy", "[default]\nout=Spk\n" + speaker, true, false, ASIOFalse,
         std::string(DriverTexts::kCannotOpenPorts) + " " + Named("Spk", DriverTexts::kReasonBusy)},
        {"busy and missing", "[default]\nout=Spk;Gone\n" + speaker, true, false, ASIOFalse,
         std::string(DriverTexts::kCannotOpenPorts) + " " + Named("Gone", DriverTexts::kReasonGone) + ";" +
             Named("Spk", DriverTexts::kReasonBusy)},
        {"the one device missing", "[default]\nout=Gone\n", false, false, ASIOFalse, DriverTexts::kNoAudioDevice},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteConfig(c.config);
        std::vector<kssim::DeviceModel> devices = {RenderDevice("Spk", RenderPath('s'))};
        if (c.withMic) {
            devices.push_back(CaptureDevice("Mic", CapturePath('m')));
        }
        UseDevices(devices);
        if (c.holdSpeaker) {
            kssim::Simulation::Instance().HoldInstances(RenderPath('s'), -1);
        }
        IASIO* driver = CreateDriver();
        EXPECT_EQ(driver->init(nullptr), c.init);
        EXPECT_EQ(ErrorText(), c.error);
        if (c.init == ASIOFalse) {
            EXPECT_EQ(kssim::Simulation::Instance().OpenHandleCount(), 0) << "a failed init closes what it opened";
        }
        ReleaseDriver();
    }
}

TEST_F(DeviceReportDriverTest, ManyDevicesLeftOutFitTheFieldInWholeGbkCharacters)
{
    // "高清晰度音频设备扬声器": a long name, as Windows names onboard outputs.
    const std::string longName = "\xb8\xdf\xc7\xe5\xce\xfa\xb6\xc8\xd2\xf4\xc6\xb5\xc9\xe8\xb1\xb8\xd1\xef\xc9\xf9\xc6\xf7";
    struct Case {
        const char* what;
        std::vector<std::string> missing;
        size_t cut;  // names cut short, their reason with them
    };
    std::vector<std::string> many;
    for (int i = 10; i < 35; ++i) {
        many.push_back(longName + " " + std::to_string(i));
    }
    std::string huge;
    for (int i = 0; i < 8; ++i) {
        huge += longName;
    }
    const Case cases[] = {
        {"twenty-five long names", many, 0},
        {"one name longer than the field", {huge}, 1},
        {"two names longer than the field", {huge, huge + "2"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string out = "Spk";
        for (const std::string& name : c.missing) {
            out += ";" + name;
        }
        WriteConfig("[default]\nout=" + out + "\n" + RenderSection("Spk", 2, 0, 1));
        UseDevices({RenderDevice("Spk", RenderPath('s'))});
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        const std::string text = ErrorText();
        EXPECT_LE(text.size() + 1, DriverTexts::kErrorMessageBytes);
        EXPECT_TRUE(WholeGbk(text)) << text;
        ASSERT_EQ(text.rfind(DriverTexts::kLeftOutLead, 0), 0u) << text;
        // Every device is named or counted, none twice.
        size_t named = 0;
        for (size_t at = text.find(DriverTexts::kReasonGone); at != std::string::npos;
             at = text.find(DriverTexts::kReasonGone, at + 1)) {
            ++named;
        }
        int counted = 0;
        const std::string more = std::string(";") + "\xc1\xed\xd3\xd0";
        const size_t moreAt = text.rfind(more);
        if (moreAt != std::string::npos) {
            counted = std::atoi(text.c_str() + moreAt + more.size());
            EXPECT_EQ(text.substr(text.size() - 2), "\xb8\xf6") << "the count ends the text";
        }
        EXPECT_EQ(named + static_cast<size_t>(counted) + c.cut, c.missing.size()) << text;
        if (c.cut) {
            EXPECT_GT(text.size(), std::strlen(DriverTexts::kLeftOutLead) + 60) << "the name is cut, not dropped";
        }
        ReleaseDriver();
    }
}

TEST_F(DeviceReportDriverTest, RatesAboveFortyEightKilohertzOnlyWhenEveryOpenDeviceTakesThem)
{
    WriteConfig("[default]\nout=To 96k;To 192k\n" + RenderSection("To 96k", 2, 0, 1) +
                RenderSection("To 192k", 2, 0, 1));
    UseDevices({WithRates(RenderDevice("To 96k", RenderPath('n')), 8000, 96000),
                WithRates(RenderDevice("To 192k", RenderPath('h')), 8000, 192000)});
    IASIO* driver = CreateDriver();
    const std::pair<double, ASIOError> beforeInit[] = {{192000, ASE_OK}, {176400, ASE_OK}, {22050, ASE_NoClock}};
    for (const auto& [rate, answer] : beforeInit) {
        EXPECT_EQ(driver->canSampleRate(rate), answer) << rate << " before init: the list alone";
    }
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    const std::pair<double, ASIOError> opened[] = {
        {8000, ASE_OK},       {44100, ASE_OK},       {48000, ASE_OK},        {88200, ASE_OK},
        {96000, ASE_OK},      {176400, ASE_NoClock}, {192000, ASE_NoClock},  {22050, ASE_NoClock},
        {384000, ASE_NoClock}, {96000.5, ASE_NoClock},
    };
    for (const auto& [rate, answer] : opened) {
        EXPECT_EQ(driver->canSampleRate(rate), answer) << rate;
    }
    EXPECT_EQ(driver->setSampleRate(192000), ASE_NoClock);
    ASSERT_EQ(driver->setSampleRate(96000), ASE_OK);
    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);
    EXPECT_EQ(rate, 96000.0);
    EXPECT_EQ(LastPinRate(RenderPath('n')), 96000u);
    EXPECT_EQ(LastPinRate(RenderPath('h')), 96000u);
    long inputs = 0, outputs = 0;
    driver->getChannels(&inputs, &outputs);
    EXPECT_EQ(outputs, 4);
    ReleaseDriver();

    // With the 192 kHz device alone every rate of the list is offered.
    WriteConfig("[default]\nout=To 192k\n" + RenderSection("To 192k", 2, 0, 1));
    driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    for (double high : {88200.0, 96000.0, 176400.0, 192000.0}) {
        EXPECT_EQ(driver->canSampleRate(high), ASE_OK) << high;
    }
    ASSERT_EQ(driver->setSampleRate(192000), ASE_OK);
    EXPECT_EQ(LastPinRate(RenderPath('h')), 192000u);
}

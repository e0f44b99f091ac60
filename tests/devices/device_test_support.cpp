// Poco's headers (settings_file.h) take winsock2.h before windows.h.
#include "settings_file.h"

#include "device_test_support.h"

#include "appdata_redirect.h"

#include <windows.h>

namespace {

// The application-data folder of the whole prefix points at a temporary
// folder while the program runs (the test holds the "appdata" lock).
class AppDataEnvironment : public testing::Environment {
public:
    void SetUp() override { m_redirect = std::make_unique<AppDataRedirect>(L"telvara-devset"); }
    void TearDown() override { m_redirect.reset(); }
    static const AppDataRedirect& Redirect() { return *s_instance->m_redirect; }

    static AppDataEnvironment* s_instance;

private:
    std::unique_ptr<AppDataRedirect> m_redirect;
};

AppDataEnvironment* AppDataEnvironment::s_instance = static_cast<AppDataEnvironment*>(
    testing::AddGlobalTestEnvironment(new AppDataEnvironment));

kssim::DeviceModel WithRange(kssim::DeviceModel device, ULONG maximumChannels, ULONG minimumBits, ULONG maximumBits)
{
    kssim::AudioRange& range = device.pins.at(0).ranges.at(0);
    range.maximumChannels = maximumChannels;
    range.minimumBitsPerSample = minimumBits;
    range.maximumBitsPerSample = maximumBits;
    return device;
}

const DriverSettings& LoadedSettings()
{
    return *GetSettingsFile(SettingsFailureAction::Continue).LoadSettings();
}

}  // namespace

ConfigText& ConfigText::Out(const std::string& name, int channels, const std::string& channelLink,
                            const std::string& outLatency)
{
    m_outList += (m_outList.empty() ? "" : ";") + name;
    std::string section = "[" + name + "]\noutMaximumChannels=" + std::to_string(channels) + "\n";
    if (!channelLink.empty()) {
        section += "outChannelLink=" + channelLink + "\n";
    }
    if (!outLatency.empty()) {
        section += "outOutLatency=" + outLatency + "\n";
    }
    m_sections.push_back(section);
    return *this;
}

ConfigText& ConfigText::In(const std::string& name, int channels)
{
    m_inList += (m_inList.empty() ? "" : ";") + name;
    m_sections.push_back("[" + name + "]\ninMaximumChannels=" + std::to_string(channels) + "\n");
    return *this;
}

ConfigText& ConfigText::OutList(const std::string& list)
{
    m_outList = list;
    return *this;
}

std::string ConfigText::Text() const
{
    std::string text = "[default]\nout=" + m_outList + "\nin=" + m_inList + "\n";
    for (const std::string& section : m_sections) {
        text += section;
    }
    return text;
}

std::string RenderPath(const std::string& name)
{
    return "\\\\?\\sim#render#" + name;
}

std::string CapturePath(const std::string& name)
{
    return "\\\\?\\sim#capture#" + name;
}

kssim::DeviceModel SimRender(const std::string& name, ULONG maximumChannels, ULONG minimumBits, ULONG maximumBits)
{
    return WithRange(kssim::RenderDevice(name, RenderPath(name)), maximumChannels, minimumBits, maximumBits);
}

kssim::DeviceModel SimCapture(const std::string& name, ULONG maximumChannels, ULONG minimumBits, ULONG maximumBits)
{
    return WithRange(kssim::CaptureDevice(name, CapturePath(name)), maximumChannels, minimumBits, maximumBits);
}

bool Signalled(HANDLE event, DWORD waitMs)
{
    return WaitForSingleObject(event, waitMs) == WAIT_OBJECT_0;
}

void DeviceSetTest::SetUp()
{
    Sim().Reset();
    WriteConfig(ConfigText());
}

void DeviceSetTest::TearDown()
{
    m_set.reset();
    Sim().Reset();
}

void DeviceSetTest::WriteConfig(const ConfigText& config)
{
    const AppDataRedirect& redirect = AppDataEnvironment::Redirect();
    CreateDirectoryA(redirect.SettingsFolder().c_str(), nullptr);
    WriteFileBytes(redirect.SettingsFile(), config.Text());
}

CDeviceSet& DeviceSetTest::MakeSet()
{
    m_set.reset();
    m_set = std::make_unique<CDeviceSet>();
    return *m_set;
}

OpenRequest DeviceSetTest::RenderRequest(double sampleRate, int32_t bitsPerSample)
{
    return OpenRequest{sampleRate, bitsPerSample, &LoadedSettings().outputDevices};
}

OpenRequest DeviceSetTest::CaptureRequest(double sampleRate, int32_t bitsPerSample)
{
    return OpenRequest{sampleRate, bitsPerSample, &LoadedSettings().inputDevices};
}

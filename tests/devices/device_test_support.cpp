#include "device_test_support.h"

#include "appdata_redirect.h"
#include "message_box_log.h"

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

}  // namespace

ConfigText& ConfigText::Default(const std::string& key, const std::string& value)
{
    m_defaults.push_back(key + "=" + value);
    return *this;
}

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

ConfigText& ConfigText::InList(const std::string& list)
{
    m_inList = list;
    return *this;
}

std::string ConfigText::Text() const
{
    std::string text = "[default]\n";
    for (const std::string& line : m_defaults) {
        text += line + "\n";
    }
    text += "out=" + m_outList + "\nin=" + m_inList + "\n";
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

void DeviceSetTest::SetUp()
{
    Sim().Reset();
    ClearLoggedMessageBoxes();
    for (int i = 0; i < kCaptureRequestCount; ++i) {
        ASSERT_TRUE(PrepareCaptureRequest(i));
    }
}

void DeviceSetTest::TearDown()
{
    m_device.reset();
    Sim().Reset();
}

void DeviceSetTest::WriteConfig(const ConfigText& config)
{
    const AppDataRedirect& redirect = AppDataEnvironment::Redirect();
    CreateDirectoryA(redirect.SettingsFolder().c_str(), nullptr);
    WriteFileBytes(redirect.SettingsFile(), config.Text());
}

AsioAudioDevice& DeviceSetTest::MakeDevice()
{
    m_device.reset();
    m_device = std::make_unique<AsioAudioDevice>(SettingsFailureAction::Continue);
    return *m_device;
}

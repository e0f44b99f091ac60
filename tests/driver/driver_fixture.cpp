#include "driver_fixture.h"

#include "telvara_driver.h"

#include <windows.h>

#include <cstring>

const ULONG DriverTest::kRenderPinId = 0;
const ULONG DriverTest::kCapturePinId = 0;

std::string RenderPath(char id)
{
    return std::string("\\\\?\\sim#render#") + id;
}

std::string CapturePath(char id)
{
    return std::string("\\\\?\\sim#capture#") + id;
}

void DriverTest::TearDown()
{
    ReleaseDriver();
    kssim::Simulation::Instance().Reset();
}

void DriverTest::WriteConfig(const std::string& text)
{
    CreateDirectoryA(m_appData.SettingsFolder().c_str(), nullptr);
    WriteFileBytes(m_appData.SettingsFile(), text);
}

std::string DriverTest::RenderSection(const std::string& name, int channels, int left, int right,
                                      const char* outLatency)
{
    std::string section = "[" + name + "]\noutMaximumChannels=" + std::to_string(channels) +
                          "\noutChannelLink=" + std::to_string(left) + ";" + std::to_string(right) + "\n";
    if (outLatency) {
        section += std::string("outOutLatency=") + outLatency + "\n";
    }
    return section;
}

std::string DriverTest::CaptureSection(const std::string& name, int channels)
{
    return "[" + name + "]\ninMaximumChannels=" + std::to_string(channels) + "\n";
}

void DriverTest::UseDevices(std::vector<kssim::DeviceModel> devices, kssim::ClockMode mode)
{
    kssim::Simulation::Instance().Reset(std::move(devices));
    kssim::Simulation::Instance().SetClockMode(mode);
}

IASIO* DriverTest::CreateDriver()
{
    auto* driver = new CTelvaraDriver(nullptr);
    driver->NonDelegatingAddRef();
    m_driver = driver;
    return m_driver;
}

void DriverTest::ReleaseDriver()
{
    if (m_driver) {
        m_driver->Release();
        m_driver = nullptr;
    }
}

std::vector<int16_t> DriverTest::Rendered(const std::string& devicePath)
{
    const std::vector<uint8_t> bytes = kssim::Simulation::Instance().RenderedBytes(devicePath, kRenderPinId);
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

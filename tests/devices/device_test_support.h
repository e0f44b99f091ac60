#pragma once

#include "settings_file.h"

#include "asio_audio_device.h"
#include "kssim.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// config.ini text for a test: [default] keys and the device sections.
class ConfigText {
public:
    ConfigText& Default(const std::string& key, const std::string& value);
    // A device of the "out" list with its channel count and, when given, its
    // links and output delay factor.
    ConfigText& Out(const std::string& name, int channels, const std::string& channelLink = "",
                    const std::string& outLatency = "");
    ConfigText& In(const std::string& name, int channels);
    // The "out" or "in" list written as it stands (blanks and repeats kept).
    ConfigText& OutList(const std::string& list);
    ConfigText& InList(const std::string& list);
    std::string Text() const;

private:
    std::vector<std::string> m_defaults;
    std::vector<std::string> m_sections;
    std::string m_outList;
    std::string m_inList;
};

// Device paths of the simulated devices of a test.
std::string RenderPath(const std::string& name);
std::string CapturePath(const std::string& name);

// A render or capture device of the simulation with one streaming pin (id 0)
// whose range takes channels, bits and rates as given.
kssim::DeviceModel SimRender(const std::string& name, ULONG maximumChannels = 2, ULONG minimumBits = 16,
                             ULONG maximumBits = 16);
kssim::DeviceModel SimCapture(const std::string& name, ULONG maximumChannels = 2, ULONG minimumBits = 16,
                              ULONG maximumBits = 16);

// Each test starts with an empty simulation and a config.ini of its own in
// the redirected application-data folder; the device set it makes loads it.
class DeviceSetTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static kssim::Simulation& Sim() { return kssim::Simulation::Instance(); }
    static void WriteConfig(const ConfigText& config);
    AsioAudioDevice& MakeDevice();

    std::unique_ptr<AsioAudioDevice> m_device;
};

#pragma once

#include "device_set.h"
#include "kssim.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// config.ini text for a test: the device lists and the device sections.
class ConfigText {
public:
    // A device of the "out" list with its channel count and, when given, its
    // links and output delay factor.
    ConfigText& Out(const std::string& name, int channels, const std::string& channelLink = "",
                    const std::string& outLatency = "");
    ConfigText& In(const std::string& name, int channels);
    // The "out" list written as it stands (blanks and repeats kept).
    ConfigText& OutList(const std::string& list);
    std::string Text() const;

private:
    std::vector<std::string> m_sections;
    std::string m_outList;
    std::string m_inList;
};

// Device paths of the simulated devices of a test.
std::string RenderPath(const std::string& name);
std::string CapturePath(const std::string& name);

// A render or capture device of the simulation with one streaming pin (id 0)
// whose range takes channels and bits as given.
kssim::DeviceModel SimRender(const std::string& name, ULONG maximumChannels = 2, ULONG minimumBits = 16,
                             ULONG maximumBits = 16);
kssim::DeviceModel SimCapture(const std::string& name, ULONG maximumChannels = 2, ULONG minimumBits = 16,
                              ULONG maximumBits = 16);

// Waits at most waitMs for an event; true when it was signalled.
bool Signalled(HANDLE event, DWORD waitMs);

// Each test starts with an empty simulation and a config.ini of its own in
// the redirected application-data folder. The device set opens the devices
// that config.ini lists, at the rate and depth the test asks for, as the
// driver does with its own rate and depth.
class DeviceSetTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static kssim::Simulation& Sim() { return kssim::Simulation::Instance(); }
    static void WriteConfig(const ConfigText& config);
    // A new device set; the one before is destroyed first.
    CDeviceSet& MakeSet();
    // The configured devices of a direction, loaded from config.ini.
    static OpenRequest RenderRequest(double sampleRate = 44100.0, int32_t bitsPerSample = 16);
    static OpenRequest CaptureRequest(double sampleRate = 44100.0, int32_t bitsPerSample = 16);

    CRenderEndpoint& Render(size_t position) { return *m_set->Render().at(position); }
    CCaptureEndpoint& Capture(size_t position) { return *m_set->Capture().at(position); }

    std::unique_ptr<CDeviceSet> m_set;
};

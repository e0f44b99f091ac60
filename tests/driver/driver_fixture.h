#pragma once

#include "appdata_redirect.h"
#include "asio.h"
#include "kssim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// A driver object in this process over simulated devices, with its own
// config.ini in a redirected application-data folder.
class DriverTest : public testing::Test {
protected:
    void TearDown() override;

    // config.ini as given (the folder is created).
    void WriteConfig(const std::string& text);
    // A [name] section for a render device: channels, links, output delay.
    static std::string RenderSection(const std::string& name, int channels, int left, int right,
                                     const char* outLatency = nullptr);
    static std::string CaptureSection(const std::string& name, int channels);
    // Replaces the simulated hardware.
    void UseDevices(std::vector<kssim::DeviceModel> devices, kssim::ClockMode mode = kssim::ClockMode::Fast);

    // A new driver object, the caller's reference; released in TearDown.
    IASIO* CreateDriver();
    // Releases the driver now.
    void ReleaseDriver();

    // Every byte a simulated render device played, as 16-bit samples.
    static std::vector<int16_t> Rendered(const std::string& devicePath);
    static const ULONG kRenderPinId;
    static const ULONG kCapturePinId;

    AppDataRedirect m_appData;
    IASIO* m_driver = nullptr;
};

// The device paths tests use.
std::string RenderPath(char id);
std::string CapturePath(char id);

#include "settings_fuzz_driver.h"

#include "appdata_redirect.h"
#include "kssim.h"
#include "settings_limits.h"
#include "telvara_driver.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace SettingsFuzz {

namespace {

void OnSwitch(long, ASIOBool) {}
void OnRateChange(ASIOSampleRate) {}
long OnMessage(long, long, void*, double*) { return 0; }
ASIOTime* OnSwitchTimeInfo(ASIOTime*, long, ASIOBool) { return nullptr; }
ASIOCallbacks g_callbacks = {OnSwitch, OnRateChange, OnMessage, OnSwitchTimeInfo};

std::string Streams(IASIO* driver, long inputs, long outputs, long frames)
{
    std::vector<ASIOBufferInfo> infos;
    for (long i = 0; i < std::min(outputs, 2L); ++i) {
        infos.push_back({ASIOFalse, i, {nullptr, nullptr}});
    }
    if (inputs > 0) {
        infos.push_back({ASIOTrue, 0, {nullptr, nullptr}});
    }
    const ASIOError created =
        driver->createBuffers(infos.data(), static_cast<long>(infos.size()), frames, &g_callbacks);
    if (created != ASE_OK) {
        return "createBuffers(" + std::to_string(frames) + ") answered " + std::to_string(created);
    }
    std::string problem;
    const ASIOError started = driver->start();
    if (started != ASE_OK) {
        problem = "start answered " + std::to_string(started);
    } else if (driver->stop() != ASE_OK) {
        problem = "stop failed";
    }
    if (driver->disposeBuffers() != ASE_OK) {
        problem += " disposeBuffers failed";
    }
    return problem;
}

}  // namespace

void UseValidFileDevices()
{
    kssim::Simulation::Instance().Reset({kssim::RenderDevice("Spk A", "\\\\?\\fuzz#render#a"),
                                         kssim::RenderDevice("Spk B", "\\\\?\\fuzz#render#b"),
                                         kssim::CaptureDevice("Mic", "\\\\?\\fuzz#capture#m")});
    kssim::Simulation::Instance().SetClockMode(kssim::ClockMode::Fast);
}

std::string DriverInitViolation(const std::string& settingsPath, const std::string& bytes, bool* initialised)
{
    WriteFileBytes(settingsPath, bytes);
    auto* driver = new CTelvaraDriver(nullptr);
    driver->NonDelegatingAddRef();
    std::string problem;
    const ASIOBool ok = driver->init(nullptr);
    if (initialised) {
        *initialised = ok == ASIOTrue;
    }
    if (ok != ASIOTrue) {
        char message[124] = {};
        driver->getErrorMessage(message);
        if (message[0] == '\0') {
            problem = "init failed without a message";
        }
    } else {
        long inputs = -1, outputs = -1, minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
        ASIOSampleRate rate = 0;
        if (driver->getChannels(&inputs, &outputs) != ASE_OK || inputs < 0 || outputs < 0 ||
            inputs + outputs == 0) {
            problem = "channels " + std::to_string(inputs) + "/" + std::to_string(outputs);
        } else if (driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity) != ASE_OK ||
                   minSize < SettingsLimits::kSmallestBlockFrames || maxSize > SettingsLimits::kLargestBlockFrames ||
                   preferred < minSize || preferred > maxSize) {
            problem = "buffer sizes " + std::to_string(minSize) + ".." + std::to_string(maxSize) + " preferred " +
                      std::to_string(preferred);
        } else if (driver->getSampleRate(&rate) != ASE_OK || !SettingsLimits::IsSupportedSampleRate(rate)) {
            problem = "sample rate " + std::to_string(rate);
        } else {
            problem = Streams(driver, inputs, outputs, preferred);
        }
    }
    driver->Release();
    const int open = kssim::Simulation::Instance().OpenHandleCount();
    if (open != 0) {
        problem += " " + std::to_string(open) + " simulated handles left open";
    }
    return problem;
}

}  // namespace SettingsFuzz

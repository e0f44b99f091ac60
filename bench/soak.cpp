// The soak: a long stream on the real-time simulated clock. Prints figures;
// it judges nothing.
//
//   soak [minutes per block size, 10 by default] [frames ..., 64 and 32 by default]
//
// The driver object (linked in) streams in-process through IASIO over 4
// stereo render devices and one stereo capture device at 48 kHz, 16 bits.
// Each minute it prints the callbacks, the underrun frames (summed over the
// render devices), the overrun frames of the capture device, the reset
// requests, the longest interval between two callbacks, and the threads,
// kernel handles and committed memory of the process; at the end of each
// block size, the growth of those three from the end of the first minute to
// the end of the last. What the simulated speakers play is thrown away as it
// comes, so that their recordings do not count as the driver's memory.

#include "bench_support.h"
#include "appdata_redirect.h"
#include "kssim.h"
#include "message_box.h"
#include "process_resources.h"
#include "telvara_driver.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kSampleRate = 48000;
constexpr int kRenderDevices = 4;
constexpr const char* kCapturePath = "\\\\?\\soak#capture#mic";

std::string RenderPath(int i)
{
    return std::string("\\\\?\\soak#render#") + static_cast<char>('a' + i);
}

std::atomic<long> g_callbacks{0};
std::atomic<long> g_resets{0};
std::atomic<double> g_worst{0.0};  // this minute's longest callback interval
double g_last = 0.0;               // engine thread only

void OnSwitch()
{
    const double now = BenchSupport::Seconds();
    if (g_last > 0.0 && now - g_last > g_worst.load()) {
        g_worst.store(now - g_last);
    }
    g_last = now;
    ++g_callbacks;
}
void BufferSwitch(long, ASIOBool) { OnSwitch(); }
ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long, ASIOBool)
{
    OnSwitch();
    return time;
}
void SampleRateDidChange(ASIOSampleRate) {}
long AsioMessage(long selector, long value, void*, double*)
{
    if (selector == kAsioSelectorSupported) {
        return value == kAsioResetRequest || value == kAsioSupportsTimeInfo;
    }
    if (selector == kAsioResetRequest) {
        ++g_resets;
        return 1;
    }
    return selector == kAsioSupportsTimeInfo ? 1 : 0;
}

std::string Settings(long frames)
{
    return BenchSupport::SpeakersAndMicSettings(kRenderDevices, kSampleRate, frames);
}

struct Sample {
    long callbacks = 0;
    int64_t underrun = 0;
    int64_t overrun = 0;
    long resets = 0;
    int threads = 0;
    DWORD handles = 0;
    size_t committed = 0;
};

Sample Take()
{
    Sample s;
    kssim::Simulation& sim = kssim::Simulation::Instance();
    for (int i = 0; i < kRenderDevices; ++i) {
        s.underrun += sim.UnderrunFrames(RenderPath(i), 0);
    }
    s.overrun = sim.OverrunFrames(kCapturePath, 0);
    s.callbacks = g_callbacks.load();
    s.resets = g_resets.load();
    s.threads = ThreadCount();
    s.handles = HandleCount();
    s.committed = CommittedBytes();
    return s;
}

void Soak(const AppDataRedirect& appData, long frames, int minutes)
{
    CreateDirectoryA(appData.SettingsFolder().c_str(), nullptr);
    WriteFileBytes(appData.SettingsFile(), Settings(frames));
    std::vector<kssim::DeviceModel> devices;
    for (int i = 0; i < kRenderDevices; ++i) {
        devices.push_back(kssim::RenderDevice(std::string(1, static_cast<char>('A' + i)), RenderPath(i)));
    }
    devices.push_back(kssim::CaptureDevice("Mic", kCapturePath));
    kssim::Simulation::Instance().Reset(std::move(devices));
    kssim::Simulation::Instance().SetClockMode(kssim::ClockMode::RealTime);

    auto* driver = new CTelvaraDriver(nullptr);
    driver->NonDelegatingAddRef();
    std::vector<ASIOBufferInfo> infos;
    for (long c = 0; c < 2; ++c) {
        infos.push_back({ASIOFalse, c, {}});
        infos.push_back({ASIOTrue, c, {}});
    }
    ASIOCallbacks callbacks{BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};
    g_callbacks = 0;
    g_resets = 0;
    g_last = 0.0;
    if (driver->init(nullptr) != ASIOTrue ||
        driver->createBuffers(infos.data(), static_cast<long>(infos.size()), frames, &callbacks) != ASE_OK ||
        driver->start() != ASE_OK) {
        std::printf("%ld frames: init, createBuffers or start failed\n", frames);
        driver->Release();
        return;
    }
    const double periodMs = 1000.0 * static_cast<double>(frames) / kSampleRate;
    std::printf("\n%ld frames (%.2f ms a block), %d minutes\n", frames, periodMs, minutes);
    std::printf("%6s | %9s %9s %9s %6s | %9s | %7s %7s %10s\n", "minute", "callbacks", "underrun", "overrun", "resets",
                "worst ms", "threads", "handles", "memory MB");
    Sample previous = Take();
    Sample firstMinute;
    Sample lastMinute;
    double worstOverall = 0.0;
    for (int minute = 1; minute <= minutes; ++minute) {
        g_worst = 0.0;
        const double until = BenchSupport::Seconds() + 60.0;
        while (BenchSupport::Seconds() < until) {
            Sleep(500);
            // The simulated speakers keep what they play (for the tests):
            // emptied now and then, their memory stops growing and the
            // growth left is the driver's.
            for (int i = 0; i < kRenderDevices; ++i) {
                kssim::Simulation::Instance().ClearRendered(RenderPath(i), 0);
            }
        }
        const Sample now = Take();
        const double worst = 1000.0 * g_worst.load();
        worstOverall = std::max(worstOverall, worst);
        std::printf("%6d | %9ld %9lld %9lld %6ld | %9.2f | %7d %7lu %10.2f\n", minute, now.callbacks - previous.callbacks,
                    static_cast<long long>(now.underrun - previous.underrun),
                    static_cast<long long>(now.overrun - previous.overrun), now.resets - previous.resets, worst,
                    now.threads, now.handles, now.committed / 1048576.0);
        std::fflush(stdout);
        if (minute == 1) {
            firstMinute = now;
        }
        lastMinute = now;
        previous = now;
    }
    driver->stop();
    driver->disposeBuffers();
    driver->Release();
    const Sample end = Take();
    std::printf("total: %ld callbacks, %lld underrun frames, %lld overrun frames, %ld resets, worst interval %.2f ms "
                "(%.1f blocks)\n",
                end.callbacks, static_cast<long long>(end.underrun), static_cast<long long>(end.overrun), end.resets,
                worstOverall, worstOverall / periodMs);
    std::printf("growth from minute 1 to minute %d: threads %+d, handles %+ld, memory %+.2f MB\n", minutes,
                lastMinute.threads - firstMinute.threads,
                static_cast<long>(lastMinute.handles) - static_cast<long>(firstMinute.handles),
                (static_cast<double>(lastMinute.committed) - static_cast<double>(firstMinute.committed)) / 1048576.0);
    std::fflush(stdout);
    kssim::Simulation::Instance().Reset();
}

int AnswerMessageBox(const char* text, const char* caption, unsigned int)
{
    std::fprintf(stderr, "[message box] %s: %s\n", caption ? caption : "", text ? text : "");
    return IDOK;
}

}  // namespace

int main(int argc, char** argv)
{
    const int minutes = argc > 1 ? std::atoi(argv[1]) : 10;
    std::vector<long> sizes;
    for (int i = 2; i < argc; ++i) {
        sizes.push_back(std::atol(argv[i]));
    }
    if (sizes.empty()) {
        sizes = {64, 32};
    }
    if (minutes < 1) {
        std::fprintf(stderr, "usage: soak [minutes >= 1] [frames ...]\n");
        return 2;
    }
    SetMessageBoxHandler(AnswerMessageBox);
    AppDataRedirect appData(L"telvara-soak");
    std::printf("Soak: real-time simulated clock, 48 kHz, %d stereo render devices + 1 stereo capture device\n",
                kRenderDevices);
    for (long frames : sizes) {
        Soak(appData, frames, minutes);
    }
    return 0;
}

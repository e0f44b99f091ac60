// Does the stream keep time? Prints figures; it judges nothing.
//
//   realtime_bench [seconds per stream, 60 by default] [frames ...]
//
// The driver object (linked in) is driven in-process through IASIO over
// simulated devices on the real-time clock: 4 stereo render devices (all
// linked to the host's outputs 0 and 1), one stereo capture device for the
// host's inputs 0 and 1, 48 kHz, 16 bits, buffer sizes 512, 128, 64 and 32
// frames unless others are given. Everything is measured after the first
// second of each stream:
//   underrun    frames the render devices played as silence because their
//               queues ran dry (summed over the 4 devices)
//   overrun     frames the capture device lost because no read came in time
//   host/wall   frames the host's position advanced against the frames the
//               wall clock says should have passed
//   worst       the longest interval between two callbacks, against the
//               block period
//   resets      kAsioResetRequest messages the host received

#include "appdata_redirect.h"
#include "kssim.h"
#include "message_box.h"
#include "telvara_driver.h"

#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kSampleRate = 48000;
constexpr int kRenderDevices = 4;
constexpr const char* kCapturePath = "\\\\?\\rtbench#capture#mic";

std::string RenderPath(int i)
{
    return std::string("\\\\?\\rtbench#render#") + static_cast<char>('a' + i);
}

double Seconds()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

// The host: its callbacks carry no context, so its state is the program's.
struct HostState {
    std::atomic<long> callbacks{0};
    std::atomic<long> resets{0};
    std::atomic<bool> measuring{false};
    std::atomic<double> worstInterval{0.0};
    double lastCallback = 0.0;  // engine thread only
} g_host;

void OnSwitch()
{
    const double now = Seconds();
    if (g_host.measuring.load() && g_host.lastCallback > 0.0) {
        const double interval = now - g_host.lastCallback;
        if (interval > g_host.worstInterval.load()) {
            g_host.worstInterval.store(interval);
        }
    }
    g_host.lastCallback = now;
    ++g_host.callbacks;
}

void BufferSwitch(long, ASIOBool)
{
    OnSwitch();
}

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
        ++g_host.resets;
        return 1;
    }
    return selector == kAsioSupportsTimeInfo ? 1 : 0;
}

std::string Settings(long frames)
{
    std::string text = "[default]\nout=";
    for (int i = 0; i < kRenderDevices; ++i) {
        text.append(i ? ";" : "").append(1, static_cast<char>('A' + i));
    }
    text.append("\nin=Mic\nSampleRate=").append(std::to_string(kSampleRate));
    text.append("\nBlockFrames=").append(std::to_string(frames)).append("\n");
    for (int i = 0; i < kRenderDevices; ++i) {
        text.append("[").append(1, static_cast<char>('A' + i)).append("]\noutMaximumChannels=2\noutChannelLink=0;1\n");
    }
    return text + "[Mic]\ninMaximumChannels=2\n";
}

struct Counts {
    int64_t underrun = 0;
    int64_t overrun = 0;
    long callbacks = 0;
    double at = 0.0;
};

Counts Take()
{
    Counts counts;
    kssim::Simulation& sim = kssim::Simulation::Instance();
    for (int i = 0; i < kRenderDevices; ++i) {
        counts.underrun += sim.UnderrunFrames(RenderPath(i), 0);
    }
    counts.overrun = sim.OverrunFrames(kCapturePath, 0);
    counts.callbacks = g_host.callbacks.load();
    counts.at = Seconds();
    return counts;
}

void RunStream(const AppDataRedirect& appData, long frames, double seconds)
{
    CreateDirectoryA(appData.SettingsFolder().c_str(), nullptr);
    WriteFileBytes(appData.SettingsFile(), Settings(frames));
    std::vector<kssim::DeviceModel> devices;
    for (int i = 0; i < kRenderDevices; ++i) {
        devices.push_back(kssim::RenderDevice(std::string(1, static_cast<char>('A' + i)), RenderPath(i)));
    }
    devices.push_back(kssim::CaptureDevice("Mic", kCapturePath));
    kssim::Simulation::Instance().Reset(std::move(devices));

    auto* driver = new CTelvaraDriver(nullptr);
    driver->NonDelegatingAddRef();
    if (driver->init(nullptr) != ASIOTrue) {
        std::printf("%6ld  init failed\n", frames);
        driver->Release();
        return;
    }
    std::vector<ASIOBufferInfo> infos;
    for (long c = 0; c < 2; ++c) {
        infos.push_back({ASIOFalse, c, {}});
        infos.push_back({ASIOTrue, c, {}});
    }
    ASIOCallbacks callbacks{BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};
    g_host.callbacks = 0;
    g_host.resets = 0;
    g_host.measuring = false;
    g_host.worstInterval = 0.0;
    g_host.lastCallback = 0.0;
    if (driver->createBuffers(infos.data(), static_cast<long>(infos.size()), frames, &callbacks) != ASE_OK ||
        driver->start() != ASE_OK) {
        std::printf("%6ld  createBuffers or start failed\n", frames);
        driver->Release();
        return;
    }
    Sleep(1000);
    const Counts first = Take();
    g_host.measuring = true;
    Sleep(static_cast<DWORD>((seconds - 1.0) * 1000.0));
    const Counts last = Take();
    driver->stop();
    driver->disposeBuffers();
    driver->Release();
    kssim::Simulation::Instance().Reset();

    const double wall = last.at - first.at;
    const double expected = wall * kSampleRate;
    const double advanced = static_cast<double>(last.callbacks - first.callbacks) * static_cast<double>(frames);
    const double periodMs = 1000.0 * static_cast<double>(frames) / kSampleRate;
    std::printf("%6ld | %9lld %9lld | %10.0f %10.0f %7.2f%% | %8.2f %8.2f %6.1fx | %6ld\n", frames,
                static_cast<long long>(last.underrun - first.underrun),
                static_cast<long long>(last.overrun - first.overrun), advanced, expected,
                100.0 * (advanced - expected) / expected, 1000.0 * g_host.worstInterval.load(), periodMs,
                1000.0 * g_host.worstInterval.load() / periodMs, g_host.resets.load());
    std::fflush(stdout);
}

int AnswerMessageBox(const char* text, const char* caption, unsigned int)
{
    std::fprintf(stderr, "[message box] %s: %s\n", caption ? caption : "", text ? text : "");
    return IDOK;
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 60.0;
    std::vector<long> sizes;
    if (argc > 1) {
        seconds = std::atof(argv[1]);
    }
    for (int i = 2; i < argc; ++i) {
        sizes.push_back(std::atol(argv[i]));
    }
    if (sizes.empty()) {
        sizes = {512, 128, 64, 32};
    }
    if (!(seconds >= 2.0)) {
        std::fprintf(stderr, "usage: realtime_bench [seconds >= 2] [frames ...]\n");
        return 2;
    }
    SetMessageBoxHandler(AnswerMessageBox);
    AppDataRedirect appData;
    std::printf("Real-time clock, 48 kHz, %d stereo render devices + 1 stereo capture device, %.0f s per stream,\n"
                "figures after the first second\n",
                kRenderDevices, seconds);
    std::printf("%6s | %9s %9s | %10s %10s %8s | %8s %8s %7s | %6s\n", "frames", "underrun", "overrun", "host",
                "wall", "drift", "worst ms", "block ms", "ratio", "resets");
    for (long frames : sizes) {
        RunStream(appData, frames, seconds);
    }
    return 0;
}

// Does the stream keep time? Prints figures; it judges nothing.
//
//   realtime_bench [--in-flight N] [--mixed] [seconds per stream, 60 by default] [frames ...]
//
// --mixed: the first two render devices and the capture device are WaveRT
// devices (looped buffers), the other two render devices standard ones;
// the host then writes a ramp into its outputs, so that a WaveRT device
// replaying old data can be told from one playing what it was given.
//
// The driver object (linked in) is driven in-process through IASIO over
// simulated devices on the real-time clock: 4 stereo render devices (all
// linked to the host's outputs 0 and 1), one stereo capture device for the
// host's inputs 0 and 1, 48 kHz, 16 bits, buffer sizes 512, 128, 64 and 32
// frames unless others are given, N blocks in flight per device (the
// driver's default when not given). Everything is measured after the first
// second of each stream:
//   underrun    frames the render devices played as silence because their
//               queues ran dry (summed over the 4 devices)
//   overrun     frames the capture device lost because no read came in time
//   host/wall   frames the host's position advanced against the frames the
//               wall clock says should have passed
//   worst       the longest interval between two callbacks, against the
//               block period
//   resets      kAsioResetRequest messages the host received
//   events      calls on event and timer objects per callback (set, reset,
//               wait, arm; each a round trip to the server under Wine):
//               those of the simulated devices, and all the others, which
//               are the driver's (the bench itself makes none while it
//               measures)

#include "bench_support.h"
#include "appdata_redirect.h"
#include "import_slot.h"
#include "kssim.h"
#include "message_box.h"
#include "telvara_driver.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <iterator>
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
    const double now = BenchSupport::Seconds();
    if (g_host.measuring.load() && g_host.lastCallback > 0.0) {
        const double interval = now - g_host.lastCallback;
        if (interval > g_host.worstInterval.load()) {
            g_host.worstInterval.store(interval);
        }
    }
    g_host.lastCallback = now;
    ++g_host.callbacks;
}

void FillOutputs(long index);

void BufferSwitch(long index, ASIOBool)
{
    FillOutputs(index);
    OnSwitch();
}

ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool)
{
    FillOutputs(index);
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

// Every call of this program on an event or timer object passes through its
// import table; these entries count them on their way to kernel32.
std::atomic<int64_t> g_eventCalls{0};

struct CountedImport {
    const char* name;
    void* counter;
    void* original;
};

BOOL WINAPI CountedSetEvent(HANDLE event);
BOOL WINAPI CountedResetEvent(HANDLE event);
DWORD WINAPI CountedWaitForSingleObject(HANDLE object, DWORD milliseconds);
DWORD WINAPI CountedWaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL all, DWORD milliseconds);
BOOL WINAPI CountedSetWaitableTimer(HANDLE timer, const LARGE_INTEGER* due, LONG period, PTIMERAPCROUTINE routine,
                                    void* argument, BOOL resume);

CountedImport g_counted[] = {
    {"SetEvent", reinterpret_cast<void*>(&CountedSetEvent), nullptr},
    {"ResetEvent", reinterpret_cast<void*>(&CountedResetEvent), nullptr},
    {"WaitForSingleObject", reinterpret_cast<void*>(&CountedWaitForSingleObject), nullptr},
    {"WaitForMultipleObjects", reinterpret_cast<void*>(&CountedWaitForMultipleObjects), nullptr},
    {"SetWaitableTimer", reinterpret_cast<void*>(&CountedSetWaitableTimer), nullptr},
};

template <typename Function>
Function Original(int index)
{
    ++g_eventCalls;
    return reinterpret_cast<Function>(g_counted[index].original);
}

BOOL WINAPI CountedSetEvent(HANDLE event)
{
    return Original<decltype(&SetEvent)>(0)(event);
}

BOOL WINAPI CountedResetEvent(HANDLE event)
{
    return Original<decltype(&ResetEvent)>(1)(event);
}

DWORD WINAPI CountedWaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    return Original<decltype(&WaitForSingleObject)>(2)(object, milliseconds);
}

DWORD WINAPI CountedWaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL all, DWORD milliseconds)
{
    return Original<decltype(&WaitForMultipleObjects)>(3)(count, objects, all, milliseconds);
}

BOOL WINAPI CountedSetWaitableTimer(HANDLE timer, const LARGE_INTEGER* due, LONG period, PTIMERAPCROUTINE routine,
                                    void* argument, BOOL resume)
{
    return Original<decltype(&SetWaitableTimer)>(4)(timer, due, period, routine, argument, resume);
}

// Answers false when one of them is not imported (then none is counted).
bool CountEventCalls()
{
    HMODULE self = GetModuleHandleA(nullptr);
    void** slots[std::size(g_counted)] = {};
    for (size_t i = 0; i < std::size(g_counted); ++i) {
        slots[i] = FindImportSlot(self, "kernel32.dll", g_counted[i].name);
        if (!slots[i]) {
            return false;
        }
    }
    for (size_t i = 0; i < std::size(g_counted); ++i) {
        g_counted[i].original = *slots[i];
        WriteImportSlot(slots[i], g_counted[i].counter);
    }
    return true;
}

int g_requestsInFlight = 0;  // 0: the driver's default
bool g_mixed = false;

// --mixed: the host's output halves, filled with a ramp each callback.
struct HostOutputs {
    std::vector<int16_t*> halves[2];
    long frames = 0;
    uint16_t next = 1;
} g_outputs;

void FillOutputs(long index)
{
    if (!g_mixed || index < 0 || index > 1) {
        return;
    }
    for (int16_t* half : g_outputs.halves[index]) {
        uint16_t value = g_outputs.next;
        for (long f = 0; f < g_outputs.frames; ++f) {
            half[f] = static_cast<int16_t>(value == 0 ? 1 : value);
            ++value;
        }
    }
    g_outputs.next = static_cast<uint16_t>(g_outputs.next + g_outputs.frames);
}

std::string Settings(long frames)
{
    const std::string inFlight =
        g_requestsInFlight > 0 ? "RequestsInFlight=" + std::to_string(g_requestsInFlight) + "\n" : std::string();
    return BenchSupport::SpeakersAndMicSettings(kRenderDevices, kSampleRate, frames, inFlight);
}

struct Counts {
    int64_t underrun = 0;
    int64_t overrun = 0;
    int64_t simulatorEvents = 0;
    int64_t allEvents = 0;
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
    counts.simulatorEvents = sim.EventCalls();
    counts.allEvents = g_eventCalls.load();
    counts.callbacks = g_host.callbacks.load();
    counts.at = BenchSupport::Seconds();
    return counts;
}

void RunStream(const AppDataRedirect& appData, long frames, double seconds)
{
    CreateDirectoryA(appData.SettingsFolder().c_str(), nullptr);
    WriteFileBytes(appData.SettingsFile(), Settings(frames));
    std::vector<kssim::DeviceModel> devices;
    for (int i = 0; i < kRenderDevices; ++i) {
        const std::string name(1, static_cast<char>('A' + i));
        devices.push_back(g_mixed && i < 2 ? kssim::WaveRtRenderDevice(name, RenderPath(i))
                                           : kssim::RenderDevice(name, RenderPath(i)));
    }
    devices.push_back(g_mixed ? kssim::WaveRtCaptureDevice("Mic", kCapturePath)
                              : kssim::CaptureDevice("Mic", kCapturePath));
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
    const bool created = driver->createBuffers(infos.data(), static_cast<long>(infos.size()), frames, &callbacks) == ASE_OK;
    g_outputs.frames = frames;
    for (int half = 0; half < 2; ++half) {
        g_outputs.halves[half].clear();
        for (const ASIOBufferInfo& info : infos) {
            if (created && !info.isInput) {
                g_outputs.halves[half].push_back(static_cast<int16_t*>(info.buffers[half]));
            }
        }
    }
    if (created) {
        FillOutputs(0);
        FillOutputs(1);
    }
    if (!created || driver->start() != ASE_OK) {
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
    const double cycles = static_cast<double>(std::max(1L, last.callbacks - first.callbacks));
    const auto simulatorEvents = static_cast<double>(last.simulatorEvents - first.simulatorEvents);
    const auto allEvents = static_cast<double>(last.allEvents - first.allEvents);
    std::printf("%6ld | %9lld %9lld | %10.0f %10.0f %7.2f%% | %8.2f %8.2f %6.1fx | %6ld | %6.1f %6.1f\n", frames,
                static_cast<long long>(last.underrun - first.underrun),
                static_cast<long long>(last.overrun - first.overrun), advanced, expected,
                100.0 * (advanced - expected) / expected, 1000.0 * g_host.worstInterval.load(), periodMs,
                1000.0 * g_host.worstInterval.load() / periodMs, g_host.resets.load(), simulatorEvents / cycles,
                (allEvents - simulatorEvents) / cycles);
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
    int first = 1;
    if (argc > first + 1 && std::string(argv[first]) == "--in-flight") {
        g_requestsInFlight = std::atoi(argv[first + 1]);
        first += 2;
    }
    if (argc > first && std::string(argv[first]) == "--mixed") {
        g_mixed = true;
        first += 1;
    }
    if (argc > first) {
        seconds = std::atof(argv[first]);
    }
    for (int i = first + 1; i < argc; ++i) {
        sizes.push_back(std::atol(argv[i]));
    }
    if (sizes.empty()) {
        sizes = {512, 128, 64, 32};
    }
    if (!(seconds >= 2.0)) {
        std::fprintf(stderr, "usage: realtime_bench [--in-flight N] [--mixed] [seconds >= 2] [frames ...]\n");
        return 2;
    }
    SetMessageBoxHandler(AnswerMessageBox);
    if (!CountEventCalls()) {
        std::fprintf(stderr, "the program's event calls cannot be counted: its imports differ\n");
        return 1;
    }
    AppDataRedirect appData;
    std::printf("Real-time clock, 48 kHz, %d stereo render devices + 1 stereo capture device%s, %.0f s per stream,\n"
                "%s blocks in flight per device, figures after the first second\n",
                kRenderDevices, g_mixed ? " (render A, B and the capture device WaveRT)" : "", seconds, g_requestsInFlight > 0 ? std::to_string(g_requestsInFlight).c_str() : "default");
    std::printf("%6s | %9s %9s | %10s %10s %8s | %8s %8s %7s | %6s | %13s\n", "frames", "underrun", "overrun",
                "host", "wall", "drift", "worst ms", "block ms", "ratio", "resets", "events/cycle");
    std::printf("%6s | %9s %9s | %10s %10s %8s | %8s %8s %7s | %6s | %6s %6s\n", "", "", "", "", "", "", "", "",
                "", "", "sim", "driver");
    for (long frames : sizes) {
        RunStream(appData, frames, seconds);
    }
    return 0;
}

// What a hiccup of the engine thread costs. Prints figures; it judges nothing.
//
//   hiccup_bench [--no-capture] [--in-flight N[,N...]] [frames ...]
//
// The driver object (linked in) streams on kssim's virtual clock: two
// stereo render devices on the host's outputs 0/1 (device buffers of 10 and
// 2 ms) and one stereo capture device (left out with --no-capture), all on
// one clock, 48 kHz, 16 bits.
// For each block size (32 to 512 frames unless given) and number of
// requests in flight (2 and 4 unless given), the engine thread is held up
// once for 1, 5, 20 and 50 ms (simulated), at a moment right after it woke
// for a device, each hiccup half a simulated second after the stream
// settled from the one before. Per hiccup:
//   queue     requests in flight × block, in ms
//   lost      frames the render devices played as silence (each device),
//             and frames the capture device lost
//   beyond    the part of the hiccup the queue could not cover, in frames
//             (hiccup − queue, at least 0): the most a hiccup should cost
//   later     frames lost from one block period after the hiccup ended to
//             half a second later (a cascade when not 0)
//   offset    how many host frames device A's stream stands ahead of device
//             B's half a second after the hiccup (0: in step), read from
//             what both played at the same device frame
// Virtual time makes every figure the same on every run and machine.

#include "appdata_redirect.h"
#include "bench_support.h"
#include "kssim.h"
#include "message_box.h"
#include "telvara_driver.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kSampleRate = 48000;
constexpr DWORD kWallGuardMs = 120000;
constexpr const char* kPathA = "\\\\?\\hiccup#render#a";
constexpr const char* kPathB = "\\\\?\\hiccup#render#b";
constexpr const char* kPathMic = "\\\\?\\hiccup#capture#mic";

std::atomic<long> g_callbacks{0};
// The host's output buffers (channels 0 and 1, both halves) and the frames
// it has written: every sample says which host frame it is (mod 30000, + 1),
// so that what a device plays tells where its stream stands.
int16_t* g_outputs[2][2] = {};
long g_blockFrames = 0;
int64_t g_hostFrames = 0;  // the engine thread's while the stream runs

void FillHalf(long index)
{
    for (long f = 0; f < g_blockFrames; ++f) {
        const auto sample = static_cast<int16_t>(1 + (g_hostFrames + f) % 30000);
        g_outputs[0][index][f] = sample;
        g_outputs[1][index][f] = sample;
    }
    g_hostFrames += g_blockFrames;
}
bool g_withCapture = true;  // --no-capture: the render devices alone pace the stream

void BufferSwitch(long index, ASIOBool)
{
    FillHalf(index);
    ++g_callbacks;
}

ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool)
{
    FillHalf(index);
    ++g_callbacks;
    return time;
}

void SampleRateDidChange(ASIOSampleRate) {}

std::string Settings(long frames, int inFlight)
{
    const bool mic = g_withCapture;
    return std::string("[default]\nout=A;B\n") + (mic ? "in=Mic\n" : "") + "SampleRate=48000\nBlockFrames=" + std::to_string(frames) +
           "\nRequestsInFlight=" + std::to_string(inFlight) +
           "\n[A]\noutMaximumChannels=2\noutChannelLink=0;1\n[B]\noutMaximumChannels=2\noutChannelLink=0;1\n"
           "[Mic]\ninMaximumChannels=2\n";
}

struct Counts {
    int64_t a = 0;
    int64_t b = 0;
    int64_t mic = 0;
};

// How many host frames device A's stream stands ahead of device B's: the
// host frames both play at the last device frame both have played (they run
// on one clock from one start).
long long OffsetAB()
{
    kssim::Simulation& sim = kssim::Simulation::Instance();
    const std::vector<uint8_t> a = sim.RenderedBytes(kPathA, 0);
    const std::vector<uint8_t> b = sim.RenderedBytes(kPathB, 0);
    const size_t frames = std::min(a.size(), b.size()) / 4;
    if (frames == 0) {
        return 0;
    }
    int16_t sampleA = 0;
    int16_t sampleB = 0;
    std::memcpy(&sampleA, &a[(frames - 1) * 4], 2);
    std::memcpy(&sampleB, &b[(frames - 1) * 4], 2);
    if (sampleA == 0 || sampleB == 0) {
        return -999999;  // one of them plays silence there: no figure
    }
    long long offset = (static_cast<long long>(sampleA) - sampleB) % 30000;
    return offset > 15000 ? offset - 30000 : offset < -15000 ? offset + 30000 : offset;
}

Counts Take()
{
    kssim::Simulation& sim = kssim::Simulation::Instance();
    return {sim.UnderrunFrames(kPathA, 0), sim.UnderrunFrames(kPathB, 0), sim.OverrunFrames(kPathMic, 0)};
}

// Moves simulated time to `seconds` since the clock started.
bool RunTo(double seconds)
{
    kssim::Simulation& sim = kssim::Simulation::Instance();
    return sim.RunFor(std::max(0.0, seconds - sim.VirtualSeconds()), kWallGuardMs);
}

void RunStream(const AppDataRedirect& appData, long frames, int inFlight, const std::vector<double>& hiccupsMs)
{
    CreateDirectoryA(appData.SettingsFolder().c_str(), nullptr);
    WriteFileBytes(appData.SettingsFile(), Settings(frames, inFlight));
    kssim::DeviceModel a = kssim::RenderDevice("A", kPathA);
    kssim::DeviceModel b = kssim::RenderDevice("B", kPathB);
    b.deviceBufferMs = 2.0;
    kssim::Simulation& sim = kssim::Simulation::Instance();
    sim.Reset({a, b, kssim::CaptureDevice("Mic", kPathMic)});
    sim.SetClockMode(kssim::ClockMode::Virtual);

    auto* driver = new CTelvaraDriver(nullptr);
    driver->NonDelegatingAddRef();
    std::vector<ASIOBufferInfo> infos;
    for (long c = 0; c < 2; ++c) {
        infos.push_back({ASIOFalse, c, {}});
        if (g_withCapture) {
            infos.push_back({ASIOTrue, c, {}});
        }
    }
    ASIOCallbacks callbacks{BufferSwitch, SampleRateDidChange, BenchSupport::AsioMessage, BufferSwitchTimeInfo};
    g_blockFrames = frames;
    g_hostFrames = 0;
    const bool prepared = driver->init(nullptr) == ASIOTrue &&
                          driver->createBuffers(infos.data(), static_cast<long>(infos.size()), frames, &callbacks) == ASE_OK;
    if (prepared) {
        for (int c = 0; c < 2; ++c) {
            for (int half = 0; half < 2; ++half) {
                g_outputs[c][half] = static_cast<int16_t*>(infos[static_cast<size_t>(c) * (g_withCapture ? 2 : 1)].buffers[half]);
            }
        }
        FillHalf(0);
        FillHalf(1);
    }
    if (!prepared || driver->start() != ASE_OK) {
        std::printf("%6ld %3d  the stream did not start\n", frames, inFlight);
        driver->Release();
        sim.Reset();
        return;
    }
    const double period = static_cast<double>(frames) / kSampleRate;
    const double queueMs = 1000.0 * inFlight * period;
    double at = 0.5;
    bool ok = RunTo(at);
    for (double hiccupMs : hiccupsMs) {
        if (!ok) {
            break;
        }
        // A little off the block clock each time, so the hiccups meet the
        // cycle at different phases.
        at += 0.5 + 0.00037;
        const Counts before = Take();
        sim.InjectHiccup(at, hiccupMs / 1000.0);
        // The hiccup starts at the engine's first wake-up at or after `at`,
        // within a block period (or the block clock's deadline) of it.
        ok = RunTo(at + hiccupMs / 1000.0 + 3.0 * period);
        const Counts after = Take();
        ok = ok && RunTo(at + 0.45);
        const Counts later = Take();
        const double beyond = std::max(0.0, (hiccupMs - queueMs) * kSampleRate / 1000.0);
        std::printf("%6ld %3d %7.2f | %5.0f | %6lld %6lld %6lld | %7.0f | %6lld | %7lld\n", frames, inFlight, queueMs,
                    hiccupMs, static_cast<long long>(after.a - before.a), static_cast<long long>(after.b - before.b),
                    static_cast<long long>(after.mic - before.mic), beyond,
                    static_cast<long long>((later.a - after.a) + (later.b - after.b) + (later.mic - after.mic)),
                    OffsetAB());
        std::fflush(stdout);
    }
    if (!ok) {
        std::printf("%6ld %3d  the simulated clock did not reach its mark within %lu ms of real time\n", frames,
                    inFlight, kWallGuardMs);
    }
    driver->stop();
    driver->disposeBuffers();
    driver->Release();
    sim.Reset();
}

int AnswerMessageBox(const char* text, const char* caption, unsigned int)
{
    std::fprintf(stderr, "[message box] %s: %s\n", caption ? caption : "", text ? text : "");
    return IDOK;
}

std::vector<int> ParseList(const std::string& text)
{
    std::vector<int> values;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        values.push_back(std::atoi(item.c_str()));
    }
    return values;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<int> inFlight = {2, 4};
    std::vector<long> sizes;
    int first = 1;
    if (argc > first && std::string(argv[first]) == "--no-capture") {
        g_withCapture = false;
        ++first;
    }
    if (argc > first + 1 && std::string(argv[first]) == "--in-flight") {
        inFlight = ParseList(argv[first + 1]);
        first += 2;
    }
    for (int i = first; i < argc; ++i) {
        sizes.push_back(std::atol(argv[i]));
    }
    if (sizes.empty()) {
        sizes = {32, 64, 128, 256, 512};
    }
    for (int n : inFlight) {
        if (n < 2 || n > 8) {
            std::fprintf(stderr, "usage: hiccup_bench [--no-capture] [--in-flight N[,N...] (2-8)] [frames ...]\n");
            return 2;
        }
    }
    SetMessageBoxHandler(AnswerMessageBox);
    AppDataRedirect appData;
    std::printf("Virtual clock, 48 kHz, 2 stereo render devices (buffers 10 and 2 ms)%s,\n"
                "one hiccup of the engine thread at a time (0 ms: none, the baseline); frames lost per hiccup\n\n",
                g_withCapture ? " + 1 stereo capture device" : "");
    std::printf("frames  in   queue | hiccup |   lost (frames)      |  beyond |  later |  offset\n");
    std::printf("       flight   ms |    ms  |    A      B    mic   |  queue  | frames |  A - B\n");
    const std::vector<double> hiccups = {0.0, 1.0, 5.0, 20.0, 50.0};  // 0: the baseline
    for (int n : inFlight) {
        for (long frames : sizes) {
            RunStream(appData, frames, n, hiccups);
        }
    }
    return 0;
}

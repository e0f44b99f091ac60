// What the driver's streaming engine costs per cycle. Prints figures; it
// judges nothing.
//
//   engine_bench [seconds per stream, 2 by default] [--repeat N] [--host 16|24|32|float|all] [--wavert]
//
// --wavert gives WaveRT devices instead: their position follows the
// real-time clock even in fast mode, so their cycles wait for it and only
// the driver's own work (table 2) compares with standard devices.
//
// The driver object (CTelvaraDriver, linked in) is driven in-process through
// IASIO by a small host of this program over simulated devices (kssim) with
// the fast clock: a request completes as soon as it is queued, so the engine
// thread never waits for a device and runs cycle after cycle at full speed.
// Each stream: N stereo render devices, all linked to the host's outputs 0
// and 1, one stereo capture device for the host's inputs 0 and 1, 48 kHz;
// the host's buffers hold 16-bit samples unless --host chooses 24 or 32-bit
// integers or float ("all": each in turn), and the devices take 16 to 32-bit
// integers and float, so each opens in the host's own depth (24 bits in a
// 32-bit container for a 24-bit host). The settings come from a config.ini
// in a temporary application-data folder (the user's own folder is put back
// at the end).
//
// The figures, per cycle (one bufferSwitch):
//   engine      wall time on the engine thread from the host's callback
//               returning to the next callback's entry: everything the
//               engine does for one cycle, host work excluded (read with the
//               time stamp counter; median, mean and 99th percentile).
//   cpu         engine thread CPU time over the measurement (GetThreadTimes)
//               less the time spent in the host's callbacks, per cycle. Wine
//               counts it in 10 ms steps; over 2 s that is 0.5 %. Below the
//               engine time when the thread waits for the wine server.
//   budget      the cycle's real time, frames / 48000 s; "%budget" is the
//               median against it.
//   memcpy      a plain memcpy of every byte the cycle moves (one block per
//               render device plus the capture block, each frames * 4
//               bytes, in separate buffers), timed in the same run with the
//               engine stopped (median of 300 batches); "x memcpy" is the
//               median against it.
//   sim         time inside the simulated devices: the calls of
//               KsSystem::DeviceIoControl, which kssim's fast clock answers
//               in the caller's thread (it copies every played byte into its
//               record, makes every captured sample and signals events the
//               way the I/O manager would). "ioctls" counts those calls,
//               "sim sync" the event calls kssim makes in them.
//   drv sync    the driver's own SetEvent, ResetEvent and wait calls outside
//               the seam (under Wine each is a round trip to the wine server).
//   driver      engine time less sim less drv sync, cycle by cycle: the
//               driver's own computing (volume, interleaving, delay line,
//               request set-up, capture spreading, look-ups, time info).
//   heap        allocations (operator new, malloc, calloc, realloc of the
//               statically linked code) on the engine thread, split by where
//               the thread is: in the driver, inside the simulated devices,
//               in the host's callback; after the 4-device 512-frame stream
//               the call stacks of 200 cycles' allocations are printed.

#include "appdata_redirect.h"
#include "engine_bench_host.h"
#include "engine_bench_probe.h"
#include "kssim.h"
#include "message_box.h"
#include "telvara_driver.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

using namespace engine_bench;

constexpr int kSampleRate = 48000;
constexpr int kHostOutputs = 2;
constexpr int kHostInputs = 2;
constexpr const char* kCaptureName = "Mic";
constexpr long kSampledCycles = 200;

struct Scenario {
    int renderDevices;
    long frames;
    bool sampleSites;
};

// A form of the host's buffers: its settings and what the devices open with.
struct HostForm {
    const char* name;
    const char* settings;      // lines of section "default"
    const char* deviceFormat;  // as the devices take it
};
const HostForm kHostForms[] = {
    {"16", "BitSpersample=16\n", "16 bit integer"},
    {"24", "BitSpersample=24\n", "24-in-32 bit integer"},
    {"32", "BitSpersample=32\n", "32 bit integer"},
    {"float", "SampleFormat=float\n", "32 bit float"},
};

struct Figures {
    Scenario scenario{};
    bool ok = false;
    long cycles = 0;
    double medianUs = 0.0;     // engine time
    double meanUs = 0.0;
    double p99Us = 0.0;
    double cpuUs = 0.0;        // engine thread CPU time
    double memcpyUs = 0.0;
    double simUs = 0.0;        // median inside the simulated devices
    double driverSyncUs = 0.0; // median in the driver's own event and wait calls
    double computeUs = 0.0;    // median of engine less both
    double computeMeanUs = 0.0;
    double seamCalls = 0.0;
    double syncCalls[kCategoryCount] = {};
    double allocations[kCategoryCount] = {};
    double frees[kCategoryCount] = {};
    double otherThreadAllocations = 0.0;  // per second
    long sampledCycles = 0;
};

double Median(std::vector<uint64_t> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : static_cast<double>(values[values.size() / 2]);
}

std::string RenderName(int i)
{
    return std::string(1, static_cast<char>('A' + i));
}

std::string RenderPath(int i)
{
    return std::string("\\\\?\\bench#render#") + static_cast<char>('a' + i);
}

std::string Settings(int renderDevices, long frames, const HostForm& host)
{
    std::string text = std::string("[default]\n") + host.settings + "out=";
    for (int i = 0; i < renderDevices; ++i) {
        text.append(i ? ";" : "").append(RenderName(i));
    }
    text.append("\nin=").append(kCaptureName);
    text.append("\nSampleRate=").append(std::to_string(kSampleRate));
    text.append("\nBlockFrames=").append(std::to_string(frames)).append("\n");
    for (int i = 0; i < renderDevices; ++i) {
        text.append("[").append(RenderName(i)).append("]\noutMaximumChannels=2\noutChannelLink=0;1\n");
    }
    text.append("[").append(kCaptureName).append("]\ninMaximumChannels=2\n");
    return text;
}

double Microseconds(double ticks)
{
    return ticks * 1e6 / TicksPerSecond();
}

// Median time of one cycle's worth of memcpy: `pieces` blocks of `bytes`,
// each from its own source to its own destination.
double MemcpyMicroseconds(int pieces, size_t bytes)
{
    std::vector<std::vector<uint8_t>> sources(static_cast<size_t>(pieces), std::vector<uint8_t>(bytes, 0x5a));
    std::vector<std::vector<uint8_t>> targets(static_cast<size_t>(pieces), std::vector<uint8_t>(bytes, 0));
    const size_t perBatch = std::max<size_t>(1, (256u << 10) / (bytes * static_cast<size_t>(pieces)));
    std::vector<double> perCycle;
    for (int batch = 0; batch < 301; ++batch) {
        const uint64_t start = Ticks();
        for (size_t r = 0; r < perBatch; ++r) {
            for (int p = 0; p < pieces; ++p) {
                std::memcpy(targets[static_cast<size_t>(p)].data(), sources[static_cast<size_t>(p)].data(), bytes);
            }
            asm volatile("" ::: "memory");
        }
        const uint64_t end = Ticks();
        if (batch > 0) {  // the first batch warms the caches
            perCycle.push_back(static_cast<double>(end - start) / static_cast<double>(perBatch));
        }
    }
    std::sort(perCycle.begin(), perCycle.end());
    volatile uint8_t sink = targets.back()[bytes - 1];
    (void)sink;
    return Microseconds(perCycle[perCycle.size() / 2]);
}

int AnswerMessageBox(const char* text, const char* caption, unsigned int)
{
    std::fprintf(stderr, "[message box] %s: %s\n", caption ? caption : "", text ? text : "");
    return IDOK;
}

// A device that takes 16 to 32-bit integers and float.
kssim::DeviceModel Wide(kssim::DeviceModel device)
{
    kssim::AudioRange& range = device.pins[0].ranges.at(0);
    range.maximumBitsPerSample = 32;
    kssim::AudioRange floats = range;
    floats.subFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    floats.minimumBitsPerSample = 32;
    device.pins[0].ranges.push_back(floats);
    return device;
}

// Devices of the run: standard-streaming ones, or WaveRT ones (--wavert).
bool g_waveRt = false;

Figures RunScenario(const Scenario& scenario, const HostForm& host, const AppDataRedirect& appData, double seconds)
{
    Figures figures;
    figures.scenario = scenario;
    CreateDirectoryA(appData.SettingsFolder().c_str(), nullptr);
    WriteFileBytes(appData.SettingsFile(), Settings(scenario.renderDevices, scenario.frames, host));

    std::vector<kssim::DeviceModel> devices;
    std::vector<std::string> paths;
    for (int i = 0; i < scenario.renderDevices; ++i) {
        devices.push_back(Wide(g_waveRt ? kssim::WaveRtRenderDevice(RenderName(i), RenderPath(i))
                                        : kssim::RenderDevice(RenderName(i), RenderPath(i))));
        paths.push_back(RenderPath(i));
    }
    devices.push_back(Wide(g_waveRt ? kssim::WaveRtCaptureDevice(kCaptureName, "\\\\?\\bench#capture#mic")
                                    : kssim::CaptureDevice(kCaptureName, "\\\\?\\bench#capture#mic")));
    kssim::Simulation::Instance().Reset(std::move(devices));
    kssim::Simulation::Instance().SetClockMode(kssim::ClockMode::Fast);

    auto* driver = new CTelvaraDriver(nullptr);
    driver->NonDelegatingAddRef();
    StreamResult result;
    if (driver->init(nullptr) != ASIOTrue) {
        char text[256] = {};
        driver->getErrorMessage(text);
        std::fprintf(stderr, "init failed: %s\n", text);
    } else {
        long inputs = 0;
        long outputs = 0;
        driver->getChannels(&inputs, &outputs);
        if (outputs != 2 * scenario.renderDevices || inputs != kHostInputs) {
            std::fprintf(stderr, "unexpected channels: %ld out, %ld in\n", outputs, inputs);
        }
        BenchHost host(driver);
        if (host.CreateBuffers(kHostOutputs, kHostInputs, scenario.frames) != ASE_OK) {
            std::fprintf(stderr, "createBuffers failed\n");
        } else {
            StreamPlan plan;
            plan.measureSeconds = seconds;
            plan.sampleCycles = scenario.sampleSites ? kSampledCycles : 0;
            result = host.Run(plan, paths);
        }
        driver->disposeBuffers();
    }
    driver->Release();
    kssim::Simulation::Instance().Reset();
    if (!result.completed || result.engineTicks.empty()) {
        std::fprintf(stderr, "%d render devices, %ld frames: the stream did not run to the end\n",
                     scenario.renderDevices, scenario.frames);
        return figures;
    }

    std::vector<uint64_t> sorted = result.engineTicks;
    std::sort(sorted.begin(), sorted.end());
    const auto cycles = static_cast<double>(sorted.size());
    double sum = 0.0;
    for (uint64_t t : sorted) {
        sum += static_cast<double>(t);
    }
    // The driver's own work of a cycle: the engine time less the time inside
    // the simulated devices and in the driver's own event and wait calls.
    std::vector<uint64_t> compute(sorted.size());
    double computeSum = 0.0;
    for (size_t i = 0; i < compute.size(); ++i) {
        const uint64_t outside = result.simTicks[i] + result.syncTicks[i];
        compute[i] = result.engineTicks[i] > outside ? result.engineTicks[i] - outside : 0;
        computeSum += static_cast<double>(compute[i]);
    }
    figures.ok = true;
    figures.cycles = static_cast<long>(sorted.size());
    figures.medianUs = Microseconds(static_cast<double>(sorted[sorted.size() / 2]));
    figures.meanUs = Microseconds(sum / cycles);
    figures.p99Us = Microseconds(static_cast<double>(sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)]));
    figures.cpuUs = (result.threadCpuSeconds * 1e6 - Microseconds(static_cast<double>(result.hostTicks))) / cycles;
    figures.simUs = Microseconds(Median(result.simTicks));
    figures.driverSyncUs = Microseconds(Median(result.syncTicks));
    figures.computeUs = Microseconds(Median(compute));
    figures.computeMeanUs = Microseconds(computeSum / cycles);
    const Counters& c = result.counters;
    figures.seamCalls = static_cast<double>(c.seamCalls) / cycles;
    for (int k = 0; k < kCategoryCount; ++k) {
        figures.syncCalls[k] = static_cast<double>(c.syncCalls[k]) / cycles;
        figures.allocations[k] = static_cast<double>(c.allocations[k]) / cycles;
        figures.frees[k] = static_cast<double>(c.frees[k]) / cycles;
    }
    figures.otherThreadAllocations =
        static_cast<double>(c.otherThreadAllocations) / (static_cast<double>(result.windowTicks) / TicksPerSecond());
    figures.sampledCycles = result.sampledCycles;
    figures.memcpyUs = MemcpyMicroseconds(scenario.renderDevices + 1, static_cast<size_t>(scenario.frames) * 4);
    return figures;
}

void PrintTables(const std::vector<Figures>& all)
{
    std::printf("\n1. Engine time per cycle, us (callback return to next callback entry, host work excluded)\n");
    std::printf("%6s %6s %7s %7s | %8s %8s %8s | %8s | %8s %8s | %7s %8s\n", "render", "frames", "bytes", "cycles",
                "median", "mean", "p99", "cpu", "budget", "%budget", "memcpy", "x memcpy");
    for (const Figures& f : all) {
        const long bytes = f.scenario.frames * 4 * (f.scenario.renderDevices + 1);
        const double budgetUs = 1e6 * static_cast<double>(f.scenario.frames) / kSampleRate;
        if (!f.ok) {
            std::printf("%6d %6ld %7ld   (no figures: the stream failed)\n", f.scenario.renderDevices, f.scenario.frames,
                        bytes);
            continue;
        }
        std::printf("%6d %6ld %7ld %7ld | %8.1f %8.1f %8.1f | %8.1f | %8.1f %7.2f%% | %7.3f %8.0f\n",
                    f.scenario.renderDevices, f.scenario.frames, bytes, f.cycles, f.medianUs, f.meanUs, f.p99Us,
                    f.cpuUs, budgetUs, 100.0 * f.medianUs / budgetUs, f.memcpyUs, f.medianUs / f.memcpyUs);
    }
    std::printf("\n2. Of that, per cycle (medians, us): inside the simulated devices, the driver's own event/wait\n"
                "   calls, and the driver's own work (the rest); call counts are means per cycle\n");
    std::printf("%6s %6s | %7s %8s %9s | %7s %8s | %8s %8s %8s %8s\n", "render", "frames", "sim", "ioctls", "sim sync",
                "drv", "drv sync", "driver", "mean", "%budget", "x memcpy");
    for (const Figures& f : all) {
        if (!f.ok) {
            continue;
        }
        const double budgetUs = 1e6 * static_cast<double>(f.scenario.frames) / kSampleRate;
        std::printf("%6d %6ld | %7.1f %8.2f %9.2f | %7.1f %8.2f | %8.2f %8.2f %7.3f%% %8.1f\n", f.scenario.renderDevices,
                    f.scenario.frames, f.simUs, f.seamCalls, f.syncCalls[kSimulated], f.driverSyncUs,
                    f.syncCalls[kDriver], f.computeUs, f.computeMeanUs, 100.0 * f.computeUs / budgetUs,
                    f.computeUs / f.memcpyUs);
    }
    std::printf("\n3. Heap calls on the engine thread per cycle (in the driver / inside the simulated devices /\n"
                "   in the host's callback), and allocations of all other threads per second\n");
    std::printf("%6s %6s | %8s %8s %8s | %8s %8s | %8s\n", "render", "frames", "alloc drv", "alloc sim", "alloc host",
                "free drv", "free sim", "other/s");
    for (const Figures& f : all) {
        if (!f.ok) {
            continue;
        }
        std::printf("%6d %6ld | %9.3f %9.3f %10.3f | %8.3f %8.3f | %8.1f\n", f.scenario.renderDevices, f.scenario.frames,
                    f.allocations[kDriver], f.allocations[kSimulated], f.allocations[kHost], f.frees[kDriver],
                    f.frees[kSimulated], f.otherThreadAllocations);
    }
}

void PrintSites(long sampledCycles)
{
    const std::vector<Site> sites = Sites();
    std::printf("\nAllocation sites on the engine thread (%ld cycles sampled after the measurement)\n", sampledCycles);
    if (sites.empty()) {
        std::printf("  none\n");
        return;
    }
    for (const Site& site : sites) {
        std::printf("  %7.3f per cycle, %s:\n", static_cast<double>(site.count) / static_cast<double>(sampledCycles),
                    site.category == kSimulated ? "inside the simulated device" : "in the driver");
        const size_t shown = std::min<size_t>(site.frames.size(), 7);
        for (size_t i = 0; i < shown; ++i) {
            std::string name = site.frames[i];
            if (name.size() > 110) {
                name = name.substr(0, 107) + "...";
            }
            std::printf("      %s\n", name.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 2.0;
    int repeat = 1;
    std::vector<HostForm> hosts = {kHostForms[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--wavert") == 0) {
            g_waveRt = true;
        } else if (std::strcmp(argv[i], "--host") == 0 && i + 1 < argc) {
            const std::string wanted = argv[++i];
            hosts.clear();
            for (const HostForm& form : kHostForms) {
                if (wanted == "all" || wanted == form.name) {
                    hosts.push_back(form);
                }
            }
            if (hosts.empty()) {
                std::fprintf(stderr, "engine_bench: --host takes 16, 24, 32, float or all\n");
                return 2;
            }
        } else {
            seconds = std::max(0.2, std::atof(argv[i]));
        }
    }
    InstallHooks();
    SetMessageBoxHandler(AnswerMessageBox);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::printf("engine_bench: %d Hz, stereo %s devices, host buffers %d out / %d in, fast simulated clock,"
                " %.1f s per stream, time stamp counter %.0f MHz\n",
                kSampleRate, g_waveRt ? "WaveRT" : "standard-streaming", kHostOutputs, kHostInputs, seconds,
                TicksPerSecond() / 1e6);

    const std::vector<Scenario> scenarios = {
        {4, 64, false}, {4, 512, true}, {1, 512, false}, {2, 512, false}, {8, 512, false},
    };
    std::vector<std::vector<Figures>> runs;  // per host form and run
    std::vector<const HostForm*> runForms;
    try {
        AppDataRedirect appData(L"telvara-engine-bench");
        for (const HostForm& host : hosts) {
            for (int run = 0; run < repeat; ++run) {
                std::vector<Figures> figures;
                long sampled = 0;
                ClearSites();
                for (const Scenario& scenario : scenarios) {
                    figures.push_back(RunScenario(scenario, host, appData, seconds));
                    if (scenario.sampleSites) {
                        sampled = figures.back().sampledCycles;
                    }
                }
                std::printf("\n=== %s-bit host buffers (%s devices): run %d of %d ===",
                            host.name, host.deviceFormat, run + 1, repeat);
                PrintTables(figures);
                if (run == 0 && sampled > 0) {
                    PrintSites(sampled);
                }
                runs.push_back(std::move(figures));
                runForms.push_back(&host);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "engine_bench: %s\n", e.what());
        return 1;
    }
    if (hosts.size() > 1) {
        std::printf("\nThe driver's own work per cycle by host form (median, us; lowest over the runs)\n%-6s %-22s",
                    "host", "devices");
        for (const Scenario& scenario : scenarios) {
            std::printf(" %3d x %4ld", scenario.renderDevices, scenario.frames);
        }
        std::printf("\n");
        for (const HostForm& host : hosts) {
            std::printf("%-6s %-22s", host.name, host.deviceFormat);
            for (size_t s = 0; s < scenarios.size(); ++s) {
                double low = 1e30;
                for (size_t r = 0; r < runs.size(); ++r) {
                    if (runForms[r] == &host && runs[r][s].ok) {
                        low = std::min(low, runs[r][s].computeUs);
                    }
                }
                if (low < 1e30) {
                    std::printf(" %10.2f", low);
                } else {
                    std::printf(" %10s", "-");
                }
            }
            std::printf("\n");
        }
    }
    if (repeat > 1 && hosts.size() == 1) {
        std::printf("\nOver %zu runs, lowest .. highest (us per cycle): engine median | driver's own work median\n",
                    runs.size());
        for (size_t s = 0; s < scenarios.size(); ++s) {
            double low = 1e30;
            double high = 0.0;
            double computeLow = 1e30;
            double computeHigh = 0.0;
            for (const auto& figures : runs) {
                if (figures[s].ok) {
                    low = std::min(low, figures[s].medianUs);
                    high = std::max(high, figures[s].medianUs);
                    computeLow = std::min(computeLow, figures[s].computeUs);
                    computeHigh = std::max(computeHigh, figures[s].computeUs);
                }
            }
            std::printf("  %d render, %4ld frames: %8.1f .. %8.1f | %7.2f .. %7.2f\n", scenarios[s].renderDevices,
                        scenarios[s].frames, low, high, computeLow, computeHigh);
        }
    }
    return 0;
}

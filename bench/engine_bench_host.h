#pragma once

#include "asio_host_session.h"
#include "engine_bench_probe.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace engine_bench {

// How long a stream runs and what is taken from it.
struct StreamPlan {
    double warmupSeconds = 0.3;
    double measureSeconds = 2.0;
    long minimumCycles = 500;
    long capacity = 2000000;    // cycles recorded at most
    long sampleCycles = 0;      // cycles with allocation stacks recorded after the measurement
    DWORD timeoutMs = 120000;
};

struct StreamResult {
    bool completed = false;
    std::vector<uint64_t> engineTicks;  // per cycle: host callback return to the next callback's entry
    std::vector<uint64_t> simTicks;     // per cycle: of that, inside the simulated devices
    std::vector<uint64_t> syncTicks;    // per cycle: of that, in the driver's own event and wait calls
    uint64_t hostTicks = 0;             // inside the host's callbacks during the measurement
    uint64_t windowTicks = 0;           // the measurement, end to end
    double threadCpuSeconds = 0.0;      // engine thread CPU time (user + kernel) over the measurement
    Counters counters;                  // over the measurement
    long sampledCycles = 0;
};

// The measuring host: an ASIO host session (one per process) whose buffer
// switches step through the plan's phases.
class BenchHost {
public:
    explicit BenchHost(IASIO* driver);
    ~BenchHost();
    BenchHost(const BenchHost&) = delete;
    BenchHost& operator=(const BenchHost&) = delete;

    // createBuffers for output channels 0..outputs-1 and input channels
    // 0..inputs-1; both halves of every output get a test signal.
    ASIOError CreateBuffers(long outputs, long inputs, long frames);

    // Starts the driver, measures as planned, stops it. renderPaths: the
    // simulated devices whose record of played bytes the host empties every
    // cycle (kssim keeps everything played otherwise).
    StreamResult Run(const StreamPlan& plan, const std::vector<std::string>& renderPaths);

private:
    enum class Phase { Warmup, Measure, Sample, Done };
    void OnSwitch();
    static double CpuSeconds();

    CAsioHostSession m_session;
    HANDLE m_done;

    // Engine-thread state of a run.
    StreamPlan m_plan;
    const std::vector<std::string>* m_paths = nullptr;
    StreamResult* m_result = nullptr;
    Phase m_phase = Phase::Warmup;
    long m_callbackCount = 0;
    uint64_t m_firstTick = 0;
    uint64_t m_windowStart = 0;
    uint64_t m_lastExit = 0;
    uint64_t m_lastSeam = 0;
    uint64_t m_lastSync = 0;
    long m_sampleStart = 0;
    double m_cpuStart = 0.0;
    Counters m_countersStart;
    uint64_t m_warmupTicks = 0;
    uint64_t m_measureTicks = 0;
};

}  // namespace engine_bench

#include "engine_bench_host.h"

#include "kssim.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

namespace engine_bench {

BenchHost::BenchHost(IASIO* driver) : m_session(driver), m_done(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    m_session.TakeSelectors({kAsioSupportsTimeInfo, kAsioEngineVersion});
    m_session.supportsTimeInfo = true;
    m_session.SetSwitchHook([this](long, const ASIOTime*) {
        if (m_result) {
            OnSwitch();
        }
    });
}

BenchHost::~BenchHost()
{
    CloseHandle(m_done);
}

ASIOError BenchHost::CreateBuffers(long outputs, long inputs, long frames)
{
    std::vector<long> outputChannels;
    std::vector<long> inputChannels;
    for (long channel = 0; channel < outputs; ++channel) {
        outputChannels.push_back(channel);
    }
    for (long channel = 0; channel < inputs; ++channel) {
        inputChannels.push_back(channel);
    }
    const ASIOError result = m_session.CreateBuffers(outputChannels, inputChannels, frames);
    if (result != ASE_OK) {
        return result;
    }
    for (long n = 0; n < outputs; ++n) {
        for (int half = 0; half < 2; ++half) {
            int16_t* samples = m_session.OutputHalf(static_cast<size_t>(n), half);
            for (long f = 0; f < frames; ++f) {
                samples[f] = static_cast<int16_t>(((f * 37 + n * 1001 + half * 7) % 20000) - 10000);
            }
        }
    }
    return ASE_OK;
}

double BenchHost::CpuSeconds()
{
    FILETIME creation;
    FILETIME exit;
    FILETIME kernel;
    FILETIME user;
    if (!GetThreadTimes(GetCurrentThread(), &creation, &exit, &kernel, &user)) {
        return 0.0;
    }
    const auto value = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 1e-7;
    };
    return value(kernel) + value(user);
}

StreamResult BenchHost::Run(const StreamPlan& plan, const std::vector<std::string>& renderPaths)
{
    StreamResult result;
    result.engineTicks.reserve(static_cast<size_t>(plan.capacity));
    result.simTicks.reserve(static_cast<size_t>(plan.capacity));
    result.syncTicks.reserve(static_cast<size_t>(plan.capacity));
    m_plan = plan;
    m_paths = &renderPaths;
    m_result = &result;
    m_phase = Phase::Warmup;
    m_callbackCount = 0;
    m_warmupTicks = static_cast<uint64_t>(plan.warmupSeconds * TicksPerSecond());
    m_measureTicks = static_cast<uint64_t>(plan.measureSeconds * TicksPerSecond());
    ResetEvent(m_done);
    if (m_session.Start() != ASE_OK) {
        m_result = nullptr;
        return result;
    }
    result.completed = WaitForSingleObject(m_done, plan.timeoutMs) == WAIT_OBJECT_0;
    m_session.Stop();
    SetWatchedThread(0);
    SetSiteSampling(false);
    m_result = nullptr;
    return result;
}

void BenchHost::OnSwitch()
{
    const uint64_t enter = Ticks();
    EnterHost();
    const uint64_t seam = SeamTicks();
    const uint64_t sync = SyncTicks(kDriver);
    const long n = m_callbackCount++;
    StreamResult& result = *m_result;
    if (n == 0) {
        SetWatchedThread(GetCurrentThreadId());
        m_firstTick = enter;
    }
    bool measuring = false;
    switch (m_phase) {
    case Phase::Warmup:
        if (enter - m_firstTick >= m_warmupTicks && n >= 50) {
            m_phase = Phase::Measure;
            m_windowStart = enter;
            m_cpuStart = CpuSeconds();
            m_countersStart = Snapshot();
            measuring = true;
        }
        break;
    case Phase::Measure: {
        result.engineTicks.push_back(enter - m_lastExit);
        result.simTicks.push_back(seam - m_lastSeam);
        result.syncTicks.push_back(sync - m_lastSync);
        const auto cycles = static_cast<long>(result.engineTicks.size());
        if ((enter - m_windowStart >= m_measureTicks && cycles >= m_plan.minimumCycles) || cycles >= m_plan.capacity) {
            result.counters = Difference(Snapshot(), m_countersStart);
            result.threadCpuSeconds = CpuSeconds() - m_cpuStart;
            result.windowTicks = enter - m_windowStart;
            if (m_plan.sampleCycles > 0) {
                m_phase = Phase::Sample;
                m_sampleStart = n;
                SetSiteSampling(true);
            } else {
                m_phase = Phase::Done;
            }
        } else {
            measuring = true;
        }
        break;
    }
    case Phase::Sample:
        if (n - m_sampleStart >= m_plan.sampleCycles) {
            SetSiteSampling(false);
            result.sampledCycles = n - m_sampleStart;
            m_phase = Phase::Done;
        }
        break;
    case Phase::Done:
        break;
    }
    // The model keeps every byte played; emptied here so that it neither
    // grows nor leaves the cache between cycles.
    for (const std::string& path : *m_paths) {
        kssim::Simulation::Instance().ClearRendered(path, 0);
    }
    if (m_phase == Phase::Done) {
        SetEvent(m_done);
    }
    LeaveHost();
    const uint64_t leave = Ticks();
    if (measuring) {
        result.hostTicks += leave - enter;
    }
    m_lastExit = leave;
    m_lastSeam = seam;
    m_lastSync = sync;
}

}  // namespace engine_bench

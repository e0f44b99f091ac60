#include "engine_bench_host.h"

#include "kssim.h"

#include <windows.h>
#include <shellapi.h>

#include <stdexcept>

namespace engine_bench {

namespace {

BenchHost* volatile g_host = nullptr;

}  // namespace

BenchHost::BenchHost(IASIO* driver)
    : m_driver(driver),
      m_callbacks{BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo},
      m_done(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    if (g_host) {
        throw std::logic_error("one BenchHost at a time");
    }
    g_host = this;
}

BenchHost::~BenchHost()
{
    g_host = nullptr;
    CloseHandle(m_done);
}

ASIOError BenchHost::CreateBuffers(long outputs, long inputs, long frames)
{
    m_infos.clear();
    for (long channel = 0; channel < outputs; ++channel) {
        m_infos.push_back({ASIOFalse, channel, {nullptr, nullptr}});
    }
    for (long channel = 0; channel < inputs; ++channel) {
        m_infos.push_back({ASIOTrue, channel, {nullptr, nullptr}});
    }
    m_frames = frames;
    const ASIOError result = m_driver->createBuffers(m_infos.data(), static_cast<long>(m_infos.size()), frames, &m_callbacks);
    if (result != ASE_OK) {
        return result;
    }
    for (long n = 0; n < outputs; ++n) {
        for (int half = 0; half < 2; ++half) {
            auto* samples = static_cast<int16_t*>(m_infos[static_cast<size_t>(n)].buffers[half]);
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
    if (m_driver->start() != ASE_OK) {
        m_result = nullptr;
        return result;
    }
    result.completed = WaitForSingleObject(m_done, plan.timeoutMs) == WAIT_OBJECT_0;
    m_driver->stop();
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

void BenchHost::BufferSwitch(long, ASIOBool)
{
    if (BenchHost* host = g_host; host && host->m_result) {
        host->OnSwitch();
    }
}

ASIOTime* BenchHost::BufferSwitchTimeInfo(ASIOTime*, long, ASIOBool)
{
    if (BenchHost* host = g_host; host && host->m_result) {
        host->OnSwitch();
    }
    return nullptr;
}

void BenchHost::SampleRateDidChange(ASIOSampleRate)
{
}

long BenchHost::AsioMessage(long selector, long value, void*, double*)
{
    switch (selector) {
    case kAsioSelectorSupported:
        return value == kAsioSupportsTimeInfo || value == kAsioEngineVersion ? 1 : 0;
    case kAsioEngineVersion:
        return 2;
    case kAsioSupportsTimeInfo:
        return 1;
    default:
        return 0;
    }
}

}  // namespace engine_bench

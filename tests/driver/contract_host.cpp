#include "contract_host.h"

#include <algorithm>
#include <stdexcept>

namespace {
ContractHost* volatile g_host = nullptr;
}  // namespace

int64_t ContractHost::NowNs()
{
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const int64_t seconds = counter.QuadPart / frequency;
    const int64_t rest = counter.QuadPart % frequency;
    return seconds * 1000000000 + rest * 1000000000 / frequency;
}

ContractHost::ContractHost(IASIO* driverToHost)
    : driver(driverToHost),
      m_asioCallbacks{BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo},
      m_switches(new Switch[kMaxSwitches]),
      m_callbackEvent(CreateEventA(nullptr, FALSE, FALSE, nullptr))
{
    InitializeCriticalSection(&m_rateLock);
    m_rateChanges.reserve(64);
    if (g_host) {
        throw std::logic_error("one ContractHost at a time");
    }
    g_host = this;
}

ContractHost::~ContractHost()
{
    g_host = nullptr;
    CloseHandle(m_callbackEvent);
    DeleteCriticalSection(&m_rateLock);
}

ASIOError ContractHost::CreateBuffers(const std::vector<long>& outputs, const std::vector<long>& inputs, long size)
{
    m_infos.clear();
    for (long channel : outputs) {
        m_infos.push_back({ASIOFalse, channel, {nullptr, nullptr}});
    }
    for (long channel : inputs) {
        m_infos.push_back({ASIOTrue, channel, {nullptr, nullptr}});
    }
    m_outputCount = outputs.size();
    m_bufferSize = size;
    return driver->createBuffers(m_infos.data(), static_cast<long>(m_infos.size()), size, &m_asioCallbacks);
}

ASIOError ContractHost::Start(const std::vector<int16_t>& outputValues)
{
    m_outputValues = outputValues;
    m_outputValues.resize(m_outputCount, 0);
    for (size_t n = 0; n < m_outputCount; ++n) {
        for (long index : {0L, 1L}) {
            if (int16_t* half = OutputHalf(n, index)) {
                std::fill(half, half + m_bufferSize, m_outputValues[n]);
            }
        }
    }
    return driver->start();
}

int16_t* ContractHost::OutputHalf(size_t n, long index) const
{
    return static_cast<int16_t*>(m_infos.at(n).buffers[index]);
}

int16_t* ContractHost::InputHalf(size_t n, long index) const
{
    return static_cast<int16_t*>(m_infos.at(m_outputCount + n).buffers[index]);
}

std::vector<ContractHost::Switch> ContractHost::Switches() const
{
    const auto count = std::min(static_cast<size_t>(m_callbacks.load()), kMaxSwitches);
    return std::vector<Switch>(m_switches.get(), m_switches.get() + count);
}

bool ContractHost::WaitForCallbacks(long count, DWORD timeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (m_callbacks.load() < count) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        WaitForSingleObject(m_callbackEvent, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20)));
    }
    return true;
}

long ContractHost::CallbacksOver(DWORD ms) const
{
    const long before = m_callbacks.load();
    Sleep(ms);
    return m_callbacks.load() - before;
}

bool ContractHost::WaitForResetRequests(long count, DWORD timeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (m_resetRequests.load() < count) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(5);
    }
    return true;
}

std::vector<ContractHost::RateChange> ContractHost::RateChanges() const
{
    EnterCriticalSection(&m_rateLock);
    std::vector<RateChange> changes = m_rateChanges;
    LeaveCriticalSection(&m_rateLock);
    return changes;
}

void ContractHost::Record(long index, const ASIOTime* time)
{
    const long n = m_callbacks.load();
    if (n >= 0 && static_cast<size_t>(n) < kMaxSwitches) {
        Switch& entry = m_switches[static_cast<size_t>(n)];
        entry.index = index;
        entry.threadId = GetCurrentThreadId();
        entry.arrivalNs = NowNs();
        entry.timeInfo = time != nullptr;
        if (time) {
            entry.time = *time;
        }
    }
    if (onBufferSwitch) {
        onBufferSwitch(index);
    } else if (index == 0 || index == 1) {
        for (size_t b = 0; b < m_outputCount && b < m_outputValues.size(); ++b) {
            if (int16_t* half = OutputHalf(b, index)) {
                std::fill(half, half + m_bufferSize, m_outputValues[b]);
            }
        }
    }
    ++m_callbacks;
    SetEvent(m_callbackEvent);
}

void ContractHost::BufferSwitch(long index, ASIOBool)
{
    if (ContractHost* host = g_host) {
        host->Record(index, nullptr);
    }
}

ASIOTime* ContractHost::BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool)
{
    if (ContractHost* host = g_host) {
        host->Record(index, time);
    }
    return nullptr;
}

void ContractHost::SampleRateDidChange(ASIOSampleRate rate)
{
    if (ContractHost* host = g_host) {
        EnterCriticalSection(&host->m_rateLock);
        host->m_rateChanges.push_back({rate, GetCurrentThreadId(), host->m_insideCall.load()});
        LeaveCriticalSection(&host->m_rateLock);
    }
}

long ContractHost::AsioMessage(long selector, long value, void*, double*)
{
    ContractHost* host = g_host;
    if (!host) {
        return 0;
    }
    switch (selector) {
    case kAsioSelectorSupported:
        return value == kAsioSupportsTimeInfo || (value == kAsioResetRequest && host->takesResetRequests) ? 1 : 0;
    case kAsioSupportsTimeInfo:
        return host->supportsTimeInfo ? 1 : 0;
    case kAsioResetRequest:
        if (!host->takesResetRequests) {
            return 0;
        }
        ++host->m_resetRequests;
        if (host->onResetRequest) {
            host->onResetRequest();
        }
        return 1;
    default:
        return 0;
    }
}

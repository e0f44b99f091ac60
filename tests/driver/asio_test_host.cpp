#include "asio_test_host.h"

#include <stdexcept>

namespace {
AsioTestHost* volatile g_host = nullptr;

double NowMs()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}
}  // namespace

AsioTestHost::AsioTestHost(IASIO* driverToHost)
    : driver(driverToHost),
      m_callbacks{BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo},
      m_callbackEvent(CreateEventA(nullptr, FALSE, FALSE, nullptr))
{
    if (g_host) {
        throw std::logic_error("one AsioTestHost at a time");
    }
    g_host = this;
}

AsioTestHost::~AsioTestHost()
{
    g_host = nullptr;
    CloseHandle(m_callbackEvent);
}

ASIOError AsioTestHost::CreateBuffers(const std::vector<long>& outputs, const std::vector<long>& inputs, long size)
{
    m_infos.clear();
    for (long channel : outputs) {
        m_infos.push_back({ASIOFalse, channel, {nullptr, nullptr}});
    }
    for (long channel : inputs) {
        m_infos.push_back({ASIOTrue, channel, {nullptr, nullptr}});
    }
    m_outputCount = outputs.size();
    bufferSize = size;
    return driver->createBuffers(m_infos.data(), static_cast<long>(m_infos.size()), size, &m_callbacks);
}

int16_t* AsioTestHost::OutputHalf(size_t n, long index) const
{
    return static_cast<int16_t*>(m_infos.at(n).buffers[index]);
}

int16_t* AsioTestHost::InputHalf(size_t n, long index) const
{
    return static_cast<int16_t*>(m_infos.at(m_outputCount + n).buffers[index]);
}

bool AsioTestHost::WaitForCallbacks(long count, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (m_callbackCount.load() < count) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        WaitForSingleObject(m_callbackEvent, static_cast<DWORD>(deadline - now));
    }
    return true;
}

std::vector<AsioTestHost::Switch> AsioTestHost::Switches() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_switches;
}

std::vector<ASIOSampleRate> AsioTestHost::RateChanges() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_rateChanges;
}

void AsioTestHost::Record(long index, const ASIOTime* time)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Switch entry{index, time != nullptr, {}, GetCurrentThreadId(), NowMs()};
        if (time) {
            entry.time = *time;
        }
        m_switches.push_back(entry);
    }
    if (onBufferSwitch) {
        onBufferSwitch(index);
    }
    ++m_callbackCount;
    SetEvent(m_callbackEvent);
}

void AsioTestHost::BufferSwitch(long index, ASIOBool)
{
    if (AsioTestHost* host = g_host) {
        host->Record(index, nullptr);
    }
}

ASIOTime* AsioTestHost::BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool)
{
    if (AsioTestHost* host = g_host) {
        host->Record(index, time);
    }
    return nullptr;
}

void AsioTestHost::SampleRateDidChange(ASIOSampleRate rate)
{
    if (AsioTestHost* host = g_host) {
        std::lock_guard<std::mutex> lock(host->m_lock);
        host->m_rateChanges.push_back(rate);
    }
}

long AsioTestHost::AsioMessage(long selector, long value, void*, double*)
{
    AsioTestHost* host = g_host;
    switch (selector) {
    case kAsioSelectorSupported:
        return value == kAsioSupportsTimeInfo || value == kAsioResetRequest || value == kAsioLatenciesChanged ? 1 : 0;
    case kAsioSupportsTimeInfo:
        return host && host->supportsTimeInfo ? 1 : 0;
    case kAsioResetRequest:
        if (host) {
            ++host->resetRequests;
        }
        return 1;
    case kAsioLatenciesChanged:
        if (host) {
            ++host->latencyChanges;
        }
        return 1;
    default:
        return 0;
    }
}

#include "asio_session.h"

#include <objbase.h>

namespace {

AsioSession* volatile g_session = nullptr;

double NowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

AsioSession::AsioSession() : m_callbacks{BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo}
{
    InitializeCriticalSection(&m_statsLock);
    g_session = this;
}

AsioSession::~AsioSession()
{
    if (m_driver) {
        m_driver->stop();
        m_driver->disposeBuffers();
        m_driver->Release();
    }
    g_session = nullptr;
    if (m_comStarted) {
        CoUninitialize();
    }
    DeleteCriticalSection(&m_statsLock);
}

bool AsioSession::Load(const CLSID& clsid, std::string& error)
{
    m_comStarted = SUCCEEDED(CoInitialize(nullptr));
    // ASIO hosts ask for IASIO under the driver's own class id.
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void**>(&m_driver));
    if (FAILED(hr) || !m_driver) {
        char text[96];
        wsprintfA(text, "cannot create the driver object (0x%08lX)", static_cast<unsigned long>(hr));
        error = text;
        m_driver = nullptr;
        return false;
    }
    return true;
}

bool AsioSession::Init(std::string& error)
{
    if (m_driver->init(GetDesktopWindow()) == ASIOTrue) {
        return true;
    }
    char text[256] = {};
    m_driver->getErrorMessage(text);
    error = text;
    return false;
}

ASIOError AsioSession::CreateBuffers(const std::vector<long>& outputs, const std::vector<long>& inputs, long bufferSize)
{
    m_infos.clear();
    for (long channel : outputs) {
        m_infos.push_back({ASIOFalse, channel, {nullptr, nullptr}});
    }
    for (long channel : inputs) {
        m_infos.push_back({ASIOTrue, channel, {nullptr, nullptr}});
    }
    m_outputCount = outputs.size();
    return m_driver->createBuffers(m_infos.data(), static_cast<long>(m_infos.size()), bufferSize, &m_callbacks);
}

AsioSession::Statistics AsioSession::GetStatistics() const
{
    EnterCriticalSection(&m_statsLock);
    Statistics statistics;
    statistics.callbacks = m_callbackCount;
    statistics.meanIntervalMs = m_callbackCount > 1 ? m_intervalSumMs / (m_callbackCount - 1) : 0;
    statistics.worstIntervalMs = m_worstIntervalMs;
    LeaveCriticalSection(&m_statsLock);
    return statistics;
}

void AsioSession::OnSwitch(long index)
{
    const double now = NowMs();
    EnterCriticalSection(&m_statsLock);
    if (m_callbackCount > 0) {
        const double interval = now - m_lastSwitchMs;
        m_intervalSumMs += interval;
        if (interval > m_worstIntervalMs) {
            m_worstIntervalMs = interval;
        }
    }
    m_lastSwitchMs = now;
    ++m_callbackCount;
    LeaveCriticalSection(&m_statsLock);
    if (onBufferSwitch) {
        onBufferSwitch(index);
    }
}

void AsioSession::BufferSwitch(long index, ASIOBool)
{
    if (AsioSession* session = g_session) {
        session->OnSwitch(index);
    }
}

ASIOTime* AsioSession::BufferSwitchTimeInfo(ASIOTime*, long index, ASIOBool)
{
    BufferSwitch(index, ASIOFalse);
    return nullptr;
}

void AsioSession::SampleRateDidChange(ASIOSampleRate)
{
}

long AsioSession::AsioMessage(long selector, long value, void*, double*)
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

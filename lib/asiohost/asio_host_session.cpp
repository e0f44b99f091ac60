#include "asio_host_session.h"

#include <objbase.h>

#include <algorithm>
#include <stdexcept>

namespace {

std::atomic<CAsioHostSession*> g_session{nullptr};

// The longest a waiter sleeps before it looks at the count again: with
// several waiters one wake-up can go to another, so none relies on it alone.
constexpr DWORD kWaitSliceMs = 20;

}  // namespace

CAsioHostSession::CAsioHostSession() : CAsioHostSession(nullptr)
{
}

CAsioHostSession::CAsioHostSession(IASIO* driver)
    : m_driver(driver),
      m_asioCallbacks{BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo},
      m_callbackEvent(CreateEventA(nullptr, FALSE, FALSE, nullptr))
{
    InitializeCriticalSection(&m_rateLock);
    CAsioHostSession* none = nullptr;
    if (!g_session.compare_exchange_strong(none, this)) {
        DeleteCriticalSection(&m_rateLock);
        CloseHandle(m_callbackEvent);
        throw std::logic_error("one ASIO host session per process at a time");
    }
}

CAsioHostSession::~CAsioHostSession()
{
    if (m_owned && m_driver) {
        m_driver->stop();
        m_driver->disposeBuffers();
        m_driver->Release();
    }
    g_session = nullptr;
    if (m_comStarted) {
        CoUninitialize();
    }
    DeleteCriticalSection(&m_rateLock);
    CloseHandle(m_callbackEvent);
}

HRESULT CAsioHostSession::Load(const CLSID& clsid)
{
    if (m_driver) {
        return E_UNEXPECTED;
    }
    m_comStarted = SUCCEEDED(CoInitialize(nullptr));
    IASIO* driver = nullptr;
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void**>(&driver));
    if (FAILED(hr) || !driver) {
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    m_driver = driver;
    m_owned = true;
    return hr;
}

bool CAsioHostSession::Init(HWND window, std::string& error)
{
    if (m_driver->init(window) == ASIOTrue) {
        return true;
    }
    char text[256] = {};
    m_driver->getErrorMessage(text);
    error = text;
    return false;
}

void CAsioHostSession::TakeSelectors(const std::vector<long>& selectors)
{
    m_selectors = 0;
    for (long selector : selectors) {
        if (selector > 0 && selector < 32) {
            m_selectors |= 1u << selector;
        }
    }
}

bool CAsioHostSession::Takes(long selector) const
{
    return selector > 0 && selector < 32 && (m_selectors & (1u << selector)) != 0;
}

ASIOError CAsioHostSession::CreateBuffers(const std::vector<long>& outputs, const std::vector<long>& inputs,
                                          long bufferSize)
{
    m_infos.clear();
    for (long channel : outputs) {
        m_infos.push_back({ASIOFalse, channel, {nullptr, nullptr}});
    }
    for (long channel : inputs) {
        m_infos.push_back({ASIOTrue, channel, {nullptr, nullptr}});
    }
    m_outputCount = outputs.size();
    m_bufferSize = bufferSize;
    return m_driver->createBuffers(m_infos.data(), static_cast<long>(m_infos.size()), bufferSize, &m_asioCallbacks);
}

int16_t* CAsioHostSession::OutputHalf(size_t n, long index) const
{
    return static_cast<int16_t*>(m_infos.at(n).buffers[index]);
}

int16_t* CAsioHostSession::InputHalf(size_t n, long index) const
{
    return static_cast<int16_t*>(m_infos.at(m_outputCount + n).buffers[index]);
}

bool CAsioHostSession::WaitForCallbacks(long count, DWORD timeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    ++m_waiters;
    bool arrived = true;
    while (m_callbacks.load() < count) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            arrived = false;
            break;
        }
        WaitForSingleObject(m_callbackEvent, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kWaitSliceMs)));
    }
    --m_waiters;
    return arrived;
}

void CAsioHostSession::KeepSwitches(size_t capacity)
{
    // Left uninitialised: the records are written before they are counted.
    m_switches.reset(new Switch[capacity]);
    m_switchCapacity = capacity;
    m_switchBase = m_callbacks.load();
}

std::vector<CAsioHostSession::Switch> CAsioHostSession::Switches() const
{
    const auto seen = static_cast<size_t>(std::max(0L, m_callbacks.load() - m_switchBase));
    const size_t count = std::min(seen, m_switchCapacity);
    return std::vector<Switch>(m_switches.get(), m_switches.get() + count);
}

std::vector<CAsioHostSession::RateChange> CAsioHostSession::RateChanges() const
{
    EnterCriticalSection(&m_rateLock);
    std::vector<RateChange> changes(m_rateChanges, m_rateChanges + m_rateChangeCount);
    LeaveCriticalSection(&m_rateLock);
    return changes;
}

int64_t CAsioHostSession::NowNs()
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

void CAsioHostSession::OnSwitch(long index, const ASIOTime* time)
{
    const long n = m_callbacks.load() - m_switchBase;
    if (n >= 0 && static_cast<size_t>(n) < m_switchCapacity) {
        Switch& entry = m_switches[static_cast<size_t>(n)];
        entry.index = index;
        entry.threadId = GetCurrentThreadId();
        entry.arrivalNs = NowNs();
        entry.timeInfo = time != nullptr;
        if (time) {
            entry.time = *time;
        }
    }
    if (m_switchHook) {
        m_switchHook(index, time);
    }
    ++m_callbacks;
    if (m_waiters.load() > 0) {
        SetEvent(m_callbackEvent);
    }
}

void CAsioHostSession::BufferSwitch(long index, ASIOBool)
{
    if (CAsioHostSession* session = g_session.load()) {
        session->OnSwitch(index, nullptr);
    }
}

ASIOTime* CAsioHostSession::BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool)
{
    if (CAsioHostSession* session = g_session.load()) {
        session->OnSwitch(index, time);
    }
    return nullptr;
}

void CAsioHostSession::SampleRateDidChange(ASIOSampleRate rate)
{
    if (CAsioHostSession* session = g_session.load()) {
        EnterCriticalSection(&session->m_rateLock);
        if (session->m_rateChangeCount < kMaxRateChanges) {
            session->m_rateChanges[session->m_rateChangeCount++] = {rate, GetCurrentThreadId(),
                                                                    session->m_insideCall.load()};
        }
        LeaveCriticalSection(&session->m_rateLock);
    }
}

long CAsioHostSession::AsioMessage(long selector, long value, void*, double*)
{
    CAsioHostSession* session = g_session.load();
    if (!session) {
        return 0;
    }
    if (selector == kAsioSelectorSupported) {
        return session->Takes(value) ? 1 : 0;
    }
    if (!session->Takes(selector)) {
        return 0;
    }
    switch (selector) {
    case kAsioEngineVersion:
        return 2;
    case kAsioSupportsTimeInfo:
        return session->supportsTimeInfo.load() ? 1 : 0;
    case kAsioResetRequest:
        ++session->m_resetRequests;
        if (session->m_resetHook) {
            session->m_resetHook();
        }
        return 1;
    case kAsioLatenciesChanged:
        ++session->m_latencyChanges;
        return 1;
    default:
        return 0;
    }
}

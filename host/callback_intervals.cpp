#include "callback_intervals.h"

namespace {

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

CallbackIntervals::CallbackIntervals()
{
    InitializeCriticalSection(&m_lock);
}

CallbackIntervals::~CallbackIntervals()
{
    DeleteCriticalSection(&m_lock);
}

void CallbackIntervals::Add()
{
    const double now = NowMs();
    EnterCriticalSection(&m_lock);
    if (m_switches > 0) {
        const double interval = now - m_lastMs;
        m_sumMs += interval;
        if (interval > m_worstMs) {
            m_worstMs = interval;
        }
    }
    m_lastMs = now;
    ++m_switches;
    LeaveCriticalSection(&m_lock);
}

CallbackIntervals::Figures CallbackIntervals::Get() const
{
    EnterCriticalSection(&m_lock);
    Figures figures;
    figures.meanMs = m_switches > 1 ? m_sumMs / (m_switches - 1) : 0;
    figures.worstMs = m_worstMs;
    LeaveCriticalSection(&m_lock);
    return figures;
}

#pragma once

#include <windows.h>

// The time between buffer switches as telvara-host reports it: Add on the
// driver's thread at each switch, the figures from any thread.
class CallbackIntervals {
public:
    CallbackIntervals();
    ~CallbackIntervals();
    CallbackIntervals(const CallbackIntervals&) = delete;
    CallbackIntervals& operator=(const CallbackIntervals&) = delete;

    void Add();
    struct Figures {
        double meanMs = 0;
        double worstMs = 0;
    };
    Figures Get() const;

private:
    mutable CRITICAL_SECTION m_lock;
    long m_switches = 0;
    double m_lastMs = 0;
    double m_sumMs = 0;
    double m_worstMs = 0;
};

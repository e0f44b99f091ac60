// The clock thread: one thread for every simulated device. It completes
// stream requests when the device clocks reach them, moves looped buffers
// and completes the property requests of asynchronous devices. It exists
// while filter or pin handles are open: started by the first request that
// needs it, ended (and joined) when the last such handle closes or the
// model is reset.
//
// Under Wine every call on an event or a timer is a round trip to the
// server, and the simulated devices stand beside a driver whose timing is
// what is being measured. So the thread is woken only when its next
// deadline moves earlier (a request queued behind others changes nothing),
// re-arms its timer only when the deadline changed, and completes whatever
// is due on each wake-up in one pass under the lock.

#include "model_state.h"

#include <algorithm>

namespace kssim::detail {

// Replanning: the thread has been woken and will look at every pin again,
// so nothing that comes meanwhile needs to wake it.
constexpr int64_t kReplanning = INT64_MIN;

struct Worker {
    HANDLE thread = nullptr;
    HANDLE wake = nullptr;   // auto-reset: new work, a state change, or the end
    HANDLE timer = nullptr;  // the next device event
    // Under the model lock: the end, and the tick the thread sleeps
    // towards (kNever: until woken; kReplanning: woken, not yet replanned).
    bool stop = false;
    int64_t deadline = kReplanning;
    // The thread's own: the tick the timer is set for while it has not
    // fired (kNever when it is not set or has fired).
    int64_t armed = kNever;
};

namespace {

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

DWORD WINAPI ClockThread(void* parameter)
{
    auto* worker = static_cast<Worker*>(parameter);
    Model& model = TheModel();
    for (;;) {
        int64_t next = kNever;
        {
            ModelLock lock(model);
            if (worker->stop) {
                break;
            }
            try {
                const int64_t now = NowTicks();
                if (!model.holdProperties) {
                    CompleteQueuedProperties(model);
                }
                // On virtual time the devices move inside the stream
                // clock's waits only; this thread answers properties.
                if (model.clockMode != ClockMode::Virtual) {
                    next = AdvanceAllPins(model, now);
                }
            } catch (...) {
                // Only allocation can fail here; the requests stay queued and
                // the next wake-up tries again.
                TraceLine("clock thread: out of memory while completing requests");
            }
            worker->deadline = next;
        }
        if (next == kNever) {
            // Nothing is due: every producer of work (a queued request, a
            // state change, a released hold, the end of the thread) sets the
            // wake event, so this wait ends exactly when there is something to do.
            CountEventCall();
            WaitForSingleObject(worker->wake, INFINITE);
            continue;
        }
        const int64_t ahead = next - NowTicks();
        if (ahead <= 0) {
            continue;
        }
        LARGE_INTEGER due{};
        due.QuadPart = -std::max<int64_t>(1, (ahead * 10000000 + model.ticksPerSecond - 1) / model.ticksPerSecond);
        HANDLE waits[2] = {worker->wake, worker->timer};
        if (worker->armed != next) {
            CountEventCall();
            worker->armed = SetWaitableTimer(worker->timer, &due, 0, nullptr, nullptr, FALSE) ? next : kNever;
        }
        if (worker->armed == next) {
            // Ends at the device event or earlier on new work; both re-plan.
            // A timer that fired is spent; one interrupted by new work still
            // holds the deadline and is kept when the deadline stays.
            CountEventCall();
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                worker->armed = kNever;
            }
        } else {
            CountEventCall();
            WaitForSingleObject(worker->wake, static_cast<DWORD>(std::max<int64_t>(1, ahead * 1000 / model.ticksPerSecond)));
        }
    }
    return 0;
}

void DeleteWorker(Worker* worker)
{
    if (worker->thread) {
        CloseHandle(worker->thread);
    }
    if (worker->timer) {
        CloseHandle(worker->timer);
    }
    if (worker->wake) {
        CloseHandle(worker->wake);
    }
    delete worker;
}

}  // namespace

void WakeClock(Model& model)
{
    if (!model.worker) {
        auto* worker = new Worker();
        worker->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        worker->timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        if (!worker->timer) {
            worker->timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
        }
        if (worker->wake && worker->timer) {
            worker->thread = CreateThread(nullptr, 0, ClockThread, worker, 0, nullptr);
        }
        if (!worker->thread) {
            TraceLine("clock thread cannot be started (error " + std::to_string(GetLastError()) +
                      "); stream requests stay pending");
            DeleteWorker(worker);
            return;
        }
        // The device clock stands for hardware: it must not fall behind the
        // threads that feed it.
        SetThreadPriority(worker->thread, THREAD_PRIORITY_TIME_CRITICAL);
        model.worker = worker;
    }
    if (model.worker->deadline != kReplanning) {
        model.worker->deadline = kReplanning;
        SignalObject(model.worker->wake);
    }
}

void WakeClockFor(Model& model, int64_t tick)
{
    if (tick == kNever || model.clockMode == ClockMode::Virtual) {
        return;  // on virtual time device events wait for the stream clock
    }
    if (model.worker && tick >= model.worker->deadline) {
        return;  // the thread wakes by then anyway
    }
    WakeClock(model);
}

ClockStop StopClock(Model& model)
{
    Worker* worker = model.worker;
    if (!worker) {
        return ClockStop();
    }
    model.worker = nullptr;
    worker->stop = true;
    SignalObject(worker->wake);
    return ClockStop(worker);
}

ClockStop StopClockIfIdle(Model& model)
{
    if (!model.worker || !model.propertyQueue.empty() || CountHandles(model, HandleKind::Filter) > 0 ||
        CountHandles(model, HandleKind::Pin) > 0) {
        return ClockStop();
    }
    return StopClock(model);
}

ClockStop& ClockStop::operator=(ClockStop&& other) noexcept
{
    if (this != &other) {
        // Only ever assigned into an empty object (see the callers); joining
        // here could happen under the model lock.
        std::swap(m_worker, other.m_worker);
    }
    return *this;
}

ClockStop::~ClockStop()
{
    if (!m_worker) {
        return;
    }
    // The thread ends as soon as it sees the stop flag; ten seconds only
    // matter if the process is being torn down under it (a DLL unloaded with
    // handles still open), and then the worker is left behind on purpose
    // rather than freed under a thread that may still run.
    if (WaitForSingleObject(m_worker->thread, 10000) != WAIT_OBJECT_0) {
        TraceLine("clock thread did not end within 10 s");
        return;
    }
    DeleteWorker(m_worker);
}

}  // namespace kssim::detail

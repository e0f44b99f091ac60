// Virtual time: a simulated clock that moves only inside the stream clock's
// waits. A wait that would block lets the clock jump to the earliest of its
// deadline and the next device event, completes what is due then (which
// signals the caller's events), and looks at its handles again, until one
// is signalled or the deadline is reached. Nothing here reads the wall
// clock, so a run is the same for the same model, calls and seed.
//
// The rule that makes it sound: time moves only while the thread that
// streams (the one in StreamClock::WaitUntil) waits for it; every other
// thread (the host's, a test's) only looks, and what it does happens at the
// simulated time the clock stands at. So one stream thread per process is
// what the clock is for; two threads waiting on it would both move it and
// the order of their steps would decide.
//
// The limit (RunFor) keeps the clock from running ahead of a test: a wait
// that would move it past the limit parks until the limit moves or one of
// its handles is signalled.

#include "model_state.h"

#include <algorithm>

namespace kssim::detail {

namespace {

// Where the simulated clock starts: far from 0, which some callers take
// for "no time yet".
constexpr int64_t kOriginSeconds = 1000;

uint64_t NextRandom(uint64_t& state)
{
    // splitmix64: small, fast, and the same sequence everywhere.
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// Under the lock: sets the clock to `tick` and moves every device there.
// Answers the next device event.
int64_t MoveClock(Model& model, int64_t tick)
{
    VirtualTime& time = model.virtualTime;
    if (tick > time.now.load()) {
        time.now.store(tick, std::memory_order_release);
    }
    return AdvanceAllPins(model, time.now.load());
}

// How long the thread that is about to return from a wait is held up:
// jitter, and the hiccups whose time has come.
int64_t WakeDelay(Model& model)
{
    VirtualTime& time = model.virtualTime;
    int64_t delay = 0;
    if (time.jitterMaxTicks > 0) {
        delay += static_cast<int64_t>(NextRandom(time.jitterState) % static_cast<uint64_t>(time.jitterMaxTicks + 1));
    }
    const int64_t now = time.now.load();
    for (auto& hiccup : time.hiccups) {
        if (!hiccup.done && hiccup.at <= now) {
            hiccup.done = true;
            delay += hiccup.duration;
        }
    }
    return delay;
}

enum class Step { Moved, Parked, Stopped };

// Under the lock, with `lock` held by the caller: moves the clock towards
// `target` by one device event (or to the target), or parks at the limit.
// Parking releases the lock while it waits on `handles` (may be empty) and
// the limit; *woken answers which handle ended the park, if one did.
Step StepTowards(Model& model, int64_t target, const HANDLE* handles, DWORD count, DWORD* woken)
{
    VirtualTime& time = model.virtualTime;
    if (!time.on.load()) {
        return Step::Stopped;
    }
    const int64_t now = time.now.load();
    int64_t next = std::min(target, MoveClock(model, now));
    if (next <= now) {
        next = now + 1;  // never stand still: a device event is always ahead
    }
    if (now < time.limit) {
        MoveClock(model, std::min(next, time.limit));
        return Step::Moved;
    }
    // At the limit: park until it moves or a handle is signalled.
    ResetEvent(time.limitMoved);
    ++time.parked;
    WakeAllConditionVariable(&time.reached);
    HANDLE waits[MAXIMUM_WAIT_OBJECTS];
    DWORD waitCount = 0;
    const DWORD own = std::min<DWORD>(count, MAXIMUM_WAIT_OBJECTS - 1);
    for (DWORD i = 0; i < own; ++i) {
        waits[waitCount++] = handles[i];
    }
    waits[waitCount++] = time.limitMoved;
    LeaveCriticalSection(&model.lock);
    // Bounded by whoever drives the test: RunFor moves the limit, a stop
    // request sets one of the handles, Reset and a change of clock mode set
    // limitMoved. A wait whose handles did not all fit is looked at again
    // every millisecond so that the others are not missed.
    const DWORD result = WaitForMultipleObjects(waitCount, waits, FALSE, own < count ? 1 : INFINITE);
    EnterCriticalSection(&model.lock);
    --time.parked;
    if (result < WAIT_OBJECT_0 + own) {
        *woken = result;
    }
    return Step::Parked;
}

// Holds the calling thread up for `delay` of simulated time: the devices
// move on meanwhile. Only another thread can signal a handle while the
// clock is parked at the limit (a stop request, which must not wait for the
// test to move time): that cuts the delay short, and the handle is set
// again for the caller's next wait, since the park took its signal (the
// stream clock's handles are events).
void HoldUp(Model& model, int64_t delay, const HANDLE* handles, DWORD count)
{
    const int64_t target = model.virtualTime.now.load() + delay;
    while (model.virtualTime.now.load() < target) {
        DWORD woken = WAIT_TIMEOUT;
        const Step step = StepTowards(model, target, handles, count, &woken);
        if (step == Step::Stopped) {
            return;
        }
        if (woken != WAIT_TIMEOUT) {
            SetEvent(handles[woken - WAIT_OBJECT_0]);
            return;
        }
    }
}

}  // namespace

void StartVirtualTime(Model& model)
{
    VirtualTime& time = model.virtualTime;
    if (!time.limitMoved) {
        time.limitMoved = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    time.origin = kOriginSeconds * model.ticksPerSecond;
    time.now.store(time.origin, std::memory_order_release);
    time.limit = time.origin;
    time.jitterState = 1;
    time.noiseState = 1;
    time.jitterMaxTicks = 0;
    time.hiccups.clear();
    time.positionNoiseFrames = 0;
    time.on.store(time.limitMoved != nullptr, std::memory_order_release);
    if (!time.limitMoved) {
        TraceLine("virtual clock cannot start (no event, error " + std::to_string(GetLastError()) +
                  "); the real-time clock stays");
    }
}

void StopVirtualTime(Model& model)
{
    VirtualTime& time = model.virtualTime;
    time.on.store(false, std::memory_order_release);
    time.limit = kNever;
    time.jitterState = 1;
    time.noiseState = 1;
    time.jitterMaxTicks = 0;
    time.hiccups.clear();
    time.positionNoiseFrames = 0;
    if (time.limitMoved) {
        SetEvent(time.limitMoved);  // parked threads look again and leave
    }
}

DWORD VirtualWaitUntil(const HANDLE* handles, DWORD count, int64_t deadline)
{
    Model& model = TheModel();
    DWORD result = WAIT_TIMEOUT;
    bool waited = false;
    // The handles are looked at on entry and then only after the devices
    // signalled something: while the clock moves nothing else can set them
    // (another thread's signal is seen at the next device event or at the
    // limit). Under Wine every look is a round trip to the server.
    int64_t looked = kNever;
    for (;;) {
        const int64_t signals = EventCallCount();
        if (count > 0 && signals != looked) {
            looked = signals;
            const DWORD now = WaitForMultipleObjects(count, handles, FALSE, 0);
            if (now != WAIT_TIMEOUT) {
                result = now;
                break;
            }
        }
        ModelLock lock(model);
        if (!model.virtualTime.on.load()) {
            return WAIT_TIMEOUT;  // the clock stopped under the wait: the caller looks at the time again
        }
        if (model.virtualTime.now.load() >= deadline) {
            break;
        }
        DWORD woken = WAIT_TIMEOUT;
        if (StepTowards(model, deadline, handles, count, &woken) == Step::Stopped) {
            return WAIT_TIMEOUT;
        }
        if (woken != WAIT_TIMEOUT) {
            // Set by another thread while the clock stood at the limit: no
            // simulated wake-up to delay.
            return woken;
        }
        waited = true;
    }
    if (waited) {
        // The system wakes a thread late, and sometimes much later.
        ModelLock lock(model);
        if (model.virtualTime.on.load()) {
            const int64_t delay = WakeDelay(model);
            if (delay > 0) {
                HoldUp(model, delay, handles, count);
            }
        }
    }
    return result;
}

int64_t PositionNoise(Model& model, int64_t range)
{
    if (range <= 0) {
        return 0;
    }
    const auto span = static_cast<uint64_t>(2 * range + 1);
    return static_cast<int64_t>(NextRandom(model.virtualTime.noiseState) % span) - range;
}

}  // namespace kssim::detail

namespace kssim {

using namespace detail;

bool Simulation::RunFor(double seconds, DWORD wallTimeoutMs)
{
    Model& model = TheModel();
    ModelLock lock(model);
    VirtualTime& time = model.virtualTime;
    if (!time.on.load() || seconds < 0) {
        return false;
    }
    const auto ticks = static_cast<int64_t>(seconds * static_cast<double>(model.ticksPerSecond) + 0.5);
    time.limit = (time.limit == kNever ? time.now.load() : time.limit) + ticks;
    SetEvent(time.limitMoved);
    const ULONGLONG giveUp = GetTickCount64() + wallTimeoutMs;
    while (time.on.load() && !(time.now.load() >= time.limit && time.parked > 0)) {
        const ULONGLONG now = GetTickCount64();
        if (now >= giveUp) {
            return false;
        }
        SleepConditionVariableCS(&time.reached, &model.lock, static_cast<DWORD>(giveUp - now));
    }
    return time.on.load();
}

void Simulation::RunFreely()
{
    Model& model = TheModel();
    ModelLock lock(model);
    model.virtualTime.limit = kNever;
    if (model.virtualTime.limitMoved) {
        SetEvent(model.virtualTime.limitMoved);
    }
}

double Simulation::VirtualSeconds() const
{
    Model& model = TheModel();
    const VirtualTime& time = model.virtualTime;
    if (!time.on.load()) {
        return 0.0;
    }
    return static_cast<double>(time.now.load() - time.origin) / static_cast<double>(model.ticksPerSecond);
}

void Simulation::SetSeed(uint64_t seed)
{
    Model& model = TheModel();
    ModelLock lock(model);
    model.virtualTime.jitterState = seed;
    model.virtualTime.noiseState = seed ^ 0x5851f42d4c957f2dull;
}

void Simulation::SetJitter(double maxMs)
{
    Model& model = TheModel();
    ModelLock lock(model);
    model.virtualTime.jitterMaxTicks =
        maxMs > 0 ? static_cast<int64_t>(maxMs * static_cast<double>(model.ticksPerSecond) / 1000.0) : 0;
}

void Simulation::InjectHiccup(double atSeconds, double seconds)
{
    Model& model = TheModel();
    ModelLock lock(model);
    VirtualTime& time = model.virtualTime;
    VirtualTime::Hiccup hiccup;
    hiccup.at = time.origin + static_cast<int64_t>(atSeconds * static_cast<double>(model.ticksPerSecond));
    hiccup.duration = std::max<int64_t>(0, static_cast<int64_t>(seconds * static_cast<double>(model.ticksPerSecond)));
    time.hiccups.push_back(hiccup);
}

void Simulation::SetPositionNoise(int frames)
{
    Model& model = TheModel();
    ModelLock lock(model);
    model.virtualTime.positionNoiseFrames = std::max(0, frames);
}

void Simulation::KeepRenderedBytes(bool keep)
{
    Model& model = TheModel();
    ModelLock lock(model);
    model.keepRendered = keep;
}

}  // namespace kssim

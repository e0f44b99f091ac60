#include "drift_steering.h"

#include "capture_endpoint.h"
#include "master_choice.h"
#include "render_endpoint.h"
#include "stream_clock.h"

#include <cmath>

namespace {

// A follower starts being resampled once its lag has moved this many frames
// from where it started, the way its clock runs against the master's (a
// faster render device empties its queue, a faster capture device fills
// its own), by at least kEngagePpm, and about as
// far as that rate makes it move in the time since (a third to three
// times): a lag that moved once (a hiccup) or that wanders with coarse
// positions (a WaveRT register that moves in bursts) is no drift.
constexpr double kEngageFrames = 2.0;
constexpr double kEngagePpm = 0.5;
constexpr double kEngageAgreement = 3.0;
// ... and has kept moving so for this long.
constexpr double kEngageSeconds = 0.5;
// A position whose read took longer than this (the thread was held up
// between the read and its time stamp) is not used.
constexpr double kLongestReadSeconds = 0.0005;

// Whether a lag that moved by `moved` frames is the drift of a clock that
// runs `drift` (relative) faster than the master's, over `span` frames of
// the stream, for a render or a capture follower.
bool Drifting(double moved, double drift, double span, bool render)
{
    const double expected = std::fabs(drift) * span;
    return std::fabs(moved) >= kEngageFrames && std::fabs(drift) >= kEngagePpm * 1e-6 &&
           ((moved < 0) == (drift > 0)) == render &&
           std::fabs(moved) * kEngageAgreement >= expected && std::fabs(moved) <= expected * kEngageAgreement;
}

}  // namespace

std::vector<bool> CDriftSteering::Prepare(const DriftSetup& setup, const std::vector<CRenderEndpoint*>& render,
                                          const std::vector<CCaptureEndpoint*>& capture, double hostRate)
{
    std::vector<State> states;
    std::vector<SMasterCandidate> candidates;
    for (CRenderEndpoint* device : render) {
        State state;
        state.endpoint = device;
        states.push_back(state);
        candidates.push_back({device->Name(), true});
    }
    for (CCaptureEndpoint* device : capture) {
        State state;
        state.endpoint = device;
        state.capture = device;
        states.push_back(state);
        candidates.push_back({device->Name(), false});
    }
    m_states = std::move(states);
    // The master runs at the host's rate where any device does.
    std::vector<int> atHostRate;
    std::vector<SMasterCandidate> native;
    for (size_t i = 0; i < m_states.size(); ++i) {
        if (!m_states[i].endpoint->ConvertsRate()) {
            atHostRate.push_back(static_cast<int>(i));
            native.push_back(candidates[i]);
        }
    }
    if (native.empty()) {
        m_master = ChooseMaster(candidates, setup.master).index;
    } else {
        const int chosen = ChooseMaster(native, setup.master).index;
        m_master = chosen < 0 ? -1 : atHostRate[static_cast<size_t>(chosen)];
    }
    m_anyFollower = false;
    m_hostRate = hostRate;
    std::vector<bool> followers(m_states.size(), false);
    for (size_t i = 0; i < m_states.size(); ++i) {
        State& state = m_states[i];
        CEndpoint& device = *state.endpoint;
        SPositionFilterConfig filter;
        filter.nominalRate = device.Format().sampleRate > 0 ? device.Format().sampleRate : hostRate;
        state.filter = CPositionFilter(filter);
        SDriftControlConfig control;
        control.sampleRate = hostRate;
        control.nominalRatio = state.capture ? 1.0 / device.RateRatio() : device.RateRatio();
        state.controller = CDriftController(control);
        const bool alone = m_states.size() < 2;
        const auto& uncompensated = state.capture ? setup.uncompensatedCapture : setup.uncompensatedRender;
        state.follower =
            setup.on && !alone && static_cast<int>(i) != m_master && uncompensated.count(device.Name()) == 0;
        followers[i] = state.follower;
        m_anyFollower = m_anyFollower || state.follower;
        using Role = EndpointDriftFigures::Role;
        const Role role = alone                           ? Role::Alone
                          : static_cast<int>(i) == m_master ? Role::Master
                          : state.follower                ? Role::Follower
                                                          : Role::Uncompensated;
        device.Drift().role.store(role);
        // A device at its own rate is resampled from the start.
        device.Drift().resampling.store(device.ConvertsRate());
        device.Drift().ratio.store(control.nominalRatio);
        device.Drift().ratePpm.store(0.0);
        device.Drift().offsetFrames.store(0.0);
        device.Drift().queuedFrames.store(0.0);
        device.Drift().resyncs.store(0);
    }
    return followers;
}

void CDriftSteering::Read(State& state)
{
    int64_t played = 0;
    const auto seconds = [] {
        return static_cast<double>(StreamClock::Now()) / static_cast<double>(StreamClock::TicksPerSecond());
    };
    const double before = seconds();
    state.read = !state.gone && state.endpoint->ReadProgress(&played, &state.written);
    const double after = seconds();
    state.read = state.read && after - before <= kLongestReadSeconds;
    if (!state.read) {
        return;
    }
    state.seconds = (before + after) / 2;
    // A device reports the frame it is in: its middle is the best guess.
    state.filter.Update(state.seconds, static_cast<double>(played) + 0.5);
}

double CDriftSteering::Queued(const State& state, double now) const
{
    const double position = state.filter.PositionAt(now);
    const auto moved = static_cast<double>(state.written);
    return state.capture ? position - moved : moved - position;
}

// The follower's lag behind where it should be, in host frames (> 0: its
// path holds too much); `masterHolds` is what the master's path holds,
// counted as a render device's (a capture master's recorded frames wait
// on the other side of the host). The device frames its path holds are
// turned into host frames at `conversion`, the ratio its clock against the
// master's asks for, not at the ratio the loop sets now: a device with a
// deep buffer holds what was resampled at earlier ratios (or, recording,
// what will be at later ones), and a lag that jumped with each new ratio
// would turn the loop into an oscillator.
double CDriftSteering::Lag(const State& state, double masterHolds, double queued, double conversion) const
{
    const CEndpoint& device = *state.endpoint;
    const auto jump = static_cast<double>(device.PendingJump());
    if (state.capture) {
        return CaptureFollowerLag(masterHolds, queued, device.ResamplerDelay(), conversion, state.capture->Waiting(),
                                  jump, state.target);
    }
    return RenderFollowerLag(masterHolds, queued, device.ResamplerDelay(), conversion, jump, state.target);
}

// Starts resampling a follower once its lag has moved as drift moves it
// for long enough. A render follower of a render master is held at no lag
// (the configured delays are in the data): what it had is jumped over.
// Paths on two sides of the host cannot be compared that way: a capture
// follower, or any follower of a capture master, is held from then on at
// the lag it started with (a capture follower's with its resampler's delay
// and the frames its queue keeps added): only the drift since is jumped over.
void CDriftSteering::Engage(State& state, double lag, double now, double drift, double conversion)
{
    CEndpoint& device = *state.endpoint;
    if (!state.based) {
        state.based = true;
        state.baseLag = lag;
        state.baseSeconds = now;
        return;
    }
    if (!Drifting(lag - state.baseLag, drift, (now - state.baseSeconds) * m_hostRate, !state.capture)) {
        state.driftingSince = -1.0;
        return;
    }
    if (state.driftingSince < 0) {
        state.driftingSince = now;
        return;
    }
    if (now - state.driftingSince < kEngageSeconds) {
        return;
    }
    device.StartResampling();
    device.Drift().resampling.store(device.Resampling());
    if (state.capture && device.Resampling()) {
        state.target = state.baseLag + device.ResamplerDelay() * conversion + state.capture->Waiting();
    } else if (m_states[static_cast<size_t>(m_master)].capture) {
        state.target = state.baseLag;
    }
}

void CDriftSteering::Steer()
{
    if (m_master < 0) {
        return;
    }
    // The master first: every follower is measured against it.
    State& master = m_states[static_cast<size_t>(m_master)];
    Read(master);
    for (State& state : m_states) {
        if (&state != &master && !state.gone) {
            Read(state);
        }
    }
    if (!master.read) {
        return;  // nothing to measure against this cycle: every ratio holds
    }
    const bool masterSteady = master.filter.IsSteady();
    const double now = master.seconds;
    // Host frames a second, and what the master's path holds in them.
    const double hostRate = master.filter.Rate() / master.endpoint->RateRatio();
    const double masterQueued = Queued(master, now);
    const double masterHolds = (master.capture ? -masterQueued : masterQueued) / master.endpoint->RateRatio();
    Publish(master, 0.0, masterQueued, hostRate);
    for (State& state : m_states) {
        if (&state == &master || state.gone || !state.read) {
            continue;
        }
        CEndpoint& device = *state.endpoint;
        const double queued = Queued(state, now);
        const bool steady = masterSteady && state.filter.IsSteady();
        // The follower's device frames per host frame, and its clock against
        // the master's.
        const double rates = state.filter.Rate() / hostRate;
        const double drift = rates / device.RateRatio() - 1.0;
        // A render follower's ratio is device frames per host frame, a
        // capture follower's host frames per device frame.
        const double conversion = !steady || !(rates > 0.0) ? device.Ratio() : state.capture ? 1.0 / rates : rates;
        if (state.follower && device.Resampling() && !state.based && steady) {
            // Resampled from the start (a device at its own rate): held at
            // where it is first read, as Engage holds a follower.
            state.based = true;
            state.target = state.capture || master.capture ? Lag(state, masterHolds, queued, conversion) : 0.0;
        } else if (state.follower && !device.Resampling() && steady) {
            Engage(state, Lag(state, masterHolds, queued, conversion), now, drift, conversion);
        }
        const double lag = Lag(state, masterHolds, queued, conversion);
        if (state.follower && device.Resampling()) {
            const SDriftStep step = state.controller.Update(now, lag, conversion, steady);
            device.Jump(step.jumpFrames);
            device.SetRatio(step.ratio);
            device.Drift().resyncs.store(state.controller.Resynchronisations());
        }
        Publish(state, lag, queued, hostRate);
    }
}

void CDriftSteering::Publish(State& state, double lag, double queued, double hostRate) const
{
    EndpointDriftFigures& figures = state.endpoint->Drift();
    const State& master = m_states[static_cast<size_t>(m_master)];
    if (master.filter.IsSteady() && state.filter.IsSteady() && hostRate > 0.0) {
        figures.ratePpm.store((state.filter.Rate() / (hostRate * state.endpoint->RateRatio()) - 1.0) * 1e6);
    }
    figures.ratio.store(state.endpoint->Ratio());
    figures.queuedFrames.store(queued);
    figures.offsetFrames.store(lag);
}

#include "drift_steering.h"

#include "master_choice.h"
#include "render_endpoint.h"
#include "stream_clock.h"

#include <cmath>

namespace {

// A follower starts being resampled once its lag has moved this many frames
// from where it started, the way its clock runs against the master's (a
// faster device empties its queue), by at least kEngagePpm, and about as
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
// the stream.
bool Drifting(double moved, double drift, double span)
{
    const double expected = std::fabs(drift) * span;
    return std::fabs(moved) >= kEngageFrames && std::fabs(drift) >= kEngagePpm * 1e-6 && (moved < 0) == (drift > 0) &&
           std::fabs(moved) * kEngageAgreement >= expected && std::fabs(moved) <= expected * kEngageAgreement;
}

}  // namespace

std::vector<bool> CDriftSteering::Prepare(const DriftSetup& setup, const std::vector<CRenderEndpoint*>& devices,
                                          double hostRate)
{
    m_states.assign(devices.size(), State());
    std::vector<SMasterCandidate> candidates;
    for (const CRenderEndpoint* device : devices) {
        candidates.push_back({device->Name(), true});
    }
    m_master = ChooseMaster(candidates, setup.master).index;
    m_anyFollower = false;
    m_hostRate = hostRate;
    std::vector<bool> followers(devices.size(), false);
    for (size_t i = 0; i < devices.size(); ++i) {
        State& state = m_states[i];
        state.endpoint = devices[i];
        SPositionFilterConfig filter;
        filter.nominalRate = devices[i]->Format().sampleRate > 0 ? devices[i]->Format().sampleRate : hostRate;
        state.filter = CPositionFilter(filter);
        SDriftControlConfig control;
        control.sampleRate = hostRate;
        state.controller = CDriftController(control);
        const bool alone = devices.size() < 2;
        state.follower = setup.on && !alone && static_cast<int>(i) != m_master &&
                         setup.uncompensated.count(devices[i]->Name()) == 0;
        followers[i] = state.follower;
        m_anyFollower = m_anyFollower || state.follower;
        using Role = EndpointDriftFigures::Role;
        const Role role = alone                           ? Role::Alone
                          : static_cast<int>(i) == m_master ? Role::Master
                          : state.follower                ? Role::Follower
                                                          : Role::Uncompensated;
        devices[i]->Drift().role.store(role);
        devices[i]->Drift().resampling.store(false);
        devices[i]->Drift().ratio.store(1.0);
        devices[i]->Drift().ratePpm.store(0.0);
        devices[i]->Drift().offsetFrames.store(0.0);
        devices[i]->Drift().queuedFrames.store(0.0);
        devices[i]->Drift().resyncs.store(0);
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
    const double masterQueued = static_cast<double>(master.written) - master.filter.PositionAt(now);
    Publish(master, 0.0, masterQueued);
    for (State& state : m_states) {
        if (&state == &master || state.gone || !state.read) {
            continue;
        }
        CRenderEndpoint& device = *state.endpoint;
        const double queued = static_cast<double>(state.written) - state.filter.PositionAt(now);
        const bool steady = masterSteady && state.filter.IsSteady();
        const double lag = RenderFollowerLag(masterQueued, queued, device.ResamplerDelay(), device.Ratio(),
                                             static_cast<double>(device.PendingJump()), 0.0);
        if (state.follower && !device.Resampling() && steady) {
            if (!state.based) {
                state.based = true;
                state.baseLag = lag;
                state.baseSeconds = now;
            } else if (!Drifting(lag - state.baseLag, state.filter.Rate() / master.filter.Rate() - 1.0,
                                 (now - state.baseSeconds) * m_hostRate)) {
                state.driftingSince = -1.0;
            } else if (state.driftingSince < 0) {
                state.driftingSince = now;
            } else if (now - state.driftingSince >= kEngageSeconds) {
                device.StartResampling();
                device.Drift().resampling.store(device.Resampling());
            }
        }
        if (state.follower && device.Resampling()) {
            const double feedForward = state.filter.Rate() / master.filter.Rate();
            const SDriftStep step = state.controller.Update(now, lag, feedForward, steady);
            device.Jump(step.jumpFrames);
            device.SetRatio(step.ratio);
            device.Drift().resyncs.store(state.controller.Resynchronisations());
        }
        Publish(state, lag, queued);
    }
}

void CDriftSteering::Publish(State& state, double lag, double queued) const
{
    EndpointDriftFigures& figures = state.endpoint->Drift();
    const State& master = m_states[static_cast<size_t>(m_master)];
    if (master.filter.IsSteady() && state.filter.IsSteady() && master.filter.Rate() > 0.0) {
        figures.ratePpm.store((state.filter.Rate() / master.filter.Rate() - 1.0) * 1e6);
    }
    figures.ratio.store(state.endpoint->Ratio());
    figures.queuedFrames.store(queued);
    figures.offsetFrames.store(lag);
}

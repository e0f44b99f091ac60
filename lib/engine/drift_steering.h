#pragma once

#include "drift_controller.h"
#include "position_filter.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

class CCaptureEndpoint;
class CEndpoint;
class CRenderEndpoint;

// How the devices of a stream follow one clock.
struct DriftSetup {
    bool on = true;                             // compensation for the stream
    std::string master;                         // the device named as the clock master (empty: the first render device)
    std::set<std::string> uncompensatedRender;  // render devices left on their own clock
    std::set<std::string> uncompensatedCapture; // capture devices left on their own clock
};

// Keeps the devices of a stream in step although their clocks differ: one
// device is the master, and every other one allowed to (a follower) is
// resampled by a ratio steered so that a render follower plays each host
// frame when the master does, its configured delay apart, and a capture
// follower's frames reach the host as long after it recorded them as they
// did when the stream began.
//
// Each cycle it reads every device's position with a time stamp of the
// stream clock, filters the positions (a delay-locked loop per device), and
// for each follower turns what its path and the master's hold (a render
// path what was handed to the device and not played, a capture path what
// was recorded and not given to the host) into a lag in host frames; a PI
// loop turns the lag into the follower's ratio. A follower's frames pass
// bit for bit until its lag has moved a couple of frames from where it
// started, as its clock against the master's says it must (devices on one
// clock never get there, whatever moment each started at, whatever hiccup
// they met); from then on it is resampled, the lag it had removed by one
// whole-frame jump (a capture follower's path keeps its resampler's delay
// on top: its frames cannot reach the host before they are recorded). A
// follower whose lag leaves its limits later is re-synchronised by a jump,
// once, and counted.
//
// The host's thread prepares it; the engine thread alone runs it, and it
// then allocates nothing. Its figures go to each endpoint's drift figures.
class CDriftSteering {
public:
    // The devices of the stream in lane order, render then capture;
    // answers, for each in that order, whether it may be resampled (a
    // follower). Allocates; the host's thread, before the stream.
    std::vector<bool> Prepare(const DriftSetup& setup, const std::vector<CRenderEndpoint*>& render,
                              const std::vector<CCaptureEndpoint*>& capture, double hostRate);
    // The chosen master among the devices (render then capture); -1 when
    // there is none.
    int Master() const { return m_master; }
    // Whether any device may follow the master: without one there is no
    // need to call Cycle.
    bool Steers() const { return m_anyFollower; }

    // Engine thread, once a cycle after the blocks went out: reads the
    // positions and steers the followers. `dropped(i)` tells whether device
    // i (render then capture) has left the stream.
    template <typename Dropped>
    void Cycle(Dropped dropped)
    {
        for (size_t i = 0; i < m_states.size(); ++i) {
            m_states[i].gone = dropped(i);
        }
        Steer();
    }

private:
    struct State {
        CEndpoint* endpoint = nullptr;
        CCaptureEndpoint* capture = nullptr;  // the same endpoint when it records
        bool follower = false;
        bool gone = false;
        CPositionFilter filter{SPositionFilterConfig{}};
        CDriftController controller{SDriftControlConfig{}};
        int64_t written = 0;
        bool read = false;   // a position this cycle
        bool based = false;  // its lag at its first steady reading is known:
        double baseLag = 0;  // where it started, which drift moves it from,
        double baseSeconds = 0;  // and when
        double driftingSince = -1;  // since when it has moved as drift does; < 0: it has not
        double seconds = 0;  // its time stamp
        double target = 0;   // capture: the lag it is held at, its resampler's delay included
    };
    void Steer();
    void Read(State& state);
    // What the device's path holds now, in frames: handed to a render
    // device and not played, recorded by a capture device and not taken.
    double Queued(const State& state, double now) const;
    double Lag(const State& state, double masterHolds, double queued, double conversion) const;
    void Engage(State& state, double lag, double now, double drift, double conversion);
    void Publish(State& state, double lag, double queued, double hostRate) const;

    std::vector<State> m_states;
    int m_master = -1;
    bool m_anyFollower = false;
    double m_hostRate = 48000.0;
};

#pragma once

#include "drift_controller.h"
#include "position_filter.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

class CRenderEndpoint;

// How the render devices of a stream follow one clock.
struct DriftSetup {
    bool on = true;                      // compensation for the stream
    std::string master;                  // the device named as the clock master (empty: the first render device)
    std::set<std::string> uncompensated; // render devices left on their own clock
};

// Keeps the render devices of a stream in step although their clocks
// differ: one device is the master, and every other one allowed to
// (a follower) is resampled by a ratio steered so that it plays each host
// frame when the master does, its configured delay apart.
//
// Each cycle it reads every device's position with a time stamp of the
// stream clock, filters the positions (a delay-locked loop per device), and
// for each follower turns the difference between what its path and the
// master's hold into a lag in host frames; a PI loop turns the lag into the
// follower's ratio. A follower plays bit for bit what the host gave until
// its lag has moved a couple of frames from where it started, as its clock
// against the master's says it must (devices on one clock never get there,
// whatever moment each started at, whatever hiccup they met); from then
// on it is resampled, the lag it had removed by one whole-frame jump. A
// follower whose lag leaves its limits later is re-synchronised by a jump,
// once, and counted.
//
// The host's thread prepares it; the engine thread alone runs it, and it
// then allocates nothing. Its figures go to each endpoint's drift figures.
class CDriftSteering {
public:
    // The render devices of the stream in lane order; answers, for each,
    // whether it may be resampled (a follower). Allocates; the host's
    // thread, before the stream.
    std::vector<bool> Prepare(const DriftSetup& setup, const std::vector<CRenderEndpoint*>& devices,
                              double hostRate);
    // The chosen master among the devices; -1 when there is none.
    int Master() const { return m_master; }
    // Whether any device may follow the master: without one there is no
    // need to call Cycle.
    bool Steers() const { return m_anyFollower; }

    // Engine thread, once a cycle after the blocks went out: reads the
    // positions and steers the followers. `dropped(i)` tells whether device
    // i has left the stream.
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
        CRenderEndpoint* endpoint = nullptr;
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
    };
    void Steer();
    void Read(State& state);
    void Publish(State& state, double lag, double queued) const;

    std::vector<State> m_states;
    int m_master = -1;
    bool m_anyFollower = false;
    double m_hostRate = 48000.0;
};

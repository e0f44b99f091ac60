// The drift compensation loop in closed loop over computed time: a master
// paces the cycle, followers drift against it, their streams go through
// the real resampler, position filters and controller. One summary line
// per scenario (see DriftSummaryLine), then per follower its details.
//   drift_loop_bench [--short] [--control-memory S] [--control-narrow HZ] [--filter-memory S]
//                    [--steady S] [scenario-substring]
// --short runs a tenth of each scenario's time (for a quick look); the
// others override the loop's settings, to tune them.
#include "loop_model.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<SModelScenario> Scenarios()
{
    std::vector<SModelScenario> list;
    auto add = [&](std::string name, int32_t block, double seconds, std::vector<SModelFollower> followers,
                   bool noisy, bool compensate) {
        SModelScenario sc;
        sc.name = std::move(name);
        sc.blockFrames = block;
        sc.seconds = seconds;
        sc.followers = std::move(followers);
        sc.positionNoise = noisy;
        sc.jitterSeconds = noisy ? 0.003 : 0.0;
        sc.compensate = compensate;
        list.push_back(sc);
    };
    const std::vector<SModelFollower> pm150{{false, -150.0}, {false, 150.0}};
    const std::vector<SModelFollower> pm1000{{false, -1000.0}, {false, 1000.0}};
    const std::vector<SModelFollower> wander{{false, 0.0, 5.0}};
    const std::vector<SModelFollower> capture{{true, 100.0}};
    for (bool on : {true, false}) {
        const std::string off = on ? "" : ", compensation off";
        add("render -150/+150 ppm, 512 frames, 1 h" + off, 512, 3600, pm150, false, on);
        add("render -150/+150 ppm, 64 frames, 10 min" + off, 64, 600, pm150, false, on);
        add("render -150/+150 ppm, noise 1 sample, jitter 3 ms, 512 frames, 1 h" + off, 512, 3600, pm150, true, on);
        add("render -150/+150 ppm, noise 1 sample, jitter 3 ms, 64 frames, 10 min" + off, 64, 600, pm150, true, on);
        add("render -1000/+1000 ppm, noise, jitter, 512 frames, 1 h" + off, 512, 3600, pm1000, true, on);
        add("render wandering 0 to 5 ppm over 1 h, noise, jitter, 512 frames" + off, 512, 3600, wander, true, on);
        add("capture +100 ppm, noise, jitter, 512 frames, 1 h" + off, 512, 3600, capture, true, on);
    }
    return list;
}

}  // namespace

int main(int argc, char** argv)
{
    bool quick = false;
    const char* only = nullptr;
    double controlMemory = -1, filterMemory = -1, steady = -1, controlNarrow = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--short") == 0)
            quick = true;
        else if (std::strcmp(argv[i], "--control-memory") == 0 && i + 1 < argc)
            controlMemory = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--control-narrow") == 0 && i + 1 < argc)
            controlNarrow = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--filter-memory") == 0 && i + 1 < argc)
            filterMemory = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--steady") == 0 && i + 1 < argc)
            steady = std::atof(argv[++i]);
        else
            only = argv[i];
    }
    std::printf("Drift loop model, 48 kHz, libsamplerate sinc-medium, mono; figures after lock "
                "(the whole run when compensation is off).\n"
                "lock: the start of the first second throughout which the offset stays within 1 frame of its target and\n"
                "the ratio within 1 ppm of the true one; the figures count from the end of that second.\n");
    for (SModelScenario sc : Scenarios()) {
        if (only && sc.name.find(only) == std::string::npos)
            continue;
        if (quick)
            sc.seconds /= 10;
        if (controlMemory > 0)
            sc.control.memorySeconds = controlMemory;
        if (controlNarrow > 0)
            sc.control.narrowBandwidthHz = controlNarrow;
        if (filterMemory > 0)
            sc.filter.memorySeconds = filterMemory;
        if (steady >= 0)
            sc.filter.steadySeconds = steady;
        const auto start = std::chrono::steady_clock::now();
        SModelResult result;
        try {
            result = RunDriftModel(sc);
        } catch (const std::exception& e) {
            std::printf("drift %s: failed: %s\n", sc.name.c_str(), e.what());
            return 1;
        }
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%s\n", DriftSummaryLine(sc, result).c_str());
        for (size_t i = 0; i < result.followers.size(); ++i) {
            const SModelFollowerResult& f = result.followers[i];
            std::printf("    follower %zu (%+.0f ppm): lock %.3f s, worst %.3f frames, rms %.3f frames, ratio rms %.3f ppm (from 30 s after lock %.3f ppm), "
                        "final offset %.3f frames, resyncs %lld in all, largest ratio step from 1 %.1f ppm\n",
                        i, sc.followers[i].ppm, f.lockSeconds, f.worstOffsetFrames, f.rmsOffsetFrames, f.ratioRmsPpm, f.settledRatioRmsPpm,
                        f.finalOffsetFrames, static_cast<long long>(f.resyncsTotal), f.worstRatioPpm);
        }
        std::printf("    master underrun %lld, %lld cycles, computed in %.1f s\n",
                    static_cast<long long>(result.masterUnderrunFrames), static_cast<long long>(result.cycles), took);
        std::fflush(stdout);
    }
    return 0;
}

#include "drift_figures.h"

#include "driver_module.h"
#include "telvara_drift_figures.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const char* RoleText(int32_t role, bool resampling)
{
    switch (role) {
    case 1:
        return "clock master";
    case 2:
        return resampling ? "follower, resampled" : "follower, on the master's clock so far";
    case 3:
        return "on its own clock (compensation off)";
    default:
        return "the only device";
    }
}

}  // namespace

void PrintDriftFigures(IASIO* driver, double sampleRate)
{
    const auto read = DriverExport<TelvaraDriftFiguresFunction>(driver, TELVARA_DRIFT_FIGURES);
    if (!read) {
        std::printf("clock drift figures: not available for this driver\n");
        return;
    }
    std::vector<TelvaraDriftFigure> figures(static_cast<size_t>(std::max(read(nullptr, 0), 0)));
    const int filled = read(figures.data(), static_cast<int>(figures.size()));
    figures.resize(std::min(figures.size(), static_cast<size_t>(std::max(filled, 0))));
    std::printf("clock drift of the devices:\n");
    for (const TelvaraDriftFigure& f : figures) {
        std::printf("  %s (%s): %s\n", f.device, f.capture ? "capture" : "render", RoleText(f.role, f.resampling != 0));
        if (f.role == 0) {
            continue;
        }
        std::printf("    rate %+.2f ppm against the master, ratio %.8f, queue %.1f frames, offset from %s "
                    "%+.2f frames (%+.3f ms), %lld resyncs, %lld blocks %s\n",
                    f.ratePpm, f.ratio, f.queuedFrames, f.capture ? "its start" : "its delay", f.offsetFrames,
                    1000.0 * f.offsetFrames / sampleRate, static_cast<long long>(f.resyncs),
                    static_cast<long long>(f.skippedBlocks), f.capture ? "missed" : "skipped");
    }
}

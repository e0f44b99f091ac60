// The export through which a host in the driver's process reads how the
// render devices of the running stream follow one clock
// (include/telvara_drift_figures.h).
#include "driver_lock.h"
#include "telvara_driver.h"

extern "C" int TelvaraDriftFigures(TelvaraDriftFigure* figures, int capacity)
{
    DeviceLock lock;
    return g_pStreamingDriver ? g_pStreamingDriver->CopyDriftFigures(figures, capacity) : 0;
}

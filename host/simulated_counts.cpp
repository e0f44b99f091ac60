#include "simulated_counts.h"

#include "driver_module.h"
#include "simulated_stream_counts.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

void PrintSimulatedStreamCounts(IASIO* driver)
{
    const auto counts = DriverExport<TelvaraSimulatedStreamCountsFunction>(driver, TELVARA_SIMULATED_STREAM_COUNTS);
    if (!counts) {
        std::printf("underrun and overrun counts: not available for this driver\n");
        return;
    }
    std::vector<TelvaraSimulatedStreamCount> devices(static_cast<size_t>(counts(nullptr, 0)));
    const int filled = counts(devices.data(), static_cast<int>(devices.size()));
    devices.resize(std::min(devices.size(), static_cast<size_t>(std::max(filled, 0))));
    std::printf("underrun and overrun frames of the simulated devices:\n");
    for (const TelvaraSimulatedStreamCount& device : devices) {
        std::printf("  %s: %lld underrun, %lld overrun\n", device.device,
                    static_cast<long long>(device.underrunFrames), static_cast<long long>(device.overrunFrames));
    }
}

// Built into the driver over simulated devices only: the simulated devices'
// underrun and overrun counts, for a host in the same process to show.
#include "kssim.h"
#include "simulated_stream_counts.h"

#include <algorithm>
#include <cstring>

extern "C" __declspec(dllexport) int TelvaraSimulatedStreamCounts(TelvaraSimulatedStreamCount* counts, int capacity)
{
    try {
        const std::vector<kssim::Simulation::DeviceStreamCounts> devices = kssim::Simulation::Instance().StreamCounts();
        const int filled = counts ? std::clamp(capacity, 0, static_cast<int>(devices.size())) : 0;
        for (int i = 0; i < filled; ++i) {
            TelvaraSimulatedStreamCount& count = counts[i];
            const std::string& name = devices[static_cast<size_t>(i)].name;
            const size_t length = std::min(name.size(), sizeof count.device - 1);
            std::memcpy(count.device, name.data(), length);
            count.device[length] = '\0';
            count.underrunFrames = devices[static_cast<size_t>(i)].underrunFrames;
            count.overrunFrames = devices[static_cast<size_t>(i)].overrunFrames;
        }
        return static_cast<int>(devices.size());
    } catch (...) {
        // Only allocation can fail; the host then says nothing was counted.
        return 0;
    }
}

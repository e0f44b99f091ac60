#include "device_arrival_watch.h"

#include <algorithm>
#include <atomic>

namespace {

// Streams are numbered over the process, so that a look taken for a stream
// of one driver object never counts for a stream of another.
std::atomic<uint64_t> g_lastStream{0};

}  // namespace

void CDeviceArrivalWatch::Begin(const std::vector<DeviceOpenReport>& reports)
{
    m_entries.clear();
    for (const DeviceOpenReport& report : reports) {
        m_entries.push_back({{report.name, report.direction},
                             report.outcome == DeviceOutcome::Open,
                             report.outcome == DeviceOutcome::Gone});
    }
    m_stream = ++g_lastStream;
    m_back = false;
}

void CDeviceArrivalWatch::End()
{
    m_entries.clear();
    m_stream = 0;
    m_back = false;
}

bool CDeviceArrivalWatch::Awaits(bool engineDropped) const
{
    return m_stream != 0 && !m_back &&
           std::any_of(m_entries.begin(), m_entries.end(),
                       [engineDropped](const Entry& entry) { return !entry.open || engineDropped; });
}

DeviceLook CDeviceArrivalWatch::Awaited(bool engineDropped) const
{
    DeviceLook look;
    if (!Awaits(engineDropped)) {
        return look;
    }
    look.stream = m_stream;
    for (const Entry& entry : m_entries) {
        if (!entry.open || engineDropped) {
            look.devices.push_back(entry.device);
        }
    }
    return look;
}

bool CDeviceArrivalWatch::TakeUp(const DeviceLook& present, AwaitedDevice& back)
{
    if (m_stream == 0 || m_back || present.stream != m_stream) {
        return false;
    }
    for (Entry& entry : m_entries) {
        const bool found =
            std::find(present.devices.begin(), present.devices.end(), entry.device) != present.devices.end();
        if (!found) {
            entry.seenGone = true;
        } else if (entry.seenGone && !m_back) {
            m_back = true;
            back = entry.device;
        }
    }
    return m_back;
}

#pragma once

#include "device_open_report.h"

#include <cstdint>
#include <string>
#include <vector>

// A configured device by its name in config.ini and its direction.
struct AwaitedDevice {
    std::string name;
    StreamDirection direction = StreamDirection::Render;
    bool operator==(const AwaitedDevice&) const = default;
};

// What the control thread is to look for on behalf of one stream, or what
// it found of that: the stream is named, so that a look that took a while
// never counts for a later stream.
struct DeviceLook {
    uint64_t stream = 0;
    std::vector<AwaitedDevice> devices;
};

// The configured devices a running stream goes without, and which of them
// has come back. A device counts as back once a look finds it after it was
// seen gone (not found when the stream's devices were opened, or missing at
// an earlier look): a device left out for another reason, or dropped while
// it stays plugged in, never counts. The first device back ends the watch
// until the next stream: the host resets once for it and opens it then.
// The driver's, under the device lock.
class CDeviceArrivalWatch {
public:
    // A stream started with the devices of these reports.
    void Begin(const std::vector<DeviceOpenReport>& reports);
    void End();
    // What to look for: the devices that did not open, and once the engine
    // dropped one, the open ones too (it does not say which went). Empty
    // with no stream, when every configured device streams, and after a
    // device came back.
    DeviceLook Awaited(bool engineDropped) const;
    // Whether Awaited has any device (without making the list).
    bool Awaits(bool engineDropped) const;
    // Every device of both directions that a look for Awaited found, with
    // that look's stream. Answers whether a device is back (then `back`
    // names it).
    bool TakeUp(const DeviceLook& present, AwaitedDevice& back);

private:
    struct Entry {
        AwaitedDevice device;
        bool open = false;
        bool seenGone = false;
    };
    std::vector<Entry> m_entries;
    uint64_t m_stream = 0;  // 0: none runs
    bool m_back = false;
};

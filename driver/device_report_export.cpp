// The export through which a host in the driver's process reads the report
// of the latest device open (include/telvara_device_report.h).
#include "device_report.h"
#include "telvara_device_report.h"

#include <cstring>

extern "C" int TelvaraDeviceReport(char* text, int capacity)
{
    try {
        const std::string report = LatestDeviceReport();
        const int needed = static_cast<int>(report.size() + 1);
        if (text && capacity >= needed) {
            std::memcpy(text, report.c_str(), report.size() + 1);
        }
        return needed;
    } catch (...) {
        // Only the copy of the report can fail (memory): nothing to tell.
        return 0;
    }
}

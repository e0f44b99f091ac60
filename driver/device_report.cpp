#include "device_report.h"

#include <mutex>

namespace {

std::mutex& ReportLock()
{
    static std::mutex lock;
    return lock;
}

std::string& Report()
{
    static std::string report;
    return report;
}

}  // namespace

void PublishDeviceReport(const std::string& text)
{
    std::lock_guard<std::mutex> lock(ReportLock());
    Report() = text;
}

std::string LatestDeviceReport()
{
    std::lock_guard<std::mutex> lock(ReportLock());
    return Report();
}

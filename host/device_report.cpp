#include "device_report.h"

#include "driver_module.h"
#include "telvara_device_report.h"

#include <cstdio>
#include <string>
#include <vector>

void PrintDeviceReport(IASIO* driver)
{
    const auto report = DriverExport<TelvaraDeviceReportFunction>(driver, TELVARA_DEVICE_REPORT);
    if (!report) {
        std::printf("devices:       not reported by this driver\n");
        return;
    }
    // The report may grow between the two calls (another driver object of
    // the process opening): ask again with the new size, a few times at most.
    std::vector<char> text(1, '\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int needed = report(text.data(), static_cast<int>(text.size()));
        if (needed <= 0 || static_cast<size_t>(needed) <= text.size()) {
            break;
        }
        text.assign(static_cast<size_t>(needed), '\0');
    }
    std::printf("devices:\n");
    std::string line;
    for (const char* at = text.data(); *at; ++at) {
        if (*at == '\n') {
            std::printf("  %s\n", line.c_str());
            line.clear();
        } else {
            line += *at;
        }
    }
    if (!line.empty()) {
        std::printf("  %s\n", line.c_str());
    }
}

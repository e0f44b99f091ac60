#pragma once

#include <string>

// The report of the latest device open of any driver object in this
// process, one line per configured device (OpenReportText), for a host to
// read through the driver library's TelvaraDeviceReport export. Any thread.
void PublishDeviceReport(const std::string& text);
std::string LatestDeviceReport();

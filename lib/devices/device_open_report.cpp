#include "device_open_report.h"

#include <algorithm>

bool TakesRate(const DeviceOpenReport& report, double rate)
{
    if (report.outcome != DeviceOutcome::Open) {
        return false;
    }
    if (rate == static_cast<double>(report.sampleRate) || report.rates.empty() || report.ownRate != 0) {
        return true;
    }
    return std::any_of(report.rates.begin(), report.rates.end(), [rate](const RateSpan& span) {
        return rate >= static_cast<double>(span.lowest) && rate <= static_cast<double>(span.highest);
    });
}

std::string OutcomeText(const DeviceOpenReport& report)
{
    switch (report.outcome) {
    case DeviceOutcome::Open:
        // Standard streaming goes without saying; a WaveRT buffer is named.
        return "open, " + report.format +
               (report.transport.empty() || report.transport == "standard streaming" ? "" : ", " + report.transport) +
               (report.ownRate != 0 ? ", resampled from the host's " + std::to_string(report.sampleRate) + " Hz" : "");
    case DeviceOutcome::Busy: return "in use by another program";
    case DeviceOutcome::RateRefused: return "does not take " + std::to_string(report.sampleRate) + " Hz";
    case DeviceOutcome::FormatRefused: return "refused the sample format";
    case DeviceOutcome::Gone: return "not found";
    case DeviceOutcome::Unusable: return "cannot stream here";
    }
    return "unknown";
}

std::string OpenReportText(const std::vector<DeviceOpenReport>& reports)
{
    if (reports.empty()) {
        return "(no devices configured)\n";
    }
    std::string text;
    for (const DeviceOpenReport& report : reports) {
        text += report.direction == StreamDirection::Render ? "out  " : "in   ";
        text += report.name + ": " + OutcomeText(report) + "\n";
    }
    return text;
}

#include "left_out_message.h"

#include "driver_texts.h"

#include <cstdio>

namespace {

const char* ReasonOf(DeviceOutcome outcome)
{
    switch (outcome) {
    case DeviceOutcome::Busy: return DriverTexts::kReasonBusy;
    case DeviceOutcome::RateRefused: return DriverTexts::kReasonRate;
    case DeviceOutcome::FormatRefused: return DriverTexts::kReasonFormat;
    case DeviceOutcome::Gone: return DriverTexts::kReasonGone;
    case DeviceOutcome::Unusable:
    case DeviceOutcome::Open: break;
    }
    return DriverTexts::kReasonUnusable;
}

// The longest beginning of text within `bytes` that ends between whole GBK
// characters.
std::string WholeGbkPrefix(const std::string& text, size_t bytes)
{
    std::vector<char> field(bytes + 1);
    DriverTexts::CopyWholeGbk(field.data(), field.size(), text.c_str());
    return field.data();
}

std::string MoreText(size_t count)
{
    char text[32];
    std::snprintf(text, sizeof text, DriverTexts::kMoreLeftOut, static_cast<int>(count));
    return text;
}

}  // namespace

std::string LeftOutMessage(const std::vector<DeviceOpenReport>& reports, const std::string& lead, size_t capacity)
{
    std::vector<std::string> items;
    for (const DeviceOpenReport& report : reports) {
        if (report.outcome != DeviceOutcome::Open) {
            items.push_back(report.name + "(" + ReasonOf(report.outcome) + ")");
        }
    }
    if (items.empty() || capacity == 0) {
        return std::string();
    }
    const size_t limit = capacity - 1;
    std::string text = WholeGbkPrefix(lead, limit);
    for (size_t i = 0; i < items.size(); ++i) {
        const std::string separator = i == 0 ? "" : ";";
        const size_t after = items.size() - i - 1;
        const size_t room = after ? MoreText(after).size() : 0;
        if (text.size() + separator.size() + items[i].size() + room <= limit) {
            text += separator + items[i];
            continue;
        }
        // From here on the devices are counted; the first one is named at
        // least in part, so that the field never holds the lead alone.
        if (i == 0) {
            const std::string tail = after ? MoreText(after) : std::string();
            if (text.size() + tail.size() < limit) {
                text += WholeGbkPrefix(items[0], limit - text.size() - tail.size());
                text += tail;
            }
        } else if (const std::string more = MoreText(items.size() - i); text.size() + more.size() <= limit) {
            text += more;
        }
        break;
    }
    return text;
}

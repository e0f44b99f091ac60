#pragma once

#include <chrono>
#include <string>

// The start-up usage request: one HTTP/1.0 GET of "/go1?id=<site id>&pvFlag=1"
// to the statistics endpoint. It runs on the GUI thread before the message
// loop, so the whole exchange is bounded by kUsagePingBudget: an unreachable
// or silent server must not freeze the icon.

inline constexpr std::chrono::milliseconds kUsagePingBudget{3000};

enum class UsagePingOutcome {
    Skipped,    // no endpoint built in: nothing is sent
    Answered,   // a response was read (its status and body are not examined)
    Failed,     // refused, unreachable, timed out or malformed
};

// The request target for a site id.
std::string UsageRequestTarget(const std::string& siteId);

// Sends the request to endpoint (an http URL; empty skips with a trace). No
// failure is shown or retried: the panel works the same either way.
UsagePingOutcome SendUsagePing(const std::string& endpoint, const std::string& siteId);

#include "usage_ping.h"

#include "debug_trace.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/Net.h>
#include <Poco/Timespan.h>
#include <Poco/URI.h>

#include <istream>

namespace {

using Clock = std::chrono::steady_clock;

// What is left of the budget, at least one millisecond (a zero time-out
// would mean "wait for ever" to the sockets).
Poco::Timespan Remaining(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    return Poco::Timespan(left > 1000 ? left : 1000);
}

}  // namespace

std::string UsageRequestTarget(const std::string& siteId)
{
    return "/go1?id=" + siteId + "&pvFlag=1";
}

UsagePingOutcome SendUsagePing(const std::string& endpoint, const std::string& siteId)
{
    if (endpoint.empty()) {
        DebugTrace("usage request skipped: no statistics endpoint built in\n");
        return UsagePingOutcome::Skipped;
    }
    const Clock::time_point deadline = Clock::now() + kUsagePingBudget;
    std::string discarded;
    try {
        Poco::Net::initializeNetwork();
        const Poco::URI uri(endpoint);
        Poco::Net::HTTPClientSession session(uri.getHost(), uri.getPort());
        session.setTimeout(Remaining(deadline));
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, UsageRequestTarget(siteId),
                                       Poco::Net::HTTPMessage::HTTP_1_0);
        session.sendRequest(request);
        session.socket().setReceiveTimeout(Remaining(deadline));
        Poco::Net::HTTPResponse response;
        std::istream& body = session.receiveResponse(response);
        // The body is read and thrown away, 8 KiB at a time, and only while
        // the budget lasts: a server that trickles bytes cannot hold us.
        char buffer[8192];
        while (body && Clock::now() < deadline) {
            session.socket().setReceiveTimeout(Remaining(deadline));
            body.read(buffer, sizeof buffer);
            discarded.append(buffer, static_cast<size_t>(body.gcount()));
        }
        return UsagePingOutcome::Answered;
    } catch (const Poco::Exception& e) {
        discarded = e.displayText();
    } catch (...) {
    }
    return UsagePingOutcome::Failed;
}

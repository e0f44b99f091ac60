// The start-up usage request against servers on 127.0.0.1: the exact bytes,
// and a bounded wait whatever the server does.
#include "debug_output_capture.h"
#include "loopback_http_server.h"
#include "usage_ping.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

// Sends the request and reports how long it took (figures for the log, the
// bound is asserted by the caller).
UsagePingOutcome TimedPing(const std::string& endpoint, const char* what, double& seconds)
{
    const Clock::time_point start = Clock::now();
    const UsagePingOutcome outcome = SendUsagePing(endpoint, "4711");
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("[ measure  ] usage request, %s: %.3f s\n", what, seconds);
    return outcome;
}

// The library's own default would wait a minute; ours gives up within its
// budget plus scheduling slack.
constexpr double kBoundSeconds = std::chrono::duration<double>(kUsagePingBudget).count() + 2.0;

TEST(UsagePingTest, RequestTargetCarriesTheSiteIdAndThePageViewFlag)
{
    EXPECT_EQ(UsageRequestTarget("4711"), "/go1?id=4711&pvFlag=1");
    EXPECT_EQ(UsageRequestTarget("1"), "/go1?id=1&pvFlag=1");
}

TEST(UsagePingTest, AnAnsweringServerReceivesOneHttp10GetWithItsHost)
{
    LoopbackHttpServer server(LoopbackHttpServer::Behaviour::Answer);
    ASSERT_TRUE(server.Listening());
    double seconds = 0;
    EXPECT_EQ(TimedPing(server.Endpoint(), "answering server", seconds), UsagePingOutcome::Answered);
    const std::string request = server.WaitForRequest(5000);
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    EXPECT_EQ(request.substr(0, request.find("\r\n") + 2), "GET /go1?id=4711&pvFlag=1 HTTP/1.0\r\n");
    EXPECT_NE(request.find("\r\nHost: " + host + "\r\n"), std::string::npos) << request;
    EXPECT_EQ(request, "GET /go1?id=4711&pvFlag=1 HTTP/1.0\r\nConnection: Close\r\nHost: " + host + "\r\n\r\n");
    EXPECT_EQ(server.Connections(), 1);
}

TEST(UsagePingTest, ASilentServerIsGivenUpWithinTheBudget)
{
    LoopbackHttpServer server(LoopbackHttpServer::Behaviour::Silent);
    ASSERT_TRUE(server.Listening());
    double seconds = 0;
    EXPECT_EQ(TimedPing(server.Endpoint(), "server that accepts and never answers", seconds),
              UsagePingOutcome::Failed);
    EXPECT_LT(seconds, kBoundSeconds);
    EXPECT_EQ(server.Connections(), 1);
}

TEST(UsagePingTest, ARefusedConnectionFailsAtOnce)
{
    double seconds = 0;
    EXPECT_EQ(TimedPing("http://127.0.0.1:" + std::to_string(RefusingLoopbackPort()), "refused connection", seconds),
              UsagePingOutcome::Failed);
    EXPECT_LT(seconds, kBoundSeconds);
}

TEST(UsagePingTest, AnEmptyEndpointSendsNothingAndSaysSo)
{
    DebugOutputCapture trace;
    double seconds = 0;
    EXPECT_EQ(TimedPing("", "empty endpoint", seconds), UsagePingOutcome::Skipped);
    EXPECT_TRUE(trace.Contains("[TELVARA]usage request skipped: no statistics endpoint built in\n"));
}

TEST(UsagePingTest, AnEndpointThatIsNoUrlFailsQuietly)
{
    double seconds = 0;
    EXPECT_EQ(TimedPing("http://[::1", "malformed endpoint", seconds), UsagePingOutcome::Failed);
}

}  // namespace

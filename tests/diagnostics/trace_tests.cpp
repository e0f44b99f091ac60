#include "debug_trace.h"
#include "ks_trace.h"
#include "ks_trace_level_guard.h"
#include "trace_capture.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

TEST(DebugTrace, PrefixesTheFormattedText)
{
    TraceCapture capture;
    DebugTrace("%d", 42);
    DebugTrace("CTelvaraDriver::start Enter\n");
    DebugTrace("Error: %s.  hr = 0x%08x\n\n", "no pin", 0x80070002u);
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"[TELVARA]42", "[TELVARA]CTelvaraDriver::start Enter\n",
                                                         "[TELVARA]Error: no pin.  hr = 0x80070002\n\n"}));
}

TEST(DebugTrace, CutsLongTextTo4095Characters)
{
    TraceCapture capture;
    const std::string longText(5000, 'x');
    DebugTrace("%s", longText.c_str());
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 4095u);
    EXPECT_EQ(lines[0], "[TELVARA]" + std::string(4095 - 9, 'x'));
}

TEST(DebugTrace, TextOfExactly4095CharactersIsNotCut)
{
    TraceCapture capture;
    DebugTrace("%s", std::string(4095 - 9, 'y').c_str());
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(capture.Lines()[0].size(), 4095u);
}

TEST(DebugTrace, AFormatTooLongForThePrefixBufferIsSentAsPlainText)
{
    TraceCapture capture;
    // The prefix and the format overflow the 4096-byte buffer in the middle of
    // "%s": a directive cut in half must never reach the formatter.
    std::string format(4085, 'z');
    format += "%s";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    DebugTrace(format.c_str(), "never used");
#pragma GCC diagnostic pop
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"[TELVARA]" + std::string(4085, 'z') + "%"}));
}

TEST(DebugTrace, LinesFromManyThreadsArriveWhole)
{
    TraceCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                DebugTrace("thread %d line %d", t, i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 200u);
    for (const auto& line : lines) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "[TELVARA]thread %d line %d", &t, &i), 2) << line;
    }
}

TEST(KsTrace, ThresholdZeroSilencesEveryLevel)
{
    KsTraceLevelGuard guard(0);
    TraceCapture capture;
    for (int level = 1; level <= 6; ++level) {
        KsTrace(level, "level %d", level);
    }
    EXPECT_TRUE(capture.Lines().empty());
}

TEST(KsTrace, ThresholdSixLetsEveryLevelThroughWithoutPrefix)
{
    KsTraceLevelGuard guard(6);
    TraceCapture capture;
    for (int level = 1; level <= 6; ++level) {
        KsTrace(level, "level %d\n", level);
    }
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"level 1\n", "level 2\n", "level 3\n", "level 4\n",
                                                         "level 5\n", "level 6\n"}));
}

TEST(KsTrace, EmitsOnlyLevelsUpToTheThreshold)
{
    KsTraceLevelGuard guard(3);
    TraceCapture capture;
    KsTrace(KSTRACE_ERROR, "error");
    KsTrace(KSTRACE_PROPERTY, "property");
    KsTrace(KSTRACE_OUTCOME, "outcome");
    KsTrace(KSTRACE_ENTRY_EXIT, "%s Leave, returning %#08x", "CKsPin::SetState", 0x80004005u);
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"error", "property"}));
}

TEST(KsTrace, CutsLongTextTo259Characters)
{
    KsTraceLevelGuard guard(1);
    TraceCapture capture;
    KsTrace(1, "CKsFilter::Instantiate: CreateFile failed for device %s.  ErrorCode = 0x%08x",
            std::string(300, 'p').c_str(), 2u);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 259u);
    EXPECT_EQ(lines[0].substr(0, 53), "CKsFilter::Instantiate: CreateFile failed for device ");
}

TEST(KsTrace, HresultFormatMatchesTheLeaveLine)
{
    KsTraceLevelGuard guard(6);
    TraceCapture capture;
    KsTrace(6, "%s Leave, returning %#08x", "CKsPin::SetState", 0x80004005u);
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"CKsPin::SetState Leave, returning 0x80004005"}));
}

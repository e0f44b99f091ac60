// The trace file users can send: bounded and rotated, whole lines in order,
// written by its own thread, switched on by the settings.
#include "appdata_redirect.h"
#include "debug_trace.h"
#include "kssim.h"
#include "telvara_driver.h"
#include "trace_file.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 2;
    }
    return lines;
}

}  // namespace

TEST(TraceFile, RotatesAtItsBoundKeepingWholeLinesInOrderFromEveryThread)
{
    AppDataRedirect folder(L"telvara-trace-rotation");
    constexpr size_t kFileBytes = 8192;
    ASSERT_TRUE(TraceFile::Start(folder.Folder(), kFileBytes));
    // Three threads, 300 numbered lines each of about 60 bytes: some 54 KB,
    // many times the bound. A pause now and then lets the writer keep up.
    constexpr int kThreads = 3;
    constexpr int kLines = 300;
    const uint64_t droppedBefore = TraceFile::DroppedLines();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                DebugTrace("thread %d line %04d ..................................\n", t, i);
                if (i % 50 == 49) Sleep(150);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    TraceFile::Stop();
    EXPECT_FALSE(TraceFile::IsRunning());

    const std::string current = ReadFileBytes(folder.Folder() + "\\telvara-trace.log");
    const std::string older = ReadFileBytes(folder.Folder() + "\\telvara-trace.1.log");
    EXPECT_LE(current.size(), kFileBytes);
    EXPECT_LE(older.size(), kFileBytes);
    EXPECT_GT(older.size(), kFileBytes / 2) << "the older file was rotated when full";
    // Each thread's lines: whole, and in order across the older file and
    // the current one, ending with its last line (unless the queue dropped
    // lines, which the file then says).
    const uint64_t dropped = TraceFile::DroppedLines() - droppedBefore;
    std::vector<int> last(kThreads, -1);
    for (const std::string& line : Lines(older + current)) {
        int t = -1, i = -1;
        if (line.rfind("[TELVARA]trace: ", 0) == 0) {
            EXPECT_GT(dropped, 0u) << line;
            continue;
        }
        ASSERT_EQ(std::sscanf(line.c_str(), "[TELVARA]thread %d line %d", &t, &i), 2) << "torn line: " << line;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_GT(i, last[t]) << line;
        EXPECT_EQ(line.size(), std::string("[TELVARA]thread 0 line 0000 ..................................").size());
        last[t] = i;
    }
    if (dropped == 0) {
        for (int t = 0; t < kThreads; ++t) EXPECT_EQ(last[t], kLines - 1) << "thread " << t;
    }
}

TEST(TraceFile, AFullQueueDropsAndCountsLinesInsteadOfWaiting)
{
    AppDataRedirect folder(L"telvara-trace-full");
    ASSERT_TRUE(TraceFile::Start(folder.Folder(), 1 << 20));
    const uint64_t droppedBefore = TraceFile::DroppedLines();
    // Far more lines than the queue holds, faster than the writer's turn
    // (straight into the queue: the debugger output is slow under Wine).
    constexpr int kLines = 5000;
    for (int i = 0; i < kLines; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "[TELVARA]burst %d\n", i);
        TraceFile::Line(line);
    }
    TraceFile::Stop();
    const uint64_t dropped = TraceFile::DroppedLines() - droppedBefore;
    int written = 0;
    uint64_t noted = 0;
    for (const std::string& line : Lines(ReadFileBytes(folder.Folder() + "\\telvara-trace.log"))) {
        unsigned long long count = 0;
        if (std::sscanf(line.c_str(), "[TELVARA]trace: %llu lines dropped", &count) == 1) {
            noted += count;
        } else if (line.rfind("[TELVARA]burst ", 0) == 0) {
            ++written;
        }
    }
    EXPECT_GT(dropped, 0u) << "5000 lines at once overflow the queue";
    EXPECT_EQ(noted, dropped) << "the file says how many it lost";
    EXPECT_EQ(static_cast<uint64_t>(written) + dropped, static_cast<uint64_t>(kLines));
}

TEST(TraceFile, TheSettingsKeySwitchesItOnForTheDriverObject)
{
    AppDataRedirect appData(L"telvara-trace-driver");
    CreateDirectoryA(appData.SettingsFolder().c_str(), nullptr);
    kssim::Simulation::Instance().Reset({kssim::RenderDevice("Spk A", "\\\\?\\trace#render#a")});
    const std::string file = appData.SettingsFolder() + "\\telvara-trace.log";
    for (const bool on : {false, true}) {
        SCOPED_TRACE(on ? "TraceFile=1" : "no TraceFile");
        WriteFileBytes(appData.SettingsFile(), std::string("[default]\r\nout=Spk A\r\n") + (on ? "TraceFile=1\r\n" : "") +
                                                   "[Spk A]\r\noutMaximumChannels=2\r\n");
        auto* driver = new CTelvaraDriver(nullptr);
        driver->NonDelegatingAddRef();
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        EXPECT_EQ(TraceFile::IsRunning(), on);
        driver->Release();
        EXPECT_FALSE(TraceFile::IsRunning()) << "the last driver object ends the writer";
        EXPECT_EQ(Exists(file), on);
    }
    EXPECT_NE(ReadFileBytes(file).find("[TELVARA]CTelvaraDriver::init Enter\r\n"), std::string::npos);
    kssim::Simulation::Instance().Reset();
}

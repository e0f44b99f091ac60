#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The trace written to a file users can send: every DebugTrace and KsTrace
// line, also in "telvara-trace.log" in a given folder, size-bounded and
// rotated (the full file becomes "telvara-trace.1.log", replacing the one
// before). Callers, the engine thread among them, only put the line into a
// fixed queue without locks or system calls; a writer thread of its own
// takes the lines from there every 100 ms and writes them. A line that
// finds the queue full is dropped and counted, and the count is written in
// its place.
namespace TraceFile {

inline constexpr const char* kFileName = "telvara-trace.log";
inline constexpr const char* kOlderFileName = "telvara-trace.1.log";
inline constexpr size_t kDefaultFileBytes = 1024 * 1024;

// Starts writing into `folder` (created by the caller) with files of at most
// `fileBytes` each; a user count: each Start needs its Stop. Further Starts
// while running only count. False when the file cannot be opened.
bool Start(const std::string& folder, size_t fileBytes = kDefaultFileBytes);
// The last Stop writes what is queued and ends the writer thread (bounded:
// at most one write of the queue).
void Stop();
bool IsRunning();

// Hands a line to the writer when running; never blocks, never allocates.
void Line(const char* text);

// Lines dropped because the queue was full, since the process started.
uint64_t DroppedLines();

}  // namespace TraceFile

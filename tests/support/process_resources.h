#pragma once

#include <windows.h>

#include <cstddef>

// What a process holds, for tests that look for leaks over many cycles.

// Kernel handles of this process, from the system's handle table: Wine
// answers GetProcessHandleCount with 0.
DWORD HandleCount();
int ThreadCount();
// Committed private memory (PagefileUsage: Wine leaves PrivateUsage at 0).
size_t CommittedBytes();
// Waits (at most timeoutMs) until threads and handles are back at the given
// counts: ending threads take a moment to leave the tables. Adds a test
// failure naming both counts when they are not.
bool CountsSettleAt(int threads, DWORD handles, DWORD timeoutMs = 2000);

#pragma once

// What engine_bench watches inside its own process while the driver streams:
// heap calls, calls into the simulated devices (the kernel-streaming seam)
// and kernel-object calls (events and waits), each counted on the engine
// thread only and put in a category by where the thread is at that moment.
//
// How the calls are seen:
//   - heap: the program replaces the global operator new and delete (the
//     driver, kssim, POCO and libstdc++ are linked statically, so they all
//     come here), and redirects this executable's import slots of malloc,
//     calloc, realloc, free and HeapAlloc/HeapReAlloc/HeapFree (C code and
//     direct heap calls of the statically linked code). Allocations that
//     Wine or the C runtime make inside their own DLLs are not seen.
//   - the seam: the link redirects every call of KsSystem::DeviceIoControl
//     (the stream and property requests) through a wrapper (ld --wrap).
//   - kernel objects: import slots of SetEvent, ResetEvent,
//     WaitForSingleObject and WaitForMultipleObjects.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace engine_bench {

// Where the engine thread is when it makes a call.
enum Category { kDriver = 0, kSimulated = 1, kHost = 2, kCategoryCount = 3 };

struct Counters {
    uint64_t allocations[kCategoryCount] = {};  // operator new, malloc, calloc, realloc to a new block, HeapAlloc
    uint64_t frees[kCategoryCount] = {};
    uint64_t otherThreadAllocations = 0;        // every other thread of the process
    uint64_t seamCalls = 0;
    uint64_t seamTicks = 0;                     // time stamp counter ticks inside the seam
    uint64_t syncCalls[kCategoryCount] = {};   // event and wait calls
    uint64_t syncTicks[kCategoryCount] = {};
};

inline uint64_t Ticks()
{
    return __builtin_ia32_rdtsc();
}

// Redirects the import slots; once, at the start of main.
void InstallHooks();
// The thread whose calls are counted (the engine thread), 0 for none.
void SetWatchedThread(DWORD threadId);
// The host's callback code runs between these two (on the engine thread).
void EnterHost();
void LeaveHost();
Counters Snapshot();
// The running totals of the watched thread alone (cheap: for every cycle).
uint64_t SeamTicks();
uint64_t SyncTicks(Category category);
Counters Difference(const Counters& later, const Counters& earlier);

// While on, every allocation of the watched thread outside the host also
// records its call stack; sites are kept across scenarios.
void SetSiteSampling(bool on);
void ClearSites();

struct Site {
    Category category;
    uint64_t count;
    std::vector<std::string> frames;  // innermost first, the probe's own frames left out
};
std::vector<Site> Sites();

// Time stamp counter ticks per second, measured against QueryPerformanceCounter.
double TicksPerSecond();

}  // namespace engine_bench

#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>

// Counting what a module calls, per thread, for tests that ask what one
// thread (a real-time thread, say) does: a module's import pointed at a
// replacement, a counter the replacement bumps for the calling thread, and a
// look at the calling thread's stack to leave out calls made on behalf of
// someone else. None of them allocates or takes a lock, so a replacement of
// malloc itself may use them.

// Points one import of a module at a replacement for as long as it lives
// (see import_slot.h); Original() is where the import pointed before.
class ImportRedirect {
public:
    // Any DLL the module imports function from; Installed() is false when
    // the module does not import it by name.
    ImportRedirect(HMODULE module, const char* function, void* replacement);
    ~ImportRedirect();
    ImportRedirect(const ImportRedirect&) = delete;
    ImportRedirect& operator=(const ImportRedirect&) = delete;

    bool Installed() const { return m_slot != nullptr; }
    void* Original() const { return m_original; }
    // The DLL the import comes from, or "" when not installed.
    const char* Dll() const { return m_dll; }

private:
    void** m_slot = nullptr;
    void* m_original = nullptr;
    const char* m_dll = "";
};

// Calls counted per thread id, for up to kThreads threads (more go into
// Overflow()).
class PerThreadCount {
public:
    static constexpr size_t kThreads = 256;

    void Add();  // for the calling thread
    long Of(DWORD threadId) const;
    long Total() const;
    long Overflow() const { return m_overflow.load(); }
    void Clear();

private:
    std::atomic<DWORD> m_ids[kThreads] = {};
    std::atomic<long> m_counts[kThreads] = {};
    std::atomic<long> m_overflow{0};
};

// True when one of the functions starting at these addresses is on the
// calling thread's stack (the caller of the caller and further out; at most
// 62 frames). Found through the unwind tables of 64-bit code; in a 32-bit
// process the answer is always false (see StackWalkAvailable).
bool StackPassesThrough(const void* const* functionStarts, size_t count);
bool StackWalkAvailable();

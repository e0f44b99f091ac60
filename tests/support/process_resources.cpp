#include "process_resources.h"

#include <gtest/gtest.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// SystemExtendedHandleInformation: every handle of every process.
struct HandleEntryEx {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};
struct HandleTableEx {
    ULONG_PTR numberOfHandles;
    ULONG_PTR reserved;
    HandleEntryEx handles[1];
};
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

}  // namespace

DWORD HandleCount()
{
    std::vector<uint8_t> buffer(1 << 20);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        const LONG status =
            NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(kSystemExtendedHandleInformation),
                                     buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kStatusInfoLengthMismatch) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status != 0) {
            break;
        }
        const auto* table = reinterpret_cast<const HandleTableEx*>(buffer.data());
        DWORD count = 0;
        for (ULONG_PTR i = 0; i < table->numberOfHandles; ++i) {
            count += table->handles[i].processId == GetCurrentProcessId() ? 1 : 0;
        }
        return count;
    }
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

int ThreadCount()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

size_t CommittedBytes()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
}

bool CountsSettleAt(int threads, DWORD handles, DWORD timeoutMs)
{
    for (DWORD waited = 0;; waited += 10) {
        if (ThreadCount() == threads && HandleCount() == handles) {
            return true;
        }
        if (waited >= timeoutMs) {
            ADD_FAILURE() << "threads " << ThreadCount() << " (expected " << threads << "), handles " << HandleCount()
                          << " (expected " << handles << ")";
            return false;
        }
        Sleep(10);
    }
}

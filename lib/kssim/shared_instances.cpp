#include "shared_instances.h"

#include <cstdint>

namespace kssim::detail {
namespace {

constexpr DWORD kSlots = 1024;
constexpr DWORD kLockWaitMs = 2000;

struct Slot {
    uint64_t key;
    DWORD processId;  // 0: free
    DWORD unused;
};

struct Table {
    HANDLE mapping = nullptr;
    HANDLE lock = nullptr;
    Slot* slots = nullptr;
};

// Opened once and kept for the life of the process: the system closes the
// handles at exit, and the table outlives every process that uses it only
// as long as one of them runs.
Table& TheTable()
{
    static Table table = [] {
        Table made;
        made.lock = CreateMutexA(nullptr, FALSE, "Local\\kssim-pin-instances-lock");
        made.mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSlots * sizeof(Slot),
                                          "Local\\kssim-pin-instances");
        if (made.mapping) {
            made.slots = static_cast<Slot*>(MapViewOfFile(made.mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        }
        return made;
    }();
    return table;
}

bool ProcessRuns(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process) {
        // Gone, or one this process may not look at: only a process that
        // cannot be asked about counts as gone when it is not there at all.
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD code = 0;
    const bool runs = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return runs;
}

// Holds the cross-process lock; Held() is false when the table cannot be used.
class TableLock {
public:
    TableLock() : m_table(TheTable())
    {
        if (m_table.slots && m_table.lock) {
            const DWORD waited = WaitForSingleObject(m_table.lock, kLockWaitMs);
            // An abandoned lock was held by a process that ended mid-update
            // of one slot at most: the slot is whole or free either way.
            m_held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
        }
    }
    ~TableLock()
    {
        if (m_held) {
            ReleaseMutex(m_table.lock);
        }
    }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

    bool Held() const { return m_held; }
    Slot* Slots() const { return m_table.slots; }

private:
    Table& m_table;
    bool m_held = false;
};

int CountElsewhere(Slot* slots, uint64_t key)
{
    const DWORD self = GetCurrentProcessId();
    int count = 0;
    for (DWORD i = 0; i < kSlots; ++i) {
        Slot& slot = slots[i];
        if (slot.processId == 0 || slot.key != key || slot.processId == self) {
            continue;
        }
        if (ProcessRuns(slot.processId)) {
            ++count;
        } else {
            slot.processId = 0;
        }
    }
    return count;
}

}  // namespace

unsigned long long SharedPinKey(const std::string& scope, const std::string& devicePath, ULONG pinId)
{
    // FNV-1a over the lower-cased scope and device path and the pin id.
    uint64_t hash = 14695981039346656037ull;
    auto add = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 1099511628211ull;
    };
    for (const std::string* text : {&scope, &devicePath}) {
        for (char c : *text) {
            add(static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
        }
        add(0);
    }
    for (int shift = 0; shift < 32; shift += 8) {
        add(static_cast<unsigned char>(pinId >> shift));
    }
    return hash == 0 ? 1 : hash;
}

bool TakeSharedInstance(unsigned long long key, const std::function<bool(int elsewhere)>& fits)
{
    TableLock lock;
    if (!lock.Held()) {
        return fits(0);
    }
    Slot* slots = lock.Slots();
    if (!fits(CountElsewhere(slots, key))) {
        return false;
    }
    for (DWORD i = 0; i < kSlots; ++i) {
        if (slots[i].processId == 0 || !ProcessRuns(slots[i].processId)) {
            slots[i].key = key;
            slots[i].processId = GetCurrentProcessId();
            return true;
        }
    }
    // A full table: the instance opens, only other processes do not see it.
    return true;
}

void GiveSharedInstance(unsigned long long key)
{
    TableLock lock;
    if (!lock.Held()) {
        return;
    }
    const DWORD self = GetCurrentProcessId();
    Slot* slots = lock.Slots();
    for (DWORD i = 0; i < kSlots; ++i) {
        if (slots[i].processId == self && slots[i].key == key) {
            slots[i].processId = 0;
            return;
        }
    }
}

int SharedInstancesElsewhere(unsigned long long key)
{
    TableLock lock;
    return lock.Held() ? CountElsewhere(lock.Slots(), key) : 0;
}

}  // namespace kssim::detail

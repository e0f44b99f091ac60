#include "per_thread_calls.h"

#include "import_slot.h"

ImportRedirect::ImportRedirect(HMODULE module, const char* function, void* replacement)
{
    const char* dll = nullptr;
    m_slot = module ? FindImportSlotInAnyDll(module, function, &dll) : nullptr;
    if (m_slot) {
        m_dll = dll;
        m_original = *m_slot;
        WriteImportSlot(m_slot, replacement);
    }
}

ImportRedirect::~ImportRedirect()
{
    if (m_slot) {
        WriteImportSlot(m_slot, m_original);
    }
}

void PerThreadCount::Add()
{
    const DWORD self = GetCurrentThreadId();
    for (size_t i = 0; i < kThreads; ++i) {
        DWORD id = m_ids[i].load();
        if (id == 0) {
            DWORD expected = 0;
            if (m_ids[i].compare_exchange_strong(expected, self)) {
                id = self;
            } else {
                id = expected;
            }
        }
        if (id == self) {
            ++m_counts[i];
            return;
        }
    }
    ++m_overflow;
}

long PerThreadCount::Of(DWORD threadId) const
{
    for (size_t i = 0; i < kThreads; ++i) {
        if (m_ids[i].load() == threadId) {
            return m_counts[i].load();
        }
    }
    return 0;
}

long PerThreadCount::Total() const
{
    long total = m_overflow.load();
    for (size_t i = 0; i < kThreads; ++i) {
        total += m_counts[i].load();
    }
    return total;
}

void PerThreadCount::Clear()
{
    for (size_t i = 0; i < kThreads; ++i) {
        m_counts[i].store(0);
        m_ids[i].store(0);
    }
    m_overflow.store(0);
}

bool StackWalkAvailable()
{
#ifdef _WIN64
    return true;
#else
    return false;
#endif
}

bool StackPassesThrough(const void* const* functionStarts, size_t count)
{
#ifdef _WIN64
    void* frames[62];
    const USHORT captured = RtlCaptureStackBackTrace(1, 62, frames, nullptr);
    for (USHORT f = 0; f < captured; ++f) {
        // A return address: the call lies just before it.
        const DWORD64 pc = reinterpret_cast<DWORD64>(frames[f]) - 1;
        DWORD64 imageBase = 0;
        const RUNTIME_FUNCTION* function = RtlLookupFunctionEntry(pc, &imageBase, nullptr);
        if (!function) {
            continue;
        }
        const auto start = reinterpret_cast<const void*>(imageBase + function->BeginAddress);
        for (size_t i = 0; i < count; ++i) {
            if (functionStarts[i] == start) {
                return true;
            }
        }
    }
    return false;
#else
    static_cast<void>(functionStarts);
    static_cast<void>(count);
    return false;
#endif
}

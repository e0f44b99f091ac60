#include "driver_lock.h"

#include <windows.h>

CTelvaraDriver* g_pStreamingDriver = nullptr;

namespace {

// Made when the library loads, gone when it unloads.
struct DeviceLockSection {
    CRITICAL_SECTION section;
    DeviceLockSection() { InitializeCriticalSection(&section); }
    ~DeviceLockSection() { DeleteCriticalSection(&section); }
} g_deviceLock;

}  // namespace

DeviceLock::DeviceLock()
{
    EnterCriticalSection(&g_deviceLock.section);
}

DeviceLock::~DeviceLock()
{
    LeaveCriticalSection(&g_deviceLock.section);
}

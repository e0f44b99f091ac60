#include "thread_priority.h"

#include "debug_trace.h"

#include <windows.h>
#include <avrt.h>

void* RegisterProAudioThread()
{
    HANDLE thread = GetCurrentThread();
    SetThreadPriorityBoost(thread, FALSE);
    DWORD taskIndex = 0;
    HANDLE task = AvSetMmThreadCharacteristicsA("Pro Audio", &taskIndex);
    if (!task) {
        DebugTrace("thread priority: the multimedia class scheduler refused \"Pro Audio\" (error %lu); the stream "
                   "runs at time-critical priority\n",
                   GetLastError());
        SetThreadPriorityBoost(thread, TRUE);
        return nullptr;
    }
    if (AvSetMmThreadPriority(task, AVRT_PRIORITY_HIGH)) {
        SetThreadPriorityBoost(thread, TRUE);
    }
    return task;
}

void RevertProAudioThread(void* task)
{
    if (task) {
        AvRevertMmThreadCharacteristics(task);
    }
}

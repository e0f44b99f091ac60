#include "mmcss.h"

#include "message_box.h"

#include <windows.h>
#include <avrt.h>

bool IsProcessElevated()
{
    bool elevated = false;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
    if (!process) {
        return false;
    }
    HANDLE token = nullptr;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
        TOKEN_ELEVATION elevation{};
        DWORD size = 0;
        if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
            size == sizeof elevation) {
            elevated = elevation.TokenIsElevated != 0;
        }
        CloseHandle(token);
    }
    CloseHandle(process);
    return elevated;
}

void* RegisterProAudioThread()
{
    HANDLE thread = GetCurrentThread();
    SetThreadPriorityBoost(thread, FALSE);
    DWORD taskIndex = 0;
    HANDLE task = AvSetMmThreadCharacteristicsA("Pro Audio", &taskIndex);
    if (!task) {
        // "ASIO驱动录音线程CPU优先策略设置失败,不满足运行条件,请关闭影响音频驱动工作相关的进程!"
        ShowMessageBox("ASIO\xc7\xfd\xb6\xaf\xc2\xbc\xd2\xf4\xcf\xdf\xb3\xcc" "CPU\xd3\xc5\xcf\xc8\xb2\xdf\xc2\xd4\xc9\xe8\xd6\xc3"
                       "\xca\xa7\xb0\xdc,\xb2\xbb\xc2\xfa\xd7\xe3\xd4\xcb\xd0\xd0\xcc\xf5\xbc\xfe,\xc7\xeb\xb9\xd8\xb1\xd5"
                       "\xd3\xb0\xcf\xec\xd2\xf4\xc6\xb5\xc7\xfd\xb6\xaf\xb9\xa4\xd7\xf7\xcf\xe0\xb9\xd8\xb5\xc4\xbd\xf8"
                       "\xb3\xcc!",
                       "TELVARA", MB_ICONERROR);
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

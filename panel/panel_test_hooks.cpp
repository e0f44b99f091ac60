#include "panel_test_hooks.h"

#include <windows.h>

namespace {

UINT g_faultMessage = 0;
bool g_faultAsked = false;

LONG WINAPI EndOfChain(PEXCEPTION_POINTERS pointers)
{
    const bool expected = pointers->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION;
    TerminateProcess(GetCurrentProcess(), expected ? kPanelTestFaultExitCode : 0x0BAD);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Read at run time, so the compiler cannot see the null write coming.
int* volatile g_nowhere = nullptr;

__attribute__((noinline, noclone)) void WriteThroughNull(int* target)
{
    *static_cast<volatile int*>(target) = 0x7E1;
}

__attribute__((noinline, noclone)) void FaultInsideThePanel()
{
    WriteThroughNull(g_nowhere);
    asm volatile("" ::: "memory");  // no tail call: this frame must stay on the stack
}

LRESULT CALLBACK GetMessageHook(int code, WPARAM wParam, LPARAM lParam)
{
    const MSG* message = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && message->message == g_faultMessage) {
        g_faultAsked = true;
        PostQuitMessage(0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

PanelTestFaultChain::PanelTestFaultChain()
{
    SetUnhandledExceptionFilter(EndOfChain);
}

void FaultIfAsked()
{
    if (g_faultAsked) {
        FaultInsideThePanel();
        asm volatile("" ::: "memory");
    }
}

void InstallPanelTestFaultHook()
{
    g_faultMessage = RegisterWindowMessageA(kPanelTestFaultMessage);
    SetWindowsHookExA(WH_GETMESSAGE, GetMessageHook, nullptr, GetCurrentThreadId());
}

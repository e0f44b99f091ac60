#include "message_box.h"
#include "message_box_log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <mutex>

namespace {

std::mutex g_boxesLock;
std::vector<LoggedMessageBox> g_boxes;

int LogMessageBox(const char* text, const char* caption, unsigned int type)
{
    std::lock_guard<std::mutex> lock(g_boxesLock);
    g_boxes.push_back({text ? text : "", caption ? caption : "", type});
    return IDOK;
}

// A test program that crashes must not end as a success: under Wine a crash
// has been seen to leave the exit code 0, and the test runner then counted a
// suite that stopped half-way as passed.
LONG WINAPI EndCrashed(EXCEPTION_POINTERS* exception)
{
    std::fprintf(stderr, "test program crashed: exception 0x%08lx at %p\n",
                 static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode),
                 exception->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

std::vector<LoggedMessageBox> LoggedMessageBoxes()
{
    std::lock_guard<std::mutex> lock(g_boxesLock);
    return g_boxes;
}

void ClearLoggedMessageBoxes()
{
    std::lock_guard<std::mutex> lock(g_boxesLock);
    g_boxes.clear();
}

int main(int argc, char** argv)
{
    SetUnhandledExceptionFilter(EndCrashed);
    SetMessageBoxHandler(LogMessageBox);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

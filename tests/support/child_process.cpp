#include "child_process.h"

#include <windows.h>

#include <stdexcept>
#include <string>

ChildTest::ChildTest(const std::string& testName)
{
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string commandLine =
        std::string("\"") + exe + "\" --gtest_brief=1 --gtest_also_run_disabled_tests --gtest_filter=" + testName;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        throw std::runtime_error("CreateProcess failed for child test " + testName + " (error " +
                                 std::to_string(GetLastError()) + ")");
    }
    CloseHandle(info.hThread);
    m_process = info.hProcess;
}

ChildTest::~ChildTest()
{
    if (m_process) {
        if (WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, 5000);
        }
        CloseHandle(m_process);
    }
}

long ChildTest::Wait(unsigned long timeoutMs)
{
    if (WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(m_process, 1);
        WaitForSingleObject(m_process, 5000);
        return -2;
    }
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    return static_cast<long>(code);
}

long RunChildTest(const std::string& testName, unsigned long timeoutMs)
{
    ChildTest child(testName);
    return child.Wait(timeoutMs);
}

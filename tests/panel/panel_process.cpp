#include "panel_process.h"

#include "appdata_redirect.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <cstring>

// The host stand-in: this program, waiting in a test of its own until it is
// ended.
TEST(PanelHostChild, DISABLED_WaitsUntilEnded)
{
    Sleep(120000);
}

namespace paneltest {

const char* const kOneSpeaker =
    "[device.speaker]\r\n"
    "type = render\r\n"
    "path = \\\\?\\usb#vid_0d8c&pid_0014#7&2a1b&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global\r\n"
    "name = \"USB Speakers\"\r\n";

std::string ThisFolder()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

std::string BuildFile(const char* relativePath)
{
    // This program lives in <build>\tests\panel.
    const std::string joined = ThisFolder() + "..\\..\\" + relativePath;
    char full[MAX_PATH] = {};
    GetFullPathNameA(joined.c_str(), MAX_PATH, full, nullptr);
    return full;
}

std::string PanelBuild(const char* folder)
{
    return BuildFile((std::string(folder) + "\\telvarapanel.exe").c_str());
}

ScratchFolder::ScratchFolder(const std::string& stem)
{
    static int count = 0;
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    m_path = std::string(temp) + stem + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count) +
             "\\";
    CreateDirectoryA(m_path.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder()
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((m_path + "*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                DeleteFileA((m_path + data.cFileName).c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(m_path.c_str());
}

std::string InstallPanel(const char* build, const ScratchFolder& folder)
{
    const std::string program = folder / "telvarapanel.exe";
    if (!CopyFileA(PanelBuild(build).c_str(), program.c_str(), FALSE)) {
        return {};
    }
    WriteFileBytes(folder / "kssim.ini", kOneSpeaker);
    return program;
}

Process::Process(const std::string& program, const std::string& arguments, bool suspended)
{
    std::string line = "\"" + program + "\"";
    if (!arguments.empty()) {
        line += " " + arguments;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, suspended ? CREATE_SUSPENDED : 0,
                        nullptr, nullptr, &startup, &m_info)) {
        m_info = {};
    }
}

Process::~Process()
{
    if (!Started()) {
        return;
    }
    if (Running()) {
        Terminate();
    }
    CloseHandle(m_info.hThread);
    CloseHandle(m_info.hProcess);
}

std::optional<DWORD> Process::WaitForExit(DWORD timeoutMs) const
{
    if (!Started() || WaitForSingleObject(m_info.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(m_info.hProcess, &code);
    return code;
}

std::unique_ptr<Process> StartHostStandIn()
{
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    auto host = std::make_unique<Process>(
        self, "--gtest_also_run_disabled_tests --gtest_filter=PanelHostChild.DISABLED_WaitsUntilEnded");
    // Wine lists a process only once its first thread runs.
    Sleep(500);
    return host;
}

void Process::Terminate() const
{
    TerminateProcess(m_info.hProcess, 0xDEAD);
    WaitForSingleObject(m_info.hProcess, 10000);
}

namespace {

struct WindowSearch {
    DWORD processId;
    const char* className;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    if ((search->processId == 0 || owner == search->processId) && std::strcmp(className, search->className) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND FindProcessWindow(DWORD processId, const char* className)
{
    WindowSearch search{processId, className, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForPanelWindow(DWORD processId, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (HWND window = FindProcessWindow(processId, "telvarapanel")) {
            return window;
        }
        if (GetTickCount64() >= end) {
            return nullptr;
        }
        Sleep(10);
    }
}

std::vector<DWORD> ProcessesNamed(const wchar_t* exeName)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return ids;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, exeName) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return ids;
}

std::wstring Wide(const char* utf8)
{
    wchar_t text[1024] = {};
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text, 1023);
    return text;
}

std::wstring TextOf(HWND window)
{
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1023);
    return text;
}

}  // namespace paneltest

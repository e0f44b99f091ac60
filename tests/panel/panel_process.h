#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

// The panel program in processes of its own: copies of its builds in a
// scratch folder (with a simulated sound card beside them), started with a
// command line, found by their window and watched until they end.
namespace paneltest {

// Where this test program's build tree keeps the panel's builds.
std::string PanelBuild(const char* folder);  // "panel-testing", "panel-sim"
std::string BuildFile(const char* relativePath);  // from the build tree's root
// The folder of this program, with a trailing backslash.
std::string ThisFolder();

// One simulated render device: the panel finds a sound card and shows no
// "no device" message.
extern const char* const kOneSpeaker;

// A fresh folder under the temporary folder, removed with its files.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& stem);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    // With a trailing backslash.
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + name; }

private:
    std::string m_path;
};

// Copies a panel build into folder as telvarapanel.exe, with kOneSpeaker as
// its kssim.ini; the copy's path.
std::string InstallPanel(const char* build, const ScratchFolder& folder);

// A started program. One still running at destruction is ended.
class Process {
public:
    Process(const std::string& program, const std::string& arguments, bool suspended = false);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool Started() const { return m_info.hProcess != nullptr; }
    DWORD Id() const { return m_info.dwProcessId; }
    HANDLE Handle() const { return m_info.hProcess; }
    void Resume() const { ResumeThread(m_info.hThread); }
    // The exit code, or nothing when it still runs after timeoutMs.
    std::optional<DWORD> WaitForExit(DWORD timeoutMs) const;
    bool Running() const { return !WaitForExit(0); }
    void Terminate() const;

private:
    PROCESS_INFORMATION m_info{};
};

// A process that stands for a host: it runs (and is in the process list)
// until it is terminated.
std::unique_ptr<Process> StartHostStandIn();

// The top-level window of class "telvarapanel" of that process (0: any
// process), looking every 10 ms for at most timeoutMs.
HWND WaitForPanelWindow(DWORD processId, DWORD timeoutMs);
// A top-level window of that process and class; null when there is none.
HWND FindProcessWindow(DWORD processId, const char* className);
// Every process of the system running that program file name (no folder).
std::vector<DWORD> ProcessesNamed(const wchar_t* exeName);

std::wstring Wide(const char* utf8);
std::wstring TextOf(HWND window);

}  // namespace paneltest

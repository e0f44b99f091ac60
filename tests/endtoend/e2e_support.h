#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

// What the end-to-end tests share: folders, the registry as it is seen by a
// 64-bit host, driver library copies, child processes and WAV files.
namespace e2e {

// The driver's class id as registration writes it.
inline constexpr const char* kClassIdText = "{6F3D27A1-94C2-4E58-B1D7-5A0C8E2F9B34}";
inline constexpr const char* kClassKey = "CLSID\\{6F3D27A1-94C2-4E58-B1D7-5A0C8E2F9B34}";
inline constexpr const char* kAsioKey = "SOFTWARE\\ASIO";
inline constexpr const char* kDriverKey = "SOFTWARE\\ASIO\\TelvaraDriver";

// ---- files and folders --------------------------------------------------

// The folder of this program, with a trailing backslash.
std::string ThisFolder();
// A path of the build tree (a host path) as Windows programs reach it.
std::string WindowsPathOf(const char* hostPath);
// The sim driver, telvara-host and the settings writer of the given
// bitness (32 or 64) of this build.
std::string SimDriverPath();
std::string HostProgramPath();
std::string SettingsWriterPath(int bits);
// Why this machine cannot run 32-bit programs, as the test command's probe
// found; empty where it can.
std::string X86UnavailableReason();
// Helper programs built beside this one.
std::string HelperPath();
std::string CHostPath();

bool FileExists(const std::string& path);
// The folder part of a path, with its trailing backslash.
std::string FolderOf(const std::string& path);
// The lines of a text file that other processes append to, once it has at
// least count of them; whatever it has after timeoutMs otherwise. Looks
// again every 20 ms.
std::vector<std::string> WaitForLines(const std::string& path, size_t count, DWORD timeoutMs);
std::string Lower(std::string text);
std::string Upper(std::string text);

// A fresh folder under the temporary folder, removed with everything in it.
// The name keeps capitals, so lower-casing of paths is observable.
class TempFolder {
public:
    explicit TempFolder(const std::string& stem = "Telvara-E2E");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // With a trailing backslash.
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + name; }

private:
    std::string m_path;
};

// Copies a file (overwriting); false on failure.
bool CopyFileTo(const std::string& from, const std::string& to);

// ---- registry (64-bit view) ---------------------------------------------

struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct RegistryKey {
    std::map<std::string, RegistryValue> values;  // "" is the default value
    std::map<std::string, RegistryKey> keys;
};

// A REG_SZ value as the ANSI functions store it: the text and its terminator.
RegistryValue Sz(const std::string& text);
// The key with everything below it, or nothing when it does not exist.
std::optional<RegistryKey> ReadKeyTree(HKEY root, const std::string& path);
bool KeyExists(HKEY root, const std::string& path);
// Removes the key with everything below it (nothing when it is absent).
void RemoveKeyTree(HKEY root, const std::string& path);
// Creates the key and writes the values and sub keys given (keeps others).
void WriteKeyTree(HKEY root, const std::string& path, const RegistryKey& key);
void SetString(HKEY root, const std::string& path, const std::string& name, const std::string& text);
// One line per key and value, types and bytes spelled out: comparing two
// descriptions compares the trees exactly and shows every difference.
std::string Describe(const std::optional<RegistryKey>& key);

// Puts a key tree back as it was when the snapshot was taken, whatever a
// test did to it and however the test ended.
class RegistrySnapshot {
public:
    RegistrySnapshot(HKEY root, std::string path);
    ~RegistrySnapshot();
    RegistrySnapshot(const RegistrySnapshot&) = delete;
    RegistrySnapshot& operator=(const RegistrySnapshot&) = delete;

private:
    HKEY m_root;
    std::string m_path;
    std::optional<RegistryKey> m_saved;
};

// ---- the driver library -------------------------------------------------

// A copy of the driver loaded into this process, freed at the end.
class DriverLibrary {
public:
    explicit DriverLibrary(const std::string& path);
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    HMODULE Module() const { return m_module; }
    // The module's own path, as the loader reports it.
    std::string LoadedPath() const;
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object) const;
    HRESULT CanUnloadNow() const;
    HRESULT RegisterServer() const;
    HRESULT UnregisterServer() const;
    void Free();

private:
    FARPROC Export(const char* name) const;
    HMODULE m_module;
};

// ---- child processes ----------------------------------------------------

// A program started by a test; its standard output and error go to a file.
// A program still running at destruction is ended.
class ChildProgram {
public:
    explicit ChildProgram(const std::string& commandLine);
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    bool Started() const { return m_process != nullptr; }
    // Why it did not start (the Win32 error of CreateProcessA); 0 once started.
    DWORD StartError() const { return m_startError; }
    HANDLE Handle() const { return m_process; }
    // Waits at most timeoutMs: the exit code, or nothing (the program is
    // then ended).
    std::optional<long> Wait(DWORD timeoutMs);
    // What the program wrote so far.
    std::string Output() const;

private:
    HANDLE m_process = nullptr;
    DWORD m_startError = 0;
    HANDLE m_output = INVALID_HANDLE_VALUE;
    std::string m_outputPath;
};

// A command line of these words, each in double quotes.
std::string CommandLine(std::initializer_list<std::string> words);

struct ProgramResult {
    std::optional<long> exitCode;  // nothing: it did not start, or did not end in time
    std::string output;            // a program that did not start: why
};
ProgramResult RunProgram(const std::string& commandLine, DWORD timeoutMs = 60000);

// Waits for a named event or the end of a process, at most timeoutMs.
// True when the event was set first.
bool WaitForEventOrExit(HANDLE event, HANDLE process, DWORD timeoutMs);

// ---- WAV files ----------------------------------------------------------

struct WavContent {
    uint16_t channels = 0;
    uint16_t bitsPerSample = 0;
    uint32_t sampleRate = 0;
    std::vector<int16_t> samples;  // 16-bit only, interleaved, whole frames
    size_t Frames() const { return channels ? samples.size() / channels : 0; }
    int16_t At(size_t frame, size_t channel) const { return samples[frame * channels + channel]; }
};
// A 16-bit PCM file as wav::ReadPcmFile reads it (plain or extensible
// format chunk; a data chunk whose size was never filled in counts with the
// bytes that are there).
bool ReadWavFile(const std::string& path, WavContent& wav, std::string& error);

// Checks every sample a device played against expected(frame, channel). The
// engine stops copying the host's samples the moment a stream is stopped,
// so the last block may be cut short, and a device whose last block came
// late played silence before it: from the first frame that differs on,
// everything must be silent, and that silent end is shorter than two blocks.
testing::AssertionResult PlayedAsExpected(const WavContent& wav, size_t blockFrames,
                                          const std::function<int16_t(long frame, int channel)>& expected);

// Checks a recording of the simulated microphone's 16-bit ramp (inputs 0
// and 1) as telvara-host writes it: 44100 Hz stereo, at least ten blocks,
// the ramp from a block boundary, channel 1 running 0x1000 ahead, one step
// a frame, nothing lost between the buffer switches; up to three whole
// blocks of silence may stand between its blocks (a read that came after
// its callback on a busy machine).
testing::AssertionResult RecordedTheMicrophoneRamp(const std::string& path, size_t blockFrames);

// ---- a driver with simulated devices ------------------------------------

// The file the stand-in panel appends one line to per start, in its folder.
inline constexpr const char* kPanelStartsFile = "telvarapanel-starts.txt";

// A folder holding a copy of the sim driver (telvara_x64.dll) and the
// description of its devices (kssim.ini, read by the driver when a host
// loads it), as a user would install the driver.
class SimDriverFolder {
public:
    explicit SimDriverFolder(const std::string& description = {});
    const std::string& Path() const { return m_folder.Path(); }
    std::string File(const std::string& name) const { return m_folder / name; }
    std::string DriverPath() const { return m_folder / "telvara_x64.dll"; }
    // Places the stand-in panel program (telvarapanel.exe) beside the driver.
    void PlacePanelStandIn() const;
    // The stand-in panel's record of its starts.
    std::string PanelStartsFile() const { return File(kPanelStartsFile); }

private:
    TempFolder m_folder;
};

// Two speakers with render files and a microphone.
extern const char* const kTwoSpeakersAndAMicrophone;

// DllRegisterServer of the library at path, in this process; the library is
// freed again before it returns.
HRESULT RegisterLibrary(const std::string& path);

// Writes config.ini into an application-data folder (the ZQV folder is made).
void WriteSettings(const std::string& appDataFolder, const std::string& text);

// Splits text into lines (without their line ends).
std::vector<std::string> Lines(const std::string& text);

// ---- driver objects in a child process ------------------------------------

// A driver library that created a driver object stays in its process (its
// window outlives the objects), and a loaded library cannot be deleted. So
// every test that creates driver objects in-process runs as a child test of
// this program (a DISABLED_ test selected by name) in a process of its own,
// with the library copy named by this environment variable. The parent owns
// the folder and removes it after the child has ended.
inline constexpr const char* kChildDriverVariable = "TELVARA_E2E_DRIVER";
// The library copy a child test is to load; empty outside such a child.
std::string ChildDriverPath();
// Runs the named child test with the library at driverPath; its exit code,
// or -2 when it had to be ended after timeoutMs.
long RunDriverChild(const std::string& testName, const std::string& driverPath, unsigned long timeoutMs = 60000);

}  // namespace e2e

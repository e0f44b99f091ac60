#include "e2e_support.h"

#include "appdata_redirect.h"
#include "child_process.h"
#include "import_patch.h"
#include "wav_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace e2e {

namespace {

// Every key this code opens is the 64-bit one, whatever the caller's view.
constexpr REGSAM kView = KEY_WOW64_64KEY;

std::string Hex(const BYTE* data, size_t size)
{
    std::string text;
    char part[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(part, sizeof part, "%02x", data[i]);
        text += part;
    }
    return text;
}

std::string Quoted(const BYTE* data, size_t size)
{
    std::string text = "\"";
    char part[8];
    for (size_t i = 0; i < size; ++i) {
        const unsigned char c = data[i];
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            text += static_cast<char>(c);
        } else {
            std::snprintf(part, sizeof part, "\\x%02x", c);
            text += part;
        }
    }
    return text + "\"";
}

void DescribeInto(const RegistryKey& key, const std::string& path, std::string& out)
{
    out += "[" + path + "]\n";
    for (const auto& [name, value] : key.values) {
        out += "  ";
        if (name.empty()) {
            out += "@";
        } else {
            out += '"';
            out += name;
            out += '"';
        }
        out += " = ";
        if (value.type == REG_SZ) {
            out += "REG_SZ " + Quoted(value.data.data(), value.data.size());
        } else {
            out += "type " + std::to_string(value.type) + " " + Hex(value.data.data(), value.data.size());
        }
        out += "\n";
    }
    for (const auto& [name, child] : key.keys) {
        DescribeInto(child, path + "\\" + name, out);
    }
}

std::optional<RegistryKey> ReadOpenKey(HKEY key)
{
    RegistryKey tree;
    DWORD valueCount = 0, maxName = 0, maxData = 0, keyCount = 0, maxKeyName = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &keyCount, &maxKeyName, nullptr, &valueCount, &maxName,
                         &maxData, nullptr, nullptr) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::vector<char> name(maxName + 2);
    std::vector<BYTE> data(maxData + 2);
    for (DWORD i = 0; i < valueCount; ++i) {
        DWORD nameSize = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueA(key, i, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize) != ERROR_SUCCESS) {
            continue;
        }
        tree.values[std::string(name.data(), nameSize)] = {type, std::vector<BYTE>(data.begin(), data.begin() + dataSize)};
    }
    std::vector<char> keyName(maxKeyName + 2);
    for (DWORD i = 0; i < keyCount; ++i) {
        DWORD size = static_cast<DWORD>(keyName.size());
        if (RegEnumKeyExA(key, i, keyName.data(), &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            continue;
        }
        HKEY child = nullptr;
        if (RegOpenKeyExA(key, keyName.data(), 0, KEY_READ | kView, &child) == ERROR_SUCCESS) {
            if (auto sub = ReadOpenKey(child)) {
                tree.keys[std::string(keyName.data(), size)] = *sub;
            }
            RegCloseKey(child);
        }
    }
    return tree;
}

void RemoveFolder(const std::string& folder)
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((folder + "*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..") {
                continue;
            }
            const std::string path = folder + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveFolder(path + "\\");
            } else {
                SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

}  // namespace

// ---- files and folders --------------------------------------------------

std::string ThisFolder()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

std::string WindowsPathOf(const char* hostPath)
{
    // Wine names the Windows path of a host path itself; elsewhere (or
    // without that entry) the default drive mapping of "/" is Z:.
    using DosName = WCHAR*(CDECL*)(const char*);
    if (auto convert = reinterpret_cast<DosName>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name")))) {
        if (WCHAR* wide = convert(hostPath)) {
            char path[MAX_PATH] = {};
            WideCharToMultiByte(CP_ACP, 0, wide, -1, path, MAX_PATH, nullptr, nullptr);
            HeapFree(GetProcessHeap(), 0, wide);
            return path;
        }
    }
    std::string path = std::string("Z:") + hostPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string SimDriverPath()
{
    return WindowsPathOf(E2E_SIM_DRIVER);
}

std::string HostProgramPath()
{
    return WindowsPathOf(E2E_HOST_PROGRAM);
}

std::string SettingsWriterPath(int bits)
{
    return WindowsPathOf(bits == 32 ? E2E_SETTINGS_WRITER_X86 : E2E_SETTINGS_WRITER_X64);
}

std::string X86UnavailableReason()
{
    char reason[1024] = {};
    const DWORD length = GetEnvironmentVariableA("TELVARA_X86_UNAVAILABLE", reason, sizeof reason);
    return length > 0 && length < sizeof reason ? std::string(reason, length) : std::string();
}

std::string HelperPath()
{
    return ThisFolder() + "e2e_helper.exe";
}

std::string CHostPath()
{
    return ThisFolder() + "c_vtable_host.exe";
}

bool FileExists(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string FolderOf(const std::string& path)
{
    return path.substr(0, path.find_last_of('\\') + 1);
}

std::vector<std::string> WaitForLines(const std::string& path, size_t count, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        std::vector<std::string> lines;
        if (FileExists(path)) {
            lines = Lines(ReadFileBytes(path));
        }
        if (lines.size() >= count || GetTickCount64() >= deadline) {
            return lines;
        }
        Sleep(20);
    }
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

TempFolder::TempFolder(const std::string& stem)
{
    static LONG count = 0;
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    m_path = std::string(temp) + stem + "-" + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(InterlockedIncrement(&count)) + "\\";
    RemoveFolder(m_path);
    if (!CreateDirectoryA(m_path.c_str(), nullptr)) {
        throw std::runtime_error("cannot create " + m_path);
    }
}

TempFolder::~TempFolder()
{
    RemoveFolder(m_path);
}

bool CopyFileTo(const std::string& from, const std::string& to)
{
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
}

// ---- registry -----------------------------------------------------------

RegistryValue Sz(const std::string& text)
{
    RegistryValue value;
    value.type = REG_SZ;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    return value;
}

std::optional<RegistryKey> ReadKeyTree(HKEY root, const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | kView, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    auto tree = ReadOpenKey(key);
    RegCloseKey(key);
    return tree;
}

bool KeyExists(HKEY root, const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | kView, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

void RemoveKeyTree(HKEY root, const std::string& path)
{
    const size_t slash = path.find_last_of('\\');
    const std::string parentPath = slash == std::string::npos ? "" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    HKEY parent = nullptr;
    if (RegOpenKeyExA(root, parentPath.c_str(), 0, KEY_ALL_ACCESS | kView, &parent) != ERROR_SUCCESS) {
        return;
    }
    RegDeleteTreeA(parent, name.c_str());
    RegDeleteKeyExA(parent, name.c_str(), kView, 0);
    RegCloseKey(parent);
}

void WriteKeyTree(HKEY root, const std::string& path, const RegistryKey& tree)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kView, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        throw std::runtime_error("cannot create registry key " + path);
    }
    for (const auto& [name, value] : tree.values) {
        RegSetValueExA(key, name.empty() ? nullptr : name.c_str(), 0, value.type, value.data.data(),
                       static_cast<DWORD>(value.data.size()));
    }
    RegCloseKey(key);
    for (const auto& [name, child] : tree.keys) {
        WriteKeyTree(root, path + "\\" + name, child);
    }
}

void SetString(HKEY root, const std::string& path, const std::string& name, const std::string& text)
{
    RegistryKey key;
    key.values[name] = Sz(text);
    WriteKeyTree(root, path, key);
}

std::string Describe(const std::optional<RegistryKey>& key)
{
    if (!key) {
        return "(no such key)\n";
    }
    std::string out;
    DescribeInto(*key, "", out);
    return out;
}

RegistrySnapshot::RegistrySnapshot(HKEY root, std::string path)
    : m_root(root), m_path(std::move(path)), m_saved(ReadKeyTree(m_root, m_path))
{
}

RegistrySnapshot::~RegistrySnapshot()
{
    RemoveKeyTree(m_root, m_path);
    if (m_saved) {
        try {
            WriteKeyTree(m_root, m_path, *m_saved);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "restoring %s failed: %s\n", m_path.c_str(), e.what());
        }
    }
}

// ---- the driver library -------------------------------------------------

DriverLibrary::DriverLibrary(const std::string& path) : m_module(LoadLibraryA(path.c_str()))
{
    if (!m_module) {
        throw std::runtime_error("cannot load " + path + ", error " + std::to_string(GetLastError()));
    }
}

DriverLibrary::~DriverLibrary()
{
    Free();
}

void DriverLibrary::Free()
{
    if (m_module) {
        FreeLibrary(m_module);
        m_module = nullptr;
    }
}

std::string DriverLibrary::LoadedPath() const
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(m_module, path, MAX_PATH);
    return path;
}

FARPROC DriverLibrary::Export(const char* name) const
{
    FARPROC function = m_module ? GetProcAddress(m_module, name) : nullptr;
    if (!function) {
        throw std::runtime_error(std::string("the driver library does not export ") + name);
    }
    return function;
}

HRESULT DriverLibrary::GetClassObject(REFCLSID clsid, REFIID iid, void** object) const
{
    using Function = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(Export("DllGetClassObject")))(clsid, iid, object);
}

HRESULT DriverLibrary::CanUnloadNow() const
{
    using Function = HRESULT(STDAPICALLTYPE*)();
    return reinterpret_cast<Function>(reinterpret_cast<void*>(Export("DllCanUnloadNow")))();
}

HRESULT DriverLibrary::RegisterServer() const
{
    using Function = HRESULT(STDAPICALLTYPE*)();
    return reinterpret_cast<Function>(reinterpret_cast<void*>(Export("DllRegisterServer")))();
}

HRESULT DriverLibrary::UnregisterServer() const
{
    using Function = HRESULT(STDAPICALLTYPE*)();
    return reinterpret_cast<Function>(reinterpret_cast<void*>(Export("DllUnregisterServer")))();
}

// ---- child processes ----------------------------------------------------

ChildProgram::ChildProgram(const std::string& commandLine)
{
    static LONG count = 0;
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    m_outputPath = std::string(temp) + "telvara-e2e-output-" + std::to_string(GetCurrentProcessId()) + "-" +
                   std::to_string(InterlockedIncrement(&count)) + ".txt";
    // The file goes when its last handle closes. A program that starts one
    // of Wine's services hands the service its output handle, which then
    // lives as long as the Wine server: the file must not depend on
    // anybody deleting it by name.
    m_output = CreateFileA(m_outputPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    HANDLE output = nullptr;
    if (m_output == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), m_output, GetCurrentProcess(), &output, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        m_startError = GetLastError();
        return;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                               nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION info{};
    std::string line = commandLine;
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        m_process = info.hProcess;
    } else {
        m_startError = GetLastError();
    }
    CloseHandle(output);
    if (input != INVALID_HANDLE_VALUE) {
        CloseHandle(input);
    }
}

ChildProgram::~ChildProgram()
{
    if (m_process) {
        if (WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, 5000);
        }
        CloseHandle(m_process);
    }
    if (m_output != INVALID_HANDLE_VALUE) {
        CloseHandle(m_output);
    }
}

std::optional<long> ChildProgram::Wait(DWORD timeoutMs)
{
    if (!m_process) {
        return std::nullopt;
    }
    if (WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(m_process, 1);
        WaitForSingleObject(m_process, 5000);
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    return static_cast<long>(code);
}

std::string ChildProgram::Output() const
{
    HANDLE file = CreateFileA(m_outputPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    CloseHandle(file);
    return text;
}

std::string CommandLine(std::initializer_list<std::string> words)
{
    std::string line;
    for (const std::string& word : words) {
        if (!line.empty()) {
            line += ' ';
        }
        line += '"';
        line += word;
        line += '"';
    }
    return line;
}

ProgramResult RunProgram(const std::string& commandLine, DWORD timeoutMs)
{
    ChildProgram program(commandLine);
    if (!program.Started()) {
        return {std::nullopt, "cannot start: " + commandLine + " (error " + std::to_string(program.StartError()) + ")"};
    }
    ProgramResult result;
    result.exitCode = program.Wait(timeoutMs);
    result.output = program.Output();
    return result;
}

bool WaitForEventOrExit(HANDLE event, HANDLE process, DWORD timeoutMs)
{
    HANDLE handles[2] = {event, process};
    return WaitForMultipleObjects(2, handles, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

// ---- WAV files ----------------------------------------------------------

testing::AssertionResult RecordedTheMicrophoneRamp(const std::string& path, size_t blockFrames)
{
    WavContent wav;
    std::string error;
    if (!ReadWavFile(path, wav, error)) {
        return testing::AssertionFailure() << error;
    }
    if (wav.channels != 2 || wav.sampleRate != 44100 || wav.Frames() < 10 * blockFrames) {
        return testing::AssertionFailure() << wav.channels << " channels, " << wav.sampleRate << " Hz, "
                                           << wav.Frames() << " frames";
    }
    // The data path is checked here, not the timing (that is tested on
    // virtual time): on a busy machine a read of the microphone may come
    // after its callback, which then has a block of silence, and the ramp
    // goes on in the next one. So whole silent blocks may stand between the
    // ramp's blocks (a few at most); within the ramp nothing may be lost.
    const auto silent = [&wav](size_t t) { return wav.At(t, 0) == 0 && wav.At(t, 1) == 0; };
    const auto silentBlock = [&](size_t from) {
        for (size_t t = from; t < std::min(from + blockFrames, wav.Frames()); ++t) {
            if (!silent(t)) {
                return false;
            }
        }
        return true;
    };
    constexpr size_t kMostSilentBlocks = 3;
    size_t silentBlocks = 0;
    bool begun = false;
    uint16_t expected = 0;
    for (size_t t = 0; t < wav.Frames(); ++t) {
        if (t % blockFrames == 0 && silentBlock(t)) {
            if (++silentBlocks > kMostSilentBlocks) {
                return testing::AssertionFailure() << "more than " << kMostSilentBlocks << " silent blocks, the last at frame " << t;
            }
            t += blockFrames - 1;
            continue;
        }
        const auto value = static_cast<uint16_t>(wav.At(t, 0));
        if (!begun) {
            if (value % blockFrames != 0) {
                return testing::AssertionFailure() << "the first frame " << value << " is not at a block boundary";
            }
            begun = true;
            expected = value;
        }
        if (value != expected || static_cast<uint16_t>(wav.At(t, 1) - wav.At(t, 0)) != 0x1000) {
            return testing::AssertionFailure() << "frame " << t << ": " << wav.At(t, 0) << ", " << wav.At(t, 1);
        }
        ++expected;
    }
    return testing::AssertionSuccess();
}

bool ReadWavFile(const std::string& path, WavContent& wav, std::string& error)
{
    wav::PcmClip clip;
    if (!wav::ReadPcmFile(path, clip, error)) {
        return false;
    }
    if (clip.bitsPerSample != 16) {
        error = path + ": " + std::to_string(clip.bitsPerSample) + " bits per sample, not 16";
        return false;
    }
    wav.channels = clip.channels;
    wav.bitsPerSample = clip.bitsPerSample;
    wav.sampleRate = clip.sampleRate;
    wav.samples.resize(clip.samples.size());
    for (size_t i = 0; i < clip.samples.size(); ++i) {
        wav.samples[i] = static_cast<int16_t>(clip.samples[i] >> 16);
    }
    return true;
}

testing::AssertionResult PlayedAsExpected(const WavContent& wav, size_t blockFrames,
                                          const std::function<int16_t(long frame, int channel)>& expected)
{
    const size_t frames = wav.Frames();
    const size_t lastBlock = frames > 2 * blockFrames ? frames - 2 * blockFrames : 0;
    size_t cut = frames;
    for (size_t t = 0; t < frames && cut == frames; ++t) {
        for (int c = 0; c < wav.channels; ++c) {
            const int16_t want = expected(static_cast<long>(t), c);
            if (wav.At(t, static_cast<size_t>(c)) == want) {
                continue;
            }
            if (t < lastBlock) {
                return testing::AssertionFailure() << "frame " << t << " channel " << c << " is "
                                                   << wav.At(t, static_cast<size_t>(c)) << ", not " << want << " (of "
                                                   << frames << " frames)";
            }
            cut = t;
            break;
        }
    }
    for (size_t t = cut; t < frames; ++t) {
        for (int c = 0; c < wav.channels; ++c) {
            if (wav.At(t, static_cast<size_t>(c)) != 0) {
                return testing::AssertionFailure() << "the last block differs from frame " << cut << " on but frame " << t
                                                   << " channel " << c << " is not silent (of " << frames << " frames)";
            }
        }
    }
    return testing::AssertionSuccess();
}

// ---- a driver with simulated devices ------------------------------------

const char* const kTwoSpeakersAndAMicrophone =
    "; Two speakers that keep what they play and a microphone with a ramp.\n"
    "[device.speaker_a]\n"
    "type = render\n"
    "path = \\\\?\\sim#render#speaker_a\n"
    "name = Speaker A\n"
    "render-file = speaker_a.wav\n"
    "; deep enough that a busy test machine (a panel starting meanwhile)\n"
    "; does not play silence\n"
    "buffer-ms = 500\n"
    "\n"
    "[device.speaker_b]\n"
    "type = render\n"
    "path = \\\\?\\sim#render#speaker_b\n"
    "name = Speaker B\n"
    "render-file = speaker_b.wav\n"
    "buffer-ms = 500\n"
    "\n"
    "[device.microphone]\n"
    "type = capture\n"
    "path = \\\\?\\sim#capture#microphone\n"
    "name = Microphone\n"
    "signal = ramp\n"
    "; a deep buffer: a busy test machine must not lose frames of the ramp\n"
    "buffer-ms = 2000\n";

SimDriverFolder::SimDriverFolder(const std::string& description) : m_folder("Telvara-Driver")
{
    if (!CopyFileTo(SimDriverPath(), DriverPath())) {
        throw std::runtime_error("cannot copy " + SimDriverPath() + " to " + DriverPath());
    }
    if (!description.empty()) {
        WriteFileBytes(File("kssim.ini"), description);
    }
}

void SimDriverFolder::PlacePanelStandIn() const
{
    if (!CopyFileTo(HelperPath(), File("telvarapanel.exe"))) {
        throw std::runtime_error("cannot place the stand-in panel in " + Path());
    }
}

HRESULT RegisterLibrary(const std::string& path)
{
    DriverLibrary library(path);
    DriverMessageBoxLog boxes(library.Module());
    return library.RegisterServer();
}

void WriteSettings(const std::string& appDataFolder, const std::string& text)
{
    CreateDirectoryA((appDataFolder + "\\ZQV").c_str(), nullptr);
    WriteFileBytes(appDataFolder + "\\ZQV\\config.ini", text);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

std::string ChildDriverPath()
{
    char path[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableA(kChildDriverVariable, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path) : std::string();
}

long RunDriverChild(const std::string& testName, const std::string& driverPath, unsigned long timeoutMs)
{
    SetEnvironmentVariableA(kChildDriverVariable, driverPath.c_str());
    const long code = RunChildTest(testName, timeoutMs);
    SetEnvironmentVariableA(kChildDriverVariable, nullptr);
    return code;
}

}  // namespace e2e

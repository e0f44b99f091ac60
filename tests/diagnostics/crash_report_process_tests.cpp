// Real unhandled exceptions: crash_report_child (a program with a global
// writer, like the deliverables) is copied under the names a test needs and
// made to fault. Its filter chain ends in a filter of its own that ends the
// process with a known code, so no debugger is ever started.
#include "crash_report_writer.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr long kChainedOn = 0x600D;  // the child's end of chain saw its fault
constexpr unsigned long kChildTimeoutMs = 60000;

const std::string kSeparator = "//=====================================================\n";

std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string ThisFolder()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

bool ReadWholeFile(const std::string& path, std::string& content)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

// A folder of its own for one test, removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder()
    {
        static int count = 0;
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        m_path = Format("%stelvara-crash-%lu-%d\\", temp, GetCurrentProcessId(), ++count);
        CreateDirectoryA(m_path.c_str(), nullptr);
    }
    ~ScratchFolder() { Remove(m_path); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return m_path; }

    // Names in a folder, sorted.
    static std::vector<std::string> List(const std::string& folder)
    {
        std::vector<std::string> names;
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA((folder + "*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) {
            return names;
        }
        do {
            const std::string name = data.cFileName;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    static void Remove(const std::string& folder)
    {
        for (const std::string& name : List(folder)) {
            const std::string path = folder + name;
            if (GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
                Remove(path + "\\");
            } else {
                DeleteFileA(path.c_str());
            }
        }
        RemoveDirectoryA(folder.c_str());
    }

    std::string m_path;
};

// The child program copied to path (folders created as needed).
void PlaceChild(const std::string& path)
{
    for (size_t slash = path.find('\\', 3); slash != std::string::npos; slash = path.find('\\', slash + 1)) {
        CreateDirectoryA(path.substr(0, slash).c_str(), nullptr);
    }
    ASSERT_TRUE(CopyFileA((ThisFolder() + "crash_report_child.exe").c_str(), path.c_str(), TRUE)) << path;
}

bool IsDebuggerProcessRunning()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "no process snapshot";
        return false;
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, "winedbg.exe") == 0 || lstrcmpiA(entry.szExeFile, "drwtsn32.exe") == 0 ||
            lstrcmpiA(entry.szExeFile, "WerFault.exe") == 0) {
            found = true;
        }
    }
    CloseHandle(snapshot);
    return found;
}

// Runs the program at path with the arguments and returns its exit code, or
// -2 when it did not end in time (it is then ended).
long RunChild(const std::string& path, const std::string& arguments)
{
    std::string commandLine = "\"" + path + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        ADD_FAILURE() << "cannot start " << path << ": error " << GetLastError();
        return -1;
    }
    CloseHandle(info.hThread);
    long result = -2;
    if (WaitForSingleObject(info.hProcess, kChildTimeoutMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        result = static_cast<long>(code);
    } else {
        TerminateProcess(info.hProcess, 1);
        WaitForSingleObject(info.hProcess, 5000);
    }
    CloseHandle(info.hProcess);
    EXPECT_FALSE(IsDebuggerProcessRunning()) << "a debugger was started for " << path;
    return result;
}

// What the child wrote about itself before faulting.
std::map<std::string, std::string> ReadFacts(const std::string& path)
{
    std::map<std::string, std::string> facts;
    std::string content;
    EXPECT_TRUE(ReadWholeFile(path, content)) << path;
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            facts[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return facts;
}

unsigned Hex(const std::map<std::string, std::string>& facts, const std::string& name)
{
    const auto found = facts.find(name);
    EXPECT_NE(found, facts.end()) << name;
    return found == facts.end() ? 0 : static_cast<unsigned>(std::stoul(found->second, nullptr, 16));
}

// Section number and offset of an image offset, read from the program file
// itself rather than from a loaded image.
struct Logical {
    unsigned section = 0;
    unsigned offset = 0;
};

Logical LogicalFromFile(const std::string& programPath, unsigned rva)
{
    std::string image;
    EXPECT_TRUE(ReadWholeFile(programPath, image));
    Logical logical;
    if (image.size() < sizeof(IMAGE_DOS_HEADER)) {
        return logical;
    }
    const auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    const auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.data() + dos->e_lfanew);
    const auto sections = IMAGE_FIRST_SECTION(nt);
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
        const DWORD length = std::max<DWORD>(sections[i].Misc.VirtualSize, sections[i].SizeOfRawData);
        if (rva >= sections[i].VirtualAddress && rva < sections[i].VirtualAddress + length) {
            logical.section = i + 1;
            logical.offset = rva - sections[i].VirtualAddress;
            break;
        }
    }
    return logical;
}

#ifndef _WIN64
std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end + 1 - start));
        start = end + 1;
    }
    return lines;
}
#endif

// Checks one record of a write fault of the child at programPath against what
// the child said about itself.
void ExpectWriteFaultRecord(const std::string& record, const std::string& programPath,
                            const std::map<std::string, std::string>& facts)
{
    ASSERT_EQ(facts.at("module"), programPath);
    const unsigned instruction = Hex(facts, "instruction");
    const Logical fault = LogicalFromFile(programPath, Hex(facts, "instruction_rva"));
    ASSERT_EQ(fault.section, 1u);

    const std::string head = kSeparator + "Exception code: C0000005 ACCESS_VIOLATION\n" +
                             Format("Fault address:  %08X 01:%08X %s\n", instruction, fault.offset, programPath.c_str());
#ifdef _WIN64
    EXPECT_EQ(record, head + "\n");
#else
    ASSERT_EQ(record.substr(0, head.size()), head);
    const std::vector<std::string> lines = SplitLines(record.substr(head.size()));
    ASSERT_GE(lines.size(), 21u) << record;
    EXPECT_EQ(lines[0], "\n");
    EXPECT_EQ(lines[1], "Registers:\n");
    EXPECT_EQ(lines[2], "EAX:11111111\n");
    EXPECT_EQ(lines[3], "EBX:22222222\n");
    EXPECT_EQ(lines[4], "ECX:33333333\n");
    EXPECT_EQ(lines[5], "EDX:00000010\n");
    EXPECT_EQ(lines[6], "ESI:55555555\n");
    EXPECT_EQ(lines[7], "EDI:66666666\n");
    EXPECT_EQ(lines[8], Format("CS:EIP:%04X:%08X\n", Hex(facts, "cs"), instruction));
    const unsigned frame0 = Hex(facts, "frame0");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[9], match, std::regex("SS:ESP:([0-9A-F]{4}):([0-9A-F]{8})  EBP:([0-9A-F]{8})\n")))
        << lines[9];
    EXPECT_EQ(std::stoul(match[1].str(), nullptr, 16), Hex(facts, "ss"));
    EXPECT_LT(std::stoul(match[2].str(), nullptr, 16), frame0) << "the stack pointer lies below the frame";
    EXPECT_EQ(std::stoul(match[3].str(), nullptr, 16), frame0);
    EXPECT_EQ(lines[10], Format("DS:%04X  ES:%04X  FS:%04X  GS:%04X\n", Hex(facts, "ds"), Hex(facts, "es"),
                                Hex(facts, "fs"), Hex(facts, "gs")));
    EXPECT_TRUE(std::regex_match(lines[11], std::regex("Flags:[0-9A-F]{8}\n"))) << lines[11];
    EXPECT_EQ(lines[12], "\n");
    EXPECT_EQ(lines[13], "Call stack:\n");
    EXPECT_EQ(lines[14], "Address   Frame     Logical addr  Module\n");
    // The fault in WriteFault, then its callers Level2, Level1 and main.
    EXPECT_EQ(lines[15], Format("%08X  %08X  0001:%08X %s\n", instruction, frame0, fault.offset, programPath.c_str()));
    for (int level = 0; level < 3; ++level) {
        const Logical caller = LogicalFromFile(programPath, Hex(facts, Format("return%d_rva", level)));
        EXPECT_EQ(caller.section, 1u);
        EXPECT_EQ(lines[16 + level],
                  Format("%08X  %08X  0001:%08X %s\n", Hex(facts, Format("return%d", level)),
                         Hex(facts, Format("frame%d", level + 1)), caller.offset, programPath.c_str()));
    }
    // Whatever lies beyond main: well-formed lines on climbing frames, then the
    // closing empty line.
    unsigned previousFrame = Hex(facts, "frame3");
    const std::regex frameLine("([0-9A-F]{8})  ([0-9A-F]{8})  [0-9A-F]{4}:[0-9A-F]{8} .*\n");
    for (size_t i = 19; i + 1 < lines.size(); ++i) {
        ASSERT_TRUE(std::regex_match(lines[i], match, frameLine)) << lines[i];
        const unsigned frame = static_cast<unsigned>(std::stoul(match[2].str(), nullptr, 16));
        EXPECT_GT(frame, previousFrame);
        EXPECT_EQ(frame % 4, 0u);
        previousFrame = frame;
    }
    EXPECT_EQ(lines.back(), "\n");
#endif
}

}  // namespace

TEST(CrashReportProcess, EachFaultAppendsARecordBesideTheExecutable)
{
    ScratchFolder folder;
    const std::string program = folder.Path() + "Player.exe";
    const std::string report = folder.Path() + "Player.RPT";
    const std::string factsPath = folder.Path() + "facts.txt";
    PlaceChild(program);

    ASSERT_EQ(RunChild(program, "write-fault \"" + factsPath + "\""), kChainedOn);
    std::string first;
    ASSERT_TRUE(ReadWholeFile(report, first));
    ExpectWriteFaultRecord(first, program, ReadFacts(factsPath));

    ASSERT_EQ(RunChild(program, "write-fault \"" + factsPath + "\""), kChainedOn);
    std::string both;
    ASSERT_TRUE(ReadWholeFile(report, both));
    ASSERT_GT(both.size(), first.size());
    EXPECT_EQ(both.substr(0, first.size()), first);
    ExpectWriteFaultRecord(both.substr(first.size()), program, ReadFacts(factsPath));

    EXPECT_EQ(ScratchFolder::List(folder.Path()), (std::vector<std::string>{"Player.RPT", "Player.exe", "facts.txt"}));
}

TEST(CrashReportProcess, AFaultAtTheNullAddressIsReportedWithoutAModule)
{
    ScratchFolder folder;
    const std::string program = folder.Path() + "Host.exe";
    const std::string factsPath = folder.Path() + "facts.txt";
    PlaceChild(program);

    ASSERT_EQ(RunChild(program, "call-null \"" + factsPath + "\""), kChainedOn);
    std::string record;
    ASSERT_TRUE(ReadWholeFile(folder.Path() + "Host.RPT", record));
    const std::string head = kSeparator + "Exception code: C0000005 ACCESS_VIOLATION\n"
                                          "Fault address:  00000000 00:00000000 \n";
#ifdef _WIN64
    EXPECT_EQ(record, head + "\n");
#else
    ASSERT_EQ(record.substr(0, head.size()), head);
    const auto facts = ReadFacts(factsPath);
    EXPECT_NE(record.find("\nRegisters:\n"), std::string::npos);
    EXPECT_NE(record.find(Format("CS:EIP:%04X:00000000\n", Hex(facts, "cs"))), std::string::npos) << record;
    // The walk starts at address 0 in the frame of the caller and climbs on
    // into the program.
    const Logical caller = LogicalFromFile(program, Hex(facts, "return0_rva"));
    const std::string stackStart = Format("Address   Frame     Logical addr  Module\n"
                                          "00000000  %08X  0000:00000000 \n"
                                          "%08X  %08X  0001:%08X %s\n",
                                          Hex(facts, "frame0"), Hex(facts, "return0"), Hex(facts, "frame1"),
                                          caller.offset, program.c_str());
    EXPECT_NE(record.find(stackStart), std::string::npos) << record;
    EXPECT_EQ(record.substr(record.size() - 2), "\n\n");
#endif
}

TEST(CrashReportProcess, AProgramThatEndsNormallyWritesNoReport)
{
    ScratchFolder folder;
    const std::string program = folder.Path() + "Player.exe";
    PlaceChild(program);
    EXPECT_EQ(RunChild(program, "exit"), 0);
    EXPECT_EQ(ScratchFolder::List(folder.Path()), std::vector<std::string>{"Player.exe"});
}

TEST(CrashReportProcess, AReportFileHeldOpenGetsNoRecordAndTheFaultStillGoesOn)
{
    ScratchFolder folder;
    const std::string program = folder.Path() + "Player.exe";
    const std::string report = folder.Path() + "Player.RPT";
    PlaceChild(program);
    {
        std::ofstream earlier(report, std::ios::binary);
        earlier << "earlier\n";
    }
    HANDLE holder = CreateFileA(report.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const long exitCode = RunChild(program, "write-fault \"" + folder.Path() + "facts.txt\"");
    CloseHandle(holder);

    EXPECT_EQ(exitCode, kChainedOn);
    std::string content;
    ASSERT_TRUE(ReadWholeFile(report, content));
    EXPECT_EQ(content, "earlier\n");
}

TEST(CrashReportProcess, AnyFileNameExtensionOfThreeOrMoreCharactersBecomesRpt)
{
    ScratchFolder folder;
    const std::string program = folder.Path() + "Tool.html";
    const std::string factsPath = folder.Path() + "facts.txt";
    PlaceChild(program);
    ASSERT_EQ(RunChild(program, "write-fault \"" + factsPath + "\""), kChainedOn);
    std::string record;
    ASSERT_TRUE(ReadWholeFile(folder.Path() + "Tool.RPT", record));
    ExpectWriteFaultRecord(record, program, ReadFacts(factsPath));
}

TEST(CrashReportProcess, AnExecutableInAFolderWithADotReportsBesideItself)
{
    ScratchFolder folder;
    const std::string program = folder.Path() + "my.tools\\Player.exe";
    const std::string factsPath = folder.Path() + "facts.txt";
    PlaceChild(program);
    ASSERT_EQ(RunChild(program, "write-fault \"" + factsPath + "\""), kChainedOn);
    std::string record;
    ASSERT_TRUE(ReadWholeFile(folder.Path() + "my.tools\\Player.RPT", record));
    ExpectWriteFaultRecord(record, program, ReadFacts(factsPath));
    EXPECT_EQ(ScratchFolder::List(folder.Path()), (std::vector<std::string>{"facts.txt", "my.tools"}));
}

TEST(CrashReportProcess, WithoutAnExtensionTheReportWouldBeTheExecutableItselfAndNothingElseIsWritten)
{
    // A file name without dot under a folder with one: the report path stays
    // the executable's, which a running program cannot open for writing. No
    // report lands in the parent folder under a cut name.
    std::string original;
    ASSERT_TRUE(ReadWholeFile(ThisFolder() + "crash_report_child.exe", original));
    for (const char* name : {"my.tools\\player", "my.tools\\a.b"}) {
        ScratchFolder folder;
        const std::string program = folder.Path() + name;
        PlaceChild(program);
        EXPECT_EQ(RunChild(program, "write-fault \"" + folder.Path() + "facts.txt\""), kChainedOn) << name;
        std::string after;
        ASSERT_TRUE(ReadWholeFile(program, after));
        EXPECT_TRUE(after == original) << name << ": the executable changed";
        EXPECT_EQ(ScratchFolder::List(folder.Path()), (std::vector<std::string>{"facts.txt", "my.tools"})) << name;
        EXPECT_EQ(ScratchFolder::List(folder.Path() + "my.tools\\").size(), 1u) << name;
    }
}

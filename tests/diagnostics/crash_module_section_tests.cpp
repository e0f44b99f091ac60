#include "crash_report_writer.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

namespace {

__attribute__((noinline)) int FunctionInThisExecutable(int value)
{
    return value * 3 + 1;
}

std::string ModulePath(HMODULE module)
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    return path;
}

const IMAGE_NT_HEADERS* NtHeaders(HMODULE module)
{
    const auto base = reinterpret_cast<const BYTE*>(module);
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
}

const IMAGE_SECTION_HEADER& Section(HMODULE module, int number)
{
    return IMAGE_FIRST_SECTION(NtHeaders(module))[number - 1];
}

DWORD SectionLength(const IMAGE_SECTION_HEADER& section)
{
    return section.Misc.VirtualSize > section.SizeOfRawData ? section.Misc.VirtualSize : section.SizeOfRawData;
}

std::string SectionName(const IMAGE_SECTION_HEADER& section)
{
    return std::string(reinterpret_cast<const char*>(section.Name), strnlen(reinterpret_cast<const char*>(section.Name), 8));
}

// The outputs of one lookup, started from values a lookup must overwrite.
struct Lookup {
    BOOL found = -1;
    char module[MAX_PATH];
    DWORD section = 0xDEADBEEF;
    DWORD offset = 0xDEADBEEF;

    explicit Lookup(const void* address)
    {
        std::memset(module, 'g', sizeof module - 1);
        module[sizeof module - 1] = '\0';
        found = CCrashReportWriter::FindModuleSection(address, module, MAX_PATH, section, offset);
    }
};

}  // namespace

TEST(CrashModuleSection, AnAddressInThisExecutablesCodeLiesInItsFirstSectionText)
{
    const HMODULE exe = GetModuleHandleA(nullptr);
    const auto address = reinterpret_cast<const BYTE*>(&FunctionInThisExecutable);
    const DWORD rva = static_cast<DWORD>(address - reinterpret_cast<const BYTE*>(exe));
    const IMAGE_SECTION_HEADER& text = Section(exe, 1);
    ASSERT_EQ(SectionName(text), ".text");
    ASSERT_GE(rva, text.VirtualAddress);
    ASSERT_LT(rva, text.VirtualAddress + text.Misc.VirtualSize);

    const Lookup lookup(address);
    EXPECT_TRUE(lookup.found);
    EXPECT_EQ(lookup.section, 1u);
    EXPECT_EQ(lookup.offset, rva - text.VirtualAddress);
    EXPECT_EQ(std::string(lookup.module), ModulePath(exe));
    EXPECT_EQ(FunctionInThisExecutable(2), 7);
}

TEST(CrashModuleSection, TheEndOfEverySectionStillCountsAsInside)
{
    const HMODULE exe = GetModuleHandleA(nullptr);
    const auto base = reinterpret_cast<const BYTE*>(exe);
    const IMAGE_NT_HEADERS* nt = NtHeaders(exe);
    int checked = 0;
    for (int number = 1; number <= nt->FileHeader.NumberOfSections; ++number) {
        const IMAGE_SECTION_HEADER& section = Section(exe, number);
        const DWORD end = section.VirtualAddress + SectionLength(section);
        if (end >= nt->OptionalHeader.SizeOfImage) {
            continue;  // past the image: another allocation
        }
        const Lookup lookup(base + end);
        EXPECT_TRUE(lookup.found) << SectionName(section);
        // Where the next section starts right there, the earlier one still wins.
        EXPECT_EQ(lookup.section, static_cast<DWORD>(number)) << SectionName(section);
        EXPECT_EQ(lookup.offset, SectionLength(section)) << SectionName(section);
        EXPECT_EQ(std::string(lookup.module), ModulePath(exe));
        ++checked;
    }
    EXPECT_GE(checked, 3);
}

TEST(CrashModuleSection, OneByteBeyondTheEndOfTheCodeIsOutsideIt)
{
    const HMODULE exe = GetModuleHandleA(nullptr);
    const auto base = reinterpret_cast<const BYTE*>(exe);
    const IMAGE_SECTION_HEADER& text = Section(exe, 1);
    const IMAGE_SECTION_HEADER& next = Section(exe, 2);
    const DWORD beyond = text.VirtualAddress + SectionLength(text) + 1;

    const Lookup lookup(base + beyond);
    EXPECT_EQ(std::string(lookup.module), ModulePath(exe));
    if (beyond >= next.VirtualAddress) {
        EXPECT_TRUE(lookup.found);
        EXPECT_EQ(lookup.section, 2u);
        EXPECT_EQ(lookup.offset, beyond - next.VirtualAddress);
    } else {
        EXPECT_FALSE(lookup.found);
        EXPECT_EQ(lookup.section, 0u);
        EXPECT_EQ(lookup.offset, 0u);
    }
}

TEST(CrashModuleSection, TheHeadersOfAModuleLieInNoSectionButNameTheModule)
{
    const HMODULE exe = GetModuleHandleA(nullptr);
    const Lookup lookup(exe);
    EXPECT_FALSE(lookup.found);
    EXPECT_EQ(lookup.section, 0u);
    EXPECT_EQ(lookup.offset, 0u);
    EXPECT_EQ(std::string(lookup.module), ModulePath(exe));
}

TEST(CrashModuleSection, AnAddressInASystemLibraryNamesThatLibrary)
{
    const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    ASSERT_NE(kernel32, nullptr);
    const auto address = reinterpret_cast<const BYTE*>(GetProcAddress(kernel32, "GetTickCount"));
    ASSERT_NE(address, nullptr);
    const DWORD rva = static_cast<DWORD>(address - reinterpret_cast<const BYTE*>(kernel32));

    DWORD expectedSection = 0;
    DWORD expectedOffset = 0;
    for (int number = 1; number <= NtHeaders(kernel32)->FileHeader.NumberOfSections; ++number) {
        const IMAGE_SECTION_HEADER& section = Section(kernel32, number);
        if (rva >= section.VirtualAddress && rva < section.VirtualAddress + SectionLength(section)) {
            expectedSection = static_cast<DWORD>(number);
            expectedOffset = rva - section.VirtualAddress;
            break;
        }
    }
    ASSERT_NE(expectedSection, 0u);

    const Lookup lookup(address);
    EXPECT_TRUE(lookup.found);
    EXPECT_EQ(lookup.section, expectedSection);
    EXPECT_EQ(lookup.offset, expectedOffset);
    EXPECT_EQ(std::string(lookup.module), ModulePath(kernel32));
}

TEST(CrashModuleSection, AnAllocatedPageIsNoModule)
{
    void* page = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE);
    ASSERT_NE(page, nullptr);
    const Lookup lookup(static_cast<BYTE*>(page) + 100);
    EXPECT_FALSE(lookup.found);
    EXPECT_EQ(lookup.section, 0u);
    EXPECT_EQ(lookup.offset, 0u);
    EXPECT_EQ(std::string(lookup.module), "");
    VirtualFree(page, 0, MEM_RELEASE);
}

TEST(CrashModuleSection, AStackAddressIsNoModule)
{
    int local = 0;
    const Lookup lookup(&local);
    EXPECT_FALSE(lookup.found);
    EXPECT_EQ(lookup.section, 0u);
    EXPECT_EQ(lookup.offset, 0u);
    EXPECT_EQ(std::string(lookup.module), "");
}

TEST(CrashModuleSection, FreeMemoryAndTheNullAddressAreNoModule)
{
    // A call through a null pointer faults at address 0; free memory has no
    // allocation base, which must not be taken for the executable's.
    void* page = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(page, nullptr);
    VirtualFree(page, 0, MEM_RELEASE);
    for (const void* address : {static_cast<const void*>(nullptr), static_cast<const void*>(page)}) {
        MEMORY_BASIC_INFORMATION mbi;
        ASSERT_NE(VirtualQuery(address, &mbi, sizeof mbi), 0u);
        ASSERT_EQ(mbi.State, static_cast<DWORD>(MEM_FREE));
        const Lookup lookup(address);
        EXPECT_FALSE(lookup.found) << address;
        EXPECT_EQ(lookup.section, 0u) << address;
        EXPECT_EQ(lookup.offset, 0u) << address;
        EXPECT_EQ(std::string(lookup.module), "") << address;
    }
}

TEST(CrashModuleSection, TheModulePathIsCutToTheGivenSize)
{
    const HMODULE exe = GetModuleHandleA(nullptr);
    const std::string full = ModulePath(exe);
    ASSERT_GT(full.size(), 10u);
    char module[11];
    std::memset(module, 'g', sizeof module);
    DWORD section = 7;
    DWORD offset = 7;
    CCrashReportWriter::FindModuleSection(reinterpret_cast<const void*>(&FunctionInThisExecutable), module,
                                          sizeof module, section, offset);
    EXPECT_EQ(std::string(module), full.substr(0, 10));
    EXPECT_EQ(section, 1u);
}

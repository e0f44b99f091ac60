// The host watch's pieces: the command line the driver gives the panel, and
// the process-list look-up that decides when the host is gone.
#include "host_watch.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ArgumentsCase {
    const char* commandLine;
    const char* arguments;
};

class CommandLineArgumentsTest : public testing::TestWithParam<ArgumentsCase> {};

TEST_P(CommandLineArgumentsTest, ArgumentsFollowTheProgramName)
{
    EXPECT_STREQ(CommandLineArguments(GetParam().commandLine), GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, CommandLineArgumentsTest,
    testing::Values(ArgumentsCase{"telvarapanel.exe", ""}, ArgumentsCase{"telvarapanel.exe 1234", "1234"},
                    ArgumentsCase{"\"C:\\Program Files\\Telvara\\telvarapanel.exe\" 1234", "1234"},
                    ArgumentsCase{"\"C:\\a b\\telvarapanel.exe\"", ""},
                    ArgumentsCase{"C:\\telvarapanel.exe \t  1234 more words", "1234 more words"},
                    ArgumentsCase{"\"unterminated 1234", ""}, ArgumentsCase{"", ""}));

struct ProcessIdCase {
    const char* arguments;
    DWORD processId;
};

class ParseHostProcessIdTest : public testing::TestWithParam<ProcessIdCase> {};

TEST_P(ParseHostProcessIdTest, LeadingDecimalNumberNamesTheHost)
{
    EXPECT_EQ(ParseHostProcessId(GetParam().arguments), GetParam().processId);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ParseHostProcessIdTest,
    testing::Values(ProcessIdCase{"1234", 1234}, ProcessIdCase{"1234 more words", 1234},
                    ProcessIdCase{"  \t42", 42}, ProcessIdCase{"+7", 7}, ProcessIdCase{"12abc", 12},
                    ProcessIdCase{"abc", 0}, ProcessIdCase{"", 0}, ProcessIdCase{"- 5", 0},
                    ProcessIdCase{"-1", 0xFFFFFFFFu},
                    // Saturates like strtol instead of wrapping to some other process.
                    ProcessIdCase{"99999999999", 0x7FFFFFFFu}));

TEST(IsProcessAliveTest, ThisProcessAndTheIdleIdLiveAnEndedChildDoesNot)
{
    EXPECT_TRUE(IsProcessAlive(GetCurrentProcessId()));
    EXPECT_TRUE(IsProcessAlive(0));

    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string line = std::string("\"") + self + "\" --gtest_filter=NoSuchTest";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &child));
    EXPECT_TRUE(IsProcessAlive(child.dwProcessId) || WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
    // The handle keeps the id from being reused while we look.
    EXPECT_FALSE(IsProcessAlive(child.dwProcessId));
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
}

}  // namespace

#include "crash_report_writer.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

namespace {

std::string ReportPathOf(const std::string& modulePath)
{
    char reportPath[MAX_PATH];
    std::memset(reportPath, 'g', sizeof reportPath);
    CCrashReportWriter::MakeReportPath(modulePath.c_str(), reportPath);
    return reportPath;
}

}  // namespace

TEST(CrashReportPath, TheExtensionOfTheFileNameBecomesRpt)
{
    EXPECT_EQ(ReportPathOf("C:\\Program Files\\Host\\Player.exe"), "C:\\Program Files\\Host\\Player.RPT");
    EXPECT_EQ(ReportPathOf("Player.exe"), "Player.RPT");
    EXPECT_EQ(ReportPathOf("C:\\tools\\Tool.html"), "C:\\tools\\Tool.RPT");
    EXPECT_EQ(ReportPathOf("C:\\tools\\archive.tar.gzip"), "C:\\tools\\archive.tar.RPT");
    EXPECT_EQ(ReportPathOf("C:\\tools\\.profile"), "C:\\tools\\.RPT");
}

TEST(CrashReportPath, AnExtensionShorterThanThreeCharactersKeepsThePath)
{
    EXPECT_EQ(ReportPathOf("a.b"), "a.b");
    EXPECT_EQ(ReportPathOf("C:\\tools\\x.ab"), "C:\\tools\\x.ab");
    EXPECT_EQ(ReportPathOf("C:\\tools\\player."), "C:\\tools\\player.");
}

TEST(CrashReportPath, AFileNameWithoutDotKeepsThePathWhateverItsFolders)
{
    EXPECT_EQ(ReportPathOf("C:\\tools\\player"), "C:\\tools\\player");
    // The dot of a folder name is no extension: the report stays beside the
    // executable and keeps its name.
    EXPECT_EQ(ReportPathOf("C:\\my.tools\\player"), "C:\\my.tools\\player");
    EXPECT_EQ(ReportPathOf("C:/my.tools/player"), "C:/my.tools/player");
    EXPECT_EQ(ReportPathOf("\\\\server\\share.point\\bin\\host"), "\\\\server\\share.point\\bin\\host");
}

TEST(CrashReportPath, AFolderWithADotLeavesTheFileNamesExtensionToBeReplaced)
{
    EXPECT_EQ(ReportPathOf("C:\\my.tools\\Player.exe"), "C:\\my.tools\\Player.RPT");
    EXPECT_EQ(ReportPathOf("C:\\a.b.c\\d.e\\Tool.html"), "C:\\a.b.c\\d.e\\Tool.RPT");
    EXPECT_EQ(ReportPathOf("C:/my.tools/Player.exe"), "C:/my.tools/Player.RPT");
}

TEST(CrashReportPath, APathOfMaximumLengthStaysTerminated)
{
    const std::string folder = "C:\\" + std::string(MAX_PATH - 1 - 3 - 11, 'f') + "\\";
    const std::string path = folder + "Player.exe";
    ASSERT_EQ(path.size(), static_cast<size_t>(MAX_PATH - 1));
    EXPECT_EQ(ReportPathOf(path), folder + "Player.RPT");
}

TEST(CrashReportPath, AWriterReportsBesideThisExecutable)
{
    char exe[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(nullptr, exe, MAX_PATH), 0u);
    const std::string exePath = exe;
    ASSERT_EQ(exePath.substr(exePath.size() - 4), ".exe");

    LPTOP_LEVEL_EXCEPTION_FILTER original = SetUnhandledExceptionFilter(nullptr);
    {
        CCrashReportWriter writer;
        EXPECT_EQ(std::string(CCrashReportWriter::GetReportPath()), exePath.substr(0, exePath.size() - 3) + "RPT");
    }
    SetUnhandledExceptionFilter(original);
}

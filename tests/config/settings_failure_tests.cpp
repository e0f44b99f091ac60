#include "appdata_redirect.h"
#include "child_process.h"
#include "message_box_log.h"
#include "settings_file.h"
#include "settings_paths.h"
#include "trace_capture.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <vector>

namespace {

// "读取配置文件出现异常:" in code page 936.
const std::string kReadExceptionPrefix = "\xb6\xc1\xc8\xa1\xc5\xe4\xd6\xc3\xce\xc4\xbc\xfe\xb3\xf6\xcf\xd6\xd2\xec\xb3\xa3:";

// A regular file where the settings folder should be: nothing can be created
// inside it.
void BlockSettingsFolder(const AppDataRedirect& appData)
{
    WriteFileBytes(appData.SettingsFolder(), "not a folder");
}

// A thread's work: closes the handle it is given after 150 ms.
DWORD WINAPI LetGoLater(LPVOID handle)
{
    Sleep(150);
    CloseHandle(static_cast<HANDLE>(handle));
    return 0;
}

}  // namespace

TEST(SettingsFailure, ADriverGoesOnWithDefaultsAndCanTellTheFileIsUnusable)
{
    AppDataRedirect appData;
    BlockSettingsFolder(appData);
    ClearLoggedMessageBoxes();
    SettingsFile file(SettingsFailureAction::Continue);
    EXPECT_FALSE(file.IsUsable());
    const auto boxes = LoggedMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "TELVARA");
    EXPECT_EQ(boxes[0].type, static_cast<unsigned>(MB_ICONERROR));
    EXPECT_EQ(boxes[0].text.rfind(kReadExceptionPrefix, 0), 0u) << boxes[0].text;
    EXPECT_GT(boxes[0].text.size(), kReadExceptionPrefix.size()) << "the library's message follows";
    EXPECT_EQ(file.GetFailureText(), boxes[0].text);

    TraceCapture trace;
    testing::internal::CaptureStdout();
    DriverSettings* s = file.LoadSettings();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::vector<std::string> lines = trace.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("[TELVARA]System exception:", 0), 0u) << lines[0];
    EXPECT_EQ(s->blockFrames, 512);
    EXPECT_EQ(s->sampleRate, 44100);
    EXPECT_TRUE(s->outputDevices.empty());
}

TEST(SettingsFailure, AFileThatBecomesReadableLaterIsPickedUpByTheNextLoad)
{
    AppDataRedirect appData;
    BlockSettingsFolder(appData);
    SettingsFile file(SettingsFailureAction::Continue);
    ASSERT_FALSE(file.IsUsable());
    DeleteFileA(appData.SettingsFolder().c_str());
    CreateDirectoryA(appData.SettingsFolder().c_str(), nullptr);
    WriteFileBytes(appData.SettingsFile(), "[default]\nSampleRate=32000\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(file.LoadSettings()->sampleRate, 32000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(file.IsUsable()) << "a readable file ends the failure";
    EXPECT_EQ(file.GetFailureText(), "");
}

TEST(SettingsFailure, DISABLED_ChildEndsWhenTheFileCannotBeCreated)
{
    SettingsFile file(SettingsFailureAction::ExitProcess);
    ADD_FAILURE() << "the process should have ended";
}

TEST(SettingsFailure, APanelEndsWithExitCodeMinusOne)
{
    AppDataRedirect appData;
    BlockSettingsFolder(appData);
    EXPECT_EQ(RunChildTest("SettingsFailure.DISABLED_ChildEndsWhenTheFileCannotBeCreated"), -1);
}

TEST(SettingsFailure, DISABLED_ChildOpensTheSettings)
{
    SettingsFile file(SettingsFailureAction::ExitProcess);
    EXPECT_TRUE(file.IsUsable());
    EXPECT_EQ(file.LoadSettings()->blockFrames, 512);
    EXPECT_TRUE(LoggedMessageBoxes().empty());
}

TEST(SettingsFailure, ProgramsStartingAtTheSameMomentAllCreateOrFindTheFile)
{
    // Panel and driver start together when a host creates the driver; the one
    // that loses the race to create config.ini must simply read it.
    for (int round = 0; round < 3; ++round) {
        AppDataRedirect appData;
        std::vector<std::unique_ptr<ChildTest>> children;
        for (int i = 0; i < 6; ++i) {
            children.push_back(std::make_unique<ChildTest>("SettingsFailure.DISABLED_ChildOpensTheSettings"));
        }
        for (auto& child : children) {
            EXPECT_EQ(child->Wait(60000), 0);
        }
        EXPECT_EQ(ReadFileBytes(appData.SettingsFile()), "");
    }
}

TEST(SettingsFailure, AFileTheOtherProgramHoldsForAMomentIsReadOnceItLetsGo)
{
    // The program that has just created config.ini holds it open without
    // sharing it for a moment; the one starting beside it must wait for it,
    // not give up.
    AppDataRedirect appData;
    CreateDirectoryA(appData.SettingsFolder().c_str(), nullptr);
    WriteFileBytes(appData.SettingsFile(), "[default]\nSampleRate=32000\n");
    const HANDLE held = CreateFileA(appData.SettingsFile().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const HANDLE letGo = CreateThread(nullptr, 0, LetGoLater, held, 0, nullptr);
    ASSERT_NE(letGo, nullptr);
    ClearLoggedMessageBoxes();
    SettingsFile file(SettingsFailureAction::Continue);
    WaitForSingleObject(letGo, 5000);
    CloseHandle(letGo);
    EXPECT_TRUE(file.IsUsable()) << file.GetFailureText();
    EXPECT_TRUE(LoggedMessageBoxes().empty());
    EXPECT_EQ(file.LoadSettings()->sampleRate, 32000);
}

TEST(SettingsPaths, AnApplicationDataFolderOutsideAsciiWorksForCreationAndReload)
{
    // 测试 and ü: both in code page 936, the code page these tests run with.
    AppDataRedirect appData(L"telvara-\u6d4b\u8bd5-\u00fc");
    ASSERT_NE(appData.Folder().find('\xb2'), std::string::npos) << "the ANSI path holds GBK bytes";
    SettingsFile file(SettingsFailureAction::Continue);
    ASSERT_TRUE(file.IsUsable()) << file.GetFailureText();
    EXPECT_EQ(ReadFileBytes(appData.SettingsFile()), "");
    file.WriteDefaultValue("BlockFrames", "1024");
    testing::internal::CaptureStdout();
    EXPECT_EQ(file.LoadSettings()->blockFrames, 1024);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(SettingsPaths, ToUtf8PathConvertsFromTheAnsiCodePage)
{
    EXPECT_EQ(ToUtf8Path(""), "");
    EXPECT_EQ(ToUtf8Path("C:\\plain"), "C:\\plain");
    ASSERT_EQ(GetACP(), 936u);
    EXPECT_EQ(ToUtf8Path("C:\\\xb2\xe2\xca\xd4"), "C:\\\xe6\xb5\x8b\xe8\xaf\x95");
}

TEST(SettingsPaths, ModuleFolderPathIsTheFolderOfThisProgram)
{
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string folder = exe;
    folder.resize(folder.find_last_of('\\'));
    EXPECT_EQ(ModuleFolderPath(), folder);
}

TEST(SettingsPaths, GetSettingsFileIsOneInstancePerProcess)
{
    AppDataRedirect appData;
    SettingsFile& first = GetSettingsFile(SettingsFailureAction::Continue);
    EXPECT_EQ(&GetSettingsFile(), &first);
    EXPECT_TRUE(first.IsUsable());
}

// The driver and the control panel program beside it: a stand-in panel
// (e2e_helper copied as telvarapanel.exe) records how it was started. Driver
// objects are created in child processes (see e2e_support.h); the case with
// a panel window runs on a desktop of its own, where windows can be made
// without a display.
#include "appdata_redirect.h"
#include "asio.h"
#include "e2e_support.h"
#include "import_patch.h"
#include "telvara_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

namespace {

using namespace e2e;

constexpr const char* kOnlyAsChild = "runs in a child process started by the test of the same name without DISABLED_";
constexpr DWORD kPanelStartWaitMs = 20000;

IASIO* CreateDriver(const DriverLibrary& library)
{
    IClassFactory* factory = nullptr;
    if (library.GetClassObject(CLSID_TelvaraDriver, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK) {
        return nullptr;
    }
    IASIO* driver = nullptr;
    factory->CreateInstance(nullptr, CLSID_TelvaraDriver, reinterpret_cast<void**>(&driver));
    factory->Release();
    return driver;
}

// Processes ever created in a job this process has joined, itself included.
DWORD StartedProcesses(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr);
    return accounting.TotalProcesses;
}

// "name=value" words of the helper's result lines, keyed "line-prefix:name".
std::map<std::string, std::string> ResultWords(const std::string& text)
{
    std::map<std::string, std::string> words;
    for (const std::string& line : Lines(text)) {
        std::istringstream stream(line);
        std::string word;
        std::string prefix;
        while (stream >> word) {
            if (word.back() == ':') {
                prefix = word;
                continue;
            }
            const size_t equals = word.find('=');
            if (equals != std::string::npos) {
                words[prefix + word.substr(0, equals)] = word.substr(equals + 1);
            }
        }
    }
    return words;
}

class PanelLinkTest : public testing::Test {
protected:
    AppDataRedirect m_appData{L"telvara-e2e-panel"};
    SimDriverFolder m_driver;
};

}  // namespace

TEST_F(PanelLinkTest, CreatingADriverStartsThePanelHiddenWithTheHostsProcessId)
{
    m_driver.PlacePanelStandIn();
    EXPECT_EQ(RunDriverChild("PanelLinkChild.DISABLED_CreatingADriverStartsThePanelHiddenWithTheHostsProcessId",
                             m_driver.DriverPath()),
              0L);
}

TEST(PanelLinkChild, DISABLED_CreatingADriverStartsThePanelHiddenWithTheHostsProcessId)
{
    const std::string path = ChildDriverPath();
    if (path.empty()) {
        GTEST_SKIP() << kOnlyAsChild;
    }
    const std::string starts = FolderOf(path) + kPanelStartsFile;
    DriverLibrary library(path);
    DriverMessageBoxLog boxes(library.Module());

    IASIO* driver = CreateDriver(library);
    ASSERT_NE(driver, nullptr);
    auto lines = WaitForLines(starts, 1, kPanelStartWaitMs);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "args=[" + std::to_string(GetCurrentProcessId()) + "] show=" + std::to_string(SW_HIDE));

    // The host asks for the panel: started again, shown, without arguments.
    EXPECT_EQ(driver->controlPanel(), ASE_OK);
    lines = WaitForLines(starts, 2, kPanelStartWaitMs);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "args=[] show=" + std::to_string(SW_SHOW));
    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_TRUE(DriverMessageBoxLog::Boxes().empty());
}

TEST_F(PanelLinkTest, WithoutAPanelProgramNothingIsStartedAndNothingBreaks)
{
    EXPECT_EQ(RunDriverChild("PanelLinkChild.DISABLED_WithoutAPanelProgramNothingIsStartedAndNothingBreaks",
                             m_driver.DriverPath()),
              0L);
}

TEST(PanelLinkChild, DISABLED_WithoutAPanelProgramNothingIsStartedAndNothingBreaks)
{
    const std::string path = ChildDriverPath();
    if (path.empty()) {
        GTEST_SKIP() << kOnlyAsChild;
    }
    ASSERT_FALSE(FileExists(FolderOf(path) + "telvarapanel.exe"));
    // Every process this one starts joins the job and is counted there.
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    ASSERT_TRUE(job && AssignProcessToJobObject(job, GetCurrentProcess()));
    DriverLibrary library(path);
    DriverMessageBoxLog boxes(library.Module());

    IASIO* driver = CreateDriver(library);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->controlPanel(), ASE_OK);
    char name[64] = {};
    driver->getDriverName(name);
    EXPECT_STREQ(name, "TELVARA");
    EXPECT_EQ(driver->Release(), 0u);
    EXPECT_EQ(StartedProcesses(job), 1u) << "only this process";
    EXPECT_TRUE(DriverMessageBoxLog::Boxes().empty());
    CloseHandle(job);
}

// A window of class "telvarapanel" means the panel runs: the driver starts
// no second one, neither at creation nor for controlPanel, and leaves that
// window alone when the driver object goes (it did not start it). Once it is
// gone, the same calls start the program again (in the same helper, as a
// control).
TEST_F(PanelLinkTest, WithAPanelWindowNoSecondPanelIsStartedAndAPanelItDidNotStartStays)
{
    m_driver.PlacePanelStandIn();
    TempFolder results("Telvara-Panel-Window");
    const std::string resultFile = results / "result.txt";
    const std::string doneName = "Local\\telvara-e2e-panel-done-" + std::to_string(GetCurrentProcessId());
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, doneName.c_str());
    ASSERT_NE(done, nullptr);
    // A desktop of its own with Wine's null display driver: top-level
    // windows exist there even where no display is.
    const std::string desktop = "telvara-e2e-" + std::to_string(GetCurrentProcessId());
    std::string line = "explorer.exe /desktop=";
    line += desktop;
    line += ",640x480,null ";
    line += CommandLine({HelperPath(), "panel-window", m_driver.DriverPath(), resultFile, doneName});
    ChildProgram explorer(line);
    ASSERT_TRUE(explorer.Started());
    const bool finished = WaitForSingleObject(done, 60000) == WAIT_OBJECT_0;
    CloseHandle(done);
    const std::string text = FileExists(resultFile) ? ReadFileBytes(resultFile) : std::string();
    auto words = ResultWords(text);
    if (!finished) {
        if (!words["pid"].empty()) {
            if (HANDLE helper = OpenProcess(PROCESS_TERMINATE, FALSE, std::stoul(words["pid"]))) {
                TerminateProcess(helper, 1);
                CloseHandle(helper);
            }
        }
        FAIL() << "the helper did not finish; it wrote:\n" << text << explorer.Output();
    }
    explorer.Wait(30000);
    if (words["window"] == "none") {
        GTEST_SKIP() << "no top-level window could be created on a desktop with Wine's null display driver "
                        "(error "
                     << words["error"] << "), so the panel cannot be made to look as if it runs";
    }
    ASSERT_EQ(words["job"], "1") << text;
    EXPECT_EQ(words["found"], "1") << text;
    EXPECT_EQ(words["with-window:created"], "1") << text;
    EXPECT_EQ(words["with-window:control-panel"], "0") << text;
    EXPECT_EQ(words["with-window:started"], "0") << text;
    EXPECT_EQ(words["with-window:close-messages"], "0") << text;
    EXPECT_EQ(words["with-window:window-alive"], "1") << text;
    EXPECT_EQ(words["without-window:created"], "1") << text;
    EXPECT_EQ(words["without-window:control-panel"], "0") << text;
    // A console program may bring a console host of its own into the job
    // soon after, so at least one process each.
    EXPECT_GE(std::stoi("0" + words["without-window:started-at-creation"]), 1) << text;
    EXPECT_GE(std::stoi("0" + words["without-window:started-by-control-panel"]), 1) << text;
    EXPECT_EQ(words["without-window:close-messages"], "0") << text;
    EXPECT_EQ(words["boxes"], "0") << text;

    // Both stand-ins were started by then; which of them wrote first is theirs.
    auto lines = WaitForLines(m_driver.PanelStartsFile(), 2, kPanelStartWaitMs);
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected = {"args=[" + words["pid"] + "] show=" + std::to_string(SW_HIDE),
                                         "args=[] show=" + std::to_string(SW_SHOW)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected) << text;
}

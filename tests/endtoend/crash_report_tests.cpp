// Crash reports of a host process written by the driver library: e2e_helper,
// copied as Player.exe, loads a copy of the sim driver and faults. Its own
// filter was installed before the library loaded, so the library's writer
// must hand the fault on to it (that filter ends the process with 0x600D).
#include "appdata_redirect.h"
#include "e2e_signals.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace e2e;

const std::string kSeparator = "//=====================================================\n";

// "name=value" lines the faulting host wrote before it faulted.
std::map<std::string, std::string> ReadFacts(const std::string& path)
{
    std::map<std::string, std::string> facts;
    for (const std::string& line : Lines(ReadFileBytes(path))) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            facts[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return facts;
}

class CrashReportTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CopyFileTo(SimDriverPath(), m_driverFolder / "telvara_x64.dll"));
        ASSERT_TRUE(CopyFileTo(HelperPath(), Player()));
    }

    std::string Player() const { return m_hostFolder / "Player.exe"; }

    // Runs the host; the record it should have caused.
    std::string FaultOnce(const std::string& driver)
    {
        const std::string factsFile = m_hostFolder / "facts.txt";
        const ProgramResult run =
            RunProgram(CommandLine({Player(), "crash", driver, factsFile}), 60000);
        EXPECT_EQ(run.exitCode, std::optional<long>(kHelperChainedOn)) << run.output;
        auto facts = ReadFacts(factsFile);
        EXPECT_EQ(Lower(facts["module"]), Lower(Player()));
        return kSeparator + "Exception code: C0000005 ACCESS_VIOLATION\n" + "Fault address:  " + facts["address"] +
               " " + facts["section"] + ":" + facts["offset"] + " " + facts["module"] + "\n" + "\n";
    }

    TempFolder m_driverFolder{"Telvara-Crash-Driver"};
    TempFolder m_hostFolder{"Telvara-Crash-Host"};
};

}  // namespace

TEST_F(CrashReportTest, AHostThatFaultsWithTheDriverLoadedGetsARecordBesideItsExecutable)
{
    const std::string driver = m_driverFolder / "telvara_x64.dll";
    const std::string first = FaultOnce(driver);
    ASSERT_FALSE(HasFailure());
    const std::string report = m_hostFolder / "Player.RPT";
    ASSERT_TRUE(FileExists(report)) << "no report beside the host's executable";
    EXPECT_EQ(ReadFileBytes(report), first);
    EXPECT_FALSE(FileExists(m_driverFolder / "telvara_x64.RPT"));

    // A second crash appends its record.
    const std::string second = FaultOnce(driver);
    EXPECT_EQ(ReadFileBytes(report), first + second);
}

TEST_F(CrashReportTest, WithoutTheDriverTheSameFaultLeavesNoRecord)
{
    FaultOnce("none");
    EXPECT_FALSE(FileExists(m_hostFolder / "Player.RPT"));
}

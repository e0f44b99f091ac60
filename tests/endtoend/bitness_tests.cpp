// The 64-bit and the 32-bit driver side by side, installed in one folder as
// the installer leaves them: each registers in the registry view of its own
// bitness through the regsvr32 of that bitness, never touches the other's
// keys, is listed by a host of its own bitness only, and the 32-bit one
// streams through simulated devices exactly as the 64-bit one does.
//
// The 32-bit half needs the x86 build and a machine that runs 32-bit
// programs; without either, the tests say why and skip.
#include "e2e_support.h"
#include "appdata_redirect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <sstream>

namespace {

using namespace e2e;

// What a 64-bit process sees of the 32-bit view: the WOW6432Node keys.
constexpr const char* kClassKey32 = "WOW6432Node\\CLSID\\{6F3D27A1-94C2-4E58-B1D7-5A0C8E2F9B34}";
constexpr const char* kAsioKey32 = "SOFTWARE\\WOW6432Node\\ASIO";
constexpr const char* kDriverKey32 = "SOFTWARE\\WOW6432Node\\ASIO\\TelvaraDriver";
constexpr long kBlock = 512;

enum class Bits { x64, x86 };

const char* Name(Bits bits)
{
    return bits == Bits::x64 ? "64-bit" : "32-bit";
}

std::string SystemFolder(Bits bits)
{
    char folder[MAX_PATH] = {};
    if (bits == Bits::x64) {
        GetSystemDirectoryA(folder, MAX_PATH);
    } else {
        GetSystemWow64DirectoryA(folder, MAX_PATH);
    }
    return folder;
}

std::string Regsvr32(Bits bits)
{
    return SystemFolder(bits) + "\\regsvr32.exe";
}

std::string HostProgram(Bits bits)
{
    return bits == Bits::x64 ? HostProgramPath() : WindowsPathOf(E2E_X86_HOST_PROGRAM);
}

// Why the 32-bit half cannot run here, or nothing.
std::string X86Unavailable()
{
    if (const std::string reason = X86UnavailableReason(); !reason.empty()) {
        return "this machine cannot run 32-bit programs: " + reason;
    }
    for (const char* built : {E2E_X86_SIM_DRIVER, E2E_X86_HOST_PROGRAM}) {
        if (!FileExists(WindowsPathOf(built))) {
            return std::string("the x86 build is missing ") + built + " (build the x86 preset first)";
        }
    }
    return {};
}

RegistryKey ClassKeyFor(const std::string& registeredPath)
{
    RegistryKey key;
    key.values[""] = Sz("TELVARA");
    key.keys["InprocServer32"].values[""] = Sz(registeredPath);
    key.keys["InprocServer32"].values["ThreadingModel"] = Sz("Apartment");
    return key;
}

RegistryKey DriverKey()
{
    RegistryKey key;
    key.values["CLSID"] = Sz(kClassIdText);
    key.values["Description"] = Sz("TELVARA");
    return key;
}

bool ListsTelvara(const std::string& listOutput)
{
    for (const std::string& line : Lines(listOutput)) {
        std::istringstream words(line);
        std::string key, description, rest;
        words >> key >> description;
        if (key == "TelvaraDriver" && description == "TELVARA" && !(words >> rest)) {
            return true;
        }
    }
    return false;
}

// Both libraries in one folder, the class keys and ASIO keys of both views
// cleared first and put back as they were afterwards.
class BothBitnessesTest : public testing::Test {
protected:
    void SetUp() override
    {
        const std::string reason = X86Unavailable();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
        for (auto [root, path] : {std::pair{HKEY_CLASSES_ROOT, kClassKey}, {HKEY_CLASSES_ROOT, kClassKey32},
                                  {HKEY_LOCAL_MACHINE, kDriverKey}, {HKEY_LOCAL_MACHINE, kDriverKey32}}) {
            RemoveKeyTree(root, path);
        }
        ASSERT_TRUE(CopyFileTo(SimDriverPath(), Library(Bits::x64)));
        ASSERT_TRUE(CopyFileTo(WindowsPathOf(E2E_X86_SIM_DRIVER), Library(Bits::x86)));
    }

    std::string Library(Bits bits) const
    {
        return m_folder / (bits == Bits::x64 ? "telvara_x64.dll" : "telvara_x86.dll");
    }

    void Regsvr32(Bits bits, bool unregister) const
    {
        const std::string command =
            CommandLine({::Regsvr32(bits)}) + (unregister ? " /u /s " : " /s ") + CommandLine({Library(bits)});
        const ProgramResult result = RunProgram(command);
        ASSERT_EQ(result.exitCode, 0L) << command << "\n" << result.output;
    }

    // The class key and the ASIO key of one view, exactly.
    std::string Keys(Bits bits) const
    {
        return Describe(ReadKeyTree(HKEY_CLASSES_ROOT, bits == Bits::x64 ? kClassKey : kClassKey32)) +
               Describe(ReadKeyTree(HKEY_LOCAL_MACHINE, bits == Bits::x64 ? kDriverKey : kDriverKey32));
    }

    std::string ExpectedKeys(Bits bits, bool registered) const
    {
        if (!registered) {
            return Describe(std::nullopt) + Describe(std::nullopt);
        }
        return Describe(ClassKeyFor(Lower(Library(bits)))) + Describe(DriverKey());
    }

    bool HostLists(Bits bits) const
    {
        const ProgramResult listed = RunProgram(CommandLine({HostProgram(bits), "list"}));
        EXPECT_EQ(listed.exitCode, 0L) << listed.output;
        return ListsTelvara(listed.output);
    }

    RegistrySnapshot m_classes64{HKEY_CLASSES_ROOT, kClassKey};
    RegistrySnapshot m_classes32{HKEY_CLASSES_ROOT, kClassKey32};
    RegistrySnapshot m_asio64{HKEY_LOCAL_MACHINE, kAsioKey};
    RegistrySnapshot m_asio32{HKEY_LOCAL_MACHINE, kAsioKey32};
    TempFolder m_folder{"Telvara-Both"};
};

struct Step {
    Bits bits;
    bool unregister;
};

std::string Describe(const std::array<Step, 4>& steps)
{
    std::string text;
    for (const Step& step : steps) {
        text += std::string(step.unregister ? " unregister " : " register ") + Name(step.bits);
    }
    return text;
}

}  // namespace

// Every order of registering and unregistering the two, 24 in all: after
// each step the keys of each view are exactly those of its own library, or
// none, whatever the other bitness did before.
TEST_F(BothBitnessesTest, RegisteringAndUnregisteringInEveryOrderKeepsTheOtherBitnesssKeys)
{
    std::array<Step, 4> steps = {
        Step{Bits::x64, false}, Step{Bits::x64, true}, Step{Bits::x86, false}, Step{Bits::x86, true}};
    const auto before = [](const Step& a, const Step& b) {
        return std::make_pair(a.bits, a.unregister) < std::make_pair(b.bits, b.unregister);
    };
    std::sort(steps.begin(), steps.end(), before);
    int orders = 0;
    do {
        ++orders;
        SCOPED_TRACE("order:" + Describe(steps));
        std::set<Bits> registered;
        for (const Step& step : steps) {
            ASSERT_NO_FATAL_FAILURE(Regsvr32(step.bits, step.unregister));
            if (step.unregister) {
                registered.erase(step.bits);
            } else {
                registered.insert(step.bits);
            }
            SCOPED_TRACE(std::string("after ") + (step.unregister ? "unregistering " : "registering ") + Name(step.bits));
            for (Bits view : {Bits::x64, Bits::x86}) {
                ASSERT_EQ(Keys(view), ExpectedKeys(view, registered.count(view) > 0)) << Name(view) << " view";
            }
        }
        for (Bits bits : registered) {
            ASSERT_NO_FATAL_FAILURE(Regsvr32(bits, true));
        }
    } while (std::next_permutation(steps.begin(), steps.end(), before));
    EXPECT_EQ(orders, 24);
}

// A host finds the driver of its own bitness only: 64-bit hosts cannot load
// the 32-bit library, nor 32-bit hosts the 64-bit one.
TEST_F(BothBitnessesTest, EachHostListsTheDriverOfItsOwnBitnessOnly)
{
    EXPECT_FALSE(HostLists(Bits::x64));
    EXPECT_FALSE(HostLists(Bits::x86));

    ASSERT_NO_FATAL_FAILURE(Regsvr32(Bits::x86, false));
    EXPECT_FALSE(HostLists(Bits::x64));
    EXPECT_TRUE(HostLists(Bits::x86));

    ASSERT_NO_FATAL_FAILURE(Regsvr32(Bits::x64, false));
    EXPECT_TRUE(HostLists(Bits::x64));
    EXPECT_TRUE(HostLists(Bits::x86));

    ASSERT_NO_FATAL_FAILURE(Regsvr32(Bits::x86, true));
    EXPECT_TRUE(HostLists(Bits::x64));
    EXPECT_FALSE(HostLists(Bits::x86));

    ASSERT_NO_FATAL_FAILURE(Regsvr32(Bits::x64, true));
    EXPECT_FALSE(HostLists(Bits::x64));
}

// The 32-bit sim driver as a 32-bit host meets it: registered by the 32-bit
// regsvr32 from a folder with its devices described beside it.
class X86HostTest : public BothBitnessesTest {
protected:
    void SetUp() override
    {
        BothBitnessesTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        WriteFileBytes(m_folder / "kssim.ini", kTwoSpeakersAndAMicrophone);
        WriteSettings(m_appData.Folder(),
                      "[default]\nout=Speaker A;Speaker B\nin=Microphone\n"
                      "[Speaker A]\noutMaximumChannels=2\noutChannelLink=0;1\n"
                      "[Speaker B]\noutMaximumChannels=2\noutChannelLink=-2;0\n"
                      "[Microphone]\ninMaximumChannels=2\n");
        ASSERT_NO_FATAL_FAILURE(Regsvr32(Bits::x86, false));
    }

    void TearDown() override
    {
        if (!IsSkipped()) {
            Regsvr32(Bits::x86, true);
        }
    }

    bool ReadRendered(const std::string& file, WavContent& wav)
    {
        std::string error;
        const bool read = ReadWavFile(m_folder / file, wav, error);
        EXPECT_TRUE(read) << error;
        EXPECT_EQ(wav.channels, 2u);
        EXPECT_EQ(wav.sampleRate, 44100u);
        return read && wav.channels == 2;
    }

    AppDataRedirect m_appData{L"telvara-e2e-x86"};
};

TEST_F(X86HostTest, PlayFeedsEachSpeakerSampleExactlyAsThe64BitDriverDoes)
{
    // As the 64-bit test: one host buffer, for output 1 only. Links are
    // output channel numbers: Speaker A plays it on its right channel,
    // Speaker B, linked to output 0 (and -2: not mapped), stays silent.
    const ProgramResult played = RunProgram(
        CommandLine({HostProgram(Bits::x86), "play", "TelvaraDriver", "--signal", "ramp", "--outputs", "1", "--seconds", "1"}));
    ASSERT_EQ(played.exitCode, 0L) << played.output;

    WavContent a, b;
    ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
    ASSERT_TRUE(ReadRendered("speaker_b.wav", b));
    ASSERT_GE(a.Frames(), static_cast<size_t>(20 * kBlock)) << played.output;
    ASSERT_GE(b.Frames(), static_cast<size_t>(20 * kBlock)) << played.output;
    const auto ramp = [](long t) { return static_cast<int16_t>(t & 0x7fff); };
    EXPECT_TRUE(PlayedAsExpected(a, kBlock, [&](long t, int c) { return c == 1 ? ramp(t) : int16_t{0}; }))
        << "Speaker A";
    EXPECT_TRUE(PlayedAsExpected(b, kBlock, [](long, int) { return int16_t{0}; })) << "Speaker B";
}

TEST_F(X86HostTest, RecordGetsTheMicrophonesRampWithoutALostFrame)
{
    TempFolder out("Telvara-Recording-x86");
    const std::string recording = out / "recording.wav";
    const ProgramResult recorded = RunProgram(CommandLine(
        {HostProgram(Bits::x86), "record", "TelvaraDriver", "--out", recording, "--inputs", "0,1", "--seconds", "0.5"}));
    ASSERT_EQ(recorded.exitCode, 0L) << recorded.output;
    EXPECT_TRUE(RecordedTheMicrophoneRamp(recording, kBlock)) << recorded.output;
}

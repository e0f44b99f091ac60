// Self-registration of the driver library, through its exports in a copy of
// the library, through Wine's regsvr32 as a user runs it, and as a host then
// finds the driver. Every test starts with the driver unregistered and puts
// the class key and HKLM\SOFTWARE\ASIO back as they were, whatever happens.
#include "e2e_support.h"
#include "import_patch.h"
#include "message_box_log.h"
#include "server_registration.h"
#include "telvara_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace {

using namespace e2e;

RegistryKey ClassKeyFor(const std::string& registeredPath)
{
    RegistryKey server;
    server.values[""] = Sz(registeredPath);
    server.values["ThreadingModel"] = Sz("Apartment");
    RegistryKey key;
    key.values[""] = Sz("TELVARA");
    key.keys["InprocServer32"] = server;
    return key;
}

RegistryKey DriverKey()
{
    RegistryKey key;
    key.values["CLSID"] = Sz(kClassIdText);
    key.values["Description"] = Sz("TELVARA");
    return key;
}

// Another driver a user has installed.
RegistryKey OtherDriverKey()
{
    RegistryKey key;
    key.values["CLSID"] = Sz("{0A1B2C3D-0000-4000-8000-00000000E2E0}");
    key.values["Description"] = Sz("Other Audio");
    key.keys["Settings"].values["Level"] = {REG_DWORD, {7, 0, 0, 0}};
    return key;
}

std::string ClassTree()
{
    return Describe(ReadKeyTree(HKEY_CLASSES_ROOT, kClassKey));
}

std::string DriverTree()
{
    return Describe(ReadKeyTree(HKEY_LOCAL_MACHINE, kDriverKey));
}

std::string Expected(const RegistryKey& key)
{
    return Describe(key);
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

class RegistrationTest : public testing::Test {
protected:
    void SetUp() override
    {
        RemoveKeyTree(HKEY_CLASSES_ROOT, kClassKey);
        RemoveKeyTree(HKEY_LOCAL_MACHINE, kDriverKey);
        ASSERT_EQ(GetModuleHandleA("telvara_x64.dll"), nullptr) << "a driver library is still loaded in the test";
    }

    // A copy of the sim driver in a folder of its own.
    std::string PlaceLibrary(const TempFolder& folder, const std::string& name = "telvara_x64.dll") const
    {
        const std::string path = folder / name;
        EXPECT_TRUE(CopyFileTo(SimDriverPath(), path)) << path;
        return path;
    }

    RegistrySnapshot m_classes{HKEY_CLASSES_ROOT, kClassKey};
    RegistrySnapshot m_asio{HKEY_LOCAL_MACHINE, kAsioKey};
    TempFolder m_folder{"Telvara-Reg-A"};
};

}  // namespace

TEST_F(RegistrationTest, TheClassIdTextIsTheDriversClassId)
{
    CLSID parsed{};
    std::wstring wide(kClassIdText, kClassIdText + std::strlen(kClassIdText));
    ASSERT_EQ(CLSIDFromString(wide.c_str(), &parsed), S_OK);
    EXPECT_TRUE(IsEqualCLSID(parsed, CLSID_TelvaraDriver));
}

TEST_F(RegistrationTest, RegisteringWritesTheClassAndTheAsioEntryExactly)
{
    const std::string path = PlaceLibrary(m_folder);
    DriverLibrary library(path);
    DriverMessageBoxLog boxes(library.Module());
    ASSERT_TRUE(boxes.Installed());

    ASSERT_EQ(library.RegisterServer(), S_OK);

    // The folder name has capitals: the registered path is the loader's path
    // of the library, in lower case.
    ASSERT_NE(path, Lower(path));
    EXPECT_EQ(Lower(library.LoadedPath()), Lower(path));
    EXPECT_EQ(ClassTree(), Expected(ClassKeyFor(Lower(path))));
    EXPECT_EQ(DriverTree(), Expected(DriverKey()));
    EXPECT_TRUE(DriverMessageBoxLog::Boxes().empty());
}

TEST_F(RegistrationTest, RegisteringAgainFromTheSameFolderKeepsTheClassKeysAndRewritesTheAsioKey)
{
    const std::string path = PlaceLibrary(m_folder);
    DriverLibrary library(path);
    DriverMessageBoxLog boxes(library.Module());
    ASSERT_EQ(library.RegisterServer(), S_OK);

    // Marks nobody but this test writes: they show which keys were rebuilt.
    SetString(HKEY_CLASSES_ROOT, kClassKey, "E2EMark", "class");
    SetString(HKEY_CLASSES_ROOT, std::string(kClassKey) + "\\InprocServer32", "E2EMark", "server");
    SetString(HKEY_LOCAL_MACHINE, kDriverKey, "E2EMark", "asio");
    SetString(HKEY_LOCAL_MACHINE, std::string(kDriverKey) + "\\E2ESub", "", "asio sub key");

    ASSERT_EQ(library.RegisterServer(), S_OK);

    RegistryKey untouched = ClassKeyFor(Lower(path));
    untouched.values["E2EMark"] = Sz("class");
    untouched.keys["InprocServer32"].values["E2EMark"] = Sz("server");
    EXPECT_EQ(ClassTree(), Expected(untouched));
    EXPECT_EQ(DriverTree(), Expected(DriverKey()));
    EXPECT_TRUE(DriverMessageBoxLog::Boxes().empty());
}

TEST_F(RegistrationTest, TheSamePathInOtherCaseCountsAsCurrent)
{
    const std::string path = PlaceLibrary(m_folder);
    DriverLibrary library(path);
    DriverMessageBoxLog boxes(library.Module());
    ASSERT_EQ(library.RegisterServer(), S_OK);
    const std::string serverKey = std::string(kClassKey) + "\\InprocServer32";
    SetString(HKEY_CLASSES_ROOT, serverKey, "", Upper(path));
    SetString(HKEY_CLASSES_ROOT, kClassKey, "E2EMark", "class");

    ASSERT_EQ(library.RegisterServer(), S_OK);

    RegistryKey untouched = ClassKeyFor(Upper(path));
    untouched.values["E2EMark"] = Sz("class");
    EXPECT_EQ(ClassTree(), Expected(untouched));
    EXPECT_EQ(DriverTree(), Expected(DriverKey()));
}

TEST_F(RegistrationTest, RegisteringFromAnotherFolderReplacesTheClassKeys)
{
    const std::string first = PlaceLibrary(m_folder);
    {
        DriverLibrary library(first);
        DriverMessageBoxLog boxes(library.Module());
        ASSERT_EQ(library.RegisterServer(), S_OK);
    }
    SetString(HKEY_CLASSES_ROOT, kClassKey, "E2EMark", "class");
    SetString(HKEY_CLASSES_ROOT, std::string(kClassKey) + "\\E2ESub\\Deeper", "E2EMark", "sub key");

    TempFolder other("Telvara-Reg-B");
    const std::string second = PlaceLibrary(other);
    DriverLibrary library(second);
    DriverMessageBoxLog boxes(library.Module());
    ASSERT_EQ(library.RegisterServer(), S_OK);

    EXPECT_EQ(ClassTree(), Expected(ClassKeyFor(Lower(second))));
    EXPECT_EQ(DriverTree(), Expected(DriverKey()));
    EXPECT_TRUE(DriverMessageBoxLog::Boxes().empty());
}

TEST_F(RegistrationTest, RegisteringKeepsTheOtherDriversOfTheAsioKey)
{
    WriteKeyTree(HKEY_LOCAL_MACHINE, std::string(kAsioKey) + "\\Other Audio", OtherDriverKey());
    const std::string path = PlaceLibrary(m_folder);
    DriverLibrary library(path);
    DriverMessageBoxLog boxes(library.Module());

    ASSERT_EQ(library.RegisterServer(), S_OK);
    EXPECT_EQ(Describe(ReadKeyTree(HKEY_LOCAL_MACHINE, std::string(kAsioKey) + "\\Other Audio")),
              Expected(OtherDriverKey()));
    ASSERT_EQ(library.UnregisterServer(), S_OK);

    EXPECT_EQ(ClassTree(), Describe(std::nullopt));
    EXPECT_EQ(DriverTree(), Describe(std::nullopt));
    EXPECT_EQ(Describe(ReadKeyTree(HKEY_LOCAL_MACHINE, std::string(kAsioKey) + "\\Other Audio")),
              Expected(OtherDriverKey()));
    EXPECT_TRUE(DriverMessageBoxLog::Boxes().empty());
}

TEST_F(RegistrationTest, ARenamedLibraryRegistersNothingAndSaysWhy)
{
    const std::string path = PlaceLibrary(m_folder, "other.dll");
    DriverLibrary library(path);
    DriverMessageBoxLog boxes(library.Module());
    ASSERT_TRUE(boxes.Installed());

    EXPECT_EQ(library.RegisterServer(), static_cast<HRESULT>(0xFFFFFFFF));
    EXPECT_EQ(ClassTree(), Describe(std::nullopt));
    EXPECT_EQ(DriverTree(), Describe(std::nullopt));
    auto shown = DriverMessageBoxLog::Boxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Register Server failed ! (-101)");
    EXPECT_EQ(shown[0].caption, "TELVARA Virtual Driver");
    EXPECT_EQ(shown[0].type, static_cast<unsigned>(MB_OK));

    DriverMessageBoxLog::Clear();
    EXPECT_EQ(library.UnregisterServer(), static_cast<HRESULT>(0xFFFFFFFF));
    shown = DriverMessageBoxLog::Boxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Unregister Server failed ! (-101)");
    EXPECT_EQ(shown[0].caption, "ASIO IAudio I/O Driver");
    EXPECT_EQ(shown[0].type, static_cast<unsigned>(MB_OK));
}

// The same code linked into this program: telvara_x64.dll is not loaded
// here, so registration fails the same way, and the box reaches the
// program's own handler.
TEST_F(RegistrationTest, RegistrationCodeOutsideTheLibraryShowsTheCodeInItsBox)
{
    ClearLoggedMessageBoxes();
    EXPECT_EQ(RegisterServer(), static_cast<HRESULT>(-1));
    auto shown = LoggedMessageBoxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Register Server failed ! (-101)");
    EXPECT_EQ(shown[0].caption, "TELVARA Virtual Driver");
    EXPECT_EQ(shown[0].type, static_cast<unsigned>(MB_OK));

    ClearLoggedMessageBoxes();
    EXPECT_EQ(UnregisterServer(), static_cast<HRESULT>(-1));
    shown = LoggedMessageBoxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Unregister Server failed ! (-101)");
    EXPECT_EQ(shown[0].caption, "ASIO IAudio I/O Driver");
    EXPECT_EQ(ClassTree(), Describe(std::nullopt));
    EXPECT_EQ(DriverTree(), Describe(std::nullopt));
}

TEST_F(RegistrationTest, UnregisteringWithNoAsioKeyAtAllAnswersOkAndCreatesNothing)
{
    RemoveKeyTree(HKEY_LOCAL_MACHINE, kAsioKey);
    const std::string path = PlaceLibrary(m_folder);
    DriverLibrary library(path);
    DriverMessageBoxLog boxes(library.Module());

    EXPECT_EQ(library.UnregisterServer(), S_OK);

    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAsioKey));
    EXPECT_EQ(ClassTree(), Describe(std::nullopt));
    EXPECT_TRUE(DriverMessageBoxLog::Boxes().empty());
}

TEST_F(RegistrationTest, UnregisteringWhenNothingIsRegisteredLeavesOtherDriversAlone)
{
    RemoveKeyTree(HKEY_LOCAL_MACHINE, kAsioKey);
    WriteKeyTree(HKEY_LOCAL_MACHINE, std::string(kAsioKey) + "\\Other Audio", OtherDriverKey());
    const std::string path = PlaceLibrary(m_folder);
    DriverLibrary library(path);
    DriverMessageBoxLog boxes(library.Module());

    EXPECT_EQ(library.UnregisterServer(), S_OK);

    RegistryKey asio;
    asio.keys["Other Audio"] = OtherDriverKey();
    EXPECT_EQ(Describe(ReadKeyTree(HKEY_LOCAL_MACHINE, kAsioKey)), Expected(asio));
    EXPECT_EQ(ClassTree(), Describe(std::nullopt));
    EXPECT_TRUE(DriverMessageBoxLog::Boxes().empty());
}

TEST_F(RegistrationTest, RegisteringCreatesTheAsioKeyWhenItIsMissing)
{
    RemoveKeyTree(HKEY_LOCAL_MACHINE, kAsioKey);
    const std::string path = PlaceLibrary(m_folder);
    DriverLibrary library(path);
    DriverMessageBoxLog boxes(library.Module());

    ASSERT_EQ(library.RegisterServer(), S_OK);

    RegistryKey asio;
    asio.keys["TelvaraDriver"] = DriverKey();
    EXPECT_EQ(Describe(ReadKeyTree(HKEY_LOCAL_MACHINE, kAsioKey)), Expected(asio));
}

TEST_F(RegistrationTest, Regsvr32RegistersTheDriverForHostsAndRemovesItAgain)
{
    const std::string path = PlaceLibrary(m_folder);
    const ProgramResult registered = RunProgram("regsvr32.exe /s " + CommandLine({path}));
    ASSERT_EQ(registered.exitCode, 0L) << registered.output;
    EXPECT_EQ(ClassTree(), Expected(ClassKeyFor(Lower(path))));
    EXPECT_EQ(DriverTree(), Expected(DriverKey()));

    const ProgramResult listed = RunProgram(CommandLine({HostProgramPath(), "list"}));
    ASSERT_EQ(listed.exitCode, 0L) << listed.output;
    EXPECT_TRUE(ListsTelvara(listed.output)) << listed.output;

    const ProgramResult removed = RunProgram("regsvr32.exe /u /s " + CommandLine({path}));
    ASSERT_EQ(removed.exitCode, 0L) << removed.output;
    EXPECT_EQ(ClassTree(), Describe(std::nullopt));
    EXPECT_EQ(DriverTree(), Describe(std::nullopt));

    const ProgramResult relisted = RunProgram(CommandLine({HostProgramPath(), "list"}));
    ASSERT_EQ(relisted.exitCode, 0L) << relisted.output;
    EXPECT_FALSE(ListsTelvara(relisted.output)) << relisted.output;
}

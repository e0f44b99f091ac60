// Device-interface enumeration through the SetupAPI seam functions.

#include "kssim_test_support.h"

#include <cstddef>
#include <devguid.h>

using namespace kssimtest;

namespace {

constexpr DWORD kPresentInterfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

// The detail record the filter enumerator allocates: room for a 520-byte
// path, cbSize of the bare record.
struct DetailRecord {
    DetailRecord()
    {
        bytes.resize(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 520 + (sizeof(void*) == 8 ? 4 : 1));
        Get()->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    }
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* Get() { return reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(bytes.data()); }
    std::vector<uint8_t> bytes;
};

std::vector<std::string> EnumeratePaths(const GUID& interfaceClass, DWORD flags = kPresentInterfaces)
{
    std::vector<std::string> paths;
    HDEVINFO set = KsSystem::SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, flags);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    for (DWORD index = 0;; ++index) {
        data.cbSize = sizeof data;
        if (!KsSystem::SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        DetailRecord detail;
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        EXPECT_TRUE(KsSystem::SetupDiGetDeviceInterfaceDetailA(set, &data, detail.Get(),
                                                               static_cast<DWORD>(detail.bytes.size()), nullptr, &info));
        paths.push_back(detail.Get()->DevicePath);
    }
    EXPECT_TRUE(KsSystem::SetupDiDestroyDeviceInfoList(set));
    return paths;
}

class Enumeration : public SimulationTest {
protected:
    // Opens a set of KSCATEGORY_AUDIO and takes its first interface.
    void OpenFirst()
    {
        m_set = KsSystem::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, kPresentInterfaces);
        ASSERT_NE(m_set, INVALID_HANDLE_VALUE);
        m_interface.cbSize = sizeof m_interface;
        ASSERT_TRUE(KsSystem::SetupDiEnumDeviceInterfaces(m_set, nullptr, &KSCATEGORY_AUDIO, 0, &m_interface));
        m_info.cbSize = sizeof m_info;
        DetailRecord detail;
        ASSERT_TRUE(KsSystem::SetupDiGetDeviceInterfaceDetailA(m_set, &m_interface, detail.Get(),
                                                               static_cast<DWORD>(detail.bytes.size()), nullptr, &m_info));
    }
    void TearDown() override
    {
        if (m_set && m_set != INVALID_HANDLE_VALUE) {
            KsSystem::SetupDiDestroyDeviceInfoList(m_set);
        }
        SimulationTest::TearDown();
    }
    HDEVINFO m_set = nullptr;
    SP_DEVICE_INTERFACE_DATA m_interface{};
    SP_DEVINFO_DATA m_info{};
};

}  // namespace

TEST_F(Enumeration, AnEmptyModelGivesAValidEmptySet)
{
    HDEVINFO set = KsSystem::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, kPresentInterfaces);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(Sim().OpenDeviceInfoSetCount(), 1);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    SetLastError(0);
    EXPECT_FALSE(KsSystem::SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(KsSystem::SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(Sim().OpenDeviceInfoSetCount(), 0);
    EXPECT_FALSE(KsSystem::SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Enumeration, ListsTheInterfacesOfTheAskedClassInModelOrder)
{
    kssim::DeviceModel renderOnly = kssim::RenderDevice("Other", "\\\\?\\root#other#0000#{65e8773e-8f56-11d0-a3b9-00a0c9223196}");
    renderOnly.interfaceClasses = {KSCATEGORY_RENDER};
    Sim().Reset({kssim::RenderDevice("Speakers", kRenderPath), kssim::CaptureDevice("Mic", kCapturePath), renderOnly});

    EXPECT_EQ(EnumeratePaths(KSCATEGORY_AUDIO), (std::vector<std::string>{kRenderPath, kCapturePath}));
    EXPECT_EQ(EnumeratePaths(KSCATEGORY_RENDER), (std::vector<std::string>{renderOnly.devicePath}));
    EXPECT_TRUE(EnumeratePaths(KSCATEGORY_CAPTURE).empty());
    // Every interface of every class.
    EXPECT_EQ(EnumeratePaths(KSCATEGORY_AUDIO, DIGCF_ALLCLASSES | kPresentInterfaces),
              (std::vector<std::string>{kRenderPath, kCapturePath}));
}

TEST_F(Enumeration, InterfaceDataCarriesClassAndActiveFlag)
{
    Sim().Reset({kssim::RenderDevice("Speakers", kRenderPath)});
    OpenFirst();
    EXPECT_EQ(m_interface.InterfaceClassGuid, KSCATEGORY_AUDIO);
    EXPECT_EQ(m_interface.Flags, static_cast<DWORD>(SPINT_ACTIVE));
    EXPECT_EQ(m_info.ClassGuid, GUID_DEVCLASS_MEDIA);
    EXPECT_NE(m_info.DevInst, 0u);
}

TEST_F(Enumeration, RecordsWithAWrongSizeAreRefused)
{
    Sim().Reset({kssim::RenderDevice("Speakers", kRenderPath)});
    HDEVINFO set = KsSystem::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, kPresentInterfaces);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = 0;
    EXPECT_FALSE(KsSystem::SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_FALSE(KsSystem::SetupDiEnumDeviceInterfaces(set, nullptr, nullptr, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    KsSystem::SetupDiDestroyDeviceInfoList(set);
}

TEST_F(Enumeration, DetailAnswersItsSizeAndFillsTheDeviceRecordAsWindowsDoes)
{
    Sim().Reset({kssim::RenderDevice("Speakers", kRenderPath)});
    OpenFirst();
    const DWORD expected = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                              std::string(kRenderPath).size() + 1);
#ifdef _WIN64
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), 8u);
#else
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), 5u);
#endif

    // Size query: no record, size 0; the device record is filled anyway.
    DWORD required = 0;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceInterfaceDetailA(m_set, &m_interface, nullptr, 0, &required, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, expected);
    EXPECT_EQ(info.DevInst, m_info.DevInst);

    // No record but a size.
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceInterfaceDetailA(m_set, &m_interface, nullptr, 100, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    DetailRecord detail;
    // A wrong cbSize is refused before anything else; the size is left alone.
    detail.Get()->cbSize = 0;
    required = 0xDEADBEEF;
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceInterfaceDetailA(m_set, &m_interface, detail.Get(),
                                                            static_cast<DWORD>(detail.bytes.size()), &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(required, 0xDEADBEEFu);

    // One byte short.
    detail.Get()->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceInterfaceDetailA(m_set, &m_interface, detail.Get(), expected - 1, &required,
                                                            nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, expected);

    // Exactly enough, and the 520-byte record of the enumerator.
    EXPECT_TRUE(KsSystem::SetupDiGetDeviceInterfaceDetailA(m_set, &m_interface, detail.Get(), expected, &required, nullptr));
    EXPECT_STREQ(detail.Get()->DevicePath, kRenderPath);
    EXPECT_TRUE(KsSystem::SetupDiGetDeviceInterfaceDetailA(m_set, &m_interface, detail.Get(),
                                                           static_cast<DWORD>(detail.bytes.size()), nullptr, nullptr));
    EXPECT_STREQ(detail.Get()->DevicePath, kRenderPath);

    // A device record of the wrong size, an interface record not from this set.
    info.cbSize = 4;
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceInterfaceDetailA(m_set, &m_interface, detail.Get(),
                                                            static_cast<DWORD>(detail.bytes.size()), nullptr, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    SP_DEVICE_INTERFACE_DATA forged = m_interface;
    forged.Reserved = 77;
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceInterfaceDetailA(m_set, &forged, detail.Get(),
                                                            static_cast<DWORD>(detail.bytes.size()), nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceInterfaceDetailA(m_set, nullptr, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Enumeration, AliasesAnswerTheirFlagsOrNoSuchInterface)
{
    kssim::DeviceModel active = kssim::RenderDevice("Active", "\\\\?\\sim#active");
    kssim::DeviceModel removed = kssim::RenderDevice("Removed", "\\\\?\\sim#removed");
    removed.aliases[KSCATEGORY_RENDER] = SPINT_REMOVED;
    kssim::DeviceModel inactive = kssim::RenderDevice("Inactive", "\\\\?\\sim#inactive");
    inactive.aliases[KSCATEGORY_RENDER] = 0;
    kssim::DeviceModel missing = kssim::RenderDevice("Missing", "\\\\?\\sim#missing");
    missing.aliases.clear();
    Sim().Reset({active, removed, inactive, missing});

    HDEVINFO set = KsSystem::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, kPresentInterfaces);
    const DWORD expectedFlags[] = {SPINT_ACTIVE, SPINT_REMOVED, 0};
    for (DWORD index = 0; index < 4; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        ASSERT_TRUE(KsSystem::SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, index, &data));
        SP_DEVICE_INTERFACE_DATA alias{};
        alias.cbSize = sizeof alias;
        alias.Flags = 0xFFFF;
        const BOOL found = KsSystem::SetupDiGetDeviceInterfaceAlias(set, &data, &KSCATEGORY_RENDER, &alias);
        if (index < 3) {
            EXPECT_TRUE(found) << index;
            EXPECT_EQ(alias.Flags, expectedFlags[index]) << index;
            EXPECT_EQ(alias.InterfaceClassGuid, KSCATEGORY_RENDER);
        } else {
            EXPECT_FALSE(found);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVICE_INTERFACE));
        }
        // No capture alias anywhere; the interface's own class is its own active alias.
        EXPECT_FALSE(KsSystem::SetupDiGetDeviceInterfaceAlias(set, &data, &KSCATEGORY_CAPTURE, &alias));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVICE_INTERFACE));
        ASSERT_TRUE(KsSystem::SetupDiGetDeviceInterfaceAlias(set, &data, &KSCATEGORY_AUDIO, &alias));
        EXPECT_EQ(alias.Flags, static_cast<DWORD>(SPINT_ACTIVE));
        alias.cbSize = 3;
        EXPECT_FALSE(KsSystem::SetupDiGetDeviceInterfaceAlias(set, &data, &KSCATEGORY_RENDER, &alias));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    }
    KsSystem::SetupDiDestroyDeviceInfoList(set);
}

TEST_F(Enumeration, FriendlyNameAndLocationAreRegSzWithWindowsSizeRules)
{
    kssim::DeviceModel device = kssim::RenderDevice("  USB Audio  ", kRenderPath);
    device.location = "Port_#0002.Hub_#0001";
    Sim().Reset({device});
    OpenFirst();

    DWORD type = 0;
    DWORD required = 0;
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceRegistryPropertyA(m_set, &m_info, SPDRP_FRIENDLYNAME, &type, nullptr, 0,
                                                             &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, sizeof("  USB Audio  "));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    char small[5] = "xxxx";
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceRegistryPropertyA(m_set, &m_info, SPDRP_FRIENDLYNAME, nullptr,
                                                             reinterpret_cast<PBYTE>(small), sizeof small, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_STREQ(small, "xxxx");

    char name[256] = {};
    EXPECT_TRUE(KsSystem::SetupDiGetDeviceRegistryPropertyA(m_set, &m_info, SPDRP_FRIENDLYNAME, &type,
                                                            reinterpret_cast<PBYTE>(name), sizeof name, &required));
    EXPECT_STREQ(name, "  USB Audio  ");  // blanks are the caller's to trim
    char location[256] = {};
    EXPECT_TRUE(KsSystem::SetupDiGetDeviceRegistryPropertyA(m_set, &m_info, SPDRP_LOCATION_INFORMATION, &type,
                                                            reinterpret_cast<PBYTE>(location), sizeof location, nullptr));
    EXPECT_STREQ(location, "Port_#0002.Hub_#0001");

    // Values the device does not have, properties that do not exist, bad records.
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceRegistryPropertyA(m_set, &m_info, SPDRP_DEVICEDESC, nullptr,
                                                             reinterpret_cast<PBYTE>(name), sizeof name, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceRegistryPropertyA(m_set, &m_info, 0xFFFF, nullptr,
                                                             reinterpret_cast<PBYTE>(name), sizeof name, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceRegistryPropertyA(m_set, nullptr, SPDRP_FRIENDLYNAME, nullptr,
                                                             reinterpret_cast<PBYTE>(name), sizeof name, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SP_DEVINFO_DATA wrong = m_info;
    wrong.cbSize = 1;
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceRegistryPropertyA(m_set, &wrong, SPDRP_FRIENDLYNAME, nullptr,
                                                             reinterpret_cast<PBYTE>(name), sizeof name, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    wrong = m_info;
    wrong.DevInst = 0xABCDEF;
    EXPECT_FALSE(KsSystem::SetupDiGetDeviceRegistryPropertyA(m_set, &wrong, SPDRP_FRIENDLYNAME, nullptr,
                                                             reinterpret_cast<PBYTE>(name), sizeof name, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
}

TEST_F(Enumeration, MissingAndEmptyNamesAndDuplicates)
{
    kssim::DeviceModel unnamed = kssim::RenderDevice("", "\\\\?\\sim#unnamed");
    unnamed.friendlyName.reset();
    unnamed.location = "Internal High Definition Audio Bus";
    kssim::DeviceModel empty = kssim::RenderDevice("", "\\\\?\\sim#empty");
    kssim::DeviceModel twinA = kssim::RenderDevice("Headset", "\\\\?\\sim#twin-a");
    kssim::DeviceModel twinB = kssim::RenderDevice("Headset", "\\\\?\\sim#twin-b");
    Sim().Reset({unnamed, empty, twinA, twinB});

    HDEVINFO set = KsSystem::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, kPresentInterfaces);
    std::vector<std::string> names;
    std::vector<DWORD> errors;
    for (DWORD index = 0; index < 4; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        ASSERT_TRUE(KsSystem::SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, index, &data));
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        DetailRecord detail;
        ASSERT_TRUE(KsSystem::SetupDiGetDeviceInterfaceDetailA(set, &data, detail.Get(),
                                                               static_cast<DWORD>(detail.bytes.size()), nullptr, &info));
        char name[256] = "unchanged";
        const BOOL ok = KsSystem::SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_FRIENDLYNAME, nullptr,
                                                                    reinterpret_cast<PBYTE>(name), sizeof name, nullptr);
        errors.push_back(ok ? ERROR_SUCCESS : GetLastError());
        names.push_back(name);
    }
    EXPECT_EQ(errors, (std::vector<DWORD>{ERROR_INVALID_DATA, ERROR_SUCCESS, ERROR_SUCCESS, ERROR_SUCCESS}));
    EXPECT_EQ(names, (std::vector<std::string>{"unchanged", "", "Headset", "Headset"}));
    KsSystem::SetupDiDestroyDeviceInfoList(set);
}

TEST_F(Enumeration, SetsAreSnapshotsOfLiveDevices)
{
    Sim().Reset({kssim::RenderDevice("Speakers", kRenderPath), kssim::CaptureDevice("Mic", kCapturePath)});
    HDEVINFO before = KsSystem::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, kPresentInterfaces);
    Sim().RemoveDevice(kRenderPath);

    EXPECT_EQ(EnumeratePaths(KSCATEGORY_AUDIO), (std::vector<std::string>{kCapturePath}));
    // Without DIGCF_PRESENT the unplugged device is listed, inactive.
    EXPECT_EQ(EnumeratePaths(KSCATEGORY_AUDIO, DIGCF_DEVICEINTERFACE),
              (std::vector<std::string>{kRenderPath, kCapturePath}));

    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(KsSystem::SetupDiEnumDeviceInterfaces(before, nullptr, &KSCATEGORY_AUDIO, 0, &data));
    EXPECT_EQ(data.Flags, 0u);
    SP_DEVICE_INTERFACE_DATA alias{};
    alias.cbSize = sizeof alias;
    ASSERT_TRUE(KsSystem::SetupDiGetDeviceInterfaceAlias(before, &data, &KSCATEGORY_RENDER, &alias));
    EXPECT_EQ(alias.Flags, 0u);
    KsSystem::SetupDiDestroyDeviceInfoList(before);

    // The device comes back.
    Sim().AddDevice(kssim::RenderDevice("Speakers again", kRenderPath));
    EXPECT_EQ(EnumeratePaths(KSCATEGORY_AUDIO), (std::vector<std::string>{kCapturePath, kRenderPath}));
    EXPECT_THROW(Sim().AddDevice(kssim::RenderDevice("Twin", kRenderPath)), std::invalid_argument);
    // Paths are compared without regard to case; a refused model changes nothing.
    std::string upper = kCapturePath;
    for (char& c : upper) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_THROW(Sim().Reset({kssim::CaptureDevice("A", kCapturePath), kssim::CaptureDevice("B", upper)}),
                 std::invalid_argument);
    EXPECT_EQ(EnumeratePaths(KSCATEGORY_AUDIO), (std::vector<std::string>{kCapturePath, kRenderPath}));
}

TEST_F(Enumeration, SetFunctionsRefuseHandlesThatAreNotSets)
{
    Sim().Reset({kssim::RenderDevice("Speakers", kRenderPath)});
    HANDLE filter = OpenFilter(kRenderPath);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (HDEVINFO bad : {static_cast<HDEVINFO>(INVALID_HANDLE_VALUE), static_cast<HDEVINFO>(nullptr),
                         static_cast<HDEVINFO>(filter), static_cast<HDEVINFO>(event)}) {
        EXPECT_FALSE(KsSystem::SetupDiEnumDeviceInterfaces(bad, nullptr, &KSCATEGORY_AUDIO, 0, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(KsSystem::SetupDiGetDeviceInterfaceDetailA(bad, &data, nullptr, 0, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(KsSystem::SetupDiGetDeviceInterfaceAlias(bad, &data, &KSCATEGORY_RENDER, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(KsSystem::SetupDiDestroyDeviceInfoList(bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    // The event survived every call above.
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
    EXPECT_TRUE(KsSystem::CloseHandle(filter));

    SetLastError(0);
    EXPECT_EQ(KsSystem::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, kPresentInterfaces), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A set handle is not a file handle.
    HDEVINFO set = KsSystem::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, kPresentInterfaces);
    EXPECT_FALSE(KsSystem::CloseHandle(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(KsSystem::SetupDiDestroyDeviceInfoList(set));
}

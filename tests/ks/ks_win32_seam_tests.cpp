// The shipped side of the seam, under Wine: no kernel-streaming devices exist
// there, so everything must fail cleanly and say why.
#include "directks.h"
#include "ks_system.h"
#include "ks_trace_level_guard.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const GUID kRenderCategories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};

// A pin with a creation request of its own, as the audio pins build one.
class PinWithRequest : public CKsPin {
public:
    PinWithRequest(CKsFilter* pFilter, HRESULT* phr) : CKsPin(pFilter, 0, phr)
    {
        m_cbConnect = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
        m_pksPinCreate = static_cast<PKSPIN_CONNECT>(KsAllocBlock(m_cbConnect));
    }
};

}  // namespace

TEST(Win32Seam, EnumerationWithoutDevicesFailsWithAnEmptyList)
{
    KsTraceLevelGuard level(6);
    TraceCapture capture;
    HRESULT hr = E_UNEXPECTED;
    CKsEnumFilters enumerator(&hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(enumerator.EnumFilters(KsFilterRender, kRenderCategories), E_FAIL);
    EXPECT_EQ(enumerator.m_Filters.GetCount(), 0);
    EXPECT_TRUE(capture.Contains("CKsEnumFilters::EnumFilters Leave, returning 0x80004005"));
    EXPECT_FALSE(capture.Contains("No devices found")) << "the set exists, it is only empty";
    // Twice in a row changes nothing.
    EXPECT_EQ(enumerator.EnumFilters(KsFilterCapture, kRenderCategories), E_FAIL);
    EXPECT_EQ(enumerator.m_Filters.GetCount(), 0);
}

TEST(Win32Seam, AFilterThatCannotBeOpenedSaysWhichDeviceAndWhy)
{
    KsTraceLevelGuard level(1);
    TraceCapture capture;
    HRESULT hr = E_UNEXPECTED;
    CKsAudRenFilter filter("\\\\?\\no#such#device", &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(filter.Instantiate(), E_FAIL);
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(filter.GetHandle()));
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("CKsFilter::Instantiate: CreateFile failed for device \\\\?\\no#such#device.  ErrorCode = 0x", 0),
              0u)
        << lines[0];
}

TEST(Win32Seam, APinOfAnUnopenedFilterIsUsableButReportsEveryUnreadableProperty)
{
    KsTraceLevelGuard level(3);
    HRESULT hr = E_UNEXPECTED;
    CKsFilter filter("\\\\?\\unopened", &hr);
    TraceCapture capture;
    CKsPin pin(&filter, 7, &hr);
    EXPECT_EQ(hr, S_FALSE);
    const auto lines = capture.Lines();
    // Every property read fails on the invalid filter handle first.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "CKsIrpTarget::SyncIoctl Invalid Handle"), 9);
    EXPECT_TRUE(capture.Contains("Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: 7"));
    EXPECT_TRUE(capture.Contains("Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: 7"));
    EXPECT_TRUE(capture.Contains("Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: 7"));
    EXPECT_EQ(pin.m_Descriptor.InterfacesCount, 0u);
    EXPECT_EQ(pin.m_Descriptor.Interfaces, nullptr);
    EXPECT_EQ(pin.m_State, KSSTATE_STOP);

    // Without a creation request there is nothing to instantiate.
    EXPECT_EQ(pin.Instantiate(FALSE), S_OK);
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(pin.GetHandle()));
    capture.Clear();
    pin.ClosePin();
    EXPECT_TRUE(capture.Lines().empty()) << "no state request for a pin that was never created";
}

TEST(Win32Seam, SyncIoctlRefusesInvalidHandlesWithoutCallingTheSystem)
{
    KsTraceLevelGuard level(1);
    TraceCapture capture;
    KSPROPERTY property{};
    ULONG bytes = 123;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(nullptr, &property, sizeof property, nullptr, 0, &bytes), E_FAIL);
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(INVALID_HANDLE_VALUE, &property, sizeof property, nullptr, 0, &bytes), E_FAIL);
    EXPECT_EQ(bytes, 123u) << "nothing was sent, nothing was counted";
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>(2, "CKsIrpTarget::SyncIoctl Invalid Handle")));
}

TEST(Win32Seam, SafeCloseHandleClosesOnceAndInvalidatesTheMember)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HANDLE member = event;
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(member));
    EXPECT_EQ(member, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(member));
    EXPECT_EQ(member, INVALID_HANDLE_VALUE);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(event, &flags)) << "the handle is really closed";
    HANDLE none = nullptr;
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(none));
    EXPECT_EQ(none, nullptr);
}

// Run on its own with ksuser.dll switched off (see CMakeLists.txt).
TEST(WithoutKsUser, EveryInstantiationFailsWithFileNotFound)
{
    KsTraceLevelGuard level(1);
    TraceCapture capture;
    HRESULT hr = E_UNEXPECTED;
    CKsFilter filter("\\\\?\\unopened", &hr);
    PinWithRequest pin(&filter, &hr);
    for (BOOL looped : {FALSE, TRUE, FALSE}) {
        EXPECT_EQ(pin.Instantiate(looped), static_cast<HRESULT>(0x80070002));
    }
    const auto lines = capture.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Failed to instantiate pin. hr=0x80070002"), 3);
}

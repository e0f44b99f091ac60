#include "enum.h"

#include "audfilter.h"
#include "ks_assert.h"
#include "ks_system.h"
#include "ks_trace_scope.h"
#include "rt_audio.h"

#include <cstring>

namespace {

constexpr DWORD kDevicePathRoom = 520;
constexpr DWORD kNameBufferSize = 256;

CKsFilter* NewFilter(ULONG eFilterType, LPCSTR pszPath, HRESULT* phr)
{
    switch (eFilterType) {
    case KsFilterRender:
        return new (std::nothrow) CKsAudRenFilter(pszPath, phr);
    case KsFilterCapture:
        return new (std::nothrow) CKsAudCapFilter(pszPath, phr);
    default:
        return new (std::nothrow) CKsFilter(pszPath, phr);
    }
}

}  // namespace

CKsEnumFilters::CKsEnumFilters(HRESULT* phr)
{
    KsTraceEnter("CKsEnumFilters::CKsEnumFilters()");
    *phr = S_OK;
    KsTraceLeave("CKsEnumFilters::CKsEnumFilters()");
}

CKsEnumFilters::~CKsEnumFilters()
{
    KsTraceEnter("CKsEnumFilters::~CKsEnumFilters()");
    const HRESULT hr = CKsEnumFilters::DestroyLists();
    KS_ASSERT(SUCCEEDED(hr), "DirectKS\\enum");
    KsTraceLeave("CKsEnumFilters::~CKsEnumFilters()");
}

HRESULT CKsEnumFilters::DestroyLists()
{
    KsTraceEnter("CKsEnumFilters::DestroyLists()");
    while (m_Filters.m_pHead) {
        delete m_Filters.RemoveHead();
    }
    return KsTraceLeave("CKsEnumFilters::DestroyLists", S_OK);
}

HRESULT CKsEnumFilters::EnumFilters(ULONG eFilterType, const GUID* aguidCategories)
{
    KsTraceEnter("CKsEnumFilters::EnumFilters()");
    HRESULT hr = DestroyLists();
    HDEVINFO hDevInfo = INVALID_HANDLE_VALUE;

    if (aguidCategories && !IsEqualGUID(aguidCategories[0], GUID_NULL)) {
        hDevInfo = KsSystem::SetupDiGetClassDevsA(&aguidCategories[0], nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (!CKsIrpTarget::IsValidHandle(hDevInfo)) {
            KsTrace(KSTRACE_OUTCOME, "No devices found");
            hr = E_FAIL;
        } else {
            SP_DEVICE_INTERFACE_DATA interfaceData{};
            interfaceData.cbSize = sizeof interfaceData;
            for (DWORD dwIndex = 0;
                 KsSystem::SetupDiEnumDeviceInterfaces(hDevInfo, nullptr, &aguidCategories[0], dwIndex, &interfaceData);
                 ++dwIndex, interfaceData.cbSize = sizeof interfaceData) {
                const DWORD cbDetail = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + kDevicePathRoom;
                auto* pDetail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(KsAllocBlock(cbDetail));
                if (!pDetail) {
                    KsTrace(KSTRACE_OUTCOME, "Failed to allocate SP_DEVICE_INTERFACE_DETAIL_DATA structure");
                    hr = E_OUTOFMEMORY;
                    break;
                }
                pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
                SP_DEVINFO_DATA devInfoData{};
                devInfoData.cbSize = sizeof devInfoData;
                SP_DEVICE_INTERFACE_DATA aliasData{};
                aliasData.cbSize = sizeof aliasData;

                if (!KsSystem::SetupDiGetDeviceInterfaceDetailA(hDevInfo, &interfaceData, pDetail, cbDetail, nullptr,
                                                                &devInfoData)) {
                    // Unreadable interface: skipped without a word.
                } else if (!KsSystem::SetupDiGetDeviceInterfaceAlias(hDevInfo, &interfaceData, &aguidCategories[1],
                                                                     &aliasData)) {
                    KsTrace(KSTRACE_INFO, "Failed to get requested DeviceInterfaceAlias");
                } else if (!aliasData.Flags || (aliasData.Flags & SPINT_REMOVED)) {
                    KsTrace(KSTRACE_INFO, "DeviceInterfaceAlias disabled.");
                } else {
                    CHAR szFriendlyName[kNameBufferSize] = {};
                    CHAR szLocation[kNameBufferSize] = {};
                    if (!KsSystem::SetupDiGetDeviceRegistryPropertyA(hDevInfo, &devInfoData, SPDRP_FRIENDLYNAME,
                                                                     nullptr, reinterpret_cast<PBYTE>(szFriendlyName),
                                                                     sizeof szFriendlyName, nullptr)) {
                        KsTrace(KSTRACE_INFO, "Failed to get Deivce Name");
                    }
                    if (!KsSystem::SetupDiGetDeviceRegistryPropertyA(hDevInfo, &devInfoData,
                                                                     SPDRP_LOCATION_INFORMATION, nullptr,
                                                                     reinterpret_cast<PBYTE>(szLocation),
                                                                     sizeof szLocation, nullptr)) {
                        KsTrace(KSTRACE_INFO, "Failed to get Deivce Name");
                    }
                    // Both buffers keep a terminator, whatever was read into them.
                    szFriendlyName[kNameBufferSize - 1] = '\0';
                    szLocation[kNameBufferSize - 1] = '\0';
                    const CHAR* pszName = szFriendlyName[0] ? szFriendlyName : szLocation;

                    HRESULT hrFilter = S_OK;
                    CKsFilter* pFilter = NewFilter(eFilterType, pDetail->DevicePath, &hrFilter);
                    if (pFilter && (eFilterType == KsFilterRender || eFilterType == KsFilterCapture)) {
                        std::memcpy(pFilter->m_szFriendlyName, pszName, std::strlen(pszName) + 1);
                        SP_DEVICE_INTERFACE_DATA realTime{};
                        realTime.cbSize = sizeof realTime;
                        pFilter->m_bRealTime =
                            KsSystem::SetupDiGetDeviceInterfaceAlias(hDevInfo, &interfaceData, &kKsCategoryRealtime,
                                                                     &realTime) &&
                            (realTime.Flags & SPINT_ACTIVE) && !(realTime.Flags & SPINT_REMOVED);
                    }
                    const bool listed = pFilter && SUCCEEDED(hrFilter) && SUCCEEDED(pFilter->Instantiate()) &&
                                        SUCCEEDED(pFilter->EnumeratePins()) && m_Filters.AddTail(pFilter);
                    if (!listed) {
                        delete pFilter;
                        KsTrace(KSTRACE_ERROR, "Failed to create filter for %s", pDetail->DevicePath);
                    }
                }
                KsFreeBlock(pDetail);
            }
        }
    }

    if (CKsIrpTarget::IsValidHandle(hDevInfo)) {
        KsSystem::SetupDiDestroyDeviceInfoList(hDevInfo);
    }
    if (SUCCEEDED(hr) && !m_Filters.m_pHead) {
        hr = E_FAIL;
    }
    return KsTraceLeave("CKsEnumFilters::EnumFilters", hr);
}

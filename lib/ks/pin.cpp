#include "pin.h"

#include "filter.h"
#include "ks_assert.h"
#include "ks_system.h"
#include "ks_trace_scope.h"

#include <algorithm>
#include <cstring>

namespace {

// The block a descriptor array points into starts with its header.
void FreeItemsBlock(const void* pFirstItem)
{
    if (pFirstItem) {
        KsFreeBlock(const_cast<KSMULTIPLE_ITEM*>(static_cast<const KSMULTIPLE_ITEM*>(pFirstItem) - 1));
    }
}

HRESULT FromKsCreatePin(DWORD dwResult)
{
    if (dwResult == 0) {
        return S_OK;
    }
    if (static_cast<LONG>(dwResult) > 0) {
        return static_cast<HRESULT>(0x80070000u | (dwResult & 0xFFFFu));
    }
    return static_cast<HRESULT>(dwResult);
}

}  // namespace

CKsPin::CKsPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr)
    : m_pksPinCreate(nullptr),
      m_cbConnect(0),
      m_nId(nId),
      m_pFilter(pFilter),
      m_guidCategory(GUID_NULL),
      m_Descriptor{},
      m_State(KSSTATE_STOP),
      m_szPinName{},
      m_bLooped(FALSE)
{
    KsTraceEnter("CKsPin::CKsPin()");
    *phr = Init();
    KsTraceLeave("CKsPin::CKsPin()");
}

CKsPin::~CKsPin()
{
    KsTraceEnter("CKsPin::~CKsPin()");
    ClosePin();
    KsFreeBlock(m_pksPinCreate);
    FreeItemsBlock(m_Descriptor.Interfaces);
    FreeItemsBlock(m_Descriptor.Mediums);
    FreeItemsBlock(m_Descriptor.DataRanges);
    KsTraceLeave("CKsPin::~CKsPin()");
}

HRESULT CKsPin::Init()
{
    KsTraceEnter("CKsPin::Init()");
    bool allRead = true;
    auto readSimple = [&](ULONG nProperty, PVOID pvValue, ULONG cbValue, const char* failure) {
        if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, nProperty, pvValue, cbValue))) {
            std::memset(pvValue, 0, cbValue);
            KsTrace(KSTRACE_PROPERTY, failure, m_nId);
            allRead = false;
        }
    };
    // Count and array stay zero when the read fails; the array never claims
    // more items of itemSize bytes than its block holds.
    auto readMulti = [&](ULONG nProperty, ULONG cbItem, ULONG& count, const void*& array, const char* failure) {
        PKSMULTIPLE_ITEM pItem = nullptr;
        if (FAILED(m_pFilter->GetPinPropertyMulti(m_nId, nProperty, &pItem))) {
            KsFreeBlock(pItem);
            KsTrace(KSTRACE_PROPERTY, failure, m_nId);
            allRead = false;
            return;
        }
        if (!pItem) {
            return;  // an empty answer: no items
        }
        count = cbItem ? KsBoundMultipleItem(pItem, pItem->Size, cbItem) : pItem->Count;
        array = pItem + 1;
    };

    readSimple(KSPROPERTY_PIN_COMMUNICATION, &m_Descriptor.Communication, sizeof m_Descriptor.Communication,
               "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: %d");
    const void* pArray = nullptr;
    readMulti(KSPROPERTY_PIN_INTERFACES, sizeof(KSIDENTIFIER), m_Descriptor.InterfacesCount, pArray,
              "Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: %d");
    m_Descriptor.Interfaces = static_cast<const KSIDENTIFIER*>(pArray);
    pArray = nullptr;
    readMulti(KSPROPERTY_PIN_MEDIUMS, sizeof(KSIDENTIFIER), m_Descriptor.MediumsCount, pArray,
              "Failed to retrieve pin property KSPROPERTY_PIN_MEDIUMS on PinID: %d");
    m_Descriptor.Mediums = static_cast<const KSIDENTIFIER*>(pArray);
    pArray = nullptr;
    // Ranges vary in size; their walk is bounded by the block (CKsAudPin::Init).
    readMulti(KSPROPERTY_PIN_DATARANGES, 0, m_Descriptor.DataRangesCount, pArray,
              "Failed to retrieve pin property KSPROPERTY_PIN_DATARANGES on PinID: %d");
    m_Descriptor.DataRanges = static_cast<const KSDATARANGE*>(pArray);
    readSimple(KSPROPERTY_PIN_DATAFLOW, &m_Descriptor.DataFlow, sizeof m_Descriptor.DataFlow,
               "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW on PinID: %d");
    readSimple(KSPROPERTY_PIN_CINSTANCES, &m_Descriptor.CInstances, sizeof m_Descriptor.CInstances,
               "Failed to retrieve pin property KSPROPERTY_PIN_CINSTANCES on PinID: %d");
    readSimple(KSPROPERTY_PIN_GLOBALCINSTANCES, &m_Descriptor.GlobalCInstances,
               sizeof m_Descriptor.GlobalCInstances,
               "Failed to retrieve pin property KSPROPERTY_PIN_GLOBALCINSTANCES on PinID: %d");
    readSimple(KSPROPERTY_PIN_CATEGORY, &m_guidCategory, sizeof m_guidCategory,
               "Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: %d");
    readSimple(KSPROPERTY_PIN_NAME, m_szPinName, sizeof m_szPinName - 1,
               "Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: %d");
    return KsTraceLeave("CKsPin::Init", allRead ? S_OK : S_FALSE);
}

HRESULT CKsPin::GetCommunication(KSPIN_COMMUNICATION* pCommunication)
{
    KsTraceEnter("CKsPin::GetCommunication()");
    KS_ASSERT(NULL != pCommunication, "DirectKS\\pin");
    *pCommunication = m_Descriptor.Communication;
    return KsTraceLeave("CKsPin::GetCommunication", S_OK);
}

HRESULT CKsPin::GetDataFlow(KSPIN_DATAFLOW* pDataFlow)
{
    KsTraceEnter("CKsPin::GetDataFlow()");
    KS_ASSERT(NULL != pDataFlow, "DirectKS\\pin");
    *pDataFlow = m_Descriptor.DataFlow;
    return KsTraceLeave("CKsPin::GetDataFlow", S_OK);
}

HRESULT CKsPin::Instantiate(BOOL bLooped)
{
    KsTraceEnter("CKsPin::Instantiate()");
    if (!m_pksPinCreate) {
        return KsTraceLeave("CKsPin::Instantiate", S_OK);
    }
    m_bLooped = bLooped;
    m_pksPinCreate->Interface.Id = bLooped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;
    HANDLE hPin = INVALID_HANDLE_VALUE;
    const HRESULT hr =
        FromKsCreatePin(KsSystem::KsCreatePin(m_pFilter->GetHandle(), m_pksPinCreate, GENERIC_READ | GENERIC_WRITE, &hPin));
    m_pFilter->m_hrLastPinCreation = hr;
    if (SUCCEEDED(hr)) {
        m_handle = hPin;
    } else {
        KsTrace(KSTRACE_ERROR, "Failed to instantiate pin. hr=0x%08x", static_cast<unsigned>(hr));
    }
    return KsTraceLeave("CKsPin::Instantiate", hr);
}

HRESULT CKsPin::SetState(KSSTATE ksState)
{
    KsTraceEnter("CKsPin::SetState()");
    const HRESULT hr = SetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &ksState, sizeof ksState);
    if (SUCCEEDED(hr)) {
        m_State = ksState;
    } else {
        KsTrace(KSTRACE_ERROR, "Failed to Set Pin State");
    }
    return KsTraceLeave("CKsPin::SetState", hr);
}

HRESULT CKsPin::WriteData(KSSTREAM_HEADER* pKsStreamHeader, OVERLAPPED* pOverlapped)
{
    KsTraceEnter("CKsPin::WriteData()");
    HRESULT hr = S_OK;
    DWORD dwBytes = 0;
    if (!KsSystem::DeviceIoControl(m_handle, IOCTL_KS_WRITE_STREAM, nullptr, 0, pKsStreamHeader,
                                   pKsStreamHeader->Size, &dwBytes, pOverlapped)) {
        const DWORD dwError = GetLastError();
        if (dwError != ERROR_IO_PENDING) {
            KsTrace(KSTRACE_ERROR, "CKsPin::WriteData's DeviceIoControl Failed!  Error=0x%#08x",
                    static_cast<unsigned>(dwError));
            hr = E_FAIL;
        }
    }
    return KsTraceLeave("CKsPin::WriteData", hr);
}

HRESULT CKsPin::ReadData(KSSTREAM_HEADER* pKsStreamHeader, OVERLAPPED* pOverlapped)
{
    KsTraceEnter("CKsPin::ReadData()");
    HRESULT hr = S_OK;
    DWORD dwBytes = 0;
    if (!KsSystem::DeviceIoControl(m_handle, IOCTL_KS_READ_STREAM, nullptr, 0, pKsStreamHeader,
                                   pKsStreamHeader->Size, &dwBytes, pOverlapped)) {
        const DWORD dwError = GetLastError();
        if (dwError != ERROR_IO_PENDING) {
            KsTrace(KSTRACE_ERROR, "DeviceIoControl Failed!  Error=0x%08x", static_cast<unsigned>(dwError));
            hr = E_FAIL;
        }
    }
    return KsTraceLeave("CKsPin::ReadData", hr);
}

void CKsPin::ClosePin()
{
    KsTraceEnter("CKsPin::ClosePin()");
    if (IsValidHandle(m_handle)) {
        SetState(KSSTATE_STOP);
        SafeCloseHandle(m_handle);
    }
    KsTraceLeave("CKsPin::ClosePin()");
}

#include "filter.h"

#include "ks_assert.h"
#include "ks_system.h"
#include "ks_trace_scope.h"
#include "pin.h"

#include <cstring>
#include <initializer_list>

CKsFilter::CKsFilter(LPCSTR pszName, HRESULT* phr)
{
    KsTraceEnter("CKsFilter::CKsFilter()");
    m_szFriendlyName[0] = '\0';
    InternalInit();
    HRESULT hr = S_OK;
    if (!pszName) {
        KsTrace(KSTRACE_ERROR, "pszName cannot be NULL");
        hr = E_INVALIDARG;
    } else if (std::strlen(pszName) >= MAX_PATH) {
        // Cutting the path would open another device, or none.
        KsTrace(KSTRACE_ERROR, "pszName is longer than %d characters", MAX_PATH - 1);
        hr = E_INVALIDARG;
    } else {
        std::memcpy(m_szName, pszName, std::strlen(pszName) + 1);
    }
    *phr = hr;
    KsTraceLeave("CKsFilter::CKsFilter()");
}

void CKsFilter::InternalInit()
{
    KsTraceEnter("CKsFilter::InternalInit()");
    std::memset(m_szName, 0, sizeof m_szName);
    KsTraceLeave("CKsFilter::InternalInit()");
}

CKsFilter::~CKsFilter()
{
    KsTraceEnter("CKsFilter::~CKsFilter()");
    const HRESULT hr = CKsFilter::DestroyLists();
    SafeCloseHandle(m_handle);
    KS_ASSERT(SUCCEEDED(hr), "DirectKS\\filter");
    KsTraceLeave("CKsFilter::~CKsFilter()");
}

HRESULT CKsFilter::Instantiate()
{
    KsTraceEnter("CKsFilter::Instantiate()");
    HRESULT hr = S_OK;
    m_handle = KsSystem::CreateFileA(m_szName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (!IsValidHandle(m_handle)) {
        KsTrace(KSTRACE_ERROR, "CKsFilter::Instantiate: CreateFile failed for device %s.  ErrorCode = 0x%08x", m_szName,
                static_cast<unsigned>(GetLastError()));
        hr = E_FAIL;
    }
    return KsTraceLeave("CKsFilter::Instantiate", hr);
}

HRESULT CKsFilter::GetPinPropertySimple(ULONG nPinId, ULONG nProperty, PVOID pvValue, ULONG cbValue)
{
    KsTraceEnter("CKsFilter::GetPinPropertySimple()");
    KSP_PIN ksPProp{};
    ksPProp.Property.Set = KSPROPSETID_Pin;
    ksPProp.Property.Id = nProperty;
    ksPProp.Property.Flags = KSPROPERTY_TYPE_GET;
    ksPProp.PinId = nPinId;
    ksPProp.Reserved = 0;
    ULONG ulBytesReturned = 0;
    const HRESULT hr = SyncIoctl(m_handle, &ksPProp, sizeof ksPProp, pvValue, cbValue, &ulBytesReturned);
    return KsTraceLeave("CKsFilter::GetPinPropertySimple", hr);
}

HRESULT CKsFilter::GetPinPropertyMulti(ULONG nPinId, ULONG nProperty, PKSMULTIPLE_ITEM* ppKsMultipleItem)
{
    KsTraceEnter("CKsFilter::GetPinPropertyMulti()");
    KSP_PIN ksPProp{};
    ksPProp.Property.Set = KSPROPSETID_Pin;
    ksPProp.Property.Id = nProperty;
    ksPProp.Property.Flags = KSPROPERTY_TYPE_GET;
    ksPProp.PinId = nPinId;
    ksPProp.Reserved = 0;
    const HRESULT hr = SyncIoctlMulti(m_handle, &ksPProp, sizeof ksPProp, ppKsMultipleItem);
    return KsTraceLeave("CKsFilter::GetPinPropertyMulti", hr);
}

HRESULT CKsFilter::EnumeratePins()
{
    KsTraceEnter("CKsFilter::EnumeratePins()");
    ULONG cPins = 0;
    if (FAILED(GetPinPropertySimple(0, KSPROPERTY_PIN_CTYPES, &cPins, sizeof cPins))) {
        cPins = 0;
    }
    for (ULONG nPinId = 0; nPinId < cPins; ++nPinId) {
        HRESULT hrPin = S_OK;
        CKsPin* pPin = new (std::nothrow) CKsPin(this, nPinId, &hrPin);
        if (!pPin) {
            KsTrace(KSTRACE_ERROR, "Failed to create pin");
            continue;
        }
        if (FAILED(hrPin)) {
            KsTrace(KSTRACE_ERROR, "Failed to construct pin");
            delete pPin;
            continue;
        }
        if (!m_Pins.AddTail(pPin)) {
            KsTrace(KSTRACE_ERROR, "Failed to add pin to list");
            delete pPin;
        }
    }
    HRESULT hr = ClassifyPins();
    if (!m_RenderSinkPins.m_pHead && !m_CaptureSourcePins.m_pHead && !m_CaptureSinkPins.m_pHead &&
        !m_RenderSourcePins.m_pHead && !m_NoCommunicationPins.m_pHead) {
        KsTrace(KSTRACE_ERROR, "Filter is not viable. It has no pins.");
        hr = E_FAIL;
    }
    return KsTraceLeave("CKsFilter::EnumeratePins", hr);
}

HRESULT CKsFilter::ClassifyPins()
{
    KsTraceEnter("CKsFilter::ClassifyPins()");
    HRESULT hr = S_OK;
    for (auto* pItem = m_Pins.m_pHead; pItem && SUCCEEDED(hr); pItem = pItem->pNext) {
        CKsPin* pPin = pItem->pData;
        KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
        KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
        pPin->GetCommunication(&communication);
        pPin->GetDataFlow(&dataFlow);

        KsList<CKsPin>& sinkList = dataFlow == KSPIN_DATAFLOW_IN ? m_RenderSinkPins : m_CaptureSinkPins;
        KsList<CKsPin>& sourceList = dataFlow == KSPIN_DATAFLOW_IN ? m_RenderSourcePins : m_CaptureSourcePins;
        bool listed = true;
        switch (communication) {
        case KSPIN_COMMUNICATION_NONE:
            listed = m_NoCommunicationPins.AddTail(pPin) != nullptr;
            break;
        case KSPIN_COMMUNICATION_SINK:
            listed = sinkList.AddTail(pPin) != nullptr;
            break;
        case KSPIN_COMMUNICATION_SOURCE:
            listed = sourceList.AddTail(pPin) != nullptr;
            break;
        case KSPIN_COMMUNICATION_BOTH: {
            const bool inSinks = sinkList.AddTail(pPin) != nullptr;
            const bool inSources = sourceList.AddTail(pPin) != nullptr;
            listed = inSinks && inSources;
            break;
        }
        default:
            KsTrace(KSTRACE_INFO, "Pin communication type not recognized");
            break;
        }
        if (!listed) {
            hr = E_OUTOFMEMORY;
        }
    }
    return KsTraceLeave("CKsFilter::ClassifyPins", hr);
}

void CKsFilter::DestroyNodes()
{
    while (m_Nodes.m_pHead) {
        delete m_Nodes.RemoveHead();
    }
}

HRESULT CKsFilter::EnumerateNodes()
{
    KsTraceEnter("CKsFilter::EnumerateNodes()");
    DestroyNodes();
    PKSMULTIPLE_ITEM pKsMultipleItem = nullptr;
    HRESULT hr = GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &pKsMultipleItem);
    if (FAILED(hr)) {
        KsTrace(KSTRACE_OUTCOME, "Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES");
    } else if (pKsMultipleItem) {
        const ULONG cNodes = KsBoundMultipleItem(pKsMultipleItem, pKsMultipleItem->Size, sizeof(GUID));
        const auto* pNodeTypes = reinterpret_cast<const GUID*>(pKsMultipleItem + 1);
        for (ULONG i = 0; i < cNodes; ++i) {
            CKsNode* pNode = new (std::nothrow) CKsNode{i, pNodeTypes[i]};
            if (pNode && !m_Nodes.AddTail(pNode)) {
                delete pNode;
            }
        }
        // A node list is complete or empty.
        if (static_cast<ULONG>(m_Nodes.GetCount()) != pKsMultipleItem->Count) {
            DestroyNodes();
            hr = E_FAIL;
        }
    }
    KsFreeBlock(pKsMultipleItem);
    return KsTraceLeave("CKsFilter::EnumerateNodes", hr);
}

HRESULT CKsFilter::DestroyLists()
{
    KsTraceEnter("CKsFilter::DestroyLists()");
    DestroyNodes();
    while (m_Pins.m_pHead) {
        delete m_Pins.RemoveHead();
    }
    for (KsList<CKsPin>* pList :
         {&m_RenderSinkPins, &m_CaptureSourcePins, &m_CaptureSinkPins, &m_RenderSourcePins, &m_NoCommunicationPins}) {
        while (pList->m_pHead) {
            pList->RemoveHead();
        }
    }
    return KsTraceLeave("CKsFilter::DestroyLists", S_OK);
}

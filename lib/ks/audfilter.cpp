#include "audfilter.h"

#include "ks_assert.h"
#include "ks_trace_scope.h"

namespace {

CKsAudPin* FirstPinSupporting(KsList<CKsPin>& pins, const WAVEFORMATEX* pwfx)
{
    for (auto* pItem = pins.m_pHead; pItem; pItem = pItem->pNext) {
        auto* pPin = static_cast<CKsAudPin*>(pItem->pData);
        if (pPin->IsFormatSupported(pwfx)) {
            return pPin;
        }
    }
    return nullptr;
}

// The first range of the last pin of the list.
KSDATARANGE_AUDIO* HeadRangeOfLastPin(KsList<CKsPin>& pins)
{
    KSDATARANGE_AUDIO* pRange = nullptr;
    for (auto* pItem = pins.m_pHead; pItem; pItem = pItem->pNext) {
        auto* pPin = static_cast<CKsAudPin*>(pItem->pData);
        pRange = pPin->m_DataRanges.m_pHead ? pPin->m_DataRanges.m_pHead->pData : nullptr;
    }
    return pRange;
}

}  // namespace

CKsAudFilter::CKsAudFilter(LPCSTR pszName, HRESULT* phr) : CKsFilter(pszName, phr)
{
    KsTraceEnter("CKsAudFilter::CKsAudFilter()");
    KsTraceLeave("CKsAudFilter::CKsAudFilter()");
}

HRESULT CKsAudFilter::EnumeratePins()
{
    KsTraceEnter("CKsAudFilter::EnumeratePins()");
    ULONG cPins = 0;
    if (FAILED(GetPinPropertySimple(0, KSPROPERTY_PIN_CTYPES, &cPins, sizeof cPins))) {
        KsTrace(KSTRACE_ERROR, "Failed to retrieve count of pins in audio filter");
        cPins = 0;
    }
    for (ULONG nPinId = 0; nPinId < cPins; ++nPinId) {
        KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
        if (FAILED(GetPinPropertySimple(nPinId, KSPROPERTY_PIN_COMMUNICATION, &communication, sizeof communication))) {
            KsTrace(KSTRACE_ERROR, "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION");
            continue;
        }
        if (communication != KSPIN_COMMUNICATION_SINK && communication != KSPIN_COMMUNICATION_SOURCE &&
            communication != KSPIN_COMMUNICATION_BOTH) {
            KsTrace(KSTRACE_ERROR, "Pin communication value doesn't make sense");
            continue;
        }
        KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
        if (FAILED(GetPinPropertySimple(nPinId, KSPROPERTY_PIN_DATAFLOW, &dataFlow, sizeof dataFlow))) {
            KsTrace(KSTRACE_ERROR, "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW");
            continue;
        }

        HRESULT hrPin = S_OK;
        CKsAudPin* pPin = nullptr;
        if (communication == KSPIN_COMMUNICATION_SINK && dataFlow == KSPIN_DATAFLOW_IN) {
            pPin = new (std::nothrow) CKsAudRenPin(this, nPinId, &hrPin);
        } else if (communication == KSPIN_COMMUNICATION_SINK && dataFlow == KSPIN_DATAFLOW_OUT) {
            pPin = new (std::nothrow) CKsAudCapPin(this, nPinId, &hrPin);
        } else {
            pPin = new (std::nothrow) CKsAudPin(this, nPinId, &hrPin);
        }
        bool outOfMemory = false;
        if (!pPin) {
            KsTrace(KSTRACE_ERROR, "Failed to create audio pin");
            outOfMemory = true;
        } else if (FAILED(hrPin)) {
            delete pPin;
            continue;
        } else if (!m_Pins.AddTail(pPin)) {
            delete pPin;
            KsTrace(KSTRACE_ERROR, "Unable to allocate list entry to save pin in");
            outOfMemory = true;
        }
        if (outOfMemory) {
            KsTrace(KSTRACE_ERROR, "Ran out of memory enumerating pins - deleting all pins");
            while (m_Pins.m_pHead) {
                delete m_Pins.RemoveHead();
            }
            return KsTraceLeave("CKsAudFilter::EnumeratePins", E_OUTOFMEMORY);
        }
    }
    ClassifyPins();
    HRESULT hr = S_OK;
    if (!m_RenderSinkPins.m_pHead && !m_CaptureSourcePins.m_pHead && !m_CaptureSinkPins.m_pHead &&
        !m_RenderSourcePins.m_pHead) {
        KsTrace(KSTRACE_ERROR, "No valid pins found on the filter");
        hr = E_FAIL;
    }
    return KsTraceLeave("CKsAudFilter::EnumeratePins", hr);
}

CKsAudRenFilter::CKsAudRenFilter(LPCSTR pszName, HRESULT* phr) : CKsAudFilter(pszName, phr)
{
    KsTraceEnter("CKsAudRenFilter::CKsAudRenFilter()");
    KsTraceLeave("CKsAudRenFilter::CKsAudRenFilter()");
}

CKsAudPin* CKsAudRenFilter::FindViablePin(const WAVEFORMATEX* pwfx)
{
    KsTraceEnter("CKsAudRenFilter::FindViablePin()");
    KS_ASSERT(pwfx, "DirectKS\\audfilter");
    CKsAudPin* pPin = FirstPinSupporting(m_RenderSinkPins, pwfx);
    KsTraceLeave("CKsAudRenFilter::FindViablePin()");
    return pPin;
}

CKsAudPin* CKsAudRenFilter::CreateRenderPin(const WAVEFORMATEX* pwfx, BOOL bLooped)
{
    KsTraceEnter("CKsAudRenFilter::CreateRenderPin()");
    CKsAudPin* pPin = FindViablePin(pwfx);
    if (!pPin) {
        KsTrace(KSTRACE_OUTCOME, "Could not find a Render pin that supports the given wave format");
    } else if (FAILED(pPin->SetFormat(pwfx))) {
        KsTrace(KSTRACE_ERROR, "Failed to set Render Pin format - the pin lied about its supported formats");
        pPin = nullptr;
    } else if (SUCCEEDED(pPin->Instantiate(bLooped))) {
        KsTrace(KSTRACE_INFO, "Successfully instantiated Render Pin.  Handle = 0x%08x",
                static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pPin->GetHandle())));
    } else {
        KsTrace(KSTRACE_ERROR, "Failed to instantiate Render Pin");
        pPin = nullptr;
    }

    // Some drivers under-report their formats: try every render-sink pin.
    for (auto* pItem = m_RenderSinkPins.m_pHead; !pPin && pItem; pItem = pItem->pNext) {
        auto* pCandidate = static_cast<CKsAudPin*>(pItem->pData);
        if (SUCCEEDED(pCandidate->SetFormat(pwfx)) && SUCCEEDED(pCandidate->Instantiate(bLooped))) {
            pPin = pCandidate;
        }
    }

    if (pPin) {
        // The pin leaves the filter: from now on it is the caller's.
        auto listPosPinNode = m_Pins.Find(pPin);
        KS_ASSERT(listPosPinNode, "DirectKS\\audfilter");
        if (listPosPinNode) {
            m_Pins.RemoveAt(listPosPinNode);
        }
        listPosPinNode = m_RenderSinkPins.Find(pPin);
        KS_ASSERT(listPosPinNode, "DirectKS\\audfilter");
        if (listPosPinNode) {
            m_RenderSinkPins.RemoveAt(listPosPinNode);
        }
    }
    KsTraceLeave("CKsAudRenFilter::CreateRenderPin()");
    return pPin;
}

KSDATARANGE_AUDIO* CKsAudRenFilter::GetKsAudioDataRange()
{
    KsTraceEnter("CKsAudRenFilter::GetKsAudioDataRange()");
    KSDATARANGE_AUDIO* pRange = HeadRangeOfLastPin(m_RenderSinkPins);
    KsTraceLeave("CKsAudRenFilter::GetKsAudioDataRange()");
    return pRange;
}

CKsAudCapFilter::CKsAudCapFilter(LPCSTR pszName, HRESULT* phr) : CKsAudFilter(pszName, phr)
{
    KsTraceEnter("CKsAudCapFilter::CKsAudCapFilter()");
    KsTraceLeave("CKsAudCapFilter::CKsAudCapFilter()");
}

CKsAudPin* CKsAudCapFilter::FindViablePin(const WAVEFORMATEX* pwfx)
{
    KsTraceEnter("CKsAudCapFilter::FindViablePin()");
    KS_ASSERT(pwfx, "DirectKS\\audfilter");
    CKsAudPin* pPin = FirstPinSupporting(m_CaptureSinkPins, pwfx);
    KsTraceLeave("CKsAudCapFilter::FindViablePin()");
    return pPin;
}

CKsAudPin* CKsAudCapFilter::CreateCapturePin(const WAVEFORMATEX* pwfx, BOOL bLooped)
{
    KsTraceEnter("CKsAudCapFilter::CreateCapturePin()");
    CKsAudPin* pPin = FindViablePin(pwfx);
    if (!pPin) {
        KsTrace(KSTRACE_ERROR, "Could not find a Capture pin that supports the given wave format");
    } else if (FAILED(pPin->SetFormat(pwfx))) {
        KsTrace(KSTRACE_ERROR, "Failed to set Capture Pin format");
        pPin = nullptr;
    } else if (SUCCEEDED(pPin->Instantiate(bLooped))) {
        KsTrace(KSTRACE_INFO, "Successfully instantiated Capture Pin.  Handle = 0x%08x",
                static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(pPin->GetHandle())));
    } else {
        KsTrace(KSTRACE_ERROR, "Failed to instantiate Capture Pin");
        pPin = nullptr;
    }
    KsTraceLeave("CKsAudCapFilter::CreateCapturePin()");
    return pPin;
}

KSDATARANGE_AUDIO* CKsAudCapFilter::GetKsAudioDataRange()
{
    KsTraceEnter("CKsAudCapFilter::GetKsAudioDataRange()");
    KSDATARANGE_AUDIO* pRange = HeadRangeOfLastPin(m_CaptureSinkPins);
    KsTraceLeave("CKsAudCapFilter::GetKsAudioDataRange()");
    return pRange;
}

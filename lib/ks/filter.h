#pragma once

#include "irptgt.h"
#include "ks_tlist.h"

class CKsPin;

// One topology node of a filter.
struct CKsNode {
    ULONG ulNodeId;    // index in the filter's topology
    GUID guidType;
};

// One kernel-streaming filter: a device interface known by its path. Opens
// the filter, creates a pin object per pin id and sorts the pins by data flow
// and communication.
class CKsFilter : public CKsIrpTarget {
public:
    // The object always exists; *phr tells whether it is usable.
    CKsFilter(LPCSTR pszName, HRESULT* phr);
    virtual ~CKsFilter();

    virtual HRESULT Instantiate();
    virtual HRESULT EnumerateNodes();
    virtual HRESULT EnumeratePins();
    virtual HRESULT DestroyLists();

    HRESULT GetPinPropertySimple(ULONG nPinId, ULONG nProperty, PVOID pvValue, ULONG cbValue);
    // The block belongs to the caller (KsFreeBlock), also after a failed read.
    HRESULT GetPinPropertyMulti(ULONG nPinId, ULONG nProperty, PKSMULTIPLE_ITEM* ppKsMultipleItem);
    HRESULT ClassifyPins();

    CHAR m_szFriendlyName[MAX_PATH];
    CHAR m_szName[MAX_PATH];
    // What the latest KsCreatePin for one of the filter's pins answered
    // (S_OK before the first): tells a pin another program holds from a
    // format the pin refuses.
    HRESULT m_hrLastPinCreation = S_OK;
    // The interface has an active real-time alias (KSCATEGORY_REALTIME): a
    // WaveRT filter, whose streaming pins take the looped-buffer interface
    // and refuse stream requests. Read when the enumerator lists the filter.
    BOOL m_bRealTime = FALSE;

    KsList<CKsNode> m_Nodes;
    KsList<CKsPin> m_Pins;
    // The classified lists point into m_Pins and own nothing.
    KsList<CKsPin> m_RenderSinkPins;
    KsList<CKsPin> m_CaptureSourcePins;
    KsList<CKsPin> m_CaptureSinkPins;
    KsList<CKsPin> m_RenderSourcePins;
    KsList<CKsPin> m_NoCommunicationPins;

private:
    void InternalInit();
    void DestroyNodes();
};

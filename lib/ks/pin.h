#pragma once

#include "irptgt.h"
#include "ks_tlist.h"

class CKsFilter;

// The properties a pin reports, read through its filter at construction. The
// three arrays point into the multiple-item blocks read for them (owned by
// the pin); each first item follows its block's 8-byte header.
struct KsPinDescriptor {
    ULONG InterfacesCount;
    const KSIDENTIFIER* Interfaces;
    ULONG MediumsCount;
    const KSIDENTIFIER* Mediums;
    ULONG DataRangesCount;
    const KSDATARANGE* DataRanges;  // ranges follow one another, each FormatSize bytes long
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    KSPIN_CINSTANCES CInstances;
    KSPIN_CINSTANCES GlobalCInstances;
};

// One pin of a filter: properties, creation with KsCreatePin, states, and
// asynchronous stream requests.
class CKsPin : public CKsIrpTarget {
public:
    // *phr: S_OK when every property was read, S_FALSE when some could not be
    // (the pin is still usable).
    CKsPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr);
    virtual ~CKsPin();

    // Creates the pin handle from the creation request (S_OK at once when the
    // pin has none), with standard or looped streaming.
    virtual HRESULT Instantiate(BOOL bLooped = FALSE);
    virtual HRESULT SetState(KSSTATE ksState);

    HRESULT Init();
    HRESULT GetCommunication(KSPIN_COMMUNICATION* pCommunication);
    HRESULT GetDataFlow(KSPIN_DATAFLOW* pDataFlow);

    // Queue one stream request. The header, its data and the OVERLAPPED stay
    // the caller's and must outlive the request; completion signals the
    // OVERLAPPED's event.
    HRESULT WriteData(KSSTREAM_HEADER* pKsStreamHeader, OVERLAPPED* pOverlapped);
    HRESULT ReadData(KSSTREAM_HEADER* pKsStreamHeader, OVERLAPPED* pOverlapped);

    // Stops and closes the pin handle, if open. The pin may be instantiated again.
    void ClosePin();

    PKSPIN_CONNECT m_pksPinCreate;
    ULONG m_cbConnect;
    ULONG m_nId;
    CKsFilter* m_pFilter;
    GUID m_guidCategory;
    KsPinDescriptor m_Descriptor;
    KSSTATE m_State;
    CHAR m_szPinName[MAX_PATH];
    BOOL m_bLooped;
};

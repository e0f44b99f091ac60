#pragma once

#include "ks_tlist.h"
#include "pin.h"

// A pin of an audio filter: builds the creation request for a wave format,
// keeps copies of the pin's audio data ranges and answers which formats it
// supports.
class CKsAudPin : public CKsPin {
public:
    CKsAudPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr);
    virtual ~CKsAudPin();

    HRESULT Init();
    // TRUE when a stored range takes the format (WAVEFORMATEX, or a
    // WAVEFORMATEXTENSIBLE when the tag says so).
    BOOL IsFormatSupported(const WAVEFORMATEX* pwfx);
    // Writes the format into the creation request, growing or shrinking it.
    HRESULT SetFormat(const WAVEFORMATEX* pwfx);
    // The buffering the device reports for this open pin, in 100 ns units;
    // fails when the driver does not answer it.
    HRESULT GetLatency(LONGLONG* hundredNs);

    KsList<KSDATARANGE_AUDIO> m_DataRanges;
    WAVEFORMATEX* m_pWaveFormat;
    PKSDATAFORMAT m_pksDataFormatWfx;

private:
    HRESULT BuildCreationRequest();
};

// A render sink pin (data flow in).
class CKsAudRenPin : public CKsAudPin {
public:
    CKsAudRenPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr);
    virtual ~CKsAudRenPin();
};

// A capture sink pin (data flow out).
class CKsAudCapPin : public CKsAudPin {
public:
    CKsAudCapPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr);
    virtual ~CKsAudCapPin();
};

#pragma once

#include "audpin.h"
#include "filter.h"

// A filter of a WDM audio device: its pins are audio pins.
class CKsAudFilter : public CKsFilter {
public:
    CKsAudFilter(LPCSTR pszName, HRESULT* phr);
    HRESULT EnumeratePins() override;
};

class CKsAudRenFilter : public CKsAudFilter {
public:
    CKsAudRenFilter(LPCSTR pszName, HRESULT* phr);

    // The first render-sink pin that claims the format, or null.
    CKsAudPin* FindViablePin(const WAVEFORMATEX* pwfx);
    // An instantiated render pin for the format, taken out of the filter: the
    // caller closes and deletes it. Tries every render-sink pin when none
    // claims the format. Null when no pin takes it. bLooped: the
    // looped-streaming interface (a WaveRT filter's pins).
    CKsAudPin* CreateRenderPin(const WAVEFORMATEX* pwfx, BOOL bLooped = FALSE);
    // The first range of the last render-sink pin, or null.
    KSDATARANGE_AUDIO* GetKsAudioDataRange();
};

class CKsAudCapFilter : public CKsAudFilter {
public:
    CKsAudCapFilter(LPCSTR pszName, HRESULT* phr);

    CKsAudPin* FindViablePin(const WAVEFORMATEX* pwfx);
    // An instantiated capture pin for the format; it stays with the filter
    // (the caller closes it but never deletes it). Null on failure.
    CKsAudPin* CreateCapturePin(const WAVEFORMATEX* pwfx, BOOL bLooped);
    KSDATARANGE_AUDIO* GetKsAudioDataRange();
};

#include "audpin.h"

#include "ks_trace_scope.h"

#include <algorithm>
#include <cstring>

namespace {

// {xxxxxxxx-0000-0010-8000-00AA00389B71}: the subtype of a wave format tag.
constexpr GUID kWaveFormatTagSubtype = {0x00000000, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

bool IsWaveFormatTagSubtype(const GUID& guid)
{
    return std::memcmp(reinterpret_cast<const BYTE*>(&guid) + 2, reinterpret_cast<const BYTE*>(&kWaveFormatTagSubtype) + 2,
                       sizeof(GUID) - 2) == 0;
}

GUID SubtypeOf(const WAVEFORMATEX* pwfx)
{
    if (pwfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        return reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(pwfx)->SubFormat;
    }
    GUID subtype = kWaveFormatTagSubtype;
    subtype.Data1 = pwfx->wFormatTag;
    return subtype;
}

// The bytes of a format as the creation request carries it: a PCM format is
// always the bare 18-byte WAVEFORMATEX, whatever its cbSize says.
ULONG FormatSize(const WAVEFORMATEX* pwfx)
{
    return pwfx->wFormatTag == WAVE_FORMAT_PCM ? sizeof(WAVEFORMATEX) : sizeof(WAVEFORMATEX) + pwfx->cbSize;
}

}  // namespace

CKsAudPin::CKsAudPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr)
    : CKsPin(pFilter, nId, phr), m_pWaveFormat(nullptr), m_pksDataFormatWfx(nullptr)
{
    KsTraceEnter("CKsAudPin::CKsAudPin()");
    if (SUCCEEDED(*phr)) {
        *phr = BuildCreationRequest();
    }
    if (SUCCEEDED(*phr)) {
        *phr = Init();
    }
    KsTraceLeave("CKsAudPin::CKsAudPin()");
}

CKsAudPin::~CKsAudPin()
{
    KsTraceEnter("CKsAudPin::~CKsAudPin()");
    while (m_DataRanges.m_pHead) {
        delete m_DataRanges.RemoveHead();
    }
    KsFreeBlock(m_pWaveFormat);
    KsTraceLeave("CKsAudPin::~CKsAudPin()");
}

HRESULT CKsAudPin::BuildCreationRequest()
{
    const ULONG cbConnect = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
    m_pksPinCreate = static_cast<PKSPIN_CONNECT>(KsAllocBlock(cbConnect));
    if (!m_pksPinCreate) {
        KsTrace(KSTRACE_ERROR, "Failed to allocate m_pksPinCreate");
        return E_OUTOFMEMORY;
    }
    m_cbConnect = cbConnect;
    m_pksPinCreate->Interface.Set = KSINTERFACESETID_Standard;
    m_pksPinCreate->Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    m_pksPinCreate->Interface.Flags = 0;
    m_pksPinCreate->Medium.Set = KSMEDIUMSETID_Standard;
    m_pksPinCreate->Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    m_pksPinCreate->Medium.Flags = 0;
    m_pksPinCreate->PinId = m_nId;
    m_pksPinCreate->PinToHandle = nullptr;
    m_pksPinCreate->Priority.PriorityClass = KSPRIORITY_NORMAL;
    m_pksPinCreate->Priority.PrioritySubClass = 1;

    m_pksDataFormatWfx = reinterpret_cast<PKSDATAFORMAT>(m_pksPinCreate + 1);
    m_pksDataFormatWfx->FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
    m_pksDataFormatWfx->Flags = 0;
    m_pksDataFormatWfx->SampleSize = 0;
    m_pksDataFormatWfx->Reserved = 0;
    m_pksDataFormatWfx->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    m_pksDataFormatWfx->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    m_pksDataFormatWfx->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    return S_OK;
}

HRESULT CKsAudPin::Init()
{
    KsTraceEnter("CKsAudPin::Init()");
    const KsPinDescriptor& d = m_Descriptor;

    // Standard streaming, or looped streaming only (the pins of WaveRT filters).
    bool standardInterface = false;
    for (ULONG i = 0; i < d.InterfacesCount && !standardInterface; ++i) {
        standardInterface = IsEqualGUID(d.Interfaces[i].Set, KSINTERFACESETID_Standard) &&
                            (d.Interfaces[i].Id == KSINTERFACE_STANDARD_STREAMING ||
                             d.Interfaces[i].Id == KSINTERFACE_STANDARD_LOOPED_STREAMING);
    }
    if (!standardInterface) {
        KsTrace(KSTRACE_ERROR, "No standard streaming interfaces on the pin");
        return KsTraceLeave("CKsAudPin::Init", E_FAIL);
    }
    bool standardMedium = false;
    for (ULONG i = 0; i < d.MediumsCount && !standardMedium; ++i) {
        standardMedium = IsEqualGUID(d.Mediums[i].Set, KSMEDIUMSETID_Standard) &&
                         d.Mediums[i].Id == KSMEDIUM_TYPE_ANYINSTANCE;
    }
    if (!standardMedium) {
        KsTrace(KSTRACE_ERROR, "No standard streaming mediums on the pin");
        return KsTraceLeave("CKsAudPin::Init", E_FAIL);
    }

    // The ranges lie back to back in the block read for them; the walk never
    // leaves that block, whatever sizes the driver states.
    HRESULT hr = S_OK;
    bool viable = false;
    if (d.DataRanges) {
        const auto* pBlock = reinterpret_cast<const BYTE*>(reinterpret_cast<const KSMULTIPLE_ITEM*>(d.DataRanges) - 1);
        const size_t cbBlock = reinterpret_cast<const KSMULTIPLE_ITEM*>(pBlock)->Size;
        size_t offset = sizeof(KSMULTIPLE_ITEM);
        for (ULONG i = 0; i < d.DataRangesCount && offset + sizeof(KSDATARANGE) <= cbBlock; ++i) {
            const auto* pRange = reinterpret_cast<const KSDATARANGE*>(pBlock + offset);
            if (!viable) {
                viable = IsWaveFormatTagSubtype(pRange->SubFormat) ||
                         IsEqualGUID(pRange->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
                         IsEqualGUID(pRange->SubFormat, GUID_NULL);
            }
            if (viable && IsEqualGUID(pRange->MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) {
                // A range shorter than an audio range gives what it holds; the rest stays zero.
                auto* pCopy = new (std::nothrow) KSDATARANGE_AUDIO{};
                if (!pCopy) {
                    KsTrace(KSTRACE_ERROR, "Unable to allocate memory to save datarange in");
                    hr = E_OUTOFMEMORY;
                } else {
                    std::memcpy(pCopy, pRange,
                                std::min({static_cast<size_t>(pRange->FormatSize), sizeof(KSDATARANGE_AUDIO),
                                          cbBlock - offset}));
                    if (!m_DataRanges.AddTail(pCopy)) {
                        delete pCopy;
                        KsTrace(KSTRACE_ERROR, "Unable to allocate list entry to save datarange in");
                        hr = E_OUTOFMEMORY;
                    }
                }
            }
            if (pRange->FormatSize < sizeof(KSDATARANGE)) {
                break;  // no way to find the next range
            }
            offset += pRange->FormatSize;
        }
    }
    if (!viable) {
        KsTrace(KSTRACE_ERROR, "No audio dataranges on the pin");
        hr = E_FAIL;
    }
    return KsTraceLeave("CKsAudPin::Init", hr);
}

BOOL CKsAudPin::IsFormatSupported(const WAVEFORMATEX* pwfx)
{
    KsTraceEnter("CKsAudPin::IsFormatSupported()");
    const GUID subtype = SubtypeOf(pwfx);
    BOOL supported = FALSE;
    for (auto* pItem = m_DataRanges.m_pHead; pItem && !supported; pItem = pItem->pNext) {
        const KSDATARANGE_AUDIO& r = *pItem->pData;
        supported = (IsEqualGUID(r.DataRange.MajorFormat, GUID_NULL) ||
                     IsEqualGUID(r.DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) &&
                    (IsEqualGUID(r.DataRange.SubFormat, GUID_NULL) || IsEqualGUID(r.DataRange.SubFormat, subtype)) &&
                    (IsEqualGUID(r.DataRange.Specifier, GUID_NULL) ||
                     IsEqualGUID(r.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) &&
                    r.MaximumChannels >= pwfx->nChannels && r.MinimumBitsPerSample <= pwfx->wBitsPerSample &&
                    pwfx->wBitsPerSample <= r.MaximumBitsPerSample &&
                    r.MinimumSampleFrequency <= pwfx->nSamplesPerSec &&
                    pwfx->nSamplesPerSec <= r.MaximumSampleFrequency;
    }
    KsTraceLeave("CKsAudPin::IsFormatSupported()");
    return supported;
}

HRESULT CKsAudPin::SetFormat(const WAVEFORMATEX* pwfx)
{
    KsTraceEnter("CKsAudPin::SetFormat()");
    if (!pwfx || !m_pksDataFormatWfx) {
        KsTrace(KSTRACE_ERROR, "pwfx or m_pksDataFormatWfx are NULL");
        return KsTraceLeave("CKsAudPin::SetFormat", E_FAIL);
    }
    const ULONG cbFormat = FormatSize(pwfx);
    const ULONG cbNeeded = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + cbFormat;
    if (m_cbConnect != cbNeeded) {
        auto* pNew = static_cast<PKSPIN_CONNECT>(KsAllocBlock(cbNeeded));
        if (!pNew) {
            KsTrace(KSTRACE_ERROR, "Unable to allocate KSPIN_CONNECT structure");
            return KsTraceLeave("CKsAudPin::SetFormat", E_OUTOFMEMORY);
        }
        std::memcpy(pNew, m_pksPinCreate, std::min(m_cbConnect, cbNeeded));
        KsFreeBlock(m_pksPinCreate);
        m_pksPinCreate = pNew;
        m_pksDataFormatWfx = reinterpret_cast<PKSDATAFORMAT>(m_pksPinCreate + 1);
        m_cbConnect = cbNeeded;
        m_pksDataFormatWfx->FormatSize = sizeof(KSDATAFORMAT) + cbFormat;
    }
    std::memcpy(m_pksDataFormatWfx + 1, pwfx, cbFormat);
    // The data format names the samples as the wave format does: drivers
    // check it against their ranges (PCM, or IEEE float).
    m_pksDataFormatWfx->SubFormat = SubtypeOf(pwfx);
    m_pksDataFormatWfx->SampleSize = static_cast<USHORT>(pwfx->nChannels * pwfx->wBitsPerSample / 8);

    KsFreeBlock(m_pWaveFormat);
    m_pWaveFormat = static_cast<WAVEFORMATEX*>(KsAllocBlock(cbFormat));
    if (m_pWaveFormat) {
        std::memcpy(m_pWaveFormat, pwfx, cbFormat);
    }
    return KsTraceLeave("CKsAudPin::SetFormat", S_OK);
}

CKsAudRenPin::CKsAudRenPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr) : CKsAudPin(pFilter, nId, phr)
{
    KsTraceEnter("CKsAudRenPin::CKsAudRenPin()");
    KsTraceLeave("CKsAudRenPin::CKsAudRenPin()");
}

CKsAudRenPin::~CKsAudRenPin()
{
    KsTraceEnter("CKsAudRenPin::~CKsAudRenPin()");
    KsTraceLeave("CKsAudRenPin::~CKsAudRenPin()");
}

CKsAudCapPin::CKsAudCapPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr) : CKsAudPin(pFilter, nId, phr)
{
    KsTraceEnter("CKsAudCapPin::CKsAudCapPin()");
    KsTraceLeave("CKsAudCapPin::CKsAudCapPin()");
}

CKsAudCapPin::~CKsAudCapPin()
{
    KsTraceEnter("CKsAudCapPin::~CKsAudCapPin()");
    KsTraceLeave("CKsAudCapPin::~CKsAudCapPin()");
}

HRESULT CKsAudPin::GetLatency(LONGLONG* hundredNs)
{
    KSTIME latency = {};
    HRESULT hr = GetPropertySimple(KSPROPSETID_Audio, KSPROPERTY_AUDIO_LATENCY, &latency, sizeof latency);
    if (SUCCEEDED(hr) && (latency.Denominator == 0 || latency.Time < 0)) {
        hr = E_UNEXPECTED;
    }
    if (SUCCEEDED(hr)) {
        *hundredNs = latency.Time * static_cast<LONGLONG>(latency.Numerator) / static_cast<LONGLONG>(latency.Denominator);
    }
    return hr;
}

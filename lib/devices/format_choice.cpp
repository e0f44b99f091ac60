#include "format_choice.h"

#include "audfilter.h"
#include "debug_trace.h"
#include "device_texts.h"
#include "wave_format.h"

namespace {

constexpr int kCandidateCount = 5;

const SampleFormat* CandidatesFor(SampleFormat host)
{
    static constexpr SampleFormat kFor16[kCandidateCount] = {SampleFormat::Int16, SampleFormat::Int24In32,
                                                             SampleFormat::Int24, SampleFormat::Int32,
                                                             SampleFormat::Float32};
    static constexpr SampleFormat kFor24[kCandidateCount] = {SampleFormat::Int24In32, SampleFormat::Int24,
                                                             SampleFormat::Int32, SampleFormat::Float32,
                                                             SampleFormat::Int16};
    static constexpr SampleFormat kFor32[kCandidateCount] = {SampleFormat::Int32, SampleFormat::Float32,
                                                             SampleFormat::Int24In32, SampleFormat::Int24,
                                                             SampleFormat::Int16};
    static constexpr SampleFormat kForFloat[kCandidateCount] = {SampleFormat::Float32, SampleFormat::Int32,
                                                                SampleFormat::Int24In32, SampleFormat::Int24,
                                                                SampleFormat::Int16};
    switch (host) {
    case SampleFormat::Int24:
    case SampleFormat::Int24In32:
        return kFor24;
    case SampleFormat::Int32:
        return kFor32;
    case SampleFormat::Float32:
        return kForFloat;
    default:
        return kFor16;
    }
}

bool IsAudioOrAny(const GUID& guid, const GUID& wanted)
{
    return IsEqualGUID(guid, GUID_NULL) || IsEqualGUID(guid, wanted);
}

// Whether a data range of the filter's streaming pins of that direction
// covers the format. Drivers describe a 24-in-32 container either by its
// container or by its valid bits, so either counts.
bool RangesOffer(CKsAudFilter* filter, StreamDirection direction, const WAVEFORMATEXTENSIBLE& format)
{
    KsList<CKsPin>& pins = direction == StreamDirection::Render ? filter->m_RenderSinkPins : filter->m_CaptureSinkPins;
    const ULONG container = format.Format.wBitsPerSample;
    const ULONG valid = format.Samples.wValidBitsPerSample;
    for (auto* pinItem = pins.m_pHead; pinItem; pinItem = pinItem->pNext) {
        auto* pin = static_cast<CKsAudPin*>(pinItem->pData);
        for (auto* rangeItem = pin->m_DataRanges.m_pHead; rangeItem; rangeItem = rangeItem->pNext) {
            const KSDATARANGE_AUDIO& r = *rangeItem->pData;
            const auto bitsIn = [&r](ULONG bits) {
                return r.MinimumBitsPerSample <= bits && bits <= r.MaximumBitsPerSample;
            };
            if (IsAudioOrAny(r.DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
                IsAudioOrAny(r.DataRange.SubFormat, format.SubFormat) &&
                IsAudioOrAny(r.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) &&
                r.MaximumChannels >= format.Format.nChannels && r.MinimumSampleFrequency <= format.Format.nSamplesPerSec &&
                format.Format.nSamplesPerSec <= r.MaximumSampleFrequency && (bitsIn(container) || bitsIn(valid))) {
                return true;
            }
        }
    }
    return false;
}

// A WaveRT filter's pins take the looped-streaming interface only; every
// other filter's pins are made for standard streaming.
CKsAudPin* Create(CKsAudFilter* filter, StreamDirection direction, WAVEFORMATEXTENSIBLE& format)
{
    const BOOL looped = filter->m_bRealTime;
    if (direction == StreamDirection::Render) {
        return static_cast<CKsAudRenFilter*>(filter)->CreateRenderPin(&format.Format, looped);
    }
    return static_cast<CKsAudCapFilter*>(filter)->CreateCapturePin(&format.Format, looped);
}

// What the engine needs to know of a format the pin took.
EndpointFormat Describe(const WAVEFORMATEXTENSIBLE& format, int32_t rate)
{
    EndpointFormat taken;
    taken.pinChannels = format.Format.nChannels;
    taken.bytesPerSample = static_cast<uint16_t>(format.Format.wBitsPerSample / 8);
    taken.sampleRate = rate;
    taken.extensible = format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    taken.isFloat = format.Format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ||
                    (taken.extensible && IsEqualGUID(format.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
    taken.validBits = taken.extensible ? format.Samples.wValidBitsPerSample : format.Format.wBitsPerSample;
    return taken;
}

// The requested format at the configured depth and its plain fallback, as
// a 16-bit host has always asked.
CKsAudPin* OpenAsAlways(CKsAudFilter* filter, StreamDirection direction, const FormatRequest& request,
                        WAVEFORMATEXTENSIBLE& format)
{
    format = MakeRequestedFormat(request.pinChannels, static_cast<uint32_t>(request.sampleRate),
                                 static_cast<uint16_t>(request.bitsPerSample), direction);
    CKsAudPin* pin = Create(filter, direction, format);
    if (pin) {
        return pin;
    }
    UseFallbackFormat(format, direction);
    // A classic capture pin is no longer opened looped as a last resort:
    // streamed with read requests its ring completes only at STOP, so the
    // device would only ever be late and dropped.
    return Create(filter, direction, format);
}

}  // namespace

OpenedPin OpenPinInBestFormat(CKsAudFilter* filter, StreamDirection direction, const FormatRequest& request,
                              const std::string& name)
{
    OpenedPin opened;
    if (!filter) {
        DebugTrace(DeviceTexts::kPinOpenError, 0u);
        return opened;
    }
    const auto rate = static_cast<uint32_t>(request.sampleRate);
    WAVEFORMATEXTENSIBLE format{};
    const bool sixteenBitHost = request.host == SampleFormat::Int16;
    if (sixteenBitHost) {
        opened.pin = OpenAsAlways(filter, direction, request, format);
    }
    const SampleFormat* candidates = CandidatesFor(request.host);
    for (int i = 0; i < kCandidateCount && !opened.pin; ++i) {
        const SampleFormat form = candidates[i];
        const SampleFormatInfo& info = InfoOf(form);
        if (sixteenBitHost && !info.isFloat && info.containerBytes * 8 == request.bitsPerSample &&
            info.validBits == request.bitsPerSample) {
            continue;  // asked for already
        }
        format = MakeExtensibleFormat(form, request.pinChannels, rate);
        if (!RangesOffer(filter, direction, format)) {
            continue;
        }
        opened.pin = Create(filter, direction, format);
        if (!opened.pin && UsePlainFormat(format, form)) {
            opened.pin = Create(filter, direction, format);
        }
    }
    if (opened.pin) {
        opened.format = Describe(format, request.sampleRate);
        DebugTrace(DeviceTexts::kFormatTaken, name.c_str(), DescribeEndpointFormat(opened.format).c_str(),
                   opened.format.extensible ? "WAVEFORMATEXTENSIBLE" : "WAVEFORMATEX");
    }
    return opened;
}

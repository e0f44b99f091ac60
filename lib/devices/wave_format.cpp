#include "wave_format.h"

namespace {

DWORD ChannelMask(uint16_t channels)
{
    if (channels < 2) {
        return SPEAKER_FRONT_CENTER;
    }
    if (channels == 2) {
        return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    }
    // Devices with more channels get the four corner speakers, whatever their count.
    return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT;
}

}  // namespace

WAVEFORMATEXTENSIBLE MakeRequestedFormat(uint16_t channels, uint32_t rate, uint16_t bits, StreamDirection direction)
{
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = rate;
    format.Format.nBlockAlign = static_cast<WORD>((bits / 8) * channels);
    format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
    format.Format.wBitsPerSample = bits;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = direction == StreamDirection::Render ? bits : 16;
    format.dwChannelMask = ChannelMask(channels);
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

void UseFallbackFormat(WAVEFORMATEXTENSIBLE& format, StreamDirection direction)
{
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.cbSize = direction == StreamDirection::Render ? sizeof(WAVEFORMATEX) : 0;
    format.Samples.wValidBitsPerSample = 0;
    format.dwChannelMask = 0;
    format.SubFormat = GUID_NULL;
}

WAVEFORMATEXTENSIBLE MakeExtensibleFormat(SampleFormat form, uint16_t channels, uint32_t rate)
{
    const SampleFormatInfo& info = InfoOf(form);
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = rate;
    format.Format.nBlockAlign = static_cast<WORD>(info.containerBytes * channels);
    format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
    format.Format.wBitsPerSample = static_cast<WORD>(info.containerBytes * 8);
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = info.validBits;
    format.dwChannelMask = ChannelMask(channels);
    format.SubFormat = info.isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

bool UsePlainFormat(WAVEFORMATEXTENSIBLE& format, SampleFormat form)
{
    const SampleFormatInfo& info = InfoOf(form);
    const bool allowed = format.Format.nChannels <= 2 &&
                         (info.isFloat || (info.containerBytes <= 2 && info.validBits == info.containerBytes * 8));
    if (!allowed) {
        return false;
    }
    format.Format.wFormatTag = info.isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    format.Format.cbSize = 0;
    format.Samples.wValidBitsPerSample = 0;
    format.dwChannelMask = 0;
    format.SubFormat = GUID_NULL;
    return true;
}

#pragma once

#include "ks_platform.h"
#include "sample_conversion.h"
#include "stream_direction.h"

#include <cstdint>

// The format first asked of a device: WAVE_FORMAT_EXTENSIBLE with PCM
// samples; a capture request always names 16 valid bits.
WAVEFORMATEXTENSIBLE MakeRequestedFormat(uint16_t channels, uint32_t rate, uint16_t bits, StreamDirection direction);

// Turns a requested format into the plain-PCM fallback for devices that
// refuse the extensible layout.
void UseFallbackFormat(WAVEFORMATEXTENSIBLE& format, StreamDirection direction);

// The WAVE_FORMAT_EXTENSIBLE format of a sample form: the container's bits,
// its valid bits, a channel mask for the channel count and the PCM or
// IEEE-float subformat.
WAVEFORMATEXTENSIBLE MakeExtensibleFormat(SampleFormat form, uint16_t channels, uint32_t rate);

// Turns an extensible format into its plain WAVEFORMATEX form, where
// Windows allows one: integer PCM up to 16 bits and float, each with at
// most two channels (WAVE_FORMAT_PCM, WAVE_FORMAT_IEEE_FLOAT; cbSize 0).
// False, the format unchanged, where it does not.
bool UsePlainFormat(WAVEFORMATEXTENSIBLE& format, SampleFormat form);

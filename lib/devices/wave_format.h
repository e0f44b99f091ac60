#pragma once

#include "ks_platform.h"
#include "stream_direction.h"

#include <cstdint>

// The format first asked of a device: WAVE_FORMAT_EXTENSIBLE with PCM
// samples; a capture request always names 16 valid bits.
WAVEFORMATEXTENSIBLE MakeRequestedFormat(uint16_t channels, uint32_t rate, uint16_t bits, StreamDirection direction);

// Turns a requested format into the plain-PCM fallback for devices that
// refuse the extensible layout.
void UseFallbackFormat(WAVEFORMATEXTENSIBLE& format, StreamDirection direction);

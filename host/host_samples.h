#pragma once

#include "asio.h"

#include <cstdint>

// telvara-host plays and records 16-bit signals whatever the driver's
// sample type: a 16-bit sample goes into a channel of another type at full
// scale (24 bits: s << 8, 32 bits: s << 16, float: s / 32768), and comes back
// as its top 16 bits, rounded to nearest and saturated (float clipped at
// +-1). False from IsSupportedType for a type it cannot move.
bool IsSupportedType(ASIOSampleType type);
void PutSample(void* half, long frame, ASIOSampleType type, int16_t sample);
int16_t GetSample(const void* half, long frame, ASIOSampleType type);

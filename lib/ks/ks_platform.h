#pragma once

// The Windows headers the kernel-streaming classes and the system-call seam
// need, in the order they must come, with the record sizes our code relies on.
#include <windows.h>
#include <mmreg.h>
#include <setupapi.h>
#include <ks.h>
#include <ksmedia.h>

#ifdef _WIN64
static_assert(sizeof(KSSTREAM_HEADER) == 56);
static_assert(sizeof(KSPIN_CONNECT) == 72);
#else
static_assert(sizeof(KSSTREAM_HEADER) == 48);
static_assert(sizeof(KSPIN_CONNECT) == 64);
#endif
static_assert(sizeof(KSPROPERTY) == 24);
static_assert(sizeof(KSP_PIN) == 32);
static_assert(sizeof(KSDATAFORMAT) == 64);
static_assert(sizeof(KSDATARANGE_AUDIO) == 88);
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
static_assert(sizeof(KSMULTIPLE_ITEM) == 8);
static_assert(sizeof(KSIDENTIFIER) == 24);
static_assert(sizeof(KSPIN_CINSTANCES) == 8);

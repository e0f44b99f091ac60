#pragma once

// The WaveRT (looped-buffer) property set and its records, as Windows'
// ksmedia.h defines them. MinGW's ksmedia.h has only the set's GUID and the
// first property id.
//
// A 32-bit client on 64-bit Windows sends these records in its own layout
// (pointers of 4 bytes); the port class driver sees a 32-bit caller and reads
// them as the *32 records, which have exactly that layout. So a 32-bit build
// sends its native records: the asserts below keep the native 32-bit layout
// equal to the *32 one, and the 64-bit layout to Windows' own.

#include "ks_platform.h"

#include <cstddef>
#include <cstdint>

// {A855A48C-2F78-4729-9051-1968746B9EEF}
inline constexpr GUID kKsPropSetIdRtAudio = {0xa855a48c, 0x2f78, 0x4729, {0x90, 0x51, 0x19, 0x68, 0x74, 0x6b, 0x9e, 0xef}};
// {EB115FFC-10C8-4964-831D-6DCB02E6F23F}: the interface alias of a WaveRT filter.
inline constexpr GUID kKsCategoryRealtime = {0xeb115ffc, 0x10c8, 0x4964, {0x83, 0x1d, 0x6d, 0xcb, 0x02, 0xe6, 0xf2, 0x3f}};

// KSPROPERTY_RTAUDIO ids.
enum : ULONG {
    kRtAudioGetPositionFunction = 0,
    kRtAudioBuffer = 1,
    kRtAudioHwLatency = 2,
    kRtAudioPositionRegister = 3,
    kRtAudioClockRegister = 4,
    kRtAudioBufferWithNotification = 5,
    kRtAudioRegisterNotificationEvent = 6,
    kRtAudioUnregisterNotificationEvent = 7,
    kRtAudioQueryNotificationSupport = 8,
    kRtAudioPacketCount = 9,
};

struct KSRTAUDIO_BUFFER_PROPERTY {
    KSPROPERTY Property;
    PVOID BaseAddress;
    ULONG RequestedBufferSize;
};

struct KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION {
    KSPROPERTY Property;
    PVOID BaseAddress;
    ULONG RequestedBufferSize;
    ULONG NotificationCount;
};

struct KSRTAUDIO_BUFFER {
    PVOID BufferAddress;
    ULONG ActualBufferSize;
    BOOL CallMemoryBarrier;
};

struct KSRTAUDIO_HWLATENCY {
    ULONG FifoSize;      // bytes
    ULONG ChipsetDelay;  // 100 ns units
    ULONG CodecDelay;    // 100 ns units
};

struct KSRTAUDIO_HWREGISTER_PROPERTY {
    KSPROPERTY Property;
    PVOID BaseAddress;
};

struct KSRTAUDIO_HWREGISTER {
    PVOID Register;
    ULONG Width;  // bits
    ULONGLONG Numerator;
    ULONGLONG Denominator;
    ULONG Accuracy;
};

struct KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY {
    KSPROPERTY Property;
    HANDLE NotificationEvent;
};

// What the port class driver reads from a 32-bit caller.
struct KSRTAUDIO_BUFFER_PROPERTY32 {
    KSPROPERTY Property;
    ULONG BaseAddress;
    ULONG RequestedBufferSize;
};
struct KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION32 {
    KSPROPERTY Property;
    ULONG BaseAddress;
    ULONG RequestedBufferSize;
    ULONG NotificationCount;
};
struct KSRTAUDIO_BUFFER32 {
    ULONG BufferAddress;
    ULONG ActualBufferSize;
    BOOL CallMemoryBarrier;
};
struct KSRTAUDIO_HWREGISTER_PROPERTY32 {
    KSPROPERTY Property;
    ULONG BaseAddress;
};
struct KSRTAUDIO_HWREGISTER32 {
    ULONG Register;
    ULONG Width;
    ULONGLONG Numerator;
    ULONGLONG Denominator;
    ULONG Accuracy;
};
struct KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY32 {
    KSPROPERTY Property;
    ULONG NotificationEvent;
};

static_assert(sizeof(KSRTAUDIO_HWLATENCY) == 12);
static_assert(sizeof(KSAUDIO_POSITION) == 16);
static_assert(sizeof(KSRTAUDIO_BUFFER_PROPERTY32) == 32);
// KSPROPERTY is 8-aligned in both bitnesses (its LONGLONG member), so these are padded.
static_assert(sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION32) == 40);
static_assert(sizeof(KSRTAUDIO_BUFFER32) == 12);
static_assert(sizeof(KSRTAUDIO_HWREGISTER_PROPERTY32) == 32);
static_assert(sizeof(KSRTAUDIO_HWREGISTER32) == 32);
static_assert(sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY32) == 32);
#ifdef _WIN64
static_assert(sizeof(KSRTAUDIO_BUFFER_PROPERTY) == 40);
static_assert(sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION) == 40);
static_assert(offsetof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, NotificationCount) == 36);
static_assert(sizeof(KSRTAUDIO_BUFFER) == 16);
static_assert(sizeof(KSRTAUDIO_HWREGISTER_PROPERTY) == 32);
static_assert(sizeof(KSRTAUDIO_HWREGISTER) == 40);
static_assert(offsetof(KSRTAUDIO_HWREGISTER, Numerator) == 16);
static_assert(sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY) == 32);
#else
// A 32-bit build's records are the *32 records, field for field.
static_assert(sizeof(KSRTAUDIO_BUFFER_PROPERTY) == sizeof(KSRTAUDIO_BUFFER_PROPERTY32));
static_assert(sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION) == sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION32));
static_assert(offsetof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION, NotificationCount) ==
              offsetof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION32, NotificationCount));
static_assert(sizeof(KSRTAUDIO_BUFFER) == sizeof(KSRTAUDIO_BUFFER32));
static_assert(sizeof(KSRTAUDIO_HWREGISTER_PROPERTY) == sizeof(KSRTAUDIO_HWREGISTER_PROPERTY32));
static_assert(sizeof(KSRTAUDIO_HWREGISTER) == sizeof(KSRTAUDIO_HWREGISTER32));
static_assert(offsetof(KSRTAUDIO_HWREGISTER, Accuracy) == offsetof(KSRTAUDIO_HWREGISTER32, Accuracy));
static_assert(sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY) == sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY32));
#endif

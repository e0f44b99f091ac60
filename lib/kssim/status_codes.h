#pragma once

// The NTSTATUS values the simulated driver completes requests with, and the
// Win32 codes the caller sees for them. OVERLAPPED.Internal holds the
// NTSTATUS, as it does for a real driver, so GetOverlappedResult reports the
// matching Win32 code.

#include <windows.h>

namespace kssim::detail {

using NtStatus = LONG;

constexpr NtStatus kStatusSuccess = 0;
constexpr NtStatus kStatusPending = 0x00000103;
constexpr NtStatus kStatusBufferOverflow = static_cast<NtStatus>(0x80000005);  // ERROR_MORE_DATA
constexpr NtStatus kStatusUnsuccessful = static_cast<NtStatus>(0xC0000001);    // ERROR_GEN_FAILURE
constexpr NtStatus kStatusAccessViolation = static_cast<NtStatus>(0xC0000005); // ERROR_NOACCESS
constexpr NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000D);
constexpr NtStatus kStatusInvalidDeviceRequest = static_cast<NtStatus>(0xC0000010);  // ERROR_INVALID_FUNCTION
constexpr NtStatus kStatusBufferTooSmall = static_cast<NtStatus>(0xC0000023);  // ERROR_INSUFFICIENT_BUFFER
constexpr NtStatus kStatusCancelled = static_cast<NtStatus>(0xC0000120);       // ERROR_OPERATION_ABORTED
constexpr NtStatus kStatusInvalidBufferSize = static_cast<NtStatus>(0xC0000206);  // ERROR_INVALID_USER_BUFFER
constexpr NtStatus kStatusNotFound = static_cast<NtStatus>(0xC0000225);        // ERROR_NOT_FOUND
constexpr NtStatus kStatusPropsetNotFound = static_cast<NtStatus>(0xC0000230); // ERROR_SET_NOT_FOUND
constexpr NtStatus kStatusDeviceRemoved = static_cast<NtStatus>(0xC00002B6);   // ERROR_DEVICE_REMOVED

inline bool IsErrorStatus(NtStatus status) { return static_cast<ULONG>(status) >= 0xC0000000u; }

// The Win32 code of a status, as RtlNtStatusToDosError answers for the
// statuses above; a status built from a Win32 code (0xC007xxxx) gives it back.
inline DWORD Win32FromStatus(NtStatus status)
{
    switch (status) {
    case kStatusSuccess: return ERROR_SUCCESS;
    case kStatusPending: return ERROR_IO_PENDING;
    case kStatusBufferOverflow: return ERROR_MORE_DATA;
    case kStatusUnsuccessful: return ERROR_GEN_FAILURE;
    case kStatusAccessViolation: return ERROR_NOACCESS;
    case kStatusInvalidParameter: return ERROR_INVALID_PARAMETER;
    case kStatusInvalidDeviceRequest: return ERROR_INVALID_FUNCTION;
    case kStatusBufferTooSmall: return ERROR_INSUFFICIENT_BUFFER;
    case kStatusCancelled: return ERROR_OPERATION_ABORTED;
    case kStatusInvalidBufferSize: return ERROR_INVALID_USER_BUFFER;
    case kStatusNotFound: return ERROR_NOT_FOUND;
    case kStatusPropsetNotFound: return ERROR_SET_NOT_FOUND;
    case kStatusDeviceRemoved: return ERROR_DEVICE_REMOVED;
    default: break;
    }
    if ((static_cast<ULONG>(status) & 0xFFFF0000u) == 0xC0070000u) {
        return static_cast<ULONG>(status) & 0xFFFFu;
    }
    return ERROR_GEN_FAILURE;
}

// The status a driver completes with for a Win32 code (used for injected
// stream faults): the named statuses above where one exists, otherwise the
// FACILITY_WIN32 form that maps straight back.
inline NtStatus StatusFromWin32(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS: return kStatusSuccess;
    case ERROR_GEN_FAILURE: return kStatusUnsuccessful;
    case ERROR_NOACCESS: return kStatusAccessViolation;
    case ERROR_INVALID_PARAMETER: return kStatusInvalidParameter;
    case ERROR_INVALID_FUNCTION: return kStatusInvalidDeviceRequest;
    case ERROR_INSUFFICIENT_BUFFER: return kStatusBufferTooSmall;
    case ERROR_OPERATION_ABORTED: return kStatusCancelled;
    case ERROR_INVALID_USER_BUFFER: return kStatusInvalidBufferSize;
    case ERROR_NOT_FOUND: return kStatusNotFound;
    case ERROR_SET_NOT_FOUND: return kStatusPropsetNotFound;
    case ERROR_DEVICE_REMOVED: return kStatusDeviceRemoved;
    default: return static_cast<NtStatus>(0xC0070000u | (error & 0xFFFFu));
    }
}

}  // namespace kssim::detail

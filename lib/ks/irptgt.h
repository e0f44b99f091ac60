#pragma once

#include "ks_platform.h"

// Base of every kernel-streaming object we open (filters and pins): owns one
// handle, opened and closed by the derived class, and sends the synchronous
// property requests.
class CKsIrpTarget {
public:
    CKsIrpTarget();

    HANDLE GetHandle();
    // Neither null nor INVALID_HANDLE_VALUE.
    static BOOL IsValidHandle(HANDLE handle);
    // Closes a valid handle and makes it INVALID_HANDLE_VALUE; TRUE for an
    // invalid one.
    static BOOL SafeCloseHandle(HANDLE& handle);

    // IOCTL_KS_PROPERTY on any handle (a filter reads its pins' properties
    // through its own handle). With pvBuffer null and cbBuffer 0 it is a size
    // query: the required size lands in *pulBytesReturned.
    static HRESULT SyncIoctl(HANDLE handle, PVOID pvRequest, ULONG cbRequest, PVOID pvBuffer, ULONG cbBuffer,
                             PULONG pulBytesReturned);

    // Reads a multiple-item property of this object. On success the block (or
    // null for an empty answer) belongs to the caller, to be released with
    // KsFreeBlock; so does a block stored before the read failed.
    HRESULT GetPropertyMulti(REFGUID guidPropertySet, ULONG nProperty, PKSMULTIPLE_ITEM* ppKsMultipleItem);
    HRESULT SetPropertySimple(REFGUID guidPropertySet, ULONG nProperty, PVOID pvValue, ULONG cbValue);
    // Reads a fixed-size property of this object; fails unless exactly
    // cbValue bytes arrive.
    HRESULT GetPropertySimple(REFGUID guidPropertySet, ULONG nProperty, PVOID pvValue, ULONG cbValue);

protected:
    // A size query, a block of the reported size, and the read into it; the
    // block is stored in *ppKsMultipleItem as soon as it exists.
    static HRESULT SyncIoctlMulti(HANDLE handle, PVOID pvRequest, ULONG cbRequest, PKSMULTIPLE_ITEM* ppKsMultipleItem);

    HANDLE m_handle;
};

// A multiple-item answer whose header claims more than arrived is cut to
// what arrived: Size never exceeds the block. Returns how many items of
// itemSize bytes the block really holds (at most Count).
ULONG KsBoundMultipleItem(PKSMULTIPLE_ITEM pItem, ULONG cbBlock, ULONG cbItem);

// Blocks of the kernel-streaming classes (property answers, creation
// requests, format copies) are raw zeroed memory from these two.
void* KsAllocBlock(size_t size);
void KsFreeBlock(void* block);

#include "irptgt.h"

#include "ks_assert.h"
#include "ks_system.h"
#include "ks_trace_scope.h"

#include <cstdlib>

void* KsAllocBlock(size_t size)
{
    return std::calloc(1, size);
}

void KsFreeBlock(void* block)
{
    std::free(block);
}

ULONG KsBoundMultipleItem(PKSMULTIPLE_ITEM pItem, ULONG cbBlock, ULONG cbItem)
{
    if (!pItem || cbBlock < sizeof(KSMULTIPLE_ITEM)) {
        return 0;
    }
    if (pItem->Size > cbBlock || pItem->Size < sizeof(KSMULTIPLE_ITEM)) {
        pItem->Size = cbBlock;
    }
    const ULONG capacity = cbItem ? (pItem->Size - sizeof(KSMULTIPLE_ITEM)) / cbItem : pItem->Count;
    return pItem->Count < capacity ? pItem->Count : capacity;
}

CKsIrpTarget::CKsIrpTarget() : m_handle(INVALID_HANDLE_VALUE)
{
}

HANDLE CKsIrpTarget::GetHandle()
{
    KsTraceEnter("CKsIrpTarget::GetHandle()");
    KsTraceLeave("CKsIrpTarget::GetHandle()");
    return m_handle;
}

BOOL CKsIrpTarget::IsValidHandle(HANDLE handle)
{
    KsTraceEnter("CKsIrpTarget::IsValidHandle()");
    const BOOL valid = handle != nullptr && handle != INVALID_HANDLE_VALUE;
    KsTraceLeave("CKsIrpTarget::IsValidHandle()");
    return valid;
}

BOOL CKsIrpTarget::SafeCloseHandle(HANDLE& handle)
{
    KsTraceEnter("CKsIrpTarget::SafeCloseHandle()");
    BOOL result = TRUE;
    if (IsValidHandle(handle)) {
        result = KsSystem::CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    KsTraceLeave("CKsIrpTarget::SafeCloseHandle()");
    return result;
}

HRESULT CKsIrpTarget::SyncIoctl(HANDLE handle, PVOID pvRequest, ULONG cbRequest, PVOID pvBuffer, ULONG cbBuffer,
                                PULONG pulBytesReturned)
{
    KsTraceEnter("CKsIrpTarget::SyncIoctl()");
    if (!IsValidHandle(handle)) {
        KsTrace(KSTRACE_ERROR, "CKsIrpTarget::SyncIoctl Invalid Handle");
        return KsTraceLeave("CKsIrpTarget::SyncIoctl", E_FAIL);
    }
    ULONG ulLocalBytes = 0;
    if (!pulBytesReturned) {
        pulBytesReturned = &ulLocalBytes;
    }
    HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!hEvent) {
        KsTrace(KSTRACE_ERROR, "CKsIrpTarget::SyncIoctl CreateEvent failed");
        return KsTraceLeave("CKsIrpTarget::SyncIoctl", E_OUTOFMEMORY);
    }
    OVERLAPPED overlapped{};
    // The low bit keeps the completion away from any completion port the
    // handle may be associated with.
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(hEvent) | 1);

    HRESULT hr = S_OK;
    DWORD dwBytes = 0;
    if (!KsSystem::DeviceIoControl(handle, IOCTL_KS_PROPERTY, pvRequest, cbRequest, pvBuffer, cbBuffer, &dwBytes,
                                   &overlapped)) {
        const DWORD dwError = GetLastError();
        if (dwError == ERROR_IO_PENDING) {
            // No time limit: property requests are set-up operations that every
            // driver completes, and returning early would leave the driver
            // writing into this stack frame's OVERLAPPED and buffer.
            const DWORD dwWait = WaitForSingleObject(hEvent, INFINITE);
            dwBytes = 0;
            if (dwWait != WAIT_OBJECT_0) {
                KS_ASSERT(WAIT_OBJECT_0 == dwWait, "DirectKS\\irptgt");
                KsTrace(KSTRACE_ERROR, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x",
                        static_cast<unsigned>(dwWait));
                hr = E_FAIL;
            }
        } else if ((dwError == ERROR_INSUFFICIENT_BUFFER || dwError == ERROR_MORE_DATA) && cbBuffer == 0) {
            // A size query: the driver reported the size it needs.
        } else {
            dwBytes = 0;
            hr = E_FAIL;
        }
    }
    *pulBytesReturned = dwBytes;
    ::CloseHandle(hEvent);
    return KsTraceLeave("CKsIrpTarget::SyncIoctl", hr);
}

HRESULT CKsIrpTarget::SyncIoctlMulti(HANDLE handle, PVOID pvRequest, ULONG cbRequest,
                                     PKSMULTIPLE_ITEM* ppKsMultipleItem)
{
    ULONG cbMultipleItem = 0;
    HRESULT hr = SyncIoctl(handle, pvRequest, cbRequest, nullptr, 0, &cbMultipleItem);
    if (FAILED(hr) || cbMultipleItem == 0) {
        return hr;
    }
    // Never smaller than the header, so a short answer reads as zero items.
    const ULONG cbBlock = cbMultipleItem < sizeof(KSMULTIPLE_ITEM) ? sizeof(KSMULTIPLE_ITEM) : cbMultipleItem;
    *ppKsMultipleItem = static_cast<PKSMULTIPLE_ITEM>(KsAllocBlock(cbBlock));
    if (!*ppKsMultipleItem) {
        return E_OUTOFMEMORY;
    }
    hr = SyncIoctl(handle, pvRequest, cbRequest, *ppKsMultipleItem, cbMultipleItem, nullptr);
    if (SUCCEEDED(hr)) {
        KsBoundMultipleItem(*ppKsMultipleItem, cbBlock, 0);
    }
    return hr;
}

HRESULT CKsIrpTarget::GetPropertyMulti(REFGUID guidPropertySet, ULONG nProperty, PKSMULTIPLE_ITEM* ppKsMultipleItem)
{
    KsTraceEnter("CKsIrpTarget::GetPropertyMulti()");
    KSPROPERTY ksProperty{};
    ksProperty.Set = guidPropertySet;
    ksProperty.Id = nProperty;
    ksProperty.Flags = KSPROPERTY_TYPE_GET;
    const HRESULT hr = SyncIoctlMulti(m_handle, &ksProperty, sizeof ksProperty, ppKsMultipleItem);
    return KsTraceLeave("CKsIrpTarget::GetPropertyMulti", hr);
}

HRESULT CKsIrpTarget::GetPropertySimple(REFGUID guidPropertySet, ULONG nProperty, PVOID pvValue, ULONG cbValue)
{
    KsTraceEnter("CKsIrpTarget::GetPropertySimple()");
    KSPROPERTY property = {};
    property.Set = guidPropertySet;
    property.Id = nProperty;
    property.Flags = KSPROPERTY_TYPE_GET;
    ULONG ulBytesReturned = 0;
    HRESULT hr = SyncIoctl(m_handle, &property, sizeof property, pvValue, cbValue, &ulBytesReturned);
    if (SUCCEEDED(hr) && ulBytesReturned != cbValue) {
        hr = E_UNEXPECTED;
    }
    return KsTraceLeave("CKsIrpTarget::GetPropertySimple", hr);
}

HRESULT CKsIrpTarget::SetPropertySimple(REFGUID guidPropertySet, ULONG nProperty, PVOID pvValue, ULONG cbValue)
{
    KsTraceEnter("CKsIrpTarget::SetPropertySimple()");
    auto* pKsProperty = static_cast<PKSPROPERTY>(KsAllocBlock(sizeof(KSPROPERTY)));
    if (!pKsProperty) {
        return KsTraceLeave("CKsIrpTarget::SetPropertySimple", E_OUTOFMEMORY);
    }
    pKsProperty->Set = guidPropertySet;
    pKsProperty->Id = nProperty;
    pKsProperty->Flags = KSPROPERTY_TYPE_SET;
    ULONG ulBytesReturned = 0;
    const HRESULT hr = SyncIoctl(m_handle, pKsProperty, sizeof(KSPROPERTY), pvValue, cbValue, &ulBytesReturned);
    KsFreeBlock(pKsProperty);
    return KsTraceLeave("CKsIrpTarget::SetPropertySimple", hr);
}

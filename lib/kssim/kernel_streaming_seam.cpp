// The kernel-streaming side of the seam: filter handles, property and
// stream requests, pin creation, cancellation and closing, answered from
// the simulated devices. Like the Windows functions they stand for, these
// report failure through their result and the last-error code; nothing is
// thrown out of them.
//
// A request that completes at once (every property request of a
// synchronous device) updates OVERLAPPED.Internal/InternalHigh and signals
// the event when it succeeds or answers a size (STATUS_BUFFER_OVERFLOW), as
// the I/O manager does; a request refused with an error touches neither.

#include "ks_system.h"
#include "model_state.h"

#include <cstring>

namespace {

using namespace kssim::detail;

HANDLE EventOf(const OVERLAPPED* overlapped)
{
    return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(overlapped->hEvent) & ~uintptr_t{1});
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

bool IsPositionRequest(const void* inBuffer, DWORD inSize)
{
    if (!inBuffer || inSize < sizeof(KSPROPERTY)) {
        return false;
    }
    KSPROPERTY property;
    std::memcpy(&property, inBuffer, sizeof property);
    return IsEqualGUID(property.Set, KSPROPSETID_Audio) && property.Id == KSPROPERTY_AUDIO_POSITION;
}

BOOL PropertyRequest(Model& model, HandleEntry& entry, void* inBuffer, DWORD inSize, void* outBuffer, DWORD outSize,
                     LPDWORD bytesReturned, LPOVERLAPPED overlapped)
{
    if (entry.device->removed) {
        return Fail(ERROR_DEVICE_REMOVED);
    }
    const kssim::DeviceModel& device = entry.device->model;
    if ((device.asynchronousProperties || (device.pendingPositions && IsPositionRequest(inBuffer, inSize))) &&
        overlapped) {
        auto request = std::make_unique<Request>();
        request->kind = RequestKind::Property;
        BeginRequest(*request, entry, overlapped);
        if (inBuffer && inSize) {
            const auto* bytes = static_cast<const BYTE*>(inBuffer);
            request->property.assign(bytes, bytes + inSize);
        }
        request->output = outBuffer;
        request->outputSize = outSize;
        model.propertyQueue.push_back(std::move(request));
        SettleFileObject(entry, *overlapped);
        if (!model.holdProperties) {
            WakeClock(model);
        }
        return Fail(ERROR_IO_PENDING);
    }
    ULONG_PTR information = 0;
    const NtStatus status =
        AnswerProperty(model, entry, static_cast<const BYTE*>(inBuffer), inSize, outBuffer, outSize, &information);
    if (IsErrorStatus(status)) {
        if (bytesReturned) {
            *bytesReturned = 0;
        }
        return Fail(Win32FromStatus(status));
    }
    if (bytesReturned) {
        *bytesReturned = static_cast<DWORD>(information);
    }
    if (overlapped) {
        Request done;
        done.overlapped = overlapped;
        done.event = EventOf(overlapped);
        done.file = &entry;
        SignalCompletion(done, status, information);
    }
    return status == kStatusSuccess ? TRUE : Fail(Win32FromStatus(status));
}

}  // namespace

namespace KsSystem {

HANDLE CreateFileA(LPCSTR path, DWORD /*access*/, DWORD /*shareMode*/, LPSECURITY_ATTRIBUTES /*security*/,
                   DWORD /*disposition*/, DWORD /*flags*/, HANDLE /*templateFile*/)
{
    EnsureModelLoaded();
    try {
        Model& model = TheModel();
        ModelLock lock(model);
        if (!path) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        std::shared_ptr<Device> device;
        for (const auto& candidate : model.devices) {
            // Device paths are matched without regard to case, as Windows does.
            if (!candidate->removed && lstrcmpiA(candidate->model.devicePath.c_str(), path) == 0) {
                device = candidate;
                break;
            }
        }
        if (!device) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        if (device->model.openFails) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        auto entry = std::make_unique<HandleEntry>();
        entry->kind = HandleKind::Filter;
        entry->device = device;
        HANDLE handle = AddHandle(model, std::move(entry));
        if (!handle) {
            SetLastError(ERROR_NO_SYSTEM_RESOURCES);
            return INVALID_HANDLE_VALUE;
        }
        return handle;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
                     LPDWORD bytesReturned, LPOVERLAPPED overlapped)
{
    EnsureModelLoaded();
    try {
        Model& model = TheModel();
        ModelLock lock(model);
        HandleEntry* entry = FindHandle(model, handle);
        if (!entry || entry->kind == HandleKind::DeviceInfoSet) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        switch (code) {
        case IOCTL_KS_PROPERTY:
            return PropertyRequest(model, *entry, inBuffer, inSize, outBuffer, outSize, bytesReturned, overlapped);
        case IOCTL_KS_WRITE_STREAM:
        case IOCTL_KS_READ_STREAM: {
            const DWORD result = SubmitStream(model, *entry, code, outBuffer, outSize, overlapped);
            if (result != ERROR_IO_PENDING && bytesReturned) {
                *bytesReturned = 0;
            }
            return Fail(result);
        }
        default:
            return Fail(ERROR_INVALID_FUNCTION);
        }
    } catch (...) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

DWORD KsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK /*access*/, PHANDLE pin)
{
    EnsureModelLoaded();
    try {
        Model& model = TheModel();
        ModelLock lock(model);
        if (model.ksUserMissing) {
            return ERROR_FILE_NOT_FOUND;
        }
        HandleEntry* entry = FindHandle(model, filter);
        if (!entry) {
            return ERROR_INVALID_HANDLE;
        }
        return CreatePinInstance(model, *entry, connect, pin);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped)
{
    EnsureModelLoaded();
    {
        Model& model = TheModel();
        ModelLock lock(model);
        HandleEntry* entry = FindHandle(model, handle);
        if (entry) {
            if (entry->kind == HandleKind::DeviceInfoSet) {
                return Fail(ERROR_INVALID_HANDLE);
            }
            try {
                if (CancelRequestsOf(model, *entry, overlapped) == 0) {
                    return Fail(ERROR_NOT_FOUND);
                }
                return TRUE;
            } catch (...) {
                return Fail(ERROR_NOT_ENOUGH_MEMORY);
            }
        }
        if (LooksSimulated(handle)) {
            return Fail(ERROR_INVALID_HANDLE);  // a simulated handle already closed
        }
    }
    return ::CancelIoEx(handle, overlapped);
}

BOOL CloseHandle(HANDLE handle)
{
    EnsureModelLoaded();
    {
        ClockStop stop;
        Model& model = TheModel();
        ModelLock lock(model);
        HandleEntry* entry = FindHandle(model, handle);
        if (entry) {
            if (entry->kind == HandleKind::DeviceInfoSet) {
                return Fail(ERROR_INVALID_HANDLE);  // sets end with SetupDiDestroyDeviceInfoList
            }
            try {
                if (entry->kind == HandleKind::Pin) {
                    ClosePinInstance(model, *entry->pin);
                } else {
                    CompleteRequestsOf(model, *entry, nullptr, kStatusCancelled);
                }
            } catch (...) {
                // Only allocation can fail while requests are put aside; the
                // handle is closed regardless.
            }
            DestroyHandle(model, handle);
            stop = StopClockIfIdle(model);
            return TRUE;
        }
        if (LooksSimulated(handle)) {
            return Fail(ERROR_INVALID_HANDLE);  // closed before, or from a model that was reset
        }
    }
    return ::CloseHandle(handle);
}

}  // namespace KsSystem

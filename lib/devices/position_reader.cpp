#include "position_reader.h"

#include "debug_trace.h"
#include "ks_system.h"

#include <atomic>
#include <new>

namespace {

constexpr ULONG_PTR kStatusPending = 0x103;
constexpr DWORD kCancelledReadWaitMs = 1000;

bool Completed(const OVERLAPPED& overlapped)
{
    const bool done = reinterpret_cast<const volatile OVERLAPPED&>(overlapped).Internal != kStatusPending;
    std::atomic_thread_fence(std::memory_order_acquire);  // the answer was written before the status
    return done;
}

}  // namespace

struct CPositionReader::Request {
    KSPROPERTY property{};
    KSAUDIO_POSITION answer{};
    OVERLAPPED overlapped{};
    HANDLE event = nullptr;
};

CPositionReader::CPositionReader(HANDLE pin) : m_pin(pin)
{
    m_request = new (std::nothrow) Request;
    if (!m_request) {
        return;
    }
    m_request->property.Set = KSPROPSETID_Audio;
    m_request->property.Id = KSPROPERTY_AUDIO_POSITION;
    m_request->property.Flags = KSPROPERTY_TYPE_GET;
    m_request->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!m_request->event) {
        delete m_request;
        m_request = nullptr;
    }
}

CPositionReader::~CPositionReader()
{
    if (!m_request) {
        return;
    }
    if (m_pending) {
        KsSystem::CancelIoEx(m_pin, &m_request->overlapped);
        const ULONGLONG deadline = GetTickCount64() + kCancelledReadWaitMs;
        while (!Completed(m_request->overlapped) && GetTickCount64() < deadline) {
            Sleep(1);
        }
        if (!Completed(m_request->overlapped)) {
            DebugTrace("CPositionReader: a position read stays with the driver; its memory is left to it\n");
            return;
        }
    }
    CloseHandle(m_request->event);
    delete m_request;
}

bool CPositionReader::Read(uint64_t* offset, bool* answeredNow)
{
    if (answeredNow) {
        *answeredNow = !m_pending;
    }
    if (!m_request) {
        return false;
    }
    if (m_pending) {
        if (!Completed(m_request->overlapped)) {
            return false;
        }
        m_pending = false;
        return Answer(offset);
    }
    m_request->overlapped = OVERLAPPED{};
    m_request->overlapped.Internal = kStatusPending;
    // The low bit keeps the completion away from a completion port.
    m_request->overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(m_request->event) | 1);
    DWORD returned = 0;
    if (KsSystem::DeviceIoControl(m_pin, IOCTL_KS_PROPERTY, &m_request->property, sizeof m_request->property,
                                  &m_request->answer, sizeof m_request->answer, &returned, &m_request->overlapped)) {
        return returned == sizeof m_request->answer && (*offset = m_request->answer.PlayOffset, true);
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (!Completed(m_request->overlapped)) {
        m_pending = true;
        return false;
    }
    return Answer(offset);
}

bool CPositionReader::Answer(uint64_t* offset) const
{
    const OVERLAPPED& done = m_request->overlapped;
    if (static_cast<LONG>(done.Internal) < 0 || done.InternalHigh != sizeof m_request->answer) {
        return false;
    }
    *offset = m_request->answer.PlayOffset;
    return true;
}

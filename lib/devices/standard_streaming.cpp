#include "standard_streaming.h"

#include "ks_system.h"
#include "pin.h"

#include <algorithm>
#include <new>

CStandardStreaming::CStandardStreaming(CKsPin* pin, StreamDirection direction)
    : m_pin(pin),
      m_direction(direction),
      m_event(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      m_signal(m_event)
{
}

CStandardStreaming::~CStandardStreaming()
{
    if (m_event) {
        CloseHandle(m_event);
    }
}

bool CStandardStreaming::Prepare(int slots, uint32_t blockBytes, const std::vector<uint32_t>& requestEnds,
                                 HANDLE activity)
{
    if (!m_pin || !m_event || slots < 1 || Held() > 0) {
        return false;
    }
    m_signal = activity ? activity : m_event;
    try {
        if (requestEnds.empty() || requestEnds.back() > blockBytes) {
            return false;
        }
        m_requestEnds = m_direction == StreamDirection::Render ? requestEnds : std::vector<uint32_t>{requestEnds.back()};
        if (!m_positionReader) {
            m_positionReader = std::make_unique<CPositionReader>(m_pin->GetHandle());
        }
        m_slots.assign(static_cast<size_t>(slots), Slot{});
        for (Slot& slot : m_slots) {
            // Never empty: a device of no channels still has an address to give.
            slot.data.assign(std::max<uint32_t>(blockBytes, 1), 0);
            slot.requests.assign(m_requestEnds.size(), StreamRequest{});
        }
    } catch (const std::bad_alloc&) {
        m_slots.clear();
        return false;
    }
    m_next = 0;
    m_moved = 0;
    return true;
}

int CStandardStreaming::Held() const
{
    int held = 0;
    for (const Slot& slot : m_slots) {
        held += IsHeld(slot) ? 1 : 0;
    }
    return held;
}

// A block of `bytes`: the requests up to the one that reaches its end, the
// last of them ending there (a render block longer or shorter than its
// nominal length moves only the end of its last request).
HRESULT CStandardStreaming::Submit(Slot& slot, uint32_t bytes)
{
    std::fill(slot.requests.begin(), slot.requests.end(), StreamRequest{});
    slot.queued = 0;
    size_t count = 1;
    while (count < m_requestEnds.size() && m_requestEnds[count - 1] < bytes) {
        ++count;
    }
    uint32_t begin = 0;
    for (size_t i = 0; i < count; ++i) {
        StreamRequest& request = slot.requests[i];
        const uint32_t end = i + 1 == count ? bytes : m_requestEnds[i];
        request.header.Size = sizeof(KSSTREAM_HEADER);
        request.header.FrameExtent = end - begin;
        request.header.Data = slot.data.data() + begin;
        if (m_direction == StreamDirection::Render) {
            request.header.TypeSpecificFlags = 1;
            request.header.DataUsed = end - begin;
            request.header.OptionsFlags = 0x100;
        }
        request.overlapped.hEvent = i + 1 == count ? m_signal : nullptr;
        // Marked before it goes, so that a completion racing the submission
        // cannot be missed.
        MarkRequestHeld(request.overlapped);
        const HRESULT hr = m_direction == StreamDirection::Render ? m_pin->WriteData(&request.header, &request.overlapped)
                                                                  : m_pin->ReadData(&request.header, &request.overlapped);
        if (FAILED(hr)) {
            MarkRequestRefused(request.overlapped);
            return hr;
        }
        slot.queued = static_cast<uint32_t>(i + 1);
        begin = end;
    }
    return S_OK;
}

uint8_t* CStandardStreaming::NextToSend()
{
    if (m_slots.empty() || IsHeld(m_slots[m_next])) {
        return nullptr;
    }
    return m_slots[m_next].data.data();
}

HRESULT CStandardStreaming::Send(uint32_t bytes)
{
    Slot& slot = m_slots[m_next];
    if (bytes > slot.data.size()) {
        return E_INVALIDARG;
    }
    const HRESULT hr = Submit(slot, bytes);
    if (SUCCEEDED(hr)) {
        m_moved += bytes;
    }
    // A block refused half-way keeps its first requests with the pin: the
    // slot stays held (and unused) until they come back.
    m_next = (m_next + 1) % m_slots.size();
    return hr;
}

HRESULT CStandardStreaming::AskForAll()
{
    for (size_t n = 0; n < m_slots.size(); ++n) {
        Slot& slot = m_slots[(m_next + n) % m_slots.size()];
        if (!slot.asked) {
            slot.bytes = m_requestEnds.back();
            const HRESULT hr = Submit(slot, slot.bytes);
            if (FAILED(hr)) {
                return hr;
            }
            slot.asked = true;
        }
    }
    return S_OK;
}

const uint8_t* CStandardStreaming::OldestArrived(uint32_t* filled, HRESULT* outcome)
{
    if (m_slots.empty()) {
        return nullptr;
    }
    const Slot& slot = m_slots[m_next];
    if (!slot.asked || IsHeld(slot)) {
        return nullptr;
    }
    const StreamRequest& read = slot.requests[0];
    // The system keeps the request's final status in Internal.
    const auto status = static_cast<LONG>(read.overlapped.Internal);
    *outcome = status >= 0 ? S_OK : HRESULT_FROM_NT(status);
    *filled = std::min<uint32_t>(read.header.DataUsed, static_cast<uint32_t>(slot.data.size()));
    return slot.data.data();
}

HRESULT CStandardStreaming::AskAgain(uint32_t bytes)
{
    Slot& slot = m_slots[m_next];
    // A length it cannot take leaves everything as it was.
    if (bytes == 0 || bytes > slot.data.size()) {
        return E_INVALIDARG;
    }
    slot.asked = false;
    m_moved += slot.bytes;
    m_next = (m_next + 1) % m_slots.size();
    slot.bytes = bytes;
    const HRESULT hr = Submit(slot, bytes);
    slot.asked = SUCCEEDED(hr);
    return hr;
}

bool CStandardStreaming::ReadProgress(int64_t* position, int64_t* moved)
{
    uint64_t offset = 0;
    bool now = false;
    if (!m_positionReader || !m_positionReader->Read(&offset, &now) || !now) {
        return false;
    }
    *position = static_cast<int64_t>(offset);
    *moved = m_moved;
    return true;
}

void CStandardStreaming::CancelAll()
{
    if (m_pin && Held() > 0) {
        // Every request of the pin handle, whichever thread sent it.
        KsSystem::CancelIoEx(m_pin->GetHandle(), nullptr);
    }
}

bool CStandardStreaming::Collect(ULONGLONG deadline)
{
    bool collected = true;
    for (Slot& slot : m_slots) {
        if (m_pin && CancelAndCollect(m_pin->GetHandle(), slot.requests.data(), slot.queued, deadline)) {
            slot.queued = 0;
            slot.asked = false;
        } else if (IsHeld(slot)) {
            collected = false;
        }
    }
    m_next = 0;
    return collected;
}

#include "render_stream.h"

#include "request_completion.h"

#include <algorithm>
#include <new>

RenderStream::RenderStream(uint16_t bytesPerSample, int slotCount)
    : m_bytesPerSample(bytesPerSample), m_slots(static_cast<size_t>(std::max(slotCount, 1))), m_nNextSlot(0)
{
}

RenderStream::~RenderStream()
{
    for (Slot& slot : m_slots) {
        delete[] slot.requests;
        delete[] slot.samples;
    }
}

bool RenderStream::Grow(Slot& slot, uint32_t requestCount, size_t sampleBytes)
{
    if (requestCount > slot.requestCapacity) {
        auto* requests = new (std::nothrow) StreamRequest[requestCount]();
        if (!requests) {
            return false;
        }
        delete[] slot.requests;
        slot.requests = requests;
        slot.requestCapacity = requestCount;
        slot.queued = 0;
    }
    if (sampleBytes > slot.sampleCapacity) {
        auto* samples = new (std::nothrow) uint8_t[sampleBytes];
        if (!samples) {
            return false;
        }
        delete[] slot.samples;
        slot.samples = samples;
        slot.sampleCapacity = sampleBytes;
    }
    return true;
}

bool RenderStream::Reserve(uint32_t requestCount, size_t sampleBytes)
{
    for (Slot& slot : m_slots) {
        if (!Grow(slot, requestCount, sampleBytes)) {
            return false;
        }
    }
    return true;
}

bool RenderStream::IsHeld(const Slot& slot)
{
    for (uint32_t i = 0; i < slot.queued; ++i) {
        if (IsRequestHeld(slot.requests[i].overlapped)) {
            return true;
        }
    }
    return false;
}

RenderStream::Slot* RenderStream::NextFreeSlot(uint32_t requestCount, size_t sampleBytes, HRESULT* phr)
{
    for (size_t tried = 0; tried < m_slots.size(); ++tried) {
        Slot& slot = m_slots[(m_nNextSlot + tried) % m_slots.size()];
        if (IsHeld(slot)) {
            continue;
        }
        if (!Grow(slot, requestCount, sampleBytes)) {
            *phr = E_OUTOFMEMORY;
            return nullptr;
        }
        m_nNextSlot = (m_nNextSlot + tried + 1) % m_slots.size();
        slot.queued = 0;
        *phr = S_OK;
        return &slot;
    }
    *phr = E_PENDING;
    return nullptr;
}

bool RenderStream::HoldsRequests(const StreamRequest* requests) const
{
    for (const Slot& slot : m_slots) {
        if (requests && slot.requests == requests) {
            return IsHeld(slot);
        }
    }
    return false;
}

bool RenderStream::CollectAll(HANDLE hPin, DWORD timeoutMs)
{
    bool collected = true;
    for (Slot& slot : m_slots) {
        if (CancelAndCollect(hPin, slot.requests, slot.queued, timeoutMs)) {
            slot.queued = 0;
        } else {
            collected = false;
        }
    }
    return collected;
}

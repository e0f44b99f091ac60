#include "ring_buffer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

RingBuffer::RingBuffer(int32_t capacity)
    : m_lCapacity(std::max<int32_t>(capacity, 0)), m_pRead(nullptr), m_pWrite(nullptr), m_pStorage(nullptr)
{
    if (m_lCapacity > 0) {
        m_pStorage = new (std::nothrow) uint8_t[static_cast<size_t>(m_lCapacity)];
        m_pRead = m_pStorage;
        m_pWrite = m_pStorage;
    }
}

RingBuffer::~RingBuffer()
{
    delete[] m_pStorage;
}

uint32_t RingBuffer::Stored(const uint8_t* pRead, const uint8_t* pWrite) const
{
    const ptrdiff_t distance = pWrite - pRead;
    return static_cast<uint32_t>(distance >= 0 ? distance : distance + m_lCapacity);
}

int32_t RingBuffer::Write(const void* source, int32_t length)
{
    if (!m_pStorage || !source || length < 0) {
        return -1;
    }
    uint8_t* const pRead = m_pRead.load(std::memory_order_acquire);
    uint8_t* pWrite = m_pWrite.load(std::memory_order_relaxed);
    // At least one byte stays free, so equal positions always mean empty.
    if (static_cast<int64_t>(length) >= static_cast<int64_t>(m_lCapacity) - Stored(pRead, pWrite)) {
        return -1;
    }
    uint8_t* const pEnd = m_pStorage + m_lCapacity;
    const auto* pSource = static_cast<const uint8_t*>(source);
    const size_t first = std::min<size_t>(static_cast<size_t>(length), static_cast<size_t>(pEnd - pWrite));
    std::memcpy(pWrite, pSource, first);
    std::memcpy(m_pStorage, pSource + first, static_cast<size_t>(length) - first);
    pWrite += length;
    if (pWrite >= pEnd) {
        pWrite -= m_lCapacity;
    }
    m_pWrite.store(pWrite, std::memory_order_release);
    return length;
}

int32_t RingBuffer::Read(void* destination, int32_t length)
{
    if (!m_pStorage || !destination || length < 0) {
        return -1;
    }
    uint8_t* const pWrite = m_pWrite.load(std::memory_order_acquire);
    uint8_t* pRead = m_pRead.load(std::memory_order_relaxed);
    const uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(length), Stored(pRead, pWrite));
    uint8_t* const pEnd = m_pStorage + m_lCapacity;
    auto* pDestination = static_cast<uint8_t*>(destination);
    const size_t first = std::min<size_t>(count, static_cast<size_t>(pEnd - pRead));
    std::memcpy(pDestination, pRead, first);
    std::memcpy(pDestination + first, m_pStorage, count - first);
    pRead += count;
    if (pRead >= pEnd) {
        pRead -= m_lCapacity;
    }
    m_pRead.store(pRead, std::memory_order_release);
    return static_cast<int32_t>(count);
}

void RingBuffer::Reset()
{
    m_pRead.store(m_pWrite.load(std::memory_order_acquire), std::memory_order_release);
}

void RingBuffer::Drop(int32_t length)
{
    if (!m_pStorage || length <= 0) {
        return;
    }
    uint8_t* const pWrite = m_pWrite.load(std::memory_order_acquire);
    uint8_t* pRead = m_pRead.load(std::memory_order_relaxed);
    pRead += std::min<uint32_t>(static_cast<uint32_t>(length), Stored(pRead, pWrite));
    if (pRead >= m_pStorage + m_lCapacity) {
        pRead -= m_lCapacity;
    }
    m_pRead.store(pRead, std::memory_order_release);
}

bool RingBuffer::PrependSilence(int32_t length)
{
    if (!m_pStorage || length < 0) {
        return false;
    }
    uint8_t* const pWrite = m_pWrite.load(std::memory_order_acquire);
    uint8_t* pRead = m_pRead.load(std::memory_order_relaxed);
    if (static_cast<int64_t>(length) >= static_cast<int64_t>(m_lCapacity) - Stored(pRead, pWrite)) {
        return false;
    }
    // The bytes before the read position are free: they become the silence.
    const auto capacity = static_cast<size_t>(m_lCapacity);
    const size_t start = (static_cast<size_t>(pRead - m_pStorage) + capacity - static_cast<size_t>(length)) % capacity;
    const size_t first = std::min<size_t>(static_cast<size_t>(length), capacity - start);
    std::memset(m_pStorage + start, 0, first);
    std::memset(m_pStorage, 0, static_cast<size_t>(length) - first);
    pRead = m_pStorage + start;
    m_pRead.store(pRead, std::memory_order_release);
    return true;
}

uint32_t RingBuffer::Available() const
{
    if (!m_pStorage) {
        return std::numeric_limits<uint32_t>::max();
    }
    return Stored(m_pRead.load(std::memory_order_acquire), m_pWrite.load(std::memory_order_acquire));
}

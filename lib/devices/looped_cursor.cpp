#include "looped_cursor.h"

#include <algorithm>

void CLoopedCursor::Reset(uint32_t bufferBytes, uint32_t frameBytes)
{
    m_buffer = bufferBytes;
    m_frame = std::max<uint32_t>(1, frameBytes);
    m_device = 0;
    m_client = 0;
    m_read = false;
    m_backwards = 0;
}

CLoopedCursor::Reading CLoopedCursor::Update(uint32_t offset, int64_t expectedBytes)
{
    if (m_buffer == 0) {
        return Reading::Still;
    }
    const auto size = static_cast<int64_t>(m_buffer);
    const int64_t here = m_device % size;
    const int64_t step = ((static_cast<int64_t>(offset % m_buffer) - here) % size + size) % size;
    int64_t turns = 0;
    if (m_read) {
        const int64_t expected = std::max<int64_t>(0, expectedBytes);
        // floor((expected - step + size / 4) / size), for negative values too
        const int64_t numerator = expected - step + size / 4;
        turns = numerator >= 0 ? numerator / size : -((-numerator + size - 1) / size);
    }
    m_read = true;
    if (turns < 0) {
        ++m_backwards;
        return Reading::Backwards;
    }
    const int64_t advance = step + turns * size;
    if (advance == 0) {
        return Reading::Still;
    }
    m_device += advance;
    return Reading::Moved;
}

int CLoopedCursor::BlocksAhead(uint32_t blockBytes) const
{
    const int64_t ahead = m_client - m_device;
    if (ahead <= 0 || blockBytes == 0) {
        return 0;
    }
    return static_cast<int>((ahead + blockBytes - 1) / blockBytes);
}

int CLoopedCursor::WholeBlocksAhead(uint32_t blockBytes) const
{
    const int64_t ahead = m_client - m_device;
    if (ahead <= 0 || blockBytes == 0) {
        return 0;
    }
    return static_cast<int>(ahead / blockBytes);
}

int64_t CLoopedCursor::CatchUpRender()
{
    if (m_device <= m_client) {
        return 0;
    }
    const int64_t lost = (m_device - m_client) / m_frame;
    m_client = m_device;
    return lost;
}

int64_t CLoopedCursor::CatchUpCapture()
{
    // The buffer holds the last m_buffer bytes the device wrote; older ones
    // are gone.
    if (m_device - m_client <= static_cast<int64_t>(m_buffer)) {
        return 0;
    }
    const int64_t oldest = (m_device - m_buffer + m_frame - 1) / m_frame * m_frame;
    const int64_t lost = (oldest - m_client) / m_frame;
    m_client = oldest;
    return lost;
}

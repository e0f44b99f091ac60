#include "capture_reads.h"

#include "capture_stream.h"
#include "pin.h"
#include "request_completion.h"

#include <algorithm>
#include <new>

CaptureReads::CaptureReads(CKsPin* pin, const CaptureStream* stream, uint32_t blockBytes, int count)
    : m_pin(pin),
      m_stream(stream),
      m_blockBytes(blockBytes),
      m_pinBytes(stream && stream->FrameBytes() ? blockBytes / stream->FrameBytes() * stream->PinFrameBytes()
                                                : blockBytes),
      m_reads(static_cast<size_t>(std::max(count, 1)))
{
}

CaptureReads::~CaptureReads()
{
    for (Read& read : m_reads) {
        if (read.request.overlapped.hEvent) {
            CloseHandle(read.request.overlapped.hEvent);
        }
    }
}

bool CaptureReads::Prepare()
{
    if (!m_pin || !m_stream) {
        return false;
    }
    try {
        for (Read& read : m_reads) {
            read.data.assign(m_pinBytes ? m_pinBytes : 1, 0);
            read.request.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            if (!read.request.overlapped.hEvent) {
                return false;
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool CaptureReads::Submit(Read& read)
{
    OVERLAPPED& overlapped = read.request.overlapped;
    const HANDLE event = overlapped.hEvent;
    read.request = StreamRequest{};
    overlapped.hEvent = event;
    ResetEvent(event);
    KSSTREAM_HEADER& header = read.request.header;
    header.Size = sizeof(KSSTREAM_HEADER);
    header.FrameExtent = static_cast<ULONG>(m_pinBytes);
    header.Data = read.data.data();
    MarkRequestHeld(overlapped);
    if (FAILED(m_pin->ReadData(&header, &overlapped))) {
        MarkRequestRefused(overlapped);
        return false;
    }
    read.asked = true;
    return true;
}

bool CaptureReads::Queue()
{
    for (size_t n = 0; n < m_reads.size(); ++n) {
        Read& read = m_reads[(m_oldest + n) % m_reads.size()];
        if (!read.asked && !Submit(read)) {
            return false;
        }
    }
    return true;
}

int32_t CaptureReads::TakeOldest(void* block16, uint32_t timeoutMs)
{
    Read& read = m_reads[m_oldest];
    if (!read.asked && !Submit(read)) {
        return E_FAIL;
    }
    if (WaitForSingleObject(read.request.overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
        return kLate;
    }
    const size_t pinFrameBytes = m_stream->PinFrameBytes();
    const size_t frameBytes = m_stream->FrameBytes();
    const size_t frames = frameBytes ? m_blockBytes / frameBytes : 0;
    const size_t arrived = pinFrameBytes ? std::min<size_t>(frames, read.request.header.DataUsed / pinFrameBytes) : 0;
    // Frames the pin did not fill are silence, never what the buffer held.
    std::fill(read.data.begin() + static_cast<std::ptrdiff_t>(arrived * pinFrameBytes), read.data.end(), 0);
    m_stream->DeliverFramesFrom(read.data.data(), frames, block16);
    read.asked = false;
    m_oldest = (m_oldest + 1) % m_reads.size();
    return Submit(read) ? 0 : E_FAIL;
}

bool CaptureReads::TakeBack(uint32_t timeoutMs)
{
    // Every read is cancelled first, then each is waited for: the pin gives
    // them back in order, so the later waits are short.
    for (DWORD wait : {DWORD{0}, DWORD{timeoutMs}}) {
        for (Read& read : m_reads) {
            CancelAndCollect(m_pin->GetHandle(), &read.request, 1, wait);
        }
    }
    bool all = true;
    for (Read& read : m_reads) {
        read.asked = IsRequestHeld(read.request.overlapped);
        all = all && !read.asked;
    }
    // The frames of the reads taken back are gone: the next one starts anew.
    m_oldest = 0;
    return all;
}

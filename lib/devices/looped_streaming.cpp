#include "looped_streaming.h"

#include "debug_trace.h"
#include "ks_system.h"
#include "pin.h"
#include "rt_audio.h"
#include "stream_clock.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <numeric>

namespace {

// Bigger buffers than this are not asked for, whatever the retries reach.
constexpr uint32_t kLargestAsk = 4u << 20;

template <typename Request, typename Answer>
bool AskPin(CKsPin* pin, Request& request, Answer* answer)
{
    ULONG returned = 0;
    const HRESULT hr = CKsIrpTarget::SyncIoctl(pin->GetHandle(), &request, sizeof request, answer,
                                               answer ? sizeof *answer : 0, &returned);
    return SUCCEEDED(hr) && (!answer || returned == sizeof *answer);
}

KSPROPERTY RtProperty(ULONG id)
{
    KSPROPERTY property{};
    property.Set = kKsPropSetIdRtAudio;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_GET;
    return property;
}

}  // namespace

CLoopedStreaming::CLoopedStreaming(CKsPin* pin, StreamDirection direction, const EndpointFormat& format)
    : m_pin(pin),
      m_direction(direction),
      m_format(format),
      m_frameBytes(std::max<uint32_t>(1, static_cast<uint32_t>(format.pinChannels) * format.bytesPerSample))
{
    if (m_pin) {
        ReadHardwareLatency();  // the host may ask for the latencies before any stream
    }
}

CLoopedStreaming::~CLoopedStreaming()
{
    Unregister();
}

std::vector<uint32_t> CLoopedStreaming::SizesToAsk(uint32_t wanted, uint32_t frameBytes)
{
    const uint32_t unit = std::lcm<uint32_t>(128, std::max<uint32_t>(1, frameBytes));
    const uint32_t first = std::max<uint32_t>(1, (wanted + unit - 1) / unit) * unit;
    std::vector<uint32_t> sizes;
    for (uint32_t step = 0; step < 4; ++step) {
        sizes.push_back(first + step * unit);
    }
    for (uint32_t times = 2; times <= 8; times *= 2) {
        if (first * times > sizes.back()) {
            sizes.push_back(first * times);
        }
    }
    sizes.erase(std::remove_if(sizes.begin(), sizes.end(), [](uint32_t size) { return size > kLargestAsk; }),
                sizes.end());
    return sizes;
}

bool CLoopedStreaming::AllocateBuffer(uint32_t wanted, bool withNotification)
{
    for (uint32_t size : SizesToAsk(wanted, m_frameBytes)) {
        KSRTAUDIO_BUFFER answer{};
        bool granted = false;
        if (withNotification) {
            KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION request{};
            request.Property = RtProperty(kRtAudioBufferWithNotification);
            request.RequestedBufferSize = size;
            request.NotificationCount = 2;
            granted = AskPin(m_pin, request, &answer);
        } else {
            KSRTAUDIO_BUFFER_PROPERTY request{};
            request.Property = RtProperty(kRtAudioBuffer);
            request.RequestedBufferSize = size;
            granted = AskPin(m_pin, request, &answer);
        }
        if (granted && answer.BufferAddress && answer.ActualBufferSize >= m_frameBytes) {
            m_buffer = static_cast<uint8_t*>(answer.BufferAddress);
            // Whole frames only, whatever the driver says.
            m_bufferBytes = answer.ActualBufferSize / m_frameBytes * m_frameBytes;
            return true;
        }
    }
    return false;
}

void CLoopedStreaming::ReadHardwareLatency()
{
    KSPROPERTY request = RtProperty(kRtAudioHwLatency);
    KSRTAUDIO_HWLATENCY latency{};
    m_hardwareLatencyFrames = 0;
    if (AskPin(m_pin, request, &latency)) {
        const double delays = (static_cast<double>(latency.ChipsetDelay) + latency.CodecDelay) * 1e-7;
        m_hardwareLatencyFrames = static_cast<int32_t>(
            std::min<double>(latency.FifoSize / m_frameBytes + std::ceil(delays * m_format.sampleRate), 1 << 24));
    }
}

bool CLoopedStreaming::Prepare(int slots, uint32_t blockBytes, const std::vector<uint32_t>& requestEnds,
                               HANDLE activity)
{
    // blockBytes is the room of a block; its nominal length (what "held"
    // render blocks are counted in, what capture blocks are first asked
    // for) is its last request end.
    const uint32_t nominal = !requestEnds.empty() ? requestEnds.back() : blockBytes;
    if (!m_pin || slots < 1 || nominal == 0 || nominal > blockBytes) {
        return false;
    }
    Unregister();
    m_register = nullptr;
    m_positionReader.reset();
    m_blockBytes = nominal;
    try {
        m_block.assign(blockBytes, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Room for the blocks ahead beside the one being played or filled: a
    // render block is held wholly ahead of that one, so of the slots a
    // standard pin would count, one is the block being played.
    const int ahead = std::max(2, m_direction == StreamDirection::Render ? slots - 1 : slots);
    const uint32_t wanted = blockBytes * static_cast<uint32_t>(ahead + 1);
    // WaveRT drivers hand out a buffer only to a stopped pin; a capture pin
    // may already run, and runs again from the buffer's start.
    const KSSTATE was = m_pin->m_State;
    if (was != KSSTATE_STOP && FAILED(m_pin->SetState(KSSTATE_STOP))) {
        DebugTrace("CLoopedStreaming: the pin does not stop for its buffer\n");
        return false;
    }
    const bool allocated = AllocateBuffers(wanted);
    if (allocated) {
        // Before the pin runs again: the device starts at the buffer's start.
        std::memset(m_buffer, 0, m_bufferBytes);
        m_cursor.Reset(m_bufferBytes, m_frameBytes);
        m_lastReadTick = StreamClock::Now();
        m_lost = 0;
        m_written = false;
    }
    if (was != KSSTATE_STOP && FAILED(m_pin->SetState(was))) {
        DebugTrace("CLoopedStreaming: the pin does not run again after its buffer\n");
        return false;
    }
    if (!allocated) {
        return false;
    }
    // A render block may go once the blocks wholly ahead of the one being
    // played are fewer than the slots: it then never reaches unplayed data.
    const int bufferBlocks = static_cast<int>(m_bufferBytes / blockBytes);
    m_slots = m_direction == StreamDirection::Render ? std::min(ahead, bufferBlocks - 1) : std::min(slots, bufferBlocks);
    if (m_slots < 2) {
        DebugTrace("CLoopedStreaming: a buffer of %u bytes holds fewer than two blocks of %u bytes\n", m_bufferBytes,
                   blockBytes);
        return false;
    }
    try {
        m_asked.assign(static_cast<size_t>(m_slots), m_blockBytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_oldest = 0;
    KSRTAUDIO_HWREGISTER_PROPERTY registerRequest{};
    registerRequest.Property = RtProperty(kRtAudioPositionRegister);
    KSRTAUDIO_HWREGISTER position{};
    if (AskPin(m_pin, registerRequest, &position) && position.Register && position.Width == 32) {
        m_register = static_cast<const volatile ULONG*>(position.Register);
    } else {
        m_positionReader = std::make_unique<CPositionReader>(m_pin->GetHandle());
    }
    if (m_eventMode && activity) {
        KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request{};
        request.Property = RtProperty(kRtAudioRegisterNotificationEvent);
        request.NotificationEvent = activity;
        if (AskPin(m_pin, request, static_cast<int*>(nullptr))) {
            m_registered = activity;
        }
    }
    ReadHardwareLatency();
    DebugTrace("CLoopedStreaming: %s\n", Describe().c_str());
    return true;
}

bool CLoopedStreaming::AllocateBuffers(uint32_t wanted)
{
    BOOL notifies = TRUE;
    KSPROPERTY query = RtProperty(kRtAudioQueryNotificationSupport);
    if (!AskPin(m_pin, query, &notifies)) {
        notifies = TRUE;  // drivers that do not answer are asked for the buffer itself
    }
    m_eventMode = notifies && AllocateBuffer(wanted, true);
    if (!m_eventMode && !AllocateBuffer(wanted, false)) {
        DebugTrace("CLoopedStreaming: the driver granted no buffer of %u bytes or more\n", wanted);
        return false;
    }
    return true;
}

bool CLoopedStreaming::Refresh() const
{
    ULONG offset = 0;
    bool answeredNow = true;
    if (m_register) {
        offset = *m_register;
    } else {
        uint64_t position = 0;
        if (!m_positionReader || !m_positionReader->Read(&position, &answeredNow)) {
            return false;  // no answer yet: the device is taken as not moved
        }
        offset = static_cast<ULONG>(position % std::max<uint32_t>(1, m_bufferBytes));
    }
    const int64_t now = StreamClock::Now();
    const double bytesPerTick =
        static_cast<double>(m_format.sampleRate) * m_frameBytes / static_cast<double>(StreamClock::TicksPerSecond());
    const auto expected = static_cast<int64_t>(static_cast<double>(now - m_lastReadTick) * bytesPerTick);
    if (m_cursor.Update(offset, expected) != CLoopedCursor::Reading::Backwards) {
        m_lastReadTick = now;
    }
    if (m_direction == StreamDirection::Capture) {
        m_lost += m_cursor.CatchUpCapture();
        return answeredNow;
    }
    // A device running before the stream's first block plays nothing of
    // the stream: that block starts where the device stands.
    const int64_t passed = m_cursor.CatchUpRender();
    m_lost += m_written ? passed : 0;
    return answeredNow;
}

int CLoopedStreaming::Held() const
{
    if (!m_buffer || m_direction != StreamDirection::Render) {
        return 0;
    }
    Refresh();
    return std::min(m_cursor.WholeBlocksAhead(m_blockBytes), m_slots);
}

uint8_t* CLoopedStreaming::NextToSend()
{
    if (!m_buffer || Held() >= m_slots) {
        return nullptr;
    }
    return m_block.data();
}

HRESULT CLoopedStreaming::Send(uint32_t bytes)
{
    if (!m_buffer) {
        return E_FAIL;
    }
    if (bytes > m_block.size() || bytes % m_frameBytes != 0) {
        return E_INVALIDARG;
    }
    // Never over data the device has not played yet.
    if (m_cursor.Client() + bytes - m_cursor.Device() > static_cast<int64_t>(m_bufferBytes)) {
        return E_PENDING;
    }
    const uint32_t at = m_cursor.ClientOffset();
    const uint32_t first = std::min(bytes, m_bufferBytes - at);
    std::memcpy(m_buffer + at, m_block.data(), first);
    std::memcpy(m_buffer, m_block.data() + first, bytes - first);
    m_cursor.Advance(bytes);
    m_written = true;
    return S_OK;
}

bool CLoopedStreaming::ReadProgress(int64_t* position, int64_t* moved)
{
    if (!m_buffer || !Refresh()) {
        return false;
    }
    *position = m_cursor.Device();
    *moved = m_cursor.Client();
    return true;
}

const uint8_t* CLoopedStreaming::OldestArrived(uint32_t* filled, HRESULT* outcome)
{
    if (!m_buffer) {
        return nullptr;
    }
    Refresh();
    const uint32_t bytes = m_asked.empty() ? m_blockBytes : m_asked[m_oldest];
    if (m_cursor.Waiting() < static_cast<int64_t>(bytes)) {
        return nullptr;
    }
    const uint32_t at = m_cursor.ClientOffset();
    const uint32_t first = std::min(bytes, m_bufferBytes - at);
    std::memcpy(m_block.data(), m_buffer + at, first);
    std::memcpy(m_block.data() + first, m_buffer, bytes - first);
    *filled = bytes;
    *outcome = S_OK;
    return m_block.data();
}

HRESULT CLoopedStreaming::AskAgain(uint32_t bytes)
{
    if (m_asked.empty()) {
        return E_FAIL;
    }
    // A length it cannot take leaves everything as it was.
    if (bytes == 0 || bytes > m_block.size() || bytes % m_frameBytes != 0) {
        return E_INVALIDARG;
    }
    m_cursor.Advance(m_asked[m_oldest]);
    m_asked[m_oldest] = bytes;
    m_oldest = (m_oldest + 1) % m_asked.size();
    return S_OK;
}

void CLoopedStreaming::Unregister()
{
    if (!m_registered || !m_pin) {
        m_registered = nullptr;
        return;
    }
    KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY request{};
    request.Property = RtProperty(kRtAudioUnregisterNotificationEvent);
    request.NotificationEvent = m_registered;
    if (!AskPin(m_pin, request, static_cast<int*>(nullptr))) {
        DebugTrace("CLoopedStreaming: the notification event could not be unregistered\n");
    }
    m_registered = nullptr;
}

bool CLoopedStreaming::Collect(ULONGLONG /*deadline*/)
{
    // Nothing is held by the pin but the event it signals, which goes
    // before the pin closes or the stream's event is closed.
    Unregister();
    return true;
}

std::string CLoopedStreaming::Describe() const
{
    char text[200];
    if (!m_buffer) {
        // Opened, not streamed yet: the mode and buffer are chosen at the start.
        std::snprintf(text, sizeof text, "WaveRT, FIFO %d frames", m_hardwareLatencyFrames);
        return text;
    }
    std::snprintf(text, sizeof text, "WaveRT, %s mode, buffer %u bytes, position %s, FIFO %d frames",
                  m_eventMode && m_registered ? "event" : "timer", m_bufferBytes,
                  m_register ? "register" : "property", m_hardwareLatencyFrames);
    return text;
}

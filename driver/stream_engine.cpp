// The buffer-switch thread and its cycle: volume, render blocks through the
// delay lines onto the pins, capture blocks into the host's inputs, the
// host's callback.
#include "stream_engine.h"

#include "asio_audio_device.h"
#include "debug_trace.h"
#include "mmcss.h"
#include "named_events.h"
#include "render_stream.h"
#include "request_completion.h"
#include "ring_buffer.h"

#include <mmsystem.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>

namespace {

// Writes in a row that fail before a render device is taken out.
constexpr int kDropAfterFailures = 3;
// A device whose block stays held this long (at least; four block periods
// when that is longer) is cancelled and taken out.
constexpr DWORD kDropAfterMs = 200;

// Time stamps are the system's millisecond timer in nanoseconds.
ASIOTimeStamp Now()
{
    const double t = static_cast<double>(timeGetTime()) * 1000000.0;
    const double two32 = 4294967296.0;
    ASIOTimeStamp stamp;
    stamp.hi = static_cast<unsigned long>(t / two32);
    stamp.lo = static_cast<unsigned long>(t - stamp.hi * two32);
    return stamp;
}

int64_t Ticks()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t TicksPerSecond()
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

// Silence the delay lines are primed from.
const uint8_t kSilence[4096] = {};

}  // namespace

CStreamEngine::CStreamEngine(const Setup& setup)
    : m_device(setup.device),
      m_buffers(setup.buffers),
      m_sampleRate(setup.sampleRate > 0 ? setup.sampleRate : 44100.0),
      m_blockFrames(setup.buffers->blockFrames),
      m_captureWaitMs(setup.captureWaitMs),
      m_requestsInFlight(std::clamp(setup.requestsInFlight, kFewestRequestsInFlight, kMostRequestsInFlight)),
      m_callbacks(*setup.buffers->callbacks),
      m_timeInfoMode(setup.buffers->timeInfoMode),
      m_wake(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      m_volume(SaneVolume(setup.volume)),
      m_asioTime(setup.asioTime),
      m_postedVolume(SaneVolume(setup.volume)),
      m_timeCodeRead(setup.timeCodeRead)
{
    InitializeCriticalSection(&m_positionLock);
    m_periodMs = static_cast<DWORD>(std::ceil(1000.0 * m_blockFrames / m_sampleRate));
    // A healthy device frees its older block within about one period; a
    // busy machine may take longer, and a block not waited for is lost.
    m_slotWaitMs = std::max<DWORD>(2 * m_periodMs + 10, 100);
    m_dropAfterMs = std::max<DWORD>(kDropAfterMs, 4 * m_periodMs);
}

CStreamEngine::~CStreamEngine()
{
    ReleaseBlocks();
    if (m_thread) {
        CloseHandle(m_thread);
    }
    if (m_wake) {
        CloseHandle(m_wake);
    }
    DeleteCriticalSection(&m_positionLock);
}

float CStreamEngine::SaneVolume(float volume)
{
    if (std::isnan(volume)) {
        return 1.0f;
    }
    return std::clamp(volume, 0.0f, 1.0f);
}

int64_t CStreamEngine::DelayBytes(float factor, double sampleRate, int channels)
{
    if (!(factor > 0.0f && factor < 1000.0f) || channels <= 0 || !(sampleRate > 0)) {
        return 0;
    }
    // Stored as hundredths (5 ms steps): 0.02 is 10 ms, though the float
    // holds 0.0199999995 and truncating its product gives 9 where the
    // arithmetic keeps extra precision (x87).
    const int64_t ms = std::min<int64_t>(std::llround(static_cast<double>(factor) * 500.0), kLongestDelayMs);
    // The line holds the engine's 16-bit samples, whatever the pin's depth.
    const auto bytesPerMs = static_cast<int64_t>(2.0 * sampleRate * channels / 1000.0);
    const int64_t bytes = bytesPerMs * ms;
    // Whole frames only: a part of a frame would move every later sample
    // onto the next channel (44100 Hz with 6 channels is 529.2 bytes a ms).
    return bytes - bytes % (2 * static_cast<int64_t>(channels));
}

bool CStreamEngine::Prepare()
{
    if (!m_wake) {
        return false;
    }
    try {
        for (int i = 0; i < m_device->renderDeviceCount; ++i) {
            RenderDeviceRecord* record = m_device->GetRenderDevice(static_cast<uint16_t>(i));
            if (!record || !record->active || !record->ringBuffer) {
                continue;
            }
            RenderDevice render;
            render.index = static_cast<uint16_t>(i);
            render.channels = record->channels;
            render.left = m_buffers->OutputOfChannel(record->settings.channelLinkLeft);
            render.right = m_buffers->OutputOfChannel(record->settings.channelLinkRight);
            m_render.push_back(render);
            RenderDevice& added = m_render.back();
            added.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            if (!added.event) {
                return false;
            }
            const int32_t byteCount = record->channels * m_blockFrames * 2;
            // As many as the device was opened for, if that is fewer.
            const int inFlight = record->stream ? std::min(m_requestsInFlight, record->stream->SlotCount()) : 1;
            added.blocks.resize(static_cast<size_t>(inFlight));
            for (RenderBlock& block : added.blocks) {
                block.deviceIndex = i;
                block.byteCount = byteCount;
                block.completionEvent = added.event;
                block.data = new (std::nothrow) int16_t[static_cast<size_t>(byteCount / 2) + 1]();
                if (!block.data) {
                    return false;
                }
            }
            // The line holds the longest delay and the block passing through.
            const int64_t needed = DelayBytes(1.0f, m_sampleRate, record->channels) + byteCount + 2;
            if (record->ringBuffer->Capacity() < needed) {
                auto* line = new (std::nothrow) RingBuffer(static_cast<int32_t>(needed));
                if (!line || !line->HasStorage()) {
                    delete line;
                    return false;
                }
                delete record->ringBuffer;
                record->ringBuffer = line;
            }
        }
        if (m_buffers->inputCount > 0) {
            for (int i = 0; i < m_device->captureDeviceCount; ++i) {
                CaptureDeviceRecord* record = m_device->GetCaptureDevice(static_cast<uint16_t>(i));
                if (!record || !record->active) {
                    continue;
                }
                const auto blockBytes = static_cast<uint32_t>(m_blockFrames) * record->channels * 2;
                m_capture.emplace_back();
                CaptureDevice& capture = m_capture.back();
                capture.index = static_cast<uint16_t>(i);
                capture.channels = record->channels;
                capture.block = new (std::nothrow) uint8_t[blockBytes + 1]();
                capture.reads = std::make_unique<CaptureReads>(record->pin, record->stream, blockBytes, m_requestsInFlight);
                if (!capture.block || !capture.reads->Prepare()) {
                    return false;
                }
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    PrimeDelayLines();
    return true;
}

bool CStreamEngine::Launch()
{
    // The thread holds the module that holds its code: a host that releases
    // the driver inside its callback and unloads it at once cannot pull the
    // code from under the thread's last instructions.
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ThreadProc), &m_module)) {
        DebugTrace("CStreamEngine::Launch GetModuleHandleEx failed, error %lu\n", GetLastError());
        return false;
    }
    m_thread = CreateThread(nullptr, 0, ThreadProc, this, CREATE_SUSPENDED, &m_threadId);
    if (!m_thread) {
        DebugTrace("CStreamEngine::Launch CreateThread failed, error %lu\n", GetLastError());
        FreeLibrary(m_module);
        m_module = nullptr;
        return false;
    }
    SetThreadPriority(m_thread, THREAD_PRIORITY_TIME_CRITICAL);
    SetThreadPriorityBoost(m_thread, TRUE);
    ResumeThread(m_thread);
    return true;
}

void CStreamEngine::RequestStop()
{
    m_stop.store(true);
    SetEvent(m_wake);
    // An engine waiting for a device's block looks at the stop at once.
    for (const RenderDevice& render : m_render) {
        SetEvent(render.event);
    }
}

void CStreamEngine::Join()
{
    if (!m_thread || OnEngineThread()) {
        return;
    }
    // The thread may be inside the host's own callback: the host bounds this
    // wait, not we. Going on would free buffers and blocks under it.
    if (WaitForSingleObject(m_thread, 1000) != WAIT_OBJECT_0) {
        DebugTrace("CStreamEngine::Join still in the host's callback after 1000 ms\n");
        WaitForSingleObject(m_thread, INFINITE);
    }
}

void CStreamEngine::HandOverToThread()
{
    m_ownedByThread.store(true);
}

void CStreamEngine::Position(ASIOSamples* position, ASIOTimeStamp* stamp) const
{
    EnterCriticalSection(&m_positionLock);
    position->hi = static_cast<unsigned long>(m_publishedPosition >> 32);
    position->lo = static_cast<unsigned long>(m_publishedPosition & 0xffffffffu);
    *stamp = m_publishedStamp;
    LeaveCriticalSection(&m_positionLock);
}

DWORD WINAPI CStreamEngine::ThreadProc(LPVOID parameter)
{
    auto* engine = static_cast<CStreamEngine*>(parameter);
    void* task = IsProcessElevated() ? nullptr : RegisterProAudioThread();
    // "进入ASIO bufferSwitch 线程 当前活动设备数量：%d"
    DebugTrace("\xbd\xf8\xc8\xeb" "ASIO bufferSwitch \xcf\xdf\xb3\xcc \xb5\xb1\xc7\xb0\xbb\xee\xb6\xaf\xc9\xe8\xb1\xb8\xca\xfd"
               "\xc1\xbf\xa3\xba%d",
               static_cast<int>(engine->m_render.size()));
    timeBeginPeriod(1);
    engine->Run();
    timeEndPeriod(1);
    // "退出ASIO bufferSwitch 线程"
    DebugTrace("\xcd\xcb\xb3\xf6" "ASIO bufferSwitch \xcf\xdf\xb3\xcc");
    RevertProAudioThread(task);
    const HMODULE module = engine->m_module;
    if (engine->m_ownedByThread.load()) {
        // The driver went away inside the host's callback; nothing else
        // refers to the engine any more.
        delete engine;
    }
    FreeLibraryAndExitThread(module, 0);
}

void CStreamEngine::Run()
{
    m_nextPeriod.QuadPart = Ticks();
    while (!m_stop.load()) {
        // Nothing may leave the thread procedure; a failing cycle is traced
        // and the stream goes on with the next.
        try {
            ApplyRequests();
            Cycle();
        } catch (const std::exception& e) {
            DebugTrace("CStreamEngine: %s\n", e.what());
        }
    }
}

void CStreamEngine::ApplyRequests()
{
    m_volume = SaneVolume(m_postedVolume.load());
    m_asioTime.timeInfo.flags |= m_postedFlags.exchange(0);
    if (m_reprimeWanted.exchange(false)) {
        PrimeDelayLines();
    }
}

void CStreamEngine::Cycle()
{
    m_systemTime = Now();
    // The host fills half b in the callback of a cycle with index b; that
    // half goes to the devices at the top of the next cycle, so each device
    // holds the block after the one it plays. The first cycle sends both
    // halves as the host left them before the start.
    bool renderPaced = false;
    if (m_firstCycle) {
        m_firstCycle = false;
        SendLeadingSilence();
        renderPaced = RenderOutputs(0);
        renderPaced = RenderOutputs(1) || renderPaced;
        RunRenderPins();
        QueueCaptureReads();
    } else {
        renderPaced = RenderOutputs(1 - m_bufferIndex);
    }
    const bool capturePaced = CaptureInputs();
    if (m_stop.load()) {
        return;
    }
    if (!renderPaced && !capturePaced) {
        // No device sets the pace (none runs, or all were taken out).
        WaitForPeriod();
        if (m_stop.load()) {
            return;
        }
    }
    m_samplePosition += m_blockFrames;
    EnterCriticalSection(&m_positionLock);
    m_publishedPosition = static_cast<uint64_t>(m_samplePosition);
    m_publishedStamp = m_systemTime;
    LeaveCriticalSection(&m_positionLock);
    if (m_droppedCount.load() > 0 && !m_resetAsked) {
        AskForReset();
        // The host may have stopped, freed its buffers or even started anew
        // inside its message handler: nothing of its may be touched now.
        if (m_stop.load()) {
            return;
        }
    }
    CallHost();
    // From here on only the engine's own memory: the host may have stopped
    // the stream, freed its buffers or released the driver in its callback.
    m_bufferIndex = 1 - m_bufferIndex;
}

void CStreamEngine::CallHost()
{
    const ASIOCallbacks* callbacks = &m_callbacks;
    if (!m_timeInfoMode) {
        callbacks->bufferSwitch(m_bufferIndex, ASIOFalse);
        return;
    }
    AsioTimeInfo& info = m_asioTime.timeInfo;
    const auto position = static_cast<uint64_t>(m_samplePosition);
    info.samplePosition.hi = static_cast<unsigned long>(position >> 32);
    info.samplePosition.lo = static_cast<unsigned long>(position & 0xffffffffu);
    info.systemTime = m_systemTime;
    if (m_timeCodeRead.load()) {
        m_asioTime.timeCode.timeCodeSamples.hi = 0;
        m_asioTime.timeCode.timeCodeSamples.lo = static_cast<unsigned long>(
            static_cast<uint64_t>(info.samplePosition.lo + 600.0 * m_sampleRate) & 0xffffffffu);
    }
    callbacks->bufferSwitchTimeInfo(&m_asioTime, m_bufferIndex, ASIOFalse);
    info.flags &= ~static_cast<unsigned long>(kSampleRateChanged | kClockSourceChanged);
}

void CStreamEngine::AskForReset()
{
    m_resetAsked = true;
    const ASIOCallbacks* callbacks = &m_callbacks;
    long selector = kAsioResetRequest;
    if (callbacks->asioMessage(kAsioSelectorSupported, selector, nullptr, nullptr) != 0 && !m_stop.load()) {
        DebugTrace("CStreamEngine: a device dropped out, asking the host to reset\n");
        callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    } else {
        DebugTrace("CStreamEngine: a device dropped out; the host takes no reset request\n");
    }
}

void CStreamEngine::WaitForPeriod()
{
    static const int64_t frequency = TicksPerSecond();
    const auto period = static_cast<int64_t>(static_cast<double>(frequency) * m_blockFrames / m_sampleRate);
    const int64_t now = Ticks();
    m_nextPeriod.QuadPart += period;
    if (m_nextPeriod.QuadPart < now - period) {
        m_nextPeriod.QuadPart = now;  // fell behind: start counting again
    }
    const int64_t left = m_nextPeriod.QuadPart - now;
    if (left > 0) {
        WaitForSingleObject(m_wake, static_cast<DWORD>(left * 1000 / frequency));
    }
}

void CStreamEngine::ApplyVolume(int halfIndex)
{
    const float volume = m_volume;
    if (volume == 1.0f) {
        return;
    }
    for (int32_t b = 0; b < m_buffers->outputCount; ++b) {
        int16_t* half = m_buffers->outputs[b] + static_cast<size_t>(halfIndex) * m_blockFrames;
        for (int32_t f = 0; f < m_blockFrames; ++f) {
            // Truncated toward zero, and saturated.
            const float scaled = std::clamp(static_cast<float>(half[f]) * volume, -32768.0f, 32767.0f);
            half[f] = static_cast<int16_t>(scaled);
        }
    }
}

void CStreamEngine::Interleave(const RenderDevice& render, int halfIndex, int16_t* data) const
{
    const size_t offset = static_cast<size_t>(std::max(halfIndex, 0)) * m_blockFrames;
    const int channels = render.channels;
    for (int c = 0; c < channels; ++c) {
        const int16_t* source = halfIndex < 0 ? nullptr : c == 0 ? render.left : render.right;
        if (!source) {
            for (int32_t f = 0; f < m_blockFrames; ++f) {
                data[static_cast<size_t>(f) * channels + c] = 0;
            }
            continue;
        }
        source += offset;
        for (int32_t f = 0; f < m_blockFrames; ++f) {
            data[static_cast<size_t>(f) * channels + c] = source[f];
        }
    }
}

bool CStreamEngine::RenderOutputs(int halfIndex)
{
    ApplyVolume(halfIndex);
    bool paced = false;
    for (RenderDevice& render : m_render) {
        if (render.dropped || m_stop.load()) {
            continue;
        }
        RenderDeviceRecord* record = m_device->GetRenderDevice(render.index);
        if (record && record->active && SendBlock(render, *record, halfIndex)) {
            paced = true;
        }
    }
    return paced;
}

// The host's half halfIndex (silence for -1) through the device's delay
// line into its next block, and onto the pin.
bool CStreamEngine::SendBlock(RenderDevice& render, RenderDeviceRecord& record, int halfIndex)
{
    RenderBlock& block = render.blocks[render.nextBlock];
    if (!WaitForBlock(render, record, block)) {
        return false;
    }
    render.nextBlock = (render.nextBlock + 1) % render.blocks.size();
    Interleave(render, halfIndex, block.data);
    record.ringBuffer->Write(block.data, block.byteCount);
    record.ringBuffer->Read(block.data, block.byteCount);
    if (m_device->WriteRenderDevice(block) != 0) {
        if (++render.failures >= kDropAfterFailures) {
            Drop(render, record, "its writes fail");
        }
        return false;
    }
    render.failures = 0;
    return true;
}

void CStreamEngine::SendLeadingSilence()
{
    // Blocks of silence first when a device has more in flight than the two
    // halves the host fills before the start.
    for (RenderDevice& render : m_render) {
        RenderDeviceRecord* record = m_device->GetRenderDevice(render.index);
        for (size_t n = 2; n < render.blocks.size() && record && record->active && !render.dropped; ++n) {
            SendBlock(render, *record, -1);
        }
    }
}

void CStreamEngine::RunRenderPins()
{
    for (RenderDevice& render : m_render) {
        RenderDeviceRecord* record = m_device->GetRenderDevice(render.index);
        if (render.dropped || !record || !record->active || !record->pin) {
            continue;
        }
        if (FAILED(record->pin->SetState(KSSTATE_RUN)) && FAILED(record->pin->SetState(KSSTATE_RUN))) {
            Drop(render, *record, "it does not run");
        }
    }
}

bool CStreamEngine::WaitForBlock(RenderDevice& render, RenderDeviceRecord& record, const RenderBlock& block)
{
    RenderStream* stream = record.stream;
    if (!stream || !stream->HoldsRequests(block.streamHeaders)) {
        render.heldSince = 0;
        return true;
    }
    if (render.heldSince == 0) {
        // The device still holds the block it was given requestsInFlight
        // cycles ago.
        const DWORD deadline = GetTickCount() + m_slotWaitMs;
        while (stream->HoldsRequests(block.streamHeaders) && !m_stop.load()) {
            const DWORD now = GetTickCount();
            if (static_cast<LONG>(deadline - now) <= 0) {
                break;
            }
            // The device signals this event when it gives back a block.
            WaitForSingleObject(block.completionEvent, deadline - now);
        }
        if (!stream->HoldsRequests(block.streamHeaders)) {
            return true;
        }
        render.heldSince = GetTickCount() - m_slotWaitMs;
        SetNamedEvent(TelvaraEvents::kDeviceSync);
        // The others go on without it; it is looked at again next cycle.
        return false;
    }
    if (GetTickCount() - render.heldSince >= m_dropAfterMs) {
        Drop(render, record, "it keeps its blocks");
    }
    return false;
}

void CStreamEngine::Drop(RenderDevice& render, RenderDeviceRecord& record, const char* why)
{
    DebugTrace("CStreamEngine: render device %d taken out of the stream: %s\n", static_cast<int>(render.index), why);
    render.dropped = true;
    record.active = false;
    if (record.pin && record.stream && !record.stream->CollectAll(record.pin->GetHandle(), 1000)) {
        // The pin keeps requests that point into the blocks: they are kept.
        render.blocksHeld = true;
    }
    m_droppedCount.fetch_add(1);
}

void CStreamEngine::QueueCaptureReads()
{
    for (CaptureDevice& capture : m_capture) {
        CaptureDeviceRecord* record = m_device->GetCaptureDevice(capture.index);
        if (record && record->active && !capture.reads->Queue()) {
            DropCapture(capture, "its pin refuses reads");
        }
    }
}

bool CStreamEngine::CaptureInputs()
{
    bool paced = false;
    int next = 0;
    for (CaptureDevice& capture : m_capture) {
        CaptureDeviceRecord* record = m_device->GetCaptureDevice(capture.index);
        if (!record || !record->active || m_stop.load()) {
            // Out of the stream: the devices after it move up.
            continue;
        }
        paced = true;
        const int32_t result = capture.reads->TakeOldest(capture.block, m_captureWaitMs);
        if (result < 0) {
            DropCapture(capture, "its pin fails a read");
            continue;
        }
        if (result == CaptureReads::kLate) {
            // Never the previous block's data as new: the host gets silence,
            // and the late read is taken when it comes.
            SilenceInputs(next, capture.channels);
            next += capture.channels;
            // Each late read costs a whole wait: a device that stays late
            // goes out of the stream like a stalled render device.
            if (++capture.lateReads * m_captureWaitMs >= m_dropAfterMs) {
                DropCapture(capture, "its reads stay late");
            }
            continue;
        }
        capture.lateReads = 0;
        const auto* block = reinterpret_cast<const int16_t*>(capture.block);
        for (int c = 0; c < capture.channels; ++c, ++next) {
            if (next >= m_buffers->inputCount) {
                continue;
            }
            int16_t* half = m_buffers->inputs[next] + static_cast<size_t>(m_bufferIndex) * m_blockFrames;
            for (int32_t f = 0; f < m_blockFrames; ++f) {
                half[f] = block[static_cast<size_t>(f) * capture.channels + c];
            }
        }
    }
    return paced;
}

void CStreamEngine::DropCapture(CaptureDevice& capture, const char* why)
{
    DebugTrace("CStreamEngine: capture device %d taken out of the stream: %s\n", static_cast<int>(capture.index), why);
    CaptureDeviceRecord* record = m_device->GetCaptureDevice(capture.index);
    if (record) {
        record->active = false;
    }
    if (capture.reads && !capture.reads->TakeBack(kGiveBackTimeoutMs)) {
        DebugTrace("CStreamEngine: reads of capture device %d still held, kept\n", static_cast<int>(capture.index));
        // The pin may still write into them: they are never freed.
        static_cast<void>(capture.reads.release());
    }
    m_droppedCount.fetch_add(1);
}

void CStreamEngine::SilenceInputs(int first, int count)
{
    for (int n = first; n < first + count && n < m_buffers->inputCount; ++n) {
        std::memset(m_buffers->inputs[n] + static_cast<size_t>(m_bufferIndex) * m_blockFrames, 0,
                    static_cast<size_t>(m_blockFrames) * 2);
    }
}

void CStreamEngine::PrimeDelayLines()
{
    for (const RenderDevice& render : m_render) {
        RenderDeviceRecord* record = m_device->GetRenderDevice(render.index);
        if (!record || !record->active || !record->ringBuffer) {
            continue;
        }
        record->ringBuffer->Reset();
        // The delay values are those read when the devices were opened.
        int64_t left = DelayBytes(record->outLatency, m_sampleRate, record->channels);
        while (left > 0) {
            const auto chunk = static_cast<int32_t>(std::min<int64_t>(left, sizeof kSilence));
            if (record->ringBuffer->Write(kSilence, chunk) < 0) {
                break;
            }
            left -= chunk;
        }
    }
}

void CStreamEngine::ReleaseBlocks()
{
    for (RenderDevice& render : m_render) {
        const RenderDeviceRecord* record = m_device->GetRenderDevice(render.index);
        for (RenderBlock& block : render.blocks) {
            // Stopped or closed pins give their requests back; a device that
            // never does may still read the block, which is then kept.
            const bool held = render.blocksHeld ||
                              (record && record->stream && record->stream->HoldsRequests(block.streamHeaders) &&
                               !(record->pin && record->stream->CollectAll(record->pin->GetHandle(), 1000)));
            if (held) {
                DebugTrace("CStreamEngine: block of render device %d still held, kept\n", static_cast<int>(render.index));
            } else {
                delete[] block.data;
            }
            block.data = nullptr;
        }
        if (render.event) {
            CloseHandle(render.event);
            render.event = nullptr;
        }
    }
    m_render.clear();
    for (CaptureDevice& capture : m_capture) {
        if (capture.reads && !capture.reads->TakeBack(kGiveBackTimeoutMs)) {
            DebugTrace("CStreamEngine: reads of capture device %d still held, kept\n", static_cast<int>(capture.index));
            static_cast<void>(capture.reads.release());
        }
        capture.reads.reset();
        delete[] capture.block;
        capture.block = nullptr;
    }
    m_capture.clear();
}

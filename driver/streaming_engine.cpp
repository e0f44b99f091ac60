// The buffer-switch thread and the per-block step of the driver.
#include "asio_audio_device.h"
#include "debug_trace.h"
#include "mmcss.h"
#include "named_events.h"
#include "render_stream.h"
#include "ring_buffer.h"
#include "telvara_driver.h"

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

CTelvaraDriver* volatile g_pCurrentDriver = nullptr;

namespace {

HANDLE g_hBufferSwitchThread = nullptr;
volatile bool g_bStopBufferSwitch = false;

// Process-wide objects of the engine, made when the library loads and gone
// when it unloads.
struct EngineGlobals {
    CRITICAL_SECTION bufferSwitchLock;
    // Wakes an idle engine thread: set by start, stop and destruction.
    HANDLE wake;
    EngineGlobals() : wake(CreateEventA(nullptr, FALSE, FALSE, nullptr)) { InitializeCriticalSection(&bufferSwitchLock); }
    ~EngineGlobals()
    {
        DeleteCriticalSection(&bufferSwitchLock);
        CloseHandle(wake);
    }
} g_engine;

// An idle engine thread looks at its stop flag at least this often, should a
// wake-up ever be missed.
constexpr DWORD kIdleWaitMs = 250;
constexpr DWORD kRenderWaitMs = 200;
constexpr DWORD kThreadEndWaitMs = 1000;

DWORD WINAPI BufferSwitchThread(LPVOID)
{
    // One engine loop per process: a second thread waits here for the first.
    EnterCriticalSection(&g_engine.bufferSwitchLock);
    void* task = IsProcessElevated() ? nullptr : RegisterProAudioThread();
    CTelvaraDriver* first = g_pCurrentDriver;
    // "进入ASIO bufferSwitch 线程 当前活动设备数量：%d"
    DebugTrace("\xbd\xf8\xc8\xeb" "ASIO bufferSwitch \xcf\xdf\xb3\xcc \xb5\xb1\xc7\xb0\xbb\xee\xb6\xaf\xc9\xe8\xb1\xb8\xca\xfd"
               "\xc1\xbf\xa3\xba%d",
               first ? first->m_pDevice->activeRenderCount : 0);
    do {
        CTelvaraDriver* driver = g_pCurrentDriver;
        if (!driver || !driver->waitUntilStreaming()) {
            continue;
        }
        // Nothing may leave the thread procedure; a failing cycle is traced
        // and the stream goes on with the next.
        try {
            driver->waitForRenderDevices();
            driver->processBlock();
        } catch (const std::exception& e) {
            DebugTrace("BufferSwitchThread: %s\n", e.what());
        }
    } while (!g_bStopBufferSwitch);
    // "退出ASIO bufferSwitch 线程"
    DebugTrace("\xcd\xcb\xb3\xf6" "ASIO bufferSwitch \xcf\xdf\xb3\xcc");
    RevertProAudioThread(task);
    LeaveCriticalSection(&g_engine.bufferSwitchLock);
    return 0;
}

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

}  // namespace

void CTelvaraDriver::startBufferSwitchThread()
{
    EnterCriticalSection(&m_threadLock);
    g_pCurrentDriver = this;
    g_bStopBufferSwitch = false;
    if (!g_hBufferSwitchThread) {
        g_hBufferSwitchThread = CreateThread(nullptr, 0, BufferSwitchThread, nullptr, 0, nullptr);
        if (g_hBufferSwitchThread) {
            SetThreadPriority(g_hBufferSwitchThread, THREAD_PRIORITY_TIME_CRITICAL);
            SetThreadPriorityBoost(g_hBufferSwitchThread, TRUE);
        } else {
            DebugTrace("CTelvaraDriver::startBufferSwitchThread CreateThread failed, error %lu\n", GetLastError());
        }
    }
    SetEvent(g_engine.wake);
    LeaveCriticalSection(&m_threadLock);
}

void CTelvaraDriver::stopBufferSwitchThread()
{
    EnterCriticalSection(&m_threadLock);
    // The engine serves the driver that started it last; another driver
    // object of the process going away must not end that stream.
    if (g_pCurrentDriver == this || g_pCurrentDriver == nullptr) {
        g_bStopBufferSwitch = true;
        SetEvent(g_engine.wake);
        if (g_hBufferSwitchThread) {
            if (WaitForSingleObject(g_hBufferSwitchThread, kThreadEndWaitMs) != WAIT_OBJECT_0) {
                // The thread is inside the host's own callback. Going on would
                // free buffers and devices under it, so wait for the host to
                // return: the host's callback bounds this wait, not we.
                DebugTrace("CTelvaraDriver::stopBufferSwitchThread still in the host's callback after %lu ms\n",
                           kThreadEndWaitMs);
                WaitForSingleObject(g_hBufferSwitchThread, INFINITE);
            }
            CloseHandle(g_hBufferSwitchThread);
            g_hBufferSwitchThread = nullptr;
        }
    }
    LeaveCriticalSection(&m_threadLock);
}

bool CTelvaraDriver::waitUntilStreaming()
{
    if (m_started && m_pCallbacks) {
        return true;
    }
    WaitForSingleObject(g_engine.wake, kIdleWaitMs);
    return false;
}

void CTelvaraDriver::waitForRenderDevices()
{
    if (m_inputCount != 0 || m_renderEvents.empty()) {
        return;
    }
    const auto count = static_cast<DWORD>(std::min<size_t>(m_renderEvents.size(), MAXIMUM_WAIT_OBJECTS));
    const DWORD result = WaitForMultipleObjects(count, m_renderEvents.data(), TRUE, kRenderWaitMs);
    if (result == WAIT_TIMEOUT) {
        SetNamedEvent(TelvaraEvents::kDeviceSync);
    }
}

void CTelvaraDriver::processBlock()
{
    if (!m_started || !m_pCallbacks) {
        return;
    }
    m_systemTime = Now();
    renderOutputs();
    captureInputs();
    m_samplePosition += m_blockFrames;
    if (m_timeInfoMode) {
        callBufferSwitchTimeInfo();
    } else {
        m_pCallbacks->bufferSwitch(m_bufferIndex, ASIOFalse);
    }
    m_bufferIndex = 1 - m_bufferIndex;
}

void CTelvaraDriver::applyVolume()
{
    const float volume = m_volume;
    for (int32_t b = 0; b < m_outputCount; ++b) {
        int16_t* half = m_outputBuffers[b] + static_cast<size_t>(m_bufferIndex) * m_blockFrames;
        for (int32_t f = 0; f < m_blockFrames; ++f) {
            half[f] = static_cast<int16_t>(static_cast<float>(half[f]) * volume);
        }
    }
}

void CTelvaraDriver::renderOutputs()
{
    if (!m_pCallbacks || !m_started || m_renderBlocks.empty()) {
        return;
    }
    applyVolume();
    size_t k = 0;
    const size_t running = m_renderEvents.size();
    for (int i = 0; i < m_pDevice->renderDeviceCount && k < running; ++i) {
        RenderDeviceRecord* device = m_pDevice->GetRenderDevice(i);
        if (!device || !device->active) {
            continue;
        }
        RenderBlock& block = m_renderBlocks[2 * k + m_bufferIndex];
        // The device may still hold this block from two cycles ago (a slow
        // device, or a cycle paced by capture): never refill it under it.
        if (!waitForRenderBlock(*device, block)) {
            SetNamedEvent(TelvaraEvents::kDeviceSync);
            ++k;
            continue;
        }
        const int channels = device->channels;
        int16_t* data = block.data;
        std::memset(data, 0, static_cast<size_t>(block.byteCount));
        for (int c = 0; c < channels; ++c) {
            const int32_t link = c == 0 ? device->settings.channelLinkLeft : device->settings.channelLinkRight;
            if (link < 0 || link >= m_outputCount) {
                continue;
            }
            const int16_t* source = m_outputBuffers[link] + static_cast<size_t>(m_bufferIndex) * m_blockFrames;
            for (int32_t f = 0; f < m_blockFrames && m_started; ++f) {
                data[static_cast<size_t>(f) * channels + c] = source[f];
            }
        }
        device->ringBuffer->Write(block.data, block.byteCount);
        device->ringBuffer->Read(block.data, block.byteCount);
        if (m_pDevice->WriteRenderDevice(block) != 0) {
            // Nothing is pending: the next wait must not stall on this device.
            SetEvent(m_renderEvents[k]);
        }
        ++k;
    }
}

bool CTelvaraDriver::waitForRenderBlock(const RenderDeviceRecord& device, const RenderBlock& block)
{
    const DWORD deadline = GetTickCount() + kRenderWaitMs;
    while (device.stream && device.stream->HoldsRequests(block.streamHeaders)) {
        const DWORD now = GetTickCount();
        if (static_cast<LONG>(deadline - now) <= 0) {
            return false;
        }
        // The device signals this event when it gives back a block.
        WaitForSingleObject(block.completionEvent, deadline - now);
    }
    return true;
}

DWORD CTelvaraDriver::captureWaitMs() const
{
    // An input latency below two blocks would hand the host stale data and
    // spin the engine at full speed; the host still sees the setting.
    const double blockMs = 1000.0 * m_blockFrames / (m_sampleRate > 0 ? m_sampleRate : 44100.0);
    const auto floorMs = static_cast<DWORD>(std::ceil(2.0 * blockMs));
    return std::max<DWORD>(static_cast<DWORD>(std::max(m_inputLatency, 0)), floorMs);
}

void CTelvaraDriver::captureInputs()
{
    if (m_inputCount <= 0) {
        return;
    }
    int next = 0;
    const DWORD waitMs = captureWaitMs();
    for (int i = 0; i < m_pDevice->captureDeviceCount && i < kMaxCaptureBlocks; ++i) {
        CaptureDeviceRecord* device = m_pDevice->GetCaptureDevice(i);
        if (!device || !device->active || !m_captureBlocks[i]) {
            continue;
        }
        const int frameSize = device->channels * 2;
        const int32_t bytes = m_blockFrames * frameSize;
        if (m_pDevice->ReadCaptureDevice(i, m_captureBlocks[i], bytes, waitMs) < 0) {
            device->active = false;
            continue;
        }
        const auto* block = reinterpret_cast<const int16_t*>(m_captureBlocks[i]);
        for (int c = 0; c < device->channels; ++c, ++next) {
            if (next >= kMaxHostBuffers || !m_inputBuffers[next]) {
                continue;
            }
            int16_t* half = m_inputBuffers[next] + static_cast<size_t>(m_bufferIndex) * m_blockFrames;
            for (int32_t f = 0; f < m_blockFrames; ++f) {
                half[f] = block[static_cast<size_t>(f) * device->channels + c];
            }
        }
    }
}

void CTelvaraDriver::callBufferSwitchTimeInfo()
{
    getSamplePosition(&m_asioTime.timeInfo.samplePosition, &m_asioTime.timeInfo.systemTime);
    if (m_timeCodeRead) {
        m_asioTime.timeCode.timeCodeSamples.hi = 0;
        m_asioTime.timeCode.timeCodeSamples.lo = static_cast<unsigned long>(
            static_cast<uint64_t>(m_asioTime.timeInfo.samplePosition.lo + 600.0 * m_sampleRate) & 0xffffffffu);
    }
    m_pCallbacks->bufferSwitchTimeInfo(&m_asioTime, m_bufferIndex, ASIOFalse);
    m_asioTime.timeInfo.flags &= ~static_cast<unsigned long>(kSampleRateChanged | kClockSourceChanged);
}

int CTelvaraDriver::primeOutputDelay()
{
    if (m_renderEvents.empty()) {
        return 0;
    }
    for (int i = 0; i < m_pDevice->renderDeviceCount; ++i) {
        RenderDeviceRecord* device = m_pDevice->GetRenderDevice(i);
        if (!device || !device->active) {
            continue;
        }
        const float delay = device->outLatency;
        if (!(delay > 0.0f && delay < 1000.0f)) {
            continue;
        }
        // The line holds the engine's 16-bit samples, whatever the pin's depth.
        const auto bytesPerMs = static_cast<int64_t>(2.0 * m_sampleRate * device->channels / 1000.0);
        int64_t count = bytesPerMs * static_cast<int64_t>(delay * 500.0f);
        // Whole frames only: a part of a frame would move every later sample
        // onto the next channel (44100 Hz with 6 channels is 529.2 bytes a
        // millisecond).
        const int64_t frameBytes = 2 * static_cast<int64_t>(device->channels);
        count -= frameBytes ? count % frameBytes : 0;
        device->ringBuffer->Reset();
        // All or nothing: a delay longer than the line leaves it empty.
        const std::vector<uint8_t> silence(static_cast<size_t>(count), 0);
        device->ringBuffer->Write(silence.data(), static_cast<int32_t>(count));
    }
    return 0;
}

bool CTelvaraDriver::allocateRenderBlocks()
{
    const int running = m_pDevice->activeRenderCount;
    try {
        m_renderEvents.assign(static_cast<size_t>(running), nullptr);
        m_renderBlocks.assign(2 * static_cast<size_t>(running), RenderBlock{});
    } catch (const std::bad_alloc&) {
        return false;
    }
    int k = 0;
    for (int i = 0; i < m_pDevice->renderDeviceCount && k < running; ++i) {
        RenderDeviceRecord* device = m_pDevice->GetRenderDevice(i);
        if (!device || !device->active) {
            continue;
        }
        m_renderEvents[k] = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (!m_renderEvents[k]) {
            return false;
        }
        for (int half = 0; half < 2; ++half) {
            RenderBlock& block = m_renderBlocks[2 * k + half];
            block.deviceIndex = i;
            block.byteCount = device->channels * m_blockFrames * 2;
            block.completionEvent = m_renderEvents[k];
            block.data = new (std::nothrow) int16_t[static_cast<size_t>(block.byteCount / 2)]();
            if (!block.data) {
                return false;
            }
        }
        ++k;
    }
    return true;
}

void CTelvaraDriver::releaseRenderBlocks()
{
    for (RenderBlock& block : m_renderBlocks) {
        // Stopped or closed pins give their requests back; a device that
        // never does may still read the block, which is then kept rather
        // than freed under it.
        const RenderDeviceRecord* device = m_pDevice->GetRenderDevice(static_cast<uint16_t>(block.deviceIndex));
        if (device && !waitForRenderBlock(*device, block)) {
            DebugTrace("CTelvaraDriver::releaseRenderBlocks block of device %d still held, kept\n",
                       static_cast<int>(block.deviceIndex));
            continue;
        }
        delete[] block.data;
    }
    m_renderBlocks.clear();
    for (HANDLE event : m_renderEvents) {
        if (event) {
            CloseHandle(event);
        }
    }
    m_renderEvents.clear();
}

// The buffer-switch thread and its cycle: one deadline-bounded wait for the
// devices, render blocks through the delay lines onto the pins, capture
// blocks into the host's inputs by channel number, the host's callback.
#include "stream_engine.h"

#include "debug_trace.h"
#include "device_set.h"
#include "settings_limits.h"
#include "stream_clock.h"
#include "thread_priority.h"

#include <mmsystem.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>

namespace {

// Sends in a row that fail before a render device is taken out.
constexpr int kDropAfterFailures = 3;
// A device that stays late this long (at least; four block periods when that
// is longer) is taken out.
constexpr DWORD kDropAfterMs = 200;
// How long Launch waits for a new thread to be ready.
constexpr DWORD kThreadStartMs = 1000;
// Handles one wait can take.
constexpr size_t kMostWaitHandles = MAXIMUM_WAIT_OBJECTS;

const char* DropText(CStreamEngine::DropReason reason)
{
    switch (reason) {
    case CStreamEngine::DropReason::WritesFail:
        return "its writes fail";
    case CStreamEngine::DropReason::KeepsBlocks:
        return "it keeps its blocks";
    case CStreamEngine::DropReason::ReadsFail:
        return "its pin fails a read";
    case CStreamEngine::DropReason::StaysLate:
        return "its reads stay late";
    case CStreamEngine::DropReason::DoesNotRun:
        return "it does not run";
    default:
        return "";
    }
}

}  // namespace

CStreamEngine::CStreamEngine(const Setup& setup)
    : m_devices(setup.devices),
      m_buffers(setup.buffers),
      m_sampleRate(setup.sampleRate > 0 ? setup.sampleRate : 44100.0),
      m_blockFrames(setup.buffers->blockFrames),
      m_requestsInFlight(std::max(setup.requestsInFlight, 2)),
      m_requestUnit(setup.requestUnit > 0 ? setup.requestUnit : setup.buffers->blockFrames),
      m_callbacks(*setup.buffers->callbacks),
      m_timeInfoMode(setup.buffers->timeInfoMode),
      m_reportEvent(setup.reportEvent),
      m_position(setup.position),
      m_driftSetup(setup.drift),
      m_mailbox(setup.live),
      m_wake(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      m_activity(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      m_ready(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_go(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      m_volume(SettingsLimits::Volume(setup.live.volume)),
      m_asioTime(setup.asioTime),
      m_announceRateChange(setup.announceRateChange),
      m_timeCodeRead(setup.timeCodeRead)
{
    const int64_t perSecond = StreamClock::TicksPerSecond();
    m_period = std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(perSecond) * m_blockFrames / m_sampleRate));
    m_dropAfter = std::max<int64_t>(perSecond * kDropAfterMs / 1000, 4 * m_period);
}

CStreamEngine::~CStreamEngine()
{
    if (m_thread) {
        CloseHandle(m_thread);
    }
    for (HANDLE event : {m_wake, m_activity, m_ready, m_go}) {
        if (event) {
            CloseHandle(event);
        }
    }
}

uint64_t CStreamEngine::TimeCodeSamples(uint64_t position, double sampleRate)
{
    return position + static_cast<uint64_t>(600.0 * sampleRate);
}

bool CStreamEngine::Prepare()
{
    if (!m_wake || !m_activity) {
        return false;
    }
    try {
        // Which devices follow another's clock is settled first, as a
        // follower's blocks need more room.
        std::vector<CRenderEndpoint*> render;
        for (const auto& endpoint : m_devices->Render()) {
            if (endpoint->Active()) {
                render.push_back(endpoint.get());
            }
        }
        std::vector<CCaptureEndpoint*> capture;
        for (const auto& endpoint : m_devices->Capture()) {
            if (endpoint->Active() && !m_buffers->inputs.empty()) {
                capture.push_back(endpoint.get());
            }
        }
        std::vector<bool> followers = m_drift.Prepare(m_driftSetup, render, capture, m_sampleRate);
        const std::vector<bool> captureFollowers(followers.begin() + static_cast<ptrdiff_t>(render.size()),
                                                 followers.end());
        followers.resize(render.size());
        PrepareRender(render, followers);
        PrepareCapture(capture, captureFollowers);
        if (m_render.size() != render.size() || m_capture.size() != capture.size()) {
            // A device left out: the clock choice is made over those that stream.
            render.clear();
            capture.clear();
            for (const auto& lane : m_render) {
                render.push_back(lane->endpoint);
            }
            for (const auto& lane : m_capture) {
                capture.push_back(lane->endpoint);
            }
            m_drift.Prepare(m_driftSetup, render, capture, m_sampleRate);
        }
        if (m_drift.Master() >= 0 && render.size() + capture.size() > 1) {
            const auto master = static_cast<size_t>(m_drift.Master());
            DebugTrace("CStreamEngine: %s device %d is the clock master; drift compensation %s\n",
                       master < render.size() ? "render" : "capture",
                       master < render.size() ? render[master]->Index() : capture[master - render.size()]->Index(),
                       m_driftSetup.on ? "on" : "off");
        }
        m_waitHandles.assign(std::min(kMostWaitHandles, 1 + m_render.size() + m_capture.size()), nullptr);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// A lane for every running render device that could be prepared.
void CStreamEngine::PrepareRender(const std::vector<CRenderEndpoint*>& devices, const std::vector<bool>& followers)
{
    const LiveSettings& live = m_mailbox.Current();
    for (size_t n = 0; n < devices.size(); ++n) {
        CRenderEndpoint* endpoint = devices[n];
        const auto index = static_cast<size_t>(endpoint->Index());
        const int delayMs = index < live.delayMs.size() ? live.delayMs[index] : endpoint->OpeningDelayMs();
        if (!endpoint->PrepareStream(m_blockFrames, m_requestsInFlight, m_requestUnit, delayMs, m_activity,
                                     m_buffers->format, followers[n])) {
            DebugTrace("CStreamEngine: render device %d left out: no memory, or its pin keeps earlier requests\n",
                       endpoint->Index());
            continue;
        }
        auto lane = std::make_unique<RenderLane>();
        lane->endpoint = endpoint;
        lane->index = endpoint->Index();
        lane->left = m_buffers->OutputOfChannel(endpoint->LinkLeft());
        lane->right = m_buffers->OutputOfChannel(endpoint->LinkRight());
        lane->delayMs = delayMs;
        m_render.push_back(std::move(lane));
    }
}

// A lane for every running capture device that could be prepared. Input
// channels are numbered over the open capture devices in order, whether or
// not each is running.
void CStreamEngine::PrepareCapture(const std::vector<CCaptureEndpoint*>& devices, const std::vector<bool>& followers)
{
    int32_t firstChannel = 0;
    for (const auto& endpoint : m_devices->Capture()) {
        const int32_t channels = endpoint->Channels();
        const int32_t base = firstChannel;
        firstChannel += channels;
        const auto found = std::find(devices.begin(), devices.end(), endpoint.get());
        if (found == devices.end()) {
            continue;
        }
        const bool follower = followers[static_cast<size_t>(found - devices.begin())];
        if (!endpoint->PrepareStream(m_blockFrames, m_requestsInFlight, m_activity, m_buffers->format, follower)) {
            DebugTrace("CStreamEngine: capture device %d left out: no memory, or its pin keeps earlier requests\n",
                       endpoint->Index());
            continue;
        }
        auto lane = std::make_unique<CaptureLane>();
        lane->endpoint = endpoint.get();
        lane->index = endpoint->Index();
        for (int half = 0; half < 2; ++half) {
            lane->destinations[half].resize(static_cast<size_t>(channels) + 1);
            for (int32_t c = 0; c < channels; ++c) {
                uint8_t* buffer = m_buffers->InputOfChannel(base + c);
                lane->destinations[half][static_cast<size_t>(c)] =
                    buffer ? buffer + static_cast<size_t>(half) * m_buffers->HalfBytes() : nullptr;
            }
        }
        m_capture.push_back(std::move(lane));
    }
}

bool CStreamEngine::Launch()
{
    // The thread holds the module that holds its code: a host that releases
    // the driver inside its callback and unloads it at once cannot pull the
    // code from under the thread's last instructions.
    if (!m_ready || !m_go ||
        !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ThreadProc), &m_module)) {
        DebugTrace("CStreamEngine::Launch: no events or module handle, error %lu\n", GetLastError());
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
    // The render pins run once the thread is ready to feed them: what a
    // busy machine takes to start a thread must not eat the blocks in
    // flight. Setting a pin's state waits for the driver and allocates, so
    // it is done here, never on the engine thread.
    const HANDLE waits[2] = {m_ready, m_thread};
    if (WaitForMultipleObjects(2, waits, FALSE, kThreadStartMs) != WAIT_OBJECT_0) {
        DebugTrace("CStreamEngine::Launch: the thread was not ready within %lu ms\n", kThreadStartMs);
    }
    for (const auto& lane : m_render) {
        if (!lane->dropped.load() && FAILED(lane->endpoint->SetState(KSSTATE_RUN))) {
            DropRender(*lane, DropReason::DoesNotRun);
        }
    }
    SetEvent(m_go);
    return true;
}

void CStreamEngine::RequestStop()
{
    m_stop.store(true);
    SetEvent(m_wake);
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

void CStreamEngine::ReportNews()
{
    const auto report = [](std::atomic<int>& dropped, int& reported, const char* kind, int index) {
        const int reason = dropped.load();
        if (reason != reported) {
            reported = reason;
            DebugTrace("CStreamEngine: %s device %d taken out of the stream: %s\n", kind, index,
                       DropText(static_cast<DropReason>(reason)));
        }
    };
    const auto follow = [](FollowerNews& news, const char* kind, int index) {
        if (news.following.load() && !news.reportedFollowing) {
            news.reportedFollowing = true;
            DebugTrace("CStreamEngine: %s device %d runs %+.1f ppm against the clock master: resampled from now on\n",
                       kind, index, news.followedPpm.load());
        }
        const int64_t resyncs = news.resyncs.load();
        if (resyncs != news.reportedResyncs) {
            news.reportedResyncs = resyncs;
            DebugTrace("CStreamEngine: %s device %d left its limits against the clock master and was "
                       "re-synchronised (%lld so far)\n",
                       kind, index, static_cast<long long>(resyncs));
        }
    };
    for (const auto& lane : m_render) {
        report(lane->dropped, lane->reported, "render", lane->index);
        follow(lane->follow, "render", lane->index);
    }
    for (const auto& lane : m_capture) {
        report(lane->dropped, lane->reported, "capture", lane->index);
        follow(lane->follow, "capture", lane->index);
    }
    const int64_t stalls = m_stalls.load();
    if (stalls != m_reportedStalls) {
        m_reportedStalls = stalls;
        // "接收到设备长时间播放不同步进行处理事件"
        DebugTrace("\xbd\xd3\xca\xd5\xb5\xbd\xc9\xe8\xb1\xb8\xb3\xa4\xca\xb1\xbc\xe4\xb2\xa5\xb7\xc5\xb2\xbb\xcd\xac\xb2\xbd"
                   "\xbd\xf8\xd0\xd0\xb4\xa6\xc0\xed\xca\xc2\xbc\xfe");
    }
}

namespace {
// A slot of the system's thread-local storage, not a thread_local variable:
// this runtime allocates those on a thread's first use, and the engine thread
// allocates nothing.
DWORD EngineThreadSlot()
{
    static const DWORD slot = TlsAlloc();
    return slot;
}
}  // namespace

bool CStreamEngine::OnAnyEngineThread()
{
    const DWORD slot = EngineThreadSlot();
    return slot != TLS_OUT_OF_INDEXES && TlsGetValue(slot) != nullptr;
}

DWORD WINAPI CStreamEngine::ThreadProc(LPVOID parameter)
{
    if (EngineThreadSlot() != TLS_OUT_OF_INDEXES) {
        TlsSetValue(EngineThreadSlot(), parameter);
    }
    auto* engine = static_cast<CStreamEngine*>(parameter);
    void* task = RegisterProAudioThread();
    // "进入ASIO bufferSwitch 线程 当前活动设备数量：%d"
    DebugTrace("\xbd\xf8\xc8\xeb" "ASIO bufferSwitch \xcf\xdf\xb3\xcc \xb5\xb1\xc7\xb0\xbb\xee\xb6\xaf\xc9\xe8\xb1\xb8\xca\xfd"
               "\xc1\xbf\xa3\xba%d",
               static_cast<int>(engine->m_render.size()));
    timeBeginPeriod(1);
    SetEvent(engine->m_ready);
    // Until the render pins run; a stop meanwhile ends the thread at once.
    const HANDLE waits[2] = {engine->m_go, engine->m_wake};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    try {
        engine->Run();
    } catch (...) {
        // A host's exception thrown through its callback ends the stream,
        // never the process.
        DebugTrace("CStreamEngine: an exception left the host's callback; the stream ends\n");
    }
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
    // Nothing may leave the thread procedure: nothing in the cycle throws,
    // and a host's exception is the host's to catch.
    while (!m_stop.load() && Cycle()) {
    }
}

bool CStreamEngine::Cycle()
{
    ApplyRequests();
    const int64_t now = m_begun ? WaitForDevices() : Begin();
    if (m_stop.load()) {
        return false;
    }
    TakeInputs(m_bufferIndex);
    m_samplePosition += static_cast<uint64_t>(m_blockFrames);
    if (!TellHost()) {
        return false;
    }
    CallHost();
    // The host may have stopped the stream, freed its buffers or released
    // the driver in its callback: then only the engine's own memory.
    if (m_stop.load()) {
        return false;
    }
    SendOutputs(m_bufferIndex, now);
    FollowClock();
    m_bufferIndex = 1 - m_bufferIndex;
    return true;
}

// The followers' ratios for the next blocks; a follower that starts being
// resampled or is re-synchronised is told to the control thread.
void CStreamEngine::FollowClock()
{
    if (!m_drift.Steers()) {
        return;
    }
    m_drift.Cycle([this](size_t lane) {
        return lane < m_render.size() ? m_render[lane]->dropped.load() != 0
                                      : m_capture[lane - m_render.size()]->dropped.load() != 0;
    });
    bool news = false;
    const auto look = [&news](const CEndpoint& endpoint, FollowerNews& lane) {
        const EndpointDriftFigures& figures = endpoint.Drift();
        // A device at its own rate is resampled from the start (traced when
        // it was opened).
        if (figures.resampling.load() && !lane.following.load() && !endpoint.ConvertsRate()) {
            lane.followedPpm.store(figures.ratePpm.load());
            lane.following.store(true);
            news = true;
        }
        const int64_t resyncs = figures.resyncs.load();
        if (resyncs != lane.resyncs.load()) {
            lane.resyncs.store(resyncs);
            news = true;
        }
    };
    for (const auto& lane : m_render) {
        look(*lane->endpoint, lane->follow);
    }
    for (const auto& lane : m_capture) {
        look(*lane->endpoint, lane->follow);
    }
    if (news) {
        Notify();
    }
}

void CStreamEngine::ApplyRequests()
{
    m_asioTime.timeInfo.flags |= m_postedFlags.exchange(0);
    const LiveSettings* live = m_mailbox.Take();
    if (!live) {
        return;
    }
    m_volume = SettingsLimits::Volume(live->volume);
    const int64_t longestBefore = LongestDelayFrames();
    for (const auto& lane : m_render) {
        // By the device's position among the open render devices.
        const auto position = static_cast<size_t>(lane->endpoint->Index());
        if (position < live->delayMs.size() && live->delayMs[position] != lane->delayMs) {
            lane->delayMs = live->delayMs[position];
            lane->endpoint->ChangeDelay(lane->delayMs);
        }
    }
    m_latenciesChanged = m_latenciesChanged || LongestDelayFrames() != longestBefore;
}

int64_t CStreamEngine::LongestDelayFrames() const
{
    int64_t longest = 0;
    for (const auto& lane : m_render) {
        longest = std::max(longest, lane->endpoint->CurrentDelayFrames());
    }
    return longest;
}

// Before the thread runs, on the host's thread: every capture device is
// asked for its reads. Without capture devices the render devices get their
// blocks in flight now, before their pins run (Launch); with them, Begin
// gives them once the first reads have come.
void CStreamEngine::Prime()
{
    ApplyVolume(0);
    ApplyVolume(1);
    for (const auto& lane : m_capture) {
        if (FAILED(lane->endpoint->AskForAll())) {
            DropCapture(*lane, DropReason::ReadsFail);
        }
    }
    if (m_capture.empty()) {
        PrimeRender();
    }
}

// Every render device gets its blocks in flight: silence first when it has
// more than the two halves the host filled before the start.
void CStreamEngine::PrimeRender()
{
    for (const auto& lane : m_render) {
        for (int n = 2; n < m_requestsInFlight && !lane->dropped.load(); ++n) {
            if (FAILED(lane->endpoint->Send(nullptr, nullptr))) {
                DropRender(*lane, DropReason::WritesFail);
            }
        }
        for (int half = 0; half < 2 && !lane->dropped.load(); ++half) {
            const size_t offset = static_cast<size_t>(half) * m_buffers->HalfBytes();
            if (FAILED(lane->endpoint->Send(lane->left ? lane->left + offset : nullptr,
                                            lane->right ? lane->right + offset : nullptr))) {
                DropRender(*lane, DropReason::WritesFail);
            }
        }
    }
}

// The first cycle: the host is called once the capture devices have their
// first reads (waited for a little longer than a period), at once when
// there are none. Answers the time the wait ended.
int64_t CStreamEngine::Begin()
{
    m_begun = true;
    const int64_t now = StreamClock::Now();
    // Render devices are not waited for: they hold their first blocks (or
    // get them right after the wait) and have room for the first block the
    // host fills. The first reads of the capture devices are given a little
    // more than a period.
    for (const auto& lane : m_render) {
        lane->done = true;
        lane->due = now + m_period;
    }
    for (const auto& lane : m_capture) {
        lane->done = false;
        lane->due = now + m_period;
    }
    const int64_t ended = WaitForLanes();
    // Render devices primed before the wait would have played part of their
    // queue by now: they get it here, so that they hold their blocks in
    // flight, whole, when the host fills its first block, as they do at
    // every callback after it. A render device whose pin runs with nothing
    // yet plays nothing of the stream: the first block starts it.
    if (!m_capture.empty() && !m_stop.load()) {
        PrimeRender();
    }
    m_due = StreamClock::Now() + m_period;
    return ended;
}

// One wait for the cycle, over every device and the stop request: each
// render device is waited for until it gives a block back (it then holds
// its blocks in flight, whole, and the block the host fills next goes to it
// right after the callback), each capture device until its read has come. A
// device is waited for until half a period after it is due (a period after
// it was last ready): devices whose clocks stand at any phase to each other
// are all waited for, and a stalled device costs at most that half period
// once, then nothing. With no device to wait for, the block period paces
// the cycle. Answers the time the wait ended.
int64_t CStreamEngine::WaitForDevices()
{
    for (const auto& lane : m_render) {
        lane->done = false;
    }
    for (const auto& lane : m_capture) {
        lane->done = false;
    }
    return WaitForLanes();
}

// Right after the callback: the block the host has just filled goes to
// every render device with a slot for it, so that each holds its blocks in
// flight, whole, when it next asks for one; a device not ready in time
// still takes it when a slot is spare (its clock may just run late), one
// whose pin holds every slot skips it. `waitEnded` is when the cycle's wait
// ended. A stop asked meanwhile by another thread does not cut the block
// short: every device gets it or none, so that they stay in step.
void CStreamEngine::SendOutputs(int halfIndex, int64_t waitEnded)
{
    ApplyVolume(halfIndex);
    for (const auto& lane : m_render) {
        if (lane->dropped.load()) {
            continue;
        }
        if (!lane->done) {
            if (!lane->endpoint->CanSend(false)) {
                lane->endpoint->Skip();
                NoteLate(lane->lateSince, waitEnded, true, lane.get());
                continue;
            }
            lane->due = waitEnded + m_period;
        }
        Send(*lane, halfIndex);
    }
}

// Waits until every device is ready or past its deadline; answers the time
// the wait ended.
int64_t CStreamEngine::WaitForLanes()
{
    const int64_t grace = m_period / 2;
    bool anyDone = false;
    int64_t now = StreamClock::Now();
    for (;;) {
        if (m_stop.load()) {
            break;  // the stream ends: nothing more to wait for
        }
        DWORD count = 0;
        m_waitHandles[count++] = m_wake;
        int64_t until = INT64_MAX;
        const auto awaits = [&](HANDLE handle, int64_t due) {
            if (now >= due + grace) {
                return;  // late: no longer waited for in this cycle
            }
            until = std::min(until, due + grace);
            if (!handle) {
                // A device with nothing to wait on (a WaveRT buffer in timer
                // mode) is looked at again a quarter period on.
                until = std::min(until, now + std::max<int64_t>(1, m_period / 4));
            }
            AddWaitHandle(handle, count);
        };
        for (const auto& lane : m_render) {
            if (lane->dropped.load() || lane->done) {
                continue;
            }
            if (lane->endpoint->CanSend(true)) {
                lane->done = true;
                lane->due = now + m_period;
                anyDone = true;
                continue;
            }
            awaits(lane->endpoint->WaitHandle(), lane->due);
        }
        for (const auto& lane : m_capture) {
            if (lane->dropped.load() || lane->done) {
                continue;
            }
            if (lane->endpoint->HasArrived()) {
                lane->done = true;
                lane->due = now + m_period;
                anyDone = true;
                continue;
            }
            awaits(lane->endpoint->WaitHandle(), lane->due);
        }
        if (until == INT64_MAX) {
            // Nothing left to wait for: done, unless no device came at all
            // (all stalled, or none runs) and the block period is not over.
            if (anyDone || now >= m_due) {
                break;
            }
            until = m_due;
        }
        if (StreamClock::WaitUntil(m_waitHandles.data(), count, until) == WAIT_FAILED) {
            break;
        }
        now = StreamClock::Now();
    }
    // The block clock follows the devices while they come, and goes on by
    // itself while none does.
    m_due = anyDone ? now + m_period : m_due + m_period;
    if (m_due < now - m_period) {
        m_due = now;  // fell far behind (the host took long): count anew
    }
    return now;
}

// Each handle once (a wait may not name one twice); devices of one stream
// share their event, and a transport without one offers a due time only.
void CStreamEngine::AddWaitHandle(HANDLE handle, DWORD& count)
{
    if (!handle || count >= m_waitHandles.size()) {
        return;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (m_waitHandles[i] == handle) {
            return;
        }
    }
    m_waitHandles[count++] = handle;
}

void CStreamEngine::Send(RenderLane& lane, int halfIndex)
{
    lane.lateSince = 0;
    const size_t offset = static_cast<size_t>(halfIndex) * m_buffers->HalfBytes();
    if (FAILED(lane.endpoint->Send(lane.left ? lane.left + offset : nullptr, lane.right ? lane.right + offset : nullptr))) {
        if (++lane.failures >= kDropAfterFailures) {
            DropRender(lane, DropReason::WritesFail);
        }
        return;
    }
    lane.failures = 0;
}

void CStreamEngine::NoteLate(int64_t& lateSince, int64_t now, bool render, void* lane)
{
    if (lateSince == 0) {
        // A device fell behind: the control thread traces it.
        lateSince = now;
        m_stalls.fetch_add(1);
        Notify();
        return;
    }
    if (now - lateSince >= m_dropAfter) {
        if (render) {
            DropRender(*static_cast<RenderLane*>(lane), DropReason::KeepsBlocks);
        } else {
            DropCapture(*static_cast<CaptureLane*>(lane), DropReason::StaysLate);
        }
    }
}

void CStreamEngine::TakeInputs(int halfIndex)
{
    const int64_t now = StreamClock::Now();
    for (const auto& lane : m_capture) {
        uint8_t* const* destinations = lane->destinations[halfIndex].data();
        if (lane->dropped.load()) {
            // Its channels keep their place in the host's inputs, silent.
            lane->endpoint->Silence(destinations);
            continue;
        }
        if (!lane->done) {
            // Never an older block as new: the host gets silence, and the read
            // is taken when it comes. Before the first callback no read can
            // be late yet.
            if (m_samplePosition == 0) {
                lane->endpoint->Silence(destinations);
                continue;
            }
            lane->endpoint->Miss(destinations);
            NoteLate(lane->lateSince, now, false, lane.get());
            continue;
        }
        lane->lateSince = 0;
        if (FAILED(lane->endpoint->Deliver(destinations))) {
            lane->endpoint->Silence(destinations);
            DropCapture(*lane, DropReason::ReadsFail);
        }
    }
}

namespace {

// Scales half of a host buffer in place. Integers are truncated toward zero
// and saturated at their width (16 bits in float, as always; 24 and 32 in
// double, which keeps their low bits); float samples are multiplied.
template <typename Sample, typename Scale>
void ScaleSamples(uint8_t* half, int32_t frames, Scale scale)
{
    for (int32_t f = 0; f < frames; ++f) {
        Sample sample;
        std::memcpy(&sample, half + static_cast<size_t>(f) * sizeof sample, sizeof sample);
        sample = scale(sample);
        std::memcpy(half + static_cast<size_t>(f) * sizeof sample, &sample, sizeof sample);
    }
}

void ScaleHalf(SampleFormat format, uint8_t* half, int32_t frames, float volume)
{
    switch (format) {
    case SampleFormat::Int16:
        ScaleSamples<int16_t>(half, frames, [volume](int16_t s) {
            return static_cast<int16_t>(std::clamp(static_cast<float>(s) * volume, -32768.0f, 32767.0f));
        });
        break;
    case SampleFormat::Int24:
        for (int32_t f = 0; f < frames; ++f, half += 3) {
            const int32_t s = static_cast<int32_t>((static_cast<uint32_t>(half[0]) << 8) |
                                                   (static_cast<uint32_t>(half[1]) << 16) |
                                                   (static_cast<uint32_t>(half[2]) << 24)) >> 8;
            const auto scaled = static_cast<int32_t>(std::clamp(s * static_cast<double>(volume), -8388608.0, 8388607.0));
            half[0] = static_cast<uint8_t>(scaled);
            half[1] = static_cast<uint8_t>(scaled >> 8);
            half[2] = static_cast<uint8_t>(scaled >> 16);
        }
        break;
    case SampleFormat::Int32:
        ScaleSamples<int32_t>(half, frames, [volume](int32_t s) {
            return static_cast<int32_t>(std::clamp(s * static_cast<double>(volume), -2147483648.0, 2147483647.0));
        });
        break;
    case SampleFormat::Float32:
        ScaleSamples<float>(half, frames, [volume](float s) { return s * volume; });
        break;
    default:
        break;
    }
}

}  // namespace

void CStreamEngine::ApplyVolume(int halfIndex)
{
    const float volume = m_volume;
    if (volume == 1.0f) {
        return;
    }
    const size_t offset = static_cast<size_t>(halfIndex) * m_buffers->HalfBytes();
    for (uint8_t* buffer : m_buffers->outputs) {
        ScaleHalf(m_buffers->format, buffer + offset, m_blockFrames, volume);
    }
}

void CStreamEngine::DropRender(RenderLane& lane, DropReason reason)
{
    if (lane.dropped.exchange(static_cast<int>(reason)) != 0) {
        return;
    }
    // What the pin holds is given back later, on the host's thread: the
    // others must not wait for this device.
    lane.endpoint->CancelAll();
    m_droppedCount.fetch_add(1);
    Notify();
}

void CStreamEngine::DropCapture(CaptureLane& lane, DropReason reason)
{
    if (lane.dropped.exchange(static_cast<int>(reason)) != 0) {
        return;
    }
    lane.endpoint->CancelAll();
    m_droppedCount.fetch_add(1);
    Notify();
}

void CStreamEngine::Notify()
{
    if (m_reportEvent) {
        SetEvent(m_reportEvent);
    }
}

// What the host hears before the callback: a new rate, a reset request once
// a device has dropped out (or when one is asked for), new latencies. After
// each call, a stop is looked for first.
bool CStreamEngine::TellHost()
{
    if (m_announceRateChange && m_mayAnnounce.load()) {
        m_announceRateChange = false;
        if (m_callbacks.sampleRateDidChange) {
            m_callbacks.sampleRateDidChange(m_sampleRate);
            if (m_stop.load()) {
                return false;
            }
        }
    }
    const auto message = [this](long selector) {
        if (m_callbacks.asioMessage(kAsioSelectorSupported, selector, nullptr, nullptr) == 0) {
            return !m_stop.load();
        }
        if (m_stop.load()) {
            return false;
        }
        m_callbacks.asioMessage(selector, 0, nullptr, nullptr);
        return !m_stop.load();
    };
    // A device dropped out asks once per stream; a device that came back
    // asks each time it is reported, in the same one request.
    const bool requested = m_resetRequested.load() && m_resetRequested.exchange(false);
    if ((m_droppedCount.load() > 0 && !m_resetAsked) || requested) {
        m_resetAsked = true;
        if (!message(kAsioResetRequest)) {
            return false;
        }
    }
    if (m_latenciesChanged) {
        m_latenciesChanged = false;
        if (!message(kAsioLatenciesChanged)) {
            return false;
        }
    }
    return true;
}

void CStreamEngine::CallHost()
{
    // Stamped right before the call: the host reads the time of this half.
    m_stamp = ClockNanoseconds(StreamClock::Now());
    if (m_position) {
        m_position->Publish(m_samplePosition, m_stamp);
    }
    if (!m_timeInfoMode) {
        m_callbacks.bufferSwitch(m_bufferIndex, ASIOFalse);
        return;
    }
    AsioTimeInfo& info = m_asioTime.timeInfo;
    info.samplePosition.hi = static_cast<unsigned long>(m_samplePosition >> 32);
    info.samplePosition.lo = static_cast<unsigned long>(m_samplePosition & 0xffffffffu);
    info.systemTime.hi = static_cast<unsigned long>(m_stamp >> 32);
    info.systemTime.lo = static_cast<unsigned long>(m_stamp & 0xffffffffu);
    if (m_timeCodeRead.load()) {
        const uint64_t code = TimeCodeSamples(m_samplePosition, m_sampleRate);
        m_asioTime.timeCode.timeCodeSamples.hi = static_cast<unsigned long>(code >> 32);
        m_asioTime.timeCode.timeCodeSamples.lo = static_cast<unsigned long>(code & 0xffffffffu);
    }
    m_callbacks.bufferSwitchTimeInfo(&m_asioTime, m_bufferIndex, ASIOFalse);
    // The engine's own memory: touched whether or not the host stopped.
    info.flags &= ~static_cast<unsigned long>(kSampleRateChanged | kClockSourceChanged);
}

// The settings (POCO) come first: they bring winsock2 before windows.h.
#include "settings_file.h"
#include "telvara_driver.h"

#include "control_thread.h"
#include "debug_trace.h"
#include "delay_line.h"
#include "device_report.h"
#include "device_set.h"
#include "driver_lock.h"
#include "host_buffers.h"
#include "left_out_message.h"
#include "message_box.h"
#include "panel_link.h"
#include "settings_limits.h"
#include "settings_paths.h"
#include "stream_engine.h"
#include "trace_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

namespace {

constexpr const char* kDriverName = "TELVARA";
constexpr const char* kStartBoxCaption = "ASIO IAudio I/O Driver";

SampleFormat HostFormatOf(HostSampleType type)
{
    switch (type) {
    case HostSampleType::Int24:
        return SampleFormat::Int24;
    case HostSampleType::Int32:
        return SampleFormat::Int32;
    case HostSampleType::Float32:
        return SampleFormat::Float32;
    default:
        return SampleFormat::Int16;
    }
}

ASIOSampleType AsioTypeOf(HostSampleType type)
{
    switch (type) {
    case HostSampleType::Int24:
        return ASIOSTInt24LSB;
    case HostSampleType::Int32:
        return ASIOSTInt32LSB;
    case HostSampleType::Float32:
        return ASIOSTFloat32LSB;
    default:
        return ASIOSTInt16LSB;
    }
}

}  // namespace


namespace {

// A host that calls from two threads at once (a GUI thread and a worker,
// say) gets its calls taken one after the other: each call sees the state
// the previous one left, never half of it. Calls from inside the host's
// callback, on the engine thread, do not wait here: a host thread may be
// in a call that waits for that very thread to end (stop, disposeBuffers,
// setSampleRate); they take the device lock as they always have. The wait
// here is bounded by the other host thread's call.
class HostCallOrder {
public:
    explicit HostCallOrder(CRITICAL_SECTION& calls)
        : m_pCalls(CStreamEngine::OnAnyEngineThread() ? nullptr : &calls)
    {
        if (m_pCalls) {
            EnterCriticalSection(m_pCalls);
        }
    }
    ~HostCallOrder()
    {
        if (m_pCalls) {
            LeaveCriticalSection(m_pCalls);
        }
    }
    HostCallOrder(const HostCallOrder&) = delete;
    HostCallOrder& operator=(const HostCallOrder&) = delete;

private:
    CRITICAL_SECTION* m_pCalls;
};

// A host thread's call that ends the running stream and then frees or
// replaces what streams use (stop, disposeBuffers, createBuffers,
// setSampleRate, the release) holds starts from inside the host's callback
// until it returns. Without that, the callback of the very stream being
// ended could start a new one on the old buffers and devices while the call
// waits for that callback, and the call would then free them under the new
// stream. The host's own threads wait for each other in HostCallOrder; only
// the engine threads' starts are held. Each change of the count is under
// the device lock.
class StartsHeld {
public:
    explicit StartsHeld(int& held) : m_pHeld(CStreamEngine::OnAnyEngineThread() ? nullptr : &held)
    {
        if (m_pHeld) {
            DeviceLock lock;
            ++*m_pHeld;
        }
    }
    ~StartsHeld()
    {
        if (m_pHeld) {
            DeviceLock lock;
            --*m_pHeld;
        }
    }
    StartsHeld(const StartsHeld&) = delete;
    StartsHeld& operator=(const StartsHeld&) = delete;

private:
    int* m_pHeld;
};

}  // namespace

template <typename Operation>
ASIOError CTelvaraDriver::AtTheEdge(const char* name, Operation&& operation)
{
    try {
        return operation();
    } catch (const Failure& failure) {
        if (failure.text) {
            DriverTexts::CopyWholeGbk(m_errorMessage, sizeof m_errorMessage, failure.text);
        }
        DebugTrace("CTelvaraDriver::%s failed (%ld)\n", name, static_cast<long>(failure.code));
        return failure.code;
    } catch (const std::bad_alloc&) {
        DebugTrace("CTelvaraDriver::%s: out of memory\n", name);
        return ASE_NoMemory;
    } catch (const std::exception& e) {
        DebugTrace("CTelvaraDriver::%s: %s\n", name, e.what());
        return ASE_HWMalfunction;
    } catch (...) {
        DebugTrace("CTelvaraDriver::%s: unknown exception\n", name);
        return ASE_HWMalfunction;
    }
}

CTelvaraDriver::CTelvaraDriver(IUnknown* pUnkOuter)
    : CUnknown(kDriverName, pUnkOuter), m_asioTime{}, m_errorMessage{}
{
    InitializeCriticalSection(&m_hostCalls);
    // Inside a host a settings failure must not end the host's process: the
    // defaults stay in force and init reports the failure.
    const DriverSettings* settings = GetSettingsFile(SettingsFailureAction::Continue).LoadSettings();
    m_blockFrames = settings->blockFrames;
    m_requestUnit = settings->blockFrames;
    m_volume = SettingsLimits::Volume(settings->volume);
    m_sampleRate = settings->sampleRate;
    m_bitsPerSample = settings->bitsPerSample;
    m_hostSampleType = settings->hostSampleType;
    m_inputLatency = settings->inputLatency;
    m_outputLatency = settings->outputLatency;
    m_requestsInFlight = settings->requestsInFlight;
    m_drift.on = settings->driftCompensation;
    m_drift.master = settings->clockMaster;
    m_drift.uncompensatedRender = settings->uncompensatedOutputs;
    m_drift.uncompensatedCapture = settings->uncompensatedInputs;
    // The file trace is set when the driver object is made: a host that
    // opens the driver again after the user set it starts writing.
    if (settings->traceFile && !SettingsFolderPath().empty()) {
        m_traceFile = TraceFile::Start(SettingsFolderPath());
    }
}

CTelvaraDriver::~CTelvaraDriver()
{
    StartsHeld held(m_startsHeld);
    endStream();
    {
        DeviceLock lock;
        if (m_attached) {
            ControlThread::Detach(this);
        }
        // Released inside the host's callback: the engine thread ends by
        // itself once the callback returns and takes its engine with it.
        for (auto& engine : m_retired) {
            if (engine->OnEngineThread()) {
                engine.release()->HandOverToThread();
            }
        }
        m_retired.erase(std::remove(m_retired.begin(), m_retired.end(), nullptr), m_retired.end());
    }
    ControlThread::EndIfIdle();
    joinRetired();
    m_buffers.reset();
    std::unique_ptr<CDeviceSet> devices;
    {
        DeviceLock lock;
        devices = std::move(m_devices);
    }
    // Out of the lock: closing waits for pins that are slow to give back.
    devices.reset();
    PanelLinkDriverDestroyed();
    if (m_traceFile) {
        TraceFile::Stop();
    }
    DeleteCriticalSection(&m_hostCalls);
}

HRESULT STDMETHODCALLTYPE CTelvaraDriver::QueryInterface(REFIID riid, void** ppv)
{
    return GetOwner()->QueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE CTelvaraDriver::AddRef()
{
    return GetOwner()->AddRef();
}

ULONG STDMETHODCALLTYPE CTelvaraDriver::Release()
{
    return GetOwner()->Release();
}

HRESULT STDMETHODCALLTYPE CTelvaraDriver::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    // Hosts ask for IASIO under the driver's class id.
    if (ppv && IsEqualIID(riid, CLSID_TelvaraDriver)) {
        *ppv = static_cast<IASIO*>(this);
        AddRef();
        return S_OK;
    }
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

bool CTelvaraDriver::openDevices()
{
    if (!m_devices) {
        m_devices = std::make_unique<CDeviceSet>();
    }
    const DriverSettings* settings = GetSettingsFile().LoadSettings();
    OpenRequest request;
    request.sampleRate = m_sampleRate;
    request.bitsPerSample = m_bitsPerSample;
    request.hostFormat = HostFormatOf(m_hostSampleType);
    // The driver runs without inputs when none opens.
    request.devices = &settings->inputDevices;
    m_devices->OpenCapture(request);
    DebugTrace("CTelvaraDriver::outputOpen\n");
    request.devices = &settings->outputDevices;
    m_devices->OpenRender(request);
    m_delaysMs.clear();
    for (const auto& endpoint : m_devices->Render()) {
        m_delaysMs.push_back(endpoint->OpeningDelayMs());
    }
    reportDevices();
    // The driver runs with outputs or inputs only as well as with both.
    return m_devices->OutputChannels() > 0 || m_devices->InputChannels() > 0;
}

void CTelvaraDriver::reportDevices()
{
    const std::vector<DeviceOpenReport> reports = m_devices->Reports();
    PublishDeviceReport(OpenReportText(reports));
    // The host hears of the devices left out through getErrorMessage.
    if (m_devices->OutputChannels() > 0 || m_devices->InputChannels() > 0) {
        DriverTexts::CopyWholeGbk(m_errorMessage, sizeof m_errorMessage,
                                  LeftOutMessage(reports, DriverTexts::kLeftOutLead, sizeof m_errorMessage).c_str());
    }
}

void CTelvaraDriver::closeDevices()
{
    if (m_devices) {
        m_devices->CloseCapture();
        DebugTrace("CTelvaraDriver::outputClose\n");
        m_devices->CloseRender();
    }
    m_delaysMs.clear();
}

ASIOBool CTelvaraDriver::init(void* /*sysHandle*/)
{
    const HostCallOrder order(m_hostCalls);
    DebugTrace("CTelvaraDriver::init Enter\n");
    if (m_initialized) {
        return ASIOTrue;
    }
    const ASIOError result = AtTheEdge("init", [this]() -> ASIOError {
        const SettingsFile& settingsFile = GetSettingsFile();
        if (!settingsFile.IsUsable()) {
            // The settings could not be created or read: the user has seen
            // the reason in a message box; the host gets it as the error text.
            DriverTexts::CopyWholeGbk(m_errorMessage, sizeof m_errorMessage, settingsFile.GetFailureText().c_str());
            return ASE_NotPresent;
        }
        DeviceLock lock;
        if (m_buffers || m_engine) {
            // A host that made buffers (and perhaps started) before init:
            // the devices they were made for stay open and streaming, since
            // scanning again would close them under the stream. Init only
            // completes, or fails while no device is open.
            if (!m_devices || (m_devices->OutputChannels() == 0 && m_devices->InputChannels() == 0)) {
                throw Failure{ASE_NotPresent, DriverTexts::kNoAudioDevice};
            }
            ControlThread::Attach(this);
            m_attached = true;
            m_initialized = true;
            return ASE_OK;
        }
        if (!m_devices) {
            m_devices = std::make_unique<CDeviceSet>();
        }
        m_devices->EnumerateFilters();
        if (!openDevices()) {
            // Devices that were found but would not open are named after
            // the text; when none was even found the text says so alone.
            const std::vector<DeviceOpenReport> reports = m_devices->Reports();
            const bool anyFound = std::any_of(reports.begin(), reports.end(), [](const DeviceOpenReport& report) {
                return report.outcome != DeviceOutcome::Gone;
            });
            std::string text = DriverTexts::kNoAudioDevice;
            if (anyFound) {
                const std::string lead = std::string(DriverTexts::kCannotOpenPorts) + " ";
                text = LeftOutMessage(reports, lead, sizeof m_errorMessage);
                if (text.empty()) {
                    text = DriverTexts::kCannotOpenPorts;
                }
            }
            DriverTexts::CopyWholeGbk(m_errorMessage, sizeof m_errorMessage, text.c_str());
            closeDevices();
            m_devices.reset();
            throw Failure{ASE_NotPresent, nullptr};
        }
        ControlThread::Attach(this);
        m_attached = true;
        m_initialized = true;
        return ASE_OK;
    });
    DebugTrace("CTelvaraDriver::init Leave\n");
    return result == ASE_OK ? ASIOTrue : ASIOFalse;
}

void CTelvaraDriver::getDriverName(char* name)
{
    if (name) {
        std::memcpy(name, kDriverName, std::strlen(kDriverName) + 1);
    }
}

long CTelvaraDriver::getDriverVersion()
{
    return 1;
}

void CTelvaraDriver::getErrorMessage(char* string)
{
    // Hosts pass the 124-byte field of ASIODriverInfo.
    DriverTexts::CopyWholeGbk(string, DriverTexts::kErrorMessageBytes, m_errorMessage);
}

ASIOError CTelvaraDriver::start()
{
    const HostCallOrder order(m_hostCalls);
    std::string box;
    const ASIOError result = AtTheEdge("start", [this, &box]() -> ASIOError {
        if (!m_buffers) {
            return ASE_NotPresent;
        }
        DebugTrace("CTelvaraDriver::start Enter\n");
        if (m_engine) {
            return ASE_OK;
        }
        joinRetired();
        DeviceLock lock;
        // Asked again: the stream just joined may have disposed the buffers
        // or started anew from inside the host's callback.
        if (!m_buffers) {
            return ASE_NotPresent;
        }
        if (m_engine) {
            return ASE_OK;
        }
        startStream(false, box);
        return ASE_OK;
    });
    // Never a window under the lock: the control thread waits for it.
    if (!box.empty()) {
        ShowMessageBox(box.c_str(), kStartBoxCaption, MB_OK);
    }
    DebugTrace("CTelvaraDriver::start Leave\n");
    return result;
}

void CTelvaraDriver::startStream(bool announceRateChange, std::string& box)
{
    if (m_startsHeld > 0 && CStreamEngine::OnAnyEngineThread()) {
        // Inside the host's callback while a host thread ends the stream:
        // that call comes first, and it will free what a stream started
        // now would use.
        DebugTrace("CTelvaraDriver::start refused inside the callback: a host thread is ending the stream\n");
        throw Failure{ASE_NotPresent, nullptr};
    }
    if (g_pStreamingDriver && g_pStreamingDriver != this) {
        // One stream per process: the devices are opened once, by the first.
        DebugTrace("CTelvaraDriver::start refused: another driver object of this process is streaming\n");
        throw Failure{ASE_NotPresent, DriverTexts::kAlreadyStreaming};
    }
    if (!m_devices || m_devices->Render().empty() || m_devices->Capture().empty()) {
        const bool noOutputs = !m_devices || m_devices->Render().empty();
        const bool noInputs = !m_devices || m_devices->Capture().empty();
        if (!m_devices) {
            m_devices = std::make_unique<CDeviceSet>();
        }
        const DriverSettings* settings = GetSettingsFile().LoadSettings();
        OpenRequest request{m_sampleRate, m_bitsPerSample, &settings->outputDevices, HostFormatOf(m_hostSampleType)};
        if (noOutputs) {
            DebugTrace("CTelvaraDriver::outputOpen\n");
            m_devices->OpenRender(request);
            m_delaysMs.clear();
            for (const auto& endpoint : m_devices->Render()) {
                m_delaysMs.push_back(endpoint->OpeningDelayMs());
            }
        }
        if (noInputs) {
            request.devices = &settings->inputDevices;
            m_devices->OpenCapture(request);
        }
        reportDevices();
    }
    const auto stopDevices = [this] {
        m_devices->SetCaptureState(KSSTATE_STOP);
        m_devices->SetRenderState(KSSTATE_STOP);
    };
    // Render pins run once the engine has queued their first blocks: a pin
    // that ran meanwhile would play into a gap between the first two.
    m_devices->SetRenderState(KSSTATE_PAUSE);
    const int32_t captureResult = m_devices->SetCaptureState(KSSTATE_RUN);
    if (captureResult < 0) {
        stopDevices();
        char text[256];
        // "设置输入设备运行状态失败"
        std::snprintf(text, sizeof text, "Error: %s. hr = 0x%08x/n/n",
                      "\xc9\xe8\xd6\xc3\xca\xe4\xc8\xeb\xc9\xe8\xb1\xb8\xd4\xcb\xd0\xd0\xd7\xb4\xcc\xac\xca\xa7\xb0\xdc",
                      static_cast<unsigned>(captureResult));
        box = text;
        throw Failure{ASE_NotPresent, nullptr};
    }
    const int running = m_devices->ActiveRender();
    const int capturing = m_devices->ActiveCapture();
    // "当前活动ASIO音频设备数量[%d] 总共%d个音频输出设备"
    DebugTrace("\xb5\xb1\xc7\xb0\xbb\xee\xb6\xaf" "ASIO\xd2\xf4\xc6\xb5\xc9\xe8\xb1\xb8\xca\xfd\xc1\xbf[%d] \xd7\xdc\xb9\xb2"
               "%d\xb8\xf6\xd2\xf4\xc6\xb5\xca\xe4\xb3\xf6\xc9\xe8\xb1\xb8",
               running, static_cast<int>(m_devices->Render().size()));
    if (running == 0 && (capturing == 0 || m_buffers->inputs.empty())) {
        stopDevices();
        DebugTrace("CTelvaraDriver::start no device could be started\n");
        throw Failure{ASE_NotPresent, DriverTexts::kCannotOpenPorts};
    }
    CStreamEngine::Setup setup;
    setup.devices = m_devices.get();
    setup.buffers = m_buffers.get();
    setup.sampleRate = m_sampleRate;
    setup.requestsInFlight = m_requestsInFlight;
    setup.requestUnit = m_requestUnit;
    setup.live.volume = m_volume;
    setup.live.delayMs = m_delaysMs;
    setup.timeCodeRead = m_timeCodeRead;
    setup.asioTime = m_asioTime;
    setup.announceRateChange = announceRateChange;
    setup.reportEvent = ControlThread::ReportEvent();
    setup.position = &m_position;
    setup.drift = m_drift;
    auto engine = std::make_unique<CStreamEngine>(setup);
    if (!engine->Prepare()) {
        stopDevices();
        throw Failure{ASE_NoMemory, nullptr};
    }
    // What the stream goes without, taken before it runs (this allocates).
    try {
        m_arrivals.Begin(m_devices->Reports());
    } catch (const std::bad_alloc&) {
        stopDevices();
        throw Failure{ASE_NoMemory, nullptr};
    }
    // The flags went to the engine; they are reported once.
    m_asioTime.timeInfo.flags &= ~static_cast<unsigned long>(kSampleRateChanged | kClockSourceChanged);
    m_position.Publish(0, 0);
    // In place before the thread runs: the host may stop from its very
    // first callback (that waits for this lock).
    m_engine = std::move(engine);
    g_pStreamingDriver = this;
    m_engine->Prime();
    if (!m_engine->Launch()) {
        m_engine.reset();
        m_arrivals.End();
        g_pStreamingDriver = nullptr;
        stopDevices();
        throw Failure{ASE_NotPresent, nullptr};
    }
    // A configured device left out: the control thread looks for it while
    // the stream runs.
    if (HANDLE report = ControlThread::ReportEvent(); report && m_arrivals.Awaits(false)) {
        SetEvent(report);
    }
}

void CTelvaraDriver::endStream()
{
    const auto stopPins = [this] {
        m_devices->SetCaptureState(KSSTATE_STOP);
        m_devices->SetRenderState(KSSTATE_STOP);
    };
    bool onEngineThread = false;
    {
        DeviceLock lock;
        if (!m_engine) {
            return;
        }
        // Out of "running" and into "retired" in one step: whichever thread
        // comes next finds it there and joins it before it touches devices.
        m_engine->RequestStop();
        onEngineThread = m_engine->OnEngineThread();
        m_retired.push_back(std::move(m_engine));
        m_arrivals.End();
        if (g_pStreamingDriver == this) {
            g_pStreamingDriver = nullptr;
        }
        // Inside the host's callback the engine asks nothing more of the
        // pins once the callback returns: they stop now.
        if (onEngineThread) {
            stopPins();
        }
    }
    joinRetired();
    if (!onEngineThread) {
        // The engine has ended: no request of its can reach a stopped pin.
        // What the pins still hold comes back now, by one deadline, so that
        // nothing of this stream stays with a device. (Inside the host's
        // callback that waits for the next start or the close instead.)
        DeviceLock lock;
        if (m_devices && !m_engine) {
            stopPins();
            m_devices->TakeBackAll();
        }
    }
}

void CTelvaraDriver::joinRetired()
{
    // Each retired engine is taken out under the lock by the one thread that
    // joins it; an engine whose thread is this one is left for later.
    std::vector<std::unique_ptr<CStreamEngine>> joining;
    {
        DeviceLock lock;
        for (auto& engine : m_retired) {
            if (!engine->OnEngineThread()) {
                joining.push_back(std::move(engine));
            }
        }
        m_retired.erase(std::remove(m_retired.begin(), m_retired.end(), nullptr), m_retired.end());
    }
    for (auto& engine : joining) {
        engine->Join();
        DeviceLock lock;
        engine->ReportNews();
    }
}

ASIOError CTelvaraDriver::stop()
{
    const HostCallOrder order(m_hostCalls);
    const StartsHeld held(m_startsHeld);
    DebugTrace("CTelvaraDriver::stop Enter\n");
    if (!m_engine) {
        return ASE_NotPresent;
    }
    const ASIOError result = AtTheEdge("stop", [this]() -> ASIOError {
        endStream();
        return ASE_OK;
    });
    DebugTrace("CTelvaraDriver::stop Leave\n");
    return result;
}

void CTelvaraDriver::postLive()
{
    if (m_engine) {
        LiveSettings live;
        live.volume = m_volume;
        live.delayMs = m_delaysMs;
        m_engine->PostLive(live);
    }
}

void CTelvaraDriver::SetVolume(float volume)
{
    m_volume = SettingsLimits::Volume(volume);
    postLive();
}

void CTelvaraDriver::SetOutputDelays(const std::map<std::string, float>& factors)
{
    if (!m_devices) {
        return;
    }
    const auto& endpoints = m_devices->Render();
    for (size_t i = 0; i < endpoints.size() && i < m_delaysMs.size(); ++i) {
        const auto found = factors.find(endpoints[i]->Name());
        if (found != factors.end()) {
            m_delaysMs[i] = DelayMsOfFactor(found->second);
        }
    }
    postLive();
}

void CTelvaraDriver::ReportStreamNews()
{
    if (m_engine) {
        m_engine->ReportNews();
    }
}

DeviceLook CTelvaraDriver::AwaitedDevices()
{
    return m_engine ? m_arrivals.Awaited(m_engine->DroppedDevices() > 0) : DeviceLook{};
}

void CTelvaraDriver::TakeUpPresentDevices(const DeviceLook& present)
{
    AwaitedDevice back;
    if (m_engine && m_arrivals.TakeUp(present, back)) {
        // Asked before it is traced: whoever acts on the line finds the
        // request there.
        m_engine->RequestReset();
        DebugTrace("CTelvaraDriver: %s device %s arrived: the host is asked for a reset\n",
                   back.direction == StreamDirection::Render ? "render" : "capture", back.name.c_str());
    }
}

int CTelvaraDriver::CopyDriftFigures(TelvaraDriftFigure* figures, int capacity) const
{
    if (!m_engine || !m_devices) {
        return 0;
    }
    std::vector<const CEndpoint*> endpoints;
    for (const auto& endpoint : m_devices->Render()) {
        endpoints.push_back(endpoint.get());
    }
    for (const auto& endpoint : m_devices->Capture()) {
        endpoints.push_back(endpoint.get());
    }
    const int count = static_cast<int>(endpoints.size());
    for (int i = 0; figures && i < std::min(count, capacity); ++i) {
        const CEndpoint& endpoint = *endpoints[static_cast<size_t>(i)];
        const EndpointDriftFigures& drift = endpoint.Drift();
        TelvaraDriftFigure& figure = figures[i];
        figure = TelvaraDriftFigure{};
        const size_t length = std::min(endpoint.Name().size(), sizeof figure.device - 1);
        std::memcpy(figure.device, endpoint.Name().data(), length);
        figure.role = drift.role.load();
        figure.resampling = drift.resampling.load() ? 1 : 0;
        figure.ratePpm = drift.ratePpm.load();
        figure.ratio = drift.ratio.load();
        figure.queuedFrames = drift.queuedFrames.load();
        figure.offsetFrames = drift.offsetFrames.load();
        figure.resyncs = drift.resyncs.load();
        figure.skippedBlocks = endpoint.Counters().missedBlocks.load();
        figure.capture = endpoint.Direction() == StreamDirection::Capture ? 1 : 0;
    }
    return count;
}

ASIOError CTelvaraDriver::getChannels(long* numInputChannels, long* numOutputChannels)
{
    const HostCallOrder order(m_hostCalls);
    DebugTrace("CTelvaraDriver::getChannels\n");
    if (!numInputChannels || !numOutputChannels) {
        return ASE_InvalidParameter;
    }
    *numInputChannels = m_devices ? m_devices->InputChannels() : 0;
    *numOutputChannels = m_devices ? m_devices->OutputChannels() : 0;
    return ASE_OK;
}

int64_t CTelvaraDriver::longestDelayFrames() const
{
    int64_t longest = 0;
    if (m_devices) {
        const auto& endpoints = m_devices->Render();
        for (size_t i = 0; i < endpoints.size() && i < m_delaysMs.size(); ++i) {
            longest = std::max(longest, DelayFrames(m_delaysMs[i], m_sampleRate, endpoints[i]->Channels()));
        }
    }
    return longest;
}

ASIOError CTelvaraDriver::getLatencies(long* inputLatency, long* outputLatency)
{
    const HostCallOrder order(m_hostCalls);
    if (!inputLatency || !outputLatency) {
        return ASE_InvalidParameter;
    }
    // In samples. A block is read whole before the host sees it; the blocks
    // in flight stand between the host's output and the device, and the
    // latest device's delay line after them; the devices add their own
    // buffering where they report it. A setting other than 0 wins.
    DeviceLock lock;
    const int32_t captureBuffering = m_devices ? m_devices->LongestReportedLatency(StreamDirection::Capture) : 0;
    const int32_t renderBuffering = m_devices ? m_devices->LongestReportedLatency(StreamDirection::Render) : 0;
    *inputLatency = m_inputLatency != 0 ? m_inputLatency : m_blockFrames + captureBuffering;
    *outputLatency = m_outputLatency != 0 ? m_outputLatency
                                          : static_cast<long>(m_requestsInFlight * m_blockFrames + renderBuffering +
                                                              longestDelayFrames());
    return ASE_OK;
}

ASIOError CTelvaraDriver::getBufferSize(long* minSize, long* maxSize, long* preferredSize, long* granularity)
{
    if (!minSize || !maxSize || !preferredSize || !granularity) {
        return ASE_InvalidParameter;
    }
    DebugTrace("CTelvaraDriver::getBufferSize minSize=%d maxSize=%d preferredSize=%d granularity=%d\n",
               static_cast<int>(*minSize), static_cast<int>(*maxSize), static_cast<int>(*preferredSize),
               static_cast<int>(*granularity));
    *minSize = *maxSize = *preferredSize = m_blockFrames;
    *granularity = -1;
    return ASE_OK;
}

ASIOError CTelvaraDriver::canSampleRate(ASIOSampleRate sampleRate)
{
    const HostCallOrder order(m_hostCalls);
    DebugTrace("CTelvaraDriver::canSampleRate %d\n", static_cast<int>(sampleRate));
    if (!SettingsLimits::IsSupportedSampleRate(sampleRate)) {
        return ASE_NoClock;
    }
    // A rate some open device cannot take would leave it out; the rate the
    // devices are open at is theirs whatever their ranges claim.
    DeviceLock lock;
    if (sampleRate != m_sampleRate && m_devices && !m_devices->OpenDevicesTake(sampleRate)) {
        return ASE_NoClock;
    }
    return ASE_OK;
}

ASIOError CTelvaraDriver::getSampleRate(ASIOSampleRate* sampleRate)
{
    if (!sampleRate) {
        return ASE_InvalidParameter;
    }
    DebugTrace("CTelvaraDriver::getSampleRate %d\n", static_cast<int>(m_sampleRate));
    *sampleRate = m_sampleRate;
    return ASE_OK;
}

ASIOError CTelvaraDriver::setSampleRate(ASIOSampleRate sampleRate)
{
    const HostCallOrder order(m_hostCalls);
    const StartsHeld held(m_startsHeld);
    DebugTrace("CTelvaraDriver::setSampleRate %d\n", static_cast<int>(sampleRate));
    if (canSampleRate(sampleRate) != ASE_OK) {
        return ASE_NoClock;
    }
    if (sampleRate == m_sampleRate) {
        return ASE_OK;
    }
    std::string box;
    const ASIOError result = AtTheEdge("setSampleRate", [this, sampleRate, &box]() -> ASIOError {
        // A running stream ends first (the devices are closed and reopened
        // underneath) and resumes at the new rate; its engine tells the host
        // from its own thread, never inside this call.
        const bool wasRunning = m_engine != nullptr;
        endStream();
        const double oldRate = m_sampleRate;
        DeviceLock lock;
        m_sampleRate = sampleRate;
        closeDevices();
        if (!openDevices()) {
            // The devices cannot run at that rate: back to the one they can.
            m_sampleRate = oldRate;
            closeDevices();
            if (openDevices() && wasRunning) {
                startStream(false, box);
            }
            return ASE_NoClock;
        }
        m_asioTime.timeInfo.flags |= kSampleRateChanged;
        m_asioTime.timeInfo.sampleRate = sampleRate;
        // "设置采样率:%d,块大小%d"
        DebugTrace("\xc9\xe8\xd6\xc3\xb2\xc9\xd1\xf9\xc2\xca:%d,\xbf\xe9\xb4\xf3\xd0\xa1%d\n",
                   static_cast<int>(m_sampleRate), static_cast<int>(m_blockFrames));
        if (wasRunning && m_buffers) {
            startStream(true, box);
        }
        return ASE_OK;
    });
    if (!box.empty()) {
        ShowMessageBox(box.c_str(), kStartBoxCaption, MB_OK);
    }
    // The resumed stream tells the host of the new rate, never inside this
    // call of the host's.
    if (m_engine) {
        m_engine->AllowAnnouncement();
    }
    return result;
}

ASIOError CTelvaraDriver::getClockSources(ASIOClockSource* clocks, long* numSources)
{
    if (!clocks || !numSources) {
        return ASE_InvalidParameter;
    }
    clocks->index = 0;
    clocks->associatedChannel = -1;
    clocks->associatedGroup = -1;
    clocks->isCurrentSource = ASIOTrue;
    std::snprintf(clocks->name, sizeof clocks->name, "Computer");
    *numSources = 1;
    return ASE_OK;
}

ASIOError CTelvaraDriver::setClockSource(long reference)
{
    const HostCallOrder order(m_hostCalls);
    if (reference != 0) {
        return ASE_NotPresent;
    }
    m_asioTime.timeInfo.flags |= kClockSourceChanged;
    if (m_engine) {
        m_engine->PostTimeInfoFlags(kClockSourceChanged);
    }
    return ASE_OK;
}

ASIOError CTelvaraDriver::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp)
{
    if (!sPos || !tStamp) {
        return ASE_InvalidParameter;
    }
    // Lock-free: hosts ask from inside their callback.
    m_position.Read(sPos, tStamp);
    return ASE_OK;
}

ASIOError CTelvaraDriver::getChannelInfo(ASIOChannelInfo* info)
{
    const HostCallOrder order(m_hostCalls);
    DebugTrace("CTelvaraDriver::getChannelInfo\n");
    if (!info) {
        return ASE_InvalidParameter;
    }
    const long limit = !m_devices ? 0 : info->isInput ? m_devices->InputChannels() : m_devices->OutputChannels();
    if (info->channel < 0 || info->channel >= limit) {
        return ASE_InvalidParameter;
    }
    info->type = AsioTypeOf(m_hostSampleType);
    info->isActive = ASIOFalse;
    // Every channel has its name: hosts list the names before they create
    // buffers.
    const char* prefix = info->isInput ? "TELVARA input" : "TELVARA output";
    std::snprintf(info->name, sizeof info->name, "%s %d", prefix, static_cast<int>(info->channel + 1));
    DeviceLock lock;
    const bool active = m_buffers ? m_buffers->IsActive(info->isInput != ASIOFalse, info->channel)
                                  // Before createBuffers the first 16 inputs read as active, as
                                  // hosts of this driver have always seen them.
                                  : info->isInput && info->channel < 16;
    if (active) {
        info->isActive = ASIOTrue;
    }
    return ASE_OK;
}

ASIOError CTelvaraDriver::createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                                        ASIOCallbacks* callbacks)
{
    const HostCallOrder order(m_hostCalls);
    const StartsHeld held(m_startsHeld);
    DebugTrace("CTelvaraDriver::createBuffers\n");
    // A second call without disposeBuffers would lose the first buffers.
    if (m_buffers) {
        disposeBuffers();
    }
    return AtTheEdge("createBuffers", [&]() -> ASIOError {
        if (!callbacks || !callbacks->asioMessage || (numChannels > 0 && !bufferInfos) ||
            bufferSize < SettingsLimits::kSmallestBlockFrames || bufferSize > SettingsLimits::kLargestBlockFrames) {
            return ASE_InvalidParameter;
        }
        // One buffer per channel the driver reports, at most.
        // In the host's sample form: 2, 3 or 4 bytes a sample.
        auto buffers = std::make_unique<HostBuffers>(static_cast<int32_t>(bufferSize),
                                                     m_devices ? m_devices->InputChannels() : 0,
                                                     m_devices ? m_devices->OutputChannels() : 0,
                                                     HostFormatOf(m_hostSampleType));
        for (long i = 0; i < numChannels; ++i) {
            ASIOBufferInfo& info = bufferInfos[i];
            uint8_t* buffer = buffers->Add(info.isInput != ASIOFalse, static_cast<int32_t>(info.channelNum));
            if (!buffer) {
                return ASE_InvalidParameter;
            }
            info.buffers[0] = buffer;
            info.buffers[1] = buffer + buffers->HalfBytes();
        }
        m_blockFrames = static_cast<int32_t>(bufferSize);
        buffers->callbacks = callbacks;
        buffers->timeInfoMode = callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0;
        if (buffers->timeInfoMode) {
            m_asioTime = {};
            m_asioTime.timeInfo.speed = 1.0;
            m_asioTime.timeInfo.sampleRate = m_sampleRate;
            m_asioTime.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
            m_asioTime.timeCode.speed = 1.0;
            m_asioTime.timeCode.flags = kTcValid | kTcRunning;
        }
        DeviceLock lock;
        m_buffers = std::move(buffers);
        return ASE_OK;
    });
}

ASIOError CTelvaraDriver::disposeBuffers()
{
    const HostCallOrder order(m_hostCalls);
    const StartsHeld held(m_startsHeld);
    // The engine reads the buffers on its own thread: it ends first. From
    // inside the host's callback it no longer reads them once that returns.
    endStream();
    DebugTrace("CTelvaraDriver::disposeBuffers\n");
    // Under the lock: from inside the callback this runs beside the host's
    // own thread.
    DeviceLock lock;
    m_buffers.reset();
    return ASE_OK;
}

ASIOError CTelvaraDriver::controlPanel()
{
    DebugTrace("CTelvaraDriver::controlPanel\n");
    ShowPanel();
    return ASE_OK;
}

ASIOError CTelvaraDriver::future(long selector, void* /*opt*/)
{
    const HostCallOrder order(m_hostCalls);
    switch (selector) {
    case kAsioEnableTimeCodeRead:
    case kAsioDisableTimeCodeRead:
        m_timeCodeRead = selector == kAsioEnableTimeCodeRead;
        if (m_engine) {
            m_engine->SetTimeCodeRead(m_timeCodeRead);
        }
        return ASE_SUCCESS;
    case kAsioCanTimeInfo:
    case kAsioCanTimeCode:
        return ASE_SUCCESS;
    case kAsioSetInputMonitor:
    case kAsioCanInputMonitor:
        // Nothing routes an input to the outputs here: a host that believed
        // it did would turn its own monitoring off, and the user would hear
        // nothing.
    default:
        return ASE_NotPresent;
    }
}

ASIOError CTelvaraDriver::outputReady()
{
    return ASE_NotPresent;
}

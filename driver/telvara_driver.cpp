// The settings (POCO) come first: they bring winsock2 before windows.h.
#include "settings_file.h"
#include "telvara_driver.h"

#include "asio_audio_device.h"
#include "control_thread.h"
#include "debug_trace.h"
#include "driver_lock.h"
#include "driver_texts.h"
#include "host_buffers.h"
#include "message_box.h"
#include "panel_link.h"
#include "stream_engine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

namespace {

constexpr const char* kDriverName = "TELVARA";
constexpr long kLargestBufferSize = 65536;

bool IsSupportedRate(ASIOSampleRate rate)
{
    return rate == 8000.0 || rate == 16000.0 || rate == 32000.0 || rate == 44100.0 || rate == 48000.0;
}

}  // namespace

CTelvaraDriver::CTelvaraDriver(IUnknown* pUnkOuter)
    : CUnknown(kDriverName, pUnkOuter),
      m_pDevice(nullptr),
      m_blockFrames(512),
      m_volume(1.0f),
      m_sampleRate(44100.0),
      m_inputLatency(0),
      m_outputLatency(0),
      m_asioTime{},
      m_initialized(false),
      m_timeCodeRead(false),
      m_errorMessage{},
      m_lastPosition{},
      m_lastStamp{}
{
    // Inside a host a settings failure must not end the host's process: the
    // device set goes on with defaults and init reports the failure.
    m_pDevice = new AsioAudioDevice(SettingsFailureAction::Continue);
    const DriverSettings* settings = m_pDevice->settings;
    m_sampleRate = m_pDevice->sampleRate;
    m_blockFrames = settings->blockFrames;
    m_inputLatency = settings->inputLatency;
    m_outputLatency = settings->outputLatency;
    m_requestsInFlight = settings->requestsInFlight;
    m_volume = CStreamEngine::SaneVolume(settings->volume);
}

CTelvaraDriver::~CTelvaraDriver()
{
    endStream();
    {
        DeviceLock lock;
        if (g_pCurrentDriver == this) {
            g_pCurrentDriver = nullptr;
        }
        outputClose();
        inputClose();
    }
    m_buffers.reset();
    if (m_retired && m_retired->OnEngineThread()) {
        // Released inside the host's callback: the engine thread ends by
        // itself once the callback returns and takes the engine with it.
        m_retired.release()->HandOverToThread();
    }
    joinRetired();
    if (m_initialized) {
        StopControlThread();
    }
    delete m_pDevice;
    PanelLinkDriverDestroyed();
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

ASIOBool CTelvaraDriver::init(void* /*sysHandle*/)
{
    DebugTrace("CTelvaraDriver::init Enter\n");
    if (m_initialized) {
        return ASIOTrue;
    }
    const SettingsFile& settingsFile = GetSettingsFile();
    if (!settingsFile.IsUsable()) {
        // The settings could not be created or read: the user has seen the
        // reason in a message box; the host gets it as the error text.
        DriverTexts::CopyWholeGbk(m_errorMessage, sizeof m_errorMessage, settingsFile.GetFailureText().c_str());
        DebugTrace("CTelvaraDriver::init Leave\n");
        return ASIOFalse;
    }
    bool opened = false;
    bool anyChannel = false;
    {
        DeviceLock lock;
        m_pDevice->EnumerateFilters();
        inputOpen();
        opened = outputOpen();
        if (!opened) {
            anyChannel = m_pDevice->outputChannels >= 1 || m_pDevice->inputChannels >= 1;
            outputClose();
            inputClose();
        }
    }
    if (opened) {
        StartControlThread();
        m_initialized = true;
        DebugTrace("CTelvaraDriver::init Leave\n");
        return ASIOTrue;
    }
    DriverTexts::CopyWholeGbk(m_errorMessage, sizeof m_errorMessage,
                 anyChannel ? DriverTexts::kCannotOpenPorts : DriverTexts::kNoAudioDevice);
    DebugTrace("CTelvaraDriver::init Leave\n");
    return ASIOFalse;
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

void CTelvaraDriver::inputOpen()
{
    // The driver runs without inputs when none opens.
    m_pDevice->inputChannels = 0;
    m_pDevice->OpenCaptureDevices();
}

bool CTelvaraDriver::outputOpen()
{
    DebugTrace("CTelvaraDriver::outputOpen\n");
    return m_pDevice->OpenRenderDevices();
}

void CTelvaraDriver::inputClose()
{
    m_pDevice->CloseCaptureDevices();
}

void CTelvaraDriver::outputClose()
{
    DebugTrace("CTelvaraDriver::outputClose\n");
    // Closing takes every request back from the pins.
    m_pDevice->CloseRenderDevices();
}

DWORD CTelvaraDriver::captureWaitMs() const
{
    // InputLatency is in samples, as the host sees it. The device sets the
    // pace: a read that is a little late is waited for rather than handed to
    // the host as silence (at least two blocks, and at least 100 ms).
    const double rate = m_sampleRate > 0 ? m_sampleRate : 44100.0;
    const double settingMs = 1000.0 * std::max(m_inputLatency, 0) / rate;
    const double floorMs = std::max(2.0 * 1000.0 * m_blockFrames / rate, 100.0);
    return static_cast<DWORD>(std::ceil(std::max(settingMs, floorMs)));
}

ASIOError CTelvaraDriver::start()
{
    DebugTrace("CTelvaraDriver::start Enter\n");
    if (!m_buffers) {
        DebugTrace("CTelvaraDriver::start Leave\n");
        return ASE_NotPresent;
    }
    if (m_engine) {
        DebugTrace("CTelvaraDriver::start Leave\n");
        return ASE_OK;
    }
    joinRetired();
    DeviceLock lock;
    if (g_pStreamingDriver && g_pStreamingDriver != this) {
        // One stream per process: the devices are opened once, by the first.
        DebugTrace("CTelvaraDriver::start refused: another driver object of this process is streaming\n");
        DriverTexts::CopyWholeGbk(m_errorMessage, sizeof m_errorMessage, DriverTexts::kAlreadyStreaming);
        return ASE_NotPresent;
    }
    if (!m_pDevice->HasRenderDevices()) {
        outputOpen();
    }
    if (!m_pDevice->HasCaptureDevices()) {
        inputOpen();
    }
    // Render pins run once the engine has queued their first blocks: a pin
    // that ran meanwhile would play into a gap between the first two.
    m_pDevice->SetRenderState(KSSTATE_PAUSE);
    const int32_t captureResult = m_pDevice->SetCaptureState(KSSTATE_RUN);
    const auto stopDevices = [this] {
        m_pDevice->SetCaptureState(KSSTATE_STOP);
        m_pDevice->SetRenderState(KSSTATE_STOP);
    };
    if (captureResult < 0) {
        stopDevices();
        char text[256];
        // "设置输入设备运行状态失败"
        std::snprintf(text, sizeof text, "Error: %s. hr = 0x%08x/n/n",
                      "\xc9\xe8\xd6\xc3\xca\xe4\xc8\xeb\xc9\xe8\xb1\xb8\xd4\xcb\xd0\xd0\xd7\xb4\xcc\xac\xca\xa7\xb0\xdc",
                      static_cast<unsigned>(captureResult));
        ShowMessageBox(text, "ASIO IAudio I/O Driver", MB_OK);
        DebugTrace("CTelvaraDriver::start Leave\n");
        return ASE_NotPresent;
    }
    const int running = m_pDevice->CountActiveRenderDevices();
    const int capturing = m_pDevice->CountActiveCaptureDevices();
    // "当前活动ASIO音频设备数量[%d] 总共%d个音频输出设备"
    DebugTrace("\xb5\xb1\xc7\xb0\xbb\xee\xb6\xaf" "ASIO\xd2\xf4\xc6\xb5\xc9\xe8\xb1\xb8\xca\xfd\xc1\xbf[%d] \xd7\xdc\xb9\xb2"
               "%d\xb8\xf6\xd2\xf4\xc6\xb5\xca\xe4\xb3\xf6\xc9\xe8\xb1\xb8",
               running, m_pDevice->renderDeviceCount);
    if (running == 0 && (capturing == 0 || m_buffers->inputCount == 0)) {
        stopDevices();
        DebugTrace("CTelvaraDriver::start no device could be started\n");
        DriverTexts::CopyWholeGbk(m_errorMessage, sizeof m_errorMessage, DriverTexts::kCannotOpenPorts);
        DebugTrace("CTelvaraDriver::start Leave\n");
        return ASE_NotPresent;
    }
    CStreamEngine::Setup setup;
    setup.device = m_pDevice;
    setup.buffers = m_buffers.get();
    setup.sampleRate = m_sampleRate;
    setup.volume = m_volume;
    setup.captureWaitMs = captureWaitMs();
    setup.requestsInFlight = m_requestsInFlight;
    setup.timeCodeRead = m_timeCodeRead;
    setup.asioTime = m_asioTime;
    std::unique_ptr<CStreamEngine> engine(new (std::nothrow) CStreamEngine(setup));
    if (!engine || !engine->Prepare()) {
        stopDevices();
        DebugTrace("CTelvaraDriver::start Leave\n");
        return ASE_NoMemory;
    }
    // The flags went to the engine; they are reported once.
    m_asioTime.timeInfo.flags &= ~static_cast<unsigned long>(kSampleRateChanged | kClockSourceChanged);
    // In place before the thread runs: the host may stop from its very
    // first callback (that waits for this lock).
    m_engine = std::move(engine);
    g_pStreamingDriver = this;
    g_pCurrentDriver = this;
    if (!m_engine->Launch()) {
        m_engine.reset();
        g_pStreamingDriver = nullptr;
        stopDevices();
        DebugTrace("CTelvaraDriver::start Leave\n");
        return ASE_NotPresent;
    }
    DebugTrace("CTelvaraDriver::start Leave\n");
    return ASE_OK;
}

void CTelvaraDriver::endStream()
{
    std::unique_ptr<CStreamEngine> engine;
    {
        DeviceLock lock;
        if (!m_engine) {
            return;
        }
        engine = std::move(m_engine);
        if (g_pStreamingDriver == this) {
            g_pStreamingDriver = nullptr;
        }
        engine->RequestStop();
        m_pDevice->SetCaptureState(KSSTATE_STOP);
        m_pDevice->SetRenderState(KSSTATE_STOP);
    }
    if (engine->OnEngineThread()) {
        // Inside the host's callback: the engine touches nothing of ours
        // once the callback returns; it is joined later.
        engine->ReleaseBlocks();
        engine->Position(&m_lastPosition, &m_lastStamp);
        joinRetired();
        m_retired = std::move(engine);
        return;
    }
    engine->Join();
    engine->Position(&m_lastPosition, &m_lastStamp);
}

void CTelvaraDriver::joinRetired()
{
    if (m_retired && !m_retired->OnEngineThread()) {
        m_retired->Join();
        m_retired.reset();
    }
}

ASIOError CTelvaraDriver::stop()
{
    DebugTrace("CTelvaraDriver::stop Enter\n");
    if (!m_engine) {
        return ASE_NotPresent;
    }
    endStream();
    DebugTrace("CTelvaraDriver::stop Leave\n");
    return ASE_OK;
}

void CTelvaraDriver::SetVolume(float volume)
{
    m_volume = CStreamEngine::SaneVolume(volume);
    if (m_engine) {
        m_engine->PostVolume(m_volume);
    }
}

void CTelvaraDriver::RequestReprime()
{
    if (m_engine) {
        m_engine->PostReprime();
    }
}

ASIOError CTelvaraDriver::getChannels(long* numInputChannels, long* numOutputChannels)
{
    DebugTrace("CTelvaraDriver::getChannels\n");
    if (!numInputChannels || !numOutputChannels) {
        return ASE_InvalidParameter;
    }
    *numInputChannels = m_pDevice->inputChannels;
    *numOutputChannels = m_pDevice->outputChannels;
    return ASE_OK;
}

ASIOError CTelvaraDriver::getLatencies(long* inputLatency, long* outputLatency)
{
    if (!inputLatency || !outputLatency) {
        return ASE_InvalidParameter;
    }
    // In samples. A block is read whole before the host sees it; the blocks
    // in flight stand between the host's output and the device; the devices
    // add their own buffering where they report it. A setting other than 0
    // wins. The device tables belong to the host's thread, this one.
    *inputLatency = m_inputLatency != 0 ? m_inputLatency : m_blockFrames + m_pDevice->LongestPinLatencyFrames(false);
    *outputLatency = m_outputLatency != 0
                         ? m_outputLatency
                         : m_requestsInFlight * m_blockFrames + m_pDevice->LongestPinLatencyFrames(true);
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
    DebugTrace("CTelvaraDriver::canSampleRate %d\n", static_cast<int>(sampleRate));
    return IsSupportedRate(sampleRate) ? ASE_OK : ASE_NoClock;
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
    DebugTrace("CTelvaraDriver::setSampleRate %d\n", static_cast<int>(sampleRate));
    if (canSampleRate(sampleRate) != ASE_OK) {
        return ASE_NoClock;
    }
    if (sampleRate == m_sampleRate) {
        return ASE_OK;
    }
    // A running stream ends first: the devices are closed and reopened
    // underneath, and the engine must not touch them meanwhile.
    endStream();
    joinRetired();
    m_asioTime.timeInfo.flags |= kSampleRateChanged;
    m_sampleRate = sampleRate;
    m_asioTime.timeInfo.sampleRate = sampleRate;
    bool opened = false;
    {
        DeviceLock lock;
        m_pDevice->sampleRate = sampleRate;
        inputClose();
        outputClose();
        inputOpen();
        opened = outputOpen();
    }
    if (!opened) {
        return ASE_NoClock;
    }
    // "设置采样率:%d,块大小%d"
    DebugTrace("\xc9\xe8\xd6\xc3\xb2\xc9\xd1\xf9\xc2\xca:%d,\xbf\xe9\xb4\xf3\xd0\xa1%d\n", static_cast<int>(m_sampleRate),
               static_cast<int>(m_blockFrames));
    if (m_buffers && m_buffers->callbacks->sampleRateDidChange) {
        m_buffers->callbacks->sampleRateDidChange(m_sampleRate);
    }
    return ASE_OK;
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
    if (m_engine) {
        m_engine->Position(sPos, tStamp);
    } else {
        *sPos = m_lastPosition;
        *tStamp = m_lastStamp;
    }
    return ASE_OK;
}

ASIOError CTelvaraDriver::getChannelInfo(ASIOChannelInfo* info)
{
    DebugTrace("CTelvaraDriver::getChannelInfo\n");
    if (!info) {
        return ASE_InvalidParameter;
    }
    const long limit = info->isInput ? m_pDevice->inputChannels : m_pDevice->outputChannels;
    if (info->channel < 0 || info->channel >= limit) {
        return ASE_InvalidParameter;
    }
    info->type = ASIOSTInt16LSB;
    info->isActive = ASIOFalse;
    // Every channel has its name: hosts list the names before they create
    // buffers.
    const char* prefix = info->isInput ? "TELVARA input" : "TELVARA output";
    std::snprintf(info->name, sizeof info->name, "%s %d", prefix, static_cast<int>(info->channel + 1));
    if (!m_buffers) {
        // Before createBuffers the first 16 inputs read as active, as hosts
        // of this driver have always seen them.
        if (info->isInput && info->channel < kMaxHostBuffers) {
            info->isActive = ASIOTrue;
        }
        return ASE_OK;
    }
    const int32_t* map = info->isInput ? m_buffers->inputChannels : m_buffers->outputChannels;
    const int32_t count = info->isInput ? m_buffers->inputCount : m_buffers->outputCount;
    for (int32_t i = 0; i < count; ++i) {
        if (map[i] == info->channel) {
            info->isActive = ASIOTrue;
            break;
        }
    }
    return ASE_OK;
}

ASIOError CTelvaraDriver::createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                                        ASIOCallbacks* callbacks)
{
    DebugTrace("CTelvaraDriver::createBuffers\n");
    // A second call without disposeBuffers would lose the first buffers.
    if (m_buffers) {
        disposeBuffers();
    }
    if (!callbacks || !callbacks->asioMessage || (numChannels > 0 && !bufferInfos) || bufferSize <= 0 ||
        bufferSize > kLargestBufferSize) {
        return ASE_InvalidParameter;
    }
    std::unique_ptr<HostBuffers> buffers(new (std::nothrow) HostBuffers);
    if (!buffers) {
        return ASE_NoMemory;
    }
    buffers->blockFrames = bufferSize;
    bool invalid = false;
    bool outOfMemory = false;
    const size_t samples = 2 * static_cast<size_t>(bufferSize);
    for (long i = 0; i < numChannels; ++i) {
        ASIOBufferInfo& info = bufferInfos[i];
        int16_t** table = info.isInput ? buffers->inputs : buffers->outputs;
        int32_t* map = info.isInput ? buffers->inputChannels : buffers->outputChannels;
        int32_t& count = info.isInput ? buffers->inputCount : buffers->outputCount;
        const long limit = info.isInput ? kMaxHostBuffers : m_pDevice->outputChannels;
        if (info.channelNum < 0 || info.channelNum >= limit || count >= kMaxHostBuffers || count >= limit) {
            invalid = true;
            break;
        }
        map[count] = info.channelNum;
        int16_t* buffer = new (std::nothrow) int16_t[samples]();
        table[count] = buffer;
        info.buffers[0] = buffer;
        info.buffers[1] = buffer ? buffer + bufferSize : nullptr;
        outOfMemory = outOfMemory || !buffer;
        ++count;
    }
    if (invalid || outOfMemory) {
        return invalid ? ASE_InvalidParameter : ASE_NoMemory;
    }
    m_blockFrames = bufferSize;
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
    m_buffers = std::move(buffers);
    return ASE_OK;
}

ASIOError CTelvaraDriver::disposeBuffers()
{
    // The engine reads the buffers on its own thread: it ends first. From
    // inside the host's callback it no longer reads them once that returns.
    endStream();
    joinRetired();
    DebugTrace("CTelvaraDriver::disposeBuffers\n");
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
    switch (selector) {
    case kAsioEnableTimeCodeRead:
    case kAsioDisableTimeCodeRead:
        m_timeCodeRead = selector == kAsioEnableTimeCodeRead;
        if (m_engine) {
            m_engine->SetTimeCodeRead(m_timeCodeRead);
        }
        return ASE_SUCCESS;
    case kAsioSetInputMonitor:
    case kAsioCanInputMonitor:
    case kAsioCanTimeInfo:
    case kAsioCanTimeCode:
        return ASE_SUCCESS;
    default:
        return ASE_NotPresent;
    }
}

ASIOError CTelvaraDriver::outputReady()
{
    return ASE_NotPresent;
}

// The settings (POCO) come first: they bring winsock2 before windows.h.
#include "settings_file.h"
#include "telvara_driver.h"

#include "asio_audio_device.h"
#include "capture_request.h"
#include "control_thread.h"
#include "debug_trace.h"
#include "driver_texts.h"
#include "message_box.h"
#include "panel_link.h"

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
      m_inputCount(0),
      m_outputCount(0),
      m_bufferIndex(0),
      m_samplePosition(0.0),
      m_sampleRate(44100.0),
      m_pCallbacks(nullptr),
      m_asioTime{},
      m_systemTime{},
      m_inputBuffers{},
      m_outputBuffers{},
      m_captureBlocks{},
      m_inputLatency(0),
      m_outputLatency(0),
      m_initialized(false),
      m_started(false),
      m_timeInfoMode(false),
      m_timeCodeRead(false),
      m_errorMessage{}
{
    InitializeCriticalSection(&m_threadLock);
    // Inside a host a settings failure must not end the host's process: the
    // device set goes on with defaults and init reports the failure.
    m_pDevice = new AsioAudioDevice(SettingsFailureAction::Continue);
    const DriverSettings* settings = m_pDevice->settings;
    m_sampleRate = m_pDevice->sampleRate;
    m_blockFrames = settings->blockFrames;
    m_inputLatency = settings->inputLatency;
    m_outputLatency = settings->outputLatency;
    m_volume = settings->volume;
    for (int i = 0; i < kMaxHostBuffers; ++i) {
        m_inputChannelMap[i] = i;
        m_outputChannelMap[i] = i;
    }
}

CTelvaraDriver::~CTelvaraDriver()
{
    stop();
    stopBufferSwitchThread();
    if (g_pCurrentDriver == this) {
        g_pCurrentDriver = nullptr;
    }
    outputClose();
    inputClose();
    disposeBuffers();
    releaseCaptureBlocks();
    if (m_initialized) {
        EnterCriticalSection(&m_threadLock);
        StopControlThread();
        LeaveCriticalSection(&m_threadLock);
    }
    delete m_pDevice;
    ClosePanelWindow();
    DeleteCriticalSection(&m_threadLock);
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
        std::snprintf(m_errorMessage, sizeof m_errorMessage, "%s", settingsFile.GetFailureText().c_str());
        DebugTrace("CTelvaraDriver::init Leave\n");
        return ASIOFalse;
    }
    m_pDevice->EnumerateFilters();
    inputOpen();
    if (outputOpen()) {
        prepareCaptureRequests();
        EnterCriticalSection(&m_threadLock);
        StartControlThread();
        LeaveCriticalSection(&m_threadLock);
        m_initialized = true;
        DebugTrace("CTelvaraDriver::init Leave\n");
        return ASIOTrue;
    }
    stopBufferSwitchThread();
    const bool anyChannel = m_pDevice->outputChannels >= 1 || m_pDevice->inputChannels >= 1;
    std::snprintf(m_errorMessage, sizeof m_errorMessage, "%s",
                  anyChannel ? DriverTexts::kCannotOpenPorts : DriverTexts::kNoAudioDevice);
    outputClose();
    inputClose();
    DebugTrace("CTelvaraDriver::init Leave\n");
    return ASIOFalse;
}

void CTelvaraDriver::prepareCaptureRequests()
{
    for (int i = 0; i < m_pDevice->captureDeviceCount && i < kCaptureRequestCount; ++i) {
        PrepareCaptureRequest(i);
    }
    sizeCaptureBlocks(m_blockFrames);
}

void CTelvaraDriver::sizeCaptureBlocks(int32_t blockFrames)
{
    releaseCaptureBlocks();
    for (int i = 0; i < m_pDevice->captureDeviceCount && i < kMaxCaptureBlocks; ++i) {
        const CaptureDeviceRecord* record = m_pDevice->GetCaptureDevice(i);
        if (!record) {
            continue;
        }
        const size_t bytes = static_cast<size_t>(blockFrames) * record->channels * 2;
        m_captureBlocks[i] = new (std::nothrow) uint8_t[bytes ? bytes : 1]();
    }
}

void CTelvaraDriver::releaseCaptureBlocks()
{
    for (auto& block : m_captureBlocks) {
        delete[] block;
        block = nullptr;
    }
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
    if (string) {
        std::memcpy(string, m_errorMessage, std::strlen(m_errorMessage) + 1);
    }
}

bool CTelvaraDriver::inputOpen()
{
    m_pDevice->inputChannels = 0;
    m_inputCount = m_pDevice->OpenCaptureDevices() ? m_pDevice->inputChannels : 0;
    return true;
}

bool CTelvaraDriver::outputOpen()
{
    DebugTrace("CTelvaraDriver::outputOpen\n");
    return m_pDevice->OpenRenderDevices();
}

void CTelvaraDriver::inputClose()
{
    m_pDevice->CloseCaptureDevices();
    m_inputCount = 0;
}

void CTelvaraDriver::outputClose()
{
    m_started = false;
    DebugTrace("CTelvaraDriver::outputClose\n");
    // Closing takes every request back from the pins; only then may the
    // blocks they read from go.
    m_pDevice->CloseRenderDevices();
    releaseRenderBlocks();
}

ASIOError CTelvaraDriver::start()
{
    if (!m_pCallbacks) {
        DebugTrace("CTelvaraDriver::start Leave\n");
        return ASE_NotPresent;
    }
    DebugTrace("CTelvaraDriver::start Enter\n");
    if (m_started) {
        DebugTrace("CTelvaraDriver::start Leave\n");
        return ASE_OK;
    }
    m_samplePosition = 0.0;
    m_systemTime = {};
    m_bufferIndex = 0;
    if (!m_pDevice->HasRenderDevices()) {
        outputOpen();
    }
    if (!m_pDevice->HasCaptureDevices()) {
        inputOpen();
    }
    m_pDevice->SetRenderState(KSSTATE_RUN);
    const int32_t captureResult = m_pDevice->SetCaptureState(KSSTATE_RUN);
    if (captureResult < 0) {
        char text[256];
        // "设置输入设备运行状态失败"
        std::snprintf(text, sizeof text, "Error: %s. hr = 0x%08x/n/n",
                      "\xc9\xe8\xd6\xc3\xca\xe4\xc8\xeb\xc9\xe8\xb1\xb8\xd4\xcb\xd0\xd0\xd7\xb4\xcc\xac\xca\xa7\xb0\xdc",
                      static_cast<unsigned>(captureResult));
        ShowMessageBox(text, "ASIO IAudio I/O Driver", MB_OK);
        DebugTrace("CTelvaraDriver::start Leave\n");
        return ASE_NotPresent;
    }
    // Blocks and events of an earlier start are made anew for the devices
    // that run now.
    releaseRenderBlocks();
    if (m_pDevice->CountActiveRenderDevices() > 0) {
        // "当前活动ASIO音频设备数量[%d] 总共%d个音频输出设备"
        DebugTrace("\xb5\xb1\xc7\xb0\xbb\xee\xb6\xaf" "ASIO\xd2\xf4\xc6\xb5\xc9\xe8\xb1\xb8\xca\xfd\xc1\xbf[%d] \xd7\xdc\xb9\xb2"
                   "%d\xb8\xf6\xd2\xf4\xc6\xb5\xca\xe4\xb3\xf6\xc9\xe8\xb1\xb8",
                   m_pDevice->activeRenderCount, m_pDevice->renderDeviceCount);
        if (!allocateRenderBlocks()) {
            releaseRenderBlocks();
            DebugTrace("CTelvaraDriver::start Leave\n");
            return ASE_NoMemory;
        }
        primeOutputDelay();
    } else {
        m_pDevice->CountActiveCaptureDevices();
    }
    // The open capture devices or the host's buffer size may have changed
    // since the blocks were made (reopened devices, another createBuffers).
    sizeCaptureBlocks(m_blockFrames);
    m_started = true;
    startBufferSwitchThread();
    DebugTrace("CTelvaraDriver::start Leave\n");
    return ASE_OK;
}

ASIOError CTelvaraDriver::stop()
{
    DebugTrace("CTelvaraDriver::stop Enter\n");
    if (!m_started) {
        return ASE_NotPresent;
    }
    m_started = false;
    m_pDevice->SetCaptureState(KSSTATE_STOP);
    m_pDevice->SetRenderState(KSSTATE_STOP);
    // An engine waiting for the devices' blocks looks at the stop at once.
    for (HANDLE event : m_renderEvents) {
        SetEvent(event);
    }
    stopBufferSwitchThread();
    DebugTrace("CTelvaraDriver::stop Leave\n");
    return ASE_OK;
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
    *inputLatency = m_inputLatency;
    *outputLatency = m_outputLatency;
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
    // A running stream is stopped first: the devices are closed and reopened
    // underneath, and the engine must not touch them meanwhile.
    if (m_started) {
        stop();
    }
    m_asioTime.timeInfo.flags |= kSampleRateChanged;
    m_sampleRate = sampleRate;
    m_asioTime.timeInfo.sampleRate = sampleRate;
    m_pDevice->sampleRate = sampleRate;
    inputClose();
    outputClose();
    inputOpen();
    if (!outputOpen()) {
        return ASE_NoClock;
    }
    // The reopened capture devices read through fresh requests.
    prepareCaptureRequests();
    // "设置采样率:%d,块大小%d"
    std::printf("\n\xc9\xe8\xd6\xc3\xb2\xc9\xd1\xf9\xc2\xca:%d,\xbf\xe9\xb4\xf3\xd0\xa1%d", static_cast<int>(m_sampleRate),
                static_cast<int>(m_blockFrames));
    std::fflush(stdout);
    if (m_pCallbacks && m_pCallbacks->sampleRateDidChange) {
        m_pCallbacks->sampleRateDidChange(m_sampleRate);
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
    return ASE_OK;
}

ASIOError CTelvaraDriver::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp)
{
    if (!sPos || !tStamp) {
        return ASE_InvalidParameter;
    }
    const auto position = static_cast<uint64_t>(m_samplePosition);
    sPos->hi = static_cast<unsigned long>(position >> 32);
    sPos->lo = static_cast<unsigned long>(position & 0xffffffffu);
    *tStamp = m_systemTime;
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
    const int32_t* map = info->isInput ? m_inputChannelMap : m_outputChannelMap;
    const int32_t count = info->isInput ? m_inputCount : m_outputCount;
    for (int32_t i = 0; i < count && i < kMaxHostBuffers; ++i) {
        if (map[i] == info->channel) {
            info->isActive = ASIOTrue;
            std::snprintf(info->name, sizeof info->name, "%s %d", info->isInput ? "TELVARA input" : "TELVARA output",
                          static_cast<int>(info->channel + 1));
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
    if (m_pCallbacks) {
        disposeBuffers();
    }
    if (!callbacks || !callbacks->asioMessage || (numChannels > 0 && !bufferInfos) || bufferSize <= 0 ||
        bufferSize > kLargestBufferSize) {
        return ASE_InvalidParameter;
    }
    m_blockFrames = bufferSize;
    m_inputCount = 0;
    m_outputCount = 0;
    bool invalid = false;
    bool outOfMemory = false;
    const size_t samples = 2 * static_cast<size_t>(bufferSize);
    for (long i = 0; i < numChannels && !invalid; ++i) {
        ASIOBufferInfo& info = bufferInfos[i];
        int16_t** table = info.isInput ? m_inputBuffers : m_outputBuffers;
        int32_t* map = info.isInput ? m_inputChannelMap : m_outputChannelMap;
        int32_t& count = info.isInput ? m_inputCount : m_outputCount;
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
        disposeBuffers();
        return invalid ? ASE_InvalidParameter : ASE_NoMemory;
    }
    m_pCallbacks = callbacks;
    m_timeInfoMode = callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0;
    if (m_timeInfoMode) {
        m_asioTime = {};
        m_asioTime.timeInfo.speed = 1.0;
        m_asioTime.timeInfo.sampleRate = m_sampleRate;
        m_asioTime.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
        m_asioTime.timeCode.speed = 1.0;
        m_asioTime.timeCode.flags = kTcValid | kTcRunning;
    }
    return ASE_OK;
}

ASIOError CTelvaraDriver::disposeBuffers()
{
    if (m_started) {
        // The engine reads the buffers on its own thread: stop it first.
        stop();
    }
    m_pCallbacks = nullptr;
    DebugTrace("CTelvaraDriver::disposeBuffers\n");
    for (int32_t i = 0; i < m_inputCount; ++i) {
        delete[] m_inputBuffers[i];
        m_inputBuffers[i] = nullptr;
    }
    for (int32_t i = 0; i < m_outputCount; ++i) {
        delete[] m_outputBuffers[i];
        m_outputBuffers[i] = nullptr;
    }
    m_inputCount = 0;
    m_outputCount = 0;
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
        m_timeCodeRead = true;
        return ASE_SUCCESS;
    case kAsioDisableTimeCodeRead:
        m_timeCodeRead = false;
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

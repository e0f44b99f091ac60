/*
 * A host written in plain C, as many ASIO hosts are: it knows the driver only
 * by the published binary interface, declared here from scratch (records
 * packed to 4 bytes, the IASIO methods as a table of function pointers in
 * slot order, each taking the object first, as the x64 calling convention of
 * C++ virtual calls does). It finds the driver under HKLM\SOFTWARE\ASIO,
 * creates it with CoCreateInstance, asks every query, streams two outputs and
 * two inputs for a few hundred milliseconds and prints what it saw, one
 * "name=value" a line; the test compares those lines and the devices' output.
 *
 * Exit code 0 when it streamed, 3 without a registered driver, 4 when the
 * driver refused, 6 when the buffer switches did not arrive.
 */
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <string.h>

typedef long ASIOBool;
typedef long ASIOError;
typedef double ASIOSampleRate;

#pragma pack(push, 4)

typedef struct {
    unsigned long hi;
    unsigned long lo;
} ASIOSamples;

typedef struct {
    unsigned long hi;
    unsigned long lo;
} ASIOTimeStamp;

typedef struct {
    long index;
    long associatedChannel;
    long associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
} ASIOClockSource;

typedef struct {
    long channel;
    ASIOBool isInput;
    ASIOBool isActive;
    long channelGroup;
    long type;
    char name[32];
} ASIOChannelInfo;

typedef struct {
    ASIOBool isInput;
    long channelNum;
    void* buffers[2];
} ASIOBufferInfo;

typedef struct {
    double speed;
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    unsigned long flags;
    char reserved[12];
} AsioTimeInfo;

typedef struct {
    double speed;
    ASIOSamples timeCodeSamples;
    unsigned long flags;
    char future[64];
} ASIOTimeCode;

typedef struct {
    long reserved[4];
    AsioTimeInfo timeInfo;
    ASIOTimeCode timeCode;
} ASIOTime;

typedef struct {
    void (*bufferSwitch)(long doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate rate);
    long (*asioMessage)(long selector, long value, void* message, double* opt);
    ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* time, long doubleBufferIndex, ASIOBool directProcess);
} ASIOCallbacks;

#pragma pack(pop)

_Static_assert(sizeof(long) == 4, "ASIO longs are 32-bit");
_Static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8, "64-bit counts");
_Static_assert(sizeof(ASIOClockSource) == 48, "ASIOClockSource");
_Static_assert(sizeof(ASIOChannelInfo) == 52, "ASIOChannelInfo");
_Static_assert(sizeof(ASIOBufferInfo) == 24, "ASIOBufferInfo");
_Static_assert(sizeof(AsioTimeInfo) == 48, "AsioTimeInfo");
_Static_assert(sizeof(ASIOTimeCode) == 84, "ASIOTimeCode");
_Static_assert(sizeof(ASIOTime) == 148, "ASIOTime packed to 4 bytes");
_Static_assert(sizeof(ASIOCallbacks) == 32, "ASIOCallbacks");

typedef struct DriverObject DriverObject;

typedef struct {
    HRESULT (*QueryInterface)(DriverObject* self, const IID* iid, void** object);
    ULONG (*AddRef)(DriverObject* self);
    ULONG (*Release)(DriverObject* self);
    ASIOBool (*init)(DriverObject* self, void* sysHandle);
    void (*getDriverName)(DriverObject* self, char* name);
    long (*getDriverVersion)(DriverObject* self);
    void (*getErrorMessage)(DriverObject* self, char* text);
    ASIOError (*start)(DriverObject* self);
    ASIOError (*stop)(DriverObject* self);
    ASIOError (*getChannels)(DriverObject* self, long* inputs, long* outputs);
    ASIOError (*getLatencies)(DriverObject* self, long* input, long* output);
    ASIOError (*getBufferSize)(DriverObject* self, long* minSize, long* maxSize, long* preferred, long* granularity);
    ASIOError (*canSampleRate)(DriverObject* self, ASIOSampleRate rate);
    ASIOError (*getSampleRate)(DriverObject* self, ASIOSampleRate* rate);
    ASIOError (*setSampleRate)(DriverObject* self, ASIOSampleRate rate);
    ASIOError (*getClockSources)(DriverObject* self, ASIOClockSource* clocks, long* count);
    ASIOError (*setClockSource)(DriverObject* self, long reference);
    ASIOError (*getSamplePosition)(DriverObject* self, ASIOSamples* position, ASIOTimeStamp* stamp);
    ASIOError (*getChannelInfo)(DriverObject* self, ASIOChannelInfo* info);
    ASIOError (*createBuffers)(DriverObject* self, ASIOBufferInfo* infos, long count, long bufferSize,
                               ASIOCallbacks* callbacks);
    ASIOError (*disposeBuffers)(DriverObject* self);
    ASIOError (*controlPanel)(DriverObject* self);
    ASIOError (*future)(DriverObject* self, long selector, void* option);
    ASIOError (*outputReady)(DriverObject* self);
} DriverMethods;

struct DriverObject {
    const DriverMethods* methods;
};

enum { kSupportsTimeInfo = 7, kSelectorSupported = 1, kCanTimeInfo = 10 };
enum { kWantedSwitches = 30, kBlocksOut = 2, kInputs = 2 };

static ASIOBufferInfo g_infos[kBlocksOut + kInputs];
static long g_bufferSize;
static long g_blocksFilled;
static volatile LONG g_switches;
static HANDLE g_switchEvent;
/* What the buffer switches saw, checked on the engine's thread. */
static long g_timeInfoCalls;
static long g_plainCalls;
static int g_indicesAlternate = 1;
static int g_positionsRight = 1;
static int g_timeInfoRight = 1;
static int g_inputRampRight = 1;
static long g_inputFrames;
static unsigned short g_lastInput0;

/* The same samples as CHostSample of the tests' e2e_signals.h. */
static short OutputSample(int buffer, long frame)
{
    if (buffer == 0) {
        return frame % 441 == 0 ? (short)32767 : (short)(frame % 256);
    }
    return (short)(-1 - frame % 509);
}

static void FillNextBlock(long index)
{
    long block = g_blocksFilled++;
    for (int n = 0; n < kBlocksOut; ++n) {
        short* half = (short*)g_infos[n].buffers[index];
        for (long f = 0; f < g_bufferSize; ++f) {
            half[f] = OutputSample(n, block * g_bufferSize + f);
        }
    }
}

/* The microphone's ramp: channel 1 runs 0x1000 ahead of channel 0, and both
 * go on by one a frame across the buffer switches. */
static void CheckInputs(long index)
{
    const unsigned short* in0 = (const unsigned short*)g_infos[kBlocksOut].buffers[index];
    const unsigned short* in1 = (const unsigned short*)g_infos[kBlocksOut + 1].buffers[index];
    for (long f = 0; f < g_bufferSize; ++f) {
        if ((unsigned short)(in1[f] - in0[f]) != 0x1000) {
            g_inputRampRight = 0;
        }
        if (g_inputFrames > 0 && in0[f] != (unsigned short)(g_lastInput0 + 1)) {
            g_inputRampRight = 0;
        }
        g_lastInput0 = in0[f];
        ++g_inputFrames;
    }
}

static void OnSwitch(long index)
{
    long count = g_switches;
    if (index != count % 2) {
        g_indicesAlternate = 0;
    }
    if (count < kWantedSwitches) {
        CheckInputs(index);
    }
    FillNextBlock(index);
    InterlockedIncrement(&g_switches);
    SetEvent(g_switchEvent);
}

static void BufferSwitch(long index, ASIOBool directProcess)
{
    (void)directProcess;
    ++g_plainCalls;
    OnSwitch(index);
}

static ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool directProcess)
{
    (void)directProcess;
    long count = g_switches;
    double expected = (double)(count + 1) * (double)g_bufferSize;
    double position = time->timeInfo.samplePosition.hi * 4294967296.0 + time->timeInfo.samplePosition.lo;
    if (position != expected) {
        g_positionsRight = 0;
    }
    if (time->timeInfo.sampleRate != 44100.0 || time->timeInfo.speed != 1.0 || time->timeInfo.flags != 7 ||
        time->timeCode.speed != 1.0 || time->timeCode.flags != 3) {
        g_timeInfoRight = 0;
    }
    ++g_timeInfoCalls;
    OnSwitch(index);
    return NULL;
}

static void SampleRateDidChange(ASIOSampleRate rate)
{
    (void)rate;
}

static long AsioMessage(long selector, long value, void* message, double* opt)
{
    (void)message;
    (void)opt;
    if (selector == kSelectorSupported) {
        return value == kSupportsTimeInfo;
    }
    return selector == kSupportsTimeInfo;
}

static int ReadRegisteredClass(CLSID* clsid)
{
    char text[64] = {0};
    DWORD size = sizeof text - 1;
    DWORD type = 0;
    wchar_t wide[64] = {0};
    HKEY key = NULL;
    LONG read;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\TelvaraDriver", 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS) {
        return 0;
    }
    read = RegQueryValueExA(key, "CLSID", NULL, &type, (BYTE*)text, &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_SZ) {
        return 0;
    }
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 64);
    return SUCCEEDED(CLSIDFromString(wide, clsid));
}

static int WaitForSwitches(long count, DWORD timeoutMs)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (g_switches < count) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return 0;
        }
        WaitForSingleObject(g_switchEvent, (DWORD)(deadline - now));
    }
    return 1;
}

static int Run(DriverObject* driver)
{
    const DriverMethods* m = driver->methods;
    char text[256] = {0};
    long inputs = 0, outputs = 0, minSize = 0, maxSize = 0, granularity = 0, inLatency = 0, outLatency = 0;
    long clockCount = 4;
    ASIOSampleRate rate = 0;
    ASIOClockSource clocks[4];
    ASIOCallbacks callbacks = {BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};
    ASIOSamples position = {0, 0};
    ASIOTimeStamp stamp = {0, 0};
    ASIOError result;

    if (m->init(driver, NULL) != 1) {
        m->getErrorMessage(driver, text);
        printf("init=0 %s\n", text);
        return 4;
    }
    printf("init=1\n");
    m->getDriverName(driver, text);
    printf("driver-name=%s\n", text);
    printf("driver-version=%ld\n", m->getDriverVersion(driver));
    m->getChannels(driver, &inputs, &outputs);
    printf("channels=%ld %ld\n", inputs, outputs);
    m->getLatencies(driver, &inLatency, &outLatency);
    printf("latencies=%ld %ld\n", inLatency, outLatency);
    m->getBufferSize(driver, &minSize, &maxSize, &g_bufferSize, &granularity);
    printf("buffer-size=%ld %ld %ld %ld\n", minSize, maxSize, g_bufferSize, granularity);
    printf("can-rate-48000=%ld\n", m->canSampleRate(driver, 48000.0));
    printf("can-rate-96000=%ld\n", m->canSampleRate(driver, 96000.0));
    m->getSampleRate(driver, &rate);
    printf("sample-rate=%.1f\n", rate);
    printf("set-rate-44100=%ld\n", m->setSampleRate(driver, 44100.0));
    memset(clocks, 0, sizeof clocks);
    m->getClockSources(driver, clocks, &clockCount);
    printf("clock-sources=%ld %ld %ld %ld %ld %s\n", clockCount, clocks[0].index, clocks[0].associatedChannel,
           clocks[0].associatedGroup, clocks[0].isCurrentSource, clocks[0].name);
    printf("set-clock-source-1=%ld\n", m->setClockSource(driver, 1));
    printf("future-can-time-info=0x%08lx\n", (unsigned long)m->future(driver, kCanTimeInfo, NULL));
    printf("future-unknown=%ld\n", m->future(driver, 999, NULL));
    printf("output-ready=%ld\n", m->outputReady(driver));
    printf("control-panel=%ld\n", m->controlPanel(driver));

    g_infos[0].isInput = 0;
    g_infos[0].channelNum = 0;
    g_infos[1].isInput = 0;
    g_infos[1].channelNum = 1;
    g_infos[2].isInput = 1;
    g_infos[2].channelNum = 0;
    g_infos[3].isInput = 1;
    g_infos[3].channelNum = 1;
    result = m->createBuffers(driver, g_infos, kBlocksOut + kInputs, g_bufferSize, &callbacks);
    printf("create-buffers=%ld\n", result);
    if (result != 0) {
        return 4;
    }
    for (int channel = 0; channel < 3; ++channel) {
        ASIOChannelInfo info;
        memset(&info, 0, sizeof info);
        info.channel = channel;
        info.isInput = 0;
        m->getChannelInfo(driver, &info);
        printf("output-channel-%d=%ld %ld %s\n", channel, info.isActive, info.type, info.isActive ? info.name : "-");
    }
    FillNextBlock(0);
    FillNextBlock(1);
    result = m->start(driver);
    printf("start=%ld\n", result);
    if (result != 0) {
        return 4;
    }
    if (!WaitForSwitches(kWantedSwitches, 20000)) {
        printf("buffer-switches=%ld (too few)\n", g_switches);
        m->stop(driver);
        return 6;
    }
    printf("stop=%ld\n", m->stop(driver));
    m->getSamplePosition(driver, &position, &stamp);
    printf("buffer-switches-arrived=%d\n", g_switches >= kWantedSwitches);
    printf("time-info-calls-only=%d\n", g_plainCalls == 0 && g_timeInfoCalls == g_switches);
    printf("indices-alternate=%d\n", g_indicesAlternate);
    printf("positions-advance-by-a-buffer=%d\n", g_positionsRight);
    printf("time-info-fields=%d\n", g_timeInfoRight);
    printf("input-ramp=%d\n", g_inputRampRight && g_inputFrames >= kWantedSwitches * g_bufferSize);
    printf("final-position-matches=%d\n",
           position.hi == 0 && (long)position.lo == g_switches * g_bufferSize);
    printf("dispose-buffers=%ld\n", m->disposeBuffers(driver));
    return 0;
}

int main(void)
{
    CLSID clsid;
    DriverObject* driver = NULL;
    HRESULT created;
    int exitCode;

    if (!ReadRegisteredClass(&clsid)) {
        printf("registered=0\n");
        return 3;
    }
    g_switchEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    CoInitialize(NULL);
    /* ASIO hosts ask for the driver's interface under its own class id. */
    created = CoCreateInstance(&clsid, NULL, CLSCTX_INPROC_SERVER, &clsid, (void**)&driver);
    printf("created=0x%08lx\n", (unsigned long)created);
    if (FAILED(created) || !driver) {
        CoUninitialize();
        return 3;
    }
    exitCode = Run(driver);
    printf("release=%lu\n", driver->methods->Release(driver));
    CoUninitialize();
    CloseHandle(g_switchEvent);
    fflush(stdout);
    return exitCode;
}

// How closely the simulated device clock keeps time, and what the fast mode
// costs per byte. Prints figures; it judges nothing.
//
//   kssim_clock_bench [seconds]     real-time part length, 10 s by default
//
// Real time: a 48 kHz stereo 16-bit render pin with no device buffer, fed
// 10 ms write requests with three kept queued. Request k holds the audio up
// to (k + 1) * 10 ms after the pin started running, so that is when it should
// complete; the bench prints how late each completion was seen (mean, worst,
// count). The figure includes the wake-up of this thread after the event.
//
// Fast mode: the same pin with requests completing as they are queued; the
// bytes per second it takes in (copied into the model's memory) against a
// plain memcpy of the same bytes in the same pieces.

#include "kssim.h"
#include "ks_system.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr const char* kPath = "\\\\?\\sim#bench#render";

double g_ticksPerMs = 0.0;

int64_t Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double Ms(int64_t ticks)
{
    return static_cast<double>(ticks) / g_ticksPerMs;
}

struct Request {
    explicit Request(size_t bytes) : data(bytes, 0x11)
    {
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        header.Size = sizeof header;
        header.FrameExtent = header.DataUsed = static_cast<ULONG>(bytes);
        header.Data = data.data();
    }
    ~Request() { CloseHandle(event); }
    bool Submit(HANDLE pin)
    {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        ResetEvent(event);
        DWORD bytes = 0;
        return KsSystem::DeviceIoControl(pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &header, header.Size, &bytes,
                                         &overlapped) ||
               GetLastError() == ERROR_IO_PENDING;
    }
    KSSTREAM_HEADER header{};
    OVERLAPPED overlapped{};
    std::vector<uint8_t> data;
    HANDLE event = nullptr;
};

bool SetState(HANDLE pin, KSSTATE state)
{
    KSPROPERTY property{};
    property.Set = KSPROPSETID_Connection;
    property.Id = KSPROPERTY_CONNECTION_STATE;
    property.Flags = KSPROPERTY_TYPE_SET;
    DWORD bytes = 0;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    const BOOL ok =
        KsSystem::DeviceIoControl(pin, IOCTL_KS_PROPERTY, &property, sizeof property, &state, sizeof state, &bytes, &overlapped);
    CloseHandle(event);
    return ok;
}

// Opens the bench device's render pin at 48 kHz, stereo, 16 bits.
HANDLE OpenPin(HANDLE* filter)
{
    *filter = KsSystem::CreateFileA(kPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
    std::vector<uint8_t> block(sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX));
    auto* connect = reinterpret_cast<KSPIN_CONNECT*>(block.data());
    connect->Interface.Set = KSINTERFACESETID_Standard;
    connect->Medium.Set = KSMEDIUMSETID_Standard;
    connect->Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect->Priority.PrioritySubClass = 1;
    auto* format = reinterpret_cast<KSDATAFORMAT*>(connect + 1);
    format->FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
    format->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    format->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    format->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    auto* wave = reinterpret_cast<WAVEFORMATEX*>(format + 1);
    wave->wFormatTag = WAVE_FORMAT_PCM;
    wave->nChannels = 2;
    wave->nSamplesPerSec = 48000;
    wave->wBitsPerSample = 16;
    wave->nBlockAlign = 4;
    wave->nAvgBytesPerSec = 192000;
    HANDLE pin = nullptr;
    if (*filter == INVALID_HANDLE_VALUE || KsSystem::KsCreatePin(*filter, connect, GENERIC_WRITE, &pin) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot open the bench pin\n");
        std::exit(1);
    }
    return pin;
}

void RealTime(int seconds)
{
    kssim::DeviceModel device = kssim::RenderDevice("Bench", kPath);
    device.deviceBufferMs = 0;
    kssim::Simulation::Instance().Reset({device});
    HANDLE filter = nullptr;
    HANDLE pin = OpenPin(&filter);

    constexpr int kQueued = 3;
    constexpr size_t kBytes = 1920;  // 10 ms
    const int total = seconds * 100;
    std::vector<std::unique_ptr<Request>> ring;
    for (int i = 0; i < kQueued; ++i) {
        ring.push_back(std::make_unique<Request>(kBytes));
        ring.back()->Submit(pin);
    }
    std::vector<double> late;
    late.reserve(total);
    const int64_t start = Now();
    SetState(pin, KSSTATE_RUN);
    for (int k = 0; k < total; ++k) {
        Request& request = *ring[k % kQueued];
        if (WaitForSingleObject(request.event, 5000) != WAIT_OBJECT_0) {
            std::printf("request %d did not complete within 5 s\n", k);
            break;
        }
        const double seen = Ms(Now() - start);
        late.push_back(seen - (k + 1) * 10.0);
        if (k + kQueued < total) {
            request.Submit(pin);
        }
    }
    SetState(pin, KSSTATE_STOP);
    KsSystem::CloseHandle(pin);
    KsSystem::CloseHandle(filter);

    double sum = 0.0;
    double worst = 0.0;
    for (double value : late) {
        sum += value;
        worst = std::max(worst, std::abs(value));
    }
    std::vector<double> sorted = late;
    std::sort(sorted.begin(), sorted.end());
    const double p99 = sorted.empty() ? 0.0 : sorted[sorted.size() * 99 / 100];
    std::printf("real time: 48 kHz stereo 16-bit, 10 ms requests, %d queued, %d s\n", kQueued, seconds);
    std::printf("  completions %zu, deviation from ideal time: mean %.3f ms, worst %.3f ms, 99th percentile %.3f ms\n",
                late.size(), late.empty() ? 0.0 : sum / static_cast<double>(late.size()), worst, p99);
}

double FastModeMegabytesPerSecond(size_t requestBytes, size_t totalBytes)
{
    kssim::Simulation& simulation = kssim::Simulation::Instance();
    simulation.Reset({kssim::RenderDevice("Bench", kPath)});
    simulation.SetClockMode(kssim::ClockMode::Fast);
    HANDLE filter = nullptr;
    HANDLE pin = OpenPin(&filter);
    SetState(pin, KSSTATE_RUN);
    Request request(requestBytes);
    constexpr size_t kRound = 32u << 20;  // the model keeps what it is given: cleared every 32 MB
    int64_t busy = 0;
    size_t done = 0;
    while (done < totalBytes) {
        const int64_t start = Now();
        for (size_t inRound = 0; inRound < kRound && done < totalBytes; inRound += requestBytes, done += requestBytes) {
            request.Submit(pin);
        }
        busy += Now() - start;
        simulation.ClearRendered(kPath, 0);
    }
    KsSystem::CloseHandle(pin);
    KsSystem::CloseHandle(filter);
    return static_cast<double>(done) / (1024.0 * 1024.0) / (Ms(busy) / 1000.0);
}

// What one completion costs the caller and the model in kernel calls alone:
// the caller resets its event, the model sets it.
double EventRoundMicroseconds(int count)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const int64_t start = Now();
    for (int i = 0; i < count; ++i) {
        ResetEvent(event);
        SetEvent(event);
    }
    const double micro = Ms(Now() - start) * 1000.0 / count;
    CloseHandle(event);
    return micro;
}

double MemcpyMegabytesPerSecond(size_t pieceBytes, size_t totalBytes)
{
    constexpr size_t kRound = 32u << 20;
    std::vector<uint8_t> source(pieceBytes, 0x11);
    std::vector<uint8_t> destination(kRound + pieceBytes);
    int64_t busy = 0;
    size_t done = 0;
    volatile uint8_t sink = 0;
    while (done < totalBytes) {
        const int64_t start = Now();
        size_t at = 0;
        for (; at < kRound && done < totalBytes; at += pieceBytes, done += pieceBytes) {
            std::memcpy(destination.data() + at, source.data(), pieceBytes);
        }
        busy += Now() - start;
        sink = sink + destination[at / 2];
    }
    return static_cast<double>(done) / (1024.0 * 1024.0) / (Ms(busy) / 1000.0);
}

}  // namespace

int main(int argc, char** argv)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_ticksPerMs = static_cast<double>(frequency.QuadPart) / 1000.0;
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;

    RealTime(seconds);

    constexpr size_t kTotal = 256u << 20;
    for (size_t requestBytes : {size_t{1920}, size_t{64} << 10}) {
        const double simulated = FastModeMegabytesPerSecond(requestBytes, kTotal);
        const double copied = MemcpyMegabytesPerSecond(requestBytes, kTotal);
        const double perRequest = static_cast<double>(requestBytes) / (simulated * 1024.0 * 1024.0) * 1e6;
        std::printf("fast mode, %zu-byte requests, 256 MB: %.0f MB/s, %.2f us per request "
                    "(memcpy of the same pieces: %.0f MB/s, ratio %.3f)\n",
                    requestBytes, simulated, perRequest, copied, simulated / copied);
    }
    std::printf("  of each request, resetting and setting its event costs %.2f us on this system\n",
                EventRoundMicroseconds(20000));
    kssim::Simulation::Instance().Reset();
    return 0;
}

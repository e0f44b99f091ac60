// Injected faults, device removal, cancellation and closing with requests
// in flight, from one thread and from several.

#include "kssim_test_support.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

using namespace kssimtest;

namespace {

class Faults : public SimulationTest {
protected:
    HANDLE Open(const kssim::DeviceModel& device, const WAVEFORMATEX& format)
    {
        Sim().Reset({device});
        m_filter = OpenFilter(device.devicePath);
        m_pin = OpenPin(m_filter, 0, format);
        return m_pin;
    }
    void TearDown() override
    {
        if (m_pin) {
            KsSystem::CloseHandle(m_pin);
        }
        if (m_filter && m_filter != INVALID_HANDLE_VALUE) {
            KsSystem::CloseHandle(m_filter);
        }
        SimulationTest::TearDown();
    }
    HANDLE m_filter = nullptr;
    HANDLE m_pin = nullptr;
};

// A chunk tagged with its writer and its number. Its first byte is the
// writer plus one, never 0 as the silence of a device that ran dry.
void Tag(std::vector<uint8_t>& data, uint8_t writer, uint32_t number)
{
    std::fill(data.begin(), data.end(), static_cast<uint8_t>(number * 31 + writer));
    data[0] = static_cast<uint8_t>(writer + 1);
    std::memcpy(data.data() + 1, &number, sizeof number);
}

// Checks that the rendered stream is made of whole chunks, with the silence
// the device played when it ran dry between them (exactly silentBytes in
// all), and that every writer's chunks come in the order it wrote them;
// answers chunks per writer.
std::vector<int> ChunksByWriter(const std::vector<uint8_t>& rendered, size_t chunk, int writers, size_t silentBytes = 0)
{
    std::vector<int> counts(writers, 0);
    std::vector<int64_t> last(writers, -1);
    size_t silence = 0;
    size_t at = 0;
    for (; at + chunk <= rendered.size(); at += chunk) {
        while (at < rendered.size() && rendered[at] == 0) {
            ++at;
            ++silence;
        }
        if (at + chunk > rendered.size()) {
            break;
        }
        const int writer = rendered[at] - 1;
        uint32_t number = 0;
        std::memcpy(&number, rendered.data() + at + 1, sizeof number);
        if (writer >= writers) {
            ADD_FAILURE() << "chunk at " << at << " has no writer";
            break;
        }
        EXPECT_GT(static_cast<int64_t>(number), last[writer]) << "writer " << int(writer) << " out of order";
        last[writer] = number;
        ++counts[writer];
        EXPECT_EQ(rendered[at + chunk - 1], static_cast<uint8_t>(number * 31 + writer)) << "chunk at " << at;
    }
    while (at < rendered.size() && rendered[at] == 0) {
        ++at;
        ++silence;
    }
    EXPECT_EQ(at, rendered.size()) << "a chunk cut short";
    EXPECT_EQ(silence, silentBytes) << "silence the device did not count as underrun";
    return counts;
}

}  // namespace

TEST_F(Faults, AFailingPinRefusesStreamRequestsAtOnce)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    SetState(m_pin, KSSTATE_RUN);
    Sim().SetStreamFault(kRenderPath, 0, kssim::StreamFault::Fail, ERROR_IO_DEVICE);
    StreamRequest write(400);
    EXPECT_EQ(write.Write(m_pin), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_FALSE(write.Done(0));
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    EXPECT_TRUE(Sim().RenderedBytes(kRenderPath, 0).empty());
    Sim().SetStreamFault(kRenderPath, -1, kssim::StreamFault::None);
    EXPECT_EQ(write.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(write.Done(0));
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0).size(), 400u);
    EXPECT_THROW(Sim().SetStreamFault(kRenderPath, 5, kssim::StreamFault::Fail), std::invalid_argument);
    EXPECT_THROW(Sim().SetStreamFault("\\\\?\\nothing", 0, kssim::StreamFault::Fail), std::invalid_argument);
}

TEST_F(Faults, AStalledPinHoldsItsQueueUntilCancelled)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    SetState(m_pin, KSSTATE_RUN);
    Sim().SetStreamFault(kRenderPath, 0, kssim::StreamFault::NeverComplete);
    StreamRequest stalled(400), behind(400), later(400);
    ASSERT_EQ(stalled.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    Sim().SetStreamFault(kRenderPath, 0, kssim::StreamFault::None);
    ASSERT_EQ(behind.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(stalled.Done(0));
    EXPECT_FALSE(behind.Done(0));  // requests complete in order
    EXPECT_EQ(Sim().PendingRequestCount(), 2);

    // Stopping cancels what waits, not what the driver holds.
    ASSERT_TRUE(SetState(m_pin, KSSTATE_STOP).ok);
    EXPECT_TRUE(behind.Done(0));
    EXPECT_EQ(behind.Status(), kStatusCancelled);
    EXPECT_FALSE(stalled.Done(0));
    ASSERT_TRUE(SetState(m_pin, KSSTATE_RUN).ok);
    ASSERT_EQ(later.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(later.Done(0));

    EXPECT_TRUE(KsSystem::CancelIoEx(m_pin, nullptr));
    EXPECT_TRUE(stalled.Done(0));
    EXPECT_TRUE(later.Done(0));
    EXPECT_EQ(stalled.Result(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(later.Result(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(KsSystem::CancelIoEx(m_pin, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_TRUE(Sim().RenderedBytes(kRenderPath, 0).empty());
}

// A pin slow to give requests back: a cancelled request, and one that the
// STOP state reaches, stays pending for the delay (and holds up what is
// queued behind it), then completes as cancelled; never sooner. Closing
// the handle is not delayed, and a delay of 0 cancels at once again.
TEST_F(Faults, ASlowPinGivesCancelledRequestsBackOnlyAfterItsDelay)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    SetState(m_pin, KSSTATE_RUN);
    constexpr DWORD kDelayMs = 300;
    Sim().SetCancelDelay(kRenderPath, 0, kDelayMs);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const auto nowMs = [&] {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
    };

    // CancelIoEx of a stalled request, with one queued behind it.
    Sim().SetStreamFault(kRenderPath, 0, kssim::StreamFault::NeverComplete);
    StreamRequest stalled(400), behind(400);
    ASSERT_EQ(stalled.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    Sim().SetStreamFault(kRenderPath, 0, kssim::StreamFault::None);
    ASSERT_EQ(behind.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    double cancelled = nowMs();
    EXPECT_TRUE(KsSystem::CancelIoEx(m_pin, &stalled.overlapped));
    EXPECT_FALSE(stalled.Done(0));
    EXPECT_FALSE(behind.Done(0));
    EXPECT_EQ(Sim().PendingRequestCount(), 2);
    Sleep(100);
    EXPECT_TRUE(KsSystem::CancelIoEx(m_pin, &stalled.overlapped)) << "still pending, so still found";
    ASSERT_TRUE(stalled.Done(5000));
    EXPECT_GE(nowMs() - cancelled, static_cast<double>(kDelayMs)) << "given back before its delay";
    EXPECT_EQ(stalled.Result(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // The second CancelIoEx did not move the time; what waited behind goes on.
    ASSERT_TRUE(behind.Done(5000));
    EXPECT_EQ(behind.Status(), 0);
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0).size(), 400u);

    // The STOP state reaches a stalled request: the same delay.
    Sim().SetStreamFault(kRenderPath, 0, kssim::StreamFault::NeverComplete);
    StreamRequest atStop(400);
    ASSERT_EQ(atStop.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    cancelled = nowMs();
    ASSERT_TRUE(SetState(m_pin, KSSTATE_STOP).ok);
    EXPECT_FALSE(atStop.Done(0));
    ASSERT_TRUE(atStop.Done(5000));
    EXPECT_GE(nowMs() - cancelled, static_cast<double>(kDelayMs)) << "given back before its delay";
    EXPECT_EQ(atStop.Result(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Sim().PendingRequestCount(), 0);

    // Closing the pin gives a request being cancelled back at once.
    StreamRequest closed(400);
    ASSERT_EQ(closed.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(KsSystem::CancelIoEx(m_pin, nullptr));
    EXPECT_FALSE(closed.Done(0));
    EXPECT_TRUE(KsSystem::CloseHandle(m_pin));
    m_pin = nullptr;
    EXPECT_TRUE(closed.Done(0));
    EXPECT_EQ(closed.Result(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    // Without a delay, cancelling is immediate again.
    m_pin = OpenPin(m_filter, 0, PcmFormat(2, 48000, 16));
    Sim().SetCancelDelay(kRenderPath, 0, 0);
    StreamRequest prompt(400);
    ASSERT_EQ(prompt.Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(KsSystem::CancelIoEx(m_pin, nullptr));
    EXPECT_TRUE(prompt.Done(0));
    EXPECT_THROW(Sim().SetCancelDelay(kRenderPath, 5, 10), std::invalid_argument);
    EXPECT_THROW(Sim().SetCancelDelay("\\\\?\\nothing", 0, 10), std::invalid_argument);
}

TEST_F(Faults, CancelIoExWithOneOverlappedCancelsOnlyThatRequest)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    StreamRequest a(100), b(100), c(100);
    std::memset(a.data.data(), 'a', 100);
    std::memset(b.data.data(), 'b', 100);
    std::memset(c.data.data(), 'c', 100);
    for (StreamRequest* request : {&a, &b, &c}) {
        ASSERT_EQ(request->Write(m_pin), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    EXPECT_TRUE(KsSystem::CancelIoEx(m_pin, &b.overlapped));
    EXPECT_TRUE(b.Done(0));
    EXPECT_EQ(b.Result(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(KsSystem::CancelIoEx(m_pin, &b.overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_FALSE(a.Done(0));
    SetState(m_pin, KSSTATE_RUN);
    EXPECT_TRUE(a.Done(0) && c.Done(0));
    std::vector<uint8_t> expected(200, 'a');
    std::fill(expected.begin() + 100, expected.end(), 'c');
    EXPECT_EQ(Sim().RenderedBytes(kRenderPath, 0), expected);
}

TEST_F(Faults, ClosingAPinCancelsItsRequests)
{
    Sim().Reset({WideCaptureDevice()});
    m_filter = OpenFilter(kCapturePath);
    HANDLE pin = OpenPin(m_filter, 0, PcmFormat(2, 48000, 16));
    StreamRequest a(400), b(400);
    std::fill(a.data.begin(), a.data.end(), 0x55);
    ASSERT_EQ(a.Read(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(b.Read(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    a.header.DataUsed = 7;
    EXPECT_TRUE(KsSystem::CloseHandle(pin));
    EXPECT_TRUE(a.Done(0) && b.Done(0));
    EXPECT_EQ(a.Status(), kStatusCancelled);
    EXPECT_EQ(a.header.DataUsed, 0u);
    EXPECT_EQ(a.data[0], 0x55);  // nothing captured into a cancelled read
    EXPECT_EQ(Sim().OpenPinInstances(kCapturePath, 0), 0);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    EXPECT_EQ(a.Read(pin), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Faults, ADeviceRemovedWhileStreamingFailsEverythingWithDeviceRemoved)
{
    kssim::DeviceModel render = WideRenderDevice();
    render.deviceBufferMs = 0;
    Sim().Reset({render, WideCaptureDevice()});
    HANDLE renderFilter = OpenFilter(kRenderPath);
    HANDLE captureFilter = OpenFilter(kCapturePath);
    HANDLE renderPin = OpenPin(renderFilter, 0, PcmFormat(2, 48000, 16));
    HANDLE capturePin = OpenPin(captureFilter, 0, PcmFormat(2, 48000, 16));
    ASSERT_TRUE(SetState(renderPin, KSSTATE_RUN).ok);
    ASSERT_TRUE(SetState(capturePin, KSSTATE_RUN).ok);
    // One second each: the last ones are nowhere near done when the devices go.
    std::vector<std::unique_ptr<StreamRequest>> writes, reads;
    for (int i = 0; i < 3; ++i) {
        writes.push_back(std::make_unique<StreamRequest>(192000));
        reads.push_back(std::make_unique<StreamRequest>(192000));
        ASSERT_EQ(writes.back()->Write(renderPin), static_cast<DWORD>(ERROR_IO_PENDING));
        ASSERT_EQ(reads.back()->Read(capturePin), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    Sim().RemoveDevice(kRenderPath);
    Sim().RemoveDevice(kCapturePath);
    for (auto* list : {&writes, &reads}) {
        for (auto& request : *list) {
            ASSERT_TRUE(request->Done(0));
            if (request->Status() == 0) {
                continue;  // finished before the removal
            }
            EXPECT_EQ(request->Status(), kStatusDeviceRemoved);
            EXPECT_EQ(request->Result(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
            EXPECT_EQ(request->header.DataUsed, 0u);
        }
        EXPECT_EQ(list->back()->Status(), kStatusDeviceRemoved);
    }
    EXPECT_EQ(Sim().PendingRequestCount(), 0);

    // Everything later fails at once; closing still works.
    StreamRequest late(192);
    EXPECT_EQ(late.Write(renderPin), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(late.Read(capturePin), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(SetState(renderPin, KSSTATE_STOP).error, static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    ULONG count = 0;
    EXPECT_EQ(PinProperty(renderFilter, 0, KSPROPERTY_PIN_CTYPES, &count, 4).error, static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    EXPECT_EQ(KsSystem::CreateFileA(kRenderPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    for (HANDLE handle : {renderPin, capturePin, renderFilter, captureFilter}) {
        EXPECT_TRUE(KsSystem::CloseHandle(handle));
    }
    EXPECT_EQ(Sim().OpenHandleCount(), 0);
}

TEST_F(Faults, ClosingWhileSeveralThreadsStreamCompletesEveryRequest)
{
    const HANDLE pin = Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
    constexpr int kWriters = 4;
    constexpr size_t kChunk = 480;  // 2.5 ms
    constexpr size_t kInFlight = 8;
    std::atomic<int> started{0};
    struct Outcome {
        int succeeded = 0;
        int cancelled = 0;
        int other = 0;
        int unfinished = 0;
        DWORD lastError = 0;
    };
    std::vector<Outcome> outcomes(kWriters);
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w]() {
            // 8 requests of 2.5 ms each in flight: a busy machine may still
            // hold every writer up for longer, and the device then plays
            // silence, which it counts.
            std::vector<std::unique_ptr<StreamRequest>> ring;
            std::vector<bool> busy(kInFlight, false);
            for (size_t i = 0; i < kInFlight; ++i) {
                ring.push_back(std::make_unique<StreamRequest>(kChunk));
            }
            auto account = [&](StreamRequest& request) {
                if (!request.Done(5000)) {
                    ++outcomes[w].unfinished;
                } else if (request.Status() == 0) {
                    ++outcomes[w].succeeded;
                } else if (request.Status() == kStatusCancelled) {
                    ++outcomes[w].cancelled;
                } else {
                    ++outcomes[w].other;
                }
            };
            ++started;
            for (uint32_t number = 0;; ++number) {
                const size_t slot = number % kInFlight;
                if (busy[slot]) {
                    account(*ring[slot]);
                    busy[slot] = false;
                }
                Tag(ring[slot]->data, static_cast<uint8_t>(w), number);
                const DWORD result = ring[slot]->Write(pin);
                if (result != ERROR_IO_PENDING) {
                    outcomes[w].lastError = result;
                    break;
                }
                busy[slot] = true;
            }
            for (size_t slot = 0; slot < kInFlight; ++slot) {
                if (busy[slot]) {
                    account(*ring[slot]);
                }
            }
        });
    }
    for (int waited = 0; started < kWriters && waited < 5000; ++waited) {
        Sleep(1);
    }
    Sleep(100);
    EXPECT_TRUE(KsSystem::CloseHandle(pin));
    m_pin = nullptr;
    for (auto& writer : writers) {
        writer.join();
    }
    int succeeded = 0;
    int cancelled = 0;
    for (const Outcome& outcome : outcomes) {
        EXPECT_EQ(outcome.lastError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(outcome.unfinished, 0);
        EXPECT_EQ(outcome.other, 0);
        EXPECT_GT(outcome.succeeded, 0);
        succeeded += outcome.succeeded;
        cancelled += outcome.cancelled;
    }
    // The device is always busy while the writers keep it fed, so the close
    // always finds requests to cancel.
    EXPECT_GT(cancelled, 0);
    const std::vector<uint8_t> rendered = Sim().RenderedBytes(kRenderPath, 0);
    const auto silent = static_cast<size_t>(Sim().UnderrunFrames(kRenderPath, 0)) * 4;
    EXPECT_EQ(rendered.size(), static_cast<size_t>(succeeded) * kChunk + silent);
    const std::vector<int> chunks = ChunksByWriter(rendered, kChunk, kWriters, silent);
    for (int w = 0; w < kWriters; ++w) {
        EXPECT_EQ(chunks[w], outcomes[w].succeeded) << "writer " << w;
    }
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

TEST_F(Faults, SeveralWritersInFastModeKeepTheirOwnOrder)
{
    Open(WideRenderDevice(), PcmFormat(2, 48000, 16));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    SetState(m_pin, KSSTATE_RUN);
    constexpr int kWriters = 4;
    std::vector<int> failures(kWriters, 0);
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w]() {
            StreamRequest request(64);
            for (uint32_t number = 0; number < 100; ++number) {
                Tag(request.data, static_cast<uint8_t>(w), number);
                if (request.Write(m_pin) != ERROR_IO_PENDING || !request.Done(5000) || request.Status() != 0) {
                    ++failures[w];
                }
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(failures, std::vector<int>(kWriters, 0));
    EXPECT_EQ(ChunksByWriter(Sim().RenderedBytes(kRenderPath, 0), 64, kWriters), std::vector<int>(kWriters, 100));
}

TEST_F(Faults, CancellingFromAnotherThreadWhileReadsArrive)
{
    Open(WideCaptureDevice(), PcmFormat(2, 48000, 16));
    ASSERT_TRUE(SetState(m_pin, KSSTATE_PAUSE).ok);
    constexpr int kReads = 200;
    std::vector<std::unique_ptr<StreamRequest>> reads;
    for (int i = 0; i < kReads; ++i) {
        reads.push_back(std::make_unique<StreamRequest>(64));
    }
    std::atomic<bool> submitting{true};
    std::thread canceller([&]() {
        while (submitting) {
            KsSystem::CancelIoEx(m_pin, nullptr);
            Sleep(1);
        }
    });
    int refused = 0;
    for (auto& read : reads) {
        if (read->Read(m_pin) != ERROR_IO_PENDING) {
            ++refused;
        }
    }
    submitting = false;
    canceller.join();
    KsSystem::CancelIoEx(m_pin, nullptr);
    EXPECT_EQ(refused, 0);
    for (auto& read : reads) {
        ASSERT_TRUE(read->Done(0));
        EXPECT_EQ(read->Status(), kStatusCancelled);
        EXPECT_EQ(read->header.DataUsed, 0u);
    }
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}

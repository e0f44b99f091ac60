#pragma once

#include "process_resources.h"

// Helpers for driving the simulated devices through the seam functions the
// way the kernel-streaming classes do.

#include "kssim.h"
#include "ks_system.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kssimtest {

inline constexpr const char* kRenderPath =
    "\\\\?\\usb#vid_0d8c&pid_0014&mi_00#7&2a1b3c4d&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global";
inline constexpr const char* kCapturePath =
    "\\\\?\\hdaudio#func_01&ven_10ec&dev_0269#4&1a2b3c4d&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\mic";

inline constexpr LONG kStatusPending = 0x103;
inline constexpr LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005);
inline constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120);
inline constexpr LONG kStatusDeviceRemoved = static_cast<LONG>(0xC00002B6);

kssim::Simulation& Sim();

// Every test starts and ends with an empty model in real-time mode.
class SimulationTest : public testing::Test {
protected:
    void SetUp() override { Sim().Reset(); }
    void TearDown() override { Sim().Reset(); }
};

// A render device whose sink pin takes 1 to 8 channels of 8 to 32 bits at
// 8 to 192 kHz; a capture device likewise.
kssim::DeviceModel WideRenderDevice(const std::string& name = "Speakers", const std::string& path = kRenderPath);
kssim::DeviceModel WideCaptureDevice(const std::string& name = "Microphone", const std::string& path = kCapturePath);

HANDLE OpenFilter(const std::string& path);

WAVEFORMATEX PcmFormat(WORD channels, DWORD rate, WORD bits);
WAVEFORMATEXTENSIBLE ExtensibleFormat(WORD channels, DWORD rate, WORD bits, WORD validBits);

// A pin creation request as the audio pin class lays it out: KSPIN_CONNECT,
// KSDATAFORMAT, then the wave format (18 bytes for plain PCM, 18 + cbSize
// otherwise).
std::vector<uint8_t> ConnectBlock(ULONG pinId, const WAVEFORMATEX& format, bool looped = false);
DWORD CreatePin(HANDLE filter, std::vector<uint8_t>& block, HANDLE* pin);
// Creates a pin and expects success.
HANDLE OpenPin(HANDLE filter, ULONG pinId, const WAVEFORMATEX& format, bool looped = false);

struct IoResult {
    BOOL ok = FALSE;
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
};

// A property request with an OVERLAPPED whose event carries the low bit, as
// the classes send it; waits (at most 5 s) when the request pends.
IoResult Property(HANDLE handle, const void* request, DWORD requestSize, void* buffer, DWORD bufferSize);
IoResult PinProperty(HANDLE filter, ULONG pinId, ULONG id, void* buffer, DWORD bufferSize);
IoResult SetState(HANDLE pin, KSSTATE state);
KSSTATE GetState(HANDLE pin);

// One stream request: a header, its data and its OVERLAPPED with an event.
class StreamRequest {
public:
    explicit StreamRequest(size_t bytes);
    ~StreamRequest();
    StreamRequest(const StreamRequest&) = delete;
    StreamRequest& operator=(const StreamRequest&) = delete;

    // Submits a write (DataUsed = the whole buffer) or a read; answers the
    // last error (ERROR_IO_PENDING when queued).
    DWORD Write(HANDLE pin);
    DWORD Read(HANDLE pin);
    bool Done(DWORD timeoutMs = 0) const;
    // The Win32 code GetOverlappedResult gives for the completed request.
    DWORD Result() const;
    LONG Status() const { return static_cast<LONG>(overlapped.Internal); }

    KSSTREAM_HEADER header{};
    OVERLAPPED overlapped{};
    std::vector<uint8_t> data;
    HANDLE event = nullptr;
};

uint16_t Sample16(const std::vector<uint8_t>& data, size_t index);
std::string TempFolder();  // a fresh folder under %TEMP%, ending in '\\', removed when the program ends
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadBytes(const std::string& path);

}  // namespace kssimtest

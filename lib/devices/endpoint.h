#pragma once

#include "driver_settings.h"
#include "endpoint_format.h"
#include "endpoint_transport.h"
#include "stream_direction.h"
#include "variable_resampler.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CKsAudPin;

// What the stream cost one endpoint, written by the engine thread and read
// by anyone.
struct EndpointCounters {
    // Render: blocks skipped because the pin held every slot at the cycle's
    // deadline. Capture: cycles in which the host got silence for the device.
    std::atomic<int64_t> missedBlocks{0};
    // Requests the pin refused or failed.
    std::atomic<int64_t> failedRequests{0};
};

// How a device follows the stream's clock master, written by the engine
// thread once a cycle and read by anyone.
struct EndpointDriftFigures {
    enum Role : int { Alone = 0, Master = 1, Follower = 2, Uncompensated = 3 };
    std::atomic<int> role{Alone};
    std::atomic<bool> resampling{false};    // its blocks go through the resampler
    std::atomic<double> ratePpm{0.0};       // its clock against the master's, parts per million
    std::atomic<double> ratio{1.0};         // its resampler's output frames per input frame
    std::atomic<double> queuedFrames{0.0};  // render: handed to the device, not played; capture: recorded, not taken
    std::atomic<double> offsetFrames{0.0};  // how far it is from where it should be against the master (> 0: late)
    std::atomic<int64_t> resyncs{0};        // re-synchronisations after its lag left its limits
};

// One open device: its pin with the format it was opened with, its state,
// the blocks it has in flight (through a transport that hides how they
// reach the pin) and its counters. Render and capture endpoints build on it.
//
// The host's thread opens, changes states, prepares and closes; between
// PrepareStream and the end of the stream the engine thread alone streams
// through it and may CancelAll; TakeBack runs on the host's thread once the
// engine has ended.
class CEndpoint {
public:
    virtual ~CEndpoint();
    CEndpoint(const CEndpoint&) = delete;
    CEndpoint& operator=(const CEndpoint&) = delete;

    StreamDirection Direction() const { return m_direction; }
    // The device's unique name, and its 0-based position among the open
    // devices of its direction.
    const std::string& Name() const { return m_name; }
    int Index() const { return m_index; }
    const EndpointFormat& Format() const { return m_format; }
    uint16_t Channels() const { return m_format.channels; }
    const DeviceSettings& Settings() const { return m_settings; }
    CKsAudPin* Pin() const { return m_pin; }

    // A state request to the pin; Active() tells whether the last one
    // succeeded. A render pin is asked once more when it refuses; a capture
    // pin is always asked twice and the second answer decides.
    HRESULT SetState(int32_t state);
    bool Active() const { return m_active; }

    // The buffering the device reports for its pin, in host frames; 0 when
    // it does not report it.
    int32_t ReportedLatencyFrames() const;

    // Blocks the endpoint keeps in flight once streaming.
    int InFlight() const { return m_inFlight; }
    // How the endpoint streams (standard requests or a WaveRT buffer and its
    // mode), for traces and diagnostics.
    std::string TransportDescription() const { return m_transport ? m_transport->Describe() : std::string(); }
    // Frames a looped buffer's device played or recorded past the stream.
    int64_t LostFrames() const { return m_transport ? m_transport->LostFrames() : 0; }
    int Held() const { return m_transport ? m_transport->Held() : 0; }
    // Signalled whenever the pin gives a block back; null when the endpoint
    // has a due time only.
    HANDLE WaitHandle() const { return m_transport ? m_transport->WaitHandle() : nullptr; }
    // Engine thread: cancels whatever the pin holds, without waiting.
    void CancelAll();
    // Host's thread, after the stream: waits for the pin to give everything
    // back, at most until the deadline (GetTickCount64). False when it keeps
    // something: that memory is then never freed.
    bool TakeBack(ULONGLONG deadline);

    EndpointCounters& Counters() { return m_counters; }
    const EndpointCounters& Counters() const { return m_counters; }
    EndpointDriftFigures& Drift() { return m_drift; }
    const EndpointDriftFigures& Drift() const { return m_drift; }

    // Following another device's clock (engine thread). An endpoint
    // prepared as resamplable has a variable resampler between the host and
    // its pin: for a render device from host frames to device frames, for
    // a capture device from device frames to host frames. Until
    // StartResampling the frames pass bit for bit; from then on they go
    // through the resampler at the ratio last set (its output frames per
    // input frame). A jump drops (> 0) or inserts silence for (< 0) input
    // frames at the head of the next blocks, part of it at a time.
    // A device at its own rate is resampled from the start, its ratio
    // around RateRatio (device frames per host frame), as a follower or not.
    bool ConvertsRate() const { return m_format.hostRate > 0 && m_format.hostRate != m_format.sampleRate; }
    double RateRatio() const
    {
        return ConvertsRate() ? static_cast<double>(m_format.sampleRate) / m_format.hostRate : 1.0;
    }
    // The rate of the host's frames.
    int32_t HostRate() const { return ConvertsRate() ? m_format.hostRate : m_format.sampleRate; }
    bool Resamplable() const { return m_resampler != nullptr; }
    bool Resampling() const { return m_resampling; }
    virtual void StartResampling();
    void SetRatio(double ratio);
    double Ratio() const { return m_resampling ? m_resampler->Ratio() : 1.0; }
    // Input frames the resampler holds (fractional); 0 until it runs.
    double ResamplerDelay() const { return m_resampling ? m_resampler->Delay() : 0.0; }
    void Jump(int64_t frames) { m_pendingJump += frames; }
    int64_t PendingJump() const { return m_pendingJump; }
    // The device's position (frames played or recorded since the stream
    // began) and the frames handed to it (render) or taken from it
    // (capture), read now; false when it gave no position in this call.
    bool ReadProgress(int64_t* positionFrames, int64_t* movedFrames);

protected:
    CEndpoint(StreamDirection direction, std::string name, int index, CKsAudPin* pin, const EndpointFormat& format,
              const DeviceSettings& settings);
    // Slots for `slots` blocks of blockBytes bytes in the pin's form.
    bool PrepareTransport(int inFlight, int slots, uint32_t blockBytes, const std::vector<uint32_t>& requestEnds,
                          HANDLE activity);

    // A resampler of `channels` for blocks of up to `maxInputFrames` input
    // frames and the jump's room, its ratio around `nominal`, or none (not
    // resamplable). Throws std::bad_alloc, or std::runtime_error when the
    // converter cannot be made.
    void MakeResampler(bool resamplable, int channels, int32_t maxInputFrames, double nominal);
    // `frames` interleaved frames through the pending jump (at most `most`
    // frames of it) and the resampler into `out` (room for the resampler's
    // MaxOutputFrames); answers the frames given out, -1 when the converter
    // failed and started over.
    int32_t Resample(const int32_t* in, int32_t frames, int32_t most, int32_t* out);

    std::unique_ptr<CEndpointTransport> m_transport;
    std::unique_ptr<CVariableResampler> m_resampler;

private:
    StreamDirection m_direction;
    std::string m_name;
    int m_index;
    CKsAudPin* m_pin;
    EndpointFormat m_format;
    DeviceSettings m_settings;
    bool m_active = false;
    bool m_kept = false;  // a take-back failed: the pin may still hold the transport's memory
    int m_inFlight = 0;
    EndpointCounters m_counters;
    EndpointDriftFigures m_drift;
    bool m_resampling = false;
    int64_t m_pendingJump = 0;
    std::vector<int32_t> m_jumped;  // silence inserted ahead of a block, and the block
};

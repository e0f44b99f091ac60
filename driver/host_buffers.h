#pragma once

#include "asio.h"

#include <cstdint>

inline constexpr int kMaxHostBuffers = 16;

// What createBuffers made: the host's double buffers (two halves of
// blockFrames 16-bit samples each, half 0 first), the ASIO channel number of
// each, and the host's callbacks. It exists from a successful createBuffers
// to disposeBuffers; a running engine reads it and never outlives it
// unstopped.
struct HostBuffers {
    HostBuffers() = default;
    ~HostBuffers()
    {
        for (int i = 0; i < kMaxHostBuffers; ++i) {
            delete[] inputs[i];
            delete[] outputs[i];
        }
    }
    HostBuffers(const HostBuffers&) = delete;
    HostBuffers& operator=(const HostBuffers&) = delete;

    // The buffer the host created for output channel `channel`, or null.
    int16_t* OutputOfChannel(int32_t channel) const
    {
        for (int32_t i = 0; i < outputCount; ++i) {
            if (outputChannels[i] == channel) {
                return outputs[i];
            }
        }
        return nullptr;
    }

    int32_t blockFrames = 0;
    int32_t inputCount = 0;    // never above kMaxHostBuffers
    int32_t outputCount = 0;   // never above kMaxHostBuffers
    int16_t* inputs[kMaxHostBuffers] = {};
    int16_t* outputs[kMaxHostBuffers] = {};
    int32_t inputChannels[kMaxHostBuffers] = {};
    int32_t outputChannels[kMaxHostBuffers] = {};
    ASIOCallbacks* callbacks = nullptr;  // the host's
    bool timeInfoMode = false;           // the host takes bufferSwitchTimeInfo
};

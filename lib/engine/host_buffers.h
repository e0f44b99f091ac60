#pragma once

#include "asio.h"
#include "sample_conversion.h"

#include <cstdint>
#include <memory>
#include <vector>

// What createBuffers made: the host's double buffers (two halves of
// blockFrames samples each in the host's sample form, half 0 first) in the
// order the host asked for them, which channel each belongs to, and the
// host's callbacks.
// It exists from a successful createBuffers to disposeBuffers; a running
// engine reads it and never outlives it unstopped.
struct HostBuffers {
    // Buffers for at most the channels the driver reports of each direction.
    HostBuffers(int32_t frames, int32_t inputChannelCount, int32_t outputChannelCount,
                SampleFormat form = SampleFormat::Int16)
        : blockFrames(frames),
          format(form),
          bytesPerSample(BytesOf(form)),
          inputOfChannel(static_cast<size_t>(inputChannelCount > 0 ? inputChannelCount : 0)),
          outputOfChannel(static_cast<size_t>(outputChannelCount > 0 ? outputChannelCount : 0))
    {
    }
    HostBuffers(const HostBuffers&) = delete;
    HostBuffers& operator=(const HostBuffers&) = delete;

    // A new silent buffer for that channel: null when the channel is out of
    // range or has one already (std::bad_alloc when memory is short).
    uint8_t* Add(bool input, int32_t channel)
    {
        std::vector<uint8_t*>& map = input ? inputOfChannel : outputOfChannel;
        if (channel < 0 || static_cast<size_t>(channel) >= map.size() || map[static_cast<size_t>(channel)]) {
            return nullptr;
        }
        // Zero bytes are silence in every form, float included.
        storage.push_back(std::make_unique<uint8_t[]>(HalfBytes() * 2));
        uint8_t* buffer = storage.back().get();
        map[static_cast<size_t>(channel)] = buffer;
        (input ? inputs : outputs).push_back(buffer);
        (input ? inputChannels : outputChannels).push_back(channel);
        return buffer;
    }

    // Bytes of one half.
    size_t HalfBytes() const { return static_cast<size_t>(blockFrames) * bytesPerSample; }
    // The buffer of that channel, or null when the host made none.
    uint8_t* InputOfChannel(int32_t channel) const { return Of(inputOfChannel, channel); }
    uint8_t* OutputOfChannel(int32_t channel) const { return Of(outputOfChannel, channel); }
    bool IsActive(bool input, int32_t channel) const
    {
        return (input ? InputOfChannel(channel) : OutputOfChannel(channel)) != nullptr;
    }

    int32_t blockFrames;
    SampleFormat format;      // of every sample in the buffers
    uint16_t bytesPerSample;
    // In createBuffers order.
    std::vector<uint8_t*> inputs;
    std::vector<uint8_t*> outputs;
    std::vector<int32_t> inputChannels;
    std::vector<int32_t> outputChannels;
    ASIOCallbacks* callbacks = nullptr;  // the host's
    bool timeInfoMode = false;           // the host takes bufferSwitchTimeInfo

private:
    static uint8_t* Of(const std::vector<uint8_t*>& map, int32_t channel)
    {
        return channel >= 0 && static_cast<size_t>(channel) < map.size() ? map[static_cast<size_t>(channel)] : nullptr;
    }

    std::vector<uint8_t*> inputOfChannel;   // by channel number
    std::vector<uint8_t*> outputOfChannel;
    std::vector<std::unique_ptr<uint8_t[]>> storage;
};

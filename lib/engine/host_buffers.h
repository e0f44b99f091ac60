#pragma once

#include "asio.h"

#include <cstdint>
#include <memory>
#include <vector>

// What createBuffers made: the host's double buffers (two halves of
// blockFrames 16-bit samples each, half 0 first) in the order the host
// asked for them, which channel each belongs to, and the host's callbacks.
// It exists from a successful createBuffers to disposeBuffers; a running
// engine reads it and never outlives it unstopped.
struct HostBuffers {
    // Buffers for at most the channels the driver reports of each direction.
    HostBuffers(int32_t frames, int32_t inputChannelCount, int32_t outputChannelCount)
        : blockFrames(frames),
          inputOfChannel(static_cast<size_t>(inputChannelCount > 0 ? inputChannelCount : 0)),
          outputOfChannel(static_cast<size_t>(outputChannelCount > 0 ? outputChannelCount : 0))
    {
    }
    HostBuffers(const HostBuffers&) = delete;
    HostBuffers& operator=(const HostBuffers&) = delete;

    // A new silent buffer for that channel: null when the channel is out of
    // range or has one already (std::bad_alloc when memory is short).
    int16_t* Add(bool input, int32_t channel)
    {
        std::vector<int16_t*>& map = input ? inputOfChannel : outputOfChannel;
        if (channel < 0 || static_cast<size_t>(channel) >= map.size() || map[static_cast<size_t>(channel)]) {
            return nullptr;
        }
        storage.push_back(std::make_unique<int16_t[]>(2 * static_cast<size_t>(blockFrames)));
        int16_t* buffer = storage.back().get();
        map[static_cast<size_t>(channel)] = buffer;
        (input ? inputs : outputs).push_back(buffer);
        (input ? inputChannels : outputChannels).push_back(channel);
        return buffer;
    }

    // The buffer of that channel, or null when the host made none.
    int16_t* InputOfChannel(int32_t channel) const { return Of(inputOfChannel, channel); }
    int16_t* OutputOfChannel(int32_t channel) const { return Of(outputOfChannel, channel); }
    bool IsActive(bool input, int32_t channel) const
    {
        return (input ? InputOfChannel(channel) : OutputOfChannel(channel)) != nullptr;
    }

    int32_t blockFrames;
    // In createBuffers order.
    std::vector<int16_t*> inputs;
    std::vector<int16_t*> outputs;
    std::vector<int32_t> inputChannels;
    std::vector<int32_t> outputChannels;
    ASIOCallbacks* callbacks = nullptr;  // the host's
    bool timeInfoMode = false;           // the host takes bufferSwitchTimeInfo

private:
    static int16_t* Of(const std::vector<int16_t*>& map, int32_t channel)
    {
        return channel >= 0 && static_cast<size_t>(channel) < map.size() ? map[static_cast<size_t>(channel)] : nullptr;
    }

    std::vector<int16_t*> inputOfChannel;   // by channel number
    std::vector<int16_t*> outputOfChannel;
    std::vector<std::unique_ptr<int16_t[]>> storage;
};

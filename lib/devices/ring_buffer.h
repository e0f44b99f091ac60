#pragma once

#include <atomic>
#include <cstdint>

// The delay line of a render device: a first-in first-out byte buffer. Each
// cycle the engine writes a block and reads as many bytes back, so priming it
// with P bytes of silence holds the device's output back by P bytes.
//
// One thread uses it (the engine's); each operation takes each position
// once, so a position is always inside the storage and a copy never leaves it.
class RingBuffer {
public:
    // One second of 16-bit stereo at 44100 Hz.
    static constexpr int32_t kDefaultCapacity = 176400;

    // The storage is not cleared. A capacity of 0 or less, or storage that
    // cannot be had, gives a buffer without storage that refuses everything.
    explicit RingBuffer(int32_t capacity = kDefaultCapacity);
    ~RingBuffer();
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    // All or nothing: length bytes stored, or -1 (no storage, no source, a
    // negative length, or not fewer than length bytes free).
    int32_t Write(const void* source, int32_t length);
    // Copies min(length, stored) bytes and returns that count; bytes of
    // destination beyond it stay untouched. -1 without storage or destination,
    // or for a negative length.
    int32_t Read(void* destination, int32_t length);
    // Drops everything stored.
    void Reset();
    // Drops the oldest `length` bytes (all that is stored when fewer).
    void Drop(int32_t length);
    // Puts `length` bytes of silence in front of what is stored, so that
    // they are read first. All or nothing: false when they do not fit.
    bool PrependSilence(int32_t length);
    // Bytes stored; the largest 32-bit value for a buffer without storage.
    uint32_t Available() const;

    bool HasStorage() const { return m_pStorage != nullptr; }
    int32_t Capacity() const { return m_lCapacity; }

private:
    uint32_t Stored(const uint8_t* pRead, const uint8_t* pWrite) const;

    int32_t m_lCapacity;
    std::atomic<uint8_t*> m_pRead;
    std::atomic<uint8_t*> m_pWrite;
    uint8_t* m_pStorage;
};

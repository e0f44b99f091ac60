#include "ring_buffer.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(size_t count, uint8_t first)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

}  // namespace

TEST(RingBuffer, StartsEmptyWithTheCapacityOfOneSecondOfStereo)
{
    RingBuffer ring;
    EXPECT_EQ(ring.Capacity(), 176400);
    EXPECT_TRUE(ring.HasStorage());
    EXPECT_EQ(ring.Available(), 0u);
}

TEST(RingBuffer, ReadOfAnEmptyLineCopiesNothingAndLeavesTheDestination)
{
    RingBuffer ring;
    std::vector<uint8_t> destination(64, 0xAB);
    EXPECT_EQ(ring.Read(destination.data(), 64), 0);
    EXPECT_EQ(destination, std::vector<uint8_t>(64, 0xAB));
}

TEST(RingBuffer, ReadReturnsWhatWasWrittenInOrderAndLeavesBytesBeyondIt)
{
    RingBuffer ring(16);
    const auto data = Bytes(10, 1);
    ASSERT_EQ(ring.Write(data.data(), 10), 10);
    EXPECT_EQ(ring.Available(), 10u);
    std::vector<uint8_t> destination(12, 0xEE);
    EXPECT_EQ(ring.Read(destination.data(), 12), 10);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), destination.begin()));
    EXPECT_EQ(destination[10], 0xEE);
    EXPECT_EQ(destination[11], 0xEE);
    EXPECT_EQ(ring.Available(), 0u);
}

TEST(RingBuffer, HoldsAtMostOneByteLessThanItsCapacity)
{
    RingBuffer ring(16);
    const auto data = Bytes(16, 0);
    EXPECT_EQ(ring.Write(data.data(), 16), -1);
    EXPECT_EQ(ring.Available(), 0u);
    EXPECT_EQ(ring.Write(data.data(), 15), 15);
    EXPECT_EQ(ring.Available(), 15u);
    EXPECT_EQ(ring.Write(data.data(), 1), -1) << "full at capacity - 1";
    EXPECT_EQ(ring.Write(data.data(), 0), 0) << "an empty write fits the last free byte";
}

TEST(RingBuffer, RefusedWriteStoresNothing)
{
    RingBuffer ring(16);
    const auto first = Bytes(10, 1);
    const auto second = Bytes(6, 100);
    ASSERT_EQ(ring.Write(first.data(), 10), 10);
    EXPECT_EQ(ring.Write(second.data(), 6), -1);
    std::vector<uint8_t> destination(16);
    EXPECT_EQ(ring.Read(destination.data(), 16), 10);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), destination.begin()));
}

TEST(RingBuffer, WritesAndReadsWrapAroundTheEndOfTheStorage)
{
    RingBuffer ring(10);
    std::vector<uint8_t> sink(10);
    const auto a = Bytes(7, 1);
    ASSERT_EQ(ring.Write(a.data(), 7), 7);
    ASSERT_EQ(ring.Read(sink.data(), 6), 6);
    // Write position 7, read position 6: 5 bytes wrap past the end.
    const auto b = Bytes(5, 50);
    ASSERT_EQ(ring.Write(b.data(), 5), 5);
    EXPECT_EQ(ring.Available(), 6u);
    std::vector<uint8_t> out(6);
    ASSERT_EQ(ring.Read(out.data(), 6), 6);
    EXPECT_EQ(out, (std::vector<uint8_t>{7, 50, 51, 52, 53, 54}));
}

TEST(RingBuffer, AWriteEndingExactlyAtTheEndMovesToTheStart)
{
    RingBuffer ring(8);
    std::vector<uint8_t> sink(8);
    const auto a = Bytes(4, 1);
    ASSERT_EQ(ring.Write(a.data(), 4), 4);
    ASSERT_EQ(ring.Read(sink.data(), 4), 4);
    ASSERT_EQ(ring.Write(a.data(), 4), 4);  // ends exactly at the end
    ASSERT_EQ(ring.Read(sink.data(), 4), 4);  // read also reaches the end
    EXPECT_EQ(ring.Available(), 0u);
    const auto b = Bytes(7, 20);
    EXPECT_EQ(ring.Write(b.data(), 7), 7) << "both positions back at the start: 7 of 8 fit";
    std::vector<uint8_t> out(7);
    ASSERT_EQ(ring.Read(out.data(), 7), 7);
    EXPECT_EQ(out, b);
}

TEST(RingBuffer, ResetDropsEverythingStored)
{
    RingBuffer ring(32);
    const auto a = Bytes(20, 1);
    ASSERT_EQ(ring.Write(a.data(), 20), 20);
    ring.Reset();
    EXPECT_EQ(ring.Available(), 0u);
    std::vector<uint8_t> destination(4, 0x11);
    EXPECT_EQ(ring.Read(destination.data(), 4), 0);
    EXPECT_EQ(destination, std::vector<uint8_t>(4, 0x11));
    EXPECT_EQ(ring.Write(a.data(), 20), 20) << "the whole capacity is free again";
}

TEST(RingBuffer, MissingArgumentsAndNegativeLengthsAreRefused)
{
    RingBuffer ring(32);
    uint8_t byte = 0;
    EXPECT_EQ(ring.Write(nullptr, 4), -1);
    EXPECT_EQ(ring.Read(nullptr, 4), -1);
    EXPECT_EQ(ring.Write(&byte, -1), -1);
    EXPECT_EQ(ring.Read(&byte, -1), -1);
    EXPECT_EQ(ring.Available(), 0u);
}

TEST(RingBuffer, WithoutStorageEverythingIsRefusedAndAvailableIsTheLargestValue)
{
    RingBuffer ring(0);
    uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_FALSE(ring.HasStorage());
    EXPECT_EQ(ring.Write(bytes, 1), -1);
    EXPECT_EQ(ring.Read(bytes, 1), -1);
    EXPECT_EQ(ring.Available(), std::numeric_limits<uint32_t>::max());
    ring.Reset();
    EXPECT_EQ(ring.Available(), std::numeric_limits<uint32_t>::max());
    RingBuffer negative(-5);
    EXPECT_FALSE(negative.HasStorage());
}

TEST(RingBuffer, RandomWritesAndReadsMatchAQueueOfBytes)
{
    std::mt19937 random(20240607);
    for (int32_t capacity : {1, 2, 7, 64, 1000, 176400}) {
        RingBuffer ring(capacity);
        std::deque<uint8_t> model;
        uint8_t next = 0;
        std::vector<uint8_t> chunk;
        std::vector<uint8_t> out;
        const int32_t largest = std::max(1, capacity + 2);
        for (int step = 0; step < 4000; ++step) {
            const auto length = static_cast<int32_t>(random() % static_cast<uint32_t>(largest));
            if (random() % 2) {
                chunk.resize(static_cast<size_t>(length));
                for (auto& byte : chunk) {
                    byte = next++;
                }
                const bool fits = static_cast<int64_t>(length) < capacity - static_cast<int64_t>(model.size());
                ASSERT_EQ(ring.Write(chunk.data(), length), fits ? length : -1) << "capacity " << capacity;
                if (fits) {
                    model.insert(model.end(), chunk.begin(), chunk.end());
                } else {
                    next = static_cast<uint8_t>(next - length);
                }
            } else {
                out.assign(static_cast<size_t>(length) + 1, 0xCD);
                const auto expected = std::min<size_t>(static_cast<size_t>(length), model.size());
                ASSERT_EQ(ring.Read(out.data(), length), static_cast<int32_t>(expected));
                for (size_t i = 0; i < expected; ++i) {
                    ASSERT_EQ(out[i], model.front()) << "capacity " << capacity << " step " << step;
                    model.pop_front();
                }
                ASSERT_EQ(out[expected], 0xCD);
            }
            ASSERT_EQ(ring.Available(), model.size());
        }
    }
}

// The engine writes a block and reads as many bytes back; a line primed with
// P bytes of silence hands out every byte exactly P bytes late.
TEST(RingBuffer, ALinePrimedWithPBytesDelaysByExactlyPBytes)
{
    for (int32_t primed : {0, 4, 2048, 17600, 100000}) {
        RingBuffer ring;
        ring.Reset();
        const std::vector<uint8_t> silence(static_cast<size_t>(primed), 0);
        if (primed > 0) {
            ASSERT_EQ(ring.Write(silence.data(), primed), primed);
        }
        std::vector<uint8_t> input;
        std::vector<uint8_t> output;
        std::vector<uint8_t> block(2048);
        uint32_t counter = 1;
        for (int cycle = 0; cycle < 120; ++cycle) {
            for (size_t i = 0; i < block.size(); ++i) {
                block[i] = static_cast<uint8_t>(counter % 251 + 1);  // never 0
                ++counter;
            }
            input.insert(input.end(), block.begin(), block.end());
            ASSERT_EQ(ring.Write(block.data(), 2048), 2048);
            ASSERT_EQ(ring.Read(block.data(), 2048), 2048);
            output.insert(output.end(), block.begin(), block.end());
        }
        for (size_t i = 0; i < output.size(); ++i) {
            const uint8_t expected = i < static_cast<size_t>(primed) ? 0 : input[i - static_cast<size_t>(primed)];
            ASSERT_EQ(output[i], expected) << "primed " << primed << " byte " << i;
        }
    }
}

TEST(RingBuffer, NinthBlockAfter17600BytesOfSilenceStartsWith1216SilentBytes)
{
    RingBuffer ring;
    const std::vector<uint8_t> silence(17600, 0);
    ASSERT_EQ(ring.Write(silence.data(), 17600), 17600);
    std::vector<uint8_t> first(2048, 0x5A);
    std::vector<uint8_t> block(2048);
    for (int cycle = 0; cycle < 9; ++cycle) {
        block = cycle == 0 ? first : std::vector<uint8_t>(2048, 0x77);
        ASSERT_EQ(ring.Write(block.data(), 2048), 2048);
        ASSERT_EQ(ring.Read(block.data(), 2048), 2048);
        if (cycle < 8) {
            EXPECT_EQ(block, std::vector<uint8_t>(2048, 0)) << "block " << cycle;
        }
    }
    EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + 1216), std::vector<uint8_t>(1216, 0));
    EXPECT_EQ(std::vector<uint8_t>(block.begin() + 1216, block.end()), std::vector<uint8_t>(832, 0x5A));
}

TEST(RingBuffer, PrimingWithTheWholeCapacityIsRefusedAndTheLinePlaysWithoutDelay)
{
    RingBuffer ring;
    const std::vector<uint8_t> silence(176400, 0);
    ring.Reset();
    EXPECT_EQ(ring.Write(silence.data(), 176400), -1);
    EXPECT_EQ(ring.Available(), 0u);
    std::vector<uint8_t> block(2048, 0x42);
    ASSERT_EQ(ring.Write(block.data(), 2048), 2048);
    std::fill(block.begin(), block.end(), 0);
    ASSERT_EQ(ring.Read(block.data(), 2048), 2048);
    EXPECT_EQ(block, std::vector<uint8_t>(2048, 0x42));
}

TEST(RingBuffer, ALineTooFullForTheNextBlockSettlesOneBlockLower)
{
    RingBuffer ring;
    const std::vector<uint8_t> silence(175000, 0);
    ASSERT_EQ(ring.Write(silence.data(), 175000), 175000);
    std::vector<uint8_t> block(2048, 0x33);
    EXPECT_EQ(ring.Write(block.data(), 2048), -1);
    EXPECT_EQ(ring.Read(block.data(), 2048), 2048);
    EXPECT_EQ(block, std::vector<uint8_t>(2048, 0));
    EXPECT_EQ(ring.Available(), 175000u - 2048u);
    std::fill(block.begin(), block.end(), 0x33);
    EXPECT_EQ(ring.Write(block.data(), 2048), 2048) << "fits again once the line is one block lower";
    EXPECT_EQ(ring.Read(block.data(), 2048), 2048);
    EXPECT_EQ(ring.Available(), 175000u - 2048u);
}

// The control thread resets and primes a line while the engine uses it: the
// positions never leave the storage, whatever the interleaving.
TEST(RingBuffer, ResetsFromAnotherThreadNeverTakeTheLineOutOfItsBounds)
{
    RingBuffer ring(4096);
    std::atomic<bool> stop{false};
    std::thread primer([&] {
        const std::vector<uint8_t> silence(1000, 0);
        while (!stop.load()) {
            ring.Reset();
            ring.Write(silence.data(), 1000);
            SwitchToThread();
        }
    });
    std::vector<uint8_t> block(512, 0x99);
    for (int cycle = 0; cycle < 200000; ++cycle) {
        ring.Write(block.data(), 512);
        const int32_t read = ring.Read(block.data(), 512);
        ASSERT_GE(read, 0);
        ASSERT_LE(read, 512);
        ASSERT_LT(ring.Available(), 4096u);
    }
    stop = true;
    primer.join();
}

namespace {

// A ring of `capacity` bytes whose read position is `readAt` and which holds
// the bytes 1, 2, ... `stored`, and the same bytes as a queue.
std::unique_ptr<RingBuffer> RingAt(int32_t capacity, int32_t readAt, int32_t stored, std::deque<uint8_t>& model)
{
    auto ring = std::make_unique<RingBuffer>(capacity);
    // Every byte of the storage is written with 0xAA on the way, so that
    // silence is never there by chance.
    std::vector<uint8_t> bytes(static_cast<size_t>(capacity), 0xAA);
    EXPECT_EQ(ring->Write(bytes.data(), capacity - 1), capacity - 1);
    EXPECT_EQ(ring->Read(bytes.data(), capacity - 1), capacity - 1);
    std::fill(bytes.begin(), bytes.end(), 0xAA);
    const int32_t advance = (readAt + 1) % capacity;  // from capacity - 1 to readAt
    EXPECT_EQ(ring->Write(bytes.data(), advance), advance);
    EXPECT_EQ(ring->Read(bytes.data(), advance), advance);
    // One byte more than written: a write of none still has a source.
    const std::vector<uint8_t> content = Bytes(static_cast<size_t>(stored) + 1, 1);
    EXPECT_EQ(ring->Write(content.data(), stored), stored);
    model.assign(content.begin(), content.begin() + stored);
    return ring;
}

// The ring holds exactly the model's bytes, and its positions still work:
// the free room takes a write and everything reads back in order.
::testing::AssertionResult HoldsExactly(RingBuffer& ring, const std::deque<uint8_t>& model)
{
    if (ring.Available() != model.size()) {
        return ::testing::AssertionFailure() << ring.Available() << " bytes instead of " << model.size();
    }
    const auto room = static_cast<int32_t>(ring.Capacity() - 1 - static_cast<int32_t>(model.size()));
    const std::vector<uint8_t> more = Bytes(static_cast<size_t>(room) + 1, 200);
    if (ring.Write(more.data(), room) != room) {
        return ::testing::AssertionFailure() << "the free room of " << room << " bytes refused a write";
    }
    std::vector<uint8_t> expected(model.begin(), model.end());
    expected.insert(expected.end(), more.begin(), more.begin() + room);
    std::vector<uint8_t> out(expected.size() + 1, 0xEE);
    const int32_t read = ring.Read(out.data(), static_cast<int32_t>(out.size()));
    out.resize(static_cast<size_t>(std::max(read, 0)));
    if (out != expected) {
        return ::testing::AssertionFailure() << "read back other bytes";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

// Every read position (the storage's end included), every fill and every
// length: Drop takes the oldest bytes (at most all), PrependSilence puts
// zeros in front when they fit and changes nothing when they do not.
TEST(RingBuffer, DropAndPrependSilenceWrapAroundTheEndOfTheStorage)
{
    constexpr int32_t kCapacity = 10;
    for (int32_t readAt = 0; readAt < kCapacity; ++readAt) {
        for (int32_t stored = 0; stored < kCapacity; ++stored) {
            for (int32_t length = -1; length <= kCapacity + 1; ++length) {
                SCOPED_TRACE(testing::Message() << "read at " << readAt << ", " << stored << " stored, length "
                                                << length);
                std::deque<uint8_t> model;
                std::unique_ptr<RingBuffer> ring = RingAt(kCapacity, readAt, stored, model);
                ring->Drop(length);
                for (int32_t i = 0; i < length && !model.empty(); ++i) {
                    model.pop_front();
                }
                ASSERT_TRUE(HoldsExactly(*ring, model));

                ring = RingAt(kCapacity, readAt, stored, model);
                const bool fits = length >= 0 && length < kCapacity - stored;
                EXPECT_EQ(ring->PrependSilence(length), fits);
                if (fits) {
                    model.insert(model.begin(), static_cast<size_t>(length), 0);
                }
                ASSERT_TRUE(HoldsExactly(*ring, model));
            }
        }
    }
    RingBuffer none(0);
    none.Drop(4);
    EXPECT_FALSE(none.PrependSilence(0));
    EXPECT_EQ(none.Available(), std::numeric_limits<uint32_t>::max());
}

// The ring of the last frames a render pin instance played, and the times
// at which its device played them.
//
// Positions are bytes of the pin's timeline (as the device position counts
// them), frame-aligned. The ring holds one contiguous stretch [begin, end):
// frames come in order as the device takes them in, and a stretch that does
// not follow (after a STOP dropped the device's buffer) starts it again.
//
// Times: a frame at position p played when the device position reached p.
// The position runs by ClockRuns (one per RUN, rate change or clock-mode
// change); the newest run that starts at or before p gives the time. The
// runs before the oldest frame still held are let go.

#include "played_tail.h"

#include "model_state.h"

#include <algorithm>
#include <cstring>

namespace kssim::detail {

namespace {

constexpr size_t kMostRuns = 64;

// The frames a tail may answer, and room for those the device has taken in
// ahead of its position: a stream request completes once its last byte is
// in the device's buffer, a WaveRT pin's frames are taken in as they enter
// its FIFO.
int64_t RingBytes(const PinInstance& pin)
{
    const int64_t blockAlign = pin.format.blockAlign;
    const int64_t fifo = pin.rt ? static_cast<int64_t>(pin.device->model.waveRt->fifoBytes) / blockAlign * blockAlign : 0;
    return static_cast<int64_t>(Simulation::kPlayedTailCapacityFrames) * blockAlign + pin.bufferBytes + fifo;
}

// Visits the parts of `size` bytes from the ring offset of position `at`
// on, wrapping at the ring's end: function(ringOffset, done, take).
template <typename Function>
void ForEachRingPart(size_t capacity, int64_t at, size_t size, Function function)
{
    size_t done = 0;
    while (done < size) {
        const auto offset = static_cast<size_t>((at + static_cast<int64_t>(done)) % static_cast<int64_t>(capacity));
        const size_t take = std::min(size - done, capacity - offset);
        function(offset, done, take);
        done += take;
    }
}

// Lets go of the runs that the oldest frame held no longer needs.
void TrimRuns(PlayedRing& ring)
{
    while (ring.runs.size() > 1 && (ring.runs[1].pos <= static_cast<double>(ring.begin) ||
                                    ring.runs.size() > kMostRuns)) {
        ring.runs.pop_front();
    }
}

}  // namespace

void KeepPlayed(PinInstance& pin, int64_t position, const uint8_t* data, size_t size)
{
    const int64_t blockAlign = pin.format.blockAlign;
    if (!pin.render || blockAlign <= 0 || size == 0) {
        return;
    }
    PlayedRing& ring = pin.played;
    if (ring.bytes.empty()) {
        ring.bytes.assign(static_cast<size_t>(RingBytes(pin)), 0);
    }
    if (position != ring.end) {
        ring.begin = ring.end = position;
    }
    const auto capacity = static_cast<int64_t>(ring.bytes.size());
    // Only the newest capacity's worth of a long stretch can stay.
    const auto skipped = static_cast<size_t>(std::max<int64_t>(0, static_cast<int64_t>(size) - capacity));
    ForEachRingPart(ring.bytes.size(), position + static_cast<int64_t>(skipped), size - skipped,
                    [&](size_t offset, size_t done, size_t take) {
                        std::memcpy(ring.bytes.data() + offset, data + skipped + done, take);
                    });
    ring.end = position + static_cast<int64_t>(size);
    ring.begin = std::max(ring.begin, ring.end - capacity);
    TrimRuns(ring);
}

void NoteClockRun(PinInstance& pin, bool forget)
{
    PlayedRing& ring = pin.played;
    if (forget) {
        ring.runs.clear();
    }
    if (pin.state == KSSTATE_RUN) {
        ring.runs.push_back({pin.anchorTick, pin.anchorPos, pin.bytesPerTick});
        TrimRuns(ring);
    }
}

RenderTail ReadPlayedTail(const PinInstance& pin, int64_t now, size_t frames)
{
    RenderTail tail;
    const PlayedRing& ring = pin.played;
    const int64_t blockAlign = pin.format.blockAlign;
    if (!pin.render || blockAlign <= 0 || ring.bytes.empty() || ring.runs.empty()) {
        return tail;
    }
    const Model& model = TheModel();
    const auto ticksPerSecond = static_cast<double>(model.ticksPerSecond);
    tail.framesPerSecond = pin.bytesPerTick * ticksPerSecond / static_cast<double>(blockAlign);
    const int64_t end = std::min(ring.end, PinPositionFrames(pin, now) * blockAlign);
    frames = std::min(frames, Simulation::kPlayedTailCapacityFrames);
    const int64_t begin = std::max(ring.begin, end - static_cast<int64_t>(frames) * blockAlign);
    if (end <= begin) {
        return tail;
    }
    tail.bytes.resize(static_cast<size_t>(end - begin));
    ForEachRingPart(ring.bytes.size(), begin, tail.bytes.size(), [&](size_t offset, size_t done, size_t take) {
        std::memcpy(tail.bytes.data() + done, ring.bytes.data() + offset, take);
    });
    tail.firstFrame = begin / blockAlign;
    const auto run = std::find_if(ring.runs.rbegin(), ring.runs.rend(),
                                  [&](const ClockRun& r) { return r.pos <= static_cast<double>(begin); });
    const ClockRun& from = run != ring.runs.rend() ? *run : ring.runs.front();
    const double tick = static_cast<double>(from.tick) +
                        (from.bytesPerTick > 0.0 ? (static_cast<double>(begin) - from.pos) / from.bytesPerTick : 0.0);
    const int64_t origin = model.virtualTime.on.load() ? model.virtualTime.origin : 0;
    tail.firstFrameSeconds = (tick - static_cast<double>(origin)) / ticksPerSecond;
    return tail;
}

}  // namespace kssim::detail

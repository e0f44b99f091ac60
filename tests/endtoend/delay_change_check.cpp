#include "delay_change_check.h"

#include "e2e_signals.h"

#include <cstdlib>

testing::AssertionResult MovedByTheDelayChange(const e2e::WavContent& wav, long blockFrames, long from, long to,
                                               long fade)
{
    const long frames = static_cast<long>(wav.Frames());
    const auto silent = [&](long t) { return wav.At(t, 0) == 0 && wav.At(t, 1) == 0; };
    const auto plays = [&](long t, long late) {
        return t < late ? silent(t)
                        : wav.At(t, 0) == e2e::StreamSample(0, t - late) && wav.At(t, 1) == e2e::StreamSample(1, t - late);
    };
    const auto faded = [&](long t, long late) {  // never louder than the sample it fades
        return t < late ? silent(t) : std::abs(wav.At(t, 0)) <= std::abs(e2e::StreamSample(0, t - late));
    };
    long t = 0;
    while (t < frames && plays(t, from)) {
        ++t;
    }
    const long jump = (t + fade + blockFrames - 1) / blockFrames * blockFrames;
    const long inserted = to > from ? to - from : 0;
    const long exactFrom = jump + inserted + fade;
    if (t < from + 2 * blockFrames || exactFrom + 4 * blockFrames > frames) {
        return testing::AssertionFailure() << "the change came at frame " << t << " of " << frames
                                           << ": too early or too late to see it";
    }
    for (long f = t; f < jump; ++f) {
        if (!faded(f, from)) {
            return testing::AssertionFailure() << "frame " << f << " of the fade-out is louder than the signal";
        }
    }
    for (long f = jump; f < jump + inserted; ++f) {
        if (!silent(f)) {
            return testing::AssertionFailure() << "frame " << f << " of the new delay's silence is not silent";
        }
    }
    for (long f = jump + inserted; f < exactFrom; ++f) {
        if (!faded(f, to)) {
            return testing::AssertionFailure() << "frame " << f << " of the fade-in is louder than the signal";
        }
    }
    for (long f = exactFrom; f < frames; ++f) {
        if (plays(f, to)) {
            continue;
        }
        for (long end = f; end < frames; ++end) {
            if (end < frames - 2 * blockFrames || !silent(end)) {
                return testing::AssertionFailure() << "frame " << f << " is not the host's frame " << f - to << " (of "
                                                   << frames << " frames)";
            }
        }
        break;
    }
    return testing::AssertionSuccess();
}

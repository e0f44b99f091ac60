#pragma once

#include "e2e_support.h"

#include <gtest/gtest.h>

// What a speaker fed StreamSample on both channels played around a live
// change of its output delay from `from` to `to` frames: every sample
// `from` late (silence before it) up to the fade-out, the jump at the block
// boundary after it (the silence of a longer delay, or the frames a shorter
// one drops), the fade-in of `fade` frames, and from then on every sample
// exactly `to` late. A last block cut short may end in silence.
testing::AssertionResult MovedByTheDelayChange(const e2e::WavContent& wav, long blockFrames, long from, long to,
                                               long fade);

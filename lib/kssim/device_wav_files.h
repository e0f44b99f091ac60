#pragma once

// The WAV files of simulated devices: the clip a capture device plays back
// and the file a render device writes what it plays into.

#include "ks_platform.h"
#include "wav_file.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kssim::detail {

// Samples interleaved and left-aligned in 32 bits, as the signal generator
// takes them whatever the pin's depth.
using CaptureClip = wav::PcmClip;

// Reads a capture clip: a PCM WAV file (see wav::ReadPcmFile) with at least
// one frame. Throws std::runtime_error naming the file and what is wrong
// with it.
std::shared_ptr<const CaptureClip> ReadCaptureClip(const std::string& path);

// The fmt chunk body a render file gets for a pin's format: PCMWAVEFORMAT
// (16 bytes) for a plain PCM pin, the WAVEFORMATEXTENSIBLE (40 bytes) the
// pin was created with otherwise.
std::vector<uint8_t> FmtChunkFor(const WAVEFORMATEX& format, const WAVEFORMATEXTENSIBLE* extensible);

// The WAV file of a render device. It is open while a render pin instance
// of the device feeds it and continued by later instances of the same
// format; its header is fixed up whenever the pin stops or closes and when
// the model is reset.
using RenderFile = wav::CWavStreamWriter;

}  // namespace kssim::detail

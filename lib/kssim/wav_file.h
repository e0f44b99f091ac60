#pragma once

// RIFF/WAVE files of the simulation: the file a render device writes what
// it plays into, and the clip a capture device plays back.

#include "ks_platform.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kssim::detail {

// A PCM WAV file read into memory. Samples are interleaved and held
// left-aligned in 32 bits (a 16-bit sample s is s << 16; 8-bit samples,
// unsigned in the file, are made signed first).
struct CaptureClip {
    WORD channels = 0;
    WORD bitsPerSample = 0;
    DWORD sampleRate = 0;
    std::vector<int32_t> samples;
    size_t Frames() const { return channels ? samples.size() / channels : 0; }
};

// Reads a PCM WAV file (format tag 1, or WAVE_FORMAT_EXTENSIBLE with the
// PCM subformat; 8, 16, 24 or 32 bits; at least one frame). Throws
// std::runtime_error naming the file and what is wrong with it.
std::shared_ptr<const CaptureClip> ReadCaptureClip(const std::string& path);

// The fmt chunk body a WAV file gets for a pin's format: PCMWAVEFORMAT
// (16 bytes) for a plain PCM pin, the WAVEFORMATEXTENSIBLE (40 bytes) the
// pin was created with otherwise.
std::vector<uint8_t> FmtChunkFor(const WAVEFORMATEX& format, const WAVEFORMATEXTENSIBLE* extensible);

// The WAV file of a render device. It is open while a render pin instance
// of the device feeds it. The sizes in its header are written whenever the
// file is finished (pin stopped or closed, model reset), so a reader between
// those points may see sizes that lag behind the data.
class RenderFile {
public:
    RenderFile() = default;
    ~RenderFile();
    RenderFile(const RenderFile&) = delete;
    RenderFile& operator=(const RenderFile&) = delete;

    // Opens the file for a new pin instance. A file this object started
    // earlier with the same format is continued; otherwise it is created
    // afresh (an earlier file of another format is replaced). Answers false
    // with the reason when the file cannot be written.
    bool Open(const std::string& path, const std::vector<uint8_t>& fmtChunk, std::string* error);
    bool IsOpen() const { return m_file != INVALID_HANDLE_VALUE; }
    void Append(const uint8_t* data, size_t size);
    // Writes the RIFF and data sizes for what the file holds now.
    void FixUp();
    // Fixes up and closes; the object may be opened again.
    void Close();
    // Closes and forgets the file, so that the next Open starts afresh.
    void Forget();

private:
    HANDLE m_file = INVALID_HANDLE_VALUE;
    std::string m_path;
    std::vector<uint8_t> m_fmt;
    uint64_t m_dataBytes = 0;
    bool m_started = false;
};

}  // namespace kssim::detail

#pragma once

// PCM WAV files: reading one whole, writing one whole, and a writer that
// appends while a stream runs and keeps the header's sizes up to date.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace wav {

// A PCM WAV file read into memory. Samples are interleaved and held
// left-aligned in 32 bits whatever the file's depth: a 16-bit sample s is
// s << 16; 8-bit samples, unsigned in the file, are made signed first. So
// the top 16 bits of any depth read as a 16-bit sample.
struct PcmClip {
    uint16_t channels = 0;
    uint16_t bitsPerSample = 0;
    uint32_t sampleRate = 0;
    std::vector<int32_t> samples;
    size_t Frames() const { return channels ? samples.size() / channels : 0; }
    int32_t At(size_t frame, size_t channel) const { return samples[frame * channels + channel]; }
};

// Reads a PCM WAV file: format tag 1, or WAVE_FORMAT_EXTENSIBLE with the PCM
// subformat; 8, 16, 24 or 32 bits; block align consistent with them. The
// first data chunk counts, whole frames of it; one whose size was never
// filled in (0) or runs past the end counts with the bytes that are there,
// as a writer that has not finished leaves it. False with "PATH: why".
bool ReadPcmFile(const std::string& path, PcmClip& clip, std::string& error);

// The 16-byte fmt chunk body (PCMWAVEFORMAT) of plain PCM.
std::vector<uint8_t> PcmFmtChunk(uint16_t channels, uint32_t sampleRate, uint16_t bitsPerSample);

// Writes a whole file of interleaved 16-bit samples, replacing any file of
// that name. False with "PATH: why".
bool WritePcm16File(const std::string& path, uint16_t channels, uint32_t sampleRate,
                    const std::vector<int16_t>& samples, std::string& error);

// A WAV file written while a stream runs. The sizes in its header are
// written when it is opened and whenever it is fixed up or closed, so a
// reader in between may see sizes that lag behind the data (see
// ReadPcmFile). Others may read the file while it is open.
class CWavStreamWriter {
public:
    CWavStreamWriter() = default;
    ~CWavStreamWriter();
    CWavStreamWriter(const CWavStreamWriter&) = delete;
    CWavStreamWriter& operator=(const CWavStreamWriter&) = delete;

    // Opens the file with this fmt chunk body. A file this object started
    // earlier with the same path and fmt chunk is continued; otherwise it is
    // created afresh (an earlier file of another format is replaced).
    // False with "PATH: cannot be written (error N)".
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

}  // namespace wav

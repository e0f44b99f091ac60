#pragma once

#include <cstdint>
#include <string>
#include <vector>

// 16-bit PCM WAV files of telvara-host: what `record` writes and what
// `offset` compares.
struct WavData {
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint16_t bitsPerSample = 0;
    std::vector<uint8_t> data;  // the data chunk, interleaved frames
};

// Writes interleaved 16-bit samples; false with a reason.
bool WriteWav16(const std::string& path, uint16_t channels, uint32_t sampleRate, const std::vector<int16_t>& samples,
                std::string& error);
// Reads a PCM WAV file (plain or extensible fmt chunk); false with a reason.
bool ReadWav(const std::string& path, WavData& wav, std::string& error);

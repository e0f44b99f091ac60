// PCM WAV files: what the reader accepts and how it decodes each depth, what
// it refuses and says, the exact bytes of a whole-file write, and the stream
// writer's header as a reader sees it while the file is still being written.
#include "wav_file.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(Bytes& out, uint32_t v)
{
    Put16(out, static_cast<uint16_t>(v));
    Put16(out, static_cast<uint16_t>(v >> 16));
}

uint32_t Get32(const Bytes& bytes, size_t at)
{
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

void Append(Bytes& out, const char* tag, const Bytes& body, uint32_t size)
{
    out.insert(out.end(), tag, tag + 4);
    Put32(out, size);
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() & 1) {
        out.push_back(0);
    }
}

void Append(Bytes& out, const char* tag, const Bytes& body)
{
    Append(out, tag, body, static_cast<uint32_t>(body.size()));
}

// A fmt chunk body: plain (16 bytes) or WAVE_FORMAT_EXTENSIBLE (40 bytes)
// with the given subformat's first byte (1 PCM, 3 IEEE float).
Bytes Fmt(uint16_t channels, uint16_t bits, bool extensible = false, uint8_t subformat = 1, uint16_t tag = 1)
{
    Bytes fmt;
    Put16(fmt, extensible ? 0xFFFE : tag);
    Put16(fmt, channels);
    Put32(fmt, 48000);
    Put32(fmt, 48000u * channels * (bits / 8));
    Put16(fmt, static_cast<uint16_t>(channels * (bits / 8)));
    Put16(fmt, bits);
    if (extensible) {
        Put16(fmt, 22);
        Put16(fmt, bits);
        Put32(fmt, 3);
        const uint8_t guid[16] = {subformat, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                  0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        fmt.insert(fmt.end(), guid, guid + 16);
    }
    return fmt;
}

Bytes Riff(const Bytes& chunks)
{
    Bytes file = {'R', 'I', 'F', 'F'};
    Put32(file, static_cast<uint32_t>(4 + chunks.size()));
    file.insert(file.end(), {'W', 'A', 'V', 'E'});
    file.insert(file.end(), chunks.begin(), chunks.end());
    return file;
}

Bytes WaveFile(const Bytes& fmt, const Bytes& data)
{
    Bytes chunks;
    Append(chunks, "fmt ", fmt);
    Append(chunks, "data", data);
    return Riff(chunks);
}

class WavFileTest : public testing::Test {
protected:
    WavFileTest()
    {
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        m_folder = std::string(temp) + "telvara-wav-" + std::to_string(GetCurrentProcessId()) + "\\";
        CreateDirectoryA(m_folder.c_str(), nullptr);
    }
    ~WavFileTest() override
    {
        for (const std::string& name : m_files) {
            DeleteFileA((m_folder + name).c_str());
        }
        RemoveDirectoryA(m_folder.c_str());
    }

    std::string Path(const std::string& name)
    {
        m_files.push_back(name);
        return m_folder + name;
    }
    std::string Write(const std::string& name, const Bytes& bytes)
    {
        const std::string path = Path(name);
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
        return path;
    }
    static Bytes Read(const std::string& path)
    {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        Bytes bytes(GetFileSize(file, nullptr));
        DWORD done = 0;
        ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
        CloseHandle(file);
        return bytes;
    }

    std::string m_folder;
    std::vector<std::string> m_files;
};

TEST_F(WavFileTest, EveryDepthAndLayoutReadsAsLeftAlignedSamples)
{
    struct Case {
        const char* name;
        Bytes fmt;
        Bytes data;
        std::vector<int32_t> samples;
    };
    const std::vector<Case> cases = {
        {"8-bit, unsigned in the file", Fmt(1, 8), {0x00, 0x80, 0xFF},
         {INT32_MIN, 0, 0x7F000000}},
        {"16-bit stereo", Fmt(2, 16), {0x00, 0x80, 0xFF, 0x7F, 0x34, 0x12, 0xFF, 0xFF},
         {INT32_MIN, 0x7FFF0000, 0x12340000, -65536}},
        {"24-bit", Fmt(1, 24), {0x01, 0x02, 0x83, 0xFF, 0xFF, 0x7F}, {static_cast<int32_t>(0x83020100), 0x7FFFFF00}},
        {"32-bit", Fmt(1, 32), {0x78, 0x56, 0x34, 0x12}, {0x12345678}},
        {"extensible PCM, 16-bit", Fmt(1, 16, true), {0x2C, 0x01}, {300 << 16}},
        {"a partial last frame is left out", Fmt(2, 16), {1, 0, 2, 0, 3}, {1 << 16, 2 << 16}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wav::PcmClip clip;
        std::string error;
        ASSERT_TRUE(wav::ReadPcmFile(Write("depth.wav", WaveFile(c.fmt, c.data)), clip, error)) << error;
        EXPECT_EQ(clip.samples, c.samples);
        EXPECT_EQ(clip.sampleRate, 48000u);
        EXPECT_EQ(clip.channels, c.fmt[2]);
        EXPECT_EQ(clip.bitsPerSample, c.fmt[14]);
        EXPECT_EQ(clip.Frames(), c.samples.size() / clip.channels);
    }
}

// Chunks other than fmt and data are passed over (odd ones with their pad
// byte); the first data chunk counts; a data size never filled in (0) or
// beyond the end counts with the bytes there.
TEST_F(WavFileTest, TheDataChunkIsFoundAndItsSizeTrustedOnlyAsFarAsTheFileGoes)
{
    const Bytes samples = {1, 0, 2, 0, 3, 0};
    struct Case {
        const char* name;
        Bytes file;
        size_t frames;
    };
    Bytes oddChunkFirst;
    Append(oddChunkFirst, "LIST", {'a', 'b', 'c'});
    Append(oddChunkFirst, "fmt ", Fmt(1, 16));
    Append(oddChunkFirst, "data", samples);
    Bytes twoDataChunks;
    Append(twoDataChunks, "fmt ", Fmt(1, 16));
    Append(twoDataChunks, "data", {9, 0});
    Append(twoDataChunks, "data", samples);
    Bytes unfinished;
    Append(unfinished, "fmt ", Fmt(1, 16));
    Append(unfinished, "data", samples, 0);
    Bytes beyondTheEnd;
    Append(beyondTheEnd, "fmt ", Fmt(1, 16));
    Append(beyondTheEnd, "data", samples, 1000);
    Bytes shorter;
    Append(shorter, "fmt ", Fmt(1, 16));
    Append(shorter, "data", samples, 4);
    const std::vector<Case> cases = {
        {"an odd chunk before fmt", Riff(oddChunkFirst), 3},
        {"two data chunks", Riff(twoDataChunks), 1},
        {"a data size of 0", Riff(unfinished), 3},
        {"a data size beyond the end", Riff(beyondTheEnd), 3},
        {"a data size short of the end", Riff(shorter), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wav::PcmClip clip;
        std::string error;
        ASSERT_TRUE(wav::ReadPcmFile(Write("chunks.wav", c.file), clip, error)) << error;
        ASSERT_EQ(clip.Frames(), c.frames);
        EXPECT_EQ(clip.At(0, 0), (c.frames == 1 ? 9 : 1) << 16);
    }
}

TEST_F(WavFileTest, WhatIsNotPcmIsRefusedWithTheFileAndTheReason)
{
    struct Case {
        const char* name;
        Bytes file;
        std::string reason;
    };
    Bytes fmtOnly;
    Append(fmtOnly, "fmt ", Fmt(1, 16));
    Bytes shortFmt;
    Append(shortFmt, "fmt ", Bytes(14, 1));
    Append(shortFmt, "data", {0, 0});
    Bytes shortExtensible = Fmt(1, 16, true);
    shortExtensible.resize(24);
    Bytes badAlign = Fmt(2, 16);
    badAlign[12] = 2;
    const std::vector<Case> cases = {
        {"text", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!'}, "not a RIFF/WAVE file"},
        {"no data", Riff(fmtOnly), "no data chunk"},
        {"a short fmt chunk", Riff(shortFmt), "no fmt chunk"},
        {"IEEE float", WaveFile(Fmt(1, 32, false, 1, 3), {0, 0, 0, 0}), "format tag 3 is not PCM"},
        {"extensible float", WaveFile(Fmt(1, 32, true, 3), {0, 0, 0, 0}), "extensible format whose subformat is not PCM"},
        {"a short extensible fmt", WaveFile(shortExtensible, {0, 0}),
         "WAVE_FORMAT_EXTENSIBLE fmt chunk shorter than 40 bytes"},
        {"12 bits", WaveFile(Fmt(1, 12), {0, 0}), "12 bits per sample (8, 16, 24 or 32 expected)"},
        {"block align", WaveFile(badAlign, {0, 0, 0, 0}), "channel count or block align inconsistent"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Write("refused.wav", c.file);
        wav::PcmClip clip;
        std::string error;
        EXPECT_FALSE(wav::ReadPcmFile(path, clip, error));
        EXPECT_EQ(error, path + ": " + c.reason);
    }
    wav::PcmClip clip;
    std::string error;
    EXPECT_FALSE(wav::ReadPcmFile(m_folder + "missing.wav", clip, error));
    EXPECT_EQ(error, m_folder + "missing.wav: cannot be opened (error 2)");
}

TEST_F(WavFileTest, AWholeSixteenBitFileHasTheCanonicalHeaderAndReadsBack)
{
    const std::string path = Path("whole.wav");
    const std::vector<int16_t> samples = {1, -1, 0x1234, -0x8000, 7, 8};
    std::string error;
    ASSERT_TRUE(wav::WritePcm16File(path, 2, 44100, samples, error)) << error;
    Bytes expected = {'R', 'I', 'F', 'F', 36 + 12, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
                      1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 0x02, 0, 4, 0, 16, 0, 'd', 'a', 't', 'a', 12, 0, 0, 0,
                      1, 0, 0xFF, 0xFF, 0x34, 0x12, 0x00, 0x80, 7, 0, 8, 0};
    EXPECT_EQ(Read(path), expected);
    wav::PcmClip clip;
    ASSERT_TRUE(wav::ReadPcmFile(path, clip, error)) << error;
    ASSERT_EQ(clip.Frames(), 3u);
    for (size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(clip.samples[i] >> 16, samples[i]) << i;
    }
    // A fresh write replaces a longer file entirely.
    ASSERT_TRUE(wav::WritePcm16File(path, 1, 8000, {5}, error)) << error;
    EXPECT_EQ(Read(path).size(), 46u);

    const std::string unwritable = m_folder + "no such folder\\x.wav";
    EXPECT_FALSE(wav::WritePcm16File(unwritable, 1, 8000, {5}, error));
    EXPECT_EQ(error, unwritable + ": cannot be written (error 3)");
}

// The header's sizes lag while the file is open; a reader meanwhile still
// gets every byte appended (the data size written at opening is 0).
TEST_F(WavFileTest, AStreamWriterKeepsItsFileReadableAndContinuesTheSameFormat)
{
    const std::string path = Path("stream.wav");
    const Bytes fmt = wav::PcmFmtChunk(1, 48000, 16);
    wav::CWavStreamWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path, fmt, &error)) << error;
    const uint8_t block[4] = {1, 0, 2, 0};
    writer.Append(block, 4);
    wav::PcmClip clip;
    ASSERT_TRUE(wav::ReadPcmFile(path, clip, error)) << error;
    EXPECT_EQ(clip.Frames(), 2u) << "read while open, before any fix-up";
    EXPECT_EQ(Get32(Read(path), 40), 0u);
    writer.FixUp();
    EXPECT_EQ(Get32(Read(path), 4), 36u + 4);
    EXPECT_EQ(Get32(Read(path), 40), 4u);

    writer.Close();
    ASSERT_TRUE(writer.Open(path, fmt, &error)) << error;
    writer.Append(block, 4);
    writer.Close();
    Bytes file = Read(path);
    ASSERT_EQ(file.size(), 44u + 8);
    EXPECT_EQ(Get32(file, 4), 36u + 8) << "the same format continues the file";
    EXPECT_EQ(Get32(file, 40), 8u);

    ASSERT_TRUE(writer.Open(path, wav::PcmFmtChunk(2, 48000, 16), &error)) << error;
    writer.Close();
    file = Read(path);
    EXPECT_EQ(file.size(), 44u) << "another format starts afresh";
    EXPECT_EQ(Get32(file, 40), 0u);
    EXPECT_EQ(file[22], 2);

    writer.Forget();
    ASSERT_TRUE(writer.Open(path, wav::PcmFmtChunk(2, 48000, 16), &error)) << error;
    writer.Append(block, 4);
    writer.Close();
    EXPECT_EQ(Read(path).size(), 44u + 4) << "after Forget even the same format starts afresh";
}

}  // namespace

#include "wav_file.h"

#include "ks_platform.h"

#include <cstring>
#include <stdexcept>

namespace kssim::detail {

namespace {

uint32_t ReadU32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void PutU32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

std::vector<uint8_t> ReadWholeFile(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error(path + ": cannot be opened (error " + std::to_string(GetLastError()) + ")");
    }
    std::vector<uint8_t> bytes;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > 512LL * 1024 * 1024) {
        CloseHandle(file);
        throw std::runtime_error(path + ": size unreadable or above 512 MB");
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD done = 0;
    const BOOL ok = bytes.empty() || ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    CloseHandle(file);
    if (!ok || done != bytes.size()) {
        throw std::runtime_error(path + ": read failed");
    }
    return bytes;
}

}  // namespace

std::shared_ptr<const CaptureClip> ReadCaptureClip(const std::string& path)
{
    const std::vector<uint8_t> bytes = ReadWholeFile(path);
    auto fail = [&](const std::string& why) { return std::runtime_error(path + ": " + why); };
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        throw fail("not a RIFF/WAVE file");
    }
    const uint8_t* fmt = nullptr;
    size_t fmtSize = 0;
    const uint8_t* data = nullptr;
    size_t dataSize = 0;
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const uint32_t chunkSize = ReadU32(bytes.data() + at + 4);
        const size_t body = at + 8;
        // A data chunk whose size was never fixed up runs to the end of the file.
        const size_t available = bytes.size() - body;
        const size_t size = chunkSize > available ? available : chunkSize;
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0) {
            fmt = bytes.data() + body;
            fmtSize = size;
        } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            data = bytes.data() + body;
            dataSize = size;
        }
        at = body + size + (size & 1);
    }
    if (!fmt || fmtSize < 16) {
        throw fail("no fmt chunk");
    }
    if (!data) {
        throw fail("no data chunk");
    }
    const WORD tag = ReadU16(fmt);
    auto clip = std::make_shared<CaptureClip>();
    clip->channels = ReadU16(fmt + 2);
    clip->sampleRate = ReadU32(fmt + 4);
    const WORD blockAlign = ReadU16(fmt + 12);
    clip->bitsPerSample = ReadU16(fmt + 14);
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
        GUID subFormat;
        if (fmtSize < 40) {
            throw fail("WAVE_FORMAT_EXTENSIBLE fmt chunk shorter than 40 bytes");
        }
        std::memcpy(&subFormat, fmt + 24, sizeof subFormat);
        if (subFormat != KSDATAFORMAT_SUBTYPE_PCM) {
            throw fail("extensible format whose subformat is not PCM");
        }
    } else if (tag != WAVE_FORMAT_PCM) {
        throw fail("format tag " + std::to_string(tag) + " is not PCM");
    }
    const WORD bits = clip->bitsPerSample;
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        throw fail(std::to_string(bits) + " bits per sample (8, 16, 24 or 32 expected)");
    }
    if (clip->channels == 0 || blockAlign != clip->channels * (bits / 8)) {
        throw fail("channel count or block align inconsistent");
    }
    const size_t frames = dataSize / blockAlign;
    if (frames == 0) {
        throw fail("no sample frames");
    }
    const size_t bytesPerSample = bits / 8;
    clip->samples.resize(frames * clip->channels);
    for (size_t i = 0; i < clip->samples.size(); ++i) {
        const uint8_t* s = data + i * bytesPerSample;
        uint32_t value = 0;
        switch (bits) {
        case 8: value = static_cast<uint32_t>(static_cast<uint8_t>(s[0] ^ 0x80)) << 24; break;
        case 16: value = static_cast<uint32_t>(ReadU16(s)) << 16; break;
        case 24: value = (static_cast<uint32_t>(s[0]) << 8) | (static_cast<uint32_t>(s[1]) << 16) |
                         (static_cast<uint32_t>(s[2]) << 24);
            break;
        default: value = ReadU32(s); break;
        }
        clip->samples[i] = static_cast<int32_t>(value);
    }
    return clip;
}

std::vector<uint8_t> FmtChunkFor(const WAVEFORMATEX& format, const WAVEFORMATEXTENSIBLE* extensible)
{
    std::vector<uint8_t> chunk;
    if (extensible) {
        chunk.resize(sizeof(WAVEFORMATEXTENSIBLE));
        std::memcpy(chunk.data(), extensible, sizeof(WAVEFORMATEXTENSIBLE));
    } else {
        // PCMWAVEFORMAT: WAVEFORMATEX without cbSize.
        chunk.resize(16);
        std::memcpy(chunk.data(), &format, 16);
    }
    return chunk;
}

RenderFile::~RenderFile()
{
    Close();
}

bool RenderFile::Open(const std::string& path, const std::vector<uint8_t>& fmtChunk, std::string* error)
{
    Close();
    const bool resume = m_started && m_path == path && m_fmt == fmtChunk;
    m_file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         resume ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file == INVALID_HANDLE_VALUE) {
        *error = path + ": cannot be written (error " + std::to_string(GetLastError()) + ")";
        m_started = false;
        return false;
    }
    m_path = path;
    if (resume) {
        LARGE_INTEGER size{};
        const uint64_t header = 12 + 8 + m_fmt.size() + 8;
        if (GetFileSizeEx(m_file, &size) && static_cast<uint64_t>(size.QuadPart) >= header) {
            m_dataBytes = static_cast<uint64_t>(size.QuadPart) - header;
            SetFilePointer(m_file, 0, nullptr, FILE_END);
            return true;
        }
        // Someone cut the file short: start it again.
    }
    m_fmt = fmtChunk;
    m_dataBytes = 0;
    m_started = true;
    std::vector<uint8_t> header(12 + 8 + m_fmt.size() + 8);
    std::memcpy(header.data(), "RIFF", 4);
    std::memcpy(header.data() + 8, "WAVE", 4);
    std::memcpy(header.data() + 12, "fmt ", 4);
    PutU32(header.data() + 16, static_cast<uint32_t>(m_fmt.size()));
    std::memcpy(header.data() + 20, m_fmt.data(), m_fmt.size());
    std::memcpy(header.data() + 20 + m_fmt.size(), "data", 4);
    SetFilePointer(m_file, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(m_file);
    DWORD written = 0;
    WriteFile(m_file, header.data(), static_cast<DWORD>(header.size()), &written, nullptr);
    FixUp();
    return true;
}

void RenderFile::Append(const uint8_t* data, size_t size)
{
    if (m_file == INVALID_HANDLE_VALUE || size == 0) {
        return;
    }
    DWORD written = 0;
    if (WriteFile(m_file, data, static_cast<DWORD>(size), &written, nullptr)) {
        m_dataBytes += written;
    }
}

void RenderFile::FixUp()
{
    if (m_file == INVALID_HANDLE_VALUE) {
        return;
    }
    // RIFF sizes are 32 bits; a longer recording keeps the largest size that fits.
    const uint64_t riff = 4 + 8 + m_fmt.size() + 8 + m_dataBytes;
    uint8_t value[4];
    DWORD written = 0;
    PutU32(value, riff > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(riff));
    SetFilePointer(m_file, 4, nullptr, FILE_BEGIN);
    WriteFile(m_file, value, 4, &written, nullptr);
    PutU32(value, m_dataBytes > 0xFFFFFFF0u ? 0xFFFFFFF0u : static_cast<uint32_t>(m_dataBytes));
    SetFilePointer(m_file, static_cast<LONG>(12 + 8 + m_fmt.size() + 4), nullptr, FILE_BEGIN);
    WriteFile(m_file, value, 4, &written, nullptr);
    SetFilePointer(m_file, 0, nullptr, FILE_END);
}

void RenderFile::Close()
{
    if (m_file != INVALID_HANDLE_VALUE) {
        FixUp();
        CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
    }
}

void RenderFile::Forget()
{
    Close();
    m_started = false;
    m_fmt.clear();
    m_path.clear();
    m_dataBytes = 0;
}

}  // namespace kssim::detail

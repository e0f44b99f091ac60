#include "wav_file.h"

#include <cstring>

namespace wav {

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// KSDATAFORMAT_SUBTYPE_PCM, {00000001-0000-0010-8000-00AA00389B71}, as it
// lies in a file.
constexpr uint8_t kPcmSubformat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// A clip larger than this is refused rather than read into memory.
constexpr int64_t kLargestFile = 512LL * 1024 * 1024;

uint32_t Get32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void Put32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void Put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

std::string Failure(const std::string& path, const std::string& why)
{
    return path + ": " + why;
}

std::string WriteFailure(const std::string& path)
{
    return Failure(path, "cannot be written (error " + std::to_string(GetLastError()) + ")");
}

// The header of a file with this fmt chunk body, its sizes still zero.
std::vector<uint8_t> Header(const std::vector<uint8_t>& fmt)
{
    std::vector<uint8_t> header(12 + 8 + fmt.size() + 8);
    std::memcpy(header.data(), "RIFF", 4);
    std::memcpy(header.data() + 8, "WAVE", 4);
    std::memcpy(header.data() + 12, "fmt ", 4);
    Put32(header.data() + 16, static_cast<uint32_t>(fmt.size()));
    std::memcpy(header.data() + 20, fmt.data(), fmt.size());
    std::memcpy(header.data() + 20 + fmt.size(), "data", 4);
    return header;
}

// The RIFF size and the data size of a file with this fmt chunk body and
// data. They are 32 bits; a longer recording keeps the largest that fit.
uint32_t RiffSize(size_t fmtBytes, uint64_t dataBytes)
{
    const uint64_t riff = 4 + 8 + fmtBytes + 8 + dataBytes;
    return riff > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(riff);
}

uint32_t DataSize(uint64_t dataBytes)
{
    return dataBytes > 0xFFFFFFF0u ? 0xFFFFFFF0u : static_cast<uint32_t>(dataBytes);
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error)
{
    // Shared for writing too: a stream writer may still have the file open.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = Failure(path, "cannot be opened (error " + std::to_string(GetLastError()) + ")");
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > kLargestFile) {
        CloseHandle(file);
        error = Failure(path, "size unreadable or above 512 MB");
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD done = 0;
    const BOOL ok = bytes.empty() || ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    CloseHandle(file);
    if (!ok || done != bytes.size()) {
        error = Failure(path, "read failed");
        return false;
    }
    return true;
}

int32_t LeftAligned(const uint8_t* s, uint16_t bits)
{
    uint32_t value = 0;
    switch (bits) {
    case 8: value = static_cast<uint32_t>(static_cast<uint8_t>(s[0] ^ 0x80)) << 24; break;
    case 16: value = static_cast<uint32_t>(Get16(s)) << 16; break;
    case 24:
        value = (static_cast<uint32_t>(s[0]) << 8) | (static_cast<uint32_t>(s[1]) << 16) |
                (static_cast<uint32_t>(s[2]) << 24);
        break;
    default: value = Get32(s); break;
    }
    return static_cast<int32_t>(value);
}

}  // namespace

bool ReadPcmFile(const std::string& path, PcmClip& clip, std::string& error)
{
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, bytes, error)) {
        return false;
    }
    auto fail = [&](const std::string& why) {
        error = Failure(path, why);
        return false;
    };
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        return fail("not a RIFF/WAVE file");
    }
    const uint8_t* fmt = nullptr;
    size_t fmtSize = 0;
    const uint8_t* data = nullptr;
    size_t dataSize = 0;
    for (size_t at = 12; at + 8 <= bytes.size() && !data;) {
        const uint32_t chunkSize = Get32(bytes.data() + at + 4);
        const size_t body = at + 8;
        const size_t available = bytes.size() - body;
        const size_t size = chunkSize > available ? available : chunkSize;
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0 && !fmt) {
            fmt = bytes.data() + body;
            fmtSize = size;
        } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            data = bytes.data() + body;
            dataSize = chunkSize == 0 ? available : size;
        }
        at = body + size + (size & 1);
    }
    if (!fmt || fmtSize < 16) {
        return fail("no fmt chunk");
    }
    if (!data) {
        return fail("no data chunk");
    }
    const uint16_t tag = Get16(fmt);
    if (tag == kFormatExtensible) {
        if (fmtSize < 40) {
            return fail("WAVE_FORMAT_EXTENSIBLE fmt chunk shorter than 40 bytes");
        }
        if (std::memcmp(fmt + 24, kPcmSubformat, sizeof kPcmSubformat) != 0) {
            return fail("extensible format whose subformat is not PCM");
        }
    } else if (tag != kFormatPcm) {
        return fail("format tag " + std::to_string(tag) + " is not PCM");
    }
    const uint16_t channels = Get16(fmt + 2);
    const uint16_t blockAlign = Get16(fmt + 12);
    const uint16_t bits = Get16(fmt + 14);
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        return fail(std::to_string(bits) + " bits per sample (8, 16, 24 or 32 expected)");
    }
    if (channels == 0 || blockAlign != channels * (bits / 8)) {
        return fail("channel count or block align inconsistent");
    }
    clip.channels = channels;
    clip.bitsPerSample = bits;
    clip.sampleRate = Get32(fmt + 4);
    const size_t bytesPerSample = bits / 8;
    clip.samples.resize(dataSize / blockAlign * channels);
    for (size_t i = 0; i < clip.samples.size(); ++i) {
        clip.samples[i] = LeftAligned(data + i * bytesPerSample, bits);
    }
    return true;
}

std::vector<uint8_t> PcmFmtChunk(uint16_t channels, uint32_t sampleRate, uint16_t bitsPerSample)
{
    const auto blockAlign = static_cast<uint16_t>(channels * (bitsPerSample / 8));
    std::vector<uint8_t> chunk(16);
    Put16(chunk.data(), kFormatPcm);
    Put16(chunk.data() + 2, channels);
    Put32(chunk.data() + 4, sampleRate);
    Put32(chunk.data() + 8, sampleRate * blockAlign);
    Put16(chunk.data() + 12, blockAlign);
    Put16(chunk.data() + 14, bitsPerSample);
    return chunk;
}

bool WritePcm16File(const std::string& path, uint16_t channels, uint32_t sampleRate,
                    const std::vector<int16_t>& samples, std::string& error)
{
    const std::vector<uint8_t> fmt = PcmFmtChunk(channels, sampleRate, 16);
    const uint64_t dataBytes = samples.size() * sizeof(int16_t);
    std::vector<uint8_t> file = Header(fmt);
    Put32(file.data() + 4, RiffSize(fmt.size(), dataBytes));
    Put32(file.data() + file.size() - 4, DataSize(dataBytes));
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    file.insert(file.end(), bytes, bytes + dataBytes);
    HANDLE out = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        error = WriteFailure(path);
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(out, file.data(), static_cast<DWORD>(file.size()), &written, nullptr) &&
                    written == file.size();
    if (!ok) {
        error = WriteFailure(path);
    }
    CloseHandle(out);
    return ok;
}

CWavStreamWriter::~CWavStreamWriter()
{
    Close();
}

bool CWavStreamWriter::Open(const std::string& path, const std::vector<uint8_t>& fmtChunk, std::string* error)
{
    Close();
    const bool resume = m_started && m_path == path && m_fmt == fmtChunk;
    m_file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         resume ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file == INVALID_HANDLE_VALUE) {
        *error = WriteFailure(path);
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
    const std::vector<uint8_t> header = Header(m_fmt);
    SetFilePointer(m_file, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(m_file);
    DWORD written = 0;
    WriteFile(m_file, header.data(), static_cast<DWORD>(header.size()), &written, nullptr);
    FixUp();
    return true;
}

void CWavStreamWriter::Append(const uint8_t* data, size_t size)
{
    if (m_file == INVALID_HANDLE_VALUE || size == 0) {
        return;
    }
    DWORD written = 0;
    if (WriteFile(m_file, data, static_cast<DWORD>(size), &written, nullptr)) {
        m_dataBytes += written;
    }
}

void CWavStreamWriter::FixUp()
{
    if (m_file == INVALID_HANDLE_VALUE) {
        return;
    }
    uint8_t value[4];
    DWORD written = 0;
    Put32(value, RiffSize(m_fmt.size(), m_dataBytes));
    SetFilePointer(m_file, 4, nullptr, FILE_BEGIN);
    WriteFile(m_file, value, 4, &written, nullptr);
    Put32(value, DataSize(m_dataBytes));
    SetFilePointer(m_file, static_cast<LONG>(12 + 8 + m_fmt.size() + 4), nullptr, FILE_BEGIN);
    WriteFile(m_file, value, 4, &written, nullptr);
    SetFilePointer(m_file, 0, nullptr, FILE_END);
}

void CWavStreamWriter::Close()
{
    if (m_file != INVALID_HANDLE_VALUE) {
        FixUp();
        CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
    }
}

void CWavStreamWriter::Forget()
{
    Close();
    m_started = false;
    m_fmt.clear();
    m_path.clear();
    m_dataBytes = 0;
}

}  // namespace wav

#include "wav_io.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

void Put16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

uint32_t Get32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

bool WriteWav16(const std::string& path, uint16_t channels, uint32_t sampleRate, const std::vector<int16_t>& samples,
                std::string& error)
{
    const auto dataBytes = static_cast<uint32_t>(samples.size() * sizeof(int16_t));
    std::vector<uint8_t> file;
    file.insert(file.end(), {'R', 'I', 'F', 'F'});
    Put32(file, 36 + dataBytes);
    file.insert(file.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(file, 16);
    Put16(file, 1);
    Put16(file, channels);
    Put32(file, sampleRate);
    Put32(file, sampleRate * channels * 2);
    Put16(file, static_cast<uint16_t>(channels * 2));
    Put16(file, 16);
    file.insert(file.end(), {'d', 'a', 't', 'a'});
    Put32(file, dataBytes);
    const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
    file.insert(file.end(), bytes, bytes + dataBytes);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()))) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool ReadWav(const std::string& path, WavData& wav, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 || std::memcmp(file.data() + 8, "WAVE", 4) != 0) {
        error = path + " is not a RIFF/WAVE file";
        return false;
    }
    bool haveFormat = false;
    for (size_t pos = 12; pos + 8 <= file.size();) {
        const uint32_t size = Get32(&file[pos + 4]);
        const size_t body = pos + 8;
        const size_t available = file.size() - body;
        if (std::memcmp(&file[pos], "fmt ", 4) == 0 && size >= 16 && available >= 16) {
            wav.channels = Get16(&file[body + 2]);
            wav.sampleRate = Get32(&file[body + 4]);
            wav.bitsPerSample = Get16(&file[body + 14]);
            haveFormat = true;
        } else if (std::memcmp(&file[pos], "data", 4) == 0) {
            // A writer that did not finish its header leaves the size short;
            // the bytes that are there count.
            const size_t take = size > available || size == 0 ? available : size;
            wav.data.assign(file.begin() + static_cast<std::ptrdiff_t>(body),
                            file.begin() + static_cast<std::ptrdiff_t>(body + take));
            if (take == available) {
                break;
            }
        }
        pos = body + size + (size & 1);
    }
    if (!haveFormat || wav.channels == 0 || wav.bitsPerSample == 0) {
        error = path + " has no usable fmt chunk";
        return false;
    }
    return true;
}

#include "settings_fuzz_cases.h"

#include "appdata_redirect.h"
#include "settings_file.h"
#include "settings_limits.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace SettingsFuzz {

namespace {

// Keys of section "default" and of a device section (with its direction
// prefix), each with the section it lives in.
struct KeyPlace {
    const char* section;
    const char* key;
};
constexpr KeyPlace kKeys[] = {
    {"default", "BlockFrames"},        {"default", "BitSpersample"},  {"default", "SampleFormat"},
    {"default", "SampleRate"},         {"default", "InputLatency"},   {"default", "OutputLatency"},
    {"default", "Volume"},             {"default", "RequestsInFlight"}, {"default", "TraceFile"},
    {"default", "out"},                {"default", "in"},
    {"Spk A", "outMaximumChannels"},   {"Spk A", "outMinimumSampleFrequency"},
    {"Spk A", "outMaximumSampleFrequency"}, {"Spk A", "outMinimumBitsPerSample"},
    {"Spk A", "outMaximumBitsPerSample"},   {"Spk A", "outChannelLink"}, {"Spk A", "outOutLatency"},
    {"Mic", "inMaximumChannels"},      {"Mic", "inChannelLink"},
};

// Numbers at and beyond every limit a key has, and texts that are no number.
constexpr const char* kLimitValues[] = {
    "0", "-1", "1", "-2147483648", "2147483647", "2147483648", "-2147483649", "4294967296",
    "99999999999999999999", "1e30", "-1e30", "1e-30", "nan", "NaN", "-nan", "inf", "-inf", "Infinity",
    "", " ", "0x7fffffff", "0x80000000", "-0", "-0.0", "1.5", "0.999999", "1.0000001", "15", "16", "8192",
    "8193", "7", "9", "2", "8", "3", "44100", "192000", "192001", "480000", "480001", "  0.25", "0;1",
    "-2;-1", "2147483647;-2147483648", ";;;;", "float", "FLOAT", "int", "abc",
};

}  // namespace

const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::RandomBytes: return "random bytes";
    case Kind::Truncated: return "truncated";
    case Kind::LimitNumber: return "limit numbers";
    case Kind::ManyDevices: return "many devices";
    case Kind::HugeLine: return "megabyte lines";
    case Kind::InvalidGbk: return "invalid GBK";
    case Kind::EmbeddedNul: return "embedded NUL";
    case Kind::Mutated: return "mutated";
    case Kind::Count: break;
    }
    return "?";
}

std::string ValidFile()
{
    return "[default]\r\n"
           "BlockFrames=256\r\n"
           "SampleRate=48000\r\n"
           "BitSpersample=16\r\n"
           "SampleFormat=int\r\n"
           "InputLatency=0\r\n"
           "OutputLatency=0\r\n"
           "Volume=0.800000\r\n"
           "RequestsInFlight=2\r\n"
           "out=Spk A;Spk B\r\n"
           "in=Mic\r\n"
           "[Spk A]\r\n"
           "outMaximumChannels=2\r\n"
           "outMinimumSampleFrequency=8000\r\n"
           "outMaximumSampleFrequency=48000\r\n"
           "outMinimumBitsPerSample=16\r\n"
           "outMaximumBitsPerSample=16\r\n"
           "outChannelLink=0;1\r\n"
           "outOutLatency=  0.10\r\n"
           "[Spk B]\r\n"
           "outMaximumChannels=2\r\n"
           "outChannelLink=0;1\r\n"
           "[Mic]\r\n"
           "inMaximumChannels=2\r\n"
           "inChannelLink=0;1\r\n";
}

Generator::Generator(uint32_t seed) : m_rng(seed), m_valid(ValidFile()) {}

Input Generator::Make(uint64_t index)
{
    const auto kind = static_cast<Kind>(index % static_cast<uint64_t>(Kind::Count));
    switch (kind) {
    case Kind::RandomBytes:
        return {kind, RandomBytes(4096)};
    case Kind::Truncated: {
        // Every cut point in turn, round and round.
        const size_t cut = static_cast<size_t>(m_truncations++ % (m_valid.size() + 1));
        return {kind, m_valid.substr(0, cut)};
    }
    case Kind::LimitNumber:
        return {kind, LimitNumber()};
    case Kind::ManyDevices:
        return {kind, ManyDevices()};
    case Kind::HugeLine:
        return {kind, HugeLine()};
    case Kind::InvalidGbk:
        return {kind, InvalidGbk()};
    case Kind::EmbeddedNul:
        return {kind, EmbeddedNul()};
    case Kind::Mutated:
    case Kind::Count:
        break;
    }
    return {Kind::Mutated, Mutated()};
}

std::string Generator::RandomBytes(size_t most)
{
    std::string bytes(std::uniform_int_distribution<size_t>(0, most)(m_rng), '\0');
    // Half of them printable with line ends and INI punctuation, so that the
    // parser gets past the first line.
    const bool text = m_rng() % 2 == 0;
    constexpr char kText[] = "[]=;.-+0123456789eE \r\nabcdefinoutSpkAMic\t#";
    for (char& c : bytes) {
        c = text ? kText[m_rng() % (sizeof kText - 1)] : static_cast<char>(m_rng() & 0xFF);
    }
    return bytes;
}

std::string Generator::LimitNumber()
{
    std::string file = m_valid;
    // One to three keys of the valid file set to limit values; a key the
    // file does not hold is added to its section.
    const int keys = 1 + static_cast<int>(m_rng() % 3);
    for (int k = 0; k < keys; ++k) {
        const KeyPlace& place = kKeys[m_rng() % std::size(kKeys)];
        const std::string value = kLimitValues[m_rng() % std::size(kLimitValues)];
        const std::string header = std::string("[") + place.section + "]\r\n";
        const std::string keyEq = std::string("\n") + place.key + "=";
        size_t sectionAt = file.find(header);
        if (sectionAt == std::string::npos) {
            file += header;
            sectionAt = file.size() - header.size();
        }
        const size_t nextSection = file.find("\n[", sectionAt + 1);
        const size_t keyAt = file.find(keyEq, sectionAt);
        if (keyAt != std::string::npos && (nextSection == std::string::npos || keyAt < nextSection)) {
            const size_t valueAt = keyAt + keyEq.size();
            const size_t lineEnd = file.find("\r\n", valueAt);
            file.replace(valueAt, lineEnd == std::string::npos ? std::string::npos : lineEnd - valueAt, value);
        } else {
            file.insert(sectionAt + header.size(), std::string(place.key) + "=" + value + "\r\n");
        }
    }
    return file;
}

std::string Generator::ManyDevices()
{
    // 1000 to 20000 names (duplicates and blanks among them), some with
    // sections of their own; the file stays under its size limit.
    const int count = 1000 + static_cast<int>(m_rng() % 19001);
    const char* direction = m_rng() % 2 ? "out" : "in";
    std::string list;
    std::string sections;
    for (int i = 0; i < count; ++i) {
        std::string name;
        switch (m_rng() % 8) {
        case 0: name = ""; break;
        case 1: name = "Spk A"; break;
        default: name = "Dev " + std::to_string(m_rng() % 100000); break;
        }
        list += (i ? ";" : "") + name;
        if (m_rng() % 4 == 0 && sections.size() < 400000) {
            sections += "[" + name + "]\r\n" + direction + "MaximumChannels=" + std::to_string(m_rng() % 70000) +
                        "\r\n" + direction + "ChannelLink=" + std::to_string(static_cast<int32_t>(m_rng())) + ";" +
                        std::to_string(static_cast<int32_t>(m_rng())) + "\r\n";
        }
    }
    return "[default]\r\nSampleRate=48000\r\n" + std::string(direction) + "=" + list + "\r\n" + sections;
}

std::string Generator::HugeLine()
{
    // Either side of the 1 MiB file limit, or well under it.
    constexpr size_t kSizes[] = {(1u << 20) - 200, (1u << 20) + 1, 300000, 65536};
    const size_t size = kSizes[m_rng() % std::size(kSizes)];
    const char fill = "A;9 \xb0"[m_rng() % 5];
    std::string line(size, fill);
    switch (m_rng() % 4) {
    case 0: return "[default]\r\nout=" + line + "\r\n" + m_valid;
    case 1: return m_valid + "[" + line + "]\r\noutMaximumChannels=2\r\n";
    case 2: return "[default]\r\nBlockFrames=" + line + "\r\n";
    default: return "[default]\r\nVolume=0." + line + "\r\n" + m_valid;
    }
}

std::string Generator::InvalidGbk()
{
    // GBK lead bytes (0x81-0xFE) with a missing or invalid trail, 0x80 and
    // 0xFF (in no double-byte position), in names, section headers and keys.
    constexpr const char* kBad[] = {"\x81", "\xfe", "\x80", "\xff", "\xb0\x20", "\xd6\x0a", "\xc4\x3b", "\xa1\x7f"};
    std::string file = m_valid;
    const int count = 1 + static_cast<int>(m_rng() % 6);
    for (int i = 0; i < count; ++i) {
        const size_t at = std::uniform_int_distribution<size_t>(0, file.size())(m_rng);
        file.insert(at, kBad[m_rng() % std::size(kBad)]);
    }
    if (m_rng() % 2) {
        file += "[default]\r\nout=Spk A;\xb2\xe2\xca\xd4\x81;\xff\xfe\r\n[\xb2\xe2\xca\xd4\x81]\r\noutMaximumChannels=2\r\n";
    }
    return file;
}

std::string Generator::EmbeddedNul()
{
    std::string file = m_valid;
    const int count = 1 + static_cast<int>(m_rng() % 4);
    for (int i = 0; i < count; ++i) {
        const size_t at = std::uniform_int_distribution<size_t>(0, file.size())(m_rng);
        file.insert(at, 1, '\0');
    }
    return file;
}

std::string Generator::Mutated()
{
    std::string file = m_valid;
    const int edits = 1 + static_cast<int>(m_rng() % 8);
    for (int i = 0; i < edits; ++i) {
        const size_t at = file.empty() ? 0 : m_rng() % file.size();
        switch (m_rng() % 5) {
        case 0:
            if (!file.empty()) file[at] = static_cast<char>(file[at] ^ (1 << (m_rng() % 8)));
            break;
        case 1: file.insert(at, 1, static_cast<char>(m_rng() & 0xFF)); break;
        case 2: if (!file.empty()) file.erase(at, 1 + m_rng() % 16); break;
        case 3: {
            // A line doubled.
            const size_t start = file.rfind('\n', at);
            const size_t from = start == std::string::npos ? 0 : start + 1;
            const size_t end = file.find('\n', at);
            file.insert(from, file.substr(from, end == std::string::npos ? std::string::npos : end - from + 1));
            break;
        }
        default: file.insert(at, RandomBytes(24)); break;
        }
    }
    return file;
}

std::string Violation(const DriverSettings& s)
{
    using namespace SettingsLimits;
    const auto bad = [](const char* field, double value) {
        return std::string(field) + " = " + std::to_string(value);
    };
    if (s.blockFrames < kSmallestBlockFrames || s.blockFrames > kLargestBlockFrames) return bad("blockFrames", s.blockFrames);
    if (!IsSupportedBitsPerSample(s.bitsPerSample)) return bad("bitsPerSample", s.bitsPerSample);
    if (!IsSupportedSampleRate(s.sampleRate)) return bad("sampleRate", s.sampleRate);
    if (s.inputLatency < 0 || s.inputLatency > kLongestLatencySetting) return bad("inputLatency", s.inputLatency);
    if (s.outputLatency < 0 || s.outputLatency > kLongestLatencySetting) return bad("outputLatency", s.outputLatency);
    if (!(s.volume >= 0.0f && s.volume <= 1.0f)) return bad("volume", s.volume);
    if (s.requestsInFlight < kFewestRequestsInFlight || s.requestsInFlight > kMostRequestsInFlight)
        return bad("requestsInFlight", s.requestsInFlight);
    if (static_cast<int>(s.hostSampleType) < 0 || static_cast<int>(s.hostSampleType) > 3)
        return bad("hostSampleType", static_cast<int>(s.hostSampleType));
    for (const DeviceSettingsTable* table : {&s.inputDevices, &s.outputDevices}) {
        if (table->size() > static_cast<size_t>(kMostDevicesPerList)) return bad("devices", static_cast<double>(table->size()));
        for (const auto& [name, device] : *table) {
            if (!(device.outLatency >= 0.0f && device.outLatency <= kLongestOutLatency))
                return bad(("outLatency of " + name).c_str(), device.outLatency);
        }
    }
    return {};
}

std::string ReaderViolation(SettingsFile& file, const std::string& settingsPath, const std::string& bytes)
{
    WriteFileBytes(settingsPath, bytes);
    std::string problem = Violation(*file.LoadSettings());
    if (!problem.empty()) {
        return problem;
    }
    const LiveValues live = file.LoadLiveValues();
    if (live.volume && !(*live.volume >= 0.0f && *live.volume <= 1.0f)) {
        return "live volume " + std::to_string(*live.volume);
    }
    if (live.outputDelays.size() > static_cast<size_t>(SettingsLimits::kMostDevicesPerList)) {
        return "live delays of " + std::to_string(live.outputDelays.size()) + " devices";
    }
    for (const auto& [name, delay] : live.outputDelays) {
        if (!(delay >= 0.0f && delay <= SettingsLimits::kLongestOutLatency)) {
            return "live delay of " + name + " " + std::to_string(delay);
        }
    }
    file.ReadDefaultText("SampleFormat", "");
    return {};
}

}  // namespace SettingsFuzz

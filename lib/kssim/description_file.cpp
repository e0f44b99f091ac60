#include "description_file.h"

#include "device_wav_files.h"
#include "rt_audio.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <stdexcept>

namespace kssim::detail {

namespace {

struct Entry {
    std::string key;
    std::string value;
    int line = 0;
};

struct Section {
    std::string name;
    int line = 0;
    std::vector<Entry> entries;
};

std::string Trim(const std::string& text)
{
    const auto begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return {};
    }
    const auto end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Text of the file is UTF-8.
bool Utf8ToWide(const std::string& text, std::wstring* wide)
{
    wide->clear();
    if (text.empty()) {
        return true;
    }
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) {
        return false;
    }
    wide->resize(static_cast<size_t>(length));
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), wide->data(), length);
    return true;
}

class Parser {
public:
    Parser(const std::string& path) : m_path(path)
    {
        const auto slash = path.find_last_of("\\/");
        m_folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    }

    [[noreturn]] void Error(int line, const std::string& reason) const
    {
        throw std::runtime_error(m_path + ":" + std::to_string(line) + ": " + reason);
    }

    std::vector<Section> Split(const std::string& text) const
    {
        std::vector<Section> sections;
        size_t at = 0;
        int line = 0;
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            at = 3;
        }
        while (at <= text.size()) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos) {
                end = text.size();
            }
            std::string raw = text.substr(at, end - at);
            at = end + 1;
            ++line;
            if (!raw.empty() && raw.back() == '\r') {
                raw.pop_back();
            }
            const std::string content = Trim(raw);
            if (content.empty() || content[0] == ';' || content[0] == '#') {
                continue;
            }
            if (content[0] == '[') {
                if (content.back() != ']') {
                    Error(line, "section header without closing ']'");
                }
                sections.push_back({Trim(content.substr(1, content.size() - 2)), line, {}});
                continue;
            }
            const auto equals = content.find('=');
            if (equals == std::string::npos) {
                Error(line, "expected 'key = value' or a [section]");
            }
            if (sections.empty()) {
                Error(line, "key outside a section");
            }
            std::string key = Lower(Trim(content.substr(0, equals)));
            std::string value = Trim(content.substr(equals + 1));
            if (key.empty()) {
                Error(line, "empty key");
            }
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                value = value.substr(1, value.size() - 2);
            }
            sections.back().entries.push_back({key, value, line});
        }
        return sections;
    }

    std::string FilePath(const std::string& name) const
    {
        const bool absolute = (name.size() >= 2 && name[1] == ':') || (!name.empty() && (name[0] == '\\' || name[0] == '/'));
        return absolute ? name : m_folder + name;
    }

    // Values.

    unsigned long Number(const Entry& entry, const std::string& text) const
    {
        const std::string trimmed = Trim(text);
        char* end = nullptr;
        const unsigned long value = std::strtoul(trimmed.c_str(), &end, 0);
        if (trimmed.empty() || *end != '\0' || trimmed[0] == '-') {
            Error(entry.line, "'" + entry.key + "': '" + text + "' is not a whole number");
        }
        return value;
    }

    double Real(const Entry& entry) const
    {
        char* end = nullptr;
        const double value = std::strtod(entry.value.c_str(), &end);
        if (entry.value.empty() || *end != '\0') {
            Error(entry.line, "'" + entry.key + "': '" + entry.value + "' is not a number");
        }
        return value;
    }

    bool Word(const Entry& entry, const std::string& yes, const std::string& no) const
    {
        const std::string value = Lower(entry.value);
        if (value == yes) {
            return true;
        }
        if (value == no) {
            return false;
        }
        Error(entry.line, "'" + entry.key + "' is '" + yes + "' or '" + no + "', not '" + entry.value + "'");
    }

    template <typename T>
    T Choice(const Entry& entry, const std::map<std::string, T>& choices) const
    {
        const auto found = choices.find(Lower(entry.value));
        if (found == choices.end()) {
            std::string names;
            for (const auto& [name, value] : choices) {
                names += (names.empty() ? "" : ", ") + name;
            }
            Error(entry.line, "'" + entry.key + "': '" + entry.value + "' is not one of " + names);
        }
        return found->second;
    }

    GUID Guid(const Entry& entry, const std::string& text) const
    {
        // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
        const std::string value = Trim(text);
        auto bad = [&]() { Error(entry.line, "'" + entry.key + "': '" + text + "' is not a GUID {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"); };
        if (value.size() != 38 || value.front() != '{' || value.back() != '}') {
            bad();
        }
        static const int dashes[] = {9, 14, 19, 24};
        std::string hex;
        for (size_t i = 1; i < 37; ++i) {
            if (std::find(std::begin(dashes), std::end(dashes), static_cast<int>(i)) != std::end(dashes)) {
                if (value[i] != '-') {
                    bad();
                }
                continue;
            }
            if (!std::isxdigit(static_cast<unsigned char>(value[i]))) {
                bad();
            }
            hex += value[i];
        }
        auto part = [&](size_t from, size_t digits) { return std::strtoull(hex.substr(from, digits).c_str(), nullptr, 16); };
        GUID guid{};
        guid.Data1 = static_cast<unsigned long>(part(0, 8));
        guid.Data2 = static_cast<unsigned short>(part(8, 4));
        guid.Data3 = static_cast<unsigned short>(part(12, 4));
        for (size_t i = 0; i < 8; ++i) {
            guid.Data4[i] = static_cast<unsigned char>(part(16 + 2 * i, 2));
        }
        return guid;
    }

    GUID NamedGuid(const Entry& entry, const std::string& text, const std::map<std::string, GUID>& names) const
    {
        const std::string value = Trim(text);
        if (!value.empty() && value[0] == '{') {
            return Guid(entry, value);
        }
        const auto found = names.find(Lower(value));
        if (found == names.end()) {
            std::string known;
            for (const auto& [name, guid] : names) {
                known += (known.empty() ? "" : ", ") + name;
            }
            Error(entry.line, "'" + entry.key + "': '" + value + "' is neither a GUID nor one of " + known);
        }
        return found->second;
    }

    std::vector<std::string> List(const Entry& entry) const
    {
        std::vector<std::string> items;
        size_t at = 0;
        while (at <= entry.value.size()) {
            size_t comma = entry.value.find(',', at);
            if (comma == std::string::npos) {
                comma = entry.value.size();
            }
            const std::string item = Trim(entry.value.substr(at, comma - at));
            if (item.empty()) {
                Error(entry.line, "'" + entry.key + "': empty item in list");
            }
            items.push_back(item);
            at = comma + 1;
        }
        if (items.size() == 1 && Lower(items[0]) == "none") {
            items.clear();
        }
        return items;
    }

    const std::string& Path() const { return m_path; }

    // Device texts are stored in UTF-16 and handed out by the ANSI SetupAPI
    // functions in the ANSI code page, characters it lacks becoming '?'.
    std::string AnsiText(const Entry& entry) const
    {
        std::wstring wide;
        if (!Utf8ToWide(entry.value, &wide)) {
            Error(entry.line, "'" + entry.key + "' is not valid UTF-8");
        }
        if (wide.empty()) {
            return {};
        }
        const int length = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), nullptr, 0,
                                               nullptr, nullptr);
        std::string ansi(static_cast<size_t>(std::max(length, 0)), '\0');
        WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), ansi.data(), length, nullptr, nullptr);
        return ansi;
    }

private:
    std::string m_path;
    std::string m_folder;
};

const std::map<std::string, GUID>& ClassNames()
{
    static const std::map<std::string, GUID> names = {
        {"audio", KSCATEGORY_AUDIO}, {"render", KSCATEGORY_RENDER}, {"capture", KSCATEGORY_CAPTURE},
        {"realtime", kKsCategoryRealtime}};
    return names;
}

const std::map<std::string, GUID>& NodeNames()
{
    static const std::map<std::string, GUID> names = {
        {"dac", KSNODETYPE_DAC},       {"adc", KSNODETYPE_ADC},           {"volume", KSNODETYPE_VOLUME},
        {"mute", KSNODETYPE_MUTE},     {"sum", KSNODETYPE_SUM},           {"mux", KSNODETYPE_MUX},
        {"src", KSNODETYPE_SRC},       {"supermix", KSNODETYPE_SUPERMIX}, {"speaker", KSNODETYPE_SPEAKER},
        {"microphone", KSNODETYPE_MICROPHONE}};
    return names;
}

const std::map<std::string, GUID>& CategoryNames()
{
    static const std::map<std::string, GUID> names = {{"audio", KSCATEGORY_AUDIO},
                                                      {"speaker", KSNODETYPE_SPEAKER},
                                                      {"microphone", KSNODETYPE_MICROPHONE},
                                                      {"line", KSNODETYPE_LINE_CONNECTOR},
                                                      {"none", GUID_NULL}};
    return names;
}

const std::map<std::string, ULONG>& PinPropertyNames()
{
    static const std::map<std::string, ULONG> names = {
        {"cinstances", KSPROPERTY_PIN_CINSTANCES},   {"dataflow", KSPROPERTY_PIN_DATAFLOW},
        {"dataranges", KSPROPERTY_PIN_DATARANGES},   {"interfaces", KSPROPERTY_PIN_INTERFACES},
        {"mediums", KSPROPERTY_PIN_MEDIUMS},         {"communication", KSPROPERTY_PIN_COMMUNICATION},
        {"globalcinstances", KSPROPERTY_PIN_GLOBALCINSTANCES}, {"category", KSPROPERTY_PIN_CATEGORY},
        {"name", KSPROPERTY_PIN_NAME}};
    return names;
}

// "standard", "looped", "none", or "{set}:id".
std::vector<KSIDENTIFIER> Identifiers(const Parser& parser, const Entry& entry, bool mediums)
{
    std::vector<KSIDENTIFIER> identifiers;
    for (const std::string& item : parser.List(entry)) {
        const std::string word = Lower(item);
        KSIDENTIFIER identifier{};
        if (word == "standard") {
            identifier = mediums ? StandardMedium() : StandardStreamingInterface();
        } else if (!mediums && word == "looped") {
            identifier = StandardStreamingInterface();
            identifier.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
        } else {
            const auto colon = item.find(':');
            if (colon == std::string::npos) {
                parser.Error(entry.line, "'" + entry.key + "': '" + item + "' is not " +
                                             (mediums ? "standard" : "standard, looped") + " or {set-guid}:id");
            }
            identifier.Set = parser.Guid(entry, item.substr(0, colon));
            identifier.Id = parser.Number(entry, item.substr(colon + 1));
        }
        identifiers.push_back(identifier);
    }
    return identifiers;
}

void Bounds(const Parser& parser, const Entry& entry, const std::string& text, ULONG* low, ULONG* high)
{
    const auto dash = text.find('-');
    if (dash == std::string::npos) {
        *low = *high = parser.Number(entry, text);
    } else {
        *low = parser.Number(entry, text.substr(0, dash));
        *high = parser.Number(entry, text.substr(dash + 1));
    }
    if (*low > *high) {
        parser.Error(entry.line, "'" + entry.key + "': range '" + text + "' runs backwards");
    }
}

// "channels=2 bits=16-24 rate=44100-48000 [major=..] [sub=..] [specifier=..] [size=..]"
AudioRange Range(const Parser& parser, const Entry& entry)
{
    AudioRange range;
    bool channels = false, bits = false, rate = false;
    size_t at = 0;
    const std::string& text = entry.value;
    while (at < text.size()) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
            ++at;
        }
        if (at >= text.size()) {
            break;
        }
        size_t end = at;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) {
            ++end;
        }
        const std::string token = text.substr(at, end - at);
        at = end;
        const auto equals = token.find('=');
        if (equals == std::string::npos) {
            parser.Error(entry.line, "range: '" + token + "' is not name=value");
        }
        const std::string name = Lower(token.substr(0, equals));
        const std::string value = token.substr(equals + 1);
        if (name == "channels") {
            range.maximumChannels = parser.Number(entry, value);
            channels = true;
        } else if (name == "bits") {
            Bounds(parser, entry, value, &range.minimumBitsPerSample, &range.maximumBitsPerSample);
            bits = true;
        } else if (name == "rate") {
            Bounds(parser, entry, value, &range.minimumSampleFrequency, &range.maximumSampleFrequency);
            rate = true;
        } else if (name == "major") {
            range.majorFormat = parser.NamedGuid(entry, value, {{"audio", KSDATAFORMAT_TYPE_AUDIO}, {"any", GUID_NULL}});
        } else if (name == "sub") {
            range.subFormat = parser.NamedGuid(
                entry, value,
                {{"pcm", KSDATAFORMAT_SUBTYPE_PCM},
                 {"float", KSDATAFORMAT_SUBTYPE_IEEE_FLOAT},
                 {"analog", KSDATAFORMAT_SUBTYPE_ANALOG},
                 {"any", GUID_NULL}});
        } else if (name == "specifier") {
            range.specifier = parser.NamedGuid(entry, value,
                                               {{"wfx", KSDATAFORMAT_SPECIFIER_WAVEFORMATEX},
                                                {"none", KSDATAFORMAT_SPECIFIER_NONE},
                                                {"any", GUID_NULL}});
        } else if (name == "size") {
            range.formatSize = parser.Number(entry, value);
            if (range.formatSize < sizeof(KSDATARANGE) || range.formatSize > 4096) {
                parser.Error(entry.line, "range: size " + value + " is outside 64..4096");
            }
        } else {
            parser.Error(entry.line, "range: unknown item '" + name + "' (channels, bits, rate, major, sub, specifier, size)");
        }
    }
    if (!channels || !bits || !rate) {
        parser.Error(entry.line, "range needs channels=, bits= and rate=");
    }
    return range;
}

KSPIN_CINSTANCES Instances(const Parser& parser, const Entry& entry)
{
    KSPIN_CINSTANCES instances{};
    const auto slash = entry.value.find('/');
    instances.PossibleCount = parser.Number(entry, entry.value.substr(0, slash));
    instances.CurrentCount = slash == std::string::npos ? 0 : parser.Number(entry, entry.value.substr(slash + 1));
    return instances;
}

void ApplyPinKeys(const Parser& parser, const Section& section, PinModel& pin)
{
    bool rangesGiven = false;
    std::map<std::string, int> seen;
    for (const Entry& entry : section.entries) {
        if (entry.key != "range" && seen[entry.key]++) {
            parser.Error(entry.line, "'" + entry.key + "' given twice in [" + section.name + "]");
        }
        if (entry.key == "communication") {
            pin.communication = parser.Choice<ULONG>(entry, {{"none", KSPIN_COMMUNICATION_NONE},
                                                             {"sink", KSPIN_COMMUNICATION_SINK},
                                                             {"source", KSPIN_COMMUNICATION_SOURCE},
                                                             {"both", KSPIN_COMMUNICATION_BOTH},
                                                             {"bridge", KSPIN_COMMUNICATION_BRIDGE}});
        } else if (entry.key == "dataflow") {
            pin.dataFlow = parser.Choice<ULONG>(entry, {{"in", KSPIN_DATAFLOW_IN}, {"out", KSPIN_DATAFLOW_OUT}});
        } else if (entry.key == "interfaces") {
            pin.interfaces = Identifiers(parser, entry, false);
        } else if (entry.key == "mediums") {
            pin.mediums = Identifiers(parser, entry, true);
        } else if (entry.key == "range") {
            if (!rangesGiven) {
                pin.ranges.clear();
                rangesGiven = true;
            }
            if (Lower(entry.value) != "none") {
                pin.ranges.push_back(Range(parser, entry));
            }
        } else if (entry.key == "name") {
            std::wstring name;
            if (!Utf8ToWide(entry.value, &name)) {
                parser.Error(entry.line, "'name' is not valid UTF-8");
            }
            pin.name = name;
        } else if (entry.key == "category") {
            pin.category = parser.NamedGuid(entry, entry.value, CategoryNames());
        } else if (entry.key == "instances") {
            pin.instances = Instances(parser, entry);
        } else if (entry.key == "global-instances") {
            pin.globalInstances = Instances(parser, entry);
        } else if (entry.key == "layouts") {
            pin.acceptedLayouts = parser.Choice<FormatLayouts>(
                entry, {{"both", FormatLayouts::Both}, {"pcm", FormatLayouts::PcmOnly}, {"extensible", FormatLayouts::ExtensibleOnly}});
        } else if (entry.key == "unclaimed-formats") {
            pin.acceptsUnclaimedFormats = parser.Word(entry, "accept", "refuse");
        } else if (entry.key == "every-format") {
            pin.refusesEveryFormat = !parser.Word(entry, "accept", "refuse");
        } else if (entry.key == "refused-bits") {
            pin.refusedBits.clear();
            for (const std::string& item : parser.List(entry)) {
                pin.refusedBits.insert(static_cast<WORD>(parser.Number(entry, item)));
            }
        } else if (entry.key == "valid-bits") {
            pin.requiredValidBits = Lower(entry.value) == "any" ? 0 : static_cast<WORD>(parser.Number(entry, entry.value));
        } else if (entry.key == "looped") {
            pin.acceptsLooped = parser.Word(entry, "accept", "refuse");
        } else if (entry.key == "failing-properties") {
            pin.failingProperties.clear();
            for (const std::string& item : parser.List(entry)) {
                Entry one = entry;
                one.value = item;
                if (std::isdigit(static_cast<unsigned char>(item[0]))) {
                    pin.failingProperties.insert(parser.Number(entry, item));
                } else {
                    pin.failingProperties.insert(parser.Choice(one, PinPropertyNames()));
                }
            }
        } else {
            parser.Error(entry.line, "unknown key '" + entry.key + "' in pin section [" + section.name + "]");
        }
    }
}

// The wavert.* keys of a device section (a device given one becomes WaveRT
// in its buffer rules; its alias and pin interfaces are the type's or the
// section's own).
void ApplyWaveRtKey(const Parser& parser, const Entry& entry, const std::string& name, DeviceModel& device)
{
    if (!device.waveRt) {
        device.waveRt = WaveRtModel();
    }
    WaveRtModel& rt = *device.waveRt;
    if (name == "alignment") {
        rt.alignment = parser.Number(entry, entry.value);
        if (rt.alignment == 0) {
            parser.Error(entry.line, "wavert.alignment must be at least 1");
        }
    } else if (name == "smallest") {
        rt.smallestBytes = parser.Number(entry, entry.value);
    } else if (name == "largest") {
        rt.largestBytes = parser.Number(entry, entry.value);
    } else if (name == "sizes") {
        rt.roundsSizes = parser.Word(entry, "round", "refuse-unaligned");
    } else if (name == "grant") {
        rt.grantedBytes = parser.Number(entry, entry.value);
    } else if (name == "notifications") {
        rt.notifications = parser.Word(entry, "yes", "no");
    } else if (name == "position") {
        rt.positionRegister = parser.Word(entry, "register", "property");
    } else if (name == "fifo") {
        rt.fifoBytes = parser.Number(entry, entry.value);
    } else if (name == "chipset-delay") {
        rt.chipsetDelay = parser.Number(entry, entry.value);
    } else if (name == "codec-delay") {
        rt.codecDelay = parser.Number(entry, entry.value);
    } else if (name == "register-step-ms") {
        rt.registerStepMs = parser.Real(entry);
        if (rt.registerStepMs < 0.05 || rt.registerStepMs > 100) {
            parser.Error(entry.line, "wavert.register-step-ms must lie between 0.05 and 100");
        }
    } else {
        parser.Error(entry.line, "unknown key 'wavert." + name + "'");
    }
}

struct DeviceSections {
    const Section* device = nullptr;
    std::map<unsigned long, const Section*> pins;
};

DeviceModel BuildDevice(const Parser& parser, const DeviceSections& sections)
{
    const Section& section = *sections.device;
    DeviceModel device;
    std::string path;
    std::map<std::string, int> seen;
    for (const Entry& entry : section.entries) {
        if (seen[entry.key]++) {
            parser.Error(entry.line, "'" + entry.key + "' given twice in [" + section.name + "]");
        }
    }
    // The type gives the starting point; every other key changes it.
    for (const Entry& entry : section.entries) {
        if (entry.key == "type") {
            const int type = parser.Choice<int>(
                entry, {{"render", 1}, {"capture", 2}, {"none", 0}, {"wavert-render", 3}, {"wavert-capture", 4}});
            if (type == 1) {
                device = RenderDevice("", "");
            } else if (type == 2) {
                device = CaptureDevice("", "");
            } else if (type == 3) {
                device = WaveRtRenderDevice("", "");
            } else if (type == 4) {
                device = WaveRtCaptureDevice("", "");
            }
        }
    }
    device.friendlyName.reset();
    bool havePath = false;
    const Entry* captureFile = nullptr;
    for (const Entry& entry : section.entries) {
        const std::string& key = entry.key;
        if (key == "type") {
            continue;
        } else if (key == "path") {
            if (entry.value.empty()) {
                parser.Error(entry.line, "empty device path");
            }
            device.devicePath = entry.value;
            havePath = true;
        } else if (key == "name") {
            device.friendlyName = parser.AnsiText(entry);
        } else if (key == "location") {
            device.location = parser.AnsiText(entry);
        } else if (key == "classes") {
            device.interfaceClasses.clear();
            for (const std::string& item : parser.List(entry)) {
                device.interfaceClasses.push_back(parser.NamedGuid(entry, item, ClassNames()));
            }
        } else if (key.rfind("alias.", 0) == 0) {
            const GUID aliasClass = parser.NamedGuid(entry, key.substr(6), ClassNames());
            const std::string value = Lower(entry.value);
            if (value == "none") {
                device.aliases.erase(aliasClass);
            } else if (value == "active") {
                device.aliases[aliasClass] = SPINT_ACTIVE;
            } else if (value == "removed") {
                device.aliases[aliasClass] = SPINT_REMOVED;
            } else if (value == "inactive") {
                device.aliases[aliasClass] = 0;
            } else if (!value.empty() && std::isdigit(static_cast<unsigned char>(value[0]))) {
                device.aliases[aliasClass] = parser.Number(entry, value);
            } else {
                parser.Error(entry.line, "'" + key + "' is active, removed, inactive, none or a Flags number");
            }
        } else if (key == "nodes") {
            device.nodes.clear();
            for (const std::string& item : parser.List(entry)) {
                device.nodes.push_back(parser.NamedGuid(entry, item, NodeNames()));
            }
        } else if (key == "open") {
            device.openFails = !parser.Word(entry, "ok", "fails");
        } else if (key == "held") {
            device.heldByOtherProgram = parser.Word(entry, "yes", "no");
        } else if (key == "pin-count") {
            device.pinCountFails = !parser.Word(entry, "ok", "fails");
        } else if (key == "topology") {
            device.topologyFails = !parser.Word(entry, "ok", "fails");
        } else if (key == "properties") {
            device.asynchronousProperties = parser.Word(entry, "async", "sync");
        } else if (key == "clock-ppm") {
            device.clockPpm = parser.Real(entry);
            if (device.clockPpm <= -1e6 || device.clockPpm > 1e6) {
                parser.Error(entry.line, "clock-ppm must lie above -1000000 and at most 1000000");
            }
        } else if (key == "buffer-ms") {
            device.deviceBufferMs = parser.Real(entry);
            if (device.deviceBufferMs < 0 || device.deviceBufferMs > 10000) {
                parser.Error(entry.line, "buffer-ms must lie between 0 and 10000");
            }
        } else if (key == "signal") {
            device.captureSignal = parser.Choice<Signal>(
                entry, {{"ramp", Signal::Ramp}, {"sine", Signal::Sine}, {"clicks", Signal::Clicks}, {"wav", Signal::WavFile}});
        } else if (key == "signal-frequency") {
            device.signalFrequency = parser.Number(entry, entry.value);
            if (device.signalFrequency == 0) {
                parser.Error(entry.line, "signal-frequency must be at least 1");
            }
        } else if (key == "capture-file") {
            device.captureFile = parser.FilePath(entry.value);
            captureFile = &entry;
        } else if (key == "render-file") {
            device.renderFile = parser.FilePath(entry.value);
        } else if (key.rfind("wavert.", 0) == 0) {
            ApplyWaveRtKey(parser, entry, key.substr(7), device);
        } else {
            parser.Error(entry.line, "unknown key '" + key + "' in device section [" + section.name + "]");
        }
    }
    if (!havePath) {
        parser.Error(section.line, "[" + section.name + "] has no path");
    }
    if (device.captureSignal == Signal::WavFile) {
        if (!captureFile) {
            parser.Error(section.line, "[" + section.name + "] has signal = wav but no capture-file");
        }
        try {
            ReadCaptureClip(device.captureFile);
        } catch (const std::runtime_error& error) {
            parser.Error(captureFile->line, error.what());
        }
    }
    for (const auto& [number, pinSection] : sections.pins) {
        if (number > device.pins.size()) {
            parser.Error(pinSection->line, "pin " + std::to_string(number) + " of [" + section.name + "] follows pin " +
                                               std::to_string(device.pins.size()) +
                                               " that is not there; pins are numbered from 0 without gaps");
        }
        if (number == device.pins.size()) {
            // A new pin starts as a sink pin that streams the standard way.
            PinModel pin;
            pin.interfaces = {StandardStreamingInterface()};
            pin.mediums = {StandardMedium()};
            pin.ranges.clear();
            device.pins.push_back(pin);
        }
        ApplyPinKeys(parser, *pinSection, device.pins[number]);
    }
    return device;
}

}  // namespace

Description ParseDescription(const std::string& text, const std::string& path)
{
    const Parser parser(path);
    const std::vector<Section> sections = parser.Split(text);
    Description description;
    std::vector<std::string> order;
    std::map<std::string, DeviceSections> devices;
    bool sawGlobal = false;
    for (const Section& section : sections) {
        const std::string name = Lower(section.name);
        if (name == "kssim") {
            if (sawGlobal) {
                parser.Error(section.line, "[kssim] given twice");
            }
            sawGlobal = true;
            std::map<std::string, int> seen;
            for (const Entry& entry : section.entries) {
                if (seen[entry.key]++) {
                    parser.Error(entry.line, "'" + entry.key + "' given twice in [kssim]");
                }
                if (entry.key == "clock") {
                    description.clockMode = parser.Choice<ClockMode>(
                        entry, {{"realtime", ClockMode::RealTime}, {"fast", ClockMode::Fast}, {"virtual", ClockMode::Virtual}});
                } else if (entry.key == "ksuser") {
                    description.ksUserMissing = !parser.Word(entry, "present", "missing");
                } else if (entry.key == "seed") {
                    description.seed = parser.Number(entry, entry.value);
                } else if (entry.key == "jitter-ms") {
                    description.jitterMs = parser.Real(entry);
                    if (!(description.jitterMs >= 0.0 && description.jitterMs <= 1000.0)) {
                        parser.Error(entry.line, "jitter-ms must lie between 0 and 1000");
                    }
                } else if (entry.key == "position-noise") {
                    const unsigned long frames = parser.Number(entry, entry.value);
                    if (frames > 100000) {
                        parser.Error(entry.line, "position-noise must lie between 0 and 100000 frames");
                    }
                    description.positionNoiseFrames = static_cast<int>(frames);
                } else {
                    parser.Error(entry.line,
                                 "unknown key '" + entry.key + "' in [kssim] (clock, ksuser, seed, jitter-ms, position-noise)");
                }
            }
            continue;
        }
        if (name.rfind("device.", 0) != 0) {
            parser.Error(section.line, "unknown section [" + section.name + "] ([kssim], [device.ID], [device.ID.pin.N])");
        }
        const std::string rest = section.name.substr(7);
        const auto pinAt = Lower(rest).find(".pin.");
        const std::string id = pinAt == std::string::npos ? rest : rest.substr(0, pinAt);
        if (id.empty() || id.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") !=
                              std::string::npos) {
            parser.Error(section.line, "device id '" + id + "' is not made of letters, digits, '_' and '-'");
        }
        if (pinAt == std::string::npos) {
            if (devices.count(id)) {
                parser.Error(section.line, "device '" + id + "' described twice");
            }
            devices[id].device = &section;
            order.push_back(id);
            continue;
        }
        const auto found = devices.find(id);
        if (found == devices.end()) {
            parser.Error(section.line, "pin section [" + section.name + "] comes before its device [device." + id + "]");
        }
        Entry number{"pin number", rest.substr(pinAt + 5), section.line};
        const unsigned long pin = parser.Number(number, number.value);
        if (found->second.pins.count(pin)) {
            parser.Error(section.line, "pin " + std::to_string(pin) + " of device '" + id + "' described twice");
        }
        found->second.pins[pin] = &section;
    }
    std::map<std::string, int> paths;
    for (const std::string& id : order) {
        DeviceModel device = BuildDevice(parser, devices[id]);
        const std::string key = Lower(device.devicePath);
        if (paths.count(key)) {
            int line = devices[id].device->line;
            for (const Entry& entry : devices[id].device->entries) {
                if (entry.key == "path") {
                    line = entry.line;
                }
            }
            parser.Error(line, "path " + device.devicePath + " is used by another device too");
        }
        paths[key] = 1;
        description.devices.push_back(std::move(device));
    }
    return description;
}

Description ReadDescription(const std::string& path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error(path + ":0: cannot be opened (error " + std::to_string(GetLastError()) + ")");
    }
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        text.append(buffer, read);
        if (text.size() > 4 * 1024 * 1024) {
            CloseHandle(file);
            throw std::runtime_error(path + ":0: larger than 4 MB");
        }
    }
    CloseHandle(file);
    return ParseDescription(text, path);
}

}  // namespace kssim::detail

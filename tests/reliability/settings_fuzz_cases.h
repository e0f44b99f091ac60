#pragma once

#include "driver_settings.h"

class SettingsFile;

#include <cstdint>
#include <random>
#include <string>

// Damaged and hostile config.ini files, made from a fixed seed so that a run
// can be repeated, and the checks every loaded result must pass. Shared by the
// settings fuzz program and the bounded sample of it in the test run.
namespace SettingsFuzz {

// A well-formed file as the panel writes it: two render devices, one capture
// device, every key of section "default" and of the device sections.
std::string ValidFile();

// The kinds of damage, one per input in turn.
enum class Kind {
    RandomBytes,
    Truncated,     // the valid file cut at a point (a panel killed mid-write)
    LimitNumber,   // one key set to a value at or beyond its limits
    ManyDevices,   // thousands of names in a device list
    HugeLine,      // a line of about a megabyte, either side of the size limit
    InvalidGbk,    // lead bytes without trail bytes, bytes no code page has
    EmbeddedNul,   // NUL bytes inside names, keys and values
    Mutated,       // bytes flipped, inserted, deleted; lines doubled
    Count
};
const char* KindName(Kind kind);

struct Input {
    Kind kind;
    std::string bytes;
};

class Generator {
public:
    explicit Generator(uint32_t seed);
    // The input number `index` of the run (kinds in turn).
    Input Make(uint64_t index);

private:
    std::string RandomBytes(size_t most);
    std::string LimitNumber();
    std::string ManyDevices();
    std::string HugeLine();
    std::string InvalidGbk();
    std::string EmbeddedNul();
    std::string Mutated();

    std::mt19937 m_rng;
    std::string m_valid;
    uint64_t m_truncations = 0;
};

// Empty when every field of the record is one the driver's operations take
// (the documented value, or one kept inside the documented limits);
// otherwise what is wrong.
std::string Violation(const DriverSettings& settings);

// Writes `bytes` to `settingsPath` and reads it through every reading
// operation of `file` (the full load, the live values, a raw key); empty
// when every result passes Violation and the live values are in range.
std::string ReaderViolation(SettingsFile& file, const std::string& settingsPath, const std::string& bytes);

}  // namespace SettingsFuzz

// The scanner's command line: ScanOptions and the number grammars of its options.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace orva {

inline constexpr std::uint64_t DEFAULT_MAX_FILES = 10000;

enum class Subcommand { ScanCatalog, ScanProjectIds };

struct ScanOptions {
    Subcommand subcommand = Subcommand::ScanCatalog;
    std::string chatsDir;
    unsigned threads = 4;
    std::uint64_t maxFiles = DEFAULT_MAX_FILES;
    std::optional<double> cursorMtime;
    bool cursorInclusive = false;
};

// Unsigned decimal: an optional single '+', then one or more digits, within 64 bits.
std::optional<std::uint64_t> parseCount(std::string_view text);

// Decimal floating point (optional sign, digits with an optional point, optional
// exponent; or inf, infinity, nan in any case), nearest double, whole text.
std::optional<double> parseCursor(std::string_view text);

// Walks the option words (word 3 onward) into options. Returns the first word that
// is not an option, if any; the run then ends with "unknown option: ".
std::optional<std::string_view> parseOptionWords(std::span<const std::string_view> words,
                                                 ScanOptions& options);

// The number of processors the process may use (affinity mask, then a cgroup CPU
// quota), clamped to 2..16; 4 when it cannot be determined.
unsigned defaultThreadCount();

// The pieces of defaultThreadCount, separated so that they can be tested on
// fixture files. cgroupCpuLimit reads the controller files below rootPrefix
// (empty for the live system) and returns the quota in whole CPUs (at least 1).
std::optional<unsigned> cgroupCpuLimit(std::string_view procSelfCgroup, std::string_view mountInfo,
                                       const std::string& rootPrefix);
unsigned clampThreadCount(std::optional<unsigned> affinityCpus, std::optional<unsigned> quotaCpus);

}  // namespace orva

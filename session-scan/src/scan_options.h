// The scanner's command line: ScanOptions and the number grammars of its options.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace orva {

inline constexpr std::uint64_t DEFAULT_MAX_FILES = 10000;

// The options of one run; the driver dispatches on the subcommand word itself.
struct ScanOptions {
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

}  // namespace orva

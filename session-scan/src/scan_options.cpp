#include "scan_options.h"

namespace orva {

// Provisional until the option grammar lands.
std::optional<std::uint64_t> parseCount(std::string_view) { return std::nullopt; }
std::optional<double> parseCursor(std::string_view) { return std::nullopt; }
std::optional<std::string_view> parseOptionWords(std::span<const std::string_view> words, ScanOptions&) {
    if (!words.empty()) return words[0];
    return std::nullopt;
}
unsigned defaultThreadCount() { return 4; }
std::optional<unsigned> cgroupCpuLimit(std::string_view, std::string_view, const std::string&) {
    return std::nullopt;
}
unsigned clampThreadCount(std::optional<unsigned>, std::optional<unsigned>) { return 4; }

}  // namespace orva

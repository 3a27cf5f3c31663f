#include "scan_options.h"

#include <algorithm>
#include <cstdlib>

#include "worker_pool.h"

namespace orva {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lowerWord) {
    if (text.size() != lowerWord.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (lowerAscii(text[i]) != lowerWord[i]) return false;
    }
    return true;
}

std::size_t skipDigits(std::string_view text, std::size_t i) {
    while (i < text.size() && isDigit(text[i])) ++i;
    return i;
}

// digits [ "." digits ] [ exponent ], with a digit on at least one side of the point.
bool isDecimalNumber(std::string_view text) {
    std::size_t i = skipDigits(text, 0);
    bool anyDigit = i > 0;
    if (i < text.size() && text[i] == '.') {
        const std::size_t fractionStart = i + 1;
        i = skipDigits(text, fractionStart);
        anyDigit = anyDigit || i > fractionStart;
    }
    if (!anyDigit) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        const std::size_t exponentStart = i;
        i = skipDigits(text, exponentStart);
        if (i == exponentStart) return false;
    }
    return i == text.size();
}

}  // namespace

std::optional<std::uint64_t> parseCount(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!isDigit(c)) return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<double> parseCursor(std::string_view text) {
    std::string_view body = text;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) body.remove_prefix(1);
    const bool word = equalsIgnoringCase(body, "inf") || equalsIgnoringCase(body, "infinity") ||
                      equalsIgnoringCase(body, "nan");
    if (!word && !isDecimalNumber(body)) return std::nullopt;
    // The grammar is checked; strtod (in the C locale the program never leaves) gives
    // the nearest double, an infinity beyond the range and a signed zero below it.
    const std::string copy(text);
    return std::strtod(copy.c_str(), nullptr);
}

std::optional<std::string_view> parseOptionWords(std::span<const std::string_view> words,
                                                 ScanOptions& options) {
    std::size_t i = 0;
    while (i < words.size()) {
        const std::string_view word = words[i];
        if (word == "--cursor-inclusive") {
            options.cursorInclusive = true;
            i += 1;
            continue;
        }
        if (word != "--threads" && word != "--max-files" && word != "--cursor-mtime") return word;
        const std::optional<std::string_view> value =
            i + 1 < words.size() ? std::optional(words[i + 1]) : std::nullopt;
        i += 2;  // the value word is consumed whatever it holds
        if (word == "--cursor-mtime") {
            options.cursorMtime = value ? parseCursor(*value) : std::nullopt;
            continue;
        }
        const std::optional<std::uint64_t> count = value ? parseCount(*value) : std::nullopt;
        if (!count) continue;
        if (word == "--threads") {
            options.threads =
                static_cast<unsigned>(std::clamp<std::uint64_t>(*count, 1, MAX_THREADS));
        } else {
            options.maxFiles = *count;
        }
    }
    return std::nullopt;
}

}  // namespace orva

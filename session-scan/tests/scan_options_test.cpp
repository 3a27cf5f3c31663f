// The option grammars and the option walk.
#include "scan_options.h"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace orva {
namespace {

TEST(ParseCount, Grammar) {
    const struct {
        const char* text;
        std::optional<std::uint64_t> expected;
    } cases[] = {
        {"0", 0},
        {"5", 5},
        {"+4", 4},
        {"0007", 7},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"-3", std::nullopt},
        {"++4", std::nullopt},
        {"4x", std::nullopt},
        {" 4", std::nullopt},
        {"4 ", std::nullopt},
        {"1.0", std::nullopt},
        {"1+1", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parseCount(c.text), c.expected) << '"' << c.text << '"';
}

TEST(ParseCursor, Grammar) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char* text;
        std::optional<double> expected;
    } cases[] = {
        {"5", 5.0},
        {"5.", 5.0},
        {".5", 0.5},
        {"1.25", 1.25},
        {"+7", 7.0},
        {"-2.5e3", -2500.0},
        {"1E+2", 100.0},
        {"1e-2", 0.01},
        {"1700000000123.4568", 1700000000123.4568},
        {"0.1", 0.1},
        {"inf", inf},
        {"-Infinity", -inf},
        {"INF", inf},
        {"1e999", inf},
        {"-1e999", -inf},
        {"", std::nullopt},
        {".", std::nullopt},
        {"+", std::nullopt},
        {"e5", std::nullopt},
        {"1e", std::nullopt},
        {"1e+", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"0x10", std::nullopt},
        {"1,000", std::nullopt},
        {"nan(123)", std::nullopt},
        {"infinit", std::nullopt},
        {"--1", std::nullopt},
        {"1.2.3", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parseCursor(c.text), c.expected) << '"' << c.text << '"';

    for (const char* nan : {"nan", "NaN", "-nan", "+NAN"}) {
        const auto value = parseCursor(nan);
        ASSERT_TRUE(value.has_value()) << nan;
        EXPECT_TRUE(std::isnan(*value)) << nan;
    }
    const auto tiny = parseCursor("-1e-999");
    ASSERT_TRUE(tiny.has_value());
    EXPECT_EQ(*tiny, 0.0);
    EXPECT_TRUE(std::signbit(*tiny));
    // Ties go to even: 2^53 + 1 lies halfway between two doubles.
    EXPECT_EQ(parseCursor("9007199254740993"), 9007199254740992.0);
}

struct WalkResult {
    ScanOptions options;
    std::optional<std::string> unknown;
};

WalkResult walk(std::vector<std::string_view> words) {
    WalkResult result;
    result.options.threads = 9;  // stands for the default
    if (const auto unknown = parseOptionWords(words, result.options))
        result.unknown = std::string(*unknown);
    return result;
}

TEST(OptionWalk, ValuesAndClamping) {
    EXPECT_EQ(walk({"--threads", "0"}).options.threads, 1u);
    EXPECT_EQ(walk({"--threads", "100"}).options.threads, 32u);
    EXPECT_EQ(walk({"--threads", "+4"}).options.threads, 4u);
    EXPECT_EQ(walk({"--threads", "99999999999999999999999"}).options.threads, 9u);
    for (const char* bad : {"-3", "4x", ""})
        EXPECT_EQ(walk({"--threads", bad}).options.threads, 9u) << bad;
    EXPECT_EQ(walk({"--threads", "3", "--threads", "bad"}).options.threads, 3u);
    EXPECT_EQ(walk({"--threads", "3", "--threads"}).options.threads, 3u);
    EXPECT_EQ(walk({"--max-files", "0"}).options.maxFiles, 0u);
    EXPECT_EQ(walk({"--max-files", "7", "--max-files", "8"}).options.maxFiles, 8u);
    EXPECT_EQ(walk({}).options.maxFiles, DEFAULT_MAX_FILES);
    EXPECT_TRUE(walk({"--cursor-inclusive"}).options.cursorInclusive);
}

TEST(OptionWalk, CursorIsClearedByAnInvalidOrMissingValue) {
    EXPECT_EQ(walk({"--cursor-mtime", "12.5"}).options.cursorMtime, 12.5);
    EXPECT_EQ(walk({"--cursor-mtime", "12", "--cursor-mtime"}).options.cursorMtime, std::nullopt);
    EXPECT_EQ(walk({"--cursor-mtime", "12", "--cursor-mtime", "x"}).options.cursorMtime,
              std::nullopt);
}

TEST(OptionWalk, ValueWordIsAlwaysConsumed) {
    const WalkResult result = walk({"--threads", "--max-files", "5"});
    EXPECT_EQ(result.unknown, "5");
    EXPECT_EQ(result.options.maxFiles, DEFAULT_MAX_FILES);
    EXPECT_EQ(walk({"--threads=4"}).unknown, "--threads=4");
    EXPECT_EQ(walk({"--max-files", "1", "-t"}).unknown, "-t");
    EXPECT_EQ(walk({"--threads", "--cursor-inclusive"}).options.cursorInclusive, false);
}

}  // namespace
}  // namespace orva

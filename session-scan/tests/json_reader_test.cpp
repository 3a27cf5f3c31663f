#include "json_reader.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "allocation_counter.h"
#include "simd.h"

namespace orva {
namespace {

using namespace std::string_literals;

JsonCursor cursorOver(std::string_view text) {
    return JsonCursor{text.data(), text.size(), 0};
}

// The whole input is one value at depth 1 followed only by JSON whitespace.
bool skipsWhole(std::string_view text, unsigned depth = 1) {
    JsonCursor cursor = cursorOver(text);
    if (!skipValue(cursor, depth)) return false;
    skipJsonWhitespace(cursor);
    return cursor.position == cursor.length;
}

std::string nested(std::size_t levels, std::string_view inner) {
    return std::string(levels, '[') + std::string(inner) + std::string(levels, ']');
}

struct SkipCase {
    std::string input;
    bool accepted;
    // Deep nesting would make unreadable test names; show its length instead.
    friend void PrintTo(const SkipCase& c, std::ostream* out) {
        if (c.input.size() > 40) {
            *out << c.input.size() << " bytes";
        } else {
            *out << testing::PrintToString(c.input);
        }
        *out << (c.accepted ? " accepted" : " rejected");
    }
};

class SkipValueTable : public testing::TestWithParam<SkipCase> {};

TEST_P(SkipValueTable, Verdict) {
    EXPECT_EQ(skipsWhole(GetParam().input), GetParam().accepted)
        << testing::PrintToString(GetParam().input);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, SkipValueTable,
    testing::Values(SkipCase{"[]", true}, SkipCase{"[ \t\n\r]", true}, SkipCase{"{}", true},
                    SkipCase{"{ \t}", true}, SkipCase{R"({"a":[{"b":{}},[],"c"],"d":null})", true},
                    SkipCase{" \r\n\t[ 1 , { \"a\" : 2 } ]\n", true}, SkipCase{"[1,]", false},
                    SkipCase{R"({"a":1,})", false}, SkipCase{"[1 2]", false},
                    SkipCase{R"({"a" 1})", false}, SkipCase{R"({"a":1 "b":2})", false},
                    SkipCase{R"({"a":})", false}, SkipCase{"{1:2}", false},
                    SkipCase{"{a:1}", false}, SkipCase{"[,]", false}, SkipCase{"{,}", false},
                    SkipCase{"[,1]", false}, SkipCase{"[1,,2]", false}, SkipCase{"[1;2]", false},
                    SkipCase{"[", false}, SkipCase{"[1", false}, SkipCase{"[1,", false},
                    SkipCase{"{", false}, SkipCase{R"({"a")", false}, SkipCase{R"({"a":)", false},
                    SkipCase{R"({"a":1)", false}, SkipCase{"]", false}, SkipCase{"}", false},
                    SkipCase{"[}", false}, SkipCase{"{]", false}, SkipCase{"", false},
                    SkipCase{" \t\r\n", false}, SkipCase{"[\f]", false}, SkipCase{"[\v]", false},
                    SkipCase{"\f1", false}, SkipCase{"[1]x", false}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, SkipValueTable,
    testing::Values(SkipCase{"0", true}, SkipCase{"-0", true}, SkipCase{"0.5", true},
                    SkipCase{"1E+5", true}, SkipCase{"2e-3", true},
                    SkipCase{"123456789012345678901234567890", true}, SkipCase{"-1.5e10", true},
                    SkipCase{"1e0", true}, SkipCase{"1E05", true}, SkipCase{"10", true},
                    SkipCase{"[0,-0.0e-0]", true}, SkipCase{"[01]", false}, SkipCase{"-01", false},
                    SkipCase{"-", false}, SkipCase{"1.", false}, SkipCase{"1e", false},
                    SkipCase{"1e+", false}, SkipCase{".5", false}, SkipCase{"+1", false},
                    SkipCase{"1.e5", false}, SkipCase{"-.5", false}, SkipCase{"[-]", false},
                    SkipCase{"[1.]", false}, SkipCase{"0x10", false}, SkipCase{"1e5.5", false},
                    SkipCase{"- 1", false}, SkipCase{"Infinity", false}, SkipCase{"NaN", false},
                    SkipCase{"[1e]", false}));

INSTANTIATE_TEST_SUITE_P(Literals, SkipValueTable,
                         testing::Values(SkipCase{"true", true}, SkipCase{"false", true},
                                         SkipCase{"null", true},
                                         SkipCase{"[true,false,null]", true},
                                         SkipCase{"tru", false}, SkipCase{"nul", false},
                                         SkipCase{"fals", false}, SkipCase{"True", false},
                                         SkipCase{"nulL", false}, SkipCase{"[truex]", false},
                                         SkipCase{"[nan]", false}, SkipCase{"t", false}));

INSTANTIATE_TEST_SUITE_P(
    Nesting, SkipValueTable,
    testing::Values(SkipCase{nested(255, "1"), true}, SkipCase{nested(256, "1"), false},
                    SkipCase{nested(256, ""), true}, SkipCase{nested(257, ""), false},
                    SkipCase{nested(100000, ""), false},
                    SkipCase{std::string(255, '[') + "{}" + std::string(255, ']'), true},
                    SkipCase{std::string(256, '[') + "{}" + std::string(256, ']'), false}));

TEST(SkipValue, DepthIsCheckedBeforeTheInput) {
    JsonCursor scalar = cursorOver("1");
    EXPECT_FALSE(skipValue(scalar, MAX_JSON_DEPTH + 1));
    EXPECT_TRUE(skipsWhole("1", MAX_JSON_DEPTH));
    EXPECT_TRUE(skipsWhole("[]", MAX_JSON_DEPTH));
    EXPECT_TRUE(skipsWhole("{}", MAX_JSON_DEPTH));
    EXPECT_FALSE(skipsWhole("[1]", MAX_JSON_DEPTH));
    EXPECT_FALSE(skipsWhole(R"({"a":1})", MAX_JSON_DEPTH));
    JsonCursor empty = cursorOver("");
    EXPECT_FALSE(skipValue(empty, MAX_JSON_DEPTH + 1));
}

TEST(SkipValue, LeavesTheFollowingByteToTheCaller) {
    struct Case {
        std::string input;
        std::size_t end;
    };
    for (const Case& c : {Case{"01", 1}, Case{"truex", 4}, Case{"null", 4}, Case{"  -12.5e3,", 9},
                          Case{"\"a\\\"b\"]", 6}, Case{"[1, 2] 3", 6}, Case{"{\"a\" :1} }", 8}}) {
        JsonCursor cursor = cursorOver(c.input);
        EXPECT_TRUE(skipValue(cursor, 1)) << c.input;
        EXPECT_EQ(cursor.position, c.end) << c.input;
    }
}

TEST(SkipValue, StartsAtTheCursorPosition) {
    const std::string text = "xx[1]yy";
    JsonCursor cursor{text.data(), text.size(), 2};
    ASSERT_TRUE(skipValue(cursor, 1));
    EXPECT_EQ(cursor.position, 5u);
}

// How skipString and readString judge one string, and what readString decodes.
struct StringCase {
    std::string input;
    bool skipped;
    std::optional<std::string> decoded;
    friend void PrintTo(const StringCase& c, std::ostream* out) {
        *out << testing::PrintToString(c.input);
    }
};

class StringTable : public testing::TestWithParam<StringCase> {};

TEST_P(StringTable, SkipAndDecode) {
    const StringCase& c = GetParam();
    JsonCursor skipCursor = cursorOver(c.input);
    EXPECT_EQ(skipString(skipCursor), c.skipped) << testing::PrintToString(c.input);
    JsonCursor readCursor = cursorOver(c.input);
    const auto decoded = readString(readCursor);
    EXPECT_EQ(decoded, c.decoded) << testing::PrintToString(c.input);
    std::string scratch;
    JsonCursor viewCursor = cursorOver(c.input);
    const auto view = readStringView(viewCursor, scratch);
    EXPECT_EQ(view.has_value(), c.decoded.has_value());
    if (view && c.decoded) {
        EXPECT_EQ(*view, *c.decoded);
    }
    if (c.skipped) {
        EXPECT_EQ(skipCursor.position, c.input.size());
    }
    if (decoded) {
        EXPECT_EQ(readCursor.position, c.input.size());
        EXPECT_EQ(viewCursor.position, c.input.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Plain, StringTable,
    testing::Values(
        StringCase{R"("")", true, ""s}, StringCase{R"("abc")", true, "abc"s},
        StringCase{" \t\r\n\"a\"", true, "a"s}, StringCase{"\f\"a\"", false, std::nullopt},
        StringCase{"\v\"a\"", false, std::nullopt}, StringCase{"a", false, std::nullopt},
        StringCase{"", false, std::nullopt}, StringCase{"\"", false, std::nullopt},
        StringCase{"\"abc", false, std::nullopt}, StringCase{"'a'", false, std::nullopt},
        StringCase{"\"a\tb\"", false, std::nullopt}, StringCase{"\"a\nb\"", false, std::nullopt},
        StringCase{"\"\x01\"", false, std::nullopt}, StringCase{"\"\x1F\"", false, std::nullopt},
        StringCase{"\"\0\""s, false, std::nullopt}, StringCase{"\"\x7F\"", true, "\x7F"s},
        StringCase{"\" ~\"", true, " ~"s}));

INSTANTIATE_TEST_SUITE_P(
    Escapes, StringTable,
    testing::Values(
        StringCase{R"("\"\\\/\b\f\n\r\t")", true, "\"\\/\b\f\n\r\t"s},
        StringCase{R"("\u00e9")", true, "\xC3\xA9"s}, StringCase{R"("\u00E9")", true, "\xC3\xA9"s},
        StringCase{R"("\u0000")", true, "\0"s}, StringCase{R"("\u0041\u007f")", true, "A\x7F"s},
        StringCase{R"("\u0080\u07ff\u0800\uffff")", true,
                   "\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"s},
        StringCase{R"("\ud83d\ude00")", true, "\xF0\x9F\x98\x80"s},
        StringCase{R"("\uD800\uDC00\uDBFF\uDFFF")", true, "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"s},
        StringCase{R"("caf\u00e9 au lait")", true, "caf\xC3\xA9 au lait"s},
        StringCase{R"("a\/b")", true, "a/b"s}, StringCase{R"("\ud83d\u0041")", true, std::nullopt},
        StringCase{R"("\ud83d")", true, std::nullopt},
        StringCase{R"("\ud83dx")", true, std::nullopt},
        StringCase{R"("\ud83d\ud83d")", true, std::nullopt},
        StringCase{R"("\ude00")", true, std::nullopt},
        StringCase{R"("\ude00\ud83d")", true, std::nullopt},
        StringCase{R"("\ud83d\n")", true, std::nullopt},
        StringCase{R"("\ud83d\ude0")", false, std::nullopt},
        StringCase{R"("\x41")", false, std::nullopt},
        StringCase{R"("\U0041")", false, std::nullopt}, StringCase{R"("\a")", false, std::nullopt},
        StringCase{R"("\')", false, std::nullopt}, StringCase{R"("\u12")", false, std::nullopt},
        StringCase{R"("\u12G4")", false, std::nullopt}, StringCase{R"("\u")", false, std::nullopt},
        StringCase{"\"\\", false, std::nullopt}, StringCase{"\"\\\"", false, std::nullopt},
        StringCase{"\"\\n\tx\"", false, std::nullopt},
        StringCase{"\"\\u0041", false, std::nullopt}));

INSTANTIATE_TEST_SUITE_P(Utf8, StringTable,
                         testing::Values(StringCase{"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"",
                                                    true, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"s},
                                         StringCase{"\"\xEF\xBB\xBF\xF4\x8F\xBF\xBF\xED\x9F\xBF\"",
                                                    true,
                                                    "\xEF\xBB\xBF\xF4\x8F\xBF\xBF\xED\x9F\xBF"s},
                                         StringCase{"\"\xFF\"", true, std::nullopt},
                                         StringCase{"\"\x80\"", true, std::nullopt},
                                         StringCase{"\"\xC0\x80\"", true, std::nullopt},
                                         StringCase{"\"\xC1\xBF\"", true, std::nullopt},
                                         StringCase{"\"\xE0\x80\x80\"", true, std::nullopt},
                                         StringCase{"\"\xF0\x80\x80\x80\"", true, std::nullopt},
                                         StringCase{"\"\xED\xA0\x80\"", true, std::nullopt},
                                         StringCase{"\"\xF4\x90\x80\x80\"", true, std::nullopt},
                                         StringCase{"\"\xF5\x80\x80\x80\"", true, std::nullopt},
                                         StringCase{"\"\xE2\x82\"", true, std::nullopt},
                                         StringCase{"\"\xC3\"", true, std::nullopt},
                                         StringCase{"\"a\xC3\"", true, std::nullopt},
                                         StringCase{"\"\xC3\\n\xA9\"", true, std::nullopt},
                                         StringCase{"\"\\n\xFF\"", true, std::nullopt},
                                         StringCase{"\"\\n\xC3\xA9\"", true, "\n\xC3\xA9"s},
                                         StringCase{"\"\xC3\xA9\\n\"", true, "\xC3\xA9\n"s}));

TEST(StringScan, BlockScanMatchesWordScanAtEveryOffset) {
    const std::string special = "\"\\\x00\x01\x1F"s;
    const std::string plain = " !#[]~\x7F\x80\xBF\xC3\xFF\x20\x5B\x5D"s;
    for (std::size_t length = 0; length <= 80; ++length) {
        for (char filler : plain) {
            std::string text(length, filler);
            EXPECT_EQ(scanStringRun(text.data(), length), length);
            EXPECT_EQ(scanStringRunPortable(text.data(), length), length);
            for (std::size_t at = 0; at < length; ++at) {
                for (char stop : special) {
                    text[at] = stop;
                    EXPECT_EQ(scanStringRun(text.data(), length), at) << length << ' ' << at;
                    EXPECT_EQ(scanStringRunPortable(text.data(), length), at)
                        << length << ' ' << at;
                    // A second stop later on must not move the first.
                    if (at + 1 < length) {
                        text[length - 1] = '"';
                        EXPECT_EQ(scanStringRun(text.data(), length), at);
                        EXPECT_EQ(scanStringRunPortable(text.data(), length), at);
                        text[length - 1] = filler;
                    }
                    text[at] = filler;
                }
            }
        }
    }
}

TEST(StringScan, LongStringsAcrossBlocks) {
    for (std::size_t length : {15u, 16u, 17u, 63u, 64u, 65u, 200u, 4099u}) {
        std::string body;
        for (std::size_t i = 0; i < length; ++i) body.push_back(static_cast<char>('a' + i % 26));
        const std::string quoted = "\"" + body + "\"";
        JsonCursor cursor = cursorOver(quoted);
        EXPECT_EQ(readString(cursor), body);
        const std::string escaped = "\"" + body + "\\n" + body + "\\u00e9\"";
        cursor = cursorOver(escaped);
        EXPECT_EQ(readString(cursor), body + "\n" + body + "\xC3\xA9");
        const std::string bad = "\"" + body + "\xFF\"";
        cursor = cursorOver(bad);
        EXPECT_FALSE(readString(cursor));
        cursor = cursorOver(bad);
        EXPECT_TRUE(skipString(cursor));
    }
}

// The cursor stands after the opening brace; every value is skipped at depth 1.
TEST(WalkObject, KeysInOrderAndTheObjectsShape) {
    struct Case {
        std::string text;
        std::optional<std::vector<std::string>> keys;  // absent: the walk fails
        std::size_t end = 0;                           // where a successful walk leaves the cursor
    };
    const Case cases[] = {
        {"}", std::vector<std::string>{}, 1},
        {" \t}x", std::vector<std::string>{}, 3},
        {R"( "a" : 1 , "b\u0063":[] ,"a":"x"})", std::vector<std::string>{"a", "bc", "a"}, 33},
        {R"("a":1,})", std::nullopt},
        {R"("a" 1})", std::nullopt},
        {R"("a":1 "b":2})", std::nullopt},
        {R"("a":})", std::nullopt},
        {R"(a:1})", std::nullopt},
        {R"("a":1)", std::nullopt},
        {R"("\ud800":1})", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        JsonCursor cursor = cursorOver(c.text);
        std::string scratch;
        std::vector<std::string> keys;
        const bool walked = walkObject(cursor, scratch, [&](std::string_view key) {
            keys.emplace_back(key);
            return skipValue(cursor, 1);
        });
        EXPECT_EQ(walked, c.keys.has_value()) << c.text;
        if (walked && c.keys) {
            EXPECT_EQ(keys, *c.keys) << c.text;
            EXPECT_EQ(cursor.position, c.end) << c.text;
        }
    }
    JsonCursor cursor = cursorOver(R"("a":1,"b":2})");
    std::string scratch;
    std::size_t members = 0;
    EXPECT_FALSE(walkObject(cursor, scratch, [&](std::string_view) { return ++members > 1; }));
    EXPECT_EQ(members, 1u) << "a member that fails ends the walk";
}

// Everything one text gives a string read, on one path, scanned or looked up in the
// text's string index.
struct StringVerdicts {
    std::optional<std::size_t> skipEnd;
    std::optional<std::string> decoded;
    std::optional<std::size_t> decodedEnd;
    std::optional<std::string> viewed;
    std::optional<std::string> into;
    std::optional<std::size_t> arrayEnd;  // the text as the first element of an array

    bool operator==(const StringVerdicts&) const = default;
};

StringVerdicts judgeString(const std::string& text, bool indexed) {
    std::vector<StringBlock> storage;
    const std::optional<StringIndex> index = indexStrings(text, storage);
    const StringIndex* strings = indexed && index ? &*index : nullptr;
    const auto cursor = [&] { return JsonCursor{text.data(), text.size(), 0, strings}; };
    StringVerdicts v;
    if (JsonCursor c = cursor(); skipString(c)) v.skipEnd = c.position;
    if (JsonCursor c = cursor(); auto decoded = readString(c)) {
        v.decoded = decoded;
        v.decodedEnd = c.position;
    }
    std::string scratch;
    if (JsonCursor c = cursor(); auto viewed = readStringView(c, scratch))
        v.viewed = std::string(*viewed);
    std::string into = "earlier contents that the read replaces";
    if (JsonCursor c = cursor(); readStringInto(c, into)) v.into = into;
    const std::string array = "[" + text + ",1]";
    std::vector<StringBlock> arrayStorage;
    const std::optional<StringIndex> arrayIndex = indexStrings(array, arrayStorage);
    JsonCursor a{array.data(), array.size(), 0, indexed && arrayIndex ? &*arrayIndex : nullptr};
    if (skipValue(a, 1)) v.arrayEnd = a.position;
    return v;
}

class ActivePath {
  public:
    ActivePath() : previous_(activeReaderPath()) {}
    ~ActivePath() { forceReaderPath(previous_); }

  private:
    ReaderPath previous_;
};

// The block scans, escapes with their carry, \u digits and non-ASCII bytes included,
// wherever they fall against the 16-, 32- and 64-byte blocks: every path, scanned and
// indexed, judges as the portable scan does.
TEST(StringPaths, AgreeAroundBlockBoundaries) {
    const ActivePath restore;
    const std::string fragments[] = {"",
                                     "\\\"",
                                     "\\\\",
                                     "\\\\\\\"",
                                     "\\\\\\\\\"",
                                     "\\u00e9",
                                     "\\ud83d\\ude00",
                                     "\\ud83d",
                                     "\\ude00x",
                                     "\\u12",
                                     "\\u12G4",
                                     "\\x",
                                     "\t",
                                     "\x7F",
                                     "\xFF",
                                     "\xC3\xA9",
                                     "\xE6\x97\xA5",
                                     "\xC3",
                                     "\\/\\b\\f\\n\\r\\t",
                                     std::string(70, '\\') + "n"};
    const std::string tails[] = {"", "\\x", "\t\"", "\\\"\"", "\\u"};
    std::size_t compared = 0;
    for (std::size_t before = 0; before <= 140; ++before) {
        for (const std::string& fragment : fragments) {
            for (const std::string& tail : tails) {
                for (const std::string& text :
                     {"\"" + std::string(before, 'a') + fragment + "\"" + tail,
                      "\"" + std::string(before, 'a') + fragment + tail,
                      " \"" + fragment + std::string(before, 'b') + "\"" + tail}) {
                    forceReaderPath(ReaderPath::Portable);
                    const StringVerdicts expected = judgeString(text, false);
                    for (ReaderPath path : availableReaderPaths()) {
                        forceReaderPath(path);
                        for (bool indexed : {false, true}) {
                            EXPECT_EQ(judgeString(text, indexed), expected)
                                << readerPathName(path) << (indexed ? " indexed " : " scanned ")
                                << testing::PrintToString(text);
                            ++compared;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 0u);
}

TEST(ReadStringInto, ReplacesTheContentInTheCapacityItHas) {
    struct Case {
        std::string text;
        std::optional<std::string> decoded;
    };
    const Case cases[] = {
        {"\"" + std::string(300, 'p') + "\"", std::string(300, 'p')},
        {"\"caf\\u00e9 \\ud83d\\ude00 " + std::string(100, 'e') + "\\n\"",
         "caf\xC3\xA9 \xF0\x9F\x98\x80 " + std::string(100, 'e') + "\n"},
        {"\"\xE6\x97\xA5\xE6\x9C\xAC " + std::string(200, 'j') + "\"",
         "\xE6\x97\xA5\xE6\x9C\xAC " + std::string(200, 'j')},
        {"\"\"", ""},
        {"\"\\ud800\"", std::nullopt},
        {"\"\xFF\"", std::nullopt},
    };
    std::string out;
    out.reserve(1024);
    const char* const buffer = out.data();
    for (const Case& c : cases) {
        // The first validation of long UTF-8 sets up the library's validators once.
        JsonCursor warmUp = cursorOver(c.text);
        readStringInto(warmUp, out);
        JsonCursor cursor = cursorOver(c.text);
        const std::size_t before = allocationCount;
        const bool read = readStringInto(cursor, out);
        EXPECT_EQ(allocationCount, before) << c.text;
        EXPECT_EQ(read, c.decoded.has_value()) << c.text;
        if (read && c.decoded) {
            EXPECT_EQ(out, *c.decoded);
            EXPECT_EQ(cursor.position, c.text.size());
        }
        EXPECT_EQ(out.data(), buffer) << "the buffer is kept";
    }
}

TEST(ReadHex4, DigitsAndFailures) {
    struct Case {
        std::string input;
        std::optional<std::uint16_t> unit;
    };
    for (const Case& c :
         {Case{"0000", 0}, Case{"00e9", 0xE9}, Case{"FFFF", 0xFFFF}, Case{"aBcD", 0xABCD},
          Case{"12345", 0x1234}, Case{"123", std::nullopt}, Case{"", std::nullopt},
          Case{"12g4", std::nullopt}, Case{"-123", std::nullopt}, Case{" 123", std::nullopt}}) {
        JsonCursor cursor = cursorOver(c.input);
        EXPECT_EQ(readHex4(cursor), c.unit) << c.input;
        if (c.unit) {
            EXPECT_EQ(cursor.position, 4u);
        }
        if (c.input.size() < 4) {
            EXPECT_EQ(cursor.position, 0u) << "nothing consumed when too short";
        }
    }
}

TEST(AppendCodePoint, EachEncodedLength) {
    struct Case {
        char32_t codePoint;
        std::string bytes;
    };
    for (const Case& c :
         {Case{0x0, "\0"s}, Case{0x41, "A"}, Case{0x7F, "\x7F"}, Case{0x80, "\xC2\x80"},
          Case{0x7FF, "\xDF\xBF"}, Case{0x800, "\xE0\xA0\x80"}, Case{0xFFFD, "\xEF\xBF\xBD"},
          Case{0xFFFF, "\xEF\xBF\xBF"}, Case{0x10000, "\xF0\x90\x80\x80"},
          Case{0x1F600, "\xF0\x9F\x98\x80"}, Case{0x10FFFF, "\xF4\x8F\xBF\xBF"}}) {
        std::string out = "x";
        appendCodePoint(out, c.codePoint);
        EXPECT_EQ(out, "x" + c.bytes) << static_cast<unsigned>(c.codePoint);
    }
}

TEST(ReaderAllocation, SkippingNeverAllocates) {
    const std::string document = R"({"a":[1,2.5e3,true,null,{"b":"x\ny\u00e9\ud800"}],"c":")" +
                                 std::string(5000, 'z') + "\xFF\"," + R"("d":{"e":[[],{}]}})";
    JsonCursor cursor = cursorOver(document);
    const std::size_t before = allocationCount;
    EXPECT_TRUE(skipValue(cursor, 1));
    JsonCursor stringCursor = cursorOver(R"("plain \"escaped\" \u0041")");
    EXPECT_TRUE(skipString(stringCursor));
    EXPECT_EQ(allocationCount, before);
}

TEST(ReaderAllocation, PlainStringIsCopiedOnceIntoAnExactlySizedString) {
    const std::string body(1000, 'q');
    const std::string quoted = "\"" + body + "\"";
    JsonCursor cursor = cursorOver(quoted);
    const std::size_t before = allocationCount;
    const auto decoded = readString(cursor);
    EXPECT_EQ(allocationCount, before + 1);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->capacity(), body.size());
}

TEST(ReaderAllocation, EscapedStringStartsWithRoomForSixteenMore) {
    const std::string quoted = "\"" + std::string(100, 'q') + "\\n" + std::string(10, 'r') + "\"";
    JsonCursor cursor = cursorOver(quoted);
    const std::size_t before = allocationCount;
    const auto decoded = readString(cursor);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->size(), 111u);
    EXPECT_EQ(decoded->capacity(), 116u);
    EXPECT_EQ(allocationCount, before + 1);
}

TEST(ReaderAllocation, PlainKeyViewsTheInput) {
    const std::string text = R"("sessionId": 1)";
    std::string scratch;
    JsonCursor cursor = cursorOver(text);
    const std::size_t before = allocationCount;
    const auto key = readStringView(cursor, scratch);
    EXPECT_EQ(allocationCount, before);
    ASSERT_TRUE(key);
    EXPECT_EQ(*key, "sessionId");
    EXPECT_EQ(key->data(), text.data() + 1);
}

}  // namespace
}  // namespace orva

#include "json_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace orva {
namespace {

JsonCursor cursorOver(std::string_view text) { return JsonCursor{text.data(), text.size(), 0}; }

// A whole input is one value at depth 1 followed only by JSON whitespace.
bool skipsWhole(std::string_view text) {
    JsonCursor cursor = cursorOver(text);
    if (!skipValue(cursor, 1)) return false;
    skipJsonWhitespace(cursor);
    return cursor.position == cursor.length;
}

TEST(JsonReaderBasics, SkipsValuesAndStopsAfterThem) {
    const std::string text = R"( {"a": [1, -2.5e+3, true, false, null, "x\"y"], "b": {}} ,)";
    JsonCursor cursor = cursorOver(text);
    ASSERT_TRUE(skipValue(cursor, 1));
    EXPECT_EQ(text.substr(cursor.position), " ,");
}

TEST(JsonReaderBasics, ReadsPlainAndEscapedStrings) {
    JsonCursor plain = cursorOver(R"(  "hello" tail)");
    EXPECT_EQ(readString(plain), "hello");
    EXPECT_EQ(plain.position, 9u);

    JsonCursor escaped = cursorOver(R"("a\n\u00e9\ud83d\ude00\/")");
    EXPECT_EQ(readString(escaped), "a\n\xC3\xA9\xF0\x9F\x98\x80/");
    EXPECT_EQ(escaped.position, escaped.length);
}

TEST(JsonReaderBasics, RejectsBadInput) {
    EXPECT_FALSE(skipsWhole("[1,]"));
    EXPECT_FALSE(skipsWhole("[01]"));
    JsonCursor bad = cursorOver("\"\xFF\"");
    EXPECT_FALSE(readString(bad));
    JsonCursor skipped = cursorOver("\"\xFF\"");
    EXPECT_TRUE(skipString(skipped));
}

TEST(JsonReaderBasics, Hex4AndCodePoints) {
    JsonCursor cursor = cursorOver("00e9");
    EXPECT_EQ(readHex4(cursor), 0x00E9);
    std::string out;
    appendCodePoint(out, 0x1F600);
    EXPECT_EQ(out, "\xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace orva

// Custom-title search, title sources, the first prompt and its cut, and the byte
// pattern search the title and source searches stand on.
#include "session_titles.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_test_support.h"

namespace orva {
namespace {

using testing::repeat;

// A custom-title record as the host writes it.
std::string titleRecord(std::string_view title, std::string_view source) {
    return R"({"type":"system","subtype":"custom_title","customTitle":")" + std::string(title) +
           R"(","titleSource":")" + std::string(source) +
           R"(","timestamp":"2024-05-01T10:00:00.000Z"})";
}

struct TitleCase {
    const char* what;
    std::string window;
    TitleSearch result;
    std::string title;
    OptionalString source;
};

TEST(FindCustomTitle, Cases) {
    const std::string user = R"({"type":"user","message":{"parts":[{"text":"hello"}]}})";
    const std::vector<TitleCase> cases = {
        {"one record", user + "\n" + titleRecord("Fix login", "manual") + "\n", TitleSearch::Found,
         "Fix login", "manual"},
        {"no marker",
         user + "\n" + R"({"type":"system","customTitle":"T"})" + "\n",
         TitleSearch::NotFound,
         "",
         {}},
        {"space before the marker's colon",
         R"({"subtype" :"custom_title","customTitle":"T"})",
         TitleSearch::NotFound,
         "",
         {}},
        {"space after the marker's colon",
         R"({"subtype": "custom_title","customTitle":"T"})",
         TitleSearch::NotFound,
         "",
         {}},
        {"two customTitle keys: the last",
         R"({"subtype":"custom_title","customTitle":"A","customTitle":"B"})",
         TitleSearch::Found,
         "B",
         {}},
        {"two titleSource keys: the first",
         R"({"subtype":"custom_title","titleSource":"auto","customTitle":"A","titleSource":"manual"})",
         TitleSearch::Found, "A", "auto"},
        {"numeric title passed over for an earlier line",
         titleRecord("Old", "auto") + "\n" +
             R"({"subtype":"custom_title","customTitle":42,"titleSource":"manual"})",
         TitleSearch::Found, "Old", "auto"},
        {"later line wins even when empty",
         titleRecord("Old", "auto") + "\n" + titleRecord("", "manual") + "\n", TitleSearch::Found,
         "", "manual"},
        {"source of a line without a title is forgotten",
         R"({"subtype":"custom_title","customTitle":"Old"})"
         "\n"
         R"({"subtype":"custom_title","titleSource":"manual"})",
         TitleSearch::Found,
         "Old",
         {}},
        {"whitespace around the key's colon",
         "{\"subtype\":\"custom_title\",\"customTitle\" \t: \r\"T\"}",
         TitleSearch::Found,
         "T",
         {}},
        {"title at any depth",
         R"({"subtype":"custom_title","x":[{"customTitle":"Deep"}]})",
         TitleSearch::Found,
         "Deep",
         {}},
        {"key text as a value is no key",
         R"({"subtype":"custom_title","note":"customTitle","v":"titleSource"})",
         TitleSearch::NotFound,
         "",
         {}},
        {"escapes decoded, key and value",
         R"({"subtype":"custom_title","custom\u0054itle":"a\"b\u00e9"})",
         TitleSearch::Found,
         "a\"b\xC3\xA9",
         {}},
        {"broken string elsewhere passed over",
         R"({"subtype":"custom_title","customTitle":"T","x":"\q"})",
         TitleSearch::Found,
         "T",
         {}},
        {"broken string's closing quote opens the next token",
         R"({"x":"\q","subtype":"custom_title","customTitle":"T"})",
         TitleSearch::NotFound,
         "",
         {}},
        {"carriage return is no separator",
         "{\"subtype\":\"custom_title\",\"customTitle\":\"A\"}\r{\"subtype\":\"custom_title\","
         "\"customTitle\":\"B\"}\r\n",
         TitleSearch::Found,
         "B",
         {}},
        {"window starting mid-line: first piece read",
         R"(5,"subtype":"custom_title","customTitle":"Cut"})"
         "\n" +
             user,
         TitleSearch::Found,
         "Cut",
         {}},
        {"window starting inside a string: the token scan is out of step",
         R"(tle","subtype":"custom_title","customTitle":"Cut"})"
         "\n" +
             user,
         TitleSearch::NotFound,
         "",
         {}},
        {"half-written last line with an unterminated title",
         titleRecord("Old", "auto") + "\n" + R"({"subtype":"custom_title","customTitle":"Ne)",
         TitleSearch::Error,
         "",
         {}},
        {"unreadable titleSource",
         R"({"subtype":"custom_title","customTitle":"T","titleSource":"\x"})",
         TitleSearch::Error,
         "",
         {}},
        {"ill-formed UTF-8 in the title",
         "{\"subtype\":\"custom_title\",\"customTitle\":\"\xFF\"}",
         TitleSearch::Error,
         "",
         {}},
        {"broken earlier line never reached",
         R"({"subtype":"custom_title","customTitle":"\x"})"
         "\n" +
             titleRecord("New", "manual"),
         TitleSearch::Found, "New", "manual"},
        {"empty window", "", TitleSearch::NotFound, "", {}},
    };
    for (const TitleCase& c : cases) {
        const CustomTitleOutcome outcome = findCustomTitle(c.window);
        EXPECT_EQ(outcome.result, c.result) << c.what;
        if (c.result == TitleSearch::Found) {
            EXPECT_EQ(outcome.hit.customTitle, c.title) << c.what;
            EXPECT_EQ(outcome.hit.titleSource, c.source) << c.what;
        }
    }
}

TEST(NormalizeTitleSource, KeepsOnlyAutoAndManual) {
    EXPECT_EQ(normalizeTitleSource("auto"), "auto");
    EXPECT_EQ(normalizeTitleSource("manual"), "manual");
    for (const char* other : {"prompt", "Manual", "AUTO", " auto", "", "manual "}) {
        EXPECT_EQ(normalizeTitleSource(std::string(other)), std::nullopt) << other;
    }
    EXPECT_EQ(normalizeTitleSource(std::nullopt), std::nullopt);
}

std::vector<RecordFields> recordsOf(const std::vector<std::string>& lines) {
    std::vector<RecordFields> records;
    for (const std::string& line : lines) {
        auto record = extractRecordFields(line);
        EXPECT_TRUE(record) << line;
        if (record) records.push_back(std::move(*record));
    }
    return records;
}

std::string userRecord(std::string_view text) {
    return R"({"type":"user","message":{"role":"user","parts":[{"text":")" + std::string(text) +
           R"("}]}})";
}

struct PromptCase {
    const char* what;
    std::vector<std::string> lines;
    TitleSearch result;
    std::string text;
};

TEST(FirstPromptText, Cases) {
    const std::string first = R"({"type":"system","sessionId":"s","cwd":"/w","timestamp":"t"})";
    const std::vector<PromptCase> cases = {
        {"first user record",
         {first, userRecord("Fix it"), userRecord("later")},
         TitleSearch::Found,
         "Fix it"},
        {"none",
         {first, R"({"type":"assistant","message":{"parts":[{"text":"hi"}]}})"},
         TitleSearch::NotFound,
         ""},
        {"displayText preferred over the message",
         {R"({"type":"user","systemPayload":{"displayText":"shown"},"message":{"parts":[{"text":"raw"}]}})"},
         TitleSearch::Found,
         "shown"},
        {"empty displayText passes the record over",
         {R"({"type":"user","systemPayload":{"displayText":""},"message":{"parts":[{"text":"raw"}]}})",
          userRecord("next")},
         TitleSearch::Found,
         "next"},
        {"null displayText passes the record over",
         {R"({"type":"user","systemPayload":{"displayText":null},"message":{"parts":[{"text":"raw"}]}})"},
         TitleSearch::NotFound,
         ""},
        {"any subtype is never a prompt",
         {R"({"type":"user","subtype":null,"message":{"parts":[{"text":"a"}]}})", userRecord("b")},
         TitleSearch::Found,
         "b"},
        {"empty message text passed over",
         {userRecord(""), userRecord("b")},
         TitleSearch::Found,
         "b"},
        {"non-string part text is an error, whatever follows",
         {R"({"type":"user","message":{"parts":[{"text":7}]}})", userRecord("b")},
         TitleSearch::Error,
         ""},
        {"non-string part text under a displayText is not looked at",
         {R"({"type":"user","systemPayload":{"displayText":"d"},"message":{"parts":[{"text":7}]}})"},
         TitleSearch::Found,
         "d"},
        {"nothing trimmed",
         {userRecord("  two spaces \\n")},
         TitleSearch::Found,
         "  two spaces \n"},
        {"300 characters cut to 201",
         {userRecord(repeat("a", 300))},
         TitleSearch::Found,
         repeat("a", 201)},
        {"201 two-byte characters kept whole",
         {userRecord(repeat("\xC3\xA9", 201))},
         TitleSearch::Found,
         repeat("\xC3\xA9", 201)},
        {"202 four-byte characters cut whole",
         {userRecord(repeat("\xF0\x9F\x98\x80", 202))},
         TitleSearch::Found,
         repeat("\xF0\x9F\x98\x80", 201)},
    };
    for (const PromptCase& c : cases) {
        const std::vector<RecordFields> records = recordsOf(c.lines);
        const PromptOutcome outcome = firstPromptText(records);
        EXPECT_EQ(outcome.result, c.result) << c.what;
        if (c.result == TitleSearch::Found) {
            EXPECT_EQ(outcome.text, c.text) << c.what;
        }
    }
}

TEST(BytePattern, FindLastAgreesWithRfind) {
    // Haystacks of few letters make near misses and overlapping occurrences common;
    // lengths around the 16-byte blocks and the needles' own lengths.
    std::mt19937 random(20240501);
    struct Needle {
        std::string_view text;
        std::size_t anchorA, anchorB;
    };
    const Needle needles[] = {{"ab", 0, 1},
                              {"aab", 2, 0},
                              {"abaab", 1, 3},
                              {"a", 0, 0},
                              {"session_source", 7, 12},
                              {CUSTOM_TITLE_MARKER, 9, 17}};
    for (int round = 0; round < 6000; ++round) {
        const Needle& needle = needles[static_cast<std::size_t>(round) % std::size(needles)];
        std::string haystack(static_cast<std::size_t>(round % 131), 'a');
        std::uniform_int_distribution<int> letter(0, round % 2 == 0 ? 1 : 2);
        for (char& c : haystack) c = static_cast<char>('a' + letter(random));
        // Plant the needle now and then, at either end too.
        if (round % 3 == 0 && haystack.size() >= needle.text.size()) {
            const std::size_t at =
                static_cast<std::size_t>(random()) % (haystack.size() - needle.text.size() + 1);
            haystack.replace(round % 9 == 0 ? 0 : at, needle.text.size(), needle.text);
        }
        const BytePattern pattern(needle.text, needle.anchorA, needle.anchorB);
        EXPECT_EQ(pattern.findLast(haystack), std::string_view(haystack).rfind(needle.text))
            << haystack;
    }
}

}  // namespace
}  // namespace orva

// Custom-title search, title sources, and the first prompt and its cut.
#include "session_titles.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_test_support.h"
#include "title_search_reference.h"

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

void expectSameOutcome(const CustomTitleOutcome& found, const CustomTitleOutcome& expected,
                       const std::string& what) {
    EXPECT_EQ(found.result, expected.result) << what;
    if (found.result == TitleSearch::Found && expected.result == TitleSearch::Found) {
        EXPECT_EQ(found.hit.customTitle, expected.hit.customTitle) << what;
        EXPECT_EQ(found.hit.titleSource, expected.hit.titleSource) << what;
    }
}

// Lines on which every quote starts a string read that runs far before it fails, and
// ordinary lines around them. Sized so that the literal search stays quick.
std::vector<std::pair<std::string, std::string>> hostileTitleWindows(std::size_t quotes) {
    const std::string marker(CUSTOM_TITLE_MARKER);
    const std::string escapedQuotes = repeat("\\\"", quotes);
    const std::string title = titleRecord("Kept", "manual");
    std::vector<std::pair<std::string, std::string>> windows = {
        {"escaped quotes, then a bad escape",
         "{" + marker + ",\"x\":\"" + escapedQuotes + "\\x\"}"},
        {"escaped quotes, then the end of the line", "{" + marker + ",\"x\":\"" + escapedQuotes},
        {"escaped quotes, then a raw tab", "{" + marker + ",\"x\":\"" + escapedQuotes + "\t\"}"},
        {"escaped quotes, then a byte that is not UTF-8",
         "{" + marker + ",\"x\":\"" + escapedQuotes + "\xFF\"}"},
        {"escaped quotes, then a lone surrogate",
         "{" + marker + ",\"x\":\"" + escapedQuotes + "\\ud800\"}"},
        {"escaped quotes, then a title key",
         "{" + marker + ",\"x\":\"" + escapedQuotes +
             "\",\"customTitle\":\"T\\q\",\"customTitle\":\"U\"}"},
        {"escaped quotes spelled as keys",
         "{" + marker + "," + repeat("\\\"customTitle\\\":\\\"", quotes / 8) + "\\x"},
        {"escaped backslashes and quotes",
         "{" + marker + ",\"x\":\"" + repeat("\\\\\\\"", quotes / 2) + "\\u12\"}"},
        {"surrogate escapes between quotes",
         "{" + marker + ",\"x\":\"" + repeat("\\ud83d\\\"", quotes / 4) + "\"}"},
        {"broken strings, then a title",
         "{" + marker + "," + repeat("\"\\q", quotes / 2) + "\"customTitle\":\"T\"}"},
        {"hostile line above a title",
         title + "\n{" + marker + ",\"x\":\"" + escapedQuotes + "\\x\"}"},
        {"hostile line below a title",
         "{" + marker + ",\"x\":\"" + escapedQuotes + "\\x\"}\n" + title},
        {"ordinary record", title},
        {"ordinary records with escapes", titleRecord("a\\\"b\\\\c\\u00e9\\ud83d\\ude00", "auto") +
                                              "\n" + titleRecord("", "prompt")},
    };
    return windows;
}

TEST(FindCustomTitle, AgreesWithTheLiteralSearchOnHostileLines) {
    for (const auto& [what, window] : hostileTitleWindows(600)) {
        expectSameOutcome(findCustomTitle(window), reference::findCustomTitle(window), what);
    }
}

// Few distinct bytes make every quote, escape and broken sequence meet every other.
TEST(FindCustomTitle, AgreesWithTheLiteralSearchOnRandomLines) {
    const std::string_view pieces[] = {"\\",
                                       "\"",
                                       "\"",
                                       "u",
                                       "d8",
                                       "dc",
                                       "0",
                                       "x",
                                       "\xFF",
                                       "\xC3\xA9",
                                       "\t",
                                       " ",
                                       ":",
                                       "customTitle",
                                       "titleSource",
                                       "\n",
                                       CUSTOM_TITLE_MARKER};
    std::mt19937 random(1501);
    for (int round = 0; round < 20000; ++round) {
        std::string window(CUSTOM_TITLE_MARKER);
        const std::size_t count = 1 + random() % 60;
        for (std::size_t i = 0; i < count; ++i) window += pieces[random() % std::size(pieces)];
        expectSameOutcome(findCustomTitle(window), reference::findCustomTitle(window),
                          ::testing::PrintToString(window));
    }
}

// The work is counted, not timed: the bytes the search's string reads look at stay
// within a few times the window, where reads that forget where others failed look at
// some 1.5 billion bytes for the largest line here.
TEST(FindCustomTitle, WorkIsLinearInTheWindow) {
    for (const auto& [what, window] : hostileTitleWindows(32000)) {
        std::size_t bytesExamined = 0;
        findCustomTitle(window, bytesExamined);
        EXPECT_LE(bytesExamined, 3 * window.size()) << what << ", " << window.size() << " bytes";
    }
    std::string manyLines;
    while (manyLines.size() < 65536) {
        manyLines += "{" + std::string(CUSTOM_TITLE_MARKER) + ",\"x\":\"" + repeat("\\\"", 2000) +
                     "\\x\"}\n";
    }
    std::size_t bytesExamined = 0;
    EXPECT_EQ(findCustomTitle(manyLines, bytesExamined).result, TitleSearch::NotFound);
    EXPECT_LE(bytesExamined, 3 * manyLines.size());
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

}  // namespace
}  // namespace orva

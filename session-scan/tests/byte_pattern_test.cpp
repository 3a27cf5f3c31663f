// The backward byte pattern search and the marked-line walk that the custom-title and
// session-source searches share.
#include "byte_pattern.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace orva {
namespace {

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
                              {"\"subtype\":\"custom_title\"", 9, 17}};
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

struct WalkCase {
    const char* what;
    std::string window;
    bool startsMidLine;
    LineRules rules;
    std::vector<std::string> lines;  // as visited, last first
};

constexpr BytePattern MARK{"<m>", 0, 2};

TEST(AnswerFromLastMarkedLine, RulesOfBothSearches) {
    const LineRules asIs = CUSTOM_TITLE_LINES;
    const LineRules trimmed = SESSION_SOURCE_LINES;
    const std::vector<WalkCase> cases = {
        {"last first, unmarked lines never visited",
         "a<m>\nb\nc<m>d\n",
         false,
         asIs,
         {"c<m>d", "a<m>"}},
        {"two marks on a line: visited once", "x\n<m><m>\n<m>", false, asIs, {"<m>", "<m><m>"}},
        {"carriage returns stay in the line", "\r<m>\r\r<m>\n", false, asIs, {"\r<m>\r\r<m>"}},
        {"carriage returns and blanks trimmed", " \t\r\f<m> x\r\n\r\n", false, trimmed, {"<m> x"}},
        {"vertical tab is no blank", "\v<m>\v", false, trimmed, {"\v<m>\v"}},
        {"first piece read mid-line as is", "<m>a\n<m>b", true, asIs, {"<m>b", "<m>a"}},
        {"first piece skipped mid-line", "<m>a\n<m>b", true, trimmed, {"<m>b"}},
        {"first piece read at a line start", "<m>a\n<m>b", false, trimmed, {"<m>b", "<m>a"}},
        {"no mark", "abc\n", false, asIs, {}},
    };
    for (const WalkCase& c : cases) {
        std::vector<std::string> visited;
        const bool answered = answerFromLastMarkedLine(c.window, c.startsMidLine, MARK, c.rules,
                                                       [&](std::string_view line) {
                                                           visited.emplace_back(line);
                                                           return false;
                                                       });
        EXPECT_FALSE(answered) << c.what;
        EXPECT_EQ(visited, c.lines) << c.what;
    }
}

TEST(AnswerFromLastMarkedLine, StopsAtTheFirstAnswer) {
    std::vector<std::string> visited;
    const bool answered = answerFromLastMarkedLine("<m>1\n<m>2\n<m>3", false, MARK,
                                                   CUSTOM_TITLE_LINES, [&](std::string_view line) {
                                                       visited.emplace_back(line);
                                                       return line == "<m>2";
                                                   });
    EXPECT_TRUE(answered);
    EXPECT_EQ(visited, (std::vector<std::string>{"<m>3", "<m>2"}));
}

}  // namespace
}  // namespace orva

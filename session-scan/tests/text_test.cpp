#include "text.h"

#include <gtest/gtest.h>

#include <string>

namespace orva {
namespace {

using namespace std::string_literals;

TEST(IsValidUtf8, Table) {
    struct Case {
        std::string bytes;
        bool valid;
    };
    for (const Case& c : {Case{"", true},
                          Case{"plain ascii \x7F\0"s, true},
                          Case{"\xC2\x80\xDF\xBF", true},
                          Case{"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", true},
                          Case{"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", true},
                          Case{"\x80", false},
                          Case{"\xBF", false},
                          Case{"a\x80", false},  // stray continuation
                          Case{"\xC0\x80", false},
                          Case{"\xC1\xBF", false},  // overlong two-byte
                          Case{"\xE0\x80\x80", false},
                          Case{"\xE0\x9F\xBF", false},  // overlong three-byte
                          Case{"\xF0\x80\x80\x80", false},
                          Case{"\xF0\x8F\xBF\xBF", false},  // overlong four-byte
                          Case{"\xED\xA0\x80", false},
                          Case{"\xED\xBF\xBF", false},  // encoded surrogates
                          Case{"\xF4\x90\x80\x80", false},
                          Case{"\xF5\x80\x80\x80", false},  // above U+10FFFF
                          Case{"\xF8\x88\x80\x80\x80", false},
                          Case{"\xFE", false},
                          Case{"\xFF", false},
                          Case{"\xC3", false},
                          Case{"\xE2\x82", false},
                          Case{"\xF0\x9F\x98", false},  // truncated
                          Case{"\xC3(", false},
                          Case{"\xE2(\xA1", false},
                          Case{"\xF0\x9F(\x80", false},
                          Case{"\xC3\xA9\xC3", false}}) {
        EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
    }
}

// The ASCII fast path works in blocks; a bad or good sequence must be judged the
// same wherever it falls relative to them.
TEST(IsValidUtf8, SequencesAtEveryOffset) {
    for (std::size_t before = 0; before < 70; ++before) {
        for (std::size_t after : {0u, 1u, 15u, 40u}) {
            const std::string pad(before, 'a');
            const std::string tail(after, 'b');
            EXPECT_TRUE(isValidUtf8(pad + "\xF0\x9F\x98\x80" + tail)) << before << ' ' << after;
            EXPECT_TRUE(isValidUtf8(pad + "\xC3\xA9\xE2\x82\xAC" + tail)) << before << ' ' << after;
            EXPECT_FALSE(isValidUtf8(pad + "\xFF" + tail)) << before << ' ' << after;
            EXPECT_FALSE(isValidUtf8(pad + "\xED\xA0\x80" + tail)) << before << ' ' << after;
            EXPECT_FALSE(isValidUtf8(pad + tail + "\xE2\x82")) << before << ' ' << after;
        }
    }
}

TEST(TrimAsciiWhitespace, Table) {
    struct Case {
        std::string text;
        std::string trimmed;
    };
    for (const Case& c :
         {Case{"", ""}, Case{" \t\n\f\r", ""}, Case{"\f{}\f", "{}"}, Case{"\r\n{ } \n", "{ }"},
          Case{"\v{}\v", "\v{}\v"}, Case{" a b ", "a b"}, Case{"\xC2\xA0x", "\xC2\xA0x"}}) {
        EXPECT_EQ(trimAsciiWhitespace(c.text), c.trimmed) << testing::PrintToString(c.text);
    }
}

}  // namespace
}  // namespace orva

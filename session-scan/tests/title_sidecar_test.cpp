// The title sidecar's shape rules, its White_Space trimming, and reading it from real
// files: every kind of entry, and the size cap against a hostile file.
#include "title_sidecar.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_test_support.h"

namespace orva {
namespace {

using testing::repeat;
using testing::TempDir;

struct ShapeCase {
    const char* what;
    std::string content;
    std::optional<std::string> name;  // absent: the sidecar gives nothing
    std::string source;
};

TEST(ParseTitleSidecar, Shapes) {
    const std::string nbsp = "\xC2\xA0";
    const std::vector<ShapeCase> cases = {
        {"trimmed name, members in any order",
         R"({"source":"manual","displayName":"  Login fix  ","version":1})", "Login fix", "manual"},
        {"whitespace around everything",
         " \n{ \"version\" : 1 ,\t\"displayName\":\"A\" , \"source\":\"auto\" }\r\n", "A", "auto"},
        {"source prompt", R"({"version":1,"displayName":"A","source":"prompt"})", "A", "prompt"},
        {"version 1.0", R"({"version":1.0,"displayName":"A","source":"auto"})", {}, ""},
        {"version \"1\"", R"({"version":"1","displayName":"A","source":"auto"})", {}, ""},
        {"version 2", R"({"version":2,"displayName":"A","source":"auto"})", {}, ""},
        {"version missing", R"({"displayName":"A","source":"auto"})", {}, ""},
        {"last version decides: valid",
         R"({"version":2,"displayName":"A","source":"auto","version":1})", "A", "auto"},
        {"last version decides: invalid",
         R"({"version":1,"displayName":"A","source":"auto","version":2})",
         {},
         ""},
        {"256 characters after trimming",
         R"({"version":1,"source":"auto","displayName":"  )" + repeat("\xC3\xA9", 256) + R"( "})",
         repeat("\xC3\xA9", 256), "auto"},
        {"257 characters",
         R"({"version":1,"source":"auto","displayName":")" + repeat("x", 257) + R"("})",
         {},
         ""},
        {"only spaces and no-break spaces",
         R"({"version":1,"source":"auto","displayName":"  )" + nbsp + " " + nbsp + R"("})",
         {},
         ""},
        {"empty name", R"({"version":1,"source":"auto","displayName":""})", {}, ""},
        {"escaped White_Space trimmed, inner kept",
         R"({"version":1,"source":"auto","displayName":"\u3000\u2028a  b\u0085\t\u00a0"})", "a  b",
         "auto"},
        {"zero-width space and BOM are not White_Space",
         R"({"version":1,"source":"auto","displayName":"\u200bA\ufeff"})",
         "\xE2\x80\x8B"
         "A\xEF\xBB\xBF",
         "auto"},
        {"source Manual", R"({"version":1,"displayName":"A","source":"Manual"})", {}, ""},
        {"source with a leading space",
         R"({"version":1,"displayName":"A","source":" manual"})",
         {},
         ""},
        {"source not a string", R"({"version":1,"displayName":"A","source":1})", {}, ""},
        {"source missing", R"({"version":1,"displayName":"A"})", {}, ""},
        {"byte-order mark",
         "\xEF\xBB\xBF"
         R"({"version":1,"displayName":"A","source":"auto"})",
         {},
         ""},
        {"trailing line feed",
         R"({"version":1,"displayName":"A","source":"auto"})"
         "\n",
         "A", "auto"},
        {"a second object",
         R"({"version":1,"displayName":"A","source":"auto"})"
         "\n{}",
         {},
         ""},
        {"trailing form feed is not JSON whitespace",
         R"({"version":1,"displayName":"A","source":"auto"})"
         "\f",
         {},
         ""},
        {"name string then number",
         R"({"version":1,"displayName":"A","source":"auto","displayName":5})",
         {},
         ""},
        {"name number then string",
         R"({"version":1,"displayName":5,"source":"auto","displayName":"B"})", "B", "auto"},
        {"unknown nested members",
         R"({"meta":{"a":[1,{"b":null}],"c":"d"},"version":1,"displayName":"A","source":"auto","t":[true,false]})",
         "A", "auto"},
        {"empty object", "{}", {}, ""},
        {"array", R"([{"version":1,"displayName":"A","source":"auto"}])", {}, ""},
        {"not UTF-8, even in an ignored member",
         "{\"x\":\"\xFF\",\"version\":1,\"displayName\":\"A\",\"source\":\"auto\"}",
         {},
         ""},
        {"trailing comma", R"({"version":1,"displayName":"A","source":"auto",})", {}, ""},
        {"missing comma", R"({"version":1 "displayName":"A","source":"auto"})", {}, ""},
        {"unterminated", R"({"version":1,"displayName":"A","source":"auto")", {}, ""},
        {"bad value of an ignored member",
         R"({"x":tru,"version":1,"displayName":"A","source":"auto"})",
         {},
         ""},
        {"empty file", "", {}, ""},
    };
    for (const ShapeCase& c : cases) {
        const std::optional<TitleSidecar> sidecar = parseTitleSidecar(c.content);
        ASSERT_EQ(sidecar.has_value(), c.name.has_value()) << c.what;
        if (sidecar) {
            EXPECT_EQ(sidecar->displayName, *c.name) << c.what;
            EXPECT_EQ(sidecar->source, c.source) << c.what;
        }
    }
}

TEST(TrimUnicodeWhiteSpace, EveryListedCharacterBothEnds) {
    const std::vector<std::string> spaces = {"\t",           "\n",           "\v",
                                             "\f",           "\r",           " ",
                                             "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80",
                                             "\xE2\x80\x80", "\xE2\x80\x8A", "\xE2\x80\xA8",
                                             "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
                                             "\xE3\x80\x80"};
    for (const std::string& space : spaces) {
        EXPECT_EQ(trimUnicodeWhiteSpace(space + "x" + space + space), "x") << space;
        EXPECT_EQ(trimUnicodeWhiteSpace(space), "") << space;
    }
    for (const char* kept : {"\xE2\x80\x8B", "\xE1\xA0\x8E", "\x1C", "\xEF\xBB\xBF"}) {
        EXPECT_EQ(trimUnicodeWhiteSpace(std::string(kept) + "x"), std::string(kept) + "x") << kept;
    }
}

const std::string VALID = R"({"version":1,"displayName":"Release notes","source":"manual"})";

TEST(ReadTitleSidecar, OnlyRegularFilesReachedWithoutALink) {
    TempDir dir;
    const std::string file = dir.write("a.title.json", VALID);
    const std::optional<TitleSidecar> read = readTitleSidecar(file);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->displayName, "Release notes");
    EXPECT_EQ(read->source, "manual");

    ASSERT_EQ(::symlink(file.c_str(), (dir / "link.title.json").c_str()), 0);
    ASSERT_EQ(::mkdir((dir / "dir.title.json").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo.title.json").c_str(), 0644), 0);
    for (const char* name :
         {"link.title.json", "dir.title.json", "fifo.title.json", "missing.title.json"}) {
        EXPECT_FALSE(readTitleSidecar(dir / name)) << name;
    }
    const auto before = testing::openDescriptors();
    for (int i = 0; i < 3; ++i) readTitleSidecar(file);
    EXPECT_EQ(testing::openDescriptors(), before);
}

TEST(ReadTitleSidecar, SizeCapIsExact) {
    TempDir dir;
    std::string atLimit = VALID + std::string(SIDECAR_SIZE_LIMIT - VALID.size() - 1, ' ') + "\n";
    ASSERT_EQ(atLimit.size(), SIDECAR_SIZE_LIMIT);
    EXPECT_TRUE(readTitleSidecar(dir.write("limit.title.json", atLimit)));
    EXPECT_FALSE(readTitleSidecar(dir.write("over.title.json", atLimit + " ")));
}

long peakResidentKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(ReadTitleSidecar, HostileHugeFileIsNotReadWhole) {
    // A sparse file of 4 GiB that begins like a valid sidecar: reading it whole would
    // take the memory with it; the cap reads a little over 1 MiB and gives nothing.
    TempDir dir;
    const std::string path = dir.write("huge.title.json", VALID);
    ASSERT_EQ(::truncate(path.c_str(), 4LL << 30), 0);
    const long before = peakResidentKiB();
    EXPECT_FALSE(readTitleSidecar(path));
    EXPECT_LT(peakResidentKiB() - before, 16 * 1024);
}

}  // namespace
}  // namespace orva

#include "record_fields.h"

#include <gtest/gtest.h>

#include "allocation_counter.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace orva {

// Readable failure output: every field by name, absent shown as such.
void PrintTo(const RecordFields& f, std::ostream* out);
void PrintTo(const RecordFields& f, std::ostream* out) {
    const auto field = [out](const char* name, const OptionalString& value) {
        *out << name << '=' << (value ? testing::PrintToString(*value) : "absent") << ' ';
    };
    field("sessionId", f.sessionId);
    field("cwd", f.cwd);
    field("timestamp", f.timestamp);
    field("gitBranch", f.gitBranch);
    field("type", f.type);
    field("subtype", f.subtype);
    field("parentSessionId", f.systemPayload.parentSessionId);
    field("sourceType", f.systemPayload.sourceType);
    field("sourceId", f.systemPayload.sourceId);
    field("engine", f.systemPayload.engine);
    field("displayText", f.systemPayload.displayText);
    field("messageText", f.messageText);
    *out << "hasDisplayText=" << f.systemPayload.hasDisplayText
         << " gitBranchNonString=" << f.gitBranchNonString << " hasSubtype=" << f.hasSubtype
         << " partTextNonString=" << f.partTextNonString;
}

namespace {

using namespace std::string_literals;

// expect fills in what differs from a fresh record; no expect means no record.
struct RecordCase {
    const char* name;
    std::string line;
    std::function<void(RecordFields&)> expect;
    friend void PrintTo(const RecordCase& c, std::ostream* out) { *out << c.name; }
};

std::string caseName(const testing::TestParamInfo<RecordCase>& info) {
    return info.param.name;
}

class RecordTable : public testing::TestWithParam<RecordCase> {};

TEST_P(RecordTable, Extracts) {
    const RecordCase& c = GetParam();
    const auto fields = extractRecordFields(c.line);
    if (!c.expect) {
        EXPECT_FALSE(fields) << c.line;
        return;
    }
    ASSERT_TRUE(fields) << c.line;
    RecordFields expected;
    c.expect(expected);
    EXPECT_EQ(*fields, expected) << c.line;
}

// A record with every string present and every flag set, as a line before may leave
// it: extraction into it must give the same record as extraction into a fresh one.
const std::string EVERYTHING_LINE =
    R"({"sessionId":"s0","cwd":"/c0","timestamp":"t0","gitBranch":"b0","type":"y0",)"
    R"("subtype":"u0","systemPayload":{"parentSessionId":"p0","sourceType":"st0",)"
    R"("sourceId":"si0","engine":"e0","displayText":"d0"},"message":{"parts":[{"text":"m0"}]}})";

TEST_P(RecordTable, ExtractsIntoAUsedRecord) {
    const RecordCase& c = GetParam();
    RecordFields fields;
    ASSERT_TRUE(extractRecordFieldsInto(EVERYTHING_LINE, fields));
    fields.gitBranchNonString = fields.partTextNonString = true;
    const bool extracted = extractRecordFieldsInto(c.line, fields);
    EXPECT_EQ(extracted, static_cast<bool>(c.expect)) << c.line;
    if (!extracted || !c.expect) return;
    RecordFields expected;
    c.expect(expected);
    EXPECT_EQ(fields, expected) << c.line;
}

const auto NONE = std::function<void(RecordFields&)>{};
const auto FRESH = [](RecordFields&) {};

std::string nestedArrays(std::size_t levels) {
    return std::string(levels, '[') + std::string(levels, ']');
}

INSTANTIATE_TEST_SUITE_P(
    Shape, RecordTable,
    testing::Values(
        RecordCase{"EmptyObject", "{}", FRESH}, RecordCase{"BlankObject", "{ \t\r\n}", FRESH},
        RecordCase{"WhitespaceAround", " \t{\"cwd\" : \"a\" }\r\n ",
                   [](RecordFields& f) { f.cwd = "a"; }},
        RecordCase{"Array", R"([{"cwd":"a"}])", NONE}, RecordCase{"String", R"("cwd")", NONE},
        RecordCase{"Number", "1", NONE}, RecordCase{"Blank", " \t", NONE},
        RecordCase{"Empty", "", NONE}, RecordCase{"CommaAfter", "{},", NONE},
        RecordCase{"TextAfter", R"({"cwd":"a"} x)", NONE}, RecordCase{"SecondObject", "{}{}", NONE},
        RecordCase{"FormFeedAfter", "{}\f", NONE},
        RecordCase{"ByteOrderMark", "\xEF\xBB\xBF{}", NONE},
        RecordCase{"FormFeedInside", "{\f}", NONE},
        RecordCase{"TrailingComma", R"({"cwd":"a",})", NONE},
        RecordCase{"MissingColon", R"({"cwd" "a"})", NONE},
        RecordCase{"MissingComma", R"({"cwd":"a" "type":"b"})", NONE},
        RecordCase{"MissingBrace", R"({"cwd":"a")", NONE},
        RecordCase{"NoValue", R"({"cwd":})", NONE},
        RecordCase{"LineEndsAfterColon", R"({"cwd":  )", NONE},
        RecordCase{"LineEndsInString", R"({"cwd":"abc)", NONE},
        RecordCase{"NonStringKey", R"({cwd:"a"})", NONE},
        RecordCase{"BadSkippedValue", R"({"other":[1,],"cwd":"a"})", NONE},
        RecordCase{"BadSkippedNumber", R"({"other":01})", NONE},
        RecordCase{"TruncatedLiteral", R"({"other":tru})", NONE}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    TopLevel, RecordTable,
    testing::Values(
        RecordCase{
            "AllStrings",
            R"({"sessionId":"s","cwd":"/w","timestamp":"2024","gitBranch":"main","type":"user","subtype":"x"})",
            [](RecordFields& f) {
                f.sessionId = "s";
                f.cwd = "/w";
                f.timestamp = "2024";
                f.gitBranch = "main";
                f.type = "user";
                f.subtype = "x";
                f.hasSubtype = true;
            }},
        RecordCase{"CwdNull", R"({"cwd":null})", FRESH},
        RecordCase{"CwdEmpty", R"({"cwd":""})", [](RecordFields& f) { f.cwd = ""; }},
        RecordCase{"CwdObject", R"({"cwd":{"cwd":"x"}})", FRESH},
        RecordCase{"TypeArray", R"({"type":["user"]})", FRESH},
        RecordCase{"TimestampNumber", R"({"timestamp":1700000000})", FRESH},
        RecordCase{"SecondSessionIdWins", R"({"sessionId":"a","sessionId":"b"})",
                   [](RecordFields& f) { f.sessionId = "b"; }},
        RecordCase{"SecondSessionIdNumber", R"({"sessionId":"a","sessionId":5})", FRESH},
        RecordCase{"SessionIdAfterNull", R"({"sessionId":null,"sessionId":"b"})",
                   [](RecordFields& f) { f.sessionId = "b"; }},
        RecordCase{"GitBranchNull", R"({"gitBranch":null})",
                   [](RecordFields& f) { f.gitBranchNonString = true; }},
        RecordCase{"GitBranchFalse", R"({"gitBranch":false})",
                   [](RecordFields& f) { f.gitBranchNonString = true; }},
        RecordCase{"GitBranchNullThenString", R"({"gitBranch":null,"gitBranch":"dev"})",
                   [](RecordFields& f) { f.gitBranch = "dev"; }},
        RecordCase{"GitBranchStringThenNull", R"({"gitBranch":"dev","gitBranch":[]})",
                   [](RecordFields& f) { f.gitBranchNonString = true; }},
        RecordCase{"SubtypeNull", R"({"subtype":null})",
                   [](RecordFields& f) { f.hasSubtype = true; }},
        RecordCase{"SubtypeStringThenNumber", R"({"subtype":"a","subtype":1})",
                   [](RecordFields& f) { f.hasSubtype = true; }},
        RecordCase{"EscapedKey", R"({"c\u0077d":"/x","\u0074ype":"t"})",
                   [](RecordFields& f) {
                       f.cwd = "/x";
                       f.type = "t";
                   }},
        RecordCase{"EscapedValue", R"({"cwd":"C:\\dir\u00e9\n"})",
                   [](RecordFields& f) { f.cwd = "C:\\dir\xC3\xA9\n"; }},
        RecordCase{"KeysAreCaseSensitive", R"({"CWD":"a","Type":"b","sessionid":"c"})", FRESH},
        RecordCase{"KeyPrefixesDoNotMatch", R"({"cw":"a","cwdx":"b","types":"c"})", FRESH},
        RecordCase{"UnknownMembersSkipped", R"({"a":1,"b":[true,{"c":null}],"d":"e","f":-0.5e3})",
                   FRESH},
        RecordCase{
            "NestedSessionIdNotRead",
            R"({"message":{"sessionId":"m"},"other":{"sessionId":"o","cwd":"c"},"x":[{"sessionId":"a"}]})",
            FRESH},
        RecordCase{"PayloadSessionIdNotRead", R"({"systemPayload":{"sessionId":"p","cwd":"q"}})",
                   FRESH}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    SystemPayload, RecordTable,
    testing::Values(
        RecordCase{
            "AllMembers",
            R"({"systemPayload":{"parentSessionId":"p","sourceType":"t","sourceId":"i","engine":"e","displayText":"d"}})",
            [](RecordFields& f) {
                auto& p = f.systemPayload;
                p.parentSessionId = "p";
                p.sourceType = "t";
                p.sourceId = "i";
                p.engine = "e";
                p.displayText = "d";
                p.hasDisplayText = true;
            }},
        RecordCase{"String", R"({"systemPayload":"x"})", FRESH},
        RecordCase{"Number", R"({"systemPayload":3})", FRESH},
        RecordCase{"Empty", R"({"systemPayload":{}})", FRESH},
        RecordCase{"DisplayTextNull", R"({"systemPayload":{"displayText":null}})",
                   [](RecordFields& f) { f.systemPayload.hasDisplayText = true; }},
        RecordCase{"DisplayTextThenNumber",
                   R"({"systemPayload":{"displayText":"a","displayText":2}})",
                   [](RecordFields& f) { f.systemPayload.hasDisplayText = true; }},
        RecordCase{"NonStringMember", R"({"systemPayload":{"engine":{"x":1},"sourceId":"i"}})",
                   [](RecordFields& f) { f.systemPayload.sourceId = "i"; }},
        RecordCase{
            "LaterPayloadReplacesWhole",
            R"({"systemPayload":{"sourceType":"a","displayText":"d"},"systemPayload":{"sourceId":"b"}})",
            [](RecordFields& f) { f.systemPayload.sourceId = "b"; }},
        RecordCase{"LaterNonObjectResets",
                   R"({"systemPayload":{"sourceType":"a"},"systemPayload":null})", FRESH},
        RecordCase{"LaterEmptyResets",
                   R"({"systemPayload":{"displayText":"a"},"systemPayload":{ }})", FRESH},
        RecordCase{"DuplicateMemberLastWins", R"({"systemPayload":{"engine":"a","engine":"b"}})",
                   [](RecordFields& f) { f.systemPayload.engine = "b"; }},
        RecordCase{"TopLevelPayloadNamesNotRead",
                   R"({"sourceType":"a","displayText":"b","engine":"c"})", FRESH},
        RecordCase{"TrailingComma", R"({"systemPayload":{"engine":"a",}})", NONE},
        RecordCase{"MissingColon", R"({"systemPayload":{"engine" "a"}})", NONE},
        RecordCase{"Unclosed", R"({"systemPayload":{"engine":"a")", NONE}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    MessageParts, RecordTable,
    testing::Values(
        RecordCase{"FirstPartWithTextDecides",
                   R"({"message":{"parts":[{"type":"x"},{"text":"A"},{"text":"B"}]}})",
                   [](RecordFields& f) { f.messageText = "A"; }},
        RecordCase{"NullTextDecides",
                   R"({"message":{"parts":[{"type":"x"},{"text":null},{"text":"B"}]}})",
                   [](RecordFields& f) { f.partTextNonString = true; }},
        // The third element would make the line unreadable if it were decoded.
        RecordCase{"LaterPartsOnlySkipped",
                   "{\"message\":{\"parts\":[{\"text\":\"A\"},{\"text\":\"\\ud800\xFF\"},{\"text\":"
                   "\"\\uDC00\"}]}}",
                   [](RecordFields& f) { f.messageText = "A"; }},
        RecordCase{"LaterPartsStillValidated",
                   R"({"message":{"parts":[{"text":"A"},{"text":1,}]}})", NONE},
        RecordCase{"LastStringTextOfPartWins", R"({"message":{"parts":[{"text":"A","text":"B"}]}})",
                   [](RecordFields& f) { f.messageText = "B"; }},
        RecordCase{"NonStringThenString", R"({"message":{"parts":[{"text":1,"text":"B"}]}})",
                   [](RecordFields& f) {
                       f.messageText = "B";
                       f.partTextNonString = true;
                   }},
        RecordCase{"StringThenNonString", R"({"message":{"parts":[{"text":"A","text":{}}]}})",
                   [](RecordFields& f) {
                       f.messageText = "A";
                       f.partTextNonString = true;
                   }},
        RecordCase{"NonObjectElementsPassedOver",
                   R"({"message":{"parts":["s",1,null,[{"text":"n"}],{},{"text":"A"}]}})",
                   [](RecordFields& f) { f.messageText = "A"; }},
        RecordCase{"PartsString", R"({"message":{"parts":"text"}})", FRESH},
        RecordCase{"PartsNull", R"({"message":{"parts":null}})", FRESH},
        RecordCase{"PartsObject", R"({"message":{"parts":{"text":"A"}}})", FRESH},
        RecordCase{"PartsEmpty", R"({"message":{"parts":[ ]}})", FRESH},
        RecordCase{"TextOutsidePartsNotRead", R"({"message":{"text":"A"},"text":"B"})", FRESH},
        RecordCase{"SecondPartsArrayWhenUndecided",
                   R"({"message":{"parts":[{"type":"x"}],"parts":[{"text":"A"}]}})",
                   [](RecordFields& f) { f.messageText = "A"; }},
        RecordCase{"DecidedAcrossPartsArrays",
                   R"({"message":{"parts":[{"text":"A"}],"parts":[{"text":"B"}]}})",
                   [](RecordFields& f) { f.messageText = "A"; }},
        RecordCase{"LaterPartsNonArrayKeepsText",
                   R"({"message":{"parts":[{"text":"A"}],"parts":null}})",
                   [](RecordFields& f) { f.messageText = "A"; }},
        RecordCase{"LaterMessageReplaces",
                   R"({"message":{"parts":[{"text":"A"}]},"message":{"parts":[{"text":2}]}})",
                   [](RecordFields& f) { f.partTextNonString = true; }},
        RecordCase{"LaterEmptyMessageClears", R"({"message":{"parts":[{"text":1}]},"message":{}})",
                   FRESH},
        RecordCase{"LaterStringMessageClears",
                   R"({"message":{"parts":[{"text":"A"}]},"message":"m"})", FRESH},
        RecordCase{"MessageArray", R"({"message":[{"parts":[{"text":"A"}]}]})", FRESH},
        RecordCase{"EmptyPartPassedOver", R"({"message":{"parts":[{},{"text":"A"}]}})",
                   [](RecordFields& f) { f.messageText = "A"; }},
        RecordCase{"EmptyText", R"({"message":{"parts":[{"text":""}]}})",
                   [](RecordFields& f) { f.messageText = ""; }},
        RecordCase{"PartsTrailingComma", R"({"message":{"parts":[{"text":"A"},]}})", NONE},
        RecordCase{"PartTrailingComma", R"({"message":{"parts":[{"text":"A",}]}})", NONE},
        RecordCase{"PartsUnclosed", R"({"message":{"parts":[{"text":"A"})", NONE}),
    caseName);

// Names are matched after decoding, and only in their own place: the same names one
// level deeper, or in a sibling object, are someone else's members.
INSTANTIATE_TEST_SUITE_P(
    Placement, RecordTable,
    testing::Values(
        RecordCase{
            "EscapedNamesAtEveryLevel",
            R"({"m\u0065ssage":{"p\u0061rts":[{"t\u0065xt":"A"}]},"s\u0079stemPayload":{"\u0065ngine":"e","displ\u0061yText":null},)"
            R"("git\u0042ranch":1,"sub\u0074ype":"s"})",
            [](RecordFields& f) {
                f.messageText = "A";
                f.systemPayload.engine = "e";
                f.systemPayload.hasDisplayText = true;
                f.gitBranchNonString = true;
                f.subtype = "s";
                f.hasSubtype = true;
            }},
        RecordCase{
            "NamesOneLevelDeeperNotRead",
            R"({"message":{"x":{"parts":[{"text":"n"}]},"parts":[{"x":{"text":"n"}},{"text":"B"}]},)"
            R"("systemPayload":{"x":{"engine":"e","displayText":"d"}}})",
            [](RecordFields& f) { f.messageText = "B"; }},
        RecordCase{
            "SiblingNamesNotRead",
            R"({"message":{"engine":"e","displayText":"d","text":"t"},"systemPayload":{"parts":[{"text":"p"}]}})",
            FRESH}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    Decoding, RecordTable,
    testing::Values(RecordCase{"InvalidUtf8InSkippedMember", "{\"other\":\"\xFF\",\"cwd\":\"a\"}",
                               [](RecordFields& f) { f.cwd = "a"; }},
                    RecordCase{"InvalidUtf8InCwd", "{\"cwd\":\"\xFF\"}", NONE},
                    RecordCase{"InvalidUtf8InNonStringCwdSkipped", "{\"cwd\":[\"\xFF\"]}", FRESH},
                    RecordCase{"InvalidUtf8InKey", "{\"\xFF\":1}", NONE},
                    RecordCase{"InvalidUtf8InSkippedPayloadMember",
                               "{\"systemPayload\":{\"x\":\"\xC0\x80\"}}", FRESH},
                    RecordCase{"InvalidUtf8InDisplayText",
                               "{\"systemPayload\":{\"displayText\":\"\xED\xA0\x80\"}}", NONE},
                    RecordCase{"InvalidUtf8InPartText",
                               "{\"message\":{\"parts\":[{\"text\":\"\xF4\x90\x80\x80\"}]}}", NONE},
                    RecordCase{"InvalidUtf8InSkippedPartMember",
                               "{\"message\":{\"parts\":[{\"type\":\"\xFF\",\"text\":\"A\"}]}}",
                               [](RecordFields& f) { f.messageText = "A"; }},
                    RecordCase{"LoneSurrogateInSkippedMember", R"({"other":"\ud800","type":"t"})",
                               [](RecordFields& f) { f.type = "t"; }},
                    RecordCase{"LoneSurrogateInType", R"({"type":"\ud800"})", NONE},
                    RecordCase{"LowSurrogateInSessionId", R"({"sessionId":"\udc00"})", NONE},
                    RecordCase{"LoneSurrogateInKey", R"({"\udfaa":0})", NONE},
                    RecordCase{"PairedSurrogateInCwd", R"({"cwd":"\ud83d\ude00"})",
                               [](RecordFields& f) { f.cwd = "\xF0\x9F\x98\x80"; }},
                    RecordCase{"BadEscapeInSkippedMember", R"({"other":"\x"})", NONE},
                    RecordCase{"RawTabInSkippedMember", "{\"other\":\"a\tb\"}", NONE},
                    RecordCase{"RawTabInCwd", "{\"cwd\":\"a\tb\"}", NONE},
                    RecordCase{"Raw7FInCwd", "{\"cwd\":\"a\x7F\"}",
                               [](RecordFields& f) { f.cwd = "a\x7F"; }},
                    RecordCase{"ZeroEscapeInCwd", R"({"cwd":"a\u0000b"})",
                               [](RecordFields& f) { f.cwd = "a\0b"s; }}),
    caseName);

// The record is level 0; each place a value is skipped has its own depth.
INSTANTIATE_TEST_SUITE_P(
    Nesting, RecordTable,
    testing::Values(
        RecordCase{"TopMemberAtLimit", "{\"x\":" + nestedArrays(256) + "}", FRESH},
        RecordCase{"TopMemberOverLimit", "{\"x\":" + nestedArrays(257) + "}", NONE},
        RecordCase{"NonStringCwdOverLimit", "{\"cwd\":" + nestedArrays(257) + "}", NONE},
        RecordCase{"PayloadMemberAtLimit", "{\"systemPayload\":{\"x\":" + nestedArrays(255) + "}}",
                   FRESH},
        RecordCase{"PayloadMemberOverLimit",
                   "{\"systemPayload\":{\"x\":" + nestedArrays(256) + "}}", NONE},
        RecordCase{"NonObjectPayloadAtLimit", "{\"systemPayload\":" + nestedArrays(256) + "}",
                   FRESH},
        RecordCase{"MessageMemberAtLimit", "{\"message\":{\"x\":" + nestedArrays(255) + "}}",
                   FRESH},
        RecordCase{"MessageMemberOverLimit", "{\"message\":{\"x\":" + nestedArrays(256) + "}}",
                   NONE},
        RecordCase{"NonArrayPartsAtLimit",
                   "{\"message\":{\"parts\":{\"a\":" + nestedArrays(254) + "}}}", FRESH},
        RecordCase{"NonArrayPartsOverLimit",
                   "{\"message\":{\"parts\":{\"a\":" + nestedArrays(255) + "}}}", NONE},
        RecordCase{"PartElementAtLimit", "{\"message\":{\"parts\":[" + nestedArrays(254) + "]}}",
                   FRESH},
        RecordCase{"PartElementOverLimit", "{\"message\":{\"parts\":[" + nestedArrays(255) + "]}}",
                   NONE},
        RecordCase{"DecidedElementOverLimit",
                   "{\"message\":{\"parts\":[{\"text\":\"A\"}," + nestedArrays(255) + "]}}", NONE},
        RecordCase{"PartMemberAtLimit",
                   "{\"message\":{\"parts\":[{\"y\":" + nestedArrays(253) + ",\"text\":\"A\"}]}}",
                   [](RecordFields& f) { f.messageText = "A"; }},
        RecordCase{"PartMemberOverLimit",
                   "{\"message\":{\"parts\":[{\"y\":" + nestedArrays(254) + "}]}}", NONE},
        RecordCase{"NonStringTextAtLimit",
                   "{\"message\":{\"parts\":[{\"text\":" + nestedArrays(253) + "}]}}",
                   [](RecordFields& f) { f.partTextNonString = true; }},
        RecordCase{"NonStringTextOverLimit",
                   "{\"message\":{\"parts\":[{\"text\":" + nestedArrays(254) + "}]}}", NONE}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    Whitespace, RecordTable,
    testing::Values(RecordCase{"AllFourBetweenTokens",
                               "{ \t\n\r\"message\" \t\n\r: \t\n\r{ \"parts\" : [ \t{ \"text\" "
                               "\r:\n\"A\" } , 1 ] } , \"cwd\"\t:\t\"c\"\n}",
                               [](RecordFields& f) {
                                   f.messageText = "A";
                                   f.cwd = "c";
                               }},
                    RecordCase{"FormFeedBeforeValue", "{\"cwd\":\f\"c\"}", NONE},
                    RecordCase{"VerticalTabBeforeColon", "{\"cwd\"\v:\"c\"}", NONE}),
    caseName);

// A caller that keeps its record from line to line allocates nothing once the record
// has held strings as long as the ones that come, also when members come and go.
TEST(ExtractRecordFieldsInto, ReusesTheRecordsBuffers) {
    const std::string prose(400, 'w');
    const std::vector<std::string> lines = {
        R"({"sessionId":"0123456789abcdef0123","cwd":"/home/someone/a/long/project","timestamp":"2024-05-01T10:00:00.000Z","type":"user","message":{"parts":[{"text":")" +
            prose + R"(\n\u00e9"}]}})",
        R"({"type":"system","subtype":"session_source_with_a_long_name","systemPayload":{"sourceType":"a-long-source-type","sourceId":"a-long-source-identifier"}})",
        R"({"type":"assistant","gitBranch":"feature/a-long-branch-name","message":{"parts":[{"text":"short"}]},"x":{"sessionId":"nested"}})",
        R"({"sessionId":"01234567","systemPayload":{"displayText":")" + prose +
            R"(","engine":"managed-engine-name"},"subtype":null})",
    };
    RecordFields fields;
    for (const std::string& line : lines)
        ASSERT_TRUE(extractRecordFieldsInto(line, fields)) << line;
    std::size_t allocations = 0;
    for (int round = 0; round < 3; ++round) {
        for (const std::string& line : lines) {
            const std::size_t before = allocationCount;
            ASSERT_TRUE(extractRecordFieldsInto(line, fields));
            allocations += allocationCount - before;
            EXPECT_EQ(fields, *extractRecordFields(line)) << line;
        }
    }
    EXPECT_EQ(allocations, 0u);
}

TEST(RecordString, ComparedByValueWhateverItKeeps) {
    RecordString kept = std::string(100, 'k');
    kept.makeAbsent();
    EXPECT_EQ(kept, RecordString());
    EXPECT_EQ(kept, OptionalString());
    EXPECT_FALSE(kept == "");
    kept.makePresent() = "x";
    EXPECT_EQ(kept, "x");
    EXPECT_EQ(kept, OptionalString("x"));
    EXPECT_NE(kept, RecordString());
    EXPECT_NE(kept, std::string_view("y"));
    EXPECT_EQ(kept.makePresent(), "") << "present again, and empty";
    EXPECT_GE(kept->capacity(), 100u) << "on the buffer it had";
}

// Worker threads extract their own lines at the same time; the reader keeps no
// state of its own (the ThreadSanitizer run checks this).
TEST(RecordFieldsThreads, ConcurrentExtractionAgrees) {
    const std::string line =
        R"({"sessionId":"s","c\u0077d":"/w","message":{"parts":[{"text":"caf\u00e9 \ud83d\ude00"}]},)"
        R"("systemPayload":{"displayText":"d"},"x":[1,{"y":null}]})";
    const auto expected = extractRecordFields(line);
    ASSERT_TRUE(expected);
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (extractRecordFields(line) != expected) ++mismatches[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace orva

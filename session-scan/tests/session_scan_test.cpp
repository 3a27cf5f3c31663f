// scanSessionFile over real files: statuses in the order they are checked, the
// selection of every field, the head, title and tail windows at their boundaries
// with the reads they cost, the change check and the sidecar lookup; and the
// backward source search of the tail.
#include "session_scan.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "file_test_support.h"
#include "json_writer.h"
#include "session_scan_hooks.h"
#include "worker_pool.h"

namespace orva {
namespace {

using testing::chatFileName;
using testing::TempDir;

constexpr std::string_view SESSION = "0b5e2c7a-1d3f-4a6b-8c9d-0e1f2a3b4c5d";
const std::string CHAT_NAME = std::string(SESSION) + ".jsonl";

// ---- Records as the host writes them ----

std::string firstRecord(std::string_view extra = R"(,"gitBranch":"main")") {
    return R"({"type":"user","sessionId":")" + std::string(SESSION) +
           R"(","cwd":"/home/dev/app","timestamp":"2024-05-01T10:00:00.000Z")" +
           std::string(extra) +
           R"(,"message":{"role":"user","parts":[{"text":"Fix the login test"}]}})";
}

std::string sourceRecord(std::string_view type,
                         std::string_view idMember = R"(,"sourceId":"src-1")") {
    return R"({"type":"system","subtype":"session_source","systemPayload":{"sourceType":")" +
           std::string(type) + "\"" + std::string(idMember) +
           R"(},"timestamp":"2024-05-01T10:00:01.000Z"})";
}

std::string parentRecord(std::string_view parent) {
    return R"({"type":"system","subtype":"parent_session","systemPayload":{"parentSessionId":")" +
           std::string(parent) + R"("}})";
}

std::string titleRecord(std::string_view title, std::string_view source = "manual") {
    return R"({"type":"system","subtype":"custom_title","customTitle":")" + std::string(title) +
           R"(","titleSource":")" + std::string(source) + R"("})";
}

std::string assistantRecord(std::size_t textBytes = 40) {
    return R"({"type":"assistant","message":{"role":"assistant","parts":[{"text":")" +
           std::string(textBytes, 'w') + R"("}]}})";
}

std::string lines(std::initializer_list<std::string> records) {
    std::string out;
    for (const std::string& record : records) out += record + "\n";
    return out;
}

// Appends blank lines (spaces, which are no records) or assistant records until the
// content is `size` bytes less the bytes of `last`, then `last`.
enum class Fill { Blank, Records };

std::string sizedTo(std::string content, std::size_t size, const std::string& last = "",
                    Fill fill = Fill::Blank) {
    const std::size_t target = size - last.size();
    const std::size_t recordOverhead = assistantRecord(0).size() + 1;
    while (content.size() < target) {
        const std::size_t room = target - content.size();
        if (fill == Fill::Records && room >= recordOverhead + 1) {
            content += assistantRecord(std::min<std::size_t>(room - recordOverhead, 3000)) + "\n";
        } else {
            content += std::string(std::min<std::size_t>(room - 1, 3000), ' ') + "\n";
        }
    }
    EXPECT_EQ(content.size(), target) << "content does not fit";
    return content + last;
}

// Ten head records, none of them a source record.
std::string tenRecords() {
    std::string out = firstRecord() + "\n";
    for (int i = 0; i < 9; ++i) out += assistantRecord() + "\n";
    return out;
}

// ---- Running one scan ----

using Fields = std::map<std::string, std::string>;

Fields presentFields(const CatalogEntry& entry) {
    Fields fields;
    const std::pair<const char*, const OptionalString*> all[] = {
        {"sessionId", &entry.sessionId},
        {"cwd", &entry.cwd},
        {"startTime", &entry.startTime},
        {"gitBranch", &entry.gitBranch},
        {"promptText", &entry.promptText},
        {"parentSessionId", &entry.parentSessionId},
        {"sourceType", &entry.sourceType},
        {"sourceId", &entry.sourceId},
        {"customTitle", &entry.customTitle},
        {"titleSource", &entry.titleSource},
        {"sidecarName", &entry.sidecarDisplayName},
        {"sidecarSource", &entry.sidecarSource},
    };
    for (const auto& [key, value] : all) {
        if (*value) fields[key] = **value;
    }
    return fields;
}

// The fields of a scan of firstRecord() alone.
Fields baseFields(Fields more = {}) {
    Fields fields = {{"sessionId", std::string(SESSION)},
                     {"cwd", "/home/dev/app"},
                     {"startTime", "2024-05-01T10:00:00.000Z"},
                     {"gitBranch", "main"},
                     {"promptText", "Fix the login test"}};
    for (auto& [key, value] : more) fields[key] = value;
    return fields;
}

Fields without(Fields fields, std::initializer_list<const char*> keys) {
    for (const char* key : keys) fields.erase(key);
    return fields;
}

using Reads = std::vector<std::pair<std::int64_t, std::size_t>>;
Reads* recordedReads = nullptr;

struct ScanRun {
    CatalogEntry entry;
    Reads reads;
};

ScanRun scan(const TempDir& dir, const SidecarNameSet& sidecars = {},
             std::vector<char>* reuse = nullptr) {
    std::vector<char> own;
    std::vector<char>& buffer = reuse != nullptr ? *reuse : own;
    ScanRun run;
    recordedReads = &run.reads;
    hooks::onChatRead = [](std::int64_t offset, std::size_t size) {
        recordedReads->emplace_back(offset, size);
    };
    run.entry = scanSessionFile(dir.path(), ChatFile{CHAT_NAME, 1714557600000.5}, sidecars, buffer);
    hooks::onChatRead = nullptr;
    recordedReads = nullptr;
    return run;
}

struct ScanCase {
    const char* what;
    std::string content;
    EntryStatus status;
    Fields fields;  // the present session fields, for "ok"
    Reads reads;    // checked when not empty
};

void runCases(const std::vector<ScanCase>& cases) {
    for (const ScanCase& c : cases) {
        TempDir dir;
        dir.write(CHAT_NAME, c.content);
        const ScanRun run = scan(dir);
        EXPECT_EQ(run.entry.name, CHAT_NAME) << c.what;
        EXPECT_EQ(run.entry.mtimeMs, 1714557600000.5) << c.what;
        EXPECT_EQ(statusText(run.entry.status), statusText(c.status)) << c.what;
        EXPECT_EQ(presentFields(run.entry), c.status == EntryStatus::Ok ? c.fields : Fields{})
            << c.what;
        if (!c.reads.empty()) {
            EXPECT_EQ(run.reads, c.reads) << c.what;
        }
    }
}

// ---- Statuses ----

TEST(ScanSessionFile, Statuses) {
    const std::string blank = " \t\f\r\n\r\n   \n";
    runCases({
        {"empty file", "", EntryStatus::Skip, {}, {}},
        {"small file of blank lines", blank, EntryStatus::Skip, {}, {}},
        {"blank lines padded past 65536", sizedTo(blank, 70000), EntryStatus::Fallback, {}, {}},
        {"first line longer than the record window",
         sizedTo("", 70000, "{\"x\":\"" + std::string(69990, 'a') + "\"}\n"),
         EntryStatus::Fallback,
         {},
         {}},
        {"malformed line among the first ten",
         lines({firstRecord(), "{not json", assistantRecord()}),
         EntryStatus::Fallback,
         {},
         {}},
        {"malformed line after ten records is not parsed",
         tenRecords() + "{not json\n",
         EntryStatus::Ok,
         baseFields(),
         {}},
        {"half-written last line of a small file",
         lines({firstRecord()}) + R"({"type":"assistant","mess)",
         EntryStatus::Fallback,
         {},
         {}},
        {"managed-session header",
         lines(
             {R"({"subtype":"managed_session_header_v1","sessionId":"s","cwd":"/","timestamp":"t"})"}),
         EntryStatus::Fallback,
         {},
         {}},
        {"managed execution engine",
         lines(
             {R"({"type":"system","subtype":"session_execution_engine","systemPayload":{"engine":"managed"},"sessionId":"s","cwd":"/","timestamp":"t"})"}),
         EntryStatus::Fallback,
         {},
         {}},
        {"local execution engine",
         lines(
             {R"({"type":"system","subtype":"session_execution_engine","systemPayload":{"engine":"local"},"sessionId":"s","cwd":"/","timestamp":"t"})"}),
         EntryStatus::Ok,
         {{"sessionId", "s"}, {"cwd", "/"}, {"startTime", "t"}},
         {}},
        {"managed marker after the first record counts for nothing",
         lines({firstRecord(), R"({"subtype":"managed_session_header_v1"})"}),
         EntryStatus::Ok,
         baseFields(),
         {}},
        {"first record without timestamp, a later one has it",
         lines({R"({"type":"user","sessionId":"s","cwd":"/"})", firstRecord()}),
         EntryStatus::Fallback,
         {},
         {}},
        {"first record with a null cwd",
         lines({R"({"sessionId":"s","cwd":null,"timestamp":"t"})"}),
         EntryStatus::Fallback,
         {},
         {}},
        {"first record with a null gitBranch",
         lines({firstRecord(R"(,"gitBranch":null)")}),
         EntryStatus::Fallback,
         {},
         {}},
        {"first record with an object gitBranch",
         lines({firstRecord(R"(,"gitBranch":{"name":"main"})")}),
         EntryStatus::Fallback,
         {},
         {}},
        {"first record without gitBranch",
         lines({firstRecord("")}),
         EntryStatus::Ok,
         without(baseFields(), {"gitBranch"}),
         {}},
        {"empty strings kept",
         lines({R"({"sessionId":"","cwd":"","timestamp":"","gitBranch":""})"}),
         EntryStatus::Ok,
         {{"sessionId", ""}, {"cwd", ""}, {"startTime", ""}, {"gitBranch", ""}},
         {}},
        {"deciding prompt part is not a string",
         lines({R"({"type":"system","sessionId":"s","cwd":"/","timestamp":"t"})",
                R"({"type":"user","message":{"parts":[{"text":["x"]}]}})", firstRecord()}),
         EntryStatus::Fallback,
         {},
         {}},
        {"thin head: large, under ten records, no source",
         sizedTo(lines({firstRecord()}), 70000),
         EntryStatus::Fallback,
         {},
         {}},
        {"thin head: large, under ten records, no prompt",
         sizedTo(lines({R"({"type":"system","sessionId":"s","cwd":"/","timestamp":"t"})",
                        sourceRecord("cli")}),
                 70000),
         EntryStatus::Fallback,
         {},
         {}},
        {"large, under ten records, prompt and source",
         sizedTo(lines({firstRecord(), sourceRecord("cli")}), 70000),
         EntryStatus::Ok,
         baseFields({{"sourceType", "cli"}, {"sourceId", "src-1"}}),
         {}},
        {"large, ten records, source from nowhere",
         sizedTo(tenRecords(), 70000),
         EntryStatus::Ok,
         baseFields(),
         {}},
        {"unreadable title in the tail",
         lines({firstRecord(), R"({"subtype":"custom_title","customTitle":"bad\q"})"}),
         EntryStatus::Fallback,
         {},
         {}},
        {"unreadable title in the head window of a file over 131072",
         sizedTo(tenRecords() + R"({"subtype":"custom_title","customTitle":"bad\q"})"
                                "\n",
                 140000, titleRecord("Good") + "\n"),
         EntryStatus::Fallback,
         {},
         {{0, 65536}}},
    });
}

TEST(ScanSessionFile, EntriesThatAreNoFiles) {
    TempDir dir;
    EXPECT_EQ(scan(dir).entry.status, EntryStatus::Skip);  // vanished after the listing
    ASSERT_EQ(::mkdir((dir / CHAT_NAME).c_str(), 0755), 0);
    EXPECT_EQ(scan(dir).entry.status, EntryStatus::Skip);
    ASSERT_EQ(::rmdir((dir / CHAT_NAME).c_str()), 0);
    const std::string target = dir.write("real.jsonl", lines({firstRecord()}));
    ASSERT_EQ(::symlink(target.c_str(), (dir / CHAT_NAME).c_str()), 0);
    EXPECT_EQ(scan(dir).entry.status, EntryStatus::Skip);
}

// ---- Field selection ----

TEST(ScanSessionFile, FieldSelection) {
    runCases({
        {"everything from a small file",
         lines({firstRecord(), parentRecord("parent-1"), sourceRecord("cli"), assistantRecord(),
                titleRecord("Login fix", "manual")}),
         EntryStatus::Ok,
         baseFields({{"parentSessionId", "parent-1"},
                     {"sourceType", "cli"},
                     {"sourceId", "src-1"},
                     {"customTitle", "Login fix"},
                     {"titleSource", "manual"}}),
         {}},
        {"first parent empty: reported null",
         lines({firstRecord(), parentRecord(""), parentRecord("parent-2")}),
         EntryStatus::Ok,
         baseFields(),
         {}},
        {"first head source wins",
         lines({firstRecord(), sourceRecord("cli"), sourceRecord("web", R"(,"sourceId":"x")")}),
         EntryStatus::Ok,
         baseFields({{"sourceType", "cli"}, {"sourceId", "src-1"}}),
         {}},
        {"empty head sourceType with an id, nothing in the tail",
         lines({firstRecord(), sourceRecord("")}),
         EntryStatus::Ok,
         baseFields({{"sourceId", "src-1"}}),
         {}},
        {"empty head sourceType; tail source without id keeps the head's id",
         lines({firstRecord(), sourceRecord(""), assistantRecord(), sourceRecord("web", "")}),
         EntryStatus::Ok,
         baseFields({{"sourceType", "web"}, {"sourceId", "src-1"}}),
         {}},
        {"small, ten head records: the source of the tail",
         tenRecords() + lines({sourceRecord("web", R"(,"sourceId":"late")")}),
         EntryStatus::Ok,
         baseFields({{"sourceType", "web"}, {"sourceId", "late"}}),
         {}},
        {"large, ten head records: the last source of the tail",
         sizedTo(
             tenRecords(), 200000,
             lines(
                 {sourceRecord("cli", R"(,"sourceId":"early")"), assistantRecord(),
                  sourceRecord("web", R"(,"sourceId":"late")"), assistantRecord(),
                  R"({"type":"system","subtype":"session_source","systemPayload":{"sourceType":"broken"})"}),
             Fill::Records),
         EntryStatus::Ok,
         baseFields({{"sourceType", "web"}, {"sourceId", "late"}}),
         {}},
        {"two titles: the later one",
         lines({firstRecord(), titleRecord("First"), titleRecord("Second", "auto")}),
         EntryStatus::Ok,
         baseFields({{"customTitle", "Second"}, {"titleSource", "auto"}}),
         {}},
        {"latest title empty: no title at all",
         lines({firstRecord(), titleRecord("First"), titleRecord("")}),
         EntryStatus::Ok,
         baseFields(),
         {}},
        {"title source prompt is reported null",
         lines({firstRecord(), titleRecord("T", "prompt")}),
         EntryStatus::Ok,
         baseFields({{"customTitle", "T"}}),
         {}},
        {"title source Manual is reported null",
         lines({firstRecord(), titleRecord("T", "Manual")}),
         EntryStatus::Ok,
         baseFields({{"customTitle", "T"}}),
         {}},
        {"large: tail title over head title",
         sizedTo(tenRecords() + titleRecord("Head") + "\n", 200000, titleRecord("Tail") + "\n",
                 Fill::Records),
         EntryStatus::Ok,
         baseFields({{"customTitle", "Tail"}, {"titleSource", "manual"}}),
         {}},
        {"large: head title when the tail has none",
         sizedTo(tenRecords() + titleRecord("Head") + "\n", 200000, "", Fill::Records),
         EntryStatus::Ok,
         baseFields({{"customTitle", "Head"}, {"titleSource", "manual"}}),
         {}},
        {"read whole over 65536: head title when the tail has none",
         sizedTo(tenRecords() + titleRecord("Head") + "\n", 100000, "", Fill::Records),
         EntryStatus::Ok,
         baseFields({{"customTitle", "Head"}, {"titleSource", "manual"}}),
         {}},
        {"read whole over 65536: unreadable head title when the tail has none",
         sizedTo(tenRecords() + R"({"subtype":"custom_title","customTitle":"bad\q"})" + "\n",
                 100000, "", Fill::Records),
         EntryStatus::Fallback,
         {},
         {}},
        {"read whole over 65536: a tail title spares the head's unreadable one",
         sizedTo(tenRecords() + R"({"subtype":"custom_title","customTitle":"bad\q"})" + "\n",
                 100000, titleRecord("Tail") + "\n", Fill::Records),
         EntryStatus::Ok,
         baseFields({{"customTitle", "Tail"}, {"titleSource", "manual"}}),
         {}},
        {"large: empty tail title does not fall back to the head",
         sizedTo(tenRecords() + titleRecord("Head") + "\n", 200000, titleRecord("") + "\n",
                 Fill::Records),
         EntryStatus::Ok,
         baseFields(),
         {}},
        {"head records ended by carriage returns alone",
         firstRecord() + "\r" + sourceRecord("cli") + "\r",
         EntryStatus::Ok,
         baseFields({{"sourceType", "cli"}, {"sourceId", "src-1"}}),
         {}},
        {"CR LF lines in head and tail",
         sizedTo(firstRecord() + "\r\n" + sourceRecord("") + "\r\n", 200000,
                 sourceRecord("web") + "\r\n" + titleRecord("Crlf") + "\r\n", Fill::Records),
         EntryStatus::Ok,
         baseFields({{"sourceType", "web"},
                     {"sourceId", "src-1"},
                     {"customTitle", "Crlf"},
                     {"titleSource", "manual"}}),
         {}},
    });
}

// ---- Windows and reads ----

TEST(ScanSessionFile, WindowBoundaries) {
    const std::string headWithSource = lines({firstRecord(), sourceRecord("cli")});
    const Fields sourced = baseFields({{"sourceType", "cli"}, {"sourceId", "src-1"}});
    Fields sourcedEdge = sourced;
    sourcedEdge["customTitle"] = "Edge";
    // A line with a readable title that is not a whole record: "fallback" wherever
    // it is taken for a head record.
    const std::string brokenTitleLine =
        R"({"type":"system","subtype":"custom_title","customTitle":"Edge",)";
    // For 131073 bytes the tail read starts at 65536: the line from byte 65537 is whole
    // when byte 65536 is a line feed, and the end of a longer line when it is not.
    const std::string lateSource = sourceRecord("late", "");
    const std::string upTo65536 = sizedTo(tenRecords(), 65536, "", Fill::Records);
    // Read whole at 100000 bytes, the tail window starts at byte 34464: only a line feed
    // at byte 34463 makes the line from there whole; a carriage return does not.
    const auto lateSourceAtMidTail = [&](const char* before) {
        return sizedTo(sizedTo(tenRecords(), 100000 - SCAN_WINDOW - 1, "", Fill::Records) + before +
                           lateSource + "\n",
                       100000, "", Fill::Records);
    };
    // Over 131072, a head title line ended by a carriage return alone, followed by a
    // line that runs past byte 65536, is in the record window but not the title window.
    const auto headTitleEndedBy = [](const char* end) {
        std::string content =
            sizedTo(tenRecords(), 65000, titleRecord("Head") + end, Fill::Records);
        return sizedTo(content + std::string(2000, ' ') + "\n", 200000, "", Fill::Records);
    };
    runCases({
        {"65536: read whole, unterminated last line parsed, no thin head",
         sizedTo(lines({firstRecord()}), 65536, titleRecord("End")),
         EntryStatus::Ok,
         baseFields({{"customTitle", "End"}, {"titleSource", "manual"}}),
         {{0, 65536}}},
        {"65536: broken unterminated last line is a record",
         sizedTo(lines({firstRecord()}), 65536, brokenTitleLine),
         EntryStatus::Fallback,
         {},
         {{0, 65536}}},
        {"65537: record window ends at the last line end, tail is bytes 1 to 65536",
         sizedTo(headWithSource, 65537, brokenTitleLine + "\n"),
         EntryStatus::Ok,
         sourcedEdge,
         {{0, 65537}}},
        {"131072: read whole",
         sizedTo(headWithSource, 131072, brokenTitleLine + "\n"),
         EntryStatus::Ok,
         sourcedEdge,
         {{0, 131072}}},
        {"100000: tail window starting on a line",
         lateSourceAtMidTail("\n"),
         EntryStatus::Ok,
         baseFields({{"sourceType", "late"}}),
         {{0, 100000}}},
        {"100000: tail window starting mid-line",
         lateSourceAtMidTail("x"),
         EntryStatus::Ok,
         baseFields(),
         {{0, 100000}}},
        {"100000: tail window starting after a carriage return",
         lateSourceAtMidTail("\r"),
         EntryStatus::Ok,
         baseFields(),
         {{0, 100000}}},
        {"131073: two reads, tail window starting on a line",
         sizedTo(upTo65536 + "\n" + lateSource + "\n", 131073, "", Fill::Records),
         EntryStatus::Ok,
         baseFields({{"sourceType", "late"}}),
         {{0, 65536}, {65536, 65537}}},
        {"131073: two reads, tail window starting mid-line",
         sizedTo(upTo65536 + "x" + lateSource + "\n", 131073, "", Fill::Records),
         EntryStatus::Ok,
         baseFields(),
         {{0, 65536}, {65536, 65537}}},
        {"over 65536: a record ended by a carriage return alone closes the record window",
         sizedTo(sizedTo(lines({firstRecord()}), 65000, sourceRecord("cli") + "\r") +
                     std::string(2000, ' ') + "\n",
                 70000),
         EntryStatus::Ok,
         sourced,
         {{0, 70000}}},
        {"over 131072: head title ended by a line feed",
         headTitleEndedBy("\n"),
         EntryStatus::Ok,
         baseFields({{"customTitle", "Head"}, {"titleSource", "manual"}}),
         {{0, 65536}, {200000 - 65537, 65537}}},
        {"over 131072: head title ended by a carriage return only",
         headTitleEndedBy("\r"),
         EntryStatus::Ok,
         baseFields(),
         {{0, 65536}, {200000 - 65537, 65537}}},
    });
}

TEST(ScanSessionFile, BufferIsReusedAcrossFilesOfEverySize) {
    // One buffer through files of every read shape: each result is the same as with
    // a fresh buffer, whatever the previous file left in it.
    const std::vector<std::string> contents = {
        sizedTo(tenRecords(), 200000, titleRecord("Big") + "\n", Fill::Records),
        lines({firstRecord(), titleRecord("Small")}),
        sizedTo(tenRecords(), 100000, titleRecord("Mid") + "\n", Fill::Records),
        lines({firstRecord("")}),
    };
    std::vector<char> buffer;
    buffer.reserve(131072);
    const char* const bufferStart = buffer.data();
    for (const std::string& content : contents) {
        TempDir dir;
        dir.write(CHAT_NAME, content);
        EXPECT_EQ(presentFields(scan(dir, {}, &buffer).entry), presentFields(scan(dir).entry));
        EXPECT_EQ(buffer.data(), bufferStart);
    }
}

// ---- The change check ----

TEST(ScanSessionFile, FileChangedWhileReadIsFallback) {
    struct Change {
        const char* what;
        void (*apply)(const std::string& path);
    };
    const Change changes[] = {
        {"grows", [](const std::string& path) { std::ofstream(path, std::ios::app) << "{}\n"; }},
        {"is touched",
         [](const std::string& path) {
             const timespec times[2] = {{0, UTIME_OMIT}, {1000, 5}};
             ::utimensat(AT_FDCWD, path.c_str(), times, 0);
         }},
        {"changes mode", [](const std::string& path) { ::chmod(path.c_str(), 0600); }},
    };
    for (const std::size_t size : {std::size_t{3000}, std::size_t{100000}, std::size_t{200000}}) {
        for (const Change& change : changes) {
            TempDir dir;
            dir.write(CHAT_NAME, sizedTo(tenRecords(), size, "", Fill::Records));
            hooks::beforeChangeCheck = change.apply;
            const ScanRun run = scan(dir);
            hooks::beforeChangeCheck = nullptr;
            EXPECT_EQ(run.entry.status, EntryStatus::Fallback) << change.what << " " << size;
            EXPECT_EQ(scan(dir).entry.status, EntryStatus::Ok) << change.what << " " << size;
        }
    }
}

// ---- The sidecar ----

const std::string SIDECAR = R"({"version":1,"displayName":"  Sidecar title  ","source":"auto"})";

struct SidecarCase {
    const char* what;
    std::string sessionId;
    bool prompt;       // the first record is a user prompt
    std::string chat;  // beyond the first record
    bool inSet;        // the sidecar name is in the listing's set
    bool expectRead;
};

TEST(ScanSessionFile, SidecarLookup) {
    const std::vector<SidecarCase> cases = {
        {"no custom title", std::string(SESSION), true, "", true, true},
        {"title and prompt: never read", std::string(SESSION), true, titleRecord("T") + "\n", true,
         false},
        {"title without prompt: read", std::string(SESSION), false, titleRecord("T") + "\n", true,
         true},
        {"neither: read", std::string(SESSION), false, "", true, true},
        {"name not in the set", std::string(SESSION), true, "", false, false},
        {"session id with ..", "x..y", true, "", true, false},
        {"session id with a backslash", "x\\\\y", true, "", true, false},
        {"session id with a slash", "sub/x", true, "", true, false},
    };
    for (const SidecarCase& c : cases) {
        TempDir dir;
        ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
        std::string first = R"({"type":")" + std::string(c.prompt ? "user" : "system") +
                            R"(","sessionId":")" + c.sessionId +
                            R"(","cwd":"/w","timestamp":"t","message":{"parts":[{"text":"p"}]}})";
        dir.write(CHAT_NAME, first + "\n" + c.chat);
        std::string decodedId = c.sessionId;
        if (decodedId == "x\\\\y") decodedId = "x\\y";
        const std::string sidecarName = decodedId + ".title.json";
        dir.write(sidecarName, SIDECAR);
        SidecarNameSet names;
        if (c.inSet) names.insert(sidecarName);
        const CatalogEntry entry = scan(dir, names).entry;
        ASSERT_EQ(entry.status, EntryStatus::Ok) << c.what;
        EXPECT_EQ(entry.sidecarDisplayName.has_value(), c.expectRead) << c.what;
        EXPECT_EQ(entry.sidecarSource.has_value(), c.expectRead) << c.what;
        if (c.expectRead) {
            EXPECT_EQ(entry.sidecarDisplayName, "Sidecar title") << c.what;
            EXPECT_EQ(entry.sidecarSource, "auto") << c.what;
        }
    }
}

TEST(ScanSessionFile, UnusableSidecarLeavesTheEntryOk) {
    TempDir dir;
    dir.write(CHAT_NAME, lines({firstRecord()}));
    const std::string name = std::string(SESSION) + ".title.json";
    dir.write(name, R"({"version":2,"displayName":"T","source":"auto"})");
    const CatalogEntry entry = scan(dir, {name}).entry;
    EXPECT_EQ(entry.status, EntryStatus::Ok);
    EXPECT_EQ(presentFields(entry), baseFields());
}

TEST(ScanSessionFile, ClosesEveryDescriptor) {
    TempDir dir;
    const auto before = testing::openDescriptors();
    for (const std::string& content :
         {std::string(), lines({"{bad"}), sizedTo(tenRecords(), 200000, "", Fill::Records),
          lines({firstRecord("")})}) {
        dir.write(CHAT_NAME, content);
        dir.write(std::string(SESSION) + ".title.json", SIDECAR);
        scan(dir, {std::string(SESSION) + ".title.json"});
    }
    EXPECT_EQ(testing::openDescriptors(), before);
}

// ---- The pool's read-ahead ----

// The catalog document of stored entries, as the program writes it.
std::string writtenDocument(const CatalogListing& listing, std::span<const StoredChunk> chunks) {
    const int fd = ::memfd_create("catalog", MFD_CLOEXEC);
    EXPECT_GE(fd, 0);
    {
        JsonWriter writer(fd, CATALOG_OUTPUT_BUFFER);
        EXPECT_FALSE(writeCatalogDocument(writer, listing.files, chunks, listing.truncated).failed);
    }
    std::string document(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    EXPECT_EQ(::pread(fd, document.data(), document.size(), 0),
              static_cast<ssize_t>(document.size()));
    ::close(fd);
    return document;
}

// The catalog document of dir as the program writes it, with the given threads and
// read-ahead depth.
std::string catalogDocument(const std::string& dir, unsigned threads, std::size_t readAhead) {
    const CatalogListing listing = listCatalogFiles(dir, std::nullopt, false, 100000);
    EXPECT_EQ(listing.result, ListingResult::Listed);
    auto pool = runWorkers(std::span<const ChatFile>(listing.files), threads, readAhead,
                           CatalogWorker{dir, listing.sidecarNames});
    EXPECT_EQ(pool.spawnError, 0);
    EXPECT_TRUE(pool.faults.empty());
    std::vector<StoredChunk> chunks;
    for (const auto& chunk : pool.chunks) chunks.push_back({chunk.firstFile, &chunk.results});
    return writtenDocument(listing, chunks);
}

// A directory of every status and read shape, each kind a few times over, with
// sidecars and modification times that interleave the kinds in the listing.
void writeEveryKind(const TempDir& dir) {
    constexpr std::size_t KINDS = 14;
    for (std::size_t n = 0; n < 6 * KINDS; ++n) {
        const std::string name = chatFileName(n);
        const std::string stem = name.substr(0, name.size() - 6);
        const std::string path = dir / name;
        const std::string first =
            R"({"type":"user","sessionId":")" + stem +
            R"(","cwd":"/w","timestamp":"t","message":{"parts":[{"text":"p"}]}})";
        switch (n % KINDS) {
            case 0:
                dir.write(name, lines({first, titleRecord("T" + std::to_string(n))}));
                break;
            case 1:
                dir.write(name, lines({first}));
                dir.write(stem + ".title.json", SIDECAR);
                break;
            case 2:
                dir.write(name,
                          sizedTo(tenRecords(), 100000, sourceRecord("mid") + "\n", Fill::Records));
                break;
            case 3:
                dir.write(name, sizedTo(tenRecords(), 400000, sourceRecord("tail") + "\n",
                                        Fill::Records));
                break;
            case 4:
                dir.write(name, "");
                break;
            case 5:
                dir.write(name, "  \n\r\n");
                break;
            case 6:
                ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
                break;
            case 7:
                ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
                break;
            case 8:
                ASSERT_EQ(::symlink((dir / chatFileName(0)).c_str(), path.c_str()), 0);
                break;
            case 9:
                dir.write(name, "{bad\n");
                break;
            case 10:
                dir.write(name, lines({R"({"sessionId":"s","cwd":"/w"})"}));
                break;
            case 11:
                dir.write(name, std::string(70000, 'x') + "\n" + first + "\n");
                break;
            case 12:
                dir.write(name, sizedTo(tenRecords(), 131073, "", Fill::Records));
                break;
            case 13:
                dir.write(name, lines({R"({"subtype":"managed_session_header_v1"})", first}));
                break;
        }
        if (n % KINDS != 8) {
            const timespec times[2] = {{0, UTIME_OMIT},
                                       {1700000000 + static_cast<time_t>(n % 5), 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
        }
    }
}

// Read-ahead changes when files are opened, never what is read from them: the
// document is the same at depth 1 (one file at a time), the default depth and a
// depth beyond every chunk, whatever the thread count; no descriptor is left open.
TEST(CatalogWorker, SameDocumentAtEveryReadAheadDepth) {
    TempDir generated;
    writeEveryKind(generated);
    for (const std::string& dir : {std::string(ORVA_EXAMPLE_CHATS), generated.path()}) {
        SCOPED_TRACE(dir);
        const auto before = testing::openDescriptors();
        const std::string reference = catalogDocument(dir, 1, 1);
        for (const std::string status : {"ok", "skip", "fallback"}) {
            EXPECT_NE(reference.find("\"status\":\"" + status + "\""), std::string::npos) << status;
        }
        for (const unsigned threads : {1U, 3U}) {
            for (const std::size_t depth :
                 {std::size_t{1}, DEFAULT_READ_AHEAD, std::size_t{1000}}) {
                EXPECT_EQ(catalogDocument(dir, threads, depth), reference)
                    << threads << " threads, depth " << depth;
            }
        }
        EXPECT_EQ(testing::openDescriptors(), before);
    }
}

// With no descriptor to spare, every early open fails with EMFILE: each file is
// opened again at its turn and gets the entry it gets without read-ahead.
TEST(CatalogWorker, EarlyOpensWithoutDescriptorsAreRetriedAtTheirTurn) {
    TempDir generated;
    writeEveryKind(generated);
    const std::string reference = catalogDocument(generated.path(), 1, 1);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Room for the chat file at its turn and its sidecar, and nothing ahead. New
    // descriptors take the lowest free numbers, so only those open low down count.
    std::size_t open = 0;
    for (const int fd : testing::openDescriptors()) open += fd < 64;
    const rlim_t tight = static_cast<rlim_t>(open + 2);
    std::string document;
    {
        const CatalogListing listing =
            listCatalogFiles(generated.path(), std::nullopt, false, 1000);
        const rlimit limited = {tight, saved.rlim_max};
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limited), 0);
        auto pool = runWorkers(std::span<const ChatFile>(listing.files), 1, 16,
                               CatalogWorker{generated.path(), listing.sidecarNames});
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        ASSERT_EQ(pool.chunks.size(), 1U);
        const StoredChunk chunk = {0, &pool.chunks[0].results};
        document = writtenDocument(listing, {&chunk, 1});
    }
    EXPECT_EQ(document, reference);
}

// ---- The backward source search ----

struct TailCase {
    const char* what;
    std::string window;
    bool startsMidLine;
    std::optional<std::pair<std::string, OptionalString>> expected;
};

TEST(FindTailSessionSource, Cases) {
    const std::vector<TailCase> cases = {
        {"last of two", lines({sourceRecord("a"), sourceRecord("b", R"(,"sourceId":"b-1")")}),
         false, std::pair{std::string("b"), OptionalString("b-1")}},
        {"without id", lines({sourceRecord("a", "")}), false,
         std::pair{std::string("a"), OptionalString()}},
        {"empty sourceType is a hit", lines({sourceRecord("a"), sourceRecord("", "")}), false,
         std::pair{std::string(""), OptionalString()}},
        {"malformed last line passed over",
         lines({sourceRecord("a")}) + R"({"type":"system","subtype":"session_source)", false,
         std::pair{std::string("a"), OptionalString("src-1")}},
        {"non-string sourceType passed over",
         lines(
             {sourceRecord("a"),
              R"({"type":"system","subtype":"session_source","systemPayload":{"sourceType":1}})"}),
         false, std::pair{std::string("a"), OptionalString("src-1")}},
        {"wrong type or subtype passed over",
         lines(
             {sourceRecord("a"),
              R"({"type":"user","subtype":"session_source","systemPayload":{"sourceType":"u"}})",
              R"({"type":"system","subtype":"x","note":"session_source","systemPayload":{"sourceType":"x"}})"}),
         false, std::pair{std::string("a"), OptionalString("src-1")}},
        {"first piece kept at a line start", sourceRecord("a") + "\n" + assistantRecord(), false,
         std::pair{std::string("a"), OptionalString("src-1")}},
        {"first piece dropped mid-line", sourceRecord("a") + "\n" + assistantRecord(), true,
         std::nullopt},
        {"only piece dropped mid-line", sourceRecord("a"), true, std::nullopt},
        {"final piece without a line feed", assistantRecord() + "\n" + sourceRecord("z"), true,
         std::pair{std::string("z"), OptionalString("src-1")}},
        {"carriage return is no separator", assistantRecord() + "\r" + sourceRecord("a") + "\n",
         false, std::nullopt},
        {"CR LF and blanks stripped", "\r\n \t" + sourceRecord("c") + " \r\n\r\n", false,
         std::pair{std::string("c"), OptionalString("src-1")}},
        {"no source record", lines({assistantRecord(), titleRecord("T")}), false, std::nullopt},
        {"empty window", "", false, std::nullopt},
    };
    for (const TailCase& c : cases) {
        const std::optional<TailSessionSource> found =
            findTailSessionSource(c.window, c.startsMidLine);
        ASSERT_EQ(found.has_value(), c.expected.has_value()) << c.what;
        if (found) {
            EXPECT_EQ(found->sourceType, c.expected->first) << c.what;
            EXPECT_EQ(found->sourceId, c.expected->second) << c.what;
        }
    }
}

}  // namespace
}  // namespace orva

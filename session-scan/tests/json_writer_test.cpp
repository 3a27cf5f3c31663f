// The output documents byte for byte, from plain entries and from their stored form,
// the string escaping, the number format and the writer's buffering and error rules.
#include "json_writer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace orva {
namespace {

// A memory file to write a document into and read it back.
class MemoryFile {
  public:
    MemoryFile() : fd_(::memfd_create("document", MFD_CLOEXEC)) {}
    ~MemoryFile() { ::close(fd_); }
    int fd() const { return fd_; }
    std::string contents() const {
        std::string text(static_cast<std::size_t>(::lseek(fd_, 0, SEEK_END)), '\0');
        EXPECT_EQ(::pread(fd_, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        return text;
    }

  private:
    int fd_;
};

// The entries split into stores of up to three, as the workers' chunks hold them,
// with their names and times in a listing.
template <class Entry, class Fields>
std::vector<EntryStore> storedChunks(const std::vector<Entry>& entries,
                                     Fields (*fieldsOf)(const Entry&)) {
    std::vector<EntryStore> stores((entries.size() + 2) / 3);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Fields fields = fieldsOf(entries[i]);
        stores[i / 3].add(entries[i].status, fields);
    }
    return stores;
}

std::vector<StoredChunk> chunksOf(const std::vector<EntryStore>& stores) {
    std::vector<StoredChunk> chunks;
    for (std::size_t i = 0; i < stores.size(); ++i) chunks.push_back({3 * i, &stores[i]});
    return chunks;
}

// The document of the entries, written from the entries and from their stored form,
// which must give the same bytes.
std::string catalogDocument(const std::vector<CatalogEntry>& entries, bool truncated) {
    MemoryFile file;
    EXPECT_FALSE(writeCatalogDocument(file.fd(), entries, truncated).failed);
    std::vector<ChatFile> listing;
    for (const CatalogEntry& entry : entries) listing.push_back({entry.name, entry.mtimeMs});
    const std::vector<EntryStore> stores = storedChunks(entries, &catalogFieldsOf);
    MemoryFile stored;
    {
        JsonWriter writer(stored.fd(), CATALOG_OUTPUT_BUFFER);
        EXPECT_FALSE(writeCatalogDocument(writer, listing, chunksOf(stores), truncated).failed);
    }
    EXPECT_EQ(stored.contents(), file.contents());
    return file.contents();
}

std::string projectIdsDocument(const std::vector<ProjectIdEntry>& entries) {
    MemoryFile file;
    EXPECT_FALSE(writeProjectIdsDocument(file.fd(), entries).failed);
    std::vector<std::string> names;
    for (const ProjectIdEntry& entry : entries) names.push_back(entry.name);
    const std::vector<EntryStore> stores = storedChunks(entries, &projectIdFieldsOf);
    MemoryFile stored;
    {
        JsonWriter writer(stored.fd(), PROJECT_IDS_OUTPUT_BUFFER);
        EXPECT_FALSE(writeProjectIdsDocument(writer, names, chunksOf(stores)).failed);
    }
    EXPECT_EQ(stored.contents(), file.contents());
    return file.contents();
}

std::string escaped(std::string_view text) {
    ProjectIdEntry entry;
    entry.name = std::string(text);
    const std::string document = projectIdsDocument({entry});
    const std::string prefix = "{\"version\":1,\"entries\":[{\"name\":";
    const std::string suffix = ",\"status\":\"skip\"}]}\n";
    EXPECT_EQ(document.substr(0, prefix.size()), prefix);
    return document.substr(prefix.size(), document.size() - prefix.size() - suffix.size());
}

CatalogEntry workedExample() {
    CatalogEntry entry;
    entry.name = "0b5e2c7a-1d3f-4a6b-8c9d-0e1f2a3b4c5d.jsonl";
    entry.mtimeMs = 1700000000.0 * 1000.0 + 123456789.0 / 1000000.0;
    entry.status = EntryStatus::Ok;
    entry.sessionId = "0b5e2c7a-1d3f-4a6b-8c9d-0e1f2a3b4c5d";
    entry.cwd = "/home/dev/app";
    entry.startTime = "2023-11-14T22:13:20.000Z";
    entry.gitBranch = "main";
    entry.promptText = "Fix the \"login\" test\nnow";
    entry.customTitle = "Login fix";
    entry.titleSource = "manual";
    return entry;
}

// The worked example's document, as the black-box catalog test and the manual page
// show it too.
std::string workedExampleDocument() {
    std::ifstream in(ORVA_WORKED_EXAMPLE_CATALOG, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(CatalogDocument, WorkedExampleByteForByte) {
    const std::string expected = workedExampleDocument();
    ASSERT_FALSE(expected.empty()) << "cannot read " << ORVA_WORKED_EXAMPLE_CATALOG;
    EXPECT_EQ(catalogDocument({workedExample()}, false), expected);
}

TEST(CatalogDocument, SkipAndFallbackWriteOnlyNameTimeAndStatus) {
    CatalogEntry skip = workedExample();
    skip.status = EntryStatus::Skip;
    CatalogEntry fallback = workedExample();
    fallback.status = EntryStatus::Fallback;
    fallback.mtimeMs = -1500;
    EXPECT_EQ(
        catalogDocument({skip, fallback}, true),
        "{\"version\":1,\"truncated\":true,\"entries\":["
        "{\"name\":\"0b5e2c7a-1d3f-4a6b-8c9d-0e1f2a3b4c5d.jsonl\",\"mtimeMs\":1700000000123.4568,"
        "\"status\":\"skip\"},"
        "{\"name\":\"0b5e2c7a-1d3f-4a6b-8c9d-0e1f2a3b4c5d.jsonl\",\"mtimeMs\":-1500,"
        "\"status\":\"fallback\"}]}\n");
}

TEST(CatalogDocument, KeyPresenceRules) {
    CatalogEntry entry;
    entry.name = "a";
    entry.status = EntryStatus::Ok;
    entry.gitBranch = "";            // present and empty
    entry.sidecarDisplayName = "x";  // without a source: no titleSidecar
    EXPECT_EQ(catalogDocument({entry}, false),
              "{\"version\":1,\"truncated\":false,\"entries\":[{\"name\":\"a\",\"mtimeMs\":0,"
              "\"status\":\"ok\",\"sessionId\":null,\"cwd\":null,\"startTime\":null,"
              "\"gitBranch\":\"\"}]}\n");

    entry.gitBranch.reset();
    entry.parentSessionId = "p";
    entry.sourceType = "t";
    entry.sourceId = "i";
    entry.sidecarSource = "auto";
    EXPECT_EQ(catalogDocument({entry}, false),
              "{\"version\":1,\"truncated\":false,\"entries\":[{\"name\":\"a\",\"mtimeMs\":0,"
              "\"status\":\"ok\",\"sessionId\":null,\"cwd\":null,\"startTime\":null,"
              "\"parentSessionId\":\"p\",\"sourceType\":\"t\",\"sourceId\":\"i\","
              "\"titleSidecar\":{\"displayName\":\"x\",\"source\":\"auto\"}}]}\n");
}

TEST(EmptyDocuments, MatchWhatTheWriterProducesForNoEntries) {
    EXPECT_EQ(catalogDocument({}, false), EMPTY_CATALOG_DOCUMENT);
    EXPECT_EQ(EMPTY_CATALOG_DOCUMENT.size(), 45u);
    EXPECT_EQ(catalogDocument({}, true), "{\"version\":1,\"truncated\":true,\"entries\":[]}\n");
    EXPECT_EQ(projectIdsDocument({}), EMPTY_PROJECT_IDS_DOCUMENT);
    EXPECT_EQ(EMPTY_PROJECT_IDS_DOCUMENT.size(), 27u);
}

TEST(ProjectIdsDocument, EntriesAndNulls) {
    ProjectIdEntry ok{"n1.jsonl", "s1", std::nullopt, EntryStatus::Ok};
    ProjectIdEntry fallback{"n2.jsonl", "s2", "/c", EntryStatus::Fallback};
    EXPECT_EQ(
        projectIdsDocument({ok, fallback}),
        "{\"version\":1,\"entries\":[{\"name\":\"n1.jsonl\",\"status\":\"ok\","
        "\"sessionId\":\"s1\",\"cwd\":null},{\"name\":\"n2.jsonl\",\"status\":\"fallback\"}]}\n");
}

TEST(JsonString, Escaping) {
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"plain", "\"plain\""},
        {"", "\"\""},
        {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
        {"\"\\", "\"\\\"\\\\\""},
        {std::string("\0\x01\x1b\x1f", 4), "\"\\u0000\\u0001\\u001b\\u001f\""},
        {"/\x7f", "\"/\x7f\""},
        {"\x0b", "\"\\u000b\""},
        {"h\xc3\xa9llo \xf0\x9f\x98\x80", "\"h\xc3\xa9llo \xf0\x9f\x98\x80\""},
        {"\xff", "\"\xff\""},
    };
    for (const auto& c : cases) EXPECT_EQ(escaped(c.text), c.expected) << c.expected;
}

TEST(NumberFormat, ShortestDigitsInPlainNotation) {
    const struct {
        double value;
        const char* expected;
    } cases[] = {
        {1700000000250.0, "1700000000250"},
        {1700000000123.4568, "1700000000123.4568"},
        {0.5, "0.5"},
        {-1500.0, "-1500"},
        {-500.0, "-500"},
        {0.0, "0"},
        {0.001, "0.001"},
        {-0.25, "-0.25"},
        {123.456, "123.456"},
        {1e21, "1000000000000000000000"},
        {std::ldexp(1.0, 70), "1180591620717411300000"},
        {1.5e-7, "0.00000015"},
        {9007199254740993.0, "9007199254740992"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatNumber(c.value), c.expected);
    EXPECT_EQ(formatNumber(1.7976931348623157e308).size(), 309u);
    EXPECT_EQ(formatNumber(5e-324), "0." + std::string(323, '0') + "5");
}

// A document far larger than the buffer arrives whole, in order.
TEST(JsonWriter, LargeDocumentsCrossManyFlushes) {
    std::vector<CatalogEntry> entries;
    CatalogEntry entry = workedExample();
    entry.promptText = std::string(CATALOG_OUTPUT_BUFFER + 7, 'p') + "\n";
    for (int i = 0; i < 40; ++i) entries.push_back(entry);
    const std::string single = catalogDocument({entry}, false);
    const std::string prefix = "{\"version\":1,\"truncated\":false,\"entries\":[";
    const std::string entryText = single.substr(prefix.size(), single.size() - prefix.size() - 3);
    std::string expected = prefix;
    for (int i = 0; i < 40; ++i) expected += (i > 0 ? "," : "") + entryText;
    expected += "]}\n";
    EXPECT_EQ(catalogDocument(entries, false), expected);
}

TEST(JsonWriter, FirstErrorStopsTheDocument) {
    int sockets[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    ::close(sockets[1]);
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<CatalogEntry> entries(3, workedExample());
    const WriteResult result = writeCatalogDocument(sockets[0], entries, false);
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.osError, EPIPE);
    ::close(sockets[0]);
}

// Only interrupted writes are retried: a full non-blocking reader is an error.
TEST(JsonWriter, WouldBlockIsReportedNotSpunOn) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
    std::vector<CatalogEntry> entries(200, workedExample());
    entries[0].promptText = std::string(1 << 20, 'x');
    const WriteResult result = writeCatalogDocument(pipeFds[1], entries, false);
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.osError, EAGAIN);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

// A flush that gets part of the buffer out and then fails ends the appending: the
// dropped writer's last attempt sends only what was buffered before the failure.
TEST(JsonWriter, NothingIsAppendedAfterAPartialFlushFails) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
    const int pipeSize = ::fcntl(pipeFds[1], F_GETPIPE_SZ);
    ASSERT_GT(pipeSize, 4096);
    // All but one page full: the next write takes one page and the one after fails.
    const std::string filler(static_cast<std::size_t>(pipeSize) - 4096, 'z');
    ASSERT_EQ(::write(pipeFds[1], filler.data(), filler.size()),
              static_cast<ssize_t>(filler.size()));

    constexpr std::size_t CAPACITY = 8192;
    std::string drained;
    const auto drain = [&] {
        char block[65536];
        ssize_t got;
        while ((got = ::read(pipeFds[0], block, sizeof block)) > 0)
            drained.append(block, static_cast<std::size_t>(got));
    };
    {
        JsonWriter writer(pipeFds[1], CAPACITY);
        writer.string(std::string(3 * CAPACITY, 'a'));
        writer.raw("tail");
        EXPECT_TRUE(writer.result().failed);
        EXPECT_EQ(writer.result().osError, EAGAIN);
        drain();
    }
    drain();
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    ASSERT_EQ(drained.substr(0, filler.size()), filler);
    // The quote and the string's first bytes, exactly one buffer of them.
    const std::string written = drained.substr(filler.size());
    EXPECT_EQ(written.size(), CAPACITY);
    EXPECT_TRUE(written == "\"" + std::string(CAPACITY - 1, 'a'));
}

}  // namespace
}  // namespace orva

// libFuzzer target for the catalog scan of one chat file, through scanSessionFile
// alone. The input becomes a file in a private directory: the first byte picks its
// size, the input itself as it is or a size around one of the windows (64 KiB, the
// whole-read limit of 128 KiB, or past it, where the tail is read apart), the second
// byte an offset from that size; the rest is split between the file's head and its
// tail, with whole records between them. The entry must be well-formed and the
// catalog document written from it one valid JSON text. libFuzzer's -timeout catches
// any input that takes super-linear time.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "chat_listing.h"
#include "fuzz_support.h"
#include "json_reader.h"
#include "json_writer.h"
#include "session_scan.h"
#include "session_titles.h"
#include "text.h"

namespace {

using namespace orva;
using fuzz::check;

constexpr std::string_view CHAT_NAME = "00000000-0000-4000-8000-000000000000.jsonl";
// A sidecar for the session id "s", so that a file whose first record names it has
// its sidecar read.
constexpr std::string_view SIDECAR_NAME = "s.title.json";
constexpr std::string_view SIDECAR = R"({"version":1,"displayName":" Fuzzed ","source":"auto"})";
constexpr std::string_view FILLER =
    R"({"type":"assistant","message":{"parts":[{"text":"filler \u00e9\n"}]}})"
    "\n";

const std::string& chatDirectory() {
    static const std::string directory = [] {
        char pattern[] = "/tmp/orva-scan-file-fuzzer-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) std::abort();
        const std::string made = pattern;
        std::FILE* sidecar = std::fopen((made + "/" + std::string(SIDECAR_NAME)).c_str(), "wb");
        if (sidecar == nullptr) std::abort();
        std::fwrite(SIDECAR.data(), 1, SIDECAR.size(), sidecar);
        std::fclose(sidecar);
        return made;
    }();
    return directory;
}

std::string fileContent(const std::uint8_t* data, std::size_t size) {
    const std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
    static constexpr std::size_t SIZES[] = {0, SCAN_WINDOW, WHOLE_READ_LIMIT,
                                            WHOLE_READ_LIMIT + TAIL_READ_SIZE};
    const std::size_t base = SIZES[data[0] % 4];
    if (base == 0) return std::string(rest);
    const auto offset = static_cast<std::int8_t>(data[1]);
    const std::size_t target = base + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(offset));
    const std::string_view head = rest.substr(0, rest.size() / 2);
    const std::string_view tail = rest.substr(rest.size() / 2);
    std::string content(head);
    while (content.size() + tail.size() < target) content += FILLER;
    if (content.size() + tail.size() > target && target > tail.size()) {
        content.resize(target - tail.size());
    }
    content += tail;
    return content;
}

void writeFile(const std::string& path, const std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (!content.empty() && std::fwrite(content.data(), 1, content.size(), file) != content.size())
        std::abort();
    std::fclose(file);
}

bool validText(const OptionalString& field) {
    return !field || isValidUtf8(*field);
}

void checkEntry(const CatalogEntry& entry) {
    check(entry.name == CHAT_NAME && entry.mtimeMs == 1.5, "the entry's name or time changed");
    const OptionalString* fields[] = {&entry.sessionId,          &entry.cwd,
                                      &entry.startTime,          &entry.gitBranch,
                                      &entry.promptText,         &entry.parentSessionId,
                                      &entry.sourceType,         &entry.sourceId,
                                      &entry.customTitle,        &entry.titleSource,
                                      &entry.sidecarDisplayName, &entry.sidecarSource};
    for (const OptionalString* field : fields)
        check(validText(*field), "a field that is not UTF-8");
    if (entry.status != EntryStatus::Ok) {
        for (const OptionalString* field : fields) {
            check(!field->has_value(), "a skipped or fallen-back entry with a session field");
        }
        return;
    }
    check(entry.sessionId && entry.cwd && entry.startTime, "an ok entry without its first record");
    check(!entry.promptText || countChars(*entry.promptText) <= PROMPT_CHAR_LIMIT,
          "a prompt text over the limit");
    check(!entry.customTitle || !entry.customTitle->empty(), "an empty custom title");
    check(!entry.titleSource || (entry.customTitle &&
                                 (*entry.titleSource == "auto" || *entry.titleSource == "manual")),
          "a title source without a title, or one the catalog does not report");
    check(!entry.sourceType || !entry.sourceType->empty(), "an empty source type");
    check(!entry.parentSessionId || !entry.parentSessionId->empty(), "an empty parent session");
    check(entry.sidecarDisplayName.has_value() == entry.sidecarSource.has_value(),
          "half a title sidecar");
}

void checkDocument(const CatalogEntry& entry) {
    const int fd = ::memfd_create("catalog", MFD_CLOEXEC);
    if (fd < 0) std::abort();
    const WriteResult written = writeCatalogDocument(fd, std::span(&entry, 1), false);
    check(!written.failed, "the catalog document could not be written");
    const off_t size = ::lseek(fd, 0, SEEK_END);
    std::string document(static_cast<std::size_t>(size), '\0');
    check(::pread(fd, document.data(), document.size(), 0) == size,
          "the document could not be read");
    ::close(fd);
    check(!document.empty() && document.back() == '\n', "a document without its line feed");
    check(isValidUtf8(document), "a document that is not UTF-8");
    JsonCursor cursor{document.data(), document.size(), 0};
    check(nextIs(cursor, '{') && skipValue(cursor, 0), "a document that is not one JSON object");
    check(cursor.position == document.size() - 1, "text after the document");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string& directory = chatDirectory();
    const std::string path = directory + "/" + std::string(CHAT_NAME);
    writeFile(path, fileContent(data, size));
    const SidecarNameSet sidecars{std::string(SIDECAR_NAME)};
    std::vector<char> buffer;
    const CatalogEntry entry =
        scanSessionFile(directory, ChatFile{std::string(CHAT_NAME), 1.5}, sidecars, buffer);
    checkEntry(entry);
    checkDocument(entry);
    return 0;
}

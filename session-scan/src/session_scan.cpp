#include "session_scan.h"

#include <sys/stat.h>

#include <array>
#include <cstring>
#include <span>
#include <utility>

#include "byte_pattern.h"
#include "file_access.h"
#include "record_fields.h"
#include "session_titles.h"
#include "text.h"
#include "title_sidecar.h"

#ifdef ORVA_SESSION_SCAN_HOOKS
#include "session_scan_hooks.h"
#endif

namespace orva {

namespace {

constexpr std::string_view SESSION_SOURCE = "session_source";
// The underscore and the c: "session_source".
constexpr BytePattern SESSION_SOURCE_PATTERN{SESSION_SOURCE, 7, 12};
static_assert(SESSION_SOURCE_PATTERN.anchorA() == '_' && SESSION_SOURCE_PATTERN.anchorB() == 'c');

std::size_t offsetIn(std::string_view text, const void* at) {
    return static_cast<std::size_t>(static_cast<const char*>(at) - text.data());
}

// Length of text up to and including its last line feed, or 0 without one.
std::size_t endAfterLastLineFeed(std::string_view text) {
    if (text.empty()) return 0;
    const void* lf = ::memrchr(text.data(), '\n', text.size());
    return lf == nullptr ? 0 : offsetIn(text, lf) + 1;
}

// Length of text up to and including its last line feed or carriage return.
std::size_t endAfterLastLineEnd(std::string_view text) {
    const std::size_t afterLf = endAfterLastLineFeed(text);
    const std::string_view rest = text.substr(afterLf);
    if (rest.empty()) return afterLf;
    const void* cr = ::memrchr(rest.data(), '\r', rest.size());
    return cr == nullptr ? afterLf : afterLf + offsetIn(rest, cr) + 1;
}

// Offset of the first line feed or carriage return at or after from, or size.
std::size_t nextLineEnd(std::string_view text, std::size_t from) {
    const std::size_t size = text.size();
    const void* lf = std::memchr(text.data() + from, '\n', size - from);
    const std::size_t lfAt = lf == nullptr ? size : offsetIn(text, lf);
    const void* cr = std::memchr(text.data() + from, '\r', lfAt - from);
    return cr == nullptr ? lfAt : offsetIn(text, cr);
}

// The source of a tail line that is a session-source record with a string
// sourceType; a line that is no record at all is passed over like any other.
std::optional<TailSessionSource> sessionSourceOf(std::string_view line) {
    std::optional<RecordFields> record = extractRecordFields(line);
    if (!record || record->type != "system" || record->subtype != SESSION_SOURCE ||
        !record->systemPayload.sourceType)
        return std::nullopt;
    return TailSessionSource{std::move(*record->systemPayload.sourceType),
                             std::move(record->systemPayload.sourceId)};
}

bool isManagedSessionMarker(const RecordFields& record) {
    if (record.subtype == "managed_session_header_v1") return true;
    return record.type == "system" && record.subtype == "session_execution_engine" &&
           record.systemPayload.engine == "managed";
}

enum class HeadRead { Taken, Malformed, Managed };

// Lines end at a line feed or a carriage return, each on its own; blank lines are
// passed over. Lines after the last record taken are not parsed.
HeadRead takeHeadRecords(std::string_view window, HeadRecords& head) {
    std::size_t pos = 0;
    while (pos < window.size() && !head.full()) {
        const std::size_t end = nextLineEnd(window, pos);
        const std::string_view line = trimAsciiWhitespace(window.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty()) continue;
        RecordFields& record = head.records[head.count];
        if (!extractRecordFieldsInto(line, record)) return HeadRead::Malformed;
        if (head.count == 0 && isManagedSessionMarker(record)) return HeadRead::Managed;
        ++head.count;
    }
    return HeadRead::Taken;
}

// The session facts gathered from one file on the way to its entry.
struct SessionFacts {
    OptionalString parentSessionId;
    OptionalString sourceType;
    OptionalString sourceId;
    bool sourceRecordSeen = false;
};

// The first parent_session and session_source records of the head decide.
SessionFacts headSystemFacts(std::span<const RecordFields> records) {
    SessionFacts facts;
    bool sourceTaken = false;
    for (const RecordFields& record : records) {
        if (record.type != "system") continue;
        const SystemPayloadFields& payload = record.systemPayload;
        if (record.subtype == "parent_session") {
            if (!facts.parentSessionId && payload.parentSessionId)
                facts.parentSessionId = payload.parentSessionId;
        } else if (record.subtype == SESSION_SOURCE) {
            facts.sourceRecordSeen = true;
            if (!sourceTaken && payload.sourceType) {
                sourceTaken = true;
                facts.sourceType = payload.sourceType;
                facts.sourceId = payload.sourceId;
            }
        }
    }
    if (facts.sourceType && facts.sourceType->empty()) facts.sourceType.reset();
    return facts;
}

bool mayNameSidecar(std::string_view sessionId) {
    return sessionId.find('/') == std::string_view::npos &&
           sessionId.find('\\') == std::string_view::npos &&
           sessionId.find("..") == std::string_view::npos;
}

// The custom title of a search result: an empty title counts as none.
void takeCustomTitle(CustomTitleOutcome& found, CatalogEntry& entry) {
    if (found.result != TitleSearch::Found || found.hit.customTitle.empty()) return;
    entry.customTitle = std::move(found.hit.customTitle);
    entry.titleSource = normalizeTitleSource(found.hit.titleSource);
}

void readSidecarOf(const std::string& chatsDir, const SidecarNameSet& sidecarNames,
                   CatalogEntry& entry) {
    if (entry.customTitle && entry.promptText) return;
    if (!mayNameSidecar(*entry.sessionId)) return;
    std::string name = *entry.sessionId;
    name += SIDECAR_SUFFIX;
    if (!sidecarNames.contains(name)) return;
    std::optional<TitleSidecar> sidecar = readTitleSidecar(joinPath(chatsDir, name));
    if (!sidecar) return;
    entry.sidecarDisplayName = std::move(sidecar->displayName);
    entry.sidecarSource = std::move(sidecar->source);
}

bool unchangedSinceOpen(const OpenOutcome& opened) {
    struct stat status {};
    if (::fstat(opened.fd.get(), &status) != 0) return false;
    return fileStampOf(status) == opened.stamp;
}

CatalogEntry stopped(EntryStatus status) {
    CatalogEntry result;
    result.status = status;
    return result;
}

bool readExactlyAt(int fd, std::int64_t offset, std::vector<char>& buffer, std::size_t size) {
#ifdef ORVA_SESSION_SCAN_HOOKS
    if (hooks::onChatRead != nullptr) hooks::onChatRead(offset, size);
#endif
    const ReadOutcome read = readFullAt(fd, offset, readWindow(buffer, size));
    return read.error == 0 && read.count == size;
}

// The tail window and, for a file over WHOLE_READ_LIMIT, the custom title of the
// title window, searched while the head is still in the buffer.
struct TailRead {
    bool ok = false;
    std::string_view window;
    bool startsMidLine = false;
    CustomTitleOutcome headTitle;
};

TailRead readTail(int fd, std::uint64_t size, std::string_view head, std::string_view titleWindow,
                  std::vector<char>& buffer) {
    TailRead tail;
    tail.ok = true;
    if (size <= SCAN_WINDOW) {
        tail.window = head;
    } else if (size <= WHOLE_READ_LIMIT) {
        tail.window = head.substr(head.size() - SCAN_WINDOW);
        tail.startsMidLine = head[head.size() - SCAN_WINDOW - 1] != '\n';
    } else {
        tail.headTitle = findCustomTitle(titleWindow);
        tail.ok = tail.headTitle.result != TitleSearch::Error &&
                  readExactlyAt(fd, static_cast<std::int64_t>(size - TAIL_READ_SIZE), buffer,
                                TAIL_READ_SIZE);
        tail.window = std::string_view(buffer.data() + 1, SCAN_WINDOW);
        tail.startsMidLine = buffer[0] != '\n';
    }
    return tail;
}

// The last source record of the tail, looked for only when the head gave none and
// a long file, a full head or a head source record without a type says to.
void takeTailSource(const TailRead& tail, bool sourceSearch, SessionFacts& facts) {
    if (facts.sourceType || !sourceSearch) return;
    std::optional<TailSessionSource> found = findTailSessionSource(tail.window, tail.startsMidLine);
    if (!found) return;
    if (!found->sourceType.empty()) facts.sourceType = std::move(found->sourceType);
    if (found->sourceId) facts.sourceId = std::move(found->sourceId);
}

// The custom title of the tail, else of the title window for a file over
// SCAN_WINDOW. Error when a title string of either cannot be read.
CustomTitleOutcome latestCustomTitle(TailRead& tail, std::uint64_t size,
                                     std::string_view titleWindow) {
    CustomTitleOutcome title = findCustomTitle(tail.window);
    if (title.result != TitleSearch::NotFound || size <= SCAN_WINDOW) return title;
    return size > WHOLE_READ_LIMIT ? std::move(tail.headTitle) : findCustomTitle(titleWindow);
}

// The windows scanSessionFile reads, exactly: one read of the whole file up to
// WHOLE_READ_LIMIT, else the head window and the tail read.
void adviseChatWindows(const OpenOutcome& opened) {
    const auto size = static_cast<std::uint64_t>(opened.stamp.size);
    if (size == 0) return;
    if (size <= WHOLE_READ_LIMIT) {
        adviseWillNeed(opened.fd.get(), 0, size);
        return;
    }
    adviseWillNeed(opened.fd.get(), 0, SCAN_WINDOW);
    adviseWillNeed(opened.fd.get(), static_cast<std::int64_t>(size - TAIL_READ_SIZE),
                   TAIL_READ_SIZE);
}

}  // namespace

PreparedChat prepareChatFile(const std::string& path, bool advise) {
    PreparedChat prepared;
    prepared.opened = openRegularFile(path);
    // A shortage of descriptors says nothing about the file: it is opened again at
    // its turn, when it gets the verdict it would have had without read-ahead.
    prepared.tried = !ranOutOfDescriptors(prepared.opened);
    if (advise && prepared.opened.verdict == OpenVerdict::Opened)
        adviseChatWindows(prepared.opened);
    return prepared;
}

CatalogEntry scanSessionFile(const std::string& chatsDir, const ChatFile& file,
                             const SidecarNameSet& sidecarNames, std::vector<char>& buffer) {
    const std::string path = joinPath(chatsDir, file.name);
    return scanPreparedSessionFile(chatsDir, path, file, prepareChatFile(path), sidecarNames,
                                   buffer);
}

CatalogEntry scanPreparedSessionFile(const std::string& chatsDir, const std::string& path,
                                     const ChatFile& file, PreparedChat prepared,
                                     const SidecarNameSet& sidecarNames,
                                     std::vector<char>& buffer) {
    HeadRecords records;
    CatalogEntry entry =
        scanSessionEntry(chatsDir, path, std::move(prepared), sidecarNames, buffer, records);
    entry.name = file.name;
    entry.mtimeMs = file.mtimeMs;
    return entry;
}

CatalogEntry scanSessionEntry(const std::string& chatsDir, const std::string& path,
                              PreparedChat prepared, const SidecarNameSet& sidecarNames,
                              std::vector<char>& buffer, HeadRecords& records) {
    CatalogEntry entry;
    records.count = 0;
    if (!prepared.tried) prepared.opened = openRegularFile(path);
    OpenOutcome& opened = prepared.opened;
    if (opened.verdict == OpenVerdict::Skip) return stopped(EntryStatus::Skip);
    if (opened.verdict == OpenVerdict::Fallback) return stopped(EntryStatus::Fallback);
    const auto size = static_cast<std::uint64_t>(opened.stamp.size);
    if (size == 0) return stopped(EntryStatus::Skip);
    const bool large = size > SCAN_WINDOW;

    const std::size_t headSize = size <= WHOLE_READ_LIMIT ? size : SCAN_WINDOW;
    if (!readExactlyAt(opened.fd.get(), 0, buffer, headSize)) {
        return stopped(EntryStatus::Fallback);
    }
    const std::string_view head(buffer.data(), headSize);
    const std::string_view firstWindow = head.substr(0, SCAN_WINDOW);

    const std::string_view recordWindow =
        large ? firstWindow.substr(0, endAfterLastLineEnd(firstWindow)) : firstWindow;
    if (takeHeadRecords(recordWindow, records) != HeadRead::Taken) {
        return stopped(EntryStatus::Fallback);
    }
    if (records.count == 0) return stopped(large ? EntryStatus::Fallback : EntryStatus::Skip);

    RecordFields& first = records.records[0];
    if (!first.sessionId || !first.cwd || !first.timestamp || first.gitBranchNonString) {
        return stopped(EntryStatus::Fallback);
    }
    // Copied, not moved: the thread's records keep their buffers for the next file.
    entry.sessionId = first.sessionId;
    entry.cwd = first.cwd;
    entry.startTime = first.timestamp;
    entry.gitBranch = first.gitBranch;

    PromptOutcome prompt = firstPromptText(records.taken());
    if (prompt.result == TitleSearch::Error) return stopped(EntryStatus::Fallback);
    if (prompt.result == TitleSearch::Found) entry.promptText = std::move(prompt.text);

    SessionFacts facts = headSystemFacts(records.taken());
    if (large && !records.full() && (!entry.promptText || !facts.sourceType)) {
        return stopped(EntryStatus::Fallback);
    }

    const std::string_view titleWindow = firstWindow.substr(0, endAfterLastLineFeed(firstWindow));
    TailRead tail = readTail(opened.fd.get(), size, head, titleWindow, buffer);
    if (!tail.ok) return stopped(EntryStatus::Fallback);
#ifdef ORVA_SESSION_SCAN_HOOKS
    if (hooks::beforeChangeCheck != nullptr) hooks::beforeChangeCheck(path);
#endif
    if (!unchangedSinceOpen(opened)) return stopped(EntryStatus::Fallback);
    opened.fd.reset();

    takeTailSource(tail, large || records.full() || facts.sourceRecordSeen, facts);
    CustomTitleOutcome title = latestCustomTitle(tail, size, titleWindow);
    if (title.result == TitleSearch::Error) return stopped(EntryStatus::Fallback);
    takeCustomTitle(title, entry);

    if (facts.parentSessionId && !facts.parentSessionId->empty()) {
        entry.parentSessionId = std::move(facts.parentSessionId);
    }
    entry.sourceType = std::move(facts.sourceType);
    entry.sourceId = std::move(facts.sourceId);
    readSidecarOf(chatsDir, sidecarNames, entry);
    entry.status = EntryStatus::Ok;
    return entry;
}

std::optional<TailSessionSource> findTailSessionSource(std::string_view window,
                                                       bool startsMidLine) {
    std::optional<TailSessionSource> found;
    answerFromLastMarkedLine(window, startsMidLine, SESSION_SOURCE_PATTERN, SESSION_SOURCE_LINES,
                             [&](std::string_view line) {
                                 found = sessionSourceOf(line);
                                 return found.has_value();
                             });
    return found;
}

CatalogWorker::Thread CatalogWorker::start(std::size_t fileCount) const {
    Thread thread;
    thread.buffer.reserve(CATALOG_WORKER_BUFFER);
    thread.records = std::make_unique<HeadRecords>();
    thread.entries.reserve(fileCount);
    return thread;
}

PreparedChat CatalogWorker::prepare(const ChatFile& file, Thread& thread) const {
    joinPathInto(thread.path, chatsDir, file.name);
    return prepareChatFile(thread.path, thread.advice.next());
}

void CatalogWorker::finish(const ChatFile& file, PreparedChat prepared, Thread& thread) const {
    joinPathInto(thread.path, chatsDir, file.name);
    const CatalogEntry entry = scanSessionEntry(chatsDir, thread.path, std::move(prepared),
                                                sidecarNames, thread.buffer, *thread.records);
    thread.entries.add(entry.status, catalogFieldsOf(entry));
}

}  // namespace orva

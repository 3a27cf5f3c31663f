#include "head_scan.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "file_access.h"
#include "record_fields.h"
#include "text.h"

namespace orva {

namespace {

// The first non-blank line of the head, trimmed; absent with the status to give
// when there is none that counts.
struct HeadLine {
    std::string_view line;
    EntryStatus otherwise = EntryStatus::Ok;  // Ok: line holds the line
};

// Lines end at CR or LF, and both are ASCII whitespace, so every line before the
// first non-whitespace byte is blank: the first non-blank line is the one that
// holds that byte, and trimming makes its start exactly that byte.
HeadLine firstNonBlankLine(std::string_view data, bool wholeFile) {
    const char* const begin = data.data();
    const char* const end = begin + data.size();
    const char* start = std::find_if_not(begin, end, isAsciiWhitespace);
    // A larger file's head may stop inside a line, so only terminated lines count.
    if (start == end) return {{}, wholeFile ? EntryStatus::Skip : EntryStatus::Fallback};

    const std::size_t rest = static_cast<std::size_t>(end - start);
    const auto* lineFeed = static_cast<const char*>(std::memchr(start, '\n', rest));
    const char* stop = lineFeed != nullptr ? lineFeed : end;
    const auto* carriageReturn =
        static_cast<const char*>(std::memchr(start, '\r', static_cast<std::size_t>(stop - start)));
    if (carriageReturn != nullptr) stop = carriageReturn;
    if (stop == end && !wholeFile) return {{}, EntryStatus::Fallback};

    return {trimAsciiWhitespace(std::string_view(start, static_cast<std::size_t>(stop - start)))};
}

// The first record of an opened file, decoded into record (whose strings keep their
// buffers from file to file), or the status that stands instead of it.
EntryStatus readFirstRecord(const OpenOutcome& file, std::vector<char>& buffer,
                            RecordFields& record) {
    const std::int64_t size = file.stamp.size;
    if (size <= 0) return EntryStatus::Skip;
    const bool wholeFile = size <= static_cast<std::int64_t>(HEAD_WINDOW);
    const ReadOutcome read =
        readFullAt(file.fd.get(), 0,
                   readWindow(buffer, wholeFile ? static_cast<std::size_t>(size) : HEAD_WINDOW));
    if (read.error != 0) return EntryStatus::Fallback;

    const HeadLine head = firstNonBlankLine(std::string_view(buffer.data(), read.count), wholeFile);
    if (head.otherwise != EntryStatus::Ok) return head.otherwise;

    if (!extractRecordFieldsInto(head.line, record) || !record.sessionId || !record.cwd)
        return EntryStatus::Fallback;
    return EntryStatus::Ok;
}

EntryStatus statusOfOpened(const OpenOutcome& file, std::vector<char>& buffer,
                           RecordFields& record) {
    switch (file.verdict) {
        case OpenVerdict::Skip:
            return EntryStatus::Skip;
        case OpenVerdict::Fallback:
            return EntryStatus::Fallback;
        case OpenVerdict::Opened:
            break;
    }
    return readFirstRecord(file, buffer, record);
}

}  // namespace

PreparedHead prepareHeadFile(const std::string& path, bool advise) {
    PreparedHead prepared;
    prepared.opened = openRegularFile(path);
    // A shortage of descriptors says nothing about the file: it is opened again at
    // its turn, when it gets the verdict it would have had without read-ahead.
    prepared.tried = !ranOutOfDescriptors(prepared.opened);
    const std::int64_t size = prepared.opened.stamp.size;
    if (advise && prepared.opened.verdict == OpenVerdict::Opened && size > 0) {
        adviseWillNeed(prepared.opened.fd.get(), 0,
                       std::min(static_cast<std::size_t>(size), HEAD_WINDOW));
    }
    return prepared;
}

ProjectIdEntry scanHead(const std::string& chatsDir, std::string name, std::vector<char>& buffer) {
    const std::string path = joinPath(chatsDir, name);
    return scanPreparedHead(path, std::move(name), prepareHeadFile(path), buffer);
}

ProjectIdEntry scanPreparedHead(const std::string& path, std::string name, PreparedHead prepared,
                                std::vector<char>& buffer) {
    ProjectIdEntry entry;
    if (!prepared.tried) prepared.opened = openRegularFile(path);
    RecordFields record;
    entry.status = statusOfOpened(prepared.opened, buffer, record);
    if (entry.status == EntryStatus::Ok) {
        entry.sessionId = record.sessionId;
        entry.cwd = record.cwd;
    }
    entry.name = std::move(name);
    return entry;
}

HeadWorker::Thread HeadWorker::start(std::size_t fileCount) const {
    Thread thread;
    thread.buffer.reserve(HEAD_WORKER_BUFFER);
    thread.entries.reserve(fileCount);
    return thread;
}

PreparedHead HeadWorker::prepare(const std::string& name, Thread& thread) const {
    joinPathInto(thread.path, chatsDir, name);
    return prepareHeadFile(thread.path, thread.advice.next());
}

void HeadWorker::finish(const std::string& name, PreparedHead prepared, Thread& thread) const {
    joinPathInto(thread.path, chatsDir, name);
    if (!prepared.tried) prepared.opened = openRegularFile(thread.path);
    const EntryStatus status = statusOfOpened(prepared.opened, thread.buffer, thread.record);
    ProjectIdFields fields{};
    if (status == EntryStatus::Ok) fields = {*thread.record.sessionId, *thread.record.cwd};
    thread.entries.add(status, fields);
}

}  // namespace orva

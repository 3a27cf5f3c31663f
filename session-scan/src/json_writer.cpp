#include "json_writer.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

namespace orva {

namespace {

// Longest plain form of a finite double: "-", 309 integer digits, or "0." and 323
// zeros before the 17 significant digits of the smallest subnormal.
constexpr std::size_t NUMBER_TEXT_CAPACITY = 400;

// The escape of each byte, or an empty entry when the byte is written as it is.
struct EscapeTable {
    std::array<std::array<char, 7>, 256> text{};
    std::array<unsigned char, 256> length{};

    constexpr EscapeTable() {
        constexpr char hex[] = "0123456789abcdef";
        for (unsigned byte = 0; byte < 0x20; ++byte) {
            text[byte] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF], 0};
            length[byte] = 6;
        }
        const auto shortEscape = [this](unsigned byte, char letter) {
            text[byte] = {'\\', letter, 0, 0, 0, 0, 0};
            length[byte] = 2;
        };
        shortEscape(0x08, 'b');
        shortEscape(0x09, 't');
        shortEscape(0x0A, 'n');
        shortEscape(0x0C, 'f');
        shortEscape(0x0D, 'r');
        shortEscape(0x22, '"');
        shortEscape(0x5C, '\\');
    }
};

constexpr EscapeTable ESCAPES;

std::size_t formatNumberInto(double value, char* out) {
    if (!std::isfinite(value)) {
        std::memcpy(out, "null", 4);
        return 4;
    }
    // Shortest round-trip digits and their exponent, laid out without an exponent.
    char scientific[64];
    const auto converted = std::to_chars(scientific, scientific + sizeof(scientific), value,
                                         std::chars_format::scientific);
    const std::string_view text(scientific, static_cast<std::size_t>(converted.ptr - scientific));
    std::size_t pos = 0;
    char* cursor = out;
    if (text[pos] == '-') {
        *cursor++ = '-';
        ++pos;
    }
    const std::size_t mark = text.find('e');
    char digits[24];
    std::size_t digitCount = 0;
    for (std::size_t i = pos; i < mark; ++i) {
        if (text[i] != '.') digits[digitCount++] = text[i];
    }
    int exponent = 0;
    std::from_chars(text.data() + mark + (text[mark + 1] == '+' ? 2 : 1), text.data() + text.size(),
                    exponent);

    if (exponent < 0) {
        *cursor++ = '0';
        *cursor++ = '.';
        for (int i = -1; i > exponent; --i) *cursor++ = '0';
        std::memcpy(cursor, digits, digitCount);
        cursor += digitCount;
    } else {
        const auto integerDigits = static_cast<std::size_t>(exponent) + 1;
        if (digitCount <= integerDigits) {
            std::memcpy(cursor, digits, digitCount);
            cursor += digitCount;
            for (std::size_t i = digitCount; i < integerDigits; ++i) *cursor++ = '0';
        } else {
            std::memcpy(cursor, digits, integerDigits);
            cursor += integerDigits;
            *cursor++ = '.';
            std::memcpy(cursor, digits + integerDigits, digitCount - integerDigits);
            cursor += digitCount - integerDigits;
        }
    }
    return static_cast<std::size_t>(cursor - out);
}

void writeStringOrNull(JsonWriter& writer, std::string_view keyText, const OptionalView& value) {
    writer.raw(keyText);
    if (value) {
        writer.string(*value);
    } else {
        writer.raw("null");
    }
}

void writeIfPresent(JsonWriter& writer, std::string_view keyText, const OptionalView& value) {
    if (!value) return;
    writer.raw(keyText);
    writer.string(*value);
}

void writeStatus(JsonWriter& writer, EntryStatus status) {
    writer.raw(",\"status\":\"");
    writer.raw(statusText(status));
    writer.raw("\"");
}

// fields in the order of CatalogEntry: sessionId, cwd, startTime, gitBranch,
// promptText, parentSessionId, sourceType, sourceId, customTitle, titleSource, the
// sidecar's displayName and source.
void writeCatalogEntry(JsonWriter& writer, std::string_view name, double mtimeMs,
                       EntryStatus status, const CatalogFields& fields) {
    writer.raw("{\"name\":");
    writer.string(name);
    writer.raw(",\"mtimeMs\":");
    writer.number(mtimeMs);
    writeStatus(writer, status);
    if (status == EntryStatus::Ok) {
        writeStringOrNull(writer, ",\"sessionId\":", fields[0]);
        writeStringOrNull(writer, ",\"cwd\":", fields[1]);
        writeStringOrNull(writer, ",\"startTime\":", fields[2]);
        writeIfPresent(writer, ",\"gitBranch\":", fields[3]);
        writeIfPresent(writer, ",\"promptText\":", fields[4]);
        writeIfPresent(writer, ",\"parentSessionId\":", fields[5]);
        writeIfPresent(writer, ",\"sourceType\":", fields[6]);
        writeIfPresent(writer, ",\"sourceId\":", fields[7]);
        writeIfPresent(writer, ",\"customTitle\":", fields[8]);
        writeIfPresent(writer, ",\"titleSource\":", fields[9]);
        if (fields[10] && fields[11]) {
            writer.raw(",\"titleSidecar\":{\"displayName\":");
            writer.string(*fields[10]);
            writer.raw(",\"source\":");
            writer.string(*fields[11]);
            writer.raw("}");
        }
    }
    writer.raw("}");
}

void writeProjectIdEntry(JsonWriter& writer, std::string_view name, EntryStatus status,
                         const ProjectIdFields& fields) {
    writer.raw("{\"name\":");
    writer.string(name);
    writeStatus(writer, status);
    if (status == EntryStatus::Ok) {
        writeStringOrNull(writer, ",\"sessionId\":", fields[0]);
        writeStringOrNull(writer, ",\"cwd\":", fields[1]);
    }
    writer.raw("}");
}

void writeCatalogHead(JsonWriter& writer, bool truncated) {
    writer.raw("{\"version\":1,\"truncated\":");
    writer.boolean(truncated);
    writer.raw(",\"entries\":[");
}

}  // namespace

std::string formatNumber(double value) {
    char text[NUMBER_TEXT_CAPACITY];
    return std::string(text, formatNumberInto(value, text));
}

JsonWriter::JsonWriter(int fd, std::size_t capacity) : fd_(fd), buffer_(capacity) {}

// Writes until all is out or a write fails (the failure goes into result); returns
// how many bytes went out. Interrupted writes are retried.
static std::size_t writeFully(int fd, const char* data, std::size_t size, WriteResult& result) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written = ::write(fd, data + done, size - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            result = {true, written < 0 ? errno : 0};
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    return done;
}

JsonWriter::~JsonWriter() {
    // One last attempt for whatever is still buffered; its outcome cannot be reported.
    WriteResult ignored;
    writeFully(fd_, buffer_.data(), used_, ignored);
}

void JsonWriter::flushBuffer() {
    const std::size_t written = writeFully(fd_, buffer_.data(), used_, result_);
    // Keep what was not written, at the front, for the destructor's last attempt.
    std::memmove(buffer_.data(), buffer_.data() + written, used_ - written);
    used_ -= written;
}

void JsonWriter::raw(std::string_view bytes) {
    if (result_.failed) return;
    if (buffer_.size() - used_ < bytes.size()) {
        flushBuffer();
        if (result_.failed) return;
        if (bytes.size() >= buffer_.size()) {
            writeFully(fd_, bytes.data(), bytes.size(), result_);
            return;
        }
    }
    std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
}

void JsonWriter::string(std::string_view text) {
    raw("\"");
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size() && !result_.failed) {
        std::size_t runEnd = i;
        while (runEnd < text.size() && ESCAPES.length[bytes[runEnd]] == 0) ++runEnd;
        // A plain run fills the buffer to the brim before each flush, as if it were
        // appended byte by byte.
        while (i < runEnd) {
            if (used_ == buffer_.size()) flushBuffer();
            if (result_.failed) break;
            const std::size_t take = std::min(runEnd - i, buffer_.size() - used_);
            std::memcpy(buffer_.data() + used_, text.data() + i, take);
            used_ += take;
            i += take;
        }
        if (i < text.size()) {
            const unsigned char byte = bytes[i];
            raw(std::string_view(ESCAPES.text[byte].data(), ESCAPES.length[byte]));
            ++i;
        }
    }
    raw("\"");
}

void JsonWriter::number(double value) {
    char text[NUMBER_TEXT_CAPACITY];
    raw(std::string_view(text, formatNumberInto(value, text)));
}

void JsonWriter::boolean(bool value) {
    raw(value ? "true" : "false");
}

WriteResult JsonWriter::finish() {
    raw("]}\n");
    if (!result_.failed) flushBuffer();
    return result_;
}

WriteResult writeCatalogDocument(JsonWriter& writer, std::span<const CatalogEntry> entries,
                                 bool truncated) {
    writeCatalogHead(writer, truncated);
    for (std::size_t i = 0; i < entries.size() && !writer.result().failed; ++i) {
        if (i > 0) writer.raw(",");
        const CatalogEntry& entry = entries[i];
        writeCatalogEntry(writer, entry.name, entry.mtimeMs, entry.status, catalogFieldsOf(entry));
    }
    return writer.finish();
}

WriteResult writeProjectIdsDocument(JsonWriter& writer, std::span<const ProjectIdEntry> entries) {
    writer.raw("{\"version\":1,\"entries\":[");
    for (std::size_t i = 0; i < entries.size() && !writer.result().failed; ++i) {
        if (i > 0) writer.raw(",");
        writeProjectIdEntry(writer, entries[i].name, entries[i].status,
                            projectIdFieldsOf(entries[i]));
    }
    return writer.finish();
}

WriteResult writeCatalogDocument(JsonWriter& writer, std::span<const ChatFile> files,
                                 std::span<const StoredChunk> chunks, bool truncated) {
    writeCatalogHead(writer, truncated);
    CatalogFields fields;
    bool first = true;
    for (const StoredChunk& chunk : chunks) {
        for (std::size_t i = 0; i < chunk.entries->size() && !writer.result().failed; ++i) {
            if (!first) writer.raw(",");
            first = false;
            const ChatFile& file = files[chunk.firstFile + i];
            chunk.entries->fields(i, fields);
            writeCatalogEntry(writer, file.name, file.mtimeMs, chunk.entries->status(i), fields);
        }
    }
    return writer.finish();
}

WriteResult writeProjectIdsDocument(JsonWriter& writer, std::span<const std::string> names,
                                    std::span<const StoredChunk> chunks) {
    writer.raw("{\"version\":1,\"entries\":[");
    ProjectIdFields fields;
    bool first = true;
    for (const StoredChunk& chunk : chunks) {
        for (std::size_t i = 0; i < chunk.entries->size() && !writer.result().failed; ++i) {
            if (!first) writer.raw(",");
            first = false;
            chunk.entries->fields(i, fields);
            writeProjectIdEntry(writer, names[chunk.firstFile + i], chunk.entries->status(i),
                                fields);
        }
    }
    return writer.finish();
}

WriteResult writeCatalogDocument(int fd, std::span<const CatalogEntry> entries, bool truncated) {
    JsonWriter writer(fd, CATALOG_OUTPUT_BUFFER);
    return writeCatalogDocument(writer, entries, truncated);
}

WriteResult writeProjectIdsDocument(int fd, std::span<const ProjectIdEntry> entries) {
    JsonWriter writer(fd, PROJECT_IDS_OUTPUT_BUFFER);
    return writeProjectIdsDocument(writer, entries);
}

}  // namespace orva

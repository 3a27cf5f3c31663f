// The two output documents and JsonWriter, the buffered writer that produces them
// byte for byte on a descriptor (standard output in the program).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "chat_listing.h"
#include "entry_store.h"
#include "scan_entries.h"

namespace orva {

inline constexpr std::size_t CATALOG_OUTPUT_BUFFER = 262144;
inline constexpr std::size_t PROJECT_IDS_OUTPUT_BUFFER = 131072;

inline constexpr std::string_view EMPTY_CATALOG_DOCUMENT =
    "{\"version\":1,\"truncated\":false,\"entries\":[]}\n";
inline constexpr std::string_view EMPTY_PROJECT_IDS_DOCUMENT = "{\"version\":1,\"entries\":[]}\n";

// The first failure of a document write. osError is the errno; 0 with failed set
// means the descriptor accepted zero bytes.
struct WriteResult {
    bool failed = false;
    int osError = 0;
};

// Shortest round-trip digits of value in plain positional notation, never with an
// exponent: 1180591620717411303424.0 is written 1180591620717411300000.
std::string formatNumber(double value);

class JsonWriter {
  public:
    JsonWriter(int fd, std::size_t capacity);
    ~JsonWriter();  // one last attempt to write what is buffered; its outcome is ignored
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    void raw(std::string_view bytes);
    void string(std::string_view text);  // writeJsonString
    void number(double value);
    void boolean(bool value);
    WriteResult finish();  // "]}\n", then everything buffered goes out
    const WriteResult& result() const { return result_; }

  private:
    void flushBuffer();

    int fd_;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    WriteResult result_;
};

// The documents through a writer made for them (CATALOG_OUTPUT_BUFFER or
// PROJECT_IDS_OUTPUT_BUFFER), which the driver makes before the work so that a
// document can be written whatever memory the workers left; or through one made here.
WriteResult writeCatalogDocument(JsonWriter& writer, std::span<const CatalogEntry> entries,
                                 bool truncated);
WriteResult writeProjectIdsDocument(JsonWriter& writer, std::span<const ProjectIdEntry> entries);
// The documents of the stored entries of a run: each chunk's entries belong to the
// listed files from its firstFile on, names and times taken from the listing.
WriteResult writeCatalogDocument(JsonWriter& writer, std::span<const ChatFile> files,
                                 std::span<const StoredChunk> chunks, bool truncated);
WriteResult writeProjectIdsDocument(JsonWriter& writer, std::span<const std::string> names,
                                    std::span<const StoredChunk> chunks);
WriteResult writeCatalogDocument(int fd, std::span<const CatalogEntry> entries, bool truncated);
WriteResult writeProjectIdsDocument(int fd, std::span<const ProjectIdEntry> entries);

}  // namespace orva

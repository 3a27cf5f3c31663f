// The scan-catalog worker: the catalog entry of one chat file, from bounded
// windows at its head and tail.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "chat_listing.h"
#include "entry_store.h"
#include "file_access.h"
#include "record_fields.h"
#include "scan_entries.h"

namespace orva {

inline constexpr std::size_t SCAN_WINDOW = 65536;
inline constexpr std::size_t WHOLE_READ_LIMIT = 131072;
inline constexpr std::size_t HEAD_RECORD_LIMIT = 10;
inline constexpr std::size_t TAIL_READ_SIZE = SCAN_WINDOW + 1;
// The read buffer of a catalog worker thread: the largest read, a whole small file.
inline constexpr std::size_t CATALOG_WORKER_BUFFER = WHOLE_READ_LIMIT;

// A chat file's early step: the guarded open, and the windows that the scan reads
// advised to the kernel, so that they come from disk while earlier files are
// scanned: the whole file up to WHOLE_READ_LIMIT, else the head window and the
// tail read. Nothing else is read ahead; the sidecar is read at the file's turn.
struct PreparedChat {
    OpenOutcome opened;
    bool tried = false;  // false: open it at its turn (never tried, or no descriptor was left)
};

// advise false leaves the kernel unadvised (see AdviceGate).
PreparedChat prepareChatFile(const std::string& path, bool advise = true);

// The catalog entry of one chat file: the early step, then the scan at the file's turn.
CatalogEntry scanSessionFile(const std::string& chatsDir, const ChatFile& file,
                             const SidecarNameSet& sidecarNames, std::vector<char>& buffer);
// The scan of a prepared file; path is chatsDir joined with the file's name.
CatalogEntry scanPreparedSessionFile(const std::string& chatsDir, const std::string& path,
                                     const ChatFile& file, PreparedChat prepared,
                                     const SidecarNameSet& sidecarNames, std::vector<char>& buffer);

// The head records of one file, kept by a thread from file to file: made for
// HEAD_RECORD_LIMIT records once, never grown, and never cleared but by count.
struct HeadRecords {
    std::array<RecordFields, HEAD_RECORD_LIMIT> records;
    std::size_t count = 0;

    std::span<const RecordFields> taken() const { return {records.data(), count}; }
    bool full() const { return count == HEAD_RECORD_LIMIT; }
};

// The entry of a prepared file without its name and time, which the listing has:
// the scan of scanPreparedSessionFile with the head records of the caller.
CatalogEntry scanSessionEntry(const std::string& chatsDir, const std::string& path,
                              PreparedChat prepared, const SidecarNameSet& sidecarNames,
                              std::vector<char>& buffer, HeadRecords& records);

// The scan-catalog worker of the pool (see runWorkers): each thread has its own read
// buffer, path and head records, and stores its entries compactly in chunk order,
// the fields of CatalogEntry in their order; names and times stay in the listing.
struct CatalogWorker {
    const std::string& chatsDir;
    const SidecarNameSet& sidecarNames;

    struct Thread {
        std::vector<char> buffer;
        std::string path;
        AdviceGate advice;
        std::unique_ptr<HeadRecords> records;
        EntryStore entries;
    };

    Thread start(std::size_t fileCount) const;
    PreparedChat prepare(const ChatFile& file, Thread& thread) const;
    bool heldBack(const PreparedChat& prepared) const { return !prepared.tried; }
    void finish(const ChatFile& file, PreparedChat prepared, Thread& thread) const;
    EntryStore end(Thread& thread) const { return std::move(thread.entries); }
};

struct TailSessionSource {
    std::string sourceType;  // possibly empty
    OptionalString sourceId;
};

std::optional<TailSessionSource> findTailSessionSource(std::string_view window, bool startsMidLine);

}  // namespace orva

// The scan-project-ids worker: session id and working directory of a chat file's
// first record, reading at most its first 65536 bytes.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "entry_store.h"
#include "file_access.h"
#include "record_fields.h"
#include "scan_entries.h"

namespace orva {

inline constexpr std::size_t HEAD_WINDOW = 65536;
// The read buffer of a project-id worker thread: one head window.
inline constexpr std::size_t HEAD_WORKER_BUFFER = HEAD_WINDOW;

// A chat file's early step: the guarded open, and its head window advised to the
// kernel (POSIX_FADV_WILLNEED), so that it comes from disk while earlier files are
// scanned.
struct PreparedHead {
    OpenOutcome opened;
    bool tried = false;  // false: open it at its turn (never tried, or no descriptor was left)
};

// advise false leaves the kernel unadvised (see AdviceGate).
PreparedHead prepareHeadFile(const std::string& path, bool advise = true);

// The early step, then the scan at the file's turn.
ProjectIdEntry scanHead(const std::string& chatsDir, std::string name, std::vector<char>& buffer);
// The scan of a prepared file; path is the chat directory joined with name.
ProjectIdEntry scanPreparedHead(const std::string& path, std::string name, PreparedHead prepared,
                                std::vector<char>& buffer);

// The scan-project-ids worker of the pool (see runWorkers): each thread has its own
// read buffer and path, and stores its entries compactly in chunk order, sessionId
// and cwd; the names stay in the listing.
struct HeadWorker {
    const std::string& chatsDir;

    struct Thread {
        std::vector<char> buffer;
        std::string path;
        AdviceGate advice;
        RecordFields record;  // the first record of the file at hand, its buffers reused
        EntryStore entries;
    };

    Thread start(std::size_t fileCount) const;
    PreparedHead prepare(const std::string& name, Thread& thread) const;
    bool heldBack(const PreparedHead& prepared) const { return !prepared.tried; }
    void finish(const std::string& name, PreparedHead prepared, Thread& thread) const;
    EntryStore end(Thread& thread) const { return std::move(thread.entries); }
};

}  // namespace orva

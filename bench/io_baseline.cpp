// orva-io-baseline: the file-system work of orva-session-scan without any of its
// parsing, as the yardstick of the end-to-end benchmark (bench/catalog_bench.py).
//
//   orva-io-baseline <scan-catalog|scan-project-ids> DIR [--threads N] [--read-ahead N]
//
// It lists the directory with the scanner's own listing, runs the scanner's worker
// pool with the default thread count and read-ahead, and per file makes the system
// calls of the real worker in the same order and reads the same windows into the
// same reused buffer: the early step of the scanner's own (lstat, open, fstat and
// the advice of the windows while files come from disk, up to the read-ahead depth
// ahead of the file's turn),
// then at its turn the head read (the whole file up to 131072 bytes) and the
// 65537-byte tail read of a larger file, the second fstat, close, and for the
// catalog the sidecar whose name the listing saw. Nothing read is looked at. The
// one line it prints says how much was read, so that the work cannot be elided.
// --read-ahead 1 is the one-file-at-a-time reading of a scanner without read-ahead.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "chat_listing.h"
#include "cpu_count.h"
#include "file_access.h"
#include "head_scan.h"
#include "scan_options.h"
#include "session_scan.h"
#include "title_sidecar.h"
#include "worker_pool.h"

namespace {

using namespace orva;

struct FileWork {
    std::uint64_t bytes = 0;
    std::uint32_t reads = 0;
};

void readAt(int fd, std::int64_t offset, std::size_t size, std::vector<char>& buffer,
            FileWork& work) {
    const ReadOutcome read = readFullAt(fd, offset, readWindow(buffer, size));
    work.bytes += read.count;
    ++work.reads;
}

void readSidecar(const std::string& path, FileWork& work) {
    const OpenOutcome opened = openRegularFile(path);
    if (opened.verdict != OpenVerdict::Opened) return;
    const auto size = static_cast<std::size_t>(std::max<std::int64_t>(opened.stamp.size, 0));
    std::string content(std::min(size, SIDECAR_SIZE_LIMIT) + 1, '\0');
    const ReadOutcome read =
        readFullAt(opened.fd.get(), 0, std::span<char>(content.data(), content.size()));
    work.bytes += read.count;
    ++work.reads;
}

// A thread's buffer and path, and its work per file.
struct ThreadWork {
    std::vector<char> buffer;
    std::string path;
    AdviceGate advice;
    std::vector<FileWork> files;
};

ThreadWork startThread(std::size_t fileCount, std::size_t bufferCapacity) {
    ThreadWork thread;
    thread.buffer.reserve(bufferCapacity);
    thread.files.reserve(fileCount);
    return thread;
}

// The catalog worker's early step (its own: the same open and the same advice)
// and its reads, with nothing parsed.
struct CatalogIo {
    const std::string& dir;
    const SidecarNameSet& sidecars;

    ThreadWork start(std::size_t fileCount) const {
        return startThread(fileCount, CATALOG_WORKER_BUFFER);
    }
    PreparedChat prepare(const ChatFile& file, ThreadWork& thread) const {
        joinPathInto(thread.path, dir, file.name);
        return prepareChatFile(thread.path, thread.advice.next());
    }
    bool heldBack(const PreparedChat& prepared) const { return !prepared.tried; }
    void finish(const ChatFile& file, PreparedChat prepared, ThreadWork& thread) const {
        FileWork work;
        read(file, prepared, thread, work);
        // The scanner takes the session id from the first record; in the benchmark's
        // corpus it is the file's stem.
        const std::string sidecarName =
            file.name.substr(0, file.name.size() - SESSION_SUFFIX.size()) +
            std::string(SIDECAR_SUFFIX);
        if (sidecars.contains(sidecarName)) readSidecar(joinPath(dir, sidecarName), work);
        thread.files.push_back(work);
    }
    std::vector<FileWork> end(ThreadWork& thread) const { return std::move(thread.files); }

    void read(const ChatFile& file, PreparedChat& prepared, ThreadWork& thread,
              FileWork& work) const {
        if (!prepared.tried) {
            joinPathInto(thread.path, dir, file.name);
            prepared.opened = openRegularFile(thread.path);
        }
        const OpenOutcome& opened = prepared.opened;
        if (opened.verdict != OpenVerdict::Opened) return;
        const auto size = static_cast<std::uint64_t>(opened.stamp.size);
        if (size == 0) return;
        readAt(opened.fd.get(), 0, size <= WHOLE_READ_LIMIT ? size : SCAN_WINDOW, thread.buffer,
               work);
        if (size > WHOLE_READ_LIMIT) {
            readAt(opened.fd.get(), static_cast<std::int64_t>(size - TAIL_READ_SIZE),
                   TAIL_READ_SIZE, thread.buffer, work);
        }
        struct stat status {};
        ::fstat(opened.fd.get(), &status);
        prepared.opened.fd.reset();
    }
};

struct HeadIo {
    const std::string& dir;

    ThreadWork start(std::size_t fileCount) const {
        return startThread(fileCount, HEAD_WORKER_BUFFER);
    }
    PreparedHead prepare(const std::string& name, ThreadWork& thread) const {
        joinPathInto(thread.path, dir, name);
        return prepareHeadFile(thread.path, thread.advice.next());
    }
    bool heldBack(const PreparedHead& prepared) const { return !prepared.tried; }
    void finish(const std::string& name, PreparedHead prepared, ThreadWork& thread) const {
        FileWork work;
        if (!prepared.tried) {
            joinPathInto(thread.path, dir, name);
            prepared.opened = openRegularFile(thread.path);
        }
        const OpenOutcome& opened = prepared.opened;
        if (opened.verdict == OpenVerdict::Opened && opened.stamp.size > 0) {
            readAt(opened.fd.get(), 0,
                   std::min<std::size_t>(static_cast<std::size_t>(opened.stamp.size), HEAD_WINDOW),
                   thread.buffer, work);
        }
        thread.files.push_back(work);
    }
    std::vector<FileWork> end(ThreadWork& thread) const { return std::move(thread.files); }
};

template <class Outcome>
int report(const Outcome& outcome, std::size_t readAhead) {
    FileWork total;
    std::size_t files = 0;
    for (const auto& chunk : outcome.chunks) {
        for (const FileWork& work : chunk.results) {
            total.bytes += work.bytes;
            total.reads += work.reads;
        }
        files += chunk.results.size();
    }
    std::printf("{\"files\":%zu,\"reads\":%u,\"bytes\":%llu,\"readAhead\":%zu}\n", files,
                total.reads, static_cast<unsigned long long>(total.bytes), readAhead);
    return 0;
}

int usage() {
    std::fputs(
        "usage: orva-io-baseline <scan-catalog|scan-project-ids> DIR [--threads N] [--read-ahead "
        "N]\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 == 0) return usage();
    const std::string_view mode = argv[1];
    const std::string dir = argv[2];
    unsigned threads = defaultThreadCount();
    std::size_t wantedReadAhead = DEFAULT_READ_AHEAD;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string_view option = argv[i];
        const unsigned long value = std::stoul(argv[i + 1]);
        if (option == "--threads") {
            threads = static_cast<unsigned>(
                std::clamp(value, 1UL, static_cast<unsigned long>(MAX_THREADS)));
        } else if (option == "--read-ahead") {
            wantedReadAhead = std::max(value, 1UL);
        } else {
            return usage();
        }
    }
    if (mode == "scan-catalog") {
        const CatalogListing listing =
            listCatalogFiles(dir, std::nullopt, false, DEFAULT_MAX_FILES);
        if (listing.result != ListingResult::Listed) return 1;
        const std::span<const ChatFile> files(listing.files);
        const std::size_t readAhead =
            fitReadAhead(wantedReadAhead, planChunks(files.size(), threads).threadCount, 1);
        const auto pool =
            runWorkers(files, threads, readAhead, CatalogIo{dir, listing.sidecarNames});
        return report(pool, readAhead);
    }
    if (mode == "scan-project-ids") {
        const ProjectListing listing = listProjectFiles(dir, DEFAULT_MAX_FILES);
        if (listing.result != ListingResult::Listed) return 1;
        const std::span<const std::string> names(listing.names);
        const std::size_t readAhead =
            fitReadAhead(wantedReadAhead, planChunks(names.size(), threads).threadCount, 0);
        const auto pool = runWorkers(names, threads, readAhead, HeadIo{dir});
        return report(pool, readAhead);
    }
    return usage();
}

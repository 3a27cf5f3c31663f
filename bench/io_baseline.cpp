// orva-io-baseline: the file-system work of orva-session-scan without any of its
// parsing, as the yardstick of the end-to-end benchmark (bench/catalog_bench.py).
//
//   orva-io-baseline <scan-catalog|scan-project-ids> DIR [--threads N]
//
// It lists the directory with the scanner's own listing, runs the scanner's worker
// pool with the default thread count, and per file makes the system calls of the
// real worker in the same order and reads the same windows into the same reused
// buffer: lstat, open, fstat, the head read (the whole file up to 131072 bytes) and
// the 65537-byte tail read of a larger file, the second fstat, close, and for the
// catalog the sidecar whose name the listing saw. Nothing read is looked at. The
// one line it prints says how much was read, so that the work cannot be elided.
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
    buffer.resize(size);
    const ReadOutcome read = readFullAt(fd, offset, std::span<char>(buffer.data(), size));
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

FileWork catalogFile(const std::string& dir, const ChatFile& file, const SidecarNameSet& sidecars,
                     std::vector<char>& buffer) {
    FileWork work;
    {
        const OpenOutcome opened = openRegularFile(joinPath(dir, file.name));
        if (opened.verdict != OpenVerdict::Opened) return work;
        const auto size = static_cast<std::uint64_t>(opened.stamp.size);
        if (size == 0) return work;
        readAt(opened.fd.get(), 0, size <= WHOLE_READ_LIMIT ? size : SCAN_WINDOW, buffer, work);
        if (size > WHOLE_READ_LIMIT) {
            readAt(opened.fd.get(), static_cast<std::int64_t>(size - TAIL_READ_SIZE),
                   TAIL_READ_SIZE, buffer, work);
        }
        struct stat status {};
        ::fstat(opened.fd.get(), &status);
    }
    // The scanner takes the session id from the first record; in the benchmark's
    // corpus it is the file's stem.
    const std::string sidecarName =
        file.name.substr(0, file.name.size() - SESSION_SUFFIX.size()) + std::string(SIDECAR_SUFFIX);
    if (sidecars.contains(sidecarName)) readSidecar(joinPath(dir, sidecarName), work);
    return work;
}

FileWork headFile(const std::string& dir, const std::string& name, std::vector<char>& buffer) {
    FileWork work;
    const OpenOutcome opened = openRegularFile(joinPath(dir, name));
    if (opened.verdict != OpenVerdict::Opened || opened.stamp.size == 0) return work;
    readAt(opened.fd.get(), 0,
           std::min<std::size_t>(static_cast<std::size_t>(opened.stamp.size), HEAD_WINDOW), buffer,
           work);
    return work;
}

int report(std::span<const FileWork> results) {
    FileWork total;
    for (const FileWork& work : results) {
        total.bytes += work.bytes;
        total.reads += work.reads;
    }
    std::printf("{\"files\":%zu,\"reads\":%u,\"bytes\":%llu}\n", results.size(), total.reads,
                static_cast<unsigned long long>(total.bytes));
    return 0;
}

int usage() {
    std::fputs("usage: orva-io-baseline <scan-catalog|scan-project-ids> DIR [--threads N]\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5) return usage();
    const std::string_view mode = argv[1];
    const std::string dir = argv[2];
    unsigned threads = defaultThreadCount();
    if (argc == 5) {
        if (std::string_view(argv[3]) != "--threads") return usage();
        threads = static_cast<unsigned>(
            std::clamp(std::stoul(argv[4]), 1UL, static_cast<unsigned long>(MAX_THREADS)));
    }
    if (mode == "scan-catalog") {
        const CatalogListing listing =
            listCatalogFiles(dir, std::nullopt, false, DEFAULT_MAX_FILES);
        if (listing.result != ListingResult::Listed) return 1;
        const auto pool = runWorkers<FileWork>(
            std::span<const ChatFile>(listing.files), threads, CATALOG_WORKER_BUFFER,
            [&](const ChatFile& file, std::vector<char>& buffer) {
                return catalogFile(dir, file, listing.sidecarNames, buffer);
            });
        return report(pool.results);
    }
    if (mode == "scan-project-ids") {
        const ProjectListing listing = listProjectFiles(dir, DEFAULT_MAX_FILES);
        if (listing.result != ListingResult::Listed) return 1;
        const auto pool = runWorkers<FileWork>(
            std::span<const std::string>(listing.names), threads, HEAD_WORKER_BUFFER,
            [&](const std::string& name, std::vector<char>& buffer) {
                return headFile(dir, name, buffer);
            });
        return report(pool.results);
    }
    return usage();
}

// orva-session-scan: catalogs a directory of chat-session transcripts and prints
// one JSON document on standard output.
//
// The run is a straight line: parse the argument vector, list the chat directory
// once, run the per-file worker of the subcommand on a pool of threads, write the
// document after every thread has ended.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "chat_listing.h"
#include "cpu_count.h"
#include "head_scan.h"
#include "json_writer.h"
#include "scan_options.h"
#include "session_scan.h"
#include "source_digest.h"
#include "text.h"
#include "worker_pool.h"

namespace {

using namespace orva;

constexpr std::string_view USAGE =
    "usage: orva-session-scan <scan-catalog|scan-project-ids|--source-sha256> [chats_dir] "
    "[options]\n";

enum ExitStatus { EXIT_OK = 0, EXIT_RUN_ERROR = 1, EXIT_USAGE = 2, EXIT_INTERNAL = 101 };

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void printError(std::string_view text) {
    std::string line(text);
    line += '\n';
    writeAll(STDERR_FILENO, line);
}

// "orva-session-scan: Permission denied (os error 13)"
std::string osErrorText(int error) {
    return std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")";
}

int reportRunError(const WriteResult& result) {
    printError("orva-session-scan: " + (result.osError != 0
                                            ? osErrorText(result.osError)
                                            : std::string("failed to write the buffered data")));
    return EXIT_RUN_ERROR;
}

int writeFixedOutput(std::string_view text) {
    if (writeAll(STDOUT_FILENO, text)) return EXIT_OK;
    printError("orva-session-scan: failed to write to standard output: " + osErrorText(errno));
    return EXIT_INTERNAL;
}

// An exception that reached main (an allocation that failed, say). The line is
// assembled without allocating, since memory may be what ran out.
void reportInternalFault(const char* what) {
    char line[512];
    const int length =
        std::snprintf(line, sizeof line, "orva-session-scan: internal error: %s\n", what);
    if (length <= 0) return;
    const std::size_t size = std::min(static_cast<std::size_t>(length), sizeof line - 1);
    line[size - 1] = '\n';  // a description too long for the line is cut, not its end
    writeAll(STDERR_FILENO, std::string_view(line, size));
}

int reportSpawnFailure(int error) {
    printError("orva-session-scan: failed to spawn thread: " + osErrorText(error));
    return EXIT_INTERNAL;
}

// A chunk lost to a fault inside its worker is left out; the rest of the document
// stands. Each line says how many entries are missing. Nothing here allocates: the
// fault was most likely memory running out.
void reportFaults(std::span<const ChunkFault> faults) {
    for (const ChunkFault& fault : faults) {
        constexpr std::string_view PREFIX = "orva-session-scan: ";
        const FaultLine description = describeFault(fault);
        std::array<char, PREFIX.size() + sizeof description.text + 1> line;
        std::memcpy(line.data(), PREFIX.data(), PREFIX.size());
        std::memcpy(line.data() + PREFIX.size(), description.text.data(), description.size);
        const std::size_t size = PREFIX.size() + description.size;
        line[size] = '\n';
        writeAll(STDERR_FILENO, std::string_view(line.data(), size + 1));
    }
}

// The stored entries of the chunks that finished, in listing order, into a list
// reserved before the work.
template <class Outcome>
void collectChunks(const Outcome& pool, std::vector<StoredChunk>& chunks) {
    for (const auto& chunk : pool.chunks) chunks.push_back({chunk.firstFile, &chunk.results});
}

int runCatalog(const ScanOptions& options) {
    const CatalogListing listing = listCatalogFiles(options.chatsDir, options.cursorMtime,
                                                    options.cursorInclusive, options.maxFiles);
    if (listing.result == ListingResult::DirectoryMissing)
        return writeFixedOutput(EMPTY_CATALOG_DOCUMENT);
    if (listing.result == ListingResult::OpenFailed) {
        printError("orva-session-scan: " + osErrorText(listing.error));
        return EXIT_RUN_ERROR;
    }
    JsonWriter writer(STDOUT_FILENO, CATALOG_OUTPUT_BUFFER);
    const std::span<const ChatFile> files(listing.files);
    std::vector<StoredChunk> chunks;
    chunks.reserve(MAX_THREADS);
    // Each thread holds its read-ahead and at most one sidecar open.
    const std::size_t readAhead =
        fitReadAhead(DEFAULT_READ_AHEAD, planChunks(files.size(), options.threads).threadCount, 1);
    auto pool = runWorkers(files, options.threads, readAhead,
                           CatalogWorker{options.chatsDir, listing.sidecarNames});
    if (pool.spawnError != 0) return reportSpawnFailure(pool.spawnError);
    reportFaults(pool.faults);
    collectChunks(pool, chunks);
    const WriteResult written = writeCatalogDocument(writer, files, chunks, listing.truncated);
    return written.failed ? reportRunError(written) : EXIT_OK;
}

int runProjectIds(const ScanOptions& options) {
    const ProjectListing listing = listProjectFiles(options.chatsDir, options.maxFiles);
    if (listing.result == ListingResult::DirectoryMissing)
        return writeFixedOutput(EMPTY_PROJECT_IDS_DOCUMENT);
    if (listing.result == ListingResult::OpenFailed) {
        printError("orva-session-scan: " + osErrorText(listing.error));
        return EXIT_RUN_ERROR;
    }
    JsonWriter writer(STDOUT_FILENO, PROJECT_IDS_OUTPUT_BUFFER);
    const std::span<const std::string> names(listing.names);
    std::vector<StoredChunk> chunks;
    chunks.reserve(MAX_THREADS);
    const std::size_t readAhead =
        fitReadAhead(DEFAULT_READ_AHEAD, planChunks(names.size(), options.threads).threadCount, 0);
    auto pool = runWorkers(names, options.threads, readAhead, HeadWorker{options.chatsDir});
    if (pool.spawnError != 0) return reportSpawnFailure(pool.spawnError);
    reportFaults(pool.faults);
    collectChunks(pool, chunks);
    const WriteResult written = writeProjectIdsDocument(writer, names, chunks);
    return written.failed ? reportRunError(written) : EXIT_OK;
}

int run(std::span<const std::string_view> words) {
    if (words.size() < 2) {
        writeAll(STDERR_FILENO, USAGE);
        return EXIT_USAGE;
    }
    if (words[1] == "--source-sha256") {
        return writeFixedOutput(std::string(SOURCE_SHA256) + "\n");
    }
    if (words.size() < 3) {
        writeAll(STDERR_FILENO, USAGE);
        return EXIT_USAGE;
    }
    ScanOptions options;
    options.chatsDir = std::string(words[2]);
    options.threads = defaultThreadCount();
    if (const auto unknown = parseOptionWords(words.subspan(3), options)) {
        printError("unknown option: " + std::string(*unknown));
        return EXIT_USAGE;
    }
    if (words[1] == "scan-catalog") return runCatalog(options);
    if (words[1] == "scan-project-ids") return runProjectIds(options);
    printError("unknown subcommand: " + std::string(words[1]));
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    // A closed reader must show up as a write error, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        std::vector<std::string_view> words(argv, argv + argc);
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (!isValidUtf8(words[i])) {
                printError("orva-session-scan: argument " + std::to_string(i) +
                           " is not valid UTF-8");
                return EXIT_INTERNAL;
            }
        }
        return run(words);
    } catch (const std::exception& fault) {
        reportInternalFault(fault.what());
    } catch (...) {
        reportInternalFault("an exception of unknown type");
    }
    return EXIT_INTERNAL;
}

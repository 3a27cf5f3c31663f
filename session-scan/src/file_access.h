// Guarded access to the files of the chat directory: only regular files reached
// without a symbolic link, and still the same file once opened.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orva {

// Owns one descriptor and closes it exactly once.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

  private:
    int fd_ = -1;
};

// Size and times of an opened file, from the status of its descriptor.
struct FileStamp {
    std::int64_t size = 0;
    std::int64_t mtimeSec = 0;
    std::int64_t mtimeNsec = 0;
    std::int64_t ctimeSec = 0;
    std::int64_t ctimeNsec = 0;

    bool operator==(const FileStamp&) const = default;
};

FileStamp fileStampOf(const struct stat& status);

enum class OpenVerdict { Opened, Skip, Fallback };

struct OpenOutcome {
    OpenVerdict verdict = OpenVerdict::Fallback;
    FileDescriptor fd;  // open only for Opened
    FileStamp stamp;    // meaningful only for Opened
    int error = 0;      // the errno of the call that failed, for Skip and Fallback
};

OpenOutcome openRegularFile(const std::string& path);

// A Fallback because the process or the system had no descriptor left (EMFILE,
// ENFILE): a verdict on the moment, not on the file.
bool ranOutOfDescriptors(const OpenOutcome& outcome);

// Tells the kernel that [offset, offset + length) of the file will be read soon
// (POSIX_FADV_WILLNEED), so that it starts reading it from disk now. Only advice:
// its failure changes nothing.
void adviseWillNeed(int fd, std::int64_t offset, std::size_t length);

// Whether a thread advises the windows of the files it prepares: it does while its
// files come from disk, and stops while they all come from the page cache, where
// advice costs a system call and a walk of the cache per window for nothing. Judged
// every ADVICE_CHECK_INTERVAL files by the blocks that this thread has read from
// disk (getrusage, RUSAGE_THREAD), its advice included: none since the last look
// means that the files were cached.
inline constexpr std::size_t ADVICE_CHECK_INTERVAL = 32;

class AdviceGate {
  public:
    // Whether to advise the next file; called once per file prepared.
    bool next();

  private:
    std::size_t files_ = 0;
    long blocksRead_ = -1;  // at the last look; -1 before the first
    bool advising_ = true;
};

// The read-ahead depth that keeps threadCount threads, each holding `depth` files
// open plus alsoHeld more descriptors (a sidecar, say), within the soft
// RLIMIT_NOFILE beside the descriptors already open below it (a new descriptor
// takes the lowest free number below the limit). At least 1, one file at a time;
// at most wanted. Descriptors numbered OPEN_DESCRIPTOR_PROBE and above are not
// counted; DESCRIPTOR_RESERVE are kept free for what a library may open meanwhile
// (a sanitizer's runtime, say).
inline constexpr std::size_t OPEN_DESCRIPTOR_PROBE = 4096;
inline constexpr std::size_t DESCRIPTOR_RESERVE = 4;
std::size_t fitReadAhead(std::size_t wanted, std::size_t threadCount, std::size_t alsoHeld);

// Bytes placed at the start of the buffer, or the errno of a failure (error != 0).
// A count below the buffer's size means the file ended first; it is not an error.
struct ReadOutcome {
    std::size_t count = 0;
    int error = 0;
};

ReadOutcome readFullAt(int fd, std::int64_t offset, std::span<char> buffer);

// The first size bytes of a read buffer that a thread keeps from file to file. The
// buffer only grows, so that its bytes are zeroed once, not before every read.
std::span<char> readWindow(std::vector<char>& buffer, std::size_t size);

// dir joined with name: one '/' between them unless dir is empty or already ends
// with '/'; a name that begins with '/' replaces dir.
std::string joinPath(std::string_view dir, std::string_view name);
// The same into path, whose capacity is reused.
void joinPathInto(std::string& path, std::string_view dir, std::string_view name);

}  // namespace orva

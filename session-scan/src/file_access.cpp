#include "file_access.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

#ifdef ORVA_FILE_ACCESS_HOOKS
#include "file_access_hooks.h"
#endif

namespace orva {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

// close is not retried: on Linux the descriptor is gone even when it reports EINTR.
void FileDescriptor::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

FileStamp fileStampOf(const struct stat& status) {
    FileStamp stamp;
    stamp.size = static_cast<std::int64_t>(status.st_size);
    stamp.mtimeSec = static_cast<std::int64_t>(status.st_mtim.tv_sec);
    stamp.mtimeNsec = static_cast<std::int64_t>(status.st_mtim.tv_nsec);
    stamp.ctimeSec = static_cast<std::int64_t>(status.st_ctim.tv_sec);
    stamp.ctimeNsec = static_cast<std::int64_t>(status.st_ctim.tv_nsec);
    return stamp;
}

namespace {

OpenOutcome verdict(OpenVerdict value, int error = 0) {
    OpenOutcome outcome;
    outcome.verdict = value;
    outcome.error = error;
    return outcome;
}

// The descriptors open among the first `limit`: poll reports POLLNVAL for the others.
std::size_t openDescriptorsBelow(std::size_t limit) {
    constexpr std::size_t BATCH = 256;
    std::array<pollfd, BATCH> probe{};
    std::size_t open = 0;
    for (std::size_t first = 0; first < limit; first += BATCH) {
        const std::size_t count = std::min(BATCH, limit - first);
        for (std::size_t i = 0; i < count; ++i) probe[i] = {static_cast<int>(first + i), 0, 0};
        if (::poll(probe.data(), count, 0) < 0) return limit;  // count them all as taken
        for (std::size_t i = 0; i < count; ++i) open += (probe[i].revents & POLLNVAL) == 0;
    }
    return open;
}

}  // namespace

OpenOutcome openRegularFile(const std::string& path) {
    // The kernel would see only the bytes before a NUL: a different path.
    if (path.find('\0') != std::string::npos) return verdict(OpenVerdict::Fallback);

    struct stat linkStatus {};
    if (::lstat(path.c_str(), &linkStatus) != 0) {
        return verdict(errno == ENOENT ? OpenVerdict::Skip : OpenVerdict::Fallback, errno);
    }
    if (!S_ISREG(linkStatus.st_mode)) return verdict(OpenVerdict::Skip);

#ifdef ORVA_FILE_ACCESS_HOOKS
    if (hooks::betweenStatusAndOpen != nullptr) hooks::betweenStatusAndOpen(path);
#endif

    // O_NONBLOCK: a FIFO or device swapped in after the lstat must not stall the open.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        return verdict(
            errno == ENOENT || errno == ELOOP ? OpenVerdict::Skip : OpenVerdict::Fallback, errno);
    }

    struct stat openStatus {};
    if (::fstat(fd.get(), &openStatus) != 0) return verdict(OpenVerdict::Fallback, errno);
    if (!S_ISREG(openStatus.st_mode) || openStatus.st_dev != linkStatus.st_dev ||
        openStatus.st_ino != linkStatus.st_ino) {
        return verdict(OpenVerdict::Skip);
    }

    OpenOutcome outcome;
    outcome.verdict = OpenVerdict::Opened;
    outcome.fd = std::move(fd);
    outcome.stamp = fileStampOf(openStatus);
    return outcome;
}

bool ranOutOfDescriptors(const OpenOutcome& outcome) {
    return outcome.verdict == OpenVerdict::Fallback &&
           (outcome.error == EMFILE || outcome.error == ENFILE);
}

void adviseWillNeed(int fd, std::int64_t offset, std::size_t length) {
#ifdef ORVA_FILE_ACCESS_HOOKS
    if (hooks::onAdvise != nullptr) hooks::onAdvise(fd, offset, length);
#endif
    ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                    POSIX_FADV_WILLNEED);
}

bool AdviceGate::next() {
    if (files_++ % ADVICE_CHECK_INTERVAL == 0) {
        rusage usage{};
        if (::getrusage(RUSAGE_THREAD, &usage) == 0) {
            advising_ = blocksRead_ < 0 || usage.ru_inblock != blocksRead_;
            blocksRead_ = usage.ru_inblock;
        }
    }
    return advising_;
}

std::size_t fitReadAhead(std::size_t wanted, std::size_t threadCount, std::size_t alsoHeld) {
    rlimit limit{};
    if (wanted <= 1 || threadCount == 0) return 1;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
    const std::size_t soft = limit.rlim_cur == RLIM_INFINITY
                                 ? std::numeric_limits<std::size_t>::max()
                                 : static_cast<std::size_t>(limit.rlim_cur);
    const std::size_t taken =
        openDescriptorsBelow(std::min(soft, OPEN_DESCRIPTOR_PROBE)) + DESCRIPTOR_RESERVE;
    if (soft <= taken) return 1;
    const std::size_t perThread = (soft - taken) / threadCount;
    if (perThread <= alsoHeld) return 1;
    return std::clamp<std::size_t>(perThread - alsoHeld, 1, wanted);
}

ReadOutcome readFullAt(int fd, std::int64_t offset, std::span<char> buffer) {
#ifdef ORVA_FILE_ACCESS_HOOKS
    if (hooks::onRead != nullptr) hooks::onRead(fd, offset, buffer.size());
#endif
    ReadOutcome outcome;
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        outcome.error = errno;
        return outcome;
    }
    while (outcome.count < buffer.size()) {
        const ssize_t got =
            ::read(fd, buffer.data() + outcome.count, buffer.size() - outcome.count);
        if (got < 0) {
            if (errno == EINTR) continue;
            outcome.error = errno;
            return outcome;
        }
        if (got == 0) break;
        outcome.count += static_cast<std::size_t>(got);
    }
    return outcome;
}

std::span<char> readWindow(std::vector<char>& buffer, std::size_t size) {
    if (buffer.size() < size) buffer.resize(size);
    return {buffer.data(), size};
}

std::string joinPath(std::string_view dir, std::string_view name) {
    std::string path;
    joinPathInto(path, dir, name);
    return path;
}

void joinPathInto(std::string& path, std::string_view dir, std::string_view name) {
    path.clear();
    if (!dir.empty() && !name.starts_with('/')) {
        path.append(dir);
        if (!dir.ends_with('/')) path.push_back('/');
    }
    path.append(name);
}

}  // namespace orva

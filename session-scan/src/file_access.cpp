#include "file_access.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

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

OpenOutcome verdict(OpenVerdict value) {
    OpenOutcome outcome;
    outcome.verdict = value;
    return outcome;
}

}  // namespace

OpenOutcome openRegularFile(const std::string& path) {
    // The kernel would see only the bytes before a NUL: a different path.
    if (path.find('\0') != std::string::npos) return verdict(OpenVerdict::Fallback);

    struct stat linkStatus {};
    if (::lstat(path.c_str(), &linkStatus) != 0) {
        return verdict(errno == ENOENT ? OpenVerdict::Skip : OpenVerdict::Fallback);
    }
    if (!S_ISREG(linkStatus.st_mode)) return verdict(OpenVerdict::Skip);

#ifdef ORVA_FILE_ACCESS_HOOKS
    if (hooks::betweenStatusAndOpen != nullptr) hooks::betweenStatusAndOpen(path);
#endif

    // O_NONBLOCK: a FIFO or device swapped in after the lstat must not stall the open.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) return verdict(errno == ENOENT || errno == ELOOP ? OpenVerdict::Skip : OpenVerdict::Fallback);

    struct stat openStatus {};
    if (::fstat(fd.get(), &openStatus) != 0) return verdict(OpenVerdict::Fallback);
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

ReadOutcome readFullAt(int fd, std::int64_t offset, std::span<char> buffer) {
    ReadOutcome outcome;
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        outcome.error = errno;
        return outcome;
    }
    while (outcome.count < buffer.size()) {
        const ssize_t got = ::read(fd, buffer.data() + outcome.count, buffer.size() - outcome.count);
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

std::string joinPath(std::string_view dir, std::string_view name) {
    if (dir.empty() || name.starts_with('/')) return std::string(name);
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path.append(dir);
    if (!dir.ends_with('/')) path.push_back('/');
    path.append(name);
    return path;
}

}  // namespace orva

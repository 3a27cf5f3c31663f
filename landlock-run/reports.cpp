#include "reports.h"

#include <signal.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

constexpr char PREFIX[] = "orva-landlock-run: ";
constexpr int STDERR_FD = 2;
constexpr int STATUS_LINE_SIZE = 128;

// Keeps SIGPIPE blocked while one report or status line is written, so that a reader
// that has gone shows up as EPIPE (a reported failure and LAUNCHER_FAILURE) instead of
// killing the launcher, and takes back the SIGPIPE that the write raised. The signal
// mask, the dispositions and the pending signals that a command inherits afterwards
// are exactly those the launcher was started with.
class BrokenPipeGuard {
  public:
    BrokenPipeGuard() {
        sigemptyset(&pipe_only_);
        sigaddset(&pipe_only_, SIGPIPE);
        sigprocmask(SIG_BLOCK, &pipe_only_, &saved_mask_);
        pending_before_ = sigpipe_pending();
    }
    BrokenPipeGuard(const BrokenPipeGuard&) = delete;
    BrokenPipeGuard& operator=(const BrokenPipeGuard&) = delete;
    ~BrokenPipeGuard() {
        const int saved_errno = errno;
        if (!pending_before_ && sigpipe_pending()) {
            const timespec no_wait{};
            sigtimedwait(&pipe_only_, nullptr, &no_wait);
        }
        sigprocmask(SIG_SETMASK, &saved_mask_, nullptr);
        errno = saved_errno;
    }

  private:
    static bool sigpipe_pending() {
        sigset_t pending;
        return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }

    sigset_t pipe_only_;
    sigset_t saved_mask_;
    bool pending_before_;
};

iovec piece(const char* text) {
    return iovec{const_cast<char*>(text), std::strlen(text)};
}

// Writes the pieces of one line with a single writev where the system allows,
// finishing a short write piece by piece. Errors are dropped: standard error is
// the last channel there is.
void write_line(iovec* parts, int count) {
    const BrokenPipeGuard guard;
    while (count > 0) {
        ssize_t written = writev(STDERR_FD, parts, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        auto left = static_cast<size_t>(written);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
}

}  // namespace

void report_message(const char* text) {
    const int saved = errno;
    iovec parts[] = {piece(PREFIX), piece(text), piece("\n")};
    write_line(parts, 3);
    errno = saved;
}

void report_error(const char* text) {
    const int saved = errno;
    iovec parts[] = {piece(PREFIX), piece(text), piece(": "), piece(std::strerror(saved)),
                     piece("\n")};
    write_line(parts, 5);
    errno = saved;
}

int fail(const char* text) {
    report_message(text);
    return LAUNCHER_FAILURE;
}

int fail_with_error(const char* text) {
    report_error(text);
    return LAUNCHER_FAILURE;
}

int write_all(int fd, const char* data, unsigned long len) {
    const BrokenPipeGuard guard;
    while (len > 0) {
        ssize_t written = write(fd, data, len);
        if (written < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (written == 0) {  // no progress and no error: give up rather than spin
            errno = EIO;
            return -1;
        }
        data += written;
        len -= static_cast<unsigned long>(written);
    }
    return 0;
}

int write_status_line(int fd, const char* state, std::int64_t abi) {
    if (fd < 0) return 0;
    char line[STATUS_LINE_SIZE];
    int length =
        std::snprintf(line, sizeof line, "{\"state\":\"%s\",\"abi\":%" PRId64 "}\n", state, abi);
    if (length < 0 || length >= STATUS_LINE_SIZE) {
        if (length >= 0) errno = EOVERFLOW;
    } else if (write_all(fd, line, static_cast<unsigned long>(length)) == 0) {
        return 0;
    }
    return fail_with_error("cannot write execution status");
}

void close_keeping_errno(int fd) {
    const int saved = errno;
    close(fd);
    errno = saved;
}

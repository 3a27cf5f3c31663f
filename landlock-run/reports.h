// The launcher's two message forms on standard error and its status-line writer.
#pragma once

#include <cstdint>

// The exit status of every failure of the launcher itself.
constexpr int LAUNCHER_FAILURE = 125;

// "orva-landlock-run: <text>\n", one write on standard error.
void report_message(const char* text);
// "orva-landlock-run: <text>: <strerror(errno)>\n", for the errno the failing call left.
void report_error(const char* text);
// report_message, then LAUNCHER_FAILURE: a failing step ends with `return fail(...)`.
int fail(const char* text);
// report_error, then LAUNCHER_FAILURE.
int fail_with_error(const char* text);
// {"state":"<state>","abi":<abi>}\n on fd; nothing for a negative fd. 0, or
// LAUNCHER_FAILURE after reporting "cannot write execution status".
int write_status_line(int fd, const char* state, std::int64_t abi);
// Writes all of len bytes, retrying EINTR and short writes. 0, or -1 with errno set.
int write_all(int fd, const char* data, unsigned long len);

// Closes fd while keeping errno as the failing call left it, so that the report
// that follows names that call and not the close.
void close_keeping_errno(int fd);

// Owns one descriptor and closes it, keeping errno, on every path out of a scope.
struct ScopedFd {
    int fd;
    explicit ScopedFd(int descriptor) : fd(descriptor) {}
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ~ScopedFd() { close_now(); }
    // Closes ahead of the scope's end, before a report of an earlier failure.
    void close_now() {
        if (fd >= 0) close_keeping_errno(fd);
        fd = -1;
    }
};

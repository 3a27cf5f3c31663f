#include "direct_launch.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "reports.h"
#include "ruleset.h"

namespace {

constexpr char DEFAULT_SEARCH_LIST[] = "/usr/local/bin:/bin:/usr/bin";
constexpr size_t MAX_COMMAND_NAME = 255;

// Tries one search-list element; returns the execution error.
int exec_in(const char* element, size_t element_len, char* const* argv) {
    const char* name = argv[0];
    if (element_len == 0) {
        execve(name, argv, environ);
        return errno;
    }
    const size_t name_len = std::strlen(name);
    char path[PATH_MAX];
    // The joined path would not fit the kernel's limit either: fail as it would.
    if (element_len + 1 + name_len + 1 > sizeof path) return ENAMETOOLONG;
    std::memcpy(path, element, element_len);
    path[element_len] = '/';
    std::memcpy(path + element_len + 1, name, name_len + 1);
    execve(path, argv, environ);
    return errno;
}

int check_status_descriptor(int fd) {
    if (fd >= 0 && fcntl(fd, F_GETFD) < 0) return fail_with_error("invalid status descriptor");
    return 0;
}

// A command that inherits a non-blocking standard stream usually fails on EAGAIN;
// the flag lives on the shared open file description, so clearing it is seen by
// every holder of that description.
int make_standard_streams_blocking() {
    for (int fd = 0; fd <= 2; ++fd) {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0) {
            if (errno == EBADF) continue;
            return fail_with_error("cannot inspect standard stream");
        }
        if ((flags & O_NONBLOCK) != 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
            return fail_with_error("cannot restore blocking standard stream");
        }
    }
    return 0;
}

int tie_to_parent() {
    const ParentDeath armed = arm_parent_death(getppid());
    if (armed == ParentDeath::cannot_arm) return fail_with_error("cannot set parent-death signal");
    if (armed == ParentDeath::parent_changed) return fail("parent exited during setup");
    return 0;
}

int close_status_descriptor_on_exec(int fd) {
    if (fd >= 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) {
        return fail_with_error("cannot close status descriptor on exec");
    }
    return 0;
}

}  // namespace

ParentDeath arm_parent_death(pid_t expected_parent) {
    if (prctl(PR_SET_PDEATHSIG, static_cast<unsigned long>(SIGKILL)) < 0) {
        return ParentDeath::cannot_arm;
    }
    // The parent may have ended before the signal was armed, and then no signal
    // will ever come.
    return getppid() == expected_parent ? ParentDeath::armed : ParentDeath::parent_changed;
}

void search_and_exec(char* const* argv) {
    const char* name = argv[0];
    if (name == nullptr || name[0] == '\0') {
        errno = ENOENT;
        return;
    }
    if (std::strchr(name, '/') != nullptr) {
        execve(name, argv, environ);
        return;
    }
    if (strnlen(name, MAX_COMMAND_NAME + 1) > MAX_COMMAND_NAME) {
        errno = ENAMETOOLONG;
        return;
    }
    const char* list = std::getenv("PATH");
    if (list == nullptr) list = DEFAULT_SEARCH_LIST;
    bool access_denied = false;
    int error = ENOENT;
    for (const char* element = list;;) {
        const char* end = std::strchr(element, ':');
        const size_t element_len =
            end != nullptr ? static_cast<size_t>(end - element) : std::strlen(element);
        error = exec_in(element, element_len, argv);
        if (error == EACCES) {
            access_denied = true;
        } else if (error != ENOENT && error != ENOTDIR) {
            errno = error;
            return;
        }
        if (end == nullptr) break;
        element = end + 1;
    }
    errno = access_denied ? EACCES : error;
}

int launch_direct(const LaunchOptions& options) {
    const int status_fd = options.status_fd;
    if (check_status_descriptor(status_fd) != 0) return LAUNCHER_FAILURE;
    if (make_standard_streams_blocking() != 0) return LAUNCHER_FAILURE;
    if (tie_to_parent() != 0) return LAUNCHER_FAILURE;
    std::int64_t abi = 0;
    if (enforce_grants(options, &abi) != 0) return LAUNCHER_FAILURE;
    if (close_status_descriptor_on_exec(status_fd) != 0) return LAUNCHER_FAILURE;
    if (write_status_line(status_fd, "prepared", abi) != 0) return LAUNCHER_FAILURE;

    search_and_exec(options.command);

    const int exec_error = errno;
    write_status_line(status_fd, "exec-failed", abi);
    errno = exec_error;
    return fail_with_error("exec failed");
}

// The stdin relay supervisor. The command runs as a child whose descriptor 0 is one
// end of a stream socket pair; the supervisor copies its own standard input into the
// other end, forwards termination signals, and ends the way the child ended.
//
// Descriptor 0's own file status flags are never changed: a regular file is read with
// positional reads and a pipe through a second, non-blocking open of the same pipe.
// For a regular file the offset of descriptor 0 is left, at the end, just past the
// bytes the child took out of the socket; what was read ahead is given back.
#include "relay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "direct_launch.h"
#include "reports.h"

namespace {

constexpr int RELAY_STATUS_FD = 3;
constexpr int POLL_INTERVAL_MS = 20;
constexpr unsigned long RELAY_BUFFER_SIZE = 4096;
// Forwarded to the child, and installed in this order.
constexpr int FORWARDED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

constexpr char SETUP_FAILED_LINE[] = "{\"state\":\"stdio-setup-failed\"}\n";
constexpr char RELAY_FAILED_LINE[] = "{\"state\":\"stdio-failed\"}\n";

static_assert(sizeof(off_t) == 8, "offsets must be 64-bit");
static_assert(sizeof(pid_t) <= sizeof(sig_atomic_t), "the handler must read the id whole");

enum class InputKind { regular_file, pipe, other };

struct Relay {
    bool status_fd_open = false;  // descriptor 3 was open when the supervisor started
    InputKind kind = InputKind::other;
    int input_fd = -1;  // 0 for a regular file, the reopened pipe, -1 otherwise
    off_t start_offset = 0;
    int read_end = -1;          // becomes the child's descriptor 0; the supervisor keeps a copy
    int write_end = -1;         // non-blocking; -1 once closed
    unsigned long pending = 0;  // bytes at the front of relay_buffer not yet written
    off_t delivered = 0;        // bytes written into the socket so far
    bool input_ended = false;
    bool failed = false;
    int wait_status = 0;
    pid_t parent = 0;  // the parent when the parent-death signal was armed
};

char relay_buffer[RELAY_BUFFER_SIZE];
volatile sig_atomic_t relay_child = 0;

// Status lines go to descriptor 3 only when it was open at the start. Otherwise the
// number may since belong to one of the relay's own descriptors: a socket end (the
// writing end would carry the line into the child's input) or the reopened pipe.
void write_relay_status(const Relay& relay, const char* line, unsigned long len) {
    if (relay.status_fd_open) (void)write_all(RELAY_STATUS_FD, line, len);
}

void close_relay_descriptors(Relay& relay) {
    if (relay.read_end >= 0) close(relay.read_end);
    if (relay.write_end >= 0) close(relay.write_end);
    if (relay.kind == InputKind::pipe && relay.input_fd >= 0) close(relay.input_fd);
    relay.read_end = relay.write_end = relay.input_fd = -1;
}

int setup_failed(Relay& relay) {
    close_relay_descriptors(relay);
    write_relay_status(relay, SETUP_FAILED_LINE, sizeof SETUP_FAILED_LINE - 1);
    return LAUNCHER_FAILURE;
}

bool open_input(Relay& relay) {
    struct stat input;
    if (fstat(0, &input) != 0) return false;
    if (S_ISREG(input.st_mode)) {
        relay.start_offset = lseek(0, 0, SEEK_CUR);
        if (relay.start_offset < 0) return false;
        relay.kind = InputKind::regular_file;
        relay.input_fd = 0;
    } else if (S_ISFIFO(input.st_mode)) {
        relay.input_fd = open("/proc/self/fd/0", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (relay.input_fd < 0) return false;
        relay.kind = InputKind::pipe;
    } else {
        relay.input_ended = true;
    }
    return true;
}

bool open_socket_pair(Relay& relay) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return false;
    relay.read_end = ends[0];
    relay.write_end = ends[1];
    if (shutdown(relay.read_end, SHUT_WR) != 0) return false;
    int flags = fcntl(relay.write_end, F_GETFL);
    return flags >= 0 && fcntl(relay.write_end, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool tie_to_parent(Relay& relay) {
    relay.parent = getppid();
    return arm_parent_death(relay.parent) == ParentDeath::armed;
}

[[noreturn]] void child_failed(const Relay& relay) {
    write_relay_status(relay, SETUP_FAILED_LINE, sizeof SETUP_FAILED_LINE - 1);
    _exit(LAUNCHER_FAILURE);
}

// What the caller gave that the supervisor changes for the time of the fork: the
// signal mask and the SIGCHLD disposition. The command gets both back.
struct CallerSignals {
    sigset_t mask;
    struct sigaction sigchld_action;
};

// Ahead of the fork: SIGCHLD to its default, so that a caller that ignores it does
// not have the kernel reap the child before waitpid sees its status; and the
// forwarded signals blocked, so that one that comes before the handlers are in
// place waits for them instead of ending the supervisor by its default action.
void hold_signals_for_fork(CallerSignals& caller) {
    struct sigaction default_action;
    std::memset(&default_action, 0, sizeof default_action);
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(SIGCHLD, &default_action, &caller.sigchld_action);
    sigset_t forwarded;
    sigemptyset(&forwarded);
    for (int signo : FORWARDED_SIGNALS) sigaddset(&forwarded, signo);
    sigprocmask(SIG_BLOCK, &forwarded, &caller.mask);
}

void restore_caller_signals(const CallerSignals& caller) {
    sigaction(SIGCHLD, &caller.sigchld_action, nullptr);
    sigprocmask(SIG_SETMASK, &caller.mask, nullptr);
}

[[noreturn]] void run_child(const Relay& relay, pid_t supervisor, const CallerSignals& caller,
                            char** command) {
    if (arm_parent_death(supervisor) != ParentDeath::armed) child_failed(relay);
    if (dup2(relay.read_end, 0) < 0) child_failed(relay);
    close(relay.read_end);
    close(relay.write_end);
    if (relay.kind == InputKind::pipe) close(relay.input_fd);
    restore_caller_signals(caller);
    search_and_exec(command);
    report_error("exec failed");
    child_failed(relay);
}

void install_forwarding() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = forward_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : FORWARDED_SIGNALS) sigaction(signo, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// Reads the next piece of input into the empty buffer. false on a read failure.
bool fill_buffer(Relay& relay) {
    ssize_t got =
        relay.kind == InputKind::regular_file
            ? pread(0, relay_buffer, RELAY_BUFFER_SIZE, relay.start_offset + relay.delivered)
            : read(relay.input_fd, relay_buffer, RELAY_BUFFER_SIZE);
    if (got > 0) {
        relay.pending = static_cast<unsigned long>(got);
        return true;
    }
    if (got == 0) {
        relay.input_ended = true;
        return true;
    }
    return errno == EINTR || errno == EAGAIN;
}

// Writes what the socket takes of the pending bytes. false on a write failure.
bool empty_buffer(Relay& relay) {
    ssize_t sent = write(relay.write_end, relay_buffer, relay.pending);
    if (sent > 0) {
        relay.pending -= static_cast<unsigned long>(sent);
        std::memmove(relay_buffer, relay_buffer + sent, relay.pending);
        relay.delivered += sent;
        return true;
    }
    return sent == 0 || errno == EAGAIN || errno == EINTR;
}

// Waits up to one poll interval for pipe data or socket room. false on a poll failure.
bool wait_for_progress(const Relay& relay) {
    bool want_input = relay.kind == InputKind::pipe && relay.pending == 0 && !relay.input_ended;
    pollfd entries[2] = {
        {want_input ? relay.input_fd : -1, POLLIN, 0},
        {relay.write_end, static_cast<short>(relay.pending > 0 ? POLLOUT : 0), 0},
    };
    return poll(entries, 2, POLL_INTERVAL_MS) >= 0 || errno == EINTR;
}

// Relays until the child has ended (true, wait status set) or relaying fails (false).
// waited and wait_errno are the result of the waitpid that came before.
bool relay_until_child_ends(Relay& relay, pid_t child, pid_t waited, int wait_errno) {
    for (;;) {
        if (waited < 0 && wait_errno != EINTR) return false;
        if (getppid() != relay.parent) return false;
        if (relay.pending == 0 && !relay.input_ended && !fill_buffer(relay)) return false;
        if (relay.pending > 0 && !empty_buffer(relay)) return false;
        if (relay.input_ended && relay.pending == 0 && relay.write_end >= 0) {
            close(relay.write_end);
            relay.write_end = -1;
        }
        bool streaming =
            relay.kind == InputKind::regular_file && relay.pending == 0 && !relay.input_ended;
        if (!streaming && !wait_for_progress(relay)) return false;
        waited = waitpid(child, &relay.wait_status, WNOHANG);
        wait_errno = errno;
        if (waited == child) return true;
    }
}

void supervise(Relay& relay, pid_t child) {
    relay.wait_status = 0;
    pid_t waited = waitpid(child, &relay.wait_status, WNOHANG);
    int wait_errno = errno;
    if (waited == child) return;
    if (relay_until_child_ends(relay, child, waited, wait_errno)) return;
    kill(child, SIGKILL);
    while (waitpid(child, &relay.wait_status, 0) < 0 && errno == EINTR) {
    }
    relay.failed = true;
}

// Counts the bytes the child left in the socket. false on a receive failure.
bool count_unread(const Relay& relay, off_t* unread) {
    for (;;) {
        ssize_t got = recv(relay.read_end, relay_buffer, RELAY_BUFFER_SIZE, MSG_DONTWAIT);
        if (got > 0) {
            *unread += got;
        } else if (got == 0 || errno == EAGAIN) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
}

// Moves the offset of descriptor 0 back to just past the bytes the child consumed.
bool give_back_unread(const Relay& relay) {
    off_t unread = 0;
    if (!count_unread(relay, &unread) || unread > relay.delivered) return false;
    return lseek(0, relay.start_offset + relay.delivered - unread, SEEK_SET) >= 0;
}

int mirror_child_end(int wait_status) {
    if (WIFSIGNALED(wait_status)) {
        int signo = WTERMSIG(wait_status);
        signal(signo, SIG_DFL);
        raise(signo);
        return 128 + signo;
    }
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    return LAUNCHER_FAILURE;
}

}  // namespace

void forward_signal(int signo) {
    int saved_errno = errno;
    pid_t child = relay_child;
    if (child >= 1) kill(child, signo);
    errno = saved_errno;
}

int run_relay_supervisor(char** command) {
    Relay relay;
    relay.status_fd_open = fcntl(RELAY_STATUS_FD, F_GETFD) != -1;
    if (!open_input(relay) || !open_socket_pair(relay) || !tie_to_parent(relay)) {
        return setup_failed(relay);
    }
    pid_t supervisor = getpid();
    CallerSignals caller;
    hold_signals_for_fork(caller);
    pid_t child = fork();
    if (child < 0) {
        restore_caller_signals(caller);
        return setup_failed(relay);
    }
    if (child == 0) run_child(relay, supervisor, caller, command);

    relay_child = child;
    install_forwarding();
    // The caller's mask again: a forwarded signal that came since the fork is
    // delivered to its handler now. SIGCHLD keeps its default until the end.
    sigprocmask(SIG_SETMASK, &caller.mask, nullptr);
    supervise(relay, child);
    if (relay.kind == InputKind::regular_file && !give_back_unread(relay)) relay.failed = true;
    close_relay_descriptors(relay);
    if (relay.failed) {
        write_relay_status(relay, RELAY_FAILED_LINE, sizeof RELAY_FAILED_LINE - 1);
        return fail("stdin relay failed");
    }
    return mirror_child_end(relay.wait_status);
}

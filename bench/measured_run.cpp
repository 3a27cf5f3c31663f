// orva-measured-run PROGRAM ARG...: runs PROGRAM with its standard output on
// /dev/null and prints one line about the run: wall seconds, peak resident set,
// blocks read from disk and the exit status, all from the child's own rusage.
//
// The benchmark driver is a Python process of tens of MiB; a child it starts
// directly inherits that as its peak resident set, because the peak survives the
// exec. Started from this small process, the figure is the program's own (plus
// the few hundred KiB this process has when it spawns).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

extern char** environ;

namespace {

double seconds(const timespec& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: orva-measured-run PROGRAM [ARG...]\n", stderr);
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[1], &actions, nullptr, argv + 1, environ);
    if (error != 0) {
        std::fprintf(stderr, "orva-measured-run: cannot start %s: error %d\n", argv[1], error);
        return 1;
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::perror("orva-measured-run: wait4");
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf(
        "{\"seconds\":%.6f,\"cpuSeconds\":%.6f,\"maxrssKiB\":%ld,\"inblock\":%ld,\"status\":%d}\n",
        seconds(end) - seconds(start),
        static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
        usage.ru_maxrss, usage.ru_inblock, exitStatus);
    return 0;
}

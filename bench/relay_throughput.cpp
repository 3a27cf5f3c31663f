// Throughput of orva-landlock-run --relay-stdin against cat doing the same job: 256 MiB
// from a regular file, then from a pipe, into a child that discards it. A second
// baseline, dd with 4096-byte blocks, copies in pieces of the relay's buffer size and
// so shows what that size costs by itself. Each round times all three, in rotating
// order; the medians and the ratios are reported.
//
//   relay_throughput [rounds] [directory for the input file]
//
// The same program is also the discarding child (--sink BYTES: reads standard input
// to its end, fails unless it got exactly BYTES) and the pipe's producer (--produce
// BYTES: writes that many bytes to standard output).
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr long long INPUT_BYTES = 256LL << 20;
constexpr std::size_t CHUNK = 1 << 16;
constexpr double TARGET_FILE_RATIO = 0.5;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "relay_throughput: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

int sink(long long expected) {
    static char buffer[CHUNK];
    long long total = 0;
    for (;;) {
        ssize_t got = read(0, buffer, sizeof buffer);
        if (got > 0) {
            total += got;
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            die("sink read");
        }
    }
    if (total == expected) return 0;
    std::fprintf(stderr, "relay_throughput: sink got %lld bytes, expected %lld\n", total, expected);
    return 1;
}

void fill_pattern(char* buffer, std::size_t size, long long from) {
    for (std::size_t i = 0; i < size; ++i) {
        buffer[i] = static_cast<char>((from + static_cast<long long>(i)) * 131 % 251);
    }
}

void write_fully(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            die("write");
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

int produce(long long bytes) {
    static char buffer[CHUNK];
    fill_pattern(buffer, sizeof buffer, 0);
    for (long long left = bytes; left > 0; left -= static_cast<long long>(CHUNK)) {
        write_fully(1, buffer, static_cast<std::size_t>(std::min<long long>(left, CHUNK)));
    }
    return 0;
}

std::string create_input(const std::string& directory) {
    std::string path = directory + "/relay-throughput-XXXXXX";
    int fd = mkstemp(path.data());
    if (fd < 0) die("mkstemp");
    std::vector<char> buffer(CHUNK);
    for (long long done = 0; done < INPUT_BYTES; done += static_cast<long long>(CHUNK)) {
        fill_pattern(buffer.data(), CHUNK, done);
        write_fully(fd, buffer.data(), CHUNK);
    }
    close(fd);
    return path;
}

// Starts argv with the given standard input and output (-1 keeps the bench's own).
pid_t spawn(const std::vector<std::string>& args, int in, int out,
            const std::vector<int>& close_fds) {
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid > 0) return pid;
    if (in >= 0 && dup2(in, 0) < 0) _exit(126);
    if (out >= 0 && dup2(out, 1) < 0) _exit(126);
    for (int fd : close_fds) close(fd);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "relay_throughput: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
}

void wait_ok(pid_t pid, const char* what) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) die("waitpid");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "relay_throughput: %s ended with wait status %#x\n", what, status);
        std::exit(1);
    }
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Tools {
    std::string self;
    std::string launcher;
    std::string input_path;
};

std::vector<std::string> sink_command(const Tools& tools) {
    return {tools.self, "--sink", std::to_string(INPUT_BYTES)};
}

enum Copier { RELAY, CAT, DD_4K, COPIERS };

// The relay feeds the sink directly; cat and dd feed it through a pipe.
std::vector<std::string> copier_command(const Tools& tools, Copier copier) {
    if (copier == CAT) return {"cat"};
    if (copier == DD_4K) return {"dd", "bs=4096", "status=none"};
    std::vector<std::string> command = {tools.launcher, "--relay-stdin"};
    for (const std::string& arg : sink_command(tools)) command.push_back(arg);
    return command;
}

// Times one run of the copier reading input into a sink.
double time_run(const Tools& tools, Copier copier, int input) {
    double start = now();
    if (copier == RELAY) {
        wait_ok(spawn(copier_command(tools, RELAY), input, -1, {}), "relay");
        return now() - start;
    }
    int link[2];
    if (pipe(link) != 0) die("pipe");
    pid_t front = spawn(copier_command(tools, copier), input, link[1], {link[0], link[1]});
    pid_t consumer = spawn(sink_command(tools), link[0], -1, {link[0], link[1]});
    close(link[0]);
    close(link[1]);
    wait_ok(front, "copier");
    wait_ok(consumer, "sink");
    return now() - start;
}

double time_from_file(const Tools& tools, Copier copier) {
    int fd = open(tools.input_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("open input");
    double seconds = time_run(tools, copier, fd);
    close(fd);
    return seconds;
}

double time_from_pipe(const Tools& tools, Copier copier) {
    int feed[2];
    if (pipe2(feed, O_CLOEXEC) != 0) die("pipe");
    double start = now();
    pid_t producer =
        spawn({tools.self, "--produce", std::to_string(INPUT_BYTES)}, -1, feed[1], {feed[0]});
    close(feed[1]);
    time_run(tools, copier, feed[0]);
    close(feed[0]);
    wait_ok(producer, "producer");
    return now() - start;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Comparison {
    double seconds[COPIERS];  // median per copier
};

Comparison compare(const Tools& tools, int rounds, double (*timed)(const Tools&, Copier)) {
    std::vector<double> times[COPIERS];
    for (int round = 0; round < rounds; ++round) {
        for (int step = 0; step < COPIERS; ++step) {
            auto copier = static_cast<Copier>((round + step) % COPIERS);
            times[copier].push_back(timed(tools, copier));
        }
    }
    Comparison result;
    for (int copier = 0; copier < COPIERS; ++copier) result.seconds[copier] = median(times[copier]);
    return result;
}

void print_row(const char* name, const Comparison& result) {
    double mib = static_cast<double>(INPUT_BYTES) / (1 << 20);
    std::printf("%-13s %12.0f %12.0f %12.0f %10.2f %10.2f\n", name, mib / result.seconds[RELAY],
                mib / result.seconds[CAT], mib / result.seconds[DD_4K],
                result.seconds[CAT] / result.seconds[RELAY],
                result.seconds[DD_4K] / result.seconds[RELAY]);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--sink") == 0) return sink(std::atoll(argv[2]));
    if (argc == 3 && std::strcmp(argv[1], "--produce") == 0) return produce(std::atoll(argv[2]));

    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const char* tmp = std::getenv("TMPDIR");
    std::string directory = argc > 2 ? argv[2] : (tmp && *tmp ? tmp : "/tmp");
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length < 0) die("readlink /proc/self/exe");
    self[length] = '\0';

    Tools tools{self, ORVA_LANDLOCK_RUN_PATH, create_input(directory)};
    time_from_file(tools, CAT);  // warm the page cache
    Comparison file = compare(tools, rounds, time_from_file);
    Comparison piped = compare(tools, rounds, time_from_pipe);
    unlink(tools.input_path.c_str());

    std::printf("stdin relay throughput, %lld MiB into a discarding child, median of %d rounds\n",
                INPUT_BYTES >> 20, rounds);
    std::printf("%-13s %12s %12s %12s %10s %10s\n", "input", "relay MiB/s", "cat MiB/s",
                "dd-4K MiB/s", "relay/cat", "relay/dd");
    print_row("regular file", file);
    print_row("pipe", piped);
    double ratio = file.seconds[CAT] / file.seconds[RELAY];
    std::printf("target: regular file relay/cat >= %.2f: %s\n", TARGET_FILE_RATIO,
                ratio >= TARGET_FILE_RATIO ? "met" : "missed");
    return 0;
}

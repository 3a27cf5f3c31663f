// openRegularFile, readFullAt, joinPath and FileDescriptor against the real file
// system: every kind of directory entry, permission and descriptor-limit failures,
// and a read that a signal really interrupts.
#include "file_access.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "file_test_support.h"

namespace orva {
namespace {

using testing::makeSocket;
using testing::openDescriptors;
using testing::TempDir;

const char* verdictName(OpenVerdict verdict) {
    switch (verdict) {
        case OpenVerdict::Opened:
            return "opened";
        case OpenVerdict::Skip:
            return "skip";
        case OpenVerdict::Fallback:
            return "fallback";
    }
    return "?";
}

struct OpenCase {
    const char* what;
    std::function<std::string(const TempDir&)> make;  // returns the path to open
    OpenVerdict expected;
};

std::vector<OpenCase> openCases() {
    return {
        {"regular file", [](const TempDir& d) { return d.write("f", "{}\n"); },
         OpenVerdict::Opened},
        {"empty regular file", [](const TempDir& d) { return d.write("e", ""); },
         OpenVerdict::Opened},
        {"missing", [](const TempDir& d) { return d / "missing"; }, OpenVerdict::Skip},
        {"symlink to a regular file",
         [](const TempDir& d) {
             d.write("target", "{\"sessionId\":\"x\",\"cwd\":\"/\"}\n");
             EXPECT_EQ(::symlink((d / "target").c_str(), (d / "link").c_str()), 0);
             return d / "link";
         },
         OpenVerdict::Skip},
        {"relative symlink",
         [](const TempDir& d) {
             d.write("target", "{}\n");
             EXPECT_EQ(::symlink("target", (d / "rel").c_str()), 0);
             return d / "rel";
         },
         OpenVerdict::Skip},
        {"dangling symlink",
         [](const TempDir& d) {
             EXPECT_EQ(::symlink((d / "nowhere").c_str(), (d / "dangling").c_str()), 0);
             return d / "dangling";
         },
         OpenVerdict::Skip},
        {"directory",
         [](const TempDir& d) {
             EXPECT_EQ(::mkdir((d / "sub").c_str(), 0755), 0);
             return d / "sub";
         },
         OpenVerdict::Skip},
        {"FIFO without a writer",
         [](const TempDir& d) {
             EXPECT_EQ(::mkfifo((d / "fifo").c_str(), 0644), 0);
             return d / "fifo";
         },
         OpenVerdict::Skip},
        {"socket",
         [](const TempDir& d) {
             makeSocket(d / "sock");
             return d / "sock";
         },
         OpenVerdict::Skip},
        {"character device",
         [](const TempDir& d) {
             if (::mknod((d / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
                 return std::string("/dev/null");
             return d / "null";
         },
         OpenVerdict::Skip},
        {"block device",
         [](const TempDir& d) {
             EXPECT_EQ(::mknod((d / "blk").c_str(), S_IFBLK | 0600, makedev(7, 0)), 0)
                 << std::strerror(errno);
             return d / "blk";
         },
         OpenVerdict::Skip},
        {"a regular file used as a directory (ENOTDIR)",
         [](const TempDir& d) { return d.write("plain", "x") + "/inner"; }, OpenVerdict::Fallback},
        {"component longer than NAME_MAX",
         [](const TempDir& d) { return d / std::string(NAME_MAX + 1, 'n'); },
         OpenVerdict::Fallback},
        {"path holding a NUL byte",
         [](const TempDir& d) {
             d.write("f", "{}\n");
             return (d / "f") + std::string(1, '\0') + "tail";
         },
         OpenVerdict::Fallback},
    };
}

TEST(OpenRegularFile, ClassifiesEveryKindOfEntry) {
    const auto before = openDescriptors();
    for (const OpenCase& c : openCases()) {
        TempDir dir;
        const std::string path = c.make(dir);
        const OpenOutcome outcome = openRegularFile(path);
        EXPECT_EQ(verdictName(outcome.verdict), verdictName(c.expected)) << c.what;
        EXPECT_EQ(static_cast<bool>(outcome.fd), c.expected == OpenVerdict::Opened) << c.what;
    }
    EXPECT_EQ(openDescriptors(), before) << "a skip or fallback left a descriptor open";
}

TEST(OpenRegularFile, OpenedGivesAReadOnlyCloseOnExecDescriptorAndItsStamp) {
    TempDir dir;
    const std::string path = dir.write("f", "hello\n");
    struct timespec times[2] = {{1700000000, 123456789}, {1700000000, 987654321}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

    const OpenOutcome outcome = openRegularFile(path);
    ASSERT_EQ(outcome.verdict, OpenVerdict::Opened);
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(outcome.stamp, fileStampOf(status));
    EXPECT_EQ(outcome.stamp.size, 6);
    EXPECT_EQ(outcome.stamp.mtimeSec, 1700000000);
    EXPECT_EQ(outcome.stamp.mtimeNsec, 987654321);
    EXPECT_EQ(outcome.stamp.ctimeSec, status.st_ctim.tv_sec);
    EXPECT_EQ(outcome.stamp.ctimeNsec, status.st_ctim.tv_nsec);

    const int flags = ::fcntl(outcome.fd.get(), F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
    EXPECT_NE(flags & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(outcome.fd.get(), F_GETFD) & FD_CLOEXEC, 0);
    char bytes[16];
    EXPECT_EQ(::read(outcome.fd.get(), bytes, sizeof bytes), 6);
}

// Runs body in a child process that has given up root, and returns its exit code.
int asNobody(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(99);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST(OpenRegularFile, PermissionDeniedIsFallback) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string unreadable = dir.write("unreadable", "{}\n");
    ASSERT_EQ(::chmod(unreadable.c_str(), 0), 0);
    ASSERT_EQ(::mkdir((dir / "closed").c_str(), 0700), 0);
    const std::string hidden = dir.write("closed/inside", "{}\n");

    // The open fails with EACCES for the first, the status query for the second.
    for (const std::string& path : {unreadable, hidden}) {
        const int code = asNobody([&] { return static_cast<int>(openRegularFile(path).verdict); });
        EXPECT_EQ(code, static_cast<int>(OpenVerdict::Fallback)) << path;
    }
}

TEST(OpenRegularFile, DescriptorTableFullIsFallbackAndLeaksNothing) {
    TempDir dir;
    const std::string path = dir.write("f", "{}\n");
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const auto before = openDescriptors();
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(*before.rbegin() + 16);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);

    std::vector<FileDescriptor> filler;
    while (true) {
        FileDescriptor fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!fd) break;
        filler.push_back(std::move(fd));
    }
    ASSERT_EQ(errno, EMFILE);
    const OpenVerdict verdict = openRegularFile(path).verdict;
    filler.clear();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    EXPECT_EQ(verdictName(verdict), verdictName(OpenVerdict::Fallback));
    EXPECT_EQ(openDescriptors(), before);
}

TEST(OpenRegularFile, RunningOutOfDescriptorsIsToldApart) {
    OpenOutcome outcome;
    const std::pair<int, bool> cases[] = {
        {EMFILE, true}, {ENFILE, true}, {EACCES, false}, {ENOENT, false}};
    for (const auto& [error, shortage] : cases) {
        outcome.verdict = OpenVerdict::Fallback;
        outcome.error = error;
        EXPECT_EQ(ranOutOfDescriptors(outcome), shortage) << error;
    }
    outcome.verdict = OpenVerdict::Skip;
    outcome.error = EMFILE;
    EXPECT_FALSE(ranOutOfDescriptors(outcome));
}

long blocksReadByThisThread() {
    rusage usage{};
    EXPECT_EQ(::getrusage(RUSAGE_THREAD, &usage), 0);
    return usage.ru_inblock;
}

// Advice goes on for a first interval, stops while nothing comes from disk, and
// comes back once the thread reads from disk again.
TEST(AdviceGate, AdvisesWhileFilesComeFromDisk) {
    TempDir dir;
    const std::string path = dir.write("cold", std::string(1 << 20, 'x'));
    AdviceGate gate;
    for (std::size_t i = 0; i < ADVICE_CHECK_INTERVAL; ++i) EXPECT_TRUE(gate.next()) << i;
    for (std::size_t i = 0; i < 3 * ADVICE_CHECK_INTERVAL; ++i) EXPECT_FALSE(gate.next()) << i;

    // Read the file from disk: flushed, dropped from the page cache, read again.
    const long before = blocksReadByThisThread();
    {
        FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(fd);
        ASSERT_EQ(::fdatasync(fd.get()), 0);
        ASSERT_EQ(::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED), 0);
        std::vector<char> buffer(1 << 20);
        ASSERT_EQ(readFullAt(fd.get(), 0, buffer).count, buffer.size());
    }
    if (blocksReadByThisThread() == before)
        GTEST_SKIP() << "this file system does not read from disk";
    bool advising = false;
    for (std::size_t i = 0; i < ADVICE_CHECK_INTERVAL; ++i) advising = gate.next();
    EXPECT_TRUE(advising);
}

// The depth that fits: threads each holding depth files and alsoHeld more beside the
// descriptors open now and a reserve, under the soft limit; 1 at the least.
TEST(FitReadAhead, FitsTheDescriptorLimit) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // New descriptors take the lowest free numbers below the soft limit: what counts
    // is the descriptors open below it (those of the test are all far below 64).
    std::size_t open = 0;
    for (const int fd : openDescriptors()) open += fd < 64;
    const std::size_t taken = open + DESCRIPTOR_RESERVE;
    struct Case {
        std::size_t soft, wanted, threads, alsoHeld, depth;
    };
    const Case cases[] = {
        {taken + 2 * (32 + 1), 32, 2, 1, 32},      // exactly room for the wanted depth
        {taken + 2 * (32 + 1) - 1, 32, 2, 1, 31},  // one descriptor short
        {taken + 2 * (5 + 1) + 1, 32, 2, 1, 5},
        {taken + 4 * 8, 32, 4, 0, 8},
        {taken + 100000, 32, 2, 1, 32},  // never above what is wanted
        {taken + 2, 32, 2, 1, 1},        // no room ahead: one file at a time
        {8, 32, 2, 1, 1},
        {taken + 1000, 1, 2, 1, 1},
        {taken + 1000, 32, 0, 1, 1},
    };
    for (const Case& c : cases) {
        if (c.soft > saved.rlim_max) continue;
        const rlimit limit = {static_cast<rlim_t>(c.soft), saved.rlim_max};
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
        const std::size_t depth = fitReadAhead(c.wanted, c.threads, c.alsoHeld);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(depth, c.depth) << "soft " << c.soft << ", " << c.threads << " threads";
    }
}

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(FileDescriptor, ClosesExactlyOnceWhateverPathItTakes) {
    const int a = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int b = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    {
        FileDescriptor first(a);
        FileDescriptor moved(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(moved.get(), a);
        FileDescriptor other(b);
        other = std::move(moved);  // b is closed here, a now owned by other
        EXPECT_FALSE(isOpen(b));
        EXPECT_TRUE(isOpen(a));
        other = std::move(other);  // self-move keeps the descriptor
        EXPECT_TRUE(isOpen(a));
    }
    EXPECT_FALSE(isOpen(a));

    const int c = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    {
        FileDescriptor owner(c);
        EXPECT_EQ(owner.release(), c);
    }
    EXPECT_TRUE(isOpen(c));
    ::close(c);
}

TEST(ReadFullAt, ReadsFromTheOffsetAndStopsAtEndOfFile) {
    TempDir dir;
    const std::string path = dir.write("digits", "0123456789");
    const OpenOutcome file = openRegularFile(path);
    ASSERT_EQ(file.verdict, OpenVerdict::Opened);
    struct Case {
        std::int64_t offset;
        std::size_t length;
        std::string_view expected;
    };
    for (const Case& c :
         {Case{0, 4, "0123"}, Case{3, 4, "3456"}, Case{0, 4, "0123"}, Case{6, 10, "6789"},
          Case{0, 10, "0123456789"}, Case{10, 4, ""}, Case{1000, 4, ""}, Case{5, 0, ""}}) {
        std::vector<char> buffer(c.length, '#');
        const ReadOutcome got = readFullAt(file.fd.get(), c.offset, buffer);
        EXPECT_EQ(got.error, 0) << c.offset;
        ASSERT_EQ(got.count, c.expected.size()) << c.offset << "+" << c.length;
        EXPECT_EQ(std::string_view(buffer.data(), got.count), c.expected);
    }
}

TEST(ReadFullAt, ReportsSeekAndReadErrors) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    FileDescriptor readEnd(pipeEnds[0]);
    FileDescriptor writeEnd(pipeEnds[1]);
    const FileDescriptor directory(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    TempDir dir;
    const OpenOutcome file = openRegularFile(dir.write("f", "abc"));
    const int closed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);  // opened last: not reused below
    ::close(closed);

    struct Case {
        int fd;
        std::int64_t offset;
        int error;
    };
    std::vector<char> buffer(8);
    for (const Case& c : {Case{readEnd.get(), 0, ESPIPE}, Case{directory.get(), 0, EISDIR},
                          Case{closed, 0, EBADF}, Case{file.fd.get(), -1, EINVAL}}) {
        EXPECT_EQ(readFullAt(c.fd, c.offset, buffer).error, c.error) << std::strerror(c.error);
    }
}

std::atomic<int> interruptions{0};
void countInterruption(int) {
    interruptions.fetch_add(1);
}

// True while the thread is inside read(2) (system call number 0 on x86-64).
bool inRead(pid_t tid) {
    std::ifstream syscall("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string number;
    syscall >> number;
    return number == "0";
}

void waitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "timed out";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// inotify descriptors are seekable and block in read, so a signal without SA_RESTART
// really interrupts readFullAt's read with EINTR, in the middle of filling the buffer.
TEST(ReadFullAt, ResumesAfterASignalInterruptsTheRead) {
    TempDir dir;
    struct sigaction action {};
    action.sa_handler = countInterruption;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    const FileDescriptor probe(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    const FileDescriptor events(::inotify_init1(IN_CLOEXEC));
    ASSERT_TRUE(probe && events);
    ASSERT_GE(::inotify_add_watch(probe.get(), dir.path().c_str(), IN_CREATE), 0);
    ASSERT_GE(::inotify_add_watch(events.get(), dir.path().c_str(), IN_CREATE), 0);
    dir.write("a", "");
    char probeBuffer[4096];
    const ssize_t eventSize = ::read(probe.get(), probeBuffer, sizeof probeBuffer);
    ASSERT_GT(eventSize, 0);

    // Room for two events: the first is queued, the second comes after the signals.
    std::vector<char> buffer(2 * static_cast<std::size_t>(eventSize));
    std::atomic<pid_t> readerTid{0};
    ReadOutcome outcome;
    std::thread reader([&] {
        readerTid = ::gettid();
        outcome = readFullAt(events.get(), 0, buffer);
    });
    waitUntil([&] { return readerTid != 0 && inRead(readerTid); });
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(::pthread_kill(reader.native_handle(), SIGUSR1), 0);
        waitUntil([&] { return interruptions.load() == i && inRead(readerTid); });
    }
    dir.write("b", "");
    reader.join();
    ::sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(outcome.error, 0) << std::strerror(outcome.error);
    ASSERT_EQ(outcome.count, buffer.size());
    const auto* second = reinterpret_cast<const inotify_event*>(buffer.data() + eventSize);
    EXPECT_STREQ(second->name, "b");
}

TEST(JoinPath, PutsOneSlashBetweenDirectoryAndName) {
    struct Case {
        std::string_view dir, name, expected;
    };
    for (const Case& c :
         {Case{"chats", "a.jsonl", "chats/a.jsonl"}, Case{"chats/", "a.jsonl", "chats/a.jsonl"},
          Case{"/", "a.jsonl", "/a.jsonl"}, Case{"", "a.jsonl", "a.jsonl"},
          Case{"/x/y", "/abs", "/abs"}, Case{"a b", "c\\d", "a b/c\\d"}}) {
        EXPECT_EQ(joinPath(c.dir, c.name), c.expected) << c.dir << " + " << c.name;
    }
}

}  // namespace
}  // namespace orva

// The worker pool with test workers: chunking, thread and buffer ownership,
// order, faults inside a worker, and a thread start that the kernel refuses.
#include "worker_pool.h"

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace orva {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr std::size_t BUFFER_CAPACITY = 65536;

// A worker of the pool made of one function, Result(const int& file,
// std::vector<char>& buffer): its thread state is a read buffer reserved to
// BUFFER_CAPACITY and the results; it has no early step.
template <class Result, class Fn>
struct ByFile {
    const Fn& fn;

    struct Thread {
        std::vector<char> buffer;
        std::vector<Result> results;
    };
    struct Ahead {};

    Thread start(std::size_t fileCount) const {
        Thread thread;
        thread.buffer.reserve(BUFFER_CAPACITY);
        thread.results.reserve(fileCount);
        return thread;
    }
    Ahead prepare(const int&, Thread&) const { return {}; }
    bool heldBack(const Ahead&) const { return false; }
    void finish(const int& file, Ahead, Thread& thread) const {
        thread.results.push_back(fn(file, thread.buffer));
    }
    std::vector<Result> end(Thread& thread) const { return std::move(thread.results); }
};

// The results of the chunks that finished, in list order, and what the pool said.
template <class Result>
struct Flat {
    std::vector<Result> results;
    std::vector<ChunkFault> faults;
    int spawnError = 0;
};

template <class Result, class Fn>
Flat<Result> runByFile(const std::vector<int>& files, unsigned threads, const Fn& fn) {
    auto outcome = runWorkers(std::span<const int>(files), threads, 1, ByFile<Result, Fn>{fn});
    Flat<Result> flat{{}, std::move(outcome.faults), outcome.spawnError};
    std::size_t next = 0;
    for (auto& chunk : outcome.chunks) {
        EXPECT_GE(chunk.firstFile, next);
        EXPECT_EQ(chunk.results.size(), chunk.fileCount);
        next = chunk.firstFile + chunk.fileCount;
        for (Result& result : chunk.results) flat.results.push_back(std::move(result));
    }
    return flat;
}

std::vector<int> filesUpTo(int n) {
    std::vector<int> files(static_cast<std::size_t>(n));
    std::iota(files.begin(), files.end(), 0);
    return files;
}

// A tag per thread that, unlike pthread_t or the kernel's thread id, is never
// reused by a later thread.
std::atomic<int> nextThreadTag{1};
int threadTag() {
    thread_local const int tag = nextThreadTag++;
    return tag;
}

std::size_t stackSizeOfThisThread() {
    pthread_attr_t attributes;
    if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) return 0;
    std::size_t size = 0;
    ::pthread_attr_getstacksize(&attributes, &size);
    ::pthread_attr_destroy(&attributes);
    return size;
}

// Waits for condition, giving up after ten seconds so that a fault fails the test
// instead of hanging it.
template <class Condition>
bool waitFor(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(PlanChunks, Table) {
    struct Case {
        std::size_t files;
        unsigned threads;
        std::size_t workerCount, chunkSize, threadCount;
    };
    const Case cases[] = {
        {0, 1, 1, 0, 0},  {0, 32, 1, 0, 0},     {1, 1, 1, 1, 1},     {1, 32, 1, 1, 1},
        {5, 32, 5, 1, 5}, {9, 4, 4, 3, 3},      {10, 4, 4, 3, 4},    {7, 1, 1, 7, 1},
        {3, 0, 1, 3, 1},  {100, 32, 32, 4, 25}, {65, 32, 32, 3, 22}, {64, 32, 32, 2, 32},
    };
    for (const Case& c : cases) {
        const ChunkPlan plan = planChunks(c.files, c.threads);
        EXPECT_EQ(plan.workerCount, c.workerCount)
            << c.files << " files, " << c.threads << " threads";
        EXPECT_EQ(plan.chunkSize, c.chunkSize) << c.files << " files, " << c.threads << " threads";
        EXPECT_EQ(plan.threadCount, c.threadCount)
            << c.files << " files, " << c.threads << " threads";
    }
}

// What a test worker saw of the thread it ran on.
struct Sighting {
    int file;
    int thread;
    const std::vector<char>* buffer;
    std::size_t capacity;
    bool bufferEmpty;
    std::size_t stackSize;
};

Sighting sight(int file, const std::vector<char>& buffer) {
    return {file, threadTag(), &buffer, buffer.capacity(), buffer.empty(), stackSizeOfThisThread()};
}

TEST(RunWorkers, ContiguousChunksOneThreadAndOneBufferEach) {
    const int mainThread = threadTag();
    const std::pair<int, unsigned> runs[] = {{0, 4},  {1, 32}, {5, 32},  {9, 4},
                                             {10, 4}, {7, 1},  {100, 32}};
    for (const auto& [n, threads] : runs) {
        SCOPED_TRACE(std::to_string(n) + " files, " + std::to_string(threads) + " threads");
        const std::vector<int> files = filesUpTo(n);
        std::atomic<int> calls{0};
        const auto worker = [&](const int& file, std::vector<char>& buffer) {
            ++calls;
            return sight(file, buffer);
        };
        const Flat<Sighting> outcome = runByFile<Sighting>(files, threads, worker);
        ASSERT_EQ(outcome.spawnError, 0);
        EXPECT_THAT(outcome.faults, IsEmpty());
        ASSERT_EQ(outcome.results.size(), files.size());
        EXPECT_EQ(calls.load(), n);

        const ChunkPlan plan = planChunks(files.size(), threads);
        std::map<int, std::vector<int>> filesByThread;
        std::map<int, const std::vector<char>*> bufferOf;
        for (std::size_t i = 0; i < outcome.results.size(); ++i) {
            const Sighting& seen = outcome.results[i];
            EXPECT_EQ(seen.file, static_cast<int>(i));
            EXPECT_NE(seen.thread, mainThread);
            EXPECT_EQ(seen.stackSize, WORKER_STACK_SIZE);
            EXPECT_GE(seen.capacity, BUFFER_CAPACITY);
            EXPECT_TRUE(seen.bufferEmpty);
            filesByThread[seen.thread].push_back(seen.file);
            EXPECT_EQ(bufferOf.emplace(seen.thread, seen.buffer).first->second, seen.buffer);
            // Chunk k holds files k*chunkSize onward, all on one thread.
            const std::size_t chunk = i / plan.chunkSize;
            EXPECT_EQ(seen.thread, outcome.results[chunk * plan.chunkSize].thread);
        }
        EXPECT_EQ(filesByThread.size(), plan.threadCount);
    }
}

TEST(RunWorkers, ListingOrderWhenALaterChunkFinishesFirst) {
    const std::vector<int> files = filesUpTo(6);  // three threads: {0, 1}, {2, 3}, {4, 5}
    std::atomic<int> finishCounter{0};
    std::atomic<bool> lastDone{false};
    struct Finish {
        int file;
        int sequence;
    };
    const auto worker = [&](const int& file, std::vector<char>&) {
        if (file == 0 && !waitFor([&] { return lastDone.load(); })) return Finish{file, -1};
        const Finish finish{file, finishCounter++};
        if (file == 5) lastDone = true;
        return finish;
    };
    const Flat<Finish> outcome = runByFile<Finish>(files, 3, worker);
    ASSERT_EQ(outcome.spawnError, 0);
    ASSERT_EQ(outcome.results.size(), 6U);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(outcome.results[static_cast<std::size_t>(i)].file, i);
    EXPECT_GT(outcome.results[0].sequence, outcome.results[5].sequence)
        << "the first chunk did not wait";
}

struct WorkerFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A fault escaping the worker loses its own chunk only; the other chunks keep
// their results and their order.
TEST(RunWorkers, FaultLosesOnlyItsChunk) {
    struct Case {
        int faultyFile;
        std::vector<int> kept;
        std::size_t chunk, firstFile, fileCount;
        std::string what;
    };
    const Case cases[] = {
        {4, {0, 1, 2, 6, 7, 8}, 1, 3, 3, "std::bad_alloc"},
        {0, {3, 4, 5, 6, 7, 8}, 0, 0, 3, "disk on fire"},
        {8, {0, 1, 2, 3, 4, 5}, 2, 6, 3, "an exception of unknown type"},
    };
    const std::vector<int> files = filesUpTo(9);  // three threads of three files
    for (const Case& c : cases) {
        SCOPED_TRACE("fault at file " + std::to_string(c.faultyFile));
        const auto worker = [&](const int& file, std::vector<char>& buffer) {
            if (file == c.faultyFile) {
                if (file == 4) throw std::bad_alloc();
                if (file == 0) throw WorkerFault("disk on fire");
                throw 42;
            }
            buffer.assign(16, 'x');  // results that own memory must survive the move
            return std::to_string(file);
        };
        const Flat<std::string> outcome = runByFile<std::string>(files, 3, worker);
        EXPECT_EQ(outcome.spawnError, 0);
        std::vector<std::string> expected;
        for (int file : c.kept) expected.push_back(std::to_string(file));
        EXPECT_THAT(outcome.results, ElementsAreArray(expected));
        ASSERT_EQ(outcome.faults.size(), 1U);
        EXPECT_EQ(outcome.faults[0].chunk, c.chunk);
        EXPECT_EQ(outcome.faults[0].firstFile, c.firstFile);
        EXPECT_EQ(outcome.faults[0].fileCount, c.fileCount);
        EXPECT_EQ(faultWhat(outcome.faults[0].error), c.what);
    }
}

// The line tells which files are missing and how many entries that is.
TEST(DescribeFault, CountsTheEntriesLeftOut) {
    const auto fault = [](std::size_t chunk, std::size_t first, std::size_t count, auto error) {
        return describeFault({chunk, first, count, std::make_exception_ptr(error)});
    };
    EXPECT_EQ(fault(1, 3, 3, std::bad_alloc()).view(),
              "worker thread 2 (files 4 to 6) failed: std::bad_alloc; 3 entries are left out of "
              "the document");
    EXPECT_EQ(fault(0, 0, 1, WorkerFault("disk on fire")).view(),
              "worker thread 1 (files 1 to 1) failed: disk on fire; 1 entry is left out of the "
              "document");
    EXPECT_EQ(
        fault(31, 310, 10, 7).view(),
        "worker thread 32 (files 311 to 320) failed: an exception of unknown type; 10 entries "
        "are left out of the document");
    // A description too long for the line is cut, never overrun.
    const FaultLine cut = fault(0, 0, 2, WorkerFault(std::string(2000, 'x')));
    EXPECT_EQ(cut.size, cut.text.size() - 1);
    EXPECT_TRUE(cut.view().starts_with("worker thread 1 (files 1 to 2) failed: xxx"));
}

TEST(RunWorkers, NoFilesNoThreads) {
    std::atomic<int> calls{0};
    const auto worker = [&](const int& file, std::vector<char>&) {
        ++calls;
        return file;
    };
    const std::vector<int> none;
    const Flat<int> outcome = runByFile<int>(none, 8, worker);
    EXPECT_EQ(outcome.spawnError, 0);
    EXPECT_THAT(outcome.results, IsEmpty());
    EXPECT_THAT(outcome.faults, IsEmpty());
    EXPECT_EQ(calls.load(), 0);
}

// ---- Read-ahead ----

// Files that are prepared and not yet released, over all threads.
std::atomic<int> heldFiles{0};

// What one thread saw: the order of its steps, and how many of its files were
// prepared at the worst moment.
struct Steps {
    std::vector<std::string> log;  // "p3" prepared file 3, "f3" finished it
    int mostHeld = 0;
    std::vector<int> preparedAtFinish;  // for each finish, files prepared beyond it
};

// A prepared file: counted from its early step until it is destroyed, as a
// descriptor would be held.
struct Held {
    int file = -1;
    int* threadHeld = nullptr;
    std::vector<int>* prepared = nullptr;

    Held() = default;
    Held(int f, int* held, std::vector<int>* set) : file(f), threadHeld(held), prepared(set) {
        ++heldFiles;
        ++*threadHeld;
        prepared->push_back(f);
    }
    Held(Held&& other) noexcept { *this = std::move(other); }
    Held& operator=(Held&& other) noexcept {
        release();
        file = std::exchange(other.file, -1);
        threadHeld = std::exchange(other.threadHeld, nullptr);
        prepared = std::exchange(other.prepared, nullptr);
        return *this;
    }
    ~Held() { release(); }
    void release() {
        if (threadHeld == nullptr) return;
        --heldFiles;
        --*threadHeld;
        std::erase(*prepared, file);
        threadHeld = nullptr;
    }
};

struct TrackingWorker {
    int faultyFile = -1;
    int heldBackFile = -1;  // its early step finds no resources

    struct Thread {
        Steps steps;
        int held = 0;
        std::vector<int> prepared;
    };
    Thread start(std::size_t) const { return {}; }
    Held prepare(const int& file, Thread& thread) const {
        thread.steps.log.push_back("p" + std::to_string(file));
        Held held(file, &thread.held, &thread.prepared);
        thread.steps.mostHeld = std::max(thread.steps.mostHeld, thread.held);
        return held;
    }
    bool heldBack(const Held& held) const { return held.file == heldBackFile; }
    void finish(const int& file, Held held, Thread& thread) const {
        if (held.file != file) throw std::logic_error("another file's early step");
        if (file == faultyFile) throw WorkerFault("fault at the turn");
        thread.steps.log.push_back("f" + std::to_string(file));
        int beyond = 0;
        for (int other : thread.prepared) beyond += other > file;
        thread.steps.preparedAtFinish.push_back(beyond);
    }
    Steps end(Thread& thread) const { return std::move(thread.steps); }
};

// Each file's early step comes once, before its turn, and up to readAhead - 1 files
// ahead of it; never more than readAhead files are held; all are released at the end.
TEST(RunWorkers, ReadAheadRing) {
    struct Case {
        int files;
        unsigned threads;
        std::size_t readAhead;
    };
    const Case cases[] = {{10, 1, 1}, {10, 1, 0},  {10, 1, 4}, {10, 2, 4},
                          {9, 4, 32}, {100, 3, 8}, {7, 1, 7},  {1, 1, 16}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.files) + " files, " + std::to_string(c.threads) +
                     " threads, read-ahead " + std::to_string(c.readAhead));
        const std::vector<int> files = filesUpTo(c.files);
        auto outcome =
            runWorkers(std::span<const int>(files), c.threads, c.readAhead, TrackingWorker{});
        EXPECT_EQ(heldFiles.load(), 0);
        ASSERT_THAT(outcome.faults, IsEmpty());
        const int depth = static_cast<int>(std::max<std::size_t>(c.readAhead, 1));
        for (const auto& chunk : outcome.chunks) {
            const Steps& steps = chunk.results;
            const int first = static_cast<int>(chunk.firstFile);
            const int last = first + static_cast<int>(chunk.fileCount) - 1;
            EXPECT_LE(steps.mostHeld, depth);
            std::vector<std::string> finishes;
            std::map<std::string, int> seen;
            for (const std::string& step : steps.log) {
                ++seen[step];
                if (step[0] == 'f') {
                    finishes.push_back(step);
                    EXPECT_EQ(seen["p" + step.substr(1)], 1) << step << " before its early step";
                }
            }
            for (int file = first; file <= last; ++file) {
                EXPECT_EQ(seen["p" + std::to_string(file)], 1) << file;
                EXPECT_EQ(finishes[static_cast<std::size_t>(file - first)],
                          "f" + std::to_string(file));
                // At its turn, the next readAhead - 1 files of the chunk are ready.
                EXPECT_EQ(steps.preparedAtFinish[static_cast<std::size_t>(file - first)],
                          std::min(depth - 1, last - file))
                    << file;
            }
        }
    }
}

// An early step held back stops the read-ahead: nothing more is prepared before that
// file's turn, and after it every file is prepared at its own turn only.
TEST(RunWorkers, HeldBackEarlyStepStopsTheReadAhead) {
    const std::vector<int> files = filesUpTo(30);
    auto outcome = runWorkers(std::span<const int>(files), 1, 8, TrackingWorker{-1, 10});
    ASSERT_EQ(outcome.chunks.size(), 1U);
    const Steps& steps = outcome.chunks[0].results;
    EXPECT_EQ(heldFiles.load(), 0);
    for (int file = 0; file < 30; ++file) {
        // Files 3 to 9 see the next files ready up to file 10, the one held back.
        const int expected = file < 3 ? 7 : std::max(0, 10 - file);
        EXPECT_EQ(steps.preparedAtFinish[static_cast<std::size_t>(file)], expected) << file;
    }
    // Nothing is prepared between file 10's early step and its turn; after it, each
    // early step comes right before its own turn.
    const auto heldBack = std::find(steps.log.begin(), steps.log.end(), "p10");
    const auto turn = std::find(steps.log.begin(), steps.log.end(), "f10");
    ASSERT_LT(heldBack, turn);
    EXPECT_TRUE(
        std::all_of(heldBack + 1, turn, [](const std::string& step) { return step[0] == 'f'; }));
    const std::vector<std::string> rest(turn + 1, steps.log.end());
    ASSERT_EQ(rest.size(), 2U * 19);
    for (std::size_t i = 0; i < rest.size(); ++i) {
        EXPECT_EQ(rest[i], (i % 2 == 0 ? "p" : "f") + std::to_string(11 + i / 2));
    }
}

// A fault at a file's turn loses the chunk and releases every file it had prepared.
TEST(RunWorkers, FaultReleasesWhatWasPrepared) {
    const std::vector<int> files = filesUpTo(40);  // two chunks of 20
    auto outcome = runWorkers(std::span<const int>(files), 2, 8, TrackingWorker{25});
    EXPECT_EQ(heldFiles.load(), 0);
    ASSERT_EQ(outcome.faults.size(), 1U);
    EXPECT_EQ(outcome.faults[0].firstFile, 20U);
    EXPECT_STREQ(faultWhat(outcome.faults[0].error), "fault at the turn");
    ASSERT_EQ(outcome.chunks.size(), 1U);
    EXPECT_EQ(outcome.chunks[0].firstFile, 0U);
}

std::size_t tasksOfThisProcess() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// Root ignores RLIMIT_NPROC, so the child takes a uid that owns no other task
// (derived from its pid, so that parallel runs do not share it), then caps that
// uid at its present tasks plus extraThreads. Empty on success, else what failed.
std::string dropToThreadLimit(std::size_t extraThreads) {
    const uid_t uid = 0x5EED0000U + (static_cast<uid_t>(::getpid()) & 0xFFFFU);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
        ::setresuid(uid, uid, uid) != 0) {
        return std::string("cannot drop to an unprivileged uid: ") + std::strerror(errno);
    }
    // A sanitizer runtime may start a helper thread of its own with the first
    // thread of the process; let it do so now, before the tasks are counted.
    std::thread([] {}).join();
    const rlim_t limit = static_cast<rlim_t>(tasksOfThisProcess() + extraThreads);
    const rlimit tasks = {limit, limit};
    if (::setrlimit(RLIMIT_NPROC, &tasks) != 0)
        return std::string("setrlimit: ") + std::strerror(errno);
    return {};
}

// Runs body in a forked child under dropToThreadLimit(extraThreads); returns
// body's complaint, empty when it had none.
template <class Body>
std::string inChildWithThreadLimit(std::size_t extraThreads, Body body) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return std::string("pipe2: ") + std::strerror(errno);
    const pid_t child = ::fork();
    if (child < 0) return std::string("fork: ") + std::strerror(errno);
    if (child == 0) {
        ::close(pipeFds[0]);
        std::string complaint = dropToThreadLimit(extraThreads);
        if (complaint.empty()) complaint = body();
        const ssize_t written = ::write(pipeFds[1], complaint.data(), complaint.size());
        ::_exit(written == static_cast<ssize_t>(complaint.size()) ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string complaint;
    char chunk[512];
    ssize_t got;
    while ((got = ::read(pipeFds[0], chunk, sizeof chunk)) > 0)
        complaint.append(chunk, static_cast<std::size_t>(got));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        complaint += " (the child ended abnormally)";
    return complaint;
}

// The kernel refuses the third thread: the two that started are joined before
// runWorkers returns, and there are no results.
TEST(RunWorkers, RefusedThreadStartJoinsTheStartedOnes) {
    const std::string complaint = inChildWithThreadLimit(2, [] {
        std::atomic<int> entered{0};
        std::atomic<int> finished{0};
        const auto worker = [&](const int& file, std::vector<char>&) {
            // Keep the started threads alive until the next start meets the limit.
            ++entered;
            waitFor([&] { return entered.load() >= 2; });
            std::this_thread::sleep_for(200ms);
            ++finished;
            return file;
        };
        const std::vector<int> files = filesUpTo(8);
        const Flat<int> outcome = runByFile<int>(files, 8, worker);
        std::string problems;
        if (outcome.spawnError != EAGAIN)
            problems += "spawnError " + std::to_string(outcome.spawnError) + "; ";
        if (entered.load() != 2 || finished.load() != 2) {
            problems += "entered " + std::to_string(entered.load()) + ", finished " +
                        std::to_string(finished.load()) + "; ";
        }
        if (!outcome.results.empty()) problems += "results despite the failure; ";
        return problems;
    });
    EXPECT_EQ(complaint, "");
}

TEST(RunWorkers, RefusedFirstThreadStart) {
    const std::string complaint = inChildWithThreadLimit(0, [] {
        std::atomic<int> calls{0};
        const auto worker = [&](const int& file, std::vector<char>&) {
            ++calls;
            return file;
        };
        const std::vector<int> files = filesUpTo(3);
        const Flat<int> outcome = runByFile<int>(files, 2, worker);
        if (outcome.spawnError != EAGAIN) return "spawnError " + std::to_string(outcome.spawnError);
        if (calls.load() != 0 || !outcome.results.empty()) return std::string("work was done");
        return std::string();
    });
    EXPECT_EQ(complaint, "");
}

}  // namespace
}  // namespace orva

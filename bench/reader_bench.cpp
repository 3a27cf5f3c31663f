// Throughput of the JSON reader, on each of its paths and beside the reader as it was
// before its block scanners handled escapes and non-ASCII text (the "baseline" rows,
// session-scan/fuzz/baseline_reader/), with memchr and memcpy over the same bytes as
// the yardsticks. The closing table gives every median rate as a ratio to them.
//
// Corpora:
// - realistic-head: records as the catalog parses them from the head of chat files
//   (first records, prompts, system records, short replies and tool results), and
//   realistic-tail: any record of a session's body. bench/chat_corpus.py writes both
//   at build time (make bench) into the lines directory; by hand:
//       bench/chat_corpus.py lines DIR/head.jsonl --kind head --count 2000
//       bench/chat_corpus.py lines DIR/tail.jsonl --kind tail --count 1000
//   About 15 % of their sentences are German, French, Chinese, Japanese, Russian or
//   Greek or carry emoji, a tenth of the records escape every non-ASCII character,
//   and they carry code blocks, tool calls with JSON inside strings, nested tool
//   results and usage objects.
// - synthetic-strings and synthetic-structure: the older generated lines, mostly long
//   prose and code, and many small objects and numbers.
// - the hostile custom-title line: 32 000 escaped quotes before a bad escape.
//
//   build/bench/bench/orva_reader_bench [--lines-dir=DIR] [--benchmark_filter=...]
//
// extractInto decodes every line into one RecordFields kept from line to line; its
// allocs/record counter is the heap allocations per line once the record has grown.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "../session-scan/fuzz/baseline_reader/json_reader.h"
#include "../session-scan/fuzz/baseline_reader/record_fields.h"
#include "../session-scan/tests/title_search_reference.h"
#include "allocation_counter.h"
#include "json_reader.h"
#include "record_fields.h"
#include "session_titles.h"
#include "simd.h"

#ifndef ORVA_READER_LINES_DIR
#define ORVA_READER_LINES_DIR "."
#endif

namespace {

constexpr std::size_t CORPUS_BYTES = 1 << 20;  // about the head and tail windows of a few files

// A JSON Lines buffer with the extent of each line.
struct Corpus {
    std::string bytes;
    std::vector<std::string_view> lines;
};

Corpus splitLines(std::string bytes) {
    Corpus corpus;
    corpus.bytes = std::move(bytes);
    std::size_t begin = 0;
    while (begin < corpus.bytes.size()) {
        std::size_t end = corpus.bytes.find('\n', begin);
        if (end == std::string::npos) end = corpus.bytes.size();
        if (end > begin) corpus.lines.emplace_back(corpus.bytes.data() + begin, end - begin);
        begin = end + 1;
    }
    return corpus;
}

// clang-format off
class Generator {
public:
    explicit Generator(unsigned seed) : random_(seed) {}

    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    std::string id() {
        static const char HEX[] = "0123456789abcdef";
        std::string out;
        for (int i = 0; i < 36; ++i) out.push_back(i == 8 || i == 13 || i == 18 || i == 23 ? '-' : HEX[below(16)]);
        return out;
    }

    // Prose as it stands inside a JSON string: words, some quoted, some not ASCII,
    // paragraphs joined by escaped line feeds.
    std::string prose(std::size_t size) {
        static const char* const WORDS[] = {
            "the", "scanner", "reads", "each", "file", "and", "reports", "a", "status", "please", "refactor",
            "function", "so", "that", "it", "returns", "an", "optional", "value", "instead", "of", "throwing",
            "tests", "should", "cover", "edge", "cases", "like", "empty", "input", "caf\xC3\xA9",
            "na\xC3\xAFve", "\xE2\x80\x9Cquoted\xE2\x80\x9D", "\\\"literal\\\"", "\xE6\x97\xA5\xE6\x9C\xAC",
            "r\xC3\xA9sum\xC3\xA9", "`code`", "path/to/file.cpp", "(see", "above)", "\xF0\x9F\x9A\x80"};
        std::string out;
        while (out.size() < size) {
            const std::size_t words = 8 + below(40);
            for (std::size_t w = 0; w < words; ++w) {
                out += WORDS[below(std::size(WORDS))];
                out += w + 1 == words ? ". " : " ";
            }
            if (below(4) == 0) out += "\\n\\n";
        }
        return out;
    }

    // Source text inside a JSON string: indented lines ending in escaped line feeds,
    // with quotes, backslashes and tabs escaped.
    std::string code(std::size_t size) {
        static const char* const LINES[] = {
            "if (cursor.position >= cursor.length) return std::nullopt;",
            "for (std::size_t i = 0; i < count; ++i) {",
            "std::string name = \\\"orva-session-scan\\\";",
            "return value;", "}", "// keep the buffer for the next file",
            "printf(\\\"%s\\\\n\\\", path.c_str());",
            "const auto fields = extractRecordFields(line);",
            "\\tcase '\\\\\\\\': out.push_back('\\\\\\\\'); break;",
            "#include <string_view>", ""};
        std::string out;
        while (out.size() < size) {
            out.append(4 * below(4), ' ');
            out += LINES[below(std::size(LINES))];
            out += "\\n";
        }
        return out;
    }

    std::string stringHeavyLine() {
        std::string line = "{\"parentUuid\":\"" + id() + "\",\"uuid\":\"" + id() + "\",\"sessionId\":\"" + id() +
                           "\",\"cwd\":\"/home/dev/projects/orva\",\"gitBranch\":\"main\","
                           "\"timestamp\":\"2025-01-01T12:00:00.000Z\",";
        switch (below(3)) {
            case 0:
                line += "\"type\":\"user\",\"message\":{\"role\":\"user\",\"parts\":[{\"type\":\"text\",\"text\":\"" +
                        prose(300 + below(4000)) + "\"}]}}";
                break;
            case 1:
                line += "\"type\":\"assistant\",\"message\":{\"role\":\"assistant\",\"model\":\"m-1\",\"parts\":["
                        "{\"type\":\"text\",\"text\":\"" + prose(500 + below(6000)) + "\"},"
                        "{\"type\":\"tool_use\",\"id\":\"t1\",\"input\":{\"command\":\"cat src/json_reader.cpp\"}}]},"
                        "\"usage\":{\"input\":1234,\"output\":567}}";
                break;
            default:
                line += "\"type\":\"user\",\"message\":{\"role\":\"user\",\"parts\":[{\"type\":\"tool_result\","
                        "\"content\":\"" + code(2000 + below(30000)) + "\"}]},"
                        "\"toolUseResult\":{\"stdout\":\"" + code(1000 + below(8000)) +
                        "\",\"stderr\":\"\",\"interrupted\":false}}";
                break;
        }
        return line;
    }

    std::string structureHeavyLine() {
        std::string line = "{\"type\":\"metrics\",\"sessionId\":\"" + id() + "\",\"samples\":[";
        const std::size_t samples = 50 + below(200);
        for (std::size_t i = 0; i < samples; ++i) {
            if (i != 0) line += ',';
            line += "{\"t\":" + std::to_string(1700000000000 + below(1000000)) +
                    ",\"cpu\":0." + std::to_string(below(1000)) + ",\"mem\":" + std::to_string(below(1u << 30)) +
                    ",\"ok\":" + (below(2) ? "true" : "false") + ",\"err\":null,\"tags\":[\"a\",\"io\"]," +
                    "\"h\":[" + std::to_string(below(100)) + "," + std::to_string(below(100)) + ",-" +
                    std::to_string(below(100)) + ".5e-3],\"n\":{\"x\":" + std::to_string(below(10)) + "}}";
        }
        return line + "]}";
    }

private:
    std::mt19937_64 random_;
};

// clang-format on

template <typename MakeLine>
Corpus makeCorpus(MakeLine makeLine) {
    std::string bytes;
    while (bytes.size() < CORPUS_BYTES) {
        bytes += makeLine();
        bytes += '\n';
    }
    return splitLines(std::move(bytes));
}

std::string linesDir = ORVA_READER_LINES_DIR;

Corpus readLines(const std::string& name) {
    std::string path = linesDir;
    path.append("/").append(name);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "orva_reader_bench: cannot read %s (see bench/chat_corpus.py)\n",
                     path.c_str());
        std::exit(2);
    }
    return splitLines(std::string(std::istreambuf_iterator<char>(in), {}));
}

struct NamedCorpus {
    std::string name;
    Corpus corpus;
};

const std::vector<NamedCorpus>& corpora() {
    static const std::vector<NamedCorpus> all = [] {
        std::vector<NamedCorpus> list;
        list.push_back({"realistic-head", readLines("head.jsonl")});
        list.push_back({"realistic-tail", readLines("tail.jsonl")});
        Generator strings(1);
        list.push_back(
            {"synthetic-strings", makeCorpus([&] { return strings.stringHeavyLine(); })});
        Generator structure(2);
        list.push_back(
            {"synthetic-structure", makeCorpus([&] { return structure.structureHeavyLine(); })});
        return list;
    }();
    return all;
}

void setBytes(benchmark::State& state, std::size_t bytes) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// Runs the loop on one reader path, and puts the active path back afterwards.
class OnPath {
  public:
    explicit OnPath(orva::ReaderPath path) : previous_(orva::activeReaderPath()) {
        orva::forceReaderPath(path);
    }
    ~OnPath() { orva::forceReaderPath(previous_); }

  private:
    orva::ReaderPath previous_;
};

void skipLines(benchmark::State& state, const Corpus& corpus, orva::ReaderPath path) {
    const OnPath on(path);
    for (auto _ : state) {
        for (std::string_view line : corpus.lines) {
            orva::JsonCursor cursor{line.data(), line.size(), 0};
            const bool skipped = orva::skipValue(cursor, 1);
            if (!skipped) state.SkipWithError("a corpus line did not skip");
            benchmark::DoNotOptimize(skipped);
        }
    }
    setBytes(state, corpus.bytes.size());
}

void extractLines(benchmark::State& state, const Corpus& corpus, orva::ReaderPath path) {
    const OnPath on(path);
    for (auto _ : state) {
        for (std::string_view line : corpus.lines) {
            auto fields = orva::extractRecordFields(line);
            if (!fields) state.SkipWithError("a corpus line gave no record");
            benchmark::DoNotOptimize(fields);
        }
    }
    setBytes(state, corpus.bytes.size());
}

void extractLinesInto(benchmark::State& state, const Corpus& corpus, orva::ReaderPath path) {
    const OnPath on(path);
    orva::RecordFields fields;
    for (std::string_view line : corpus.lines) orva::extractRecordFieldsInto(line, fields);
    const std::size_t before = allocationCount;
    for (auto _ : state) {
        for (std::string_view line : corpus.lines) {
            const bool extracted = orva::extractRecordFieldsInto(line, fields);
            if (!extracted) state.SkipWithError("a corpus line gave no record");
            benchmark::DoNotOptimize(fields);
        }
    }
    state.counters["allocs/record"] = static_cast<double>(allocationCount - before) /
                                      static_cast<double>(state.iterations() * corpus.lines.size());
    setBytes(state, corpus.bytes.size());
}

void baselineSkipLines(benchmark::State& state, const Corpus& corpus) {
    for (auto _ : state) {
        for (std::string_view line : corpus.lines) {
            orva::baseline::JsonCursor cursor{line.data(), line.size(), 0};
            const bool skipped = orva::baseline::skipValue(cursor, 1);
            if (!skipped) state.SkipWithError("a corpus line did not skip");
            benchmark::DoNotOptimize(skipped);
        }
    }
    setBytes(state, corpus.bytes.size());
}

void baselineExtractLines(benchmark::State& state, const Corpus& corpus) {
    const std::size_t before = allocationCount;
    for (auto _ : state) {
        for (std::string_view line : corpus.lines) {
            auto fields = orva::baseline::extractRecordFields(line);
            if (!fields) state.SkipWithError("a corpus line gave no record");
            benchmark::DoNotOptimize(fields);
        }
    }
    state.counters["allocs/record"] = static_cast<double>(allocationCount - before) /
                                      static_cast<double>(state.iterations() * corpus.lines.size());
    setBytes(state, corpus.bytes.size());
}

// A custom-title line on which every quote starts a string read that runs to the bad
// escape at the end of the line: 32 000 escaped quotes, about 64 KB.
const std::string& hostileTitleLine() {
    static const std::string line = [] {
        std::string text = "{\"type\":\"system\",\"subtype\":\"custom_title\",\"x\":\"";
        for (int i = 0; i < 32000; ++i) text += "\\\"";
        return text + "\\x\"}";
    }();
    return line;
}

template <orva::CustomTitleOutcome (*SEARCH)(std::string_view)>
void titleSearch(benchmark::State& state, const std::string& window) {
    for (auto _ : state) {
        auto found = SEARCH(window);
        benchmark::DoNotOptimize(found);
    }
    setBytes(state, window.size());
}

// Finds a byte the corpus never holds, so every byte is looked at.
void memchrBaseline(benchmark::State& state, const Corpus& corpus) {
    for (auto _ : state) {
        const void* hit = std::memchr(corpus.bytes.data(), '\x01', corpus.bytes.size());
        benchmark::DoNotOptimize(hit);
    }
    setBytes(state, corpus.bytes.size());
}

void memcpyBaseline(benchmark::State& state, const Corpus& corpus) {
    std::string target(corpus.bytes.size(), '\0');
    for (auto _ : state) {
        std::memcpy(target.data(), corpus.bytes.data(), corpus.bytes.size());
        benchmark::ClobberMemory();
    }
    setBytes(state, corpus.bytes.size());
}

// Prints the usual console table, then each benchmark's median rate and its
// ratio to the two yardsticks.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const auto rate = run.counters.find("bytes_per_second");
            if (rate == run.counters.end()) continue;
            const std::string& name = run.run_name.function_name;
            if (std::find(names_.begin(), names_.end(), name) == names_.end())
                names_.push_back(name);
            const auto allocs = run.counters.find("allocs/record");
            const bool hasAllocs = allocs != run.counters.end();
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name != "median") continue;
                medians_[name] = rate->second.value;
                if (hasAllocs) allocsPerRecord_[name] = allocs->second.value;
            } else {
                samples_[name].push_back(rate->second.value);
                if (hasAllocs && !allocsPerRecord_.contains(name))
                    allocsPerRecord_[name] = allocs->second.value;
            }
        }
    }

    void printRatios() const {
        const double memchrRate = rateOf("yardstick/memchr");
        const double memcpyRate = rateOf("yardstick/memcpy");
        std::printf("\n%-44s %8s %9s %9s %14s\n", "median rate (CPU time)", "GB/s", "/ memchr",
                    "/ memcpy", "allocs/record");
        // A yardstick left out by --benchmark_filter shows as a dash.
        const auto ratio = [](double rate, double yardstick) {
            char text[16] = "-";
            if (yardstick > 0) std::snprintf(text, sizeof text, "%.3f", rate / yardstick);
            return std::string(text);
        };
        for (const std::string& name : names_) {
            const double rate = rateOf(name);
            char allocs[16] = "";
            if (const auto found = allocsPerRecord_.find(name); found != allocsPerRecord_.end())
                std::snprintf(allocs, sizeof allocs, "%.3f", found->second);
            std::printf("%-44s %8.3f %9s %9s %14s\n", name.c_str(), rate / 1e9,
                        ratio(rate, memchrRate).c_str(), ratio(rate, memcpyRate).c_str(), allocs);
        }
    }

  private:
    double rateOf(const std::string& name) const {
        if (const auto median = medians_.find(name); median != medians_.end())
            return median->second;
        const auto found = samples_.find(name);
        if (found == samples_.end() || found->second.empty()) return 0.0;
        std::vector<double> sorted = found->second;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }

    std::vector<std::string> names_;  // in the order they ran
    std::map<std::string, std::vector<double>> samples_;
    std::map<std::string, double> medians_;
    std::map<std::string, double> allocsPerRecord_;
};

// --lines-dir=DIR, taken out of the arguments before the library sees them.
void takeLinesDir(int& argc, char** argv) {
    constexpr std::string_view FLAG = "--lines-dir=";
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument.substr(0, FLAG.size()) == FLAG) {
            linesDir = std::string(argument.substr(FLAG.size()));
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
}

std::string benchName(std::string_view operation, std::string_view corpus, std::string_view path) {
    std::string name(operation);
    name.append("/").append(corpus).append("/").append(path);
    return name;
}

template <typename... Args>
void add(const std::string& name, Args&&... args) {
    benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...)
        ->Repetitions(5)
        ->DisplayAggregatesOnly(true);
}

}  // namespace

int main(int argc, char** argv) {
    takeLinesDir(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    for (const NamedCorpus& named : corpora()) {
        std::printf("%-20s %9zu bytes in %6zu lines\n", named.name.c_str(),
                    named.corpus.bytes.size(), named.corpus.lines.size());
    }
    const Corpus& head = corpora().front().corpus;
    add("yardstick/memchr", memchrBaseline, std::cref(head));
    add("yardstick/memcpy", memcpyBaseline, std::cref(head));
    for (const NamedCorpus& named : corpora()) {
        const auto corpus = std::cref(named.corpus);
        add(benchName("extract", named.name, "baseline"), baselineExtractLines, corpus);
        for (orva::ReaderPath path : orva::availableReaderPaths()) {
            const std::string_view pathName = orva::readerPathName(path);
            add(benchName("extract", named.name, pathName), extractLines, corpus, path);
            add(benchName("extractInto", named.name, pathName), extractLinesInto, corpus, path);
        }
        add(benchName("skipValue", named.name, "baseline"), baselineSkipLines, corpus);
        for (orva::ReaderPath path : orva::availableReaderPaths()) {
            add(benchName("skipValue", named.name, orva::readerPathName(path)), skipLines, corpus,
                path);
        }
    }
    add("findCustomTitle/hostile-line", titleSearch<orva::findCustomTitle>,
        std::cref(hostileTitleLine()));
    // The literal search tries a fresh string read at every quote: quadratic, so one
    // pass is enough to show it.
    benchmark::RegisterBenchmark("findCustomTitle/hostile-line/literal",
                                 titleSearch<orva::reference::findCustomTitle>,
                                 std::cref(hostileTitleLine()))
        ->Iterations(1);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}

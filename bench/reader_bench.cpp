// Throughput of the JSON reader on generated chat-like lines: skipValue and
// extractRecordFields over (a) string-heavy records, mostly long prompts, replies
// and tool output, and (b) structure-heavy records, many small objects and
// numbers. memchr and memcpy over the same bytes run in the same process as the
// baseline, and the closing table gives each figure as a ratio to them.
//
//   build/bench/bench/orva_reader_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "../session-scan/tests/title_search_reference.h"
#include "json_reader.h"
#include "record_fields.h"
#include "session_titles.h"

namespace {

constexpr std::size_t CORPUS_BYTES = 1 << 20;  // about the head and tail windows of a few files

// A JSON Lines buffer with the extent of each line.
struct Corpus {
    std::string bytes;
    std::vector<std::string_view> lines;
};

class Generator {
  public:
    explicit Generator(unsigned seed) : random_(seed) {}

    std::size_t below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
    }

    std::string id() {
        static const char HEX[] = "0123456789abcdef";
        std::string out;
        for (int i = 0; i < 36; ++i)
            out.push_back(i == 8 || i == 13 || i == 18 || i == 23 ? '-' : HEX[below(16)]);
        return out;
    }

    // Prose as it stands inside a JSON string: words, some quoted, some not ASCII,
    // paragraphs joined by escaped line feeds.
    std::string prose(std::size_t size) {
        static const char* const WORDS[] = {"the",
                                            "scanner",
                                            "reads",
                                            "each",
                                            "file",
                                            "and",
                                            "reports",
                                            "a",
                                            "status",
                                            "please",
                                            "refactor",
                                            "function",
                                            "so",
                                            "that",
                                            "it",
                                            "returns",
                                            "an",
                                            "optional",
                                            "value",
                                            "instead",
                                            "of",
                                            "throwing",
                                            "tests",
                                            "should",
                                            "cover",
                                            "edge",
                                            "cases",
                                            "like",
                                            "empty",
                                            "input",
                                            "caf\xC3\xA9",
                                            "na\xC3\xAFve",
                                            "\xE2\x80\x9Cquoted\xE2\x80\x9D",
                                            "\\\"literal\\\"",
                                            "\xE6\x97\xA5\xE6\x9C\xAC",
                                            "r\xC3\xA9sum\xC3\xA9",
                                            "`code`",
                                            "path/to/file.cpp",
                                            "(see",
                                            "above)",
                                            "\xF0\x9F\x9A\x80"};
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
            "return value;",
            "}",
            "// keep the buffer for the next file",
            "printf(\\\"%s\\\\n\\\", path.c_str());",
            "const auto fields = extractRecordFields(line);",
            "\\tcase '\\\\\\\\': out.push_back('\\\\\\\\'); break;",
            "#include <string_view>",
            ""};
        std::string out;
        while (out.size() < size) {
            out.append(4 * below(4), ' ');
            out += LINES[below(std::size(LINES))];
            out += "\\n";
        }
        return out;
    }

    std::string stringHeavyLine() {
        std::string line = "{\"parentUuid\":\"" + id() + "\",\"uuid\":\"" + id() +
                           "\",\"sessionId\":\"" + id() +
                           "\",\"cwd\":\"/home/dev/projects/orva\",\"gitBranch\":\"main\","
                           "\"timestamp\":\"2025-01-01T12:00:00.000Z\",";
        switch (below(3)) {
            case 0:
                line +=
                    "\"type\":\"user\",\"message\":{\"role\":\"user\",\"parts\":[{\"type\":"
                    "\"text\",\"text\":\"" +
                    prose(300 + below(4000)) + "\"}]}}";
                break;
            case 1:
                line +=
                    "\"type\":\"assistant\",\"message\":{\"role\":\"assistant\",\"model\":\"m-1\","
                    "\"parts\":["
                    "{\"type\":\"text\",\"text\":\"" +
                    prose(500 + below(6000)) +
                    "\"},"
                    "{\"type\":\"tool_use\",\"id\":\"t1\",\"input\":{\"command\":\"cat "
                    "src/json_reader.cpp\"}}]},"
                    "\"usage\":{\"input\":1234,\"output\":567}}";
                break;
            default:
                line +=
                    "\"type\":\"user\",\"message\":{\"role\":\"user\",\"parts\":[{\"type\":\"tool_"
                    "result\","
                    "\"content\":\"" +
                    code(2000 + below(30000)) +
                    "\"}]},"
                    "\"toolUseResult\":{\"stdout\":\"" +
                    code(1000 + below(8000)) + "\",\"stderr\":\"\",\"interrupted\":false}}";
                break;
        }
        return line;
    }

    std::string structureHeavyLine() {
        std::string line = "{\"type\":\"metrics\",\"sessionId\":\"" + id() + "\",\"samples\":[";
        const std::size_t samples = 50 + below(200);
        for (std::size_t i = 0; i < samples; ++i) {
            if (i != 0) line += ',';
            line += "{\"t\":" + std::to_string(1700000000000 + below(1000000)) + ",\"cpu\":0." +
                    std::to_string(below(1000)) + ",\"mem\":" + std::to_string(below(1u << 30)) +
                    ",\"ok\":" + (below(2) ? "true" : "false") +
                    ",\"err\":null,\"tags\":[\"a\",\"io\"]," + "\"h\":[" +
                    std::to_string(below(100)) + "," + std::to_string(below(100)) + ",-" +
                    std::to_string(below(100)) +
                    ".5e-3],\"n\":{\"x\":" + std::to_string(below(10)) + "}}";
        }
        return line + "]}";
    }

  private:
    std::mt19937_64 random_;
};

template <typename MakeLine>
Corpus makeCorpus(MakeLine makeLine) {
    Corpus corpus;
    std::vector<std::size_t> ends;
    while (corpus.bytes.size() < CORPUS_BYTES) {
        corpus.bytes += makeLine();
        ends.push_back(corpus.bytes.size());
        corpus.bytes += '\n';
    }
    std::size_t begin = 0;
    for (std::size_t end : ends) {
        corpus.lines.emplace_back(corpus.bytes.data() + begin, end - begin);
        begin = end + 1;
    }
    return corpus;
}

const Corpus& stringHeavy() {
    static const Corpus corpus = [] {
        Generator g(1);
        return makeCorpus([&] { return g.stringHeavyLine(); });
    }();
    return corpus;
}

const Corpus& structureHeavy() {
    static const Corpus corpus = [] {
        Generator g(2);
        return makeCorpus([&] { return g.structureHeavyLine(); });
    }();
    return corpus;
}

void skipLines(benchmark::State& state, const Corpus& corpus) {
    for (auto _ : state) {
        for (std::string_view line : corpus.lines) {
            orva::JsonCursor cursor{line.data(), line.size(), 0};
            const bool skipped = orva::skipValue(cursor, 1);
            if (!skipped) state.SkipWithError("a generated line did not skip");
            benchmark::DoNotOptimize(skipped);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus.bytes.size()));
}

void extractLines(benchmark::State& state, const Corpus& corpus) {
    for (auto _ : state) {
        for (std::string_view line : corpus.lines) {
            auto fields = orva::extractRecordFields(line);
            if (!fields) state.SkipWithError("a generated line gave no record");
            benchmark::DoNotOptimize(fields);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus.bytes.size()));
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
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * window.size()));
}

// Finds a byte the corpus never holds, so every byte is looked at.
void memchrBaseline(benchmark::State& state, const Corpus& corpus) {
    for (auto _ : state) {
        const void* hit = std::memchr(corpus.bytes.data(), '\x01', corpus.bytes.size());
        benchmark::DoNotOptimize(hit);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus.bytes.size()));
}

void memcpyBaseline(benchmark::State& state, const Corpus& corpus) {
    std::string target(corpus.bytes.size(), '\0');
    for (auto _ : state) {
        std::memcpy(target.data(), corpus.bytes.data(), corpus.bytes.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus.bytes.size()));
}

// Prints the usual console table, then each benchmark's median rate and its
// ratio to the two baselines.
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
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") medians_[name] = rate->second.value;
            } else {
                samples_[name].push_back(rate->second.value);
            }
        }
    }

    void printRatios() const {
        const double memchrRate = rateOf("baseline/memchr");
        const double memcpyRate = rateOf("baseline/memcpy");
        std::printf("\n%-36s %8s %10s %10s\n", "median rate (CPU time)", "GB/s", "/ memchr",
                    "/ memcpy");
        // A baseline left out by --benchmark_filter shows as a dash.
        const auto ratio = [](double rate, double baseline) {
            char text[16] = "-";
            if (baseline > 0) std::snprintf(text, sizeof text, "%.3f", rate / baseline);
            return std::string(text);
        };
        for (const std::string& name : names_) {
            const double rate = rateOf(name);
            std::printf("%-36s %8.2f %10s %10s\n", name.c_str(), rate / 1e9,
                        ratio(rate, memchrRate).c_str(), ratio(rate, memcpyRate).c_str());
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
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf(
        "string-heavy corpus: %zu bytes in %zu lines; structure-heavy: %zu bytes in %zu lines\n",
        stringHeavy().bytes.size(), stringHeavy().lines.size(), structureHeavy().bytes.size(),
        structureHeavy().lines.size());
    const auto add = [](const char* name, void (*fn)(benchmark::State&, const Corpus&),
                        const Corpus& corpus) {
        benchmark::RegisterBenchmark(name, fn, std::cref(corpus))
            ->Repetitions(5)
            ->DisplayAggregatesOnly(true);
    };
    add("baseline/memchr", memchrBaseline, stringHeavy());
    add("baseline/memcpy", memcpyBaseline, stringHeavy());
    add("skipValue/string-heavy", skipLines, stringHeavy());
    add("skipValue/structure-heavy", skipLines, structureHeavy());
    add("extractRecordFields/string-heavy", extractLines, stringHeavy());
    add("extractRecordFields/structure-heavy", extractLines, structureHeavy());
    // The literal search tries a fresh string read at every quote: quadratic, so one
    // pass is enough to show it.
    benchmark::RegisterBenchmark("findCustomTitle/hostile-line", titleSearch<orva::findCustomTitle>,
                                 std::cref(hostileTitleLine()))
        ->Repetitions(5)
        ->DisplayAggregatesOnly(true);
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

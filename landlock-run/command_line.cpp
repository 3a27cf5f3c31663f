#include "command_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "direct_launch.h"
#include "reports.h"
#include "ruleset.h"

namespace {

constexpr long long MIN_STATUS_FD = 3;
constexpr long long MAX_STATUS_FD = 2147483647;

// The two grant lists, each with room for every argument, so neither can overflow.
struct GrantLists {
    const char** ro;
    const char** rw;
    explicit GrantLists(int argc) {
        const size_t entries = argc > 0 ? static_cast<size_t>(argc) : 1;
        ro = static_cast<const char**>(std::calloc(entries, sizeof(const char*)));
        rw = static_cast<const char**>(std::calloc(entries, sizeof(const char*)));
    }
    GrantLists(const GrantLists&) = delete;
    GrantLists& operator=(const GrantLists&) = delete;
    ~GrantLists() {
        std::free(ro);
        std::free(rw);
    }
};

bool equals(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

// Base 10, leading white space and one sign allowed, no overflow, nothing after
// the digits, and within the descriptor range.
bool parse_status_fd(const char* text, int* fd) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno == ERANGE || end == text || *end != '\0') return false;
    if (value < MIN_STATUS_FD || value > MAX_STATUS_FD) return false;
    *fd = static_cast<int>(value);
    return true;
}

}  // namespace

int run_direct_or_probe(int argc, char** argv) {
    GrantLists lists(argc);
    if (lists.ro == nullptr || lists.rw == nullptr) return fail("out of memory");
    LaunchOptions options{};
    options.ro_grants = lists.ro;
    options.rw_grants = lists.rw;
    if (argc < 2) return fail("missing -- <argv> command");

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (equals(arg, "--probe")) {
            if (argc != 2) return fail("--probe takes no other arguments");
            return run_probe();
        }
        if (equals(arg, "--status-fd")) {
            if (!has_value || options.status_fd >= 0) return fail("invalid --status-fd");
            if (!parse_status_fd(argv[++i], &options.status_fd)) {
                return fail("--status-fd requires an open descriptor >= 3");
            }
        } else if (equals(arg, "--ro")) {
            if (!has_value) return fail("grant requires a path");
            options.ro_grants[options.ro_count++] = argv[++i];
        } else if (equals(arg, "--rw")) {
            if (!has_value) return fail("grant requires a path");
            options.rw_grants[options.rw_count++] = argv[++i];
        } else if (equals(arg, "--")) {
            if (!has_value) break;
            options.command = argv + i + 1;
            return launch_direct(options);
        } else {
            return fail("unknown argument");
        }
    }
    return fail("missing -- <argv> command");
}

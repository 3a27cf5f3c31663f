#include "command_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "direct_launch.h"
#include "landlock_abi.h"
#include "reports.h"
#include "ruleset.h"

namespace {

constexpr long long MIN_STATUS_FD = 3;
constexpr long long MAX_STATUS_FD = 2147483647;
constexpr unsigned MAX_PORT = PortSet::PORT_COUNT - 1;

constexpr char PORT_MISSING[] = "port rule requires a port";
constexpr char PORT_INVALID[] = "port must be a decimal number from 0 to 65535";
constexpr char SCOPE_INVALID[] = "--scope takes signal or abstract-unix-socket";

struct ScopeName {
    const char* name;    // the word after --scope
    const char* option;  // both words, for the message of a kernel without scopes
    std::uint64_t scope;
};
constexpr ScopeName SCOPE_NAMES[] = {
    {"signal", "--scope signal", landlock::SCOPE_SIGNAL},
    {"abstract-unix-socket", "--scope abstract-unix-socket", landlock::SCOPE_ABSTRACT_UNIX_SOCKET},
};

// The port rules' lists; static, so that only the grant lists come from the heap.
PortSet connect_ports;
PortSet bind_ports;

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

// Decimal digits only, 0 to 65535; leading zeros are still decimal.
bool parse_port(const char* text, unsigned* port) {
    if (*text == '\0') return false;
    unsigned value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
        value = value * 10 + static_cast<unsigned>(*text - '0');
        if (value > MAX_PORT) return false;
    }
    *port = value;
    return true;
}

const ScopeName* find_scope(const char* name) {
    for (const ScopeName& scope : SCOPE_NAMES) {
        if (equals(name, scope.name)) return &scope;
    }
    return nullptr;
}

void request_abi(AbiRequest& request, const char* option, int position, std::int64_t abi) {
    if (request.option != nullptr) return;
    request.option = option;
    request.position = position;
    request.abi = abi;
}

// --tcp-connect or --tcp-bind at argv[i] with its port at argv[i + 1]: the first of
// either turns its right on, and each lists one more port that stays allowed.
int add_port_rule(LaunchOptions& options, char** argv, int i) {
    unsigned port = 0;
    if (!parse_port(argv[i + 1], &port)) return fail(PORT_INVALID);
    const bool connect = equals(argv[i], "--tcp-connect");
    add_port(connect ? connect_ports : bind_ports, port);
    options.handled_net |=
        connect ? landlock::ACCESS_NET_CONNECT_TCP : landlock::ACCESS_NET_BIND_TCP;
    request_abi(options.network, argv[i], i, landlock::NET_ABI);
    return 0;
}

}  // namespace

int run_direct_or_probe(int argc, char** argv) {
    GrantLists lists(argc);
    if (lists.ro == nullptr || lists.rw == nullptr) return fail("out of memory");
    LaunchOptions options{};
    options.ro_grants = lists.ro;
    options.rw_grants = lists.rw;
    options.connect_ports = &connect_ports;
    options.bind_ports = &bind_ports;
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
        } else if (equals(arg, "--tcp-connect") || equals(arg, "--tcp-bind")) {
            if (!has_value) return fail(PORT_MISSING);
            if (add_port_rule(options, argv, i++) != 0) return LAUNCHER_FAILURE;
        } else if (equals(arg, "--no-network")) {
            options.handled_net |= landlock::ACCESS_NET_CONNECT_TCP | landlock::ACCESS_NET_BIND_TCP;
            request_abi(options.network, arg, i, landlock::NET_ABI);
        } else if (equals(arg, "--scope")) {
            const ScopeName* scope = has_value ? find_scope(argv[i + 1]) : nullptr;
            if (scope == nullptr) return fail(SCOPE_INVALID);
            options.scoped |= scope->scope;
            request_abi(options.scope, scope->option, i, landlock::SCOPE_ABI);
            ++i;
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

#include "ruleset.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "landlock_abi.h"
#include "reports.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using namespace landlock;

constexpr std::uint64_t HANDLED_RIGHTS_ABI3 = (ACCESS_FS_TRUNCATE << 1) - 1;
constexpr std::uint64_t HANDLED_RIGHTS_ABI5 = (ACCESS_FS_IOCTL_DEV << 1) - 1;
constexpr std::uint64_t READ_ONLY_RIGHTS =
    ACCESS_FS_EXECUTE | ACCESS_FS_READ_FILE | ACCESS_FS_READ_DIR;
// The rights that a rule on anything but a directory may carry.
constexpr std::uint64_t FILE_RIGHTS = ACCESS_FS_EXECUTE | ACCESS_FS_WRITE_FILE |
                                      ACCESS_FS_READ_FILE | ACCESS_FS_TRUNCATE |
                                      ACCESS_FS_IOCTL_DEV;
static_assert(HANDLED_RIGHTS_ABI3 == 0x7fff && HANDLED_RIGHTS_ABI5 == 0xffff);
static_assert(READ_ONLY_RIGHTS == 0xd && FILE_RIGHTS == 0xc007);

constexpr std::int64_t MIN_ABI = 3;
constexpr std::int64_t IOCTL_DEV_ABI = 5;
constexpr int PROBE_LINE_SIZE = 64;    // holds the line with any 64-bit ABI number
constexpr int ABI_MESSAGE_SIZE = 128;  // holds the message for the longest option

long create_ruleset(const ruleset_attr* attr, unsigned long size, std::uint32_t flags) {
    return syscall(SYS_CREATE_RULESET, attr, size, flags);
}

long add_rule(int ruleset_fd, int rule_type, const void* rule, std::uint32_t flags) {
    return syscall(SYS_ADD_RULE, ruleset_fd, rule_type, rule, flags);
}

long restrict_self(int ruleset_fd, std::uint32_t flags) {
    return syscall(SYS_RESTRICT_SELF, ruleset_fd, flags);
}

// The leak checker needs /proc and ptrace, which the sandbox takes away; sanitized
// builds check for leaks right before the restriction instead of at exit.
void check_leaks_before_sandbox() {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
}

int add_grant_list(int ruleset_fd, const char* const* paths, int count, std::uint64_t rights) {
    for (int i = 0; i < count; ++i) {
        if (add_grant_rule(ruleset_fd, paths[i], rights) != 0) return LAUNCHER_FAILURE;
    }
    return 0;
}

// Fails closed: an option that the kernel's ABI cannot enforce ends the launch, so
// that a command never runs with less than was asked for. The first such option on
// the command line is the one named.
int check_requested_abi(const LaunchOptions& options, long version) {
    const AbiRequest* requests[] = {&options.network, &options.scope};
    const AbiRequest* unmet = nullptr;
    for (const AbiRequest* request : requests) {
        if (request->option == nullptr || version >= request->abi) continue;
        if (unmet == nullptr || request->position < unmet->position) unmet = request;
    }
    if (unmet == nullptr) return 0;
    char text[ABI_MESSAGE_SIZE];
    std::snprintf(text, sizeof text,
                  "%s requires Landlock ABI %" PRId64 " or newer; the kernel has ABI %ld",
                  unmet->option, unmet->abi, version);
    return fail(text);
}

// The shortest leading part of the record that carries what the ruleset handles.
unsigned long ruleset_attr_size(const ruleset_attr& attr) {
    if (attr.scoped != 0) return RULESET_ATTR_SCOPED_SIZE;
    if (attr.handled_access_net != 0) return RULESET_ATTR_NET_SIZE;
    return RULESET_ATTR_FS_SIZE;
}

// One rule per listed port, in ascending order, for a network right the ruleset
// handles; nothing for a right it leaves alone.
int add_port_rules(int ruleset_fd, const PortSet* ports, std::uint64_t right,
                   std::uint64_t handled) {
    if (ports == nullptr || (handled & right) == 0) return 0;
    for (unsigned port = 0; port < PortSet::PORT_COUNT; ++port) {
        if (!has_port(*ports, port)) continue;
        const net_port_attr rule{right, port};
        if (add_rule(ruleset_fd, RULE_NET_PORT, &rule, 0) < 0) {
            return fail_with_error("cannot add port rule");
        }
    }
    return 0;
}

}  // namespace

int add_grant_rule(int ruleset_fd, const char* path, std::uint64_t rights) {
    ScopedFd target(open(path, O_PATH | O_CLOEXEC));
    if (target.fd < 0) return fail_with_error("cannot open grant path");
    struct stat info;
    if (fstat(target.fd, &info) < 0) {
        target.close_now();
        return fail_with_error("cannot inspect grant path");
    }
    path_beneath_attr rule{};
    rule.allowed_access = S_ISDIR(info.st_mode) ? rights : rights & FILE_RIGHTS;
    rule.parent_fd = target.fd;
    const long added = add_rule(ruleset_fd, RULE_PATH_BENEATH, &rule, 0);
    target.close_now();
    if (added < 0) return fail_with_error("cannot add grant rule");
    return 0;
}

int enforce_grants(const LaunchOptions& options, std::int64_t* abi) {
    const long version = create_ruleset(nullptr, 0, CREATE_RULESET_VERSION);
    if (version < 0) return fail_with_error("Landlock is unavailable");
    if (version < MIN_ABI) return fail("Landlock ABI 3 or newer is required");
    if (check_requested_abi(options, version) != 0) return LAUNCHER_FAILURE;
    const ruleset_attr attr{version >= IOCTL_DEV_ABI ? HANDLED_RIGHTS_ABI5 : HANDLED_RIGHTS_ABI3,
                            options.handled_net, options.scoped};
    const long created = create_ruleset(&attr, ruleset_attr_size(attr), 0);
    if (created < 0) return fail_with_error("cannot create Landlock ruleset");
    ScopedFd ruleset(static_cast<int>(created));
    // Every read-only grant before every read-write grant, however they were mixed,
    // then the connect ports and the bind ports.
    const std::uint64_t rw_rights = attr.handled_access_fs;
    const std::uint64_t net = attr.handled_access_net;
    if (add_grant_list(ruleset.fd, options.ro_grants, options.ro_count, READ_ONLY_RIGHTS) != 0 ||
        add_grant_list(ruleset.fd, options.rw_grants, options.rw_count, rw_rights) != 0 ||
        add_port_rules(ruleset.fd, options.connect_ports, ACCESS_NET_CONNECT_TCP, net) != 0 ||
        add_port_rules(ruleset.fd, options.bind_ports, ACCESS_NET_BIND_TCP, net) != 0) {
        return LAUNCHER_FAILURE;
    }
    check_leaks_before_sandbox();
    // Only now, with every rule in place: a failure above leaves the process as it was.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1ul, 0ul, 0ul, 0ul) < 0) {
        ruleset.close_now();
        return fail_with_error("cannot set no_new_privs");
    }
    if (restrict_self(ruleset.fd, 0) < 0) {
        ruleset.close_now();
        return fail_with_error("cannot enforce Landlock ruleset");
    }
    *abi = version;
    return 0;
}

int run_probe() {
    const char* root[] = {"/"};
    LaunchOptions options{};
    options.ro_grants = root;
    options.ro_count = 1;
    std::int64_t abi = 0;
    if (enforce_grants(options, &abi) != 0) return LAUNCHER_FAILURE;
    // Written like every other line, with SIGPIPE held back: a reader that has gone
    // costs the line, which is not reported, and not the probe's exit status.
    char line[PROBE_LINE_SIZE];
    const int length = std::snprintf(line, sizeof line,
                                     "{\"abi\":%" PRId64 ",\"enforcement\":\"partial\"}\n", abi);
    (void)write_all(STDOUT_FILENO, line, static_cast<unsigned long>(length));
    return 0;
}

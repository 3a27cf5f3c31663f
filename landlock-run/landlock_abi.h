// The kernel's Landlock interface: system call numbers, flags, rights and records.
// Written out here because the build machine's kernel headers may predate the
// kernel that the launcher runs on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace landlock {

// The system call numbers come from the unified table that every architecture
// added after 5.13 shares; add an architecture only after checking its table.
#if defined(__x86_64__) || defined(__aarch64__)
constexpr long SYS_CREATE_RULESET = 444;
constexpr long SYS_ADD_RULE = 445;
constexpr long SYS_RESTRICT_SELF = 446;
#else
#error "Landlock system call numbers are not known for this architecture"
#endif

constexpr std::uint32_t CREATE_RULESET_VERSION = 1u << 0;
constexpr int RULE_PATH_BENEATH = 1;
constexpr int RULE_NET_PORT = 2;  // ABI 4

// The first ABI versions that know the network rights and the scopes.
constexpr std::int64_t NET_ABI = 4;
constexpr std::int64_t SCOPE_ABI = 6;

constexpr std::uint64_t ACCESS_FS_EXECUTE = 1ull << 0;
constexpr std::uint64_t ACCESS_FS_WRITE_FILE = 1ull << 1;
constexpr std::uint64_t ACCESS_FS_READ_FILE = 1ull << 2;
constexpr std::uint64_t ACCESS_FS_READ_DIR = 1ull << 3;
constexpr std::uint64_t ACCESS_FS_REMOVE_DIR = 1ull << 4;
constexpr std::uint64_t ACCESS_FS_REMOVE_FILE = 1ull << 5;
constexpr std::uint64_t ACCESS_FS_MAKE_CHAR = 1ull << 6;
constexpr std::uint64_t ACCESS_FS_MAKE_DIR = 1ull << 7;
constexpr std::uint64_t ACCESS_FS_MAKE_REG = 1ull << 8;
constexpr std::uint64_t ACCESS_FS_MAKE_SOCK = 1ull << 9;
constexpr std::uint64_t ACCESS_FS_MAKE_FIFO = 1ull << 10;
constexpr std::uint64_t ACCESS_FS_MAKE_BLOCK = 1ull << 11;
constexpr std::uint64_t ACCESS_FS_MAKE_SYM = 1ull << 12;
constexpr std::uint64_t ACCESS_FS_REFER = 1ull << 13;      // ABI 2
constexpr std::uint64_t ACCESS_FS_TRUNCATE = 1ull << 14;   // ABI 3
constexpr std::uint64_t ACCESS_FS_IOCTL_DEV = 1ull << 15;  // ABI 5

constexpr std::uint64_t ACCESS_NET_BIND_TCP = 1ull << 0;     // ABI 4
constexpr std::uint64_t ACCESS_NET_CONNECT_TCP = 1ull << 1;  // ABI 4

constexpr std::uint64_t SCOPE_ABSTRACT_UNIX_SOCKET = 1ull << 0;  // ABI 6
constexpr std::uint64_t SCOPE_SIGNAL = 1ull << 1;                // ABI 6

// struct landlock_ruleset_attr. The kernel takes any leading part of it that holds
// the first field and counts the fields left out as zero; the launcher passes the
// shortest part that carries what it handles, so that a ruleset with neither
// network rights nor scopes is the 8 bytes that every ABI version takes.
struct ruleset_attr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;  // ABI 4
    std::uint64_t scoped;              // ABI 6
};
constexpr unsigned long RULESET_ATTR_FS_SIZE = offsetof(ruleset_attr, handled_access_net);
constexpr unsigned long RULESET_ATTR_NET_SIZE = offsetof(ruleset_attr, scoped);
constexpr unsigned long RULESET_ATTR_SCOPED_SIZE = sizeof(ruleset_attr);
static_assert(RULESET_ATTR_FS_SIZE == 8 && RULESET_ATTR_NET_SIZE == 16 &&
              RULESET_ATTR_SCOPED_SIZE == 24);

// struct landlock_path_beneath_attr, packed as the kernel declares it.
struct __attribute__((packed)) path_beneath_attr {
    std::uint64_t allowed_access;
    std::int32_t parent_fd;
};
static_assert(sizeof(path_beneath_attr) == 12);

// struct landlock_net_port_attr: a TCP port in host byte order, 0 to 65535.
struct net_port_attr {
    std::uint64_t allowed_access;
    std::uint64_t port;
};
static_assert(sizeof(net_port_attr) == 16);

}  // namespace landlock

// The kernel's Landlock interface: system call numbers, flags, rights and records.
// Written out here because the build machine's kernel headers may predate the
// kernel that the launcher runs on.
#pragma once

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

// struct landlock_ruleset_attr, first field only: the launcher passes 8 bytes, so
// the later fields (network rights, scopes) count as zero.
struct ruleset_attr {
    std::uint64_t handled_access_fs;
};
static_assert(sizeof(ruleset_attr) == 8);

// struct landlock_path_beneath_attr, packed as the kernel declares it.
struct __attribute__((packed)) path_beneath_attr {
    std::uint64_t allowed_access;
    std::int32_t parent_fd;
};
static_assert(sizeof(path_beneath_attr) == 12);

}  // namespace landlock

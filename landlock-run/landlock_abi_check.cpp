// Compile-time check of the Landlock interface that landlock_abi.h writes out,
// against the kernel headers of the architecture being built for: its own system
// call table (reached through <sys/syscall.h>, for AArch64 the generic table of
// asm-generic/unistd.h, for x86-64 unistd_64.h) and the records of
// <linux/landlock.h>. Headers older than a call or a right check less; they
// never check against another architecture's numbers. No code is generated.
#include <sys/syscall.h>

#include <cstddef>

#include "landlock_abi.h"

#if __has_include(<linux/landlock.h>)
#include <linux/landlock.h>
#endif

namespace landlock {

#ifdef __NR_landlock_create_ruleset
static_assert(SYS_CREATE_RULESET == __NR_landlock_create_ruleset);
static_assert(SYS_ADD_RULE == __NR_landlock_add_rule);
static_assert(SYS_RESTRICT_SELF == __NR_landlock_restrict_self);
#endif

#ifdef LANDLOCK_CREATE_RULESET_VERSION
static_assert(CREATE_RULESET_VERSION == LANDLOCK_CREATE_RULESET_VERSION);
static_assert(RULE_PATH_BENEATH == LANDLOCK_RULE_PATH_BENEATH);

// Without network rights or scopes the launcher hands the kernel only the first
// field of the attribute record.
static_assert(offsetof(landlock_ruleset_attr, handled_access_fs) == 0);
static_assert(sizeof(landlock_ruleset_attr::handled_access_fs) == RULESET_ATTR_FS_SIZE);

static_assert(sizeof(path_beneath_attr) == sizeof(landlock_path_beneath_attr));
static_assert(offsetof(path_beneath_attr, allowed_access) ==
              offsetof(landlock_path_beneath_attr, allowed_access));
static_assert(offsetof(path_beneath_attr, parent_fd) ==
              offsetof(landlock_path_beneath_attr, parent_fd));
static_assert(alignof(path_beneath_attr) == alignof(landlock_path_beneath_attr));

static_assert(ACCESS_FS_EXECUTE == LANDLOCK_ACCESS_FS_EXECUTE);
static_assert(ACCESS_FS_WRITE_FILE == LANDLOCK_ACCESS_FS_WRITE_FILE);
static_assert(ACCESS_FS_READ_FILE == LANDLOCK_ACCESS_FS_READ_FILE);
static_assert(ACCESS_FS_READ_DIR == LANDLOCK_ACCESS_FS_READ_DIR);
static_assert(ACCESS_FS_REMOVE_DIR == LANDLOCK_ACCESS_FS_REMOVE_DIR);
static_assert(ACCESS_FS_REMOVE_FILE == LANDLOCK_ACCESS_FS_REMOVE_FILE);
static_assert(ACCESS_FS_MAKE_CHAR == LANDLOCK_ACCESS_FS_MAKE_CHAR);
static_assert(ACCESS_FS_MAKE_DIR == LANDLOCK_ACCESS_FS_MAKE_DIR);
static_assert(ACCESS_FS_MAKE_REG == LANDLOCK_ACCESS_FS_MAKE_REG);
static_assert(ACCESS_FS_MAKE_SOCK == LANDLOCK_ACCESS_FS_MAKE_SOCK);
static_assert(ACCESS_FS_MAKE_FIFO == LANDLOCK_ACCESS_FS_MAKE_FIFO);
static_assert(ACCESS_FS_MAKE_BLOCK == LANDLOCK_ACCESS_FS_MAKE_BLOCK);
static_assert(ACCESS_FS_MAKE_SYM == LANDLOCK_ACCESS_FS_MAKE_SYM);
#endif
#ifdef LANDLOCK_ACCESS_FS_REFER
static_assert(ACCESS_FS_REFER == LANDLOCK_ACCESS_FS_REFER);
#endif
#ifdef LANDLOCK_ACCESS_FS_TRUNCATE
static_assert(ACCESS_FS_TRUNCATE == LANDLOCK_ACCESS_FS_TRUNCATE);
#endif
#ifdef LANDLOCK_ACCESS_FS_IOCTL_DEV
static_assert(ACCESS_FS_IOCTL_DEV == LANDLOCK_ACCESS_FS_IOCTL_DEV);
#endif

#ifdef LANDLOCK_ACCESS_NET_BIND_TCP
static_assert(ACCESS_NET_BIND_TCP == LANDLOCK_ACCESS_NET_BIND_TCP);
static_assert(ACCESS_NET_CONNECT_TCP == LANDLOCK_ACCESS_NET_CONNECT_TCP);
static_assert(RULE_NET_PORT == LANDLOCK_RULE_NET_PORT);
static_assert(offsetof(ruleset_attr, handled_access_net) ==
              offsetof(landlock_ruleset_attr, handled_access_net));
static_assert(sizeof(landlock_ruleset_attr::handled_access_net) ==
              RULESET_ATTR_NET_SIZE - RULESET_ATTR_FS_SIZE);
static_assert(sizeof(net_port_attr) == sizeof(landlock_net_port_attr));
static_assert(offsetof(net_port_attr, allowed_access) ==
              offsetof(landlock_net_port_attr, allowed_access));
static_assert(offsetof(net_port_attr, port) == offsetof(landlock_net_port_attr, port));
static_assert(sizeof(landlock_net_port_attr::port) == sizeof(net_port_attr::port));
#endif
#ifdef LANDLOCK_SCOPE_SIGNAL
static_assert(SCOPE_ABSTRACT_UNIX_SOCKET == LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET);
static_assert(SCOPE_SIGNAL == LANDLOCK_SCOPE_SIGNAL);
static_assert(offsetof(ruleset_attr, scoped) == offsetof(landlock_ruleset_attr, scoped));
static_assert(sizeof(landlock_ruleset_attr::scoped) ==
              RULESET_ATTR_SCOPED_SIZE - RULESET_ATTR_NET_SIZE);
#endif

}  // namespace landlock

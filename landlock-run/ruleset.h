// Landlock ruleset and grants.
#pragma once

#include <cstdint>

#include "command_line.h"

// Restricts the calling process to the grants of options: all read-only grants,
// then all read-write grants. 0 with *abi set to the kernel's Landlock ABI version,
// or LAUNCHER_FAILURE after one message.
int enforce_grants(const LaunchOptions& options, std::int64_t* abi);
// Adds one path-beneath rule for path (followed if it is a symbolic link) with
// rights, cut down to the file rights when path is not a directory. 0 or
// LAUNCHER_FAILURE.
int add_grant_rule(int ruleset_fd, const char* path, std::uint64_t rights);
// --probe: enforces a read-only grant of "/" and prints the ABI line. 0 or
// LAUNCHER_FAILURE.
int run_probe();

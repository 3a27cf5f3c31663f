// Landlock ruleset and grants.
#pragma once

#include <cstdint>

#include "command_line.h"

// Restricts the calling process to the grants. 0 with *abi set, or 125 after one message.
int enforce_grants(const LaunchOptions& options, std::int64_t* abi);
int add_grant_rule(int ruleset_fd, const char* path, std::uint64_t rights);
int run_probe();

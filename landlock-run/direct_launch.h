// Direct launch: checks, parent-death signal, sandbox, "prepared", then exec.
#pragma once

#include "command_line.h"

// Does not return when the command starts; otherwise returns 125.
int launch_direct(const LaunchOptions& options);
// Executes argv[0] with a PATH search; returns only on failure, with errno set.
void search_and_exec(char* const* argv);

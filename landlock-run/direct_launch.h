// Direct launch: checks, parent-death signal, sandbox, "prepared", then exec.
#pragma once

#include "command_line.h"

// Does not return when the command starts; otherwise returns 125 after its messages.
int launch_direct(const LaunchOptions& options);
// Executes argv[0] with a PATH search, passing the environment unchanged. Returns
// only on failure, with errno set to the error of the search.
void search_and_exec(char* const* argv);

// Direct launch: checks, parent-death signal, sandbox, "prepared", then exec.
#pragma once

#include <sys/types.h>

#include "command_line.h"

// Does not return when the command starts; otherwise returns LAUNCHER_FAILURE
// after its messages.
int launch_direct(const LaunchOptions& options);
// Executes argv[0] with a PATH search, passing the environment unchanged. Returns
// only on failure, with errno set to the error of the search.
void search_and_exec(char* const* argv);

enum class ParentDeath { armed, cannot_arm, parent_changed };
// Ties the caller's life to its parent's: arms SIGKILL as the parent-death signal,
// then checks that the parent is still expected_parent (taken before, by the
// caller). cannot_arm leaves errno as prctl set it.
ParentDeath arm_parent_death(pid_t expected_parent);

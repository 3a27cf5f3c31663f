// The launcher's command line for the direct and probe forms.
#pragma once

struct LaunchOptions {
    int status_fd = -1;      // -1 when --status-fd is absent, else 3..2147483647
    const char** ro_grants;  // read-only grant paths, command-line order
    int ro_count;
    const char** rw_grants;  // read-write grant paths, command-line order
    int rw_count;
    char** command;  // after "--", at least one element, null-terminated
};

// Parses argv (direct and probe forms) and runs the selected mode; returns the
// exit status of the launcher. The grant paths point into argv; nothing is copied.
int run_direct_or_probe(int argc, char** argv);

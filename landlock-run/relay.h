// The stdin relay supervisor: runs the command as a child fed from a socket pair.
#pragma once

// command is argv from argument 2 on, null-terminated. Returns the exit status, or
// ends the process by the child's signal.
int run_relay_supervisor(char** command);

// Handler for SIGINT, SIGTERM and SIGHUP in the supervisor: sends the same signal to
// the child once the child exists. Async-signal-safe.
void forward_signal(int signo);

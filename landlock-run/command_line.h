// The launcher's command line for the direct and probe forms.
#pragma once

#include <cstdint>

// A set of TCP ports, one bit each: a repeated port falls together with the first,
// and the sets need no heap.
struct PortSet {
    static constexpr unsigned PORT_COUNT = 65536;
    std::uint64_t words[PORT_COUNT / 64];
};

// An option that needs a Landlock ABI newer than the launcher's minimum, with where
// it first came, so that the first one the kernel cannot enforce is the one named.
struct AbiRequest {
    const char* option = nullptr;  // as the caller wrote it; nullptr when not asked for
    int position = 0;              // its index in argv
    std::int64_t abi = 0;          // the first ABI version that can enforce it
};

struct LaunchOptions {
    int status_fd = -1;      // -1 when --status-fd is absent, else 3..2147483647
    const char** ro_grants;  // read-only grant paths, command-line order
    int ro_count;
    const char** rw_grants;  // read-write grant paths, command-line order
    int rw_count;
    // Landlock network rights the ruleset handles (0 for none), and the ports that
    // stay allowed for a handled right.
    std::uint64_t handled_net = 0;
    const PortSet* connect_ports = nullptr;
    const PortSet* bind_ports = nullptr;
    std::uint64_t scoped = 0;  // Landlock scopes (0 for none)
    AbiRequest network;        // the first --tcp-connect, --tcp-bind or --no-network
    AbiRequest scope;          // the first --scope
    char** command;            // after "--", at least one element, null-terminated
};

inline void add_port(PortSet& ports, unsigned port) {
    ports.words[port / 64] |= 1ull << (port % 64);
}
inline bool has_port(const PortSet& ports, unsigned port) {
    return (ports.words[port / 64] >> (port % 64) & 1) != 0;
}

// Parses argv (direct and probe forms) and runs the selected mode; returns the
// exit status of the launcher. The grant paths point into argv; nothing is copied.
int run_direct_or_probe(int argc, char** argv);

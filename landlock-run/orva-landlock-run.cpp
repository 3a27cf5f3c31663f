// orva-landlock-run: runs one command under a Landlock file-system sandbox, or
// supervises it while relaying its standard input.
#include <cstring>

#include "command_line.h"
#include "relay.h"

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--relay-stdin") == 0) {
        return run_relay_supervisor(argv + 2);
    }
    return run_direct_or_probe(argc, argv);
}

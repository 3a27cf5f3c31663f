#include "relay.h"

// Provisional until the relay lands.
int run_relay_supervisor(char**) { return 125; }

#pragma once
// The simulator process: one poll loop over the pseudo-terminal, the control socket and a
// signal pipe. Single-threaded on purpose: every state change happens between two polls.

#include <string>

namespace pelorin::modemsim {

struct SimulatorConfig {
    std::string dir;     // where the device link is made
    int port = 5;        // the link is "<dir>/COM<port>"
    bool cdma = false;
    std::string control; // empty: "<dir>/COM<port>.ctl"
    bool trace = false;  // both directions of the serial line on stderr
};

// Serves until "quit", SIGTERM, SIGINT or SIGHUP; prints the ready line once serving.
// Returns the process exit code; start-up failures are explained on stderr.
int runSimulator(const SimulatorConfig& config);

} // namespace pelorin::modemsim

// pelorin-modemsim: a simulated GSM/CDMA modem on a pseudo-terminal, for tests and the demo.
// This folder owns the simulator and its test client; it never uses the project's codec.

#include "modemsim/control_protocol.h"
#include "modemsim/simulator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* const kUsage =
    "usage: pelorin-modemsim --dir DIR --port N [--cdma] [--control PATH] [--trace]\n"
    "       pelorin-modemsim --help | --version\n"
    "       pelorin-modemsim ctl CONTROL_PATH REQUEST...\n"
    "Serves DIR/COM<N> as a modem; the control socket defaults to DIR/COM<N>.ctl.\n"
    "\"pelorin-modemsim ctl PATH help\" lists the control requests.\n";

int usage(int code) {
    std::fputs(kUsage, code == 0 ? stdout : stderr);
    return code;
}

// Sends one request; prints the data lines and the OK value, or the error on stderr.
int runControlClient(int argc, char** argv) {
    if (argc < 4) return usage(2);
    std::string line;
    for (int i = 3; i < argc; ++i) line += (i > 3 ? " " : "") + std::string(argv[i]);
    const auto reply = pelorin::modemsim::controlRequest(argv[2], line);
    for (const std::string& data : reply.lines) std::printf("%s\n", data.c_str());
    if (!reply.ok) {
        std::fprintf(stderr, "ERR %s\n", reply.value.c_str());
        return 1;
    }
    if (!reply.value.empty()) std::printf("%s\n", reply.value.c_str());
    return 0;
}

bool parsePort(const char* text, int& port) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 9999) return false;
    port = static_cast<int>(value);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "ctl") == 0) return runControlClient(argc, argv);
    pelorin::modemsim::SimulatorConfig config;
    bool havePort = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--dir" && hasValue) config.dir = argv[++i];
        else if (arg == "--port" && hasValue) havePort = parsePort(argv[++i], config.port);
        else if (arg == "--control" && hasValue) config.control = argv[++i];
        else if (arg == "--cdma") config.cdma = true;
        else if (arg == "--trace") config.trace = true;
        else if (arg == "--help" || arg == "-h") return usage(0);
        else if (arg == "--version" || arg == "-V") {
            std::printf("pelorin-modemsim %s\n", PELORIN_VERSION);
            return 0;
        }
        else return usage(2);
    }
    if (config.dir.empty() || !havePort) return usage(2);
    return pelorin::modemsim::runSimulator(config);
}

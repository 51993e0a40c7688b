#pragma once
// The control socket's wire format, shared by the simulator, its "ctl" mode and ModemSim:
// raw bytes escaped into one printable line, and one request with its reply.
// Never throws beyond std::bad_alloc.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin::modemsim {

// Raw bytes as one printable line: printable ASCII stays, "\" becomes "\\", CR, LF and TAB
// become "\r", "\n", "\t", every other byte "\xHH" (upper-case hex). Ctrl-Z is "\x1A".
std::string escapeBytes(std::string_view raw);
// The inverse; also the escapes accepted in text arguments of control requests. An unknown
// or cut escape is kept as written.
std::string unescapeBytes(std::string_view text);

struct ControlReply {
    bool ok = false;
    std::string value;              // what follows "OK " (an index, a path), or the error text
    std::vector<std::string> lines; // data lines, without their "- " prefix
};

// Sends one request line to the control socket at `socketPath` and reads the whole reply.
// A connection failure or a time-out gives ok == false with the reason in value.
using SteadyClock = std::chrono::steady_clock;
// Milliseconds left until `deadline`, never negative: a poll() timeout.
int remainingMs(SteadyClock::time_point deadline);

ControlReply controlRequest(const std::string& socketPath, const std::string& line,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10));

} // namespace pelorin::modemsim

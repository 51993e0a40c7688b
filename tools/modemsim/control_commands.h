#pragma once
// The control protocol's requests: one text line in, the whole reply out ("- " data lines,
// then "OK [value]" or "ERR <why>", each ending in "\n"). Actions that touch the terminal
// or the process are passed in as hooks, so the interpreter stays testable on its own.
// Never throws beyond std::bad_alloc.

#include "modemsim/at_engine.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin::modemsim {

struct ControlHooks {
    std::function<void()> hangup;
    std::function<bool(std::string& slaveOrError)> reopen;
    std::function<void()> quit;
    std::function<std::vector<std::string>()> info; // lines about the terminal and link
};

// `now` times what the request makes the modem send (a "+CMTI", an injected line).
std::string executeControlRequest(std::string_view line, AtEngine& engine,
                                  const ControlHooks& hooks, Clock::time_point now = Clock::now());

} // namespace pelorin::modemsim

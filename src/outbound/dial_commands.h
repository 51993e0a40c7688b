#pragma once
// USSD and other dial commands queued for this port in `dialcommand`: one per call, lowest
// `idx` first, marked taken before it is dialled, the network's answer stored as a received
// message in words. A text that is not a dial string, or a port without a modem, is taken
// and answered as not dialled. Throws DbError when a statement fails (the worker reports it).

#include <functional>
#include <string>

namespace pelorin::modem {
class AtExchange;
}

namespace pelorin::outbound {

struct DialContext {
    modem::AtExchange* exchange = nullptr;
    std::string modemType;
    std::string moduleName; // enama: the receiver of the stored answer
    // Stores a received message: sender, receiver, text, two-way template, sending time.
    std::function<void(const std::string&, const std::string&, const std::string&, const std::string&,
                       const std::string&)>
        store;
};

void RunDialCommands(const DialContext& context, const std::string& port);

} // namespace pelorin::outbound

#pragma once
// One outbound batch of a port: the oldest queued messages by attempt count, the port's
// limits, the send path of the modem type, the log of what was sent and the counting of
// failures. Never throws: every error ends the batch through the error report.

#include <functional>
#include <string>
#include <vector>

#include "outbound/modem_submit.h"
#include "outbound/web_gateway.h"

namespace pelorin::modem {
class AtExchange;
}

namespace pelorin::outbound {

struct DispatchContext {
    std::string modemType;
    GatewayAccount account;                 // "MERL-SENDER" only
    modem::AtExchange* exchange = nullptr;  // the modem types
    std::function<void(const std::string& errorText)> SetPortError;
    // WAP push of one message (destination, text, address); unset, the modem's own.
    std::function<SubmitResult(const std::string&, const std::string&, const std::string&)> SendWapPush;
    // Waits for a lost database connection to come back; false when it did not (the module
    // is then ending). Unset, a lost connection is reported like any other failure.
    std::function<bool()> awaitDatabase;
};

// Runs one batch for `port` with batch size n (it handles at most n - 1 messages) and
// returns the web-service URLs it built ("MERL-SENDER" only), even when it ended early.
// A lost database connection ends the batch and is waited for (the record of a message the
// modem took is tried again once it is back).
std::vector<std::string> DispatchOutbound(const DispatchContext& context, const std::string& port,
                                          int n);

// The "AT+CMGS=" argument of the CDMA phone: lengths and bytes in hex.
std::string BuildCdmaSendArgument(const std::string& number, const std::string& text);

} // namespace pelorin::outbound

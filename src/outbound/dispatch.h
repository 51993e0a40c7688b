#pragma once
// One outbound batch of a port: the oldest queued messages by attempt count, the port's
// limits, the send path of the modem type, the log of what was sent and the counting of
// failures. Never throws: every error ends the batch through the error report.

#include <functional>
#include <future>
#include <string>
#include <vector>

#include "outbound/modem_submit.h"
#include "outbound/web_gateway.h"
#include "outbound/web_requests.h"

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
    // "MERL-SENDER": starts one request to the web service and hands back its outcome-to-be.
    std::function<std::future<WebOutcome>(const std::string& url)> IssueWebRequest;
    // How long a batch awaits the outcomes of its requests, counted once all are under way.
    int webWaitMs = 2 * WebRequests::kTimeoutMs + 5000;
    // The pause after each web request; unset, the thread sleeps.
    std::function<void(int ms)> pause;
    // True once the module is stopping: no further web request is started.
    std::function<bool()> stopping;
};

// Runs one batch for `port` with batch size n (it handles at most n - 1 messages) and
// returns the URLs of the web-service requests it made ("MERL-SENDER" only), even when it
// ended early. A web message is recorded as sent only once the service answered 2xx; any
// other outcome is a failed attempt. A lost database connection ends the batch and is waited
// for (the record of a message the modem or the service took is tried again once it is back).
std::vector<std::string> DispatchOutbound(const DispatchContext& context, const std::string& port,
                                          int n);

// The "AT+CMGS=" argument of the CDMA phone: lengths and bytes in hex.
std::string BuildCdmaSendArgument(const std::string& number, const std::string& text);

} // namespace pelorin::outbound

#pragma once
// WAP push: a Service Indication (a text and a web address) as one 8-bit data SMS to the
// WAP push port. Never throws; modem failures are reported by the exchange.

#include <optional>
#include <string>

#include "outbound/modem_submit.h"

namespace pelorin::modem {
class AtExchange;
}

namespace pelorin::outbound {

// The SMS-SUBMIT PDU (hex) of the push; nothing when its user data would not fit one SMS.
// The text is carried as UTF-8, the character set the document declares.
std::optional<std::string> BuildWapPushPdu(const std::string& number, const std::string& text,
                                           const std::string& address);

// Sends the push; Unsendable, with nothing sent, when it does not fit one SMS.
SubmitResult SendWapPush(modem::AtExchange& exchange, const std::string& number, const std::string& text,
                         const std::string& address);

} // namespace pelorin::outbound

#pragma once
// Requests to the SMS web service of the "MERL-SENDER" type: one HTTP GET per message,
// whose answer is never read. Pure functions; never throw.

#include <QDateTime>
#include <optional>
#include <string>

namespace pelorin::outbound {

struct GatewayAccount {
    std::string host;            // ehost
    std::string activationKey;   // ekey
    std::string sign;            // esign
    bool broadcast = false;      // rbroadcast, else Reply
};

// "+62" becomes "0", then a leading "62" becomes "0".
std::string normaliseWebDestination(const std::string& number);

// The destination a request may carry: normalised, blanks and dashes removed; nothing when
// what is left is not a phone number (digits, one leading "+", at most 20 digits).
std::optional<std::string> WebDestination(const std::string& number);

// Keeps "*-.@_", letters; a blank becomes "+"; every other byte, digits included, "%XX".
// Stops at a NUL byte.
std::string UrlEncodeText(const std::string& text);

// The request URL for one message; `destination` is already normalised. The destination is
// percent-encoded, so that no character of it can add or end a parameter.
std::string BuildGatewayUrl(const GatewayAccount& account, const std::string& destination,
                            const std::string& text, const QDateTime& now);

} // namespace pelorin::outbound

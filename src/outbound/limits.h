#pragma once
// The per-port send limits (total countdown and daily allowance) and the automatic
// removal setting. Statements run on the calling thread's connection; failures throw DbError.

#include <string>

namespace pelorin::outbound {

// Parts a queued text (UTF-8) books against the limits: the parts the modem is handed for it,
// whatever alphabet carries it, so that the limits count what the network bills.
int BookedParts(const std::string& text);

// True when the port may send `parts` more parts. With `commit` the parts are booked, even
// when that takes a counter below zero. A port without a row has no limits.
bool CheckSendLimits(int port, int parts, bool commit);

struct AutoDelete {
    bool on = false;
    int threshold = 0;
};
AutoDelete ReadAutoDeleteSetting();

// Inserts the `smsout` row of a sent message.
void LogSentSms(const std::string& sender, const std::string& destination,
                const std::string& text, int port);

} // namespace pelorin::outbound

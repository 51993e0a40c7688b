#pragma once
// Sending one SMS through a GSM modem in PDU mode: one "AT+CMGS=" exchange per part.
// Never throws; a failure of the serial exchange itself is reported by the exchange.

#include <string>

namespace pelorin::modem {
class AtExchange;
}

namespace pelorin::outbound {

// "+62" becomes "0" and spaces go; false when anything but digits is left.
bool normaliseModemNumber(std::string& number);

// Sends `text` to `number`; true when the modem's final answer to the last part holds "OK".
// False at once, with nothing sent, for a number that is not all digits or an empty text.
bool SubmitSmsViaModem(modem::AtExchange& exchange, const std::string& number,
                       const std::string& text);

} // namespace pelorin::outbound

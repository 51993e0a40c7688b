#pragma once
// Sending one SMS through a GSM modem in PDU mode: one "AT+CMGS=" exchange per part.
// Never throws; a failure of the serial exchange itself is reported by the exchange.

#include <string>

namespace pelorin::modem {
class AtExchange;
}

namespace pelorin::outbound {

// Blanks and dashes go and "+62" becomes "0"; false unless 1 to 20 digits are left.
bool normaliseModemNumber(std::string& number);

// The most parts one message can have: a part's number in its header is one octet.
inline constexpr int kMaxParts = 255;

// Parts the modem is handed for `text`; 0 for an empty text.
int ModemPartCount(const std::string& text);

// Why `text` can never go to `number` through the modem as it stands (a destination it cannot
// address, nothing to send, more parts than a header can number); empty when it can.
std::string UnsendableReason(const std::string& number, const std::string& text);

enum class SubmitResult {
    Sent,     // every part was accepted
    Failed,   // a part was refused or went unanswered, or nothing could be sent at all
    Stopped,  // a stop came first: nothing reached the modem, so this was no attempt
    Unsendable, // no modem could ever send it as it stands: it is not tried at all
};

// Sends `text` to `number`, part by part. It is sent only when the modem accepted every part
// ("OK" in each final answer); the first part that fails ends the attempt, which is then
// retried as a whole. Once the first PDU is written the remaining parts go out even during a
// stop, so a stop never leaves half a message that the next start would send again.
// Unsendable at once, with nothing sent, when UnsendableReason names a reason.
SubmitResult SubmitSmsViaModem(modem::AtExchange& exchange, const std::string& number,
                               const std::string& text);

// One PDU through "AT+CMGS=": the prompt (10 s, its answer not examined), then the PDU and
// Ctrl-Z, whose answer must hold "OK". The first PDU of a message gives way to a stop until it
// is written (an open prompt is cancelled with ESC); later ones always run to their answer.
SubmitResult SubmitPdu(modem::AtExchange& exchange, const std::string& pdu, bool first, int answerSeconds);

// Writes ESC, which makes a modem waiting at a "> " prompt drop the PDU it was collecting.
void CancelPrompt(modem::AtExchange& exchange);

} // namespace pelorin::outbound

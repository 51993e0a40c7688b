#include "outbound/modem_submit.h"

#include <QRandomGenerator>

#include "modem/exchange.h"
#include "outbound/phone_number.h"
#include "pdu/submit.h"
#include "pdu/text_utils.h"

namespace pelorin::outbound {
namespace {
constexpr char kEscape = 0x1B;
constexpr int kSmsAnswerSeconds = 20;
} // namespace

namespace {

// The PDUs of `text`; a line break inside it goes as a lone CR, as the gateway always sent it.
pdu::SubmitPdus encode(const std::string& number, const std::string& text, int reference) {
    return pdu::EncodeMessage(number, pdu::ReplaceAll(text, "\r\n", "\r"), reference, 0).pdus;
}

} // namespace

bool normaliseModemNumber(std::string& number) {
    // Home numbers go in their national form, as the gateway always sent them; other
    // countries' numbers keep their "+" and go as international numbers.
    number = pdu::ReplaceAll(CleanDestination(number), "+62", "0");
    return IsPhoneNumber(number);
}

int ModemPartCount(const std::string& text) {
    return encode("", text, 1).count;
}

namespace {

// Why `parts` PDUs cannot carry a message; empty when they can.
std::string partsProblem(int parts) {
    if (parts == 0) return "its text is empty";
    // Beyond 255 the part numbers would wrap and the receiver could never join the parts.
    if (parts > kMaxParts) return "its text needs " + std::to_string(parts) + " parts, more than 255";
    return {};
}

} // namespace

std::string UnsendableReason(const std::string& number, const std::string& text) {
    std::string destination = number;
    if (!normaliseModemNumber(destination)) return "its destination is not a phone number the modem can address";
    return partsProblem(ModemPartCount(text));
}

void CancelPrompt(modem::AtExchange& exchange) {
    exchange.writeRaw(std::string(1, kEscape));
}

SubmitResult SubmitPdu(modem::AtExchange& exchange, const std::string& pdu, bool first, int answerSeconds) {
    using modem::ExchangeOutcome;
    using modem::StopRule;
    const std::size_t octets = (pdu.size() - 2) / 2; // without the service-centre field
    std::string prompt;
    const ExchangeOutcome asked = exchange.ExecAtCommand("AT+CMGS=" + std::to_string(octets) + "\r", 10, ">",
                                                         "ERROR", prompt,
                                                         first ? StopRule::GiveWay : StopRule::Finish);
    if (asked == ExchangeOutcome::Refused) return SubmitResult::Stopped;
    if (asked == ExchangeOutcome::Abandoned) {
        CancelPrompt(exchange);
        return SubmitResult::Stopped;
    }
    if (asked == ExchangeOutcome::Failed) return SubmitResult::Failed;
    // The PDU goes out whatever the prompt answer was; its own answer decides.
    std::string answer;
    const ExchangeOutcome sent = exchange.ExecAtCommand(pdu + '\x1A', answerSeconds, "OK\r\n", "ERROR", answer,
                                                        first ? StopRule::FinishOnceWritten : StopRule::Finish);
    if (sent == ExchangeOutcome::Refused) {
        CancelPrompt(exchange);
        return SubmitResult::Stopped;
    }
    if (sent != ExchangeOutcome::Completed) return SubmitResult::Failed;
    return answer.find("OK") != std::string::npos ? SubmitResult::Sent : SubmitResult::Failed;
}

SubmitResult SubmitSmsViaModem(modem::AtExchange& exchange, const std::string& number,
                               const std::string& text) {
    std::string destination = number;
    if (!normaliseModemNumber(destination)) return SubmitResult::Unsendable;
    // One reference per message ties its parts together; 1 to 79 as the gateway always drew it.
    const int reference = QRandomGenerator::global()->bounded(1, 80);
    // A text the default alphabet cannot carry whole goes as UCS2. Encoded once: the part
    // count checked is the one sent.
    const pdu::SubmitPdus encoded = encode(destination, text, reference);
    if (!partsProblem(encoded.count).empty()) return SubmitResult::Unsendable;

    for (int part = 0; part < encoded.count; ++part) {
        const SubmitResult result =
            SubmitPdu(exchange, encoded.pdus[static_cast<std::size_t>(part)], part == 0, kSmsAnswerSeconds);
        if (result != SubmitResult::Sent) return result;
    }
    return SubmitResult::Sent;
}

} // namespace pelorin::outbound

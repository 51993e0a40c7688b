#include "outbound/modem_submit.h"

#include <QRandomGenerator>

#include "modem/exchange.h"
#include "pdu/submit.h"
#include "pdu/text_utils.h"

namespace pelorin::outbound {
bool normaliseModemNumber(std::string& number) {
    std::erase(number, ' ');
    number = pdu::ReplaceAll(number, "+62", "0");
    return number.find_first_not_of("0123456789") == std::string::npos;
}

bool SubmitSmsViaModem(modem::AtExchange& exchange, const std::string& number,
                       const std::string& text) {
    std::string destination = number;
    if (!normaliseModemNumber(destination)) return false;
    // One reference per message ties its parts together; 1 to 79 as the gateway always drew it.
    const int reference = QRandomGenerator::global()->bounded(1, 80);
    const std::string body = pdu::ReplaceAll(text, "\r\n", "\r");
    const pdu::SubmitPdus encoded = pdu::EncodeSubmitPdu(destination, body, reference, 0);
    if (encoded.count == 0) return false;

    std::string answer;
    for (int part = 0; part < encoded.count; ++part) {
        const std::string& pdu = encoded.pdus[static_cast<std::size_t>(part)];
        const std::size_t octets = (pdu.size() - 2) / 2; // without the service-centre field
        std::string prompt;
        exchange.ExecAtCommand("AT+CMGS=" + std::to_string(octets) + "\r", 10, ">", "ERROR", prompt);
        // The PDU goes out whatever the prompt answer was; only the last part's answer counts.
        answer.clear();
        exchange.ExecAtCommand(pdu + '\x1A', 20, "OK\r\n", "ERROR", answer);
    }
    return answer.find("OK") != std::string::npos;
}

} // namespace pelorin::outbound

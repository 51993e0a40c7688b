#include "modem/unsolicited.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace pelorin::modem {
namespace {

struct Prefix {
    std::string_view text;
    bool pduFollows = false;
};

// Lines that begin like these are never an answer unless the running command asked for them.
constexpr std::array kUnsolicited{
    // TS 27.005 3.4.1: message, status report and cell broadcast indications; the direct
    // forms carry their PDU on the next line.
    Prefix{"+CMTI:"}, Prefix{"+CDSI:"}, Prefix{"+CBMI:"},
    Prefix{"+CMT:", true}, Prefix{"+CDS:", true}, Prefix{"+CBM:", true},
    // TS 27.007: calls, registration, USSD, indicator and time-zone events, SIM state.
    Prefix{"RING"}, Prefix{"+CRING:"}, Prefix{"+CLIP:"}, Prefix{"+CCWA:"}, Prefix{"+CREG:"},
    Prefix{"+CGREG:"}, Prefix{"+CEREG:"}, Prefix{"+C5GREG:"}, Prefix{"+CUSD:"}, Prefix{"+CGEV:"},
    Prefix{"+CIEV:"}, Prefix{"+CTZV:"}, Prefix{"+CTZE:"}, Prefix{"+CPIN:"},
    // SIM toolkit and start-up indications of GSM modules.
    Prefix{"+STIN:"}, Prefix{"+WIND:"}, Prefix{"+PACSP"}, Prefix{"RDY"}, Prefix{"Call Ready"},
    Prefix{"SMS Ready"},
    // Periodic reports of USB dongles.
    Prefix{"^RSSI:"}, Prefix{"^HCSQ:"}, Prefix{"^MODE:"}, Prefix{"^BOOT:"}, Prefix{"^DSFLOWRPT:"},
    Prefix{"^SRVST:"}, Prefix{"^SIMST:"}, Prefix{"^SYSSTART"}, Prefix{"^CEND:"}, Prefix{"^ORIG:"},
    Prefix{"^CONF:"}, Prefix{"^CONN:"}, Prefix{"^STIN:"}, Prefix{"^NDISSTAT:"}, Prefix{"^RFSWITCH:"},
    Prefix{"^SMMEMFULL:"}, Prefix{"^EONS:"}, Prefix{"^NWTIME:"}, Prefix{"^CSNR:"},
};

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
           });
}

const Prefix* knownPrefix(std::string_view line) {
    for (const Prefix& p : kUnsolicited) {
        if (startsWithNoCase(line, p.text)) return &p;
    }
    return nullptr;
}

bool isOwn(std::string_view line, std::string_view ownPrefix) {
    return !ownPrefix.empty() && startsWithNoCase(line, ownPrefix);
}

} // namespace

std::string OwnAnswerPrefix(std::string_view command) {
    if (!startsWithNoCase(command, "AT") || command.size() < 3) return {};
    const std::string_view body = command.substr(2);
    if (body.front() == 'D' || body.front() == 'd') {
        // Only a service code is a USSD request; a plain number is a call.
        return body.find_first_of("*#") != std::string_view::npos ? "+CUSD:" : "";
    }
    if (body.front() != '+' && body.front() != '^') return {};
    const std::size_t end = body.find_first_of("=?; \r\n", 1);
    std::string prefix(body.substr(0, end));
    for (char& c : prefix) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return prefix + ":";
}

LineKind ClassifyLine(std::string_view line, std::string_view ownPrefix) {
    if (isOwn(line, ownPrefix)) return LineKind::Answer;
    const Prefix* p = knownPrefix(line);
    if (p == nullptr) return LineKind::Answer;
    return p->pduFollows ? LineKind::UnsolicitedWithPdu : LineKind::Unsolicited;
}

bool MayBeUnsolicited(std::string_view partialLine, std::string_view ownPrefix) {
    if (partialLine.empty() || isOwn(partialLine, ownPrefix)) return false;
    if (!ownPrefix.empty() && startsWithNoCase(ownPrefix, partialLine)) return false;
    return std::any_of(kUnsolicited.begin(), kUnsolicited.end(), [&](const Prefix& p) {
        return startsWithNoCase(partialLine, p.text) || startsWithNoCase(p.text, partialLine);
    });
}

} // namespace pelorin::modem

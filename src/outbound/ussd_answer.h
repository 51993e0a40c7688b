#pragma once
// The network's answer to a USSD request as a person reads it. Modems write the
// "+CUSD: <m>[,"<str>"[,<dcs>]]" line (3GPP TS 27.007 7.15) in several ways: the text as it
// is (dcs 15, 0 or none), UCS2 as hex (dcs 72 and the other UCS2 codings of TS 23.038 5),
// or, on some USB dongles, the 7-bit septets packed and written as hex.
// Pure functions; never throw.

#include <optional>
#include <string>
#include <string_view>

namespace pelorin::outbound {

struct UssdLine {
    int mode = 0;                   // m: 0 done, 1 more expected, 2 ended by the network, 4, 5
    std::optional<std::string> text; // <str> as the modem wrote it, without its quotes
    std::optional<int> dcs;
};

// The first "+CUSD:" line of an answer; nothing when there is none or it cannot be read.
std::optional<UssdLine> FindUssdLine(std::string_view answer);

// <str> as text (UTF-8) according to its coding scheme.
std::string UssdText(const std::string& text, std::optional<int> dcs);

// What is stored for a dialled command: the readable text of the network's line; for a line
// without text its meaning ("USSD session ended by the network"); without such a line, the
// answer as it came (an ERROR, an OK, nothing) with every "+CUSD:" removed.
std::string ReadableUssdAnswer(const std::string& answer);

} // namespace pelorin::outbound

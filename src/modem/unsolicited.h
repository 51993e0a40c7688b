#pragma once
// Lines a modem sends on its own, whatever command is under way: new-message and status
// indications (3GPP TS 27.005 3.4.1), ring, caller id, registration changes and USSD
// (TS 27.007), and the periodic reports of USB dongles. They are never an answer, so the
// exchange sets them aside; only a command's own answer line is kept (AT+CREG? answers
// "+CREG:", a dialled USSD code "+CUSD:").
// Pure functions; never throw.

#include <string>
#include <string_view>

namespace pelorin::modem {

enum class LineKind {
    Answer,             // part of the answer under way
    Unsolicited,        // one line of its own
    UnsolicitedWithPdu, // its PDU follows on the next line (+CMT:, +CDS:, +CBM:)
};

// The prefix of the command's own answer lines: "AT+CREG?\r" -> "+CREG:",
// "AT^SYSINFO\r" -> "^SYSINFO:", "ATD*123#;\r" -> "+CUSD:" (a dialled service code is
// answered by the network's USSD line); "" for anything else.
std::string OwnAnswerPrefix(std::string_view command);

// What a complete line (without its line end) is while a command with `ownPrefix` runs.
LineKind ClassifyLine(std::string_view line, std::string_view ownPrefix);

// Whether a line still arriving is, or may still become, an unsolicited line: its start
// is a known prefix, or the start of one.
bool MayBeUnsolicited(std::string_view partialLine, std::string_view ownPrefix);

} // namespace pelorin::modem

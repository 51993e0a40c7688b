#pragma once
// The coded errors a modem answers with: "+CMS ERROR: <err>" (3GPP TS 27.005 3.2.5) and
// "+CME ERROR: <err>" (TS 27.007 9.2), numeric or already in words, and the port's error
// texts that name them.
// Pure functions; never throw.

#include <string>
#include <string_view>

namespace pelorin::modem {

// The first "+CMS ERROR: ..." or "+CME ERROR: ..." line of an answer, without its line end;
// "" when there is none (a plain "ERROR", an empty answer).
std::string ModemErrorLine(std::string_view answer);

// What a coded error means: "+CME ERROR: 11" -> "SIM PIN required". A code the tables do not
// know gives "+CMS ERROR: 999"; an error already in words gives those words; "" when the
// answer holds no coded error.
std::string ModemErrorMeaning(std::string_view answer);

// The text of a port error caused by a modem answer: `text` as it is, followed by ": " and the
// meaning when the answer holds a coded error ("Modem ERROR COM5: SIM PIN required"). Every
// error report that a modem answer leads to goes through here, so the text the main application
// may match always stays at the start.
std::string PortErrorText(const std::string& text, std::string_view answer);

} // namespace pelorin::modem

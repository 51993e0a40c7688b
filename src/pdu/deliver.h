// Decoding of one "+CMGL:" entry (3GPP TS 23.040): an SMS-DELIVER read by fixed positions, and
// what else a modem's storage lists (status reports, the SIM owner's stored SMS-SUBMITs)
// recognised as such. Error contract: never throws; a header line without an index field and
// a PDU of the reserved message type fail the entry, a PDU line shorter than its length fields
// claim decodes to empty or partial fields.
#pragma once

#include "pdu/user_data.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin::pdu {

enum class MessageKind {
    Deliver,      // a received message
    StatusReport, // the network's report on a message sent
    Submit,       // a message the SIM keeps in its own outbox
};

// An 8-bit data message: never text, never answered.
struct DataInfo {
    std::size_t octets = 0; // user data without its header
    std::optional<int> port;

    bool operator==(const DataInfo&) const = default;
};

// What a status report says (TS 23.040 9.2.2.3).
struct ReportInfo {
    int reference = 0; // TP-MR of the message it reports on
    int status = 0;    // TP-ST

    bool operator==(const ReportInfo&) const = default;
};

struct DeliveredMessage {
    std::string index;     // first field of the header line, as the modem sent it
    // National form, a name for an alphanumeric originator, "M-Tronik" or "62962"; for a
    // status report, the recipient of the reported message.
    std::string sender;
    std::string timestamp; // "MM-dd-yy hh:mm:ss"
    std::string text;      // UTF-8, cleaned (a part may hold half a surrogate pair: see JoinParts)
    // Set when the message is one part of a longer one.
    std::optional<PartInfo> part;
    MessageKind kind = MessageKind::Deliver;
    std::optional<DataInfo> data = std::nullopt;     // set for 8-bit data; `text` describes it
    std::optional<ReportInfo> report = std::nullopt; // set for status reports
};

// Decodes one listed entry. pduLine is the line as split at "\r", so its first character is
// the "\n" of the line break and the PDU proper starts at its second character. An entry with
// <stat> 2 or 3, or whose message type is SMS-SUBMIT, is a stored SMS-SUBMIT: only its index
// and kind are read.
std::optional<DeliveredMessage> DecodeDeliverPdu(std::string_view headerLine,
                                                 std::string_view pduLine);

// Raw sender of an address field (type of address + semi-octets): international numbers as
// they are; an alphanumeric originator as its name; other types as "62" + the number without
// its first digit when that digit is the trunk prefix "0", else every digit; 'F' removed.
std::string DecodeAddress(std::string_view field);

// The sender of an address field: a name as DecodeAddress reads it, a number after the
// national-form rules.
std::string DecodeOriginator(std::string_view field);

// The national-form rules applied to a raw sender.
std::string ApplySenderRules(const std::string& sender);

// "628021013504" (yy MM dd hh mm ss, semi-octets swapped) -> "08-12-26 10:53:40".
std::string FormatDeliverTimestamp(std::string_view digits);

// UCS2 user data, one UTF-16 unit per 4 hex digits, as UTF-8: every character kept, a pair
// split by the end of the data kept as its halves (see Utf16ToUtf8).
std::string DecodeUnicodeText(std::string_view userData);

// Drops quotes, apostrophes and Ctrl-Z; backslash, "/" and "\r\n" become one blank each.
std::string CleanMessageText(std::string_view text);

} // namespace pelorin::pdu

// SMS-DELIVER decoding (3GPP TS 23.040 9.2.2.1) of one "+CMGL:" entry, read by fixed positions.
// Error contract: never throws; only a header line without an index field fails the message,
// a PDU line shorter than its length fields claim decodes to empty or partial fields.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin::pdu {

// A concatenation header (TS 23.040 9.2.3.24.1 and .8), with an 8- or 16-bit reference.
struct PartInfo {
    int reference = 0;
    int total = 0;
    int sequence = 0;

    bool operator==(const PartInfo&) const = default;
};

struct DeliveredMessage {
    std::string index;     // first field of the header line, as the modem sent it
    std::string sender;    // national form, "M-Tronik" or "62962"
    std::string timestamp; // "MM-dd-yy hh:mm:ss"
    std::string text;      // UTF-8, cleaned (a part may hold half a surrogate pair: see JoinParts)
    // Set when the message is one part of a longer one.
    std::optional<PartInfo> part;
};

// Decodes one listed message. pduLine is the line as split at "\r", so its first character is
// the "\n" of the line break and the PDU proper starts at its second character.
std::optional<DeliveredMessage> DecodeDeliverPdu(std::string_view headerLine,
                                                 std::string_view pduLine);

// Raw sender of an address field (type of address + semi-octets): international numbers as
// they are, every other type as "62" + the number without its first digit; 'F' removed.
std::string DecodeAddress(std::string_view field);

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

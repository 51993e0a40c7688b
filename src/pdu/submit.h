// SMS-SUBMIT encoding (3GPP TS 23.040 9.2.2.2) in the GSM 7-bit alphabet, with long texts cut
// into concatenated parts. Error contract: never throws; nothing is validated, characters
// without a GSM code are dropped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin::pdu {

struct SubmitPdus {
    std::vector<std::string> pdus; // part k (from 1) is pdus[k - 1]
    // Parts to send. An empty text still yields one PDU in `pdus` but a count of 0.
    int count = 0;
};

// Parts needed for a text of `length` characters: 0, 1 up to 160, else 152-character parts.
int PartCount(long long length) noexcept;

// The 7-octet user data header of part `part` of `total`, 16-bit reference (high octet 0).
std::string ConcatHeader(int reference, int total, int part);

// One PDU; `header` is empty for a single message. `option` 1 asks for no status report.
std::string BuildSubmitPdu(std::string_view number, std::string_view text, int option,
                           std::string_view header);

// All PDUs of one message; `reference` ties the parts of a long text together.
SubmitPdus EncodeSubmitPdu(std::string_view number, std::string_view text, int reference,
                           int option);

// UCS2 limits in UTF-16 units: one message (140 octets), and one part beside the 7-octet
// concatenation header (133 octets).
inline constexpr std::size_t kSingleUcs2Units = 70;
inline constexpr std::size_t kUcs2PartUnits = 66;

// All UCS2 PDUs of one message (data coding scheme 08): one while the text has at most 70
// UTF-16 units, else parts of at most 66 with the header of EncodeSubmitPdu; a surrogate pair
// is never split between parts.
SubmitPdus EncodeUcs2SubmitPdu(std::string_view number, std::u16string_view text, int reference,
                               int option);

// A UTF-8 text as it goes out: with the default alphabet, exactly as EncodeSubmitPdu encodes
// its Windows-1252 bytes, when the alphabet carries every character; else as UCS2.
struct EncodedMessage {
    SubmitPdus pdus;
    bool ucs2 = false;
};
EncodedMessage EncodeMessage(std::string_view number, std::string_view utf8Text, int reference,
                             int option);

} // namespace pelorin::pdu

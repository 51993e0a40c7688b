#include "pdu/deliver.h"

#include "pdu/gsm7.h"
#include "pdu/unicode.h"
#include "pdu/hex.h"
#include "pdu/text_utils.h"
#include "pdu/tpdu_constants.h"

#include <algorithm>
#include <iterator>

namespace pelorin::pdu {

namespace {

// What the alphanumeric originator "M-Tronik" becomes when read as semi-octet digits.
constexpr std::string_view kMTronikDigits = "62C6155E677A7D";
constexpr std::string_view kMTronik = "M-Tronik";
// The operator's service numbers all report as this one sender.
constexpr std::string_view kServiceSender = "62962";
constexpr std::string_view kShortServiceSender = "629";
constexpr std::string_view kCountryCode = "62";

struct PduFields {
    std::string_view address;
    std::string_view dcs;
    std::string_view timestamp;
    std::string_view userData;
    std::size_t userDataLength = 0; // in octets (UCS2) or septets (7-bit)
};

// The header line's second blank-separated field, up to its first comma.
std::optional<std::string> ReadIndex(std::string_view header) {
    const std::size_t blank = header.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    std::string_view field = header.substr(blank + 1);
    field = field.substr(0, field.find(' '));
    if (field.empty()) return std::nullopt;
    return std::string(field.substr(0, field.find(',')));
}

// Field positions are 1-based and count the leading "\n" of the line as position 1.
PduFields LocateFields(std::string_view line) {
    const std::size_t sca = 2 * static_cast<std::size_t>(HexPairValue(SubText(line, 2, 2)));
    std::size_t digits = static_cast<std::size_t>(HexPairValue(SubText(line, sca + 6, 2)));
    digits += digits % 2; // odd digit counts carry an 'F' filler
    PduFields fields;
    fields.address = SubText(line, sca + 8, digits + 2);
    fields.dcs = SubText(line, sca + digits + 12, 2);
    fields.timestamp = SubText(line, sca + digits + 14, tpdu::kTimestampDigits);
    fields.userDataLength =
        static_cast<std::size_t>(HexPairValue(SubText(line, sca + digits + 28, 2)));
    fields.userData = SubText(line, sca + digits + 30, std::string_view::npos);
    return fields;
}

// A concatenation header at the start of the user data: its length in octets (UDHL included)
// and, when all of its octets are there, what it says. The header is recognised by its first
// octets, so text that happens to contain "@", "$" and the like is never taken for header.
struct Concatenation {
    std::size_t octets = 0; // 0: no header
    std::optional<PartInfo> part;
};

Concatenation ReadConcatenation(std::string_view userData) {
    const auto octet = [userData](std::size_t i) { return HexPairValue(SubText(userData, 2 * i + 1, 2)); };
    Concatenation c;
    if (userData.starts_with(tpdu::kConcat16HeaderStart)) {
        c.octets = 7;
        if (userData.size() >= 14) c.part = PartInfo{octet(3) * 256 + octet(4), octet(5), octet(6)};
    } else if (userData.size() > 5 && userData.starts_with(tpdu::kConcat8HeaderStart)) {
        c.octets = 6;
        if (userData.size() >= 12) c.part = PartInfo{octet(3), octet(4), octet(5)};
    }
    return c;
}

// Septets the header takes, fill bits included: 6 octets are 7 septets, 7 octets exactly 8.
std::size_t HeaderSeptets(std::size_t octets) {
    return (octets * 8 + 6) / 7;
}

std::string DecodeGsmUserData(std::string_view userData, const Concatenation& header) {
    const std::vector<std::uint8_t> septets = UnpackSeptets(userData);
    const std::size_t textStart = std::min(HeaderSeptets(header.octets), septets.size());
    return Cp1252ToUtf8(DecodeSeptets(std::span<const std::uint8_t>(septets).subspan(textStart)));
}

bool NeedsCleaning(char c) noexcept {
    return c == '"' || c == '\'' || c == '\\' || c == '/' || c == '\r' || c == '\x1A';
}

} // namespace

std::optional<DeliveredMessage> DecodeDeliverPdu(std::string_view headerLine,
                                                 std::string_view pduLine) {
    std::optional<std::string> index = ReadIndex(headerLine);
    if (!index) return std::nullopt;
    const PduFields fields = LocateFields(pduLine);
    std::string padded; // missing octets count as zero
    std::string_view userData = fields.userData;
    if (userData.size() < 2 * fields.userDataLength) {
        padded.assign(userData).resize(2 * fields.userDataLength, '0');
        userData = padded;
    }
    DeliveredMessage message;
    message.index = std::move(*index);
    message.sender = ApplySenderRules(DecodeAddress(fields.address));
    message.timestamp = FormatDeliverTimestamp(fields.timestamp);
    const Concatenation header = ReadConcatenation(userData);
    message.part = header.part;
    std::string text = fields.dcs == tpdu::kDcsUcs2
                           ? DecodeUnicodeText(SubText(userData, 2 * header.octets + 1, std::string_view::npos))
                           : DecodeGsmUserData(userData, header);
    message.text = std::none_of(text.begin(), text.end(), NeedsCleaning) ? std::move(text)
                                                                         : CleanMessageText(text);
    // A part may end or begin with half of a surrogate pair; it is made whole when the parts
    // are joined.
    if (!message.part) message.text = JoinSurrogates(std::move(message.text));
    return message;
}

std::string DecodeAddress(std::string_view field) {
    if (field.empty()) return {};
    const std::size_t pairs = field.size() / 2; // type of address + digit pairs
    std::string sender;
    sender.reserve(field.size() + 2);
    std::size_t firstSwapped = 1;
    if (field.front() != tpdu::kInternationalTypeDigit) {
        // National and other types: the first digit (the trunk 0) gives way to the country code.
        sender = kCountryCode;
        if (pairs >= 2) sender += field[2];
        firstSwapped = 2;
    }
    for (std::size_t i = firstSwapped; i < pairs; ++i) {
        sender += field[2 * i + 1];
        sender += field[2 * i];
    }
    std::erase(sender, 'F');
    return sender;
}

std::string ApplySenderRules(const std::string& sender) {
    if (sender == kMTronikDigits) return std::string(kMTronik);
    if (sender.starts_with(kServiceSender) || sender == kShortServiceSender)
        return std::string(kServiceSender);
    if (sender.starts_with(kCountryCode))
        return std::string(1, '0').append(sender, kCountryCode.size());
    return sender;
}

std::string FormatDeliverTimestamp(std::string_view digits) {
    const auto pair = [digits](std::size_t n) { return SwapPair(SubText(digits, 2 * n + 1, 2)); };
    return pair(1) + "-" + pair(2) + "-" + pair(0) + " " + pair(3) + ":" + pair(4) + ":" + pair(5);
}

std::string DecodeUnicodeText(std::string_view userData) {
    std::u16string units;
    units.reserve(userData.size() / 4);
    for (std::size_t i = 0; i + 4 <= userData.size(); i += 4)
        units += static_cast<char16_t>(HexToInt(userData.substr(i, 4)));
    return Utf16ToUtf8(units);
}

std::string CleanMessageText(std::string_view text) {
    // Two passes keep the order of the rules: a quote removed between "\r" and "\n" still
    // lets the pair become one blank.
    std::string stripped;
    stripped.reserve(text.size());
    for (const char c : text) {
        if (c == '"' || c == '\'') continue;
        stripped += (c == '\\' || c == '/') ? ' ' : c;
    }
    std::string cleaned;
    cleaned.reserve(stripped.size());
    for (std::size_t i = 0; i < stripped.size(); ++i) {
        if (stripped[i] == '\r' && i + 1 < stripped.size() && stripped[i + 1] == '\n') {
            cleaned += ' ';
            ++i;
        } else if (stripped[i] != '\x1A') {
            cleaned += stripped[i];
        }
    }
    return cleaned;
}

} // namespace pelorin::pdu

#include "pdu/deliver.h"

#include "pdu/gsm7.h"
#include "pdu/unicode.h"
#include "pdu/hex.h"
#include "pdu/text_utils.h"
#include "pdu/tpdu_constants.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

namespace pelorin::pdu {

using namespace tpdu;

namespace {

// What the alphanumeric originator "M-Tronik" became when it was read as semi-octet digits.
constexpr std::string_view kMTronikDigits = "62C6155E677A7D";
constexpr std::string_view kMTronik = "M-Tronik";
// The operator's service numbers all report as this one sender.
constexpr std::string_view kServiceSender = "62962";
constexpr std::string_view kShortServiceSender = "629";
constexpr std::string_view kCountryCode = "62";
constexpr char kTrunkPrefix = '0';
constexpr std::string_view kListingTag = "+CMGL:";
constexpr std::size_t kMaxStatDigits = 3;

// Value of an upper-case hex digit, -1 for any other byte.
constexpr std::array<std::int8_t, 256> kNibbles = [] {
    std::array<std::int8_t, 256> nibbles{};
    nibbles.fill(-1);
    for (int d = 0; d < 16; ++d)
        nibbles[static_cast<unsigned char>("0123456789ABCDEF"[d])] = static_cast<std::int8_t>(d);
    return nibbles;
}();

struct ListingHeader {
    std::string index;
    std::optional<int> stat; // TS 27.005 <stat>, when the header has one
};

std::optional<int> ReadStat(std::string_view field) {
    field = TrimControls(field.substr(0, field.find(',')));
    if (field.empty() || field.size() > kMaxStatDigits) return std::nullopt;
    int value = 0;
    for (const char c : field) {
        if (c < '0' || c > '9') return std::nullopt;
        value = 10 * value + (c - '0');
    }
    return value;
}

// The fields start after "+CMGL:" (with or without blanks after it), else after the first
// colon or blank; the index is the first field, up to a comma or blank.
std::optional<ListingHeader> ReadHeader(std::string_view line) {
    std::size_t start = line.find(kListingTag);
    if (start != std::string_view::npos)
        start += kListingTag.size();
    else if ((start = line.find(':')) != std::string_view::npos)
        ++start;
    else if ((start = line.find(' ')) != std::string_view::npos)
        ++start;
    else
        return std::nullopt;
    std::string_view fields = line.substr(start);
    fields.remove_prefix(std::min(fields.find_first_not_of(' '), fields.size()));
    if (fields.empty()) return std::nullopt;
    ListingHeader header{std::string(fields.substr(0, fields.find_first_of(", "))), std::nullopt};
    if (const std::size_t comma = fields.find(','); comma != std::string_view::npos)
        header.stat = ReadStat(fields.substr(comma + 1));
    return header;
}

struct PduFields {
    std::string_view address;
    std::string_view dcs;
    std::string_view timestamp;
    std::string_view userData;
    std::size_t userDataLength = 0; // in septets (7-bit) or octets
};

// Field positions are 1-based and count the leading "\n" of the line as position 1; `sca` is
// the number of characters of the service-centre address.
std::size_t ServiceCentreChars(std::string_view line) {
    return 2 * static_cast<std::size_t>(HexPairValue(SubText(line, 2, 2)));
}

// Semi-octets of an address field whose length octet is at `at`; odd counts carry a filler.
std::size_t AddressDigits(std::string_view line, std::size_t at) {
    const auto digits = static_cast<std::size_t>(HexPairValue(SubText(line, at, 2)));
    return digits + digits % 2;
}

PduFields LocateFields(std::string_view line, std::size_t sca) {
    const std::size_t digits = AddressDigits(line, sca + 6);
    PduFields fields;
    fields.address = SubText(line, sca + 8, digits + 2);
    fields.dcs = SubText(line, sca + digits + 12, 2);
    fields.timestamp = SubText(line, sca + digits + 14, kTimestampDigits);
    fields.userDataLength =
        static_cast<std::size_t>(HexPairValue(SubText(line, sca + digits + 28, 2)));
    fields.userData = SubText(line, sca + digits + 30, std::string_view::npos);
    return fields;
}

// Exactly the declared octets of the user data: bytes past them are no part of the message,
// and octets missing from a short line count as zero.
std::string_view DeclaredUserData(std::string_view userData, std::size_t octets,
                                  std::string& padded) {
    if (userData.size() >= 2 * octets) return userData.substr(0, 2 * octets);
    padded.assign(userData).resize(2 * octets, '0');
    return padded;
}

// Septets the header takes, fill bits included: 6 octets are 7 septets, 7 octets exactly 8.
std::size_t HeaderSeptets(std::size_t octets) {
    return (octets * 8 + 6) / 7;
}

std::string DecodeGsmText(std::string_view userData, std::size_t septetCount,
                          const UserDataHeader& header) {
    return DecodePackedSeptets(userData, HeaderSeptets(header.octets), septetCount);
}

// The characters CleanMessageText changes or drops.
constexpr std::array<bool, 256> kNeedsCleaning = [] {
    std::array<bool, 256> cleaned{};
    for (const char c : {'"', '\'', '\\', '/', '\r', '\x1A'})
        cleaned[static_cast<unsigned char>(c)] = true;
    return cleaned;
}();

bool NeedsCleaning(char c) noexcept {
    return kNeedsCleaning[static_cast<unsigned char>(c)];
}

DeliveredMessage DecodeDeliver(std::string_view line, std::size_t sca, int firstOctet) {
    const PduFields fields = LocateFields(line, sca);
    DeliveredMessage message;
    message.sender = DecodeOriginator(fields.address);
    message.timestamp = FormatDeliverTimestamp(fields.timestamp);
    const Alphabet alphabet = ReadAlphabet(HexPairValue(fields.dcs));
    const std::size_t length = fields.userDataLength;
    const std::size_t octets = alphabet == Alphabet::Gsm7 ? (7 * length + 7) / 8 : length;
    std::string padded;
    const std::string_view userData = DeclaredUserData(fields.userData, octets, padded);
    const UserDataHeader header = ReadUserDataHeader(userData, (firstOctet & kFirstOctetUdhi) != 0);
    message.part = header.part;
    std::string text;
    if (alphabet == Alphabet::Gsm7) {
        text = DecodeGsmText(userData, length, header);
    } else if (alphabet == Alphabet::Ucs2) {
        text = DecodeUnicodeText(SubText(userData, 2 * header.octets + 1, std::string_view::npos));
    } else {
        message.data = DataInfo{octets - std::min(header.octets, octets), header.port};
        text = BinaryMessageText(message.data->octets, message.data->port);
    }
    message.text = std::none_of(text.begin(), text.end(), NeedsCleaning) ? std::move(text)
                                                                         : CleanMessageText(text);
    // A part may end or begin with half of a surrogate pair; it is made whole when the parts
    // are joined.
    if (!message.part) message.text = JoinSurrogates(std::move(message.text));
    return message;
}

// TS 23.040 9.2.2.3: first octet, reference, recipient address, service-centre time stamp,
// discharge time, status.
DeliveredMessage DecodeStatusReport(std::string_view line, std::size_t sca) {
    const std::size_t digits = AddressDigits(line, sca + 8);
    DeliveredMessage report;
    report.kind = MessageKind::StatusReport;
    report.sender = DecodeOriginator(SubText(line, sca + 10, digits + 2));
    report.timestamp = FormatDeliverTimestamp(SubText(line, sca + digits + 12, kTimestampDigits));
    report.report = ReportInfo{HexPairValue(SubText(line, sca + 6, 2)),
                               HexPairValue(SubText(line, sca + digits + 40, 2))};
    return report;
}

bool IsAlphanumeric(std::string_view field) {
    return field.size() >= 2 &&
           (HexPairValue(field.substr(0, 2)) & kTypeOfNumberMask) == kTypeOfNumberAlphanumeric;
}

// TS 23.040 9.1.2.5: the name is GSM 7-bit characters packed into the address octets.
std::string DecodeAlphanumeric(std::string_view packed) {
    std::string hex(packed.substr(0, packed.size() / 2 * 2));
    hex.resize(2 * (hex.size() / 2 * 8 / 7), '0'); // every septet the octets hold
    std::vector<std::uint8_t> septets = UnpackSeptets(hex);
    // Seven characters fill seven octets but one bit; the eighth septet is then only fill.
    if (!septets.empty() && septets.back() == 0) septets.pop_back();
    return DecodeSeptets(septets);
}

} // namespace

std::optional<DeliveredMessage> DecodeDeliverPdu(std::string_view headerLine,
                                                 std::string_view pduLine) {
    std::optional<ListingHeader> header = ReadHeader(headerLine);
    if (!header) return std::nullopt;
    const std::size_t sca = ServiceCentreChars(pduLine);
    const int firstOctet = HexPairValue(SubText(pduLine, sca + 4, 2));
    const int type = firstOctet & kMtiMask;
    DeliveredMessage message;
    if (header->stat == kStatStoredUnsent || header->stat == kStatStoredSent || type == kMtiSubmit)
        message.kind = MessageKind::Submit; // the SIM owner's own: nothing more is read
    else if (type == kMtiStatusReport)
        message = DecodeStatusReport(pduLine, sca);
    else if (type == kMtiDeliver)
        message = DecodeDeliver(pduLine, sca, firstOctet);
    else
        return std::nullopt; // a reserved message type cannot be read
    message.index = std::move(header->index);
    return message;
}

std::string DecodeAddress(std::string_view field) {
    if (field.empty()) return {};
    if (IsAlphanumeric(field)) return DecodeAlphanumeric(field.substr(2));
    const std::size_t pairs = field.size() / 2; // type of address + digit pairs
    std::string sender(field.size() + 1, '\0'); // never more characters than the field's
    char* out = sender.data();
    const auto put = [&out](char digit) {
        if (digit != 'F') *out++ = digit; // the filler, and any 'F', is dropped
    };
    std::size_t firstSwapped = 1;
    // A national number's trunk prefix 0 gives way to the country code; a number that does
    // not start with it (a short code, a foreign number) keeps every digit.
    if (field.front() != kInternationalTypeDigit && (pairs < 2 || field[3] == kTrunkPrefix)) {
        put(kCountryCode[0]);
        put(kCountryCode[1]);
        if (pairs >= 2) put(field[2]);
        firstSwapped = 2;
    }
    for (std::size_t i = firstSwapped; i < pairs; ++i) {
        put(field[2 * i + 1]);
        put(field[2 * i]);
    }
    sender.resize(static_cast<std::size_t>(out - sender.data()));
    return sender;
}

std::string DecodeOriginator(std::string_view field) {
    // A name is not a number: the national-form rules would only mangle it.
    return IsAlphanumeric(field) ? DecodeAddress(field) : ApplySenderRules(DecodeAddress(field));
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
    if (digits.size() >= kTimestampDigits) { // the usual case, written in place
        std::string text = "MM-dd-yy hh:mm:ss";
        constexpr std::size_t kPairAt[] = {6, 0, 3, 9, 12, 15}; // where pair n of yyMMddhhmmss goes
        for (std::size_t n = 0; n < 6; ++n) {
            text[kPairAt[n]] = digits[2 * n + 1];
            text[kPairAt[n] + 1] = digits[2 * n];
        }
        return text;
    }
    const auto pair = [digits](std::size_t n) { return SwapPair(SubText(digits, 2 * n + 1, 2)); };
    return pair(1) + "-" + pair(2) + "-" + pair(0) + " " + pair(3) + ":" + pair(4) + ":" + pair(5);
}

namespace {

// UTF-16 units as UTF-8 at `out` (room for three bytes a unit); returns the end. A pair is one
// character; a surrogate alone stays as it is, for JoinSurrogates.
template <typename Unit> char* WriteUnits(char* out, std::size_t count, const Unit& unit) {
    for (std::size_t i = 0; i < count; ++i) {
        char32_t c = unit(i);
        if (c < 0x80) { // the usual characters first, each with one test
            *out++ = static_cast<char>(c);
            continue;
        }
        if ((c & 0xFC00) == 0xD800 && i + 1 < count) {
            if (const char32_t low = unit(i + 1); (low & 0xFC00) == 0xDC00) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        out = WriteUtf8(out, c);
    }
    return out;
}

} // namespace

std::string DecodeUnicodeText(std::string_view userData) {
    const std::size_t count = userData.size() / 4;
    std::string text(3 * count, '\0'); // a unit gives at most three bytes, a pair four
    char* end = nullptr;
    constexpr std::size_t kOnStack = 512; // a message's 140 octets, and more
    std::array<std::uint8_t, kOnStack> octets;
    if (2 * count <= kOnStack && UpperHexToOctets(userData.substr(0, 4 * count), octets.data())) {
        end = WriteUnits(text.data(), count, [&octets](std::size_t i) {
            return static_cast<char32_t>(octets[2 * i] << 8 | octets[2 * i + 1]);
        });
    } else {
        // A group with a character that is not upper-case hex reads as 0, as HexToInt reads it.
        end = WriteUnits(text.data(), count, [userData](std::size_t i) -> char32_t {
            const auto nibble = [userData, i](std::size_t k) {
                return kNibbles[static_cast<unsigned char>(userData[4 * i + k])];
            };
            const int a = nibble(0), b = nibble(1), c = nibble(2), d = nibble(3);
            if ((a | b | c | d) < 0) return 0;
            return static_cast<char32_t>(a << 12 | b << 8 | c << 4 | d);
        });
    }
    text.resize(static_cast<std::size_t>(end - text.data()));
    return text;
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

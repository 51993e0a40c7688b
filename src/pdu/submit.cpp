#include "pdu/submit.h"

#include "pdu/gsm7.h"
#include "pdu/hex.h"
#include "pdu/text_utils.h"
#include "pdu/tpdu_constants.h"
#include "pdu/unicode.h"

#include <algorithm>

namespace pelorin::pdu {

using namespace tpdu;

int PartCount(long long length) noexcept {
    if (length <= 0) return 0;
    if (length <= static_cast<long long>(kSingleMessageChars)) return 1;
    const auto partChars = static_cast<long long>(kConcatPartChars);
    return static_cast<int>((length + partChars - 1) / partChars);
}

std::string ConcatHeader(int reference, int total, int part) {
    std::string header(kConcat16HeaderStart);
    header += kConcat16ReferenceHigh;
    header += HexByte(reference);
    header += HexByte(total);
    header += HexByte(part);
    return header;
}

namespace {

// The PDU around its user data: `length` is the user data length field (septets for the
// default alphabet, octets for UCS2) and `userData` the hex that follows it.
std::string SubmitPdu(std::string_view number, int option, bool withHeader, std::string_view dcs,
                      long long length, std::string_view userData) {
    // The type of number stays "unknown" for "+" numbers too: only the "+" itself goes.
    const std::string digits = StripPrefix(TrimControls(number), "+");
    int firstOctet = kFirstOctetSubmitVpRelative;
    if (withHeader) firstOctet += kFirstOctetUdhi;
    if (option != kOptionNoStatusReport) firstOctet += kFirstOctetSrr;

    std::string pdu;
    pdu.reserve(40 + digits.size() + userData.size());
    pdu += kEmptySmsc;
    pdu += HexByte(firstOctet);
    pdu += kMessageReference;
    pdu += HexByte(static_cast<long long>(digits.size()));
    pdu += kTypeOfAddressIsdn;
    pdu += SwapSemiOctets(digits);
    pdu += kProtocolId;
    pdu += dcs;
    pdu += kValidity4Days;
    pdu += HexByte(length);
    pdu += userData;
    return pdu;
}

std::string Ucs2Pdu(std::string_view number, std::u16string_view units, int option, std::string_view header) {
    std::string userData(header);
    userData.reserve(header.size() + 4 * units.size());
    for (const char16_t unit : units) {
        userData += HexByte(unit >> 8);
        userData += HexByte(unit & 0xFF);
    }
    const long long octets = static_cast<long long>(header.size() / 2 + 2 * units.size());
    return SubmitPdu(number, option, !header.empty(), kDcsUcs2, octets, userData);
}

} // namespace

std::string BuildSubmitPdu(std::string_view number, std::string_view text, int option,
                           std::string_view header) {
    const std::string codes = TextToGsm(text);
    const long long septets =
        static_cast<long long>(codes.size()) + (header.empty() ? 0 : kConcat16HeaderSeptets);
    std::string userData(header);
    userData += PackSeptets(codes);
    return SubmitPdu(number, option, !header.empty(), kDcsGsm7, septets, userData);
}

SubmitPdus EncodeUcs2SubmitPdu(std::string_view number, std::u16string_view text, int reference,
                               int option) {
    SubmitPdus result;
    if (text.size() <= kSingleUcs2Units) {
        result.pdus.push_back(Ucs2Pdu(number, text, option, {}));
        result.count = text.empty() ? 0 : 1;
        return result;
    }
    std::vector<std::u16string_view> pieces;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t length = std::min(kUcs2PartUnits, text.size() - start);
        // Half an emoji in each part would reach the recipient as two broken characters.
        const char16_t last = text[start + length - 1];
        if (start + length < text.size() && last >= 0xD800 && last <= 0xDBFF) --length;
        pieces.push_back(text.substr(start, length));
        start += length;
    }
    const int parts = static_cast<int>(pieces.size());
    for (const std::u16string_view piece : pieces) {
        const int part = static_cast<int>(result.pdus.size()) + 1;
        result.pdus.push_back(Ucs2Pdu(number, piece, option, ConcatHeader(reference, parts, part)));
    }
    result.count = parts;
    return result;
}

EncodedMessage EncodeMessage(std::string_view number, std::string_view utf8Text, int reference,
                             int option) {
    if (const std::optional<std::string> cp1252 = Utf8ToCp1252(utf8Text); cp1252 && GsmCarries(*cp1252)) {
        return {EncodeSubmitPdu(number, *cp1252, reference, option), false};
    }
    return {EncodeUcs2SubmitPdu(number, Utf8ToUtf16(utf8Text), reference, option), true};
}

namespace {

// Room a character takes in a message: its septets (two for an extension character), but at
// least one, so a character the alphabet lacks keeps the place it always had and texts
// without extension characters are cut exactly as before.
std::size_t Room(char c) {
    return std::max<std::size_t>(1, TextToGsm(std::string_view(&c, 1)).size());
}

std::size_t Room(std::string_view text) {
    std::size_t room = 0;
    for (const char c : text)
        room += Room(c);
    return room;
}

// The text cut into pieces of at most `limit` septets each, at character boundaries, so an
// escape pair always stays in one piece.
std::vector<std::string_view> CutBySeptets(std::string_view text, std::size_t limit) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t room = Room(text[i]);
        if (used + room > limit) {
            pieces.push_back(text.substr(start, i - start));
            start = i;
            used = 0;
        }
        used += room;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

} // namespace

SubmitPdus EncodeSubmitPdu(std::string_view number, std::string_view text, int reference,
                           int option) {
    SubmitPdus result;
    // Limits count septets: an extension character ("{", "€", ...) takes two, and a PDU over
    // 160 septets is refused by modems and networks alike.
    if (Room(text) <= kSingleMessageChars) {
        result.pdus.push_back(BuildSubmitPdu(number, text, option, {}));
        result.count = text.empty() ? 0 : 1;
        return result;
    }
    const std::vector<std::string_view> pieces = CutBySeptets(text, kConcatPartChars);
    const int parts = static_cast<int>(pieces.size());
    for (const std::string_view piece : pieces) {
        const int part = static_cast<int>(result.pdus.size()) + 1;
        result.pdus.push_back(
            BuildSubmitPdu(number, piece, option, ConcatHeader(reference, parts, part)));
    }
    result.count = parts;
    return result;
}

} // namespace pelorin::pdu

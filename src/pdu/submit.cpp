#include "pdu/submit.h"

#include "pdu/gsm7.h"
#include "pdu/hex.h"
#include "pdu/text_utils.h"
#include "pdu/tpdu_constants.h"

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

std::string BuildSubmitPdu(std::string_view number, std::string_view text, int option,
                           std::string_view header) {
    const std::string codes = TextToGsm(text);
    // The type of number stays "unknown" for "+" numbers too: only the "+" itself goes.
    const std::string digits = StripPrefix(TrimControls(number), "+");
    int firstOctet = kFirstOctetSubmitVpRelative;
    if (!header.empty()) firstOctet += kFirstOctetUdhi;
    if (option != kOptionNoStatusReport) firstOctet += kFirstOctetSrr;
    const long long septets =
        static_cast<long long>(codes.size()) + (header.empty() ? 0 : kConcat16HeaderSeptets);

    std::string pdu;
    pdu.reserve(40 + digits.size() + header.size() + codes.size() * 2);
    pdu += kEmptySmsc;
    pdu += HexByte(firstOctet);
    pdu += kMessageReference;
    pdu += HexByte(static_cast<long long>(digits.size()));
    pdu += kTypeOfAddressIsdn;
    pdu += SwapSemiOctets(digits);
    pdu += kProtocolId;
    pdu += kDcsGsm7;
    pdu += kValidity4Days;
    pdu += HexByte(septets);
    pdu += header;
    pdu += PackSeptets(codes);
    return pdu;
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

#include "pdu/submit.h"

#include "pdu/gsm7.h"
#include "pdu/hex.h"
#include "pdu/text_utils.h"
#include "pdu/tpdu_constants.h"
#include "pdu/unicode.h"

#include <algorithm>
#include <array>
#include <cstring>

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

// The PDU up to its user data length: empty service centre, first octet, reference,
// destination, protocol, coding and validity. The parts of one message share it.
std::string SubmitHead(std::string_view number, int option, bool withHeader, std::string_view dcs) {
    // A "+" number is international: its country code must not be read as national digits.
    std::string_view digits = TrimControls(number);
    const bool international = digits.starts_with('+');
    if (international) digits.remove_prefix(1);
    int firstOctet = kFirstOctetSubmitVpRelative;
    if (withHeader) firstOctet += kFirstOctetUdhi;
    if (option != kOptionNoStatusReport) firstOctet += kFirstOctetSrr;

    std::string head;
    head.reserve(20 + digits.size());
    head += kEmptySmsc;
    AppendHexByte(head, static_cast<unsigned>(firstOctet));
    head += kMessageReference;
    AppendHexByte(head, static_cast<unsigned>(digits.size()));
    head += international ? kTypeOfAddressInternational : kTypeOfAddressIsdn;
    head += SwapSemiOctets(digits);
    head += kProtocolId;
    head += dcs;
    head += kValidity4Days;
    return head;
}

// Head, user data length, header, then `digits` hex digits left for the caller to write.
std::string PduFrame(std::string_view head, unsigned length, std::string_view header,
                     std::size_t digits) {
    std::string pdu;
    pdu.reserve(head.size() + 2 + header.size() + digits);
    pdu += head;
    AppendHexByte(pdu, length);
    pdu += header;
    pdu.resize(pdu.size() + digits);
    return pdu;
}

std::string Ucs2Pdu(std::string_view head, std::u16string_view units, std::string_view header) {
    const std::size_t octets = header.size() / 2 + 2 * units.size();
    std::string pdu = PduFrame(head, static_cast<unsigned>(octets), header, 4 * units.size());
    char* out = pdu.data() + pdu.size() - 4 * units.size();
    for (const char16_t unit : units) {
        std::memcpy(out, &kHexPairWords[unit >> 8], 2);
        std::memcpy(out + 2, &kHexPairWords[unit & 0xFF], 2);
        out += 4;
    }
    return pdu;
}

// GSM codes on the stack when they fit (a message is at most 160 septets), else on the heap.
class CodeBuffer {
public:
    explicit CodeBuffer(std::size_t characters) {
        if (2 * characters > onStack_.size()) {
            onHeap_.resize(2 * characters);
            data_ = onHeap_.data();
        }
    }
    char* data() { return data_; }

private:
    std::array<char, 512> onStack_;
    std::string onHeap_;
    char* data_ = onStack_.data();
};

// The PDU of `count` GSM codes; `header` is empty for a single message.
std::string GsmPdu(std::string_view head, const char* codes, std::size_t count,
                   std::string_view header) {
    const std::size_t digits = (7 * count + 7) / 8 * 2;
    const std::size_t septets = count + (header.empty() ? 0 : kConcat16HeaderSeptets);
    std::string pdu = PduFrame(head, static_cast<unsigned>(septets), header, digits);
    WritePackedSeptets(pdu.data() + pdu.size() - digits, codes, count);
    return pdu;
}

std::string GsmTextPdu(std::string_view head, std::string_view text, std::string_view header) {
    CodeBuffer codes(text.size());
    const WrittenCodes written = WriteGsmCodes(codes.data(), text);
    return GsmPdu(head, codes.data(), static_cast<std::size_t>(written.end - codes.data()), header);
}

} // namespace

std::string BuildSubmitPdu(std::string_view number, std::string_view text, int option,
                           std::string_view header) {
    return GsmTextPdu(SubmitHead(number, option, !header.empty(), kDcsGsm7), text, header);
}

SubmitPdus EncodeUcs2SubmitPdu(std::string_view number, std::u16string_view text, int reference,
                               int option) {
    SubmitPdus result;
    if (text.size() <= kSingleUcs2Units) {
        result.pdus.push_back(Ucs2Pdu(SubmitHead(number, option, false, kDcsUcs2), text, {}));
        result.count = text.empty() ? 0 : 1;
        return result;
    }
    // Half an emoji in each part would reach the recipient as two broken characters.
    const auto pieceLength = [text](std::size_t start) {
        std::size_t length = std::min(kUcs2PartUnits, text.size() - start);
        const char16_t last = text[start + length - 1];
        if (start + length < text.size() && last >= 0xD800 && last <= 0xDBFF) --length;
        return length;
    };
    int parts = 0; // counted first: every part's header names the total
    for (std::size_t start = 0; start < text.size(); start += pieceLength(start))
        ++parts;
    const std::string head = SubmitHead(number, option, true, kDcsUcs2);
    result.pdus.reserve(static_cast<std::size_t>(parts));
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t length = pieceLength(start);
        const int part = static_cast<int>(result.pdus.size()) + 1;
        result.pdus.push_back(
            Ucs2Pdu(head, text.substr(start, length), ConcatHeader(reference, parts, part)));
        start += length;
    }
    result.count = parts;
    return result;
}

namespace {

// The text cut into pieces of at most `limit` septets each (see SeptetRoom: a character the
// alphabet lacks keeps the place it always had), at character boundaries, so an escape pair
// always stays in one piece.
std::vector<std::string_view> CutBySeptets(std::string_view text, std::size_t limit) {
    std::vector<std::string_view> pieces;
    do {
        const std::size_t fit = std::max<std::size_t>(1, SeptetFit(text, limit));
        pieces.push_back(text.substr(0, fit));
        text.remove_prefix(std::min(fit, text.size()));
    } while (!text.empty());
    return pieces;
}

// EncodeSubmitPdu of a text whose septet room is known.
SubmitPdus EncodeGsm(std::string_view number, std::string_view text, std::size_t room,
                     int reference, int option) {
    SubmitPdus result;
    // Limits count septets: an extension character ("{", "€", ...) takes two, and a PDU over
    // 160 septets is refused by modems and networks alike.
    if (room <= kSingleMessageChars) {
        result.pdus.push_back(BuildSubmitPdu(number, text, option, {}));
        result.count = text.empty() ? 0 : 1;
        return result;
    }
    const std::vector<std::string_view> pieces = CutBySeptets(text, kConcatPartChars);
    const int parts = static_cast<int>(pieces.size());
    const std::string head = SubmitHead(number, option, true, kDcsGsm7);
    result.pdus.reserve(pieces.size());
    for (const std::string_view piece : pieces) {
        const int part = static_cast<int>(result.pdus.size()) + 1;
        result.pdus.push_back(GsmTextPdu(head, piece, ConcatHeader(reference, parts, part)));
    }
    result.count = parts;
    return result;
}

// The end of the part that starts at code `start`: at most 152 septets, an escape pair never
// split.
std::size_t PartEnd(const char* codes, std::size_t count, std::size_t start) {
    const std::size_t window = std::min(kConcatPartChars, count - start);
    // Without an escape in reach every code takes one septet: the part is simply full.
    if (std::memchr(codes + start, kGsmEscape, window) == nullptr) return start + window;
    std::size_t end = start;
    for (std::size_t used = 0; end < count;) {
        // A branch, not arithmetic, on the escape: the next position must not wait for this
        // code to be read.
        if (codes[end] == kGsmEscape) {
            if (used + 2 > kConcatPartChars) break;
            used += 2;
            end += 2;
        } else {
            if (used + 1 > kConcatPartChars) break;
            ++used;
            ++end;
        }
    }
    return std::min(end, count);
}

// The parts of a long text the alphabet carries, from the codes of the whole text: those of
// each part are a slice of them, since only an extension character's escape is code 27.
SubmitPdus EncodeCarriedParts(std::string_view number, const char* codes, std::size_t count,
                              int reference, int option) {
    std::vector<std::pair<std::size_t, std::size_t>> pieces; // first code, number of codes
    for (std::size_t start = 0; start < count;) {
        const std::size_t end = PartEnd(codes, count, start);
        pieces.emplace_back(start, end - start);
        start = end;
    }
    SubmitPdus result;
    const int parts = static_cast<int>(pieces.size());
    const std::string head = SubmitHead(number, option, true, kDcsGsm7);
    result.pdus.reserve(pieces.size());
    for (const auto& [first, length] : pieces) {
        const int part = static_cast<int>(result.pdus.size()) + 1;
        result.pdus.push_back(
            GsmPdu(head, codes + first, length, ConcatHeader(reference, parts, part)));
    }
    result.count = parts;
    return result;
}

} // namespace

SubmitPdus EncodeSubmitPdu(std::string_view number, std::string_view text, int reference,
                           int option) {
    return EncodeGsm(number, text, SeptetRoom(text), reference, option);
}

EncodedMessage EncodeMessage(std::string_view number, std::string_view utf8Text, int reference,
                             int option) {
    std::string converted;
    std::string_view cp1252 = utf8Text; // an ASCII text is already its own Windows-1252 bytes
    bool inCodePage = true;
    if (!IsAscii(utf8Text)) {
        std::optional<std::string> bytes = Utf8ToCp1252(utf8Text);
        inCodePage = bytes.has_value();
        if (bytes) converted = std::move(*bytes);
        cp1252 = converted;
    }
    if (inCodePage) {
        // The codes of the whole text tell both whether the alphabet carries it and, since a
        // carried character takes exactly its room, whether it fits one message.
        CodeBuffer codes(cp1252.size());
        const WrittenCodes written = WriteGsmCodes(codes.data(), cp1252);
        const auto count = static_cast<std::size_t>(written.end - codes.data());
        if (written.carried && count <= kSingleMessageChars) {
            SubmitPdus single;
            single.pdus.push_back(
                GsmPdu(SubmitHead(number, option, false, kDcsGsm7), codes.data(), count, {}));
            single.count = cp1252.empty() ? 0 : 1;
            return {std::move(single), false};
        }
        if (written.carried)
            return {EncodeCarriedParts(number, codes.data(), count, reference, option), false};
    }
    return {EncodeUcs2SubmitPdu(number, Utf8ToUtf16(utf8Text), reference, option), true};
}

} // namespace pelorin::pdu

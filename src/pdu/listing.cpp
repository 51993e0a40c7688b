#include "pdu/listing.h"

#include "pdu/unicode.h"

#include "pdu/hex.h"
#include "pdu/text_utils.h"

#include <climits>
#include <optional>
#include <algorithm>

namespace pelorin::pdu {

namespace {

// One or more digits whose value fits an int; optionally after leading blanks.
bool IsWholeNumber(std::string_view text, bool leadingBlanks) {
    if (leadingBlanks) text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
    if (text.empty()) return false;
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > INT_MAX) return false;
    }
    return true;
}

// "+CMT:" entries never carry an index; "+CMTI:" (an arrival announced) is no header at all.
bool IsHeaderLine(std::string_view line) {
    for (std::size_t plus = line.find('+'); plus != std::string_view::npos;
         plus = line.find('+', plus + 1)) {
        const std::string_view tag = line.substr(plus);
        if (tag.starts_with("+CMGL:") || tag.starts_with("+CMT:")) return true;
    }
    return false;
}

enum class LineKind { NotPdu, Pdu, LowerCasePdu };

// A PDU line: hex digits only, after the line break in front and blanks behind. Anything else
// between a header and its PDU (RING, ^MODE:5,4, +CMTI: "ME",3, a blank line) is an
// unsolicited line and is passed over.
LineKind PduLineKind(std::string_view line) {
    if (line.starts_with('\n')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    if (line.empty()) return LineKind::NotPdu;
    // No early exit and no table: the compiler checks many bytes at once.
    unsigned char other = 0;
    unsigned char lower = 0;
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        const unsigned char digit = static_cast<unsigned char>(u - '0') < 10;
        const unsigned char upper = static_cast<unsigned char>(u - 'A') < 6;
        const unsigned char small = static_cast<unsigned char>(u - 'a') < 6;
        other |= static_cast<unsigned char>((digit | upper | small) ^ 1);
        lower |= small;
    }
    if (other != 0) return LineKind::NotPdu;
    return lower ? LineKind::LowerCasePdu : LineKind::Pdu;
}

// The line of the PDU that belongs to the header at `header`: the first PDU line after it
// before the next header, or none.
std::optional<std::size_t> PduLineOf(const std::vector<std::string_view>& lines, std::size_t header,
                                     LineKind& kind) {
    for (std::size_t j = header + 1; j < lines.size() && !IsHeaderLine(lines[j]); ++j) {
        kind = PduLineKind(lines[j]);
        if (kind != LineKind::NotPdu) return j;
    }
    return std::nullopt;
}

// Modems send upper-case hex; a line in lower case reads the same.
std::string UpperCaseHex(std::string_view line) {
    std::string upper(line);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

// The answer's lines as SplitText cuts it at "\r", without copying them.
std::vector<std::string_view> SplitLines(std::string_view answer) {
    std::vector<std::string_view> lines;
    for (std::size_t end = answer.find('\r'); end != std::string_view::npos;
         end = answer.find('\r')) {
        lines.push_back(answer.substr(0, end));
        answer.remove_prefix(end + 1);
    }
    if (!answer.empty()) lines.push_back(answer);
    return lines;
}

MessageListing ToListing(std::vector<DeliveredMessage>& messages, std::vector<std::size_t> owners) {
    MessageListing listing;
    listing.owners = std::move(owners);
    listing.texts.reserve(messages.size());
    listing.timestamps.reserve(messages.size());
    listing.senders.reserve(messages.size());
    listing.indices.reserve(messages.size());
    for (DeliveredMessage& m : messages) {
        listing.texts.push_back(std::move(m.text));
        listing.timestamps.push_back(std::move(m.timestamp));
        listing.senders.push_back(std::move(m.sender));
        listing.indices.push_back(std::move(m.index));
    }
    return listing;
}

} // namespace

std::vector<DeliveredMessage> ParseListedMessages(std::string_view answer) {
    const std::vector<std::string_view> lines = SplitLines(answer);
    std::vector<DeliveredMessage> accepted;
    accepted.reserve(lines.size() / 2); // a header and a PDU line each, at least
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (!IsHeaderLine(lines[i])) continue;
        LineKind kind = LineKind::NotPdu;
        const std::optional<std::size_t> pdu = PduLineOf(lines, i, kind);
        if (!pdu) continue;
        std::optional<DeliveredMessage> message =
            kind == LineKind::Pdu ? DecodeDeliverPdu(lines[i], lines[*pdu])
                                  : DecodeDeliverPdu(lines[i], UpperCaseHex(lines[*pdu]));
        if (message && IsWholeNumber(message->index, false))
            accepted.push_back(std::move(*message));
        i = *pdu;
    }
    return accepted;
}

MessageListing ParseMessageListing(std::string_view answer) {
    std::vector<DeliveredMessage> messages = ParseListedMessages(answer);
    std::erase_if(messages,
                  [](const DeliveredMessage& m) { return m.kind != MessageKind::Deliver; });
    std::vector<std::size_t> owners(messages.size());
    for (std::size_t i = 0; i < owners.size(); ++i) owners[i] = i;
    const PartGrouping grouping = GroupParts(messages);
    for (const PartSet& set : grouping.sets) {
        std::string joined = JoinParts(messages, set);
        for (const auto& place : set.places) {
            if (!place) continue;
            owners[*place] = set.firstListed;
            messages[*place].text.clear();
        }
        messages[set.firstListed].text = std::move(joined);
    }
    // A repeated part is deleted with the message whose part it repeats, never shown twice.
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (grouping.repeatOf[i] < 0) continue;
        owners[i] = owners[static_cast<std::size_t>(grouping.repeatOf[i])];
        messages[i].text.clear();
    }
    return ToListing(messages, std::move(owners));
}

namespace {

// "yyMMddhhmmss" written as "MM-dd-yy hh:mm:ss".
std::string FormatCdmaTimestamp(std::string_view stamp) {
    const auto part = [stamp](std::size_t from) { return std::string(SubText(stamp, from, 2)); };
    return part(5) + "-" + part(3) + "-" + part(1) + " " + part(7) + ":" + part(9) + ":" + part(11);
}

// Data line: sender length (2 hex), sender, 12 stamp digits, 2 unread, text length (4 hex),
// text.
void AppendCdmaMessage(MessageListing& listing, std::string_view index, std::string_view line) {
    const auto senderLength = static_cast<std::size_t>(HexToInt(SubText(line, 1, 2)));
    const std::string_view body = SubText(line, 3, std::string_view::npos);
    const auto textLength = static_cast<std::size_t>(HexToInt(SubText(body, senderLength + 15, 4)));
    std::string text(SubText(body, senderLength + 19, textLength));
    std::erase_if(text, [](char c) { return c == '\'' || c == '"'; });
    listing.texts.push_back(Cp1252ToUtf8(text)); // the phone sends Windows-1252 bytes
    listing.timestamps.push_back(FormatCdmaTimestamp(SubText(body, senderLength + 1, 12)));
    listing.senders.emplace_back(SubText(body, 1, senderLength));
    listing.indices.emplace_back(index);
}

} // namespace

MessageListing ParseCdmaListing(std::string_view answer) {
    std::string text = ReplaceAll(answer, "\r\nOK", "");
    for (int pass = 0; pass < 5; ++pass)
        text = ReplaceAll(text, "\r\n\r\n", "\r\n");
    const TSplitArray pieces = SplitText(text, "+CMGL:");
    MessageListing listing;
    for (std::size_t k = 1; k < pieces.size(); ++k) {
        const TSplitArray lines = SplitText(pieces[k], "\r\n");
        if (lines.size() < 2) continue;
        const std::string_view index = std::string_view(lines[0]).substr(0, lines[0].find(','));
        if (!IsWholeNumber(index, true)) continue;
        // The text may run onto a third line; anything after that is ignored.
        const std::string data = lines.size() > 2 ? lines[1] + lines[2] : lines[1];
        AppendCdmaMessage(listing, index, data);
    }
    return listing;
}

} // namespace pelorin::pdu

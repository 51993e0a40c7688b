#include "pdu/listing.h"

#include "pdu/hex.h"
#include "pdu/text_utils.h"

#include <climits>
#include <optional>
#include <span>
#include <unordered_map>

namespace pelorin::pdu {

namespace {

constexpr std::string_view kServiceSender = "62962";

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

bool IsHeaderLine(std::string_view line) {
    return line.find("+CMT") != std::string_view::npos ||
           line.find("+CMGL:") != std::string_view::npos;
}

// Slot of a part: its sequence number minus 1. The header's last octet (the sequence number)
// sits with bits 2-7 in h0, under the fill bit, and bits 0-1 in the top of h1. Sequence
// number 0 is invalid (TS 23.040 9.2.3.24.1) and gives no slot.
std::optional<std::size_t> PartSlot(const std::vector<int>& septets) {
    const int sequence = ((septets[0] & 0x3F) << 2) | ((septets[1] >> 5) & 0x3);
    if (sequence == 0) return std::nullopt;
    return static_cast<std::size_t>(sequence - 1);
}

// Header septets after the first two, in decimal, run together: reference and part total.
std::string PartKey(const std::vector<int>& septets) {
    std::string key;
    for (std::size_t i = 2; i < septets.size(); ++i)
        key += std::to_string(septets[i]);
    return key;
}

MessageListing ToListing(std::vector<DeliveredMessage>& messages, std::vector<std::size_t> owners) {
    MessageListing listing;
    listing.owners = std::move(owners);
    for (DeliveredMessage& m : messages) {
        listing.texts.push_back(std::move(m.text));
        listing.timestamps.push_back(std::move(m.timestamp));
        listing.senders.push_back(std::move(m.sender));
        listing.indices.push_back(std::move(m.index));
    }
    return listing;
}


} // namespace

MessageListing ParseMessageListing(std::string_view answer) {
    const TSplitArray lines = SplitText(answer, "\r");
    std::vector<DeliveredMessage> accepted;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (!IsHeaderLine(lines[i]) || lines[i + 1].find('+') != std::string::npos) continue;
        std::optional<DeliveredMessage> message = DecodeDeliverPdu(lines[i], lines[i + 1]);
        if (message && IsWholeNumber(message->index, false))
            accepted.push_back(std::move(*message));
    }
    std::vector<std::size_t> owners = ReassembleParts(accepted);
    return ToListing(accepted, std::move(owners));
}

namespace {

// Parts that can be joined (two header septets or more), grouped by key in listing order, so
// that the pass stays linear however many entries a listing holds.
struct PartGroups {
    std::unordered_map<std::string, std::vector<std::size_t>> members;
    std::vector<std::string> keys;   // per message
    std::vector<std::size_t> places; // per message: its position inside its group
};

PartGroups GroupParts(const std::vector<DeliveredMessage>& messages) {
    PartGroups groups;
    groups.keys.resize(messages.size());
    groups.places.resize(messages.size(), 0);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].HeaderSeptetCount() < 2) continue;
        groups.keys[i] = PartKey(messages[i].HeaderSeptets);
        std::vector<std::size_t>& group = groups.members[groups.keys[i]];
        groups.places[i] = group.size();
        group.push_back(i);
    }
    return groups;
}

// Moves the texts of the later parts listed in `later` into the slots of the first part, the
// message at position `p`, and records `p` as their owner.
void CollectParts(std::vector<DeliveredMessage>& messages, std::size_t p, std::size_t firstSlot,
                  std::span<const std::size_t> later, std::vector<std::size_t>& owners) {
    DeliveredMessage& first = messages[p];
    std::vector<std::string> slots(firstSlot + 1);
    slots[firstSlot] = std::move(first.text);
    for (const std::size_t q : later) {
        DeliveredMessage& part = messages[q];
        if (part.HeaderSeptetCount() < 2) continue; // already joined into another message
        const std::optional<std::size_t> slot = PartSlot(part.HeaderSeptets);
        if (!slot) continue; // kept as a message of its own rather than lost
        if (*slot >= slots.size()) slots.resize(*slot + 1);
        slots[*slot] = std::move(part.text); // a repeated part replaces the earlier copy
        part.text.clear();
        part.HeaderSeptets.clear();
        owners[q] = p;
    }
    first.text.clear();
    for (const std::string& text : slots)
        first.text += text;
}

} // namespace

std::vector<std::size_t> ReassembleParts(std::vector<DeliveredMessage>& messages) {
    std::vector<std::size_t> owners(messages.size());
    for (std::size_t i = 0; i < owners.size(); ++i) owners[i] = i;
    const PartGroups groups = GroupParts(messages);
    for (std::size_t p = 0; p < messages.size(); ++p) {
        DeliveredMessage& first = messages[p];
        if (first.sender.starts_with(kServiceSender) || first.HeaderSeptetCount() <= 2) continue;
        const std::optional<std::size_t> slot = PartSlot(first.HeaderSeptets);
        if (!slot) continue;
        const auto group = groups.members.find(groups.keys[p]);
        if (group != groups.members.end())
            CollectParts(messages, p, *slot,
                         std::span<const std::size_t>(group->second).subspan(groups.places[p] + 1),
                         owners);
    }
    return owners;
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
    listing.texts.push_back(std::move(text));
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

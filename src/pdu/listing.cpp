#include "pdu/listing.h"

#include "pdu/unicode.h"

#include "pdu/hex.h"
#include "pdu/text_utils.h"

#include <climits>
#include <optional>
#include <algorithm>
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

// A part that can take a place in a set: a sequence number within its total, from a sender
// other than the network's own service numbers.
bool IsJoinablePart(const DeliveredMessage& m) {
    return m.part && !m.sender.starts_with(kServiceSender) && m.part->sequence >= 1 &&
           m.part->sequence <= m.part->total;
}

std::string SetKey(const DeliveredMessage& m) {
    return m.sender + '/' + std::to_string(m.part->reference) + '/' + std::to_string(m.part->total);
}

} // namespace

std::vector<DeliveredMessage> ParseListedMessages(std::string_view answer) {
    const TSplitArray lines = SplitText(answer, "\r");
    std::vector<DeliveredMessage> accepted;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (!IsHeaderLine(lines[i]) || lines[i + 1].find('+') != std::string::npos) continue;
        std::optional<DeliveredMessage> message = DecodeDeliverPdu(lines[i], lines[i + 1]);
        if (message && IsWholeNumber(message->index, false))
            accepted.push_back(std::move(*message));
    }
    return accepted;
}

bool PartSet::complete() const {
    return std::all_of(places.begin(), places.end(), [](const auto& slot) { return slot.has_value(); });
}

std::vector<std::size_t> PartSet::members() const {
    std::vector<std::size_t> present;
    for (const auto& slot : places)
        if (slot) present.push_back(*slot);
    return present;
}

PartGrouping GroupParts(const std::vector<DeliveredMessage>& messages) {
    PartGrouping grouping;
    grouping.setOf.assign(messages.size(), -1);
    struct Key {
        std::vector<std::size_t> sets; // instances in order of creation
        std::vector<std::size_t> filled; // per part number: how many instances hold it
    };
    std::unordered_map<std::string, Key> keys;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (!IsJoinablePart(messages[i])) continue;
        const auto total = static_cast<std::size_t>(messages[i].part->total);
        const auto slot = static_cast<std::size_t>(messages[i].part->sequence - 1);
        const std::string base = SetKey(messages[i]);
        Key& key = keys[base];
        key.filled.resize(total, 0);
        // Instance k holds part n exactly when k parts numbered n came before: the first
        // instance without this part is the next one.
        const std::size_t instance = key.filled[slot]++;
        if (instance == key.sets.size()) {
            key.sets.push_back(grouping.sets.size());
            grouping.sets.push_back({base + '#' + std::to_string(instance),
                                     std::vector<std::optional<std::size_t>>(total), i});
        }
        const std::size_t set = key.sets[instance];
        grouping.sets[set].places[slot] = i;
        grouping.setOf[i] = static_cast<int>(set);
    }
    return grouping;
}

std::string JoinParts(const std::vector<DeliveredMessage>& messages, const PartSet& set) {
    std::string text;
    for (const std::size_t position : set.members()) text += messages[position].text;
    // An emoji split between two parts is whole again.
    return JoinSurrogates(std::move(text));
}

MessageListing ParseMessageListing(std::string_view answer) {
    std::vector<DeliveredMessage> messages = ParseListedMessages(answer);
    std::vector<std::size_t> owners(messages.size());
    for (std::size_t i = 0; i < owners.size(); ++i) owners[i] = i;
    for (const PartSet& set : GroupParts(messages).sets) {
        std::string joined = JoinParts(messages, set);
        for (const std::size_t position : set.members()) {
            owners[position] = set.firstListed;
            messages[position].text.clear();
        }
        messages[set.firstListed].text = std::move(joined);
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

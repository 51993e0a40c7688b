#include "pdu/part_sets.h"

#include "pdu/unicode.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <tuple>
#include <unordered_map>

namespace pelorin::pdu {

namespace {

constexpr std::string_view kServiceSender = "62962";

// A part that can take a place in a set: a sequence number within its total, from a sender
// other than the network's own service numbers.
bool IsJoinablePart(const DeliveredMessage& m) {
    return m.kind == MessageKind::Deliver && m.part && !m.sender.starts_with(kServiceSender) &&
           m.part->sequence >= 1 && m.part->sequence <= m.part->total;
}

std::string SetKey(const DeliveredMessage& m) {
    // Binary parts and text parts never make one message.
    return m.sender + '/' + std::to_string(m.part->reference) + '/' + std::to_string(m.part->total) +
           (m.data ? "/data" : "");
}

int TwoDigits(std::string_view text, std::size_t at) {
    const char high = text[at];
    const char low = text[at + 1];
    if (high < '0' || high > '9' || low < '0' || low > '9') return -1;
    return (high - '0') * 10 + (low - '0');
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (year 0 and later).
std::int64_t DaysFromCivil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int era = year / 400;
    const int yearOfEra = year - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return static_cast<std::int64_t>(era) * 146097 + dayOfEra - 719468;
}

// One part of a key as the split sees it.
struct Timed {
    std::size_t position = 0;
    std::int64_t stamp = 0;
    int sequence = 0;
};

// How well a cut of a key's parts into messages fits what the modem shows: as few messages
// as the repeated part numbers allow, cut where the stamps lie furthest apart, and with each
// message's parts stored in their part order (disorder: a part numbered lower than the one
// stored before it in the same message).
struct Score {
    int messages = 0;
    std::int64_t gaps = 0;
    int disorder = 0;

    bool betterThan(const Score& other) const {
        return std::tie(messages, other.gaps, disorder) < std::tie(other.messages, gaps, other.disorder);
    }
};

// The parts listed so far with one key, number and text, by stamp: where the part a later
// one repeats is found without comparing every pair.
class Originals {
public:
    std::optional<std::size_t> find(std::optional<std::int64_t> stamp) const {
        if (!unstamped_.empty()) return unstamped_.front();
        if (byStamp_.empty()) return std::nullopt;
        if (!stamp) return byStamp_.begin()->second;
        const auto near = byStamp_.lower_bound(*stamp - kPartSpreadSeconds);
        if (near == byStamp_.end() || near->first > *stamp + kPartSpreadSeconds) return std::nullopt;
        return near->second;
    }
    void add(std::optional<std::int64_t> stamp, std::size_t position) {
        if (stamp) byStamp_.emplace(*stamp, position);
        else unstamped_.push_back(position);
    }

private:
    std::vector<std::size_t> unstamped_;
    std::multimap<std::int64_t, std::size_t> byStamp_;
};

std::vector<Timed> TimedParts(const std::vector<DeliveredMessage>& messages, const std::vector<std::size_t>& members) {
    std::vector<Timed> parts;
    bool stamped = true;
    for (const std::size_t position : members) {
        const std::optional<std::int64_t> stamp = StampSeconds(messages[position].timestamp);
        stamped = stamped && stamp.has_value();
        parts.push_back({position, stamp.value_or(0), messages[position].part->sequence});
    }
    // Without every stamp only the storage order is left to go by.
    if (!stamped) {
        for (Timed& part : parts) part.stamp = 0;
    }
    std::stable_sort(parts.begin(), parts.end(), [](const Timed& a, const Timed& b) { return a.stamp < b.stamp; });
    return parts;
}

// The messages among one key's parts, each as the listing positions of its parts: a cut of
// the parts in stamp order into runs without a repeated part number or a gap beyond the
// spread, the best run of cuts by Score.
std::vector<std::vector<std::size_t>> SplitIntoMessages(const std::vector<DeliveredMessage>& messages,
                                                        const std::vector<std::size_t>& members) {
    const std::vector<Timed> parts = TimedParts(messages, members);
    const auto total = static_cast<std::size_t>(messages[members.front()].part->total);
    const std::size_t n = parts.size();
    std::vector<Score> best(n + 1);
    std::vector<std::size_t> start(n + 1, 0); // where the last message of the best cut of [0, j) starts
    for (std::size_t j = 1; j <= n; ++j) {
        std::vector<bool> taken(total + 1, false);
        int disorder = 0;
        bool found = false;
        // The last message [i, j) grows to the left until a part number repeats, so each j
        // looks at no more than `total` starts.
        for (std::size_t i = j; i-- > 0;) {
            const Timed& part = parts[i];
            if (taken[static_cast<std::size_t>(part.sequence)]) break;
            if (i + 1 < j && parts[i + 1].stamp - part.stamp > kPartSpreadSeconds) break;
            taken[static_cast<std::size_t>(part.sequence)] = true;
            if (i + 1 < j && part.sequence > parts[i + 1].sequence) ++disorder;
            Score score = best[i];
            score.messages += 1;
            score.gaps += i > 0 ? part.stamp - parts[i - 1].stamp : 0;
            score.disorder += disorder;
            // On a tie the earlier start wins: an older lone part never takes a newer one's place.
            if (!found || !best[j].betterThan(score)) {
                best[j] = score;
                start[j] = i;
                found = true;
            }
        }
    }
    std::vector<std::vector<std::size_t>> split;
    for (std::size_t j = n; j > 0; j = start[j]) {
        std::vector<std::size_t> positions;
        for (std::size_t k = start[j]; k < j; ++k) positions.push_back(parts[k].position);
        split.insert(split.begin(), std::move(positions));
    }
    return split;
}

} // namespace

std::optional<std::int64_t> StampSeconds(std::string_view stamp) {
    if (stamp.size() != 17 || stamp[2] != '-' || stamp[5] != '-' || stamp[8] != ' ' || stamp[11] != ':' ||
        stamp[14] != ':') {
        return std::nullopt;
    }
    const int month = TwoDigits(stamp, 0);
    const int day = TwoDigits(stamp, 3);
    const int year = TwoDigits(stamp, 6);
    const int hour = TwoDigits(stamp, 9);
    const int minute = TwoDigits(stamp, 12);
    const int second = TwoDigits(stamp, 15);
    if (month < 1 || month > 12 || day < 1 || day > 31 || year < 0 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59) {
        return std::nullopt;
    }
    return DaysFromCivil(2000 + year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

bool SamePart(const DeliveredMessage& a, const DeliveredMessage& b) {
    if (!a.part || !b.part || a.sender != b.sender || *a.part != *b.part || a.text != b.text) return false;
    const std::optional<std::int64_t> first = StampSeconds(a.timestamp);
    const std::optional<std::int64_t> second = StampSeconds(b.timestamp);
    return !first || !second || std::abs(*first - *second) <= kPartSpreadSeconds;
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
    grouping.repeatOf.assign(messages.size(), -1);
    std::vector<std::string> keys; // in order of first appearance
    std::unordered_map<std::string, std::vector<std::size_t>> members;
    std::unordered_map<std::string, Originals> originals; // by key, number and text
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (!IsJoinablePart(messages[i])) continue;
        const std::string key = SetKey(messages[i]);
        Originals& same = originals[key + '/' + std::to_string(messages[i].part->sequence) + '/' + messages[i].text];
        const std::optional<std::int64_t> stamp = StampSeconds(messages[i].timestamp);
        if (const std::optional<std::size_t> original = same.find(stamp)) {
            grouping.repeatOf[i] = static_cast<int>(*original);
            continue;
        }
        same.add(stamp, i);
        const auto [entry, added] = members.try_emplace(key);
        if (added) keys.push_back(key);
        entry->second.push_back(i);
    }
    for (const std::string& key : keys) {
        const std::vector<std::vector<std::size_t>> split = SplitIntoMessages(messages, members[key]);
        for (std::size_t k = 0; k < split.size(); ++k) {
            const auto total = static_cast<std::size_t>(messages[split[k].front()].part->total);
            PartSet set{key + '#' + std::to_string(k), std::vector<std::optional<std::size_t>>(total),
                        *std::min_element(split[k].begin(), split[k].end())};
            for (const std::size_t position : split[k]) {
                set.places[static_cast<std::size_t>(messages[position].part->sequence - 1)] = position;
                grouping.setOf[position] = static_cast<int>(grouping.sets.size());
            }
            grouping.sets.push_back(std::move(set));
        }
    }
    return grouping;
}

std::string JoinParts(const std::vector<DeliveredMessage>& messages, const PartSet& set) {
    const DeliveredMessage* first = nullptr; // the lowest part present
    std::size_t octets = 0;
    std::size_t length = 0;
    for (const auto& place : set.places) {
        if (!place) continue;
        if (!first) first = &messages[*place];
        length += messages[*place].text.size();
        octets += messages[*place].data ? messages[*place].data->octets : 0;
    }
    // Binary parts make one binary message: one description of all its octets.
    if (first && first->data) return BinaryMessageText(octets, first->data->port);
    std::string text;
    text.reserve(length);
    for (const auto& place : set.places) {
        if (place) text += messages[*place].text;
    }
    // An emoji split between two parts is whole again.
    return JoinSurrogates(std::move(text));
}

} // namespace pelorin::pdu

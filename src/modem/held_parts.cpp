#include "modem/held_parts.h"

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>

#include "pdu/part_sets.h"

namespace pelorin::modem {
namespace {

// A part not listed for this long has left the modem some other way; its entry goes.
constexpr std::int64_t kForgetSeconds = 3600;

ReadyMessage joined(const std::vector<pdu::DeliveredMessage>& listed, const pdu::PartSet& set) {
    const pdu::DeliveredMessage& first = listed[set.firstListed];
    ReadyMessage ready{first.sender, pdu::JoinParts(listed, set), first.timestamp, first.index, {}};
    for (const std::size_t position : set.members()) ready.parts.push_back(listed[position]);
    return ready;
}

// A listed part as the wait remembers it: its place and what it is.
std::string partKey(const pdu::DeliveredMessage& m) {
    return m.index + '/' + m.sender + '/' + std::to_string(m.part->reference) + '/' +
           std::to_string(m.part->total) + '/' + std::to_string(m.part->sequence) + '/' + m.timestamp;
}

} // namespace

ReadyMessage SingleMessage(const pdu::DeliveredMessage& m) {
    return {m.sender, m.text, m.timestamp, m.index, {m}};
}

std::int64_t HeldParts::waitFromEnvironment() {
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("PELORIN_PART_WAIT", &ok);
    return ok && seconds >= 0 ? seconds : kDefaultWaitSeconds;
}

std::set<std::size_t> HeldParts::release(const pdu::PartGrouping& grouping,
                                         const std::vector<pdu::DeliveredMessage>& listed, std::int64_t now,
                                         bool storageFull) {
    std::set<std::size_t> released;
    std::optional<std::size_t> oldest;
    std::int64_t oldestFirst = now;
    held_ = 0;
    for (std::size_t s = 0; s < grouping.sets.size(); ++s) {
        const pdu::PartSet& set = grouping.sets[s];
        // A message has waited since the first sighting of any of its parts.
        std::int64_t first = now;
        for (const std::size_t position : set.members()) {
            Seen& seen = seen_.try_emplace(partKey(listed[position]), Seen{now, now}).first->second;
            seen.last = now;
            first = std::min(first, seen.first);
        }
        if (set.complete() || now - first >= wait_) {
            released.insert(s);
            continue;
        }
        ++held_;
        if (!oldest || first < oldestFirst) {
            oldest = s;
            oldestFirst = first;
        }
    }
    if (storageFull && oldest) {
        released.insert(*oldest);
        --held_;
    }
    return released;
}

HeldParts::Taken HeldParts::take(const std::vector<pdu::DeliveredMessage>& listed, std::int64_t now,
                                 bool storageFull) {
    const pdu::PartGrouping grouping = pdu::GroupParts(listed);
    const std::set<std::size_t> released = release(grouping, listed, now, storageFull);
    Taken taken;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const int s = grouping.setOf[i];
        if (grouping.repeatOf[i] >= 0) {
            taken.repeats.push_back(listed[i]);
        } else if (s < 0) {
            taken.ready.push_back(SingleMessage(listed[i]));
        } else if (grouping.sets[s].firstListed == i && released.count(static_cast<std::size_t>(s))) {
            taken.ready.push_back(joined(listed, grouping.sets[s]));
            for (const std::size_t position : grouping.sets[s].members()) seen_.erase(partKey(listed[position]));
        }
    }
    forgetUnseen(now);
    return taken;
}

void HeldParts::forgetUnseen(std::int64_t now) {
    std::erase_if(seen_, [now](const auto& entry) { return now - entry.second.last > kForgetSeconds; });
}

bool StorageFull(const std::string& cpmsAnswer) {
    const std::size_t at = cpmsAnswer.find("+CPMS:");
    if (at == std::string::npos) return false;
    int used = 0;
    int total = 0;
    if (std::sscanf(cpmsAnswer.c_str() + at, "+CPMS: %d,%d", &used, &total) != 2) return false;
    return total > 0 && used >= total;
}

} // namespace pelorin::modem

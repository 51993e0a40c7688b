#include "modem/held_parts.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstdio>
#include <set>

#include "pdu/listing.h"

namespace pelorin::modem {
namespace {

// A set not listed for this long has left the modem some other way; its entry goes.
constexpr std::int64_t kForgetSeconds = 3600;

ReadyMessage single(const pdu::DeliveredMessage& m) {
    return {m.sender, m.text, m.timestamp, m.index, {m.index}};
}

ReadyMessage joined(const std::vector<pdu::DeliveredMessage>& listed, const pdu::PartSet& set) {
    const pdu::DeliveredMessage& first = listed[set.firstListed];
    ReadyMessage ready{first.sender, pdu::JoinParts(listed, set), first.timestamp, first.index, {}};
    for (const std::size_t position : set.members()) ready.indices.push_back(listed[position].index);
    return ready;
}

} // namespace

std::int64_t HeldParts::waitFromEnvironment() {
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("PELORIN_PART_WAIT", &ok);
    return ok && seconds >= 0 ? seconds : kDefaultWaitSeconds;
}

std::vector<ReadyMessage> HeldParts::take(const std::vector<pdu::DeliveredMessage>& listed,
                                          std::int64_t now, bool storageFull) {
    const pdu::PartGrouping grouping = pdu::GroupParts(listed);
    std::set<std::size_t> released;
    const pdu::PartSet* oldest = nullptr;
    for (std::size_t s = 0; s < grouping.sets.size(); ++s) {
        const pdu::PartSet& set = grouping.sets[s];
        if (set.complete()) {
            released.insert(s);
            continue;
        }
        Seen& seen = seen_.try_emplace(set.key, Seen{now, now}).first->second;
        seen.last = now;
        if (now - seen.first >= wait_) released.insert(s);
        else if (!oldest || seen.first < seen_[oldest->key].first) oldest = &set;
    }
    if (storageFull && oldest) released.insert(static_cast<std::size_t>(oldest - grouping.sets.data()));

    std::vector<ReadyMessage> ready;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const int s = grouping.setOf[i];
        if (s < 0) {
            ready.push_back(single(listed[i]));
        } else if (grouping.sets[s].firstListed == i && released.count(static_cast<std::size_t>(s))) {
            ready.push_back(joined(listed, grouping.sets[s]));
            seen_.erase(grouping.sets[s].key);
        }
    }
    forgetUnseen(now);
    return ready;
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

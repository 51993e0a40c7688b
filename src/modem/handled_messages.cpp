#include "modem/handled_messages.h"

#include <algorithm>

#include "pdu/part_sets.h"
#include "pdu/text_utils.h"

namespace pelorin::modem {
namespace {

// The CDMA listing writes its indices with a blank in front; the place is the same.
std::string placeOf(const std::string& storage, const std::string& index) {
    return storage + '/' + std::string(pdu::TrimControls(index));
}

// Everything decoded from a stored message: another message at the same place differs in it.
std::string identityOf(const pdu::DeliveredMessage& m) {
    std::string identity = m.sender + '\x1F' + m.timestamp + '\x1F' + m.text;
    if (m.part) {
        identity += '\x1F' + std::to_string(m.part->reference) + '/' + std::to_string(m.part->total) + '/' +
                    std::to_string(m.part->sequence);
    }
    return identity;
}

} // namespace

bool HandledMessages::handled(const std::string& storage, const pdu::DeliveredMessage& m, std::int64_t now) {
    const auto place = places_.find(placeOf(storage, m.index));
    if (place == places_.end()) return false;
    if (place->second.identity != identityOf(m)) {
        places_.erase(place);
        return false;
    }
    place->second.lastSeen = now;
    return true;
}

bool HandledMessages::repeatsHandledPart(const pdu::DeliveredMessage& m) const {
    return std::any_of(recentParts_.begin(), recentParts_.end(),
                       [&](const RecentPart& recent) { return pdu::SamePart(recent.part, m); });
}

void HandledMessages::remember(const std::string& storage, const pdu::DeliveredMessage& m, std::int64_t now) {
    places_[placeOf(storage, m.index)] = Place{identityOf(m), now};
}

void HandledMessages::rememberPart(const pdu::DeliveredMessage& m, std::int64_t now) {
    if (m.part && !repeatsHandledPart(m)) recentParts_.push_back({m, now});
}

void HandledMessages::deleted(const std::string& storage, const std::string& index) {
    places_.erase(placeOf(storage, index));
}

void HandledMessages::forgetOld(std::int64_t now) {
    std::erase_if(places_, [now](const auto& entry) { return now - entry.second.lastSeen > kForgetSeconds; });
    std::erase_if(recentParts_, [now](const RecentPart& recent) { return now - recent.handled > kForgetSeconds; });
}

} // namespace pelorin::modem

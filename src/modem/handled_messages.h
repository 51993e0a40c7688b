#pragma once
// What the worker has handled and not yet seen deleted. A handled message stays remembered
// by its place (storage and index) and what it is until its AT+CMGD is answered OK; listed
// again meanwhile (the deletion was refused or its answer lost), it is deleted again, never
// handled again. Parts of long messages handled lately are kept an hour longer, so that the
// network's repetition of one is deleted unread. Memory only: a restart forgets it.
// Not thread-safe (the worker alone uses it); never throws.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pdu/deliver.h"

namespace pelorin::modem {

class HandledMessages {
public:
    // An entry not listed for this long has left the modem some other way.
    static constexpr std::int64_t kForgetSeconds = 3600;

    // Whether `m`, listed in `storage`, was handled already. A place that now holds another
    // message is forgotten: the old one's deletion went through after all.
    bool handled(const std::string& storage, const pdu::DeliveredMessage& m, std::int64_t now);
    // Whether `m` repeats a part of a message handled lately.
    bool repeatsHandledPart(const pdu::DeliveredMessage& m) const;
    // `m` was handled (or is only to be deleted): known at its place until its deletion is
    // confirmed.
    void remember(const std::string& storage, const pdu::DeliveredMessage& m, std::int64_t now);
    // `m` was handled as (part of) a message: a later repetition of it is recognised. Never
    // for a part only deleted, whose original may still be waiting to be handled.
    void rememberPart(const pdu::DeliveredMessage& m, std::int64_t now);
    // Its AT+CMGD was answered OK.
    void deleted(const std::string& storage, const std::string& index);
    // Drops what has not been listed (or handled) for kForgetSeconds.
    void forgetOld(std::int64_t now);

    // Handled messages whose deletion is not confirmed.
    std::size_t undeleted() const { return places_.size(); }

private:
    struct Place {
        std::string identity;
        std::int64_t lastSeen = 0;
    };
    struct RecentPart {
        pdu::DeliveredMessage part;
        std::int64_t handled = 0;
    };
    std::map<std::string, Place> places_; // by storage and index
    std::vector<RecentPart> recentParts_;
};

} // namespace pelorin::modem

#pragma once
// Long messages whose parts reach the modem in different reading passes. A part of an
// incomplete message stays in the modem, unhandled, until the rest of its message is listed
// too, or until it has waited long enough; then the parts present are joined in part order
// and handled as one message. A part the network sent twice is only deleted. The first-seen
// times live in memory only: after a restart a held message starts its wait again. Not
// thread-safe (the worker alone uses it); never throws.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pdu/deliver.h"
#include "pdu/part_sets.h"

namespace pelorin::modem {

// One message to handle now.
struct ReadyMessage {
    std::string sender;
    std::string text;
    std::string timestamp;
    std::string index;                        // storage index of its earliest-listed part
    std::vector<pdu::DeliveredMessage> parts; // every listed message it is made of, to delete once handled
};

// A listed message that is a whole message by itself.
ReadyMessage SingleMessage(const pdu::DeliveredMessage& m);

class HeldParts {
public:
    static constexpr std::int64_t kDefaultWaitSeconds = 600;

    explicit HeldParts(std::int64_t waitSeconds = kDefaultWaitSeconds) : wait_(waitSeconds) {}

    // PELORIN_PART_WAIT in seconds (0: join only what one listing holds); the default when unset
    // or not a whole number of at least 0.
    static std::int64_t waitFromEnvironment();

    struct Taken {
        std::vector<ReadyMessage> ready;            // in the listing order of their earliest part
        std::vector<pdu::DeliveredMessage> repeats; // parts listed twice: to delete, never to handle
    };

    // What one listing holds to handle now. Complete messages and messages without parts
    // always come out; an incomplete one only once it has waited its time, or, when
    // `storageFull`, the one that has waited longest, so that a full modem can take new
    // messages again. `now` is in seconds on any steady clock.
    Taken take(const std::vector<pdu::DeliveredMessage>& listed, std::int64_t now, bool storageFull);

    // Incomplete messages the last listing held back.
    std::size_t heldCount() const { return held_; }

private:
    struct Seen {
        std::int64_t first = 0;
        std::int64_t last = 0;
    };
    // The sets to hand out now; counts the others as held.
    std::set<std::size_t> release(const pdu::PartGrouping& grouping, const std::vector<pdu::DeliveredMessage>& listed,
                                  std::int64_t now, bool storageFull);
    void forgetUnseen(std::int64_t now);

    std::int64_t wait_;
    std::map<std::string, Seen> seen_; // by listed part
    std::size_t held_ = 0;
};

// True when an "AT+CPMS" answer reports its first memory full ("+CPMS: used,total,...").
bool StorageFull(const std::string& cpmsAnswer);

} // namespace pelorin::modem

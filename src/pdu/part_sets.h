// The parts of long messages found in one listing: which listed messages belong together,
// which repeat a part already listed, and their joined text. Error contract: never throws.
#pragma once

#include "pdu/deliver.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin::pdu {

// A sender's phone hands the service centre all parts of a message within moments, so their
// stamps lie close together; parts stamped further apart than this belong to different messages.
inline constexpr std::int64_t kPartSpreadSeconds = 600;

// A listing stamp "MM-dd-yy hh:mm:ss" (years 2000 to 2099) in seconds; nothing when it is not one.
std::optional<std::int64_t> StampSeconds(std::string_view stamp);

// Whether `b` is the network's repetition of part `a`: same sender, reference, total, sequence
// and text, stamped within kPartSpreadSeconds (or without readable stamps).
bool SamePart(const DeliveredMessage& a, const DeliveredMessage& b);

// The parts of one long message. Parts of one message share sender, reference and total; where
// two messages share them too, the stamps (then the storage order) tell the messages apart.
struct PartSet {
    std::string key;                                // sender, reference, total and instance
    std::vector<std::optional<std::size_t>> places; // listing position of part k + 1
    std::size_t firstListed = 0;                    // position of its earliest-listed part

    bool complete() const;
    // Listing positions of the parts present, in part order.
    std::vector<std::size_t> members() const;
};

struct PartGrouping {
    std::vector<PartSet> sets;
    // Per listed message: the index of its set in `sets`, or -1 (see repeatOf).
    std::vector<int> setOf;
    // Per listed message: the position of the earlier-listed part it repeats (it belongs to no
    // set and is only to be deleted), or -1. A message with -1 in both lists stands alone (no
    // concatenation header, an impossible part number, or a "62962" sender).
    std::vector<int> repeatOf;
};

PartGrouping GroupParts(const std::vector<DeliveredMessage>& messages);

// The texts of the parts present, joined in part order; for 8-bit data, one description of
// all their octets.
std::string JoinParts(const std::vector<DeliveredMessage>& messages, const PartSet& set);

} // namespace pelorin::pdu

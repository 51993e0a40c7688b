// Parsers of the modem's AT+CMGL answers: PDU mode (decoded, long messages joined) and the
// CDMA text format. Error contract: never throws; malformed entries are left out of the result.
#pragma once

#include "pdu/deliver.h"
#include "pdu/part_sets.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin::pdu {

// Parallel lists, position i of each describing the same stored message in listing order.
// An empty text marks a part joined into an earlier message: delete it, do not process it.
struct MessageListing {
    std::vector<std::string> texts;
    std::vector<std::string> timestamps;
    std::vector<std::string> senders;
    std::vector<std::string> indices; // storage index for AT+CMGD, as the modem sent it
    // Position of the entry whose text holds this entry's text: its own position, or that of
    // the earlier entry it was joined into. Empty means every entry stands alone.
    std::vector<std::size_t> owners;

    std::size_t ownerOf(std::size_t i) const noexcept { return i < owners.size() ? owners[i] : i; }

    std::size_t count() const noexcept { return texts.size(); }
};

// Every "+CMGL:"/"+CMT:" line is decoded with the first PDU line after it (lines that are not
// hex, such as unsolicited results, are passed over; a header without one is dropped), in
// listing order; entries whose index is not a whole number, or that cannot be decoded, are
// dropped. Status reports and stored SMS-SUBMITs are kept with their kind. Nothing is joined.
std::vector<DeliveredMessage> ParseListedMessages(std::string_view answer);

// The received messages (SMS-DELIVER) of ParseListedMessages with every set of parts, complete
// or not, joined into its earliest-listed part; the other parts, and parts repeated by the
// network, keep their place with an empty text.
MessageListing ParseMessageListing(std::string_view answer);

// Reads the CDMA text-format listing: no PDUs, no sender rules, no joining.
MessageListing ParseCdmaListing(std::string_view answer);

} // namespace pelorin::pdu

// Fuzzes the CDMA text-format listing parser with arbitrary modem answers.
#include "pdu/listing.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view answer(reinterpret_cast<const char*>(data), size);
    const auto listing = pelorin::pdu::ParseCdmaListing(answer);
    const std::size_t n = listing.count();
    if (listing.timestamps.size() != n || listing.senders.size() != n ||
        listing.indices.size() != n)
        std::abort();
    return 0;
}

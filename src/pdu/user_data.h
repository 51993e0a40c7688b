// How to read an SMS-DELIVER's user data: the data coding scheme (3GPP TS 23.038 4) and the
// user data header (TS 23.040 9.2.3.24). Pure functions. Error contract: never throws; a header
// that claims more than the data holds covers what there is.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pelorin::pdu {

// A concatenation header (TS 23.040 9.2.3.24.1 and .8), with an 8- or 16-bit reference.
struct PartInfo {
    int reference = 0;
    int total = 0;
    int sequence = 0;

    bool operator==(const PartInfo&) const = default;
};

enum class Alphabet { Gsm7, Data8, Ucs2 };

// The alphabet a data coding scheme octet names, whatever its class or message-waiting bits.
// Compressed text counts as data: there is no decompressor here, and a description of the
// message is better than garbled characters.
Alphabet ReadAlphabet(int dcs) noexcept;

struct UserDataHeader {
    std::size_t octets = 0; // the whole header, its length octet included; 0: no header
    std::optional<PartInfo> part;
    std::optional<int> port; // destination application port
};

// The header at the start of user data (hex). With the header indicator set, the header's
// length octet gives its size and each element is read. Without it, the two concatenation
// layouts ("0500..." and "060804...") are still taken for a header, as they always were, for
// senders that leave the indicator unset.
UserDataHeader ReadUserDataHeader(std::string_view userData, bool indicator);

// The stored text of an 8-bit data message: "[binary message, 12 octets, port 2948]", or
// without ", port P" when no application port was given.
std::string BinaryMessageText(std::size_t octets, std::optional<int> port);

} // namespace pelorin::pdu

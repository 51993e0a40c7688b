#include "pdu/user_data.h"

#include "pdu/hex.h"
#include "pdu/text_utils.h"
#include "pdu/tpdu_constants.h"

#include <algorithm>

namespace pelorin::pdu {

using namespace tpdu;

namespace {

// Octet i (from 0) of a hex text, each digit read as HexPairValue reads it; 0 past its end.
int OctetAt(std::string_view hex, std::size_t i) {
    const std::size_t at = 2 * i;
    if (at + 1 < hex.size())
        return 16 * std::max(HexNibble(hex[at]), 0) + std::max(HexNibble(hex[at + 1]), 0);
    return HexPairValue(SubText(hex, at + 1, 2));
}

std::size_t At(std::string_view hex, std::size_t i) {
    return static_cast<std::size_t>(OctetAt(hex, i));
}

void ReadElement(UserDataHeader& header, int iei, std::size_t length, std::string_view hex,
                 std::size_t at) {
    const auto octet = [hex, at](std::size_t k) { return OctetAt(hex, at + k); };
    if (iei == kIeiConcat8 && length == 3) header.part = PartInfo{octet(0), octet(1), octet(2)};
    if (iei == kIeiConcat16 && length == 4)
        header.part = PartInfo{octet(0) * 256 + octet(1), octet(2), octet(3)};
    if (iei == kIeiPort16 && length == 4) header.port = octet(0) * 256 + octet(1);
    if (iei == kIeiPort8 && length == 2) header.port = octet(0);
}

UserDataHeader ReadIndicatedHeader(std::string_view hex) {
    UserDataHeader header;
    const std::size_t available = hex.size() / 2;
    if (available == 0) return header;
    header.octets = std::min(At(hex, 0) + 1, available);
    for (std::size_t at = 1; at + 2 <= header.octets;) {
        const std::size_t length = At(hex, at + 1);
        if (at + 2 + length > header.octets) break; // an element cut by the header's end
        ReadElement(header, OctetAt(hex, at), length, hex, at + 2);
        at += 2 + length;
    }
    return header;
}

// The concatenation layouts recognised by their first octets alone.
UserDataHeader ReadUnindicatedHeader(std::string_view hex) {
    UserDataHeader header;
    if (hex.starts_with(kConcat16HeaderStart)) {
        header.octets = 7;
        if (hex.size() >= 14) ReadElement(header, kIeiConcat16, 4, hex, 3);
    } else if (hex.size() > 5 && hex.starts_with(kConcat8HeaderStart)) {
        header.octets = 6;
        if (hex.size() >= 12) ReadElement(header, kIeiConcat8, 3, hex, 3);
    }
    return header;
}

} // namespace

Alphabet ReadAlphabet(int dcs) noexcept {
    if (dcs < kDcsGeneralGroupsEnd) { // general data coding, plain or marked for deletion
        if ((dcs & kDcsCompressed) != 0) return Alphabet::Data8;
        const int alphabet = (dcs >> kDcsAlphabetShift) & 0x03;
        if (alphabet == kDcsAlphabet8Bit) return Alphabet::Data8;
        if (alphabet == kDcsAlphabetUcs2) return Alphabet::Ucs2;
        return Alphabet::Gsm7; // the reserved value reads as the default alphabet
    }
    const int group = dcs & kDcsGroupMask;
    if (group == kDcsGroupWaitingUcs2) return Alphabet::Ucs2;
    if (group == kDcsGroupDataClass && (dcs & kDcsDataClass8Bit) != 0) return Alphabet::Data8;
    return Alphabet::Gsm7;
}

UserDataHeader ReadUserDataHeader(std::string_view userData, bool indicator) {
    return indicator ? ReadIndicatedHeader(userData) : ReadUnindicatedHeader(userData);
}

std::string BinaryMessageText(std::size_t octets, std::optional<int> port) {
    std::string text = "[binary message, " + std::to_string(octets) + " octets";
    if (port) text += ", port " + std::to_string(*port);
    return text + "]";
}

} // namespace pelorin::pdu

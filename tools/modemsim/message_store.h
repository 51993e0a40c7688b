#pragma once
// The simulated modem's message memories and the listings it answers with. Bodies are
// stored exactly as the test handed them over (PDU hex or a CDMA data line): the simulator
// never decodes a message, so a codec fault in the module cannot hide behind it.
// Never throws beyond std::bad_alloc.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace pelorin::modemsim {

// Storage status values of AT+CMGL in PDU mode (3GPP TS 27.005 3.1).
inline constexpr int kStatRecUnread = 0;
inline constexpr int kStatRecRead = 1;
inline constexpr int kStatStoUnsent = 2;
inline constexpr int kStatStoSent = 3;
inline constexpr int kStatAll = 4;

struct StoredMessage {
    int index = 0;
    int stat = kStatRecUnread; // PDU stat 0-3, or the CDMA list number 0/1
    std::string body;          // PDU hex, or the CDMA data line
};

// One memory with numbered slots from 1; a new message takes the lowest free slot, as
// SIM and phone memories hand them out.
class MessageStorage {
public:
    explicit MessageStorage(int capacity) : capacity_(capacity) {}

    std::optional<int> add(int stat, std::string body); // nullopt when full
    bool remove(int index);
    void clear() { messages_.clear(); }

    int used() const { return static_cast<int>(messages_.size()); }
    int capacity() const { return capacity_; }
    const std::map<int, StoredMessage>& messages() const { return messages_; }

    // PDU-mode listing of every message whose stat matches (kStatAll: all), answer
    // included. Listed unread messages become read, as on a real modem.
    std::string pduListing(int stat);

    // CDMA text listing of list 0 or 1, answer included; listed unread messages move to
    // list 1.
    std::string cdmaListing(int list);

private:
    int capacity_ = 0;
    std::map<int, StoredMessage> messages_;
};

// TPDU length in octets as "+CMGL:" reports it: the PDU without its service-centre field.
// Best effort for malformed PDUs (tests store those on purpose).
int tpduLength(std::string_view pduHex);
// Octets of user data an SMS-SUBMIT carries, from its UDL and coding (7-bit: UDL septets);
// -1 when the fields cannot be read.
int submitUserDataOctets(std::string_view pduHex);

// The CDMA data line: sender length (2 hex digits), sender, 12 time-stamp characters, two
// unread characters "00", text length (4 hex digits), text.
std::string cdmaDataLine(std::string_view sender, std::string_view stamp, std::string_view text);

} // namespace pelorin::modemsim

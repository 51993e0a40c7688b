#include "modemsim/message_store.h"

#include <cctype>
#include <cstdio>

namespace pelorin::modemsim {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const int u = std::toupper(static_cast<unsigned char>(c));
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return -1;
}

// TS 23.038 4: whether a data coding scheme counts its user data length in septets. 8-bit
// data and UCS2 count octets; reserved codings are read as the default alphabet.
bool userDataIsSeptets(int dcs) {
    if ((dcs & 0x80) == 0) { // general data coding, with or without automatic deletion
        if ((dcs & 0x20) != 0) return false; // compressed: the length is in octets
        const int alphabet = (dcs >> 2) & 3;
        return alphabet != 1 && alphabet != 2;
    }
    const int group = dcs >> 4;
    if (group == 0xE) return false;             // message waiting, UCS2
    if (group == 0xF) return (dcs & 0x04) == 0; // data coding / message class
    return true;                                // message waiting in 7 bits, reserved groups
}

std::string hexNumber(std::size_t value, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*zX", width, value);
    return buf;
}

} // namespace

std::optional<int> MessageStorage::add(int stat, std::string body) {
    if (used() >= capacity_) return std::nullopt;
    int index = 1;
    while (messages_.count(index) != 0) ++index;
    messages_[index] = StoredMessage{index, stat, std::move(body)};
    return index;
}

bool MessageStorage::remove(int index) { return messages_.erase(index) != 0; }

std::string MessageStorage::pduListing(int stat) {
    // Real modems put one blank line before the first entry and one before the final OK.
    std::string out = "\r\n";
    for (auto& [index, msg] : messages_) {
        if (stat != kStatAll && msg.stat != stat) continue;
        out += "+CMGL: " + std::to_string(index) + "," + std::to_string(msg.stat) + ",," +
               std::to_string(tpduLength(msg.body)) + "\r\n" + msg.body + "\r\n";
        if (msg.stat == kStatRecUnread) msg.stat = kStatRecRead;
    }
    return out == "\r\n" ? std::string("\r\nOK\r\n") : out + "\r\nOK\r\n";
}

std::string MessageStorage::cdmaListing(int list) {
    std::string out = "\r\n";
    for (auto& [index, msg] : messages_) {
        if (msg.stat != list) continue;
        out += "+CMGL: " + std::to_string(index) + "," + std::to_string(list) + "\r\n" +
               msg.body + "\r\n";
        if (msg.stat == 0) msg.stat = 1;
    }
    return out == "\r\n" ? std::string("\r\nOK\r\n") : out + "\r\nOK\r\n";
}

int tpduLength(std::string_view pduHex) {
    int smscOctets = 0;
    if (pduHex.size() >= 2 && hexDigit(pduHex[0]) >= 0 && hexDigit(pduHex[1]) >= 0)
        smscOctets = hexDigit(pduHex[0]) * 16 + hexDigit(pduHex[1]);
    const int length = static_cast<int>(pduHex.size() / 2) - 1 - smscOctets;
    return length < 0 ? 0 : length;
}

int submitUserDataOctets(std::string_view pduHex) {
    const auto octet = [pduHex](std::size_t i) -> int {
        if (2 * i + 1 >= pduHex.size()) return -1;
        const int high = hexDigit(pduHex[2 * i]);
        const int low = hexDigit(pduHex[2 * i + 1]);
        return high < 0 || low < 0 ? -1 : high * 16 + low;
    };
    const int sca = octet(0);
    if (sca < 0) return -1;
    std::size_t at = 1 + static_cast<std::size_t>(sca);
    const int first = octet(at);
    const int digits = octet(at + 2);
    if (first < 0 || digits < 0) return -1;
    at += 4 + static_cast<std::size_t>(digits + 1) / 2; // first octet, MR, length, type, digits
    const int dcs = octet(at + 1);
    at += 2;                                            // PID, DCS
    const int vpf = (first >> 3) & 3;                   // none, enhanced, relative, absolute
    at += vpf == 2 ? 1 : vpf == 0 ? 0 : 7;
    const int udl = octet(at);
    if (dcs < 0 || udl < 0) return -1;
    return userDataIsSeptets(dcs) ? (udl * 7 + 7) / 8 : udl;
}

std::string cdmaDataLine(std::string_view sender, std::string_view stamp, std::string_view text) {
    return hexNumber(sender.size(), 2) + std::string(sender) + std::string(stamp) + "00" +
           hexNumber(text.size(), 4) + std::string(text);
}

} // namespace pelorin::modemsim

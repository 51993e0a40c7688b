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

std::string cdmaDataLine(std::string_view sender, std::string_view stamp, std::string_view text) {
    return hexNumber(sender.size(), 2) + std::string(sender) + std::string(stamp) + "00" +
           hexNumber(text.size(), 4) + std::string(text);
}

} // namespace pelorin::modemsim

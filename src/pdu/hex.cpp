#include "pdu/hex.h"

#include "pdu/text_utils.h"

#include <algorithm>

namespace pelorin::pdu {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Minimal upper-case hex of the value's 64-bit pattern ("0" for zero).
std::string MinimalHex(long long value) {
    auto bits = static_cast<unsigned long long>(value);
    std::string out;
    do {
        out.insert(out.begin(), kHexDigits[bits & 0xF]);
        bits >>= 4;
    } while (bits != 0);
    return out;
}

std::string PadLeft(std::string text, int width, char fill) {
    if (width > 0 && text.size() < static_cast<std::size_t>(width))
        text.insert(0, static_cast<std::size_t>(width) - text.size(), fill);
    return text;
}

} // namespace

std::string PadDecimal(long long value, int width) {
    if (value >= 0) return PadLeft(std::to_string(value), width, '0');
    std::string text = std::to_string(value); // sign first, then the padded digits
    return text.insert(1, static_cast<std::size_t>(std::max(0, width - int(text.size()) + 1)), '0');
}

std::string RepeatText(int count, std::string_view text) {
    std::string out;
    if (count <= 0) return out;
    out.reserve(static_cast<std::size_t>(count) * text.size());
    for (int i = 0; i < count; ++i)
        out += text;
    return out;
}

std::string SwapPair(std::string_view text) {
    if (text.empty()) return {};
    return {text.back(), text.front()};
}

std::string SwapSemiOctets(std::string_view digits) {
    std::string padded(TrimControls(digits));
    if (padded.size() % 2 != 0) padded += 'F';
    for (std::size_t i = 0; i + 1 < padded.size(); i += 2)
        std::swap(padded[i], padded[i + 1]);
    return padded;
}

std::string HexByte(long long value) {
    const HexPair& pair = kHexPairs[static_cast<std::size_t>(value & 0xFF)];
    return {pair.high, pair.low};
}

void AppendHexByte(std::string& out, unsigned value) {
    const HexPair& pair = kHexPairs[value & 0xFF];
    const char both[] = {pair.high, pair.low};
    out.append(both, 2);
}

std::string HexFixed(long long value, int digits) {
    if (digits <= 0) return {};
    std::string hex = MinimalHex(value);
    const auto width = static_cast<std::size_t>(digits);
    if (hex.size() > width) return hex.substr(hex.size() - width);
    return PadLeft(std::move(hex), digits, '0');
}

std::string IntToHex2(long long value) {
    return PadLeft(MinimalHex(value), 2, '0');
}

int HexDigitValue(std::string_view text) noexcept {
    return text.empty() ? 0 : std::max(HexNibble(text.front()), 0);
}

bool UpperHexToOctets(std::string_view hex, std::uint8_t* out) noexcept {
    const std::size_t octets = hex.size() / 2;
    const auto* digits = reinterpret_cast<const unsigned char*>(hex.data());
    // No early exit and no table: both loops leave the compiler free to work on many bytes.
    unsigned char other = 0;
    for (std::size_t i = 0; i < 2 * octets; ++i) {
        const unsigned char c = digits[i];
        const unsigned char digit = static_cast<unsigned char>(c - '0') < 10;
        const unsigned char letter = static_cast<unsigned char>(c - 'A') < 6;
        other |= static_cast<unsigned char>((digit | letter) ^ 1);
    }
    if (other != 0) return false;
    for (std::size_t i = 0; i < octets; ++i) {
        const unsigned char high = digits[2 * i];
        const unsigned char low = digits[2 * i + 1];
        // "0"-"9" are 0x30-0x39, "A"-"F" 0x41-0x46: the low four bits, plus 9 for a letter.
        out[i] = static_cast<std::uint8_t>(((high & 0xF) + 9 * (high >> 6)) << 4 |
                                           ((low & 0xF) + 9 * (low >> 6)));
    }
    return true;
}

std::int64_t HexToInt(std::string_view text) noexcept {
    std::uint64_t value = 0; // unsigned: more than 16 digits wrap instead of overflowing
    for (const char c : text) {
        const int nibble = HexNibble(c);
        if (nibble < 0) return 0;
        value = (value << 4) | static_cast<std::uint64_t>(nibble);
    }
    return static_cast<std::int64_t>(value);
}

std::string StripPrefix(std::string_view text, std::string_view prefix) {
    if (text.starts_with(prefix)) text.remove_prefix(prefix.size());
    return std::string(text);
}

} // namespace pelorin::pdu

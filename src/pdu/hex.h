// Hex, decimal and semi-octet text conversions of the PDU codec: pure functions on byte
// strings. Error contract: never throws; a character that is not an upper-case hex digit reads
// as 0 (HexToInt: the whole text reads as 0).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace pelorin::pdu {

// Decimal text of value, zero-padded on the left to at least width digits. (3, 2) -> "03".
// A negative value keeps its sign in front of the padded digits.
std::string PadDecimal(long long value, int width);

// text repeated count times; "" for a count of 0 or less.
std::string RepeatText(int count, std::string_view text);

// Last character followed by first: "1A" -> "A1", "7" -> "77", "" -> "".
std::string SwapPair(std::string_view text);

// Trimmed digits, "F"-filled to an even count, each pair swapped: "0812345" -> "802143F5".
// The characters are not validated.
std::string SwapSemiOctets(std::string_view digits);

// Two upper-case hex digits of the low 8 bits.
std::string HexByte(long long value);
// The same two digits appended to `out`, without a string of their own.
void AppendHexByte(std::string& out, unsigned value);

// Both digits of every octet, so that an octet is written with one look-up.
struct HexPair {
    char high;
    char low;
};
inline constexpr auto kHexPairs = [] {
    constexpr char digits[] = "0123456789ABCDEF";
    std::array<HexPair, 256> pairs{};
    for (std::size_t v = 0; v < pairs.size(); ++v)
        pairs[v] = {digits[v >> 4], digits[v & 0xF]};
    return pairs;
}();

// The same digits as one 16-bit value that a copy into memory writes in their order.
inline constexpr auto kHexPairWords = [] {
    std::array<std::uint16_t, 256> words{};
    for (std::size_t v = 0; v < words.size(); ++v) {
        const auto high = static_cast<std::uint16_t>(static_cast<unsigned char>(kHexPairs[v].high));
        const auto low = static_cast<std::uint16_t>(static_cast<unsigned char>(kHexPairs[v].low));
        words[v] = std::endian::native == std::endian::little
                       ? static_cast<std::uint16_t>(high | low << 8)
                       : static_cast<std::uint16_t>(high << 8 | low);
    }
    return words;
}();

// The two digits of the low 8 bits written at `out`; returns the position after them.
inline char* WriteHexByte(char* out, unsigned value) noexcept {
    std::memcpy(out, &kHexPairWords[value & 0xFF], 2);
    return out + 2;
}
// Exactly `digits` upper-case hex digits: zero-padded, or only the rightmost ones kept.
// Negative values are written as their 64-bit two's complement.
std::string HexFixed(long long value, int digits);
// Upper-case hex of at least two digits, never cut: 5 -> "05", 300 -> "12C".
std::string IntToHex2(long long value);

// Value 0-15 of an upper-case hex digit, -1 for any other character.
inline int HexNibble(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
// Value of the first character as a hex digit; 0 for a non-digit or an empty text.
int HexDigitValue(std::string_view text) noexcept;
// 16 * first + last character ("A" counts as "AA"); "" -> 0. A character other than
// "0"-"9"/"A"-"F" counts as 0, as in HexDigitValue, so malformed pairs stay in 0-255.
inline int HexPairValue(std::string_view text) noexcept {
    if (text.empty()) return 0;
    const int high = HexNibble(text.front());
    const int low = HexNibble(text.back());
    return 16 * (high < 0 ? 0 : high) + (low < 0 ? 0 : low);
}
// The octets of hex digit pairs written at `out` (size / 2 of them; a last single digit is not
// read) when every digit is "0"-"9" or "A"-"F"; false, with `out` undefined, when one is not.
// Written for the compiler to convert many digits at once.
bool UpperHexToOctets(std::string_view hex, std::uint8_t* out) noexcept;

// Value of an upper-case hex text in 64 bits (longer texts keep the low 64 bits). Any
// character outside "0"-"9"/"A"-"F", lower case included, makes the whole result 0.
std::int64_t HexToInt(std::string_view text) noexcept;

// text without one leading prefix, or unchanged when it does not begin with it.
std::string StripPrefix(std::string_view text, std::string_view prefix);

} // namespace pelorin::pdu

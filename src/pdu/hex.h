// Hex, decimal and semi-octet text conversions of the PDU codec: pure functions on byte
// strings. Error contract: never throws; a character that is not an upper-case hex digit reads
// as 0 (HexToInt: the whole text reads as 0).
#pragma once

#include <cstdint>
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
// Exactly `digits` upper-case hex digits: zero-padded, or only the rightmost ones kept.
// Negative values are written as their 64-bit two's complement.
std::string HexFixed(long long value, int digits);
// Upper-case hex of at least two digits, never cut: 5 -> "05", 300 -> "12C".
std::string IntToHex2(long long value);

// Value 0-15 of an upper-case hex digit, -1 for any other character.
int HexNibble(char c) noexcept;
// Value of the first character as a hex digit; 0 for a non-digit or an empty text.
int HexDigitValue(std::string_view text) noexcept;
// 16 * first + last character ("A" counts as "AA"); "" -> 0. A character other than
// "0"-"9"/"A"-"F" counts as 0, as in HexDigitValue, so malformed pairs stay in 0-255.
int HexPairValue(std::string_view text) noexcept;
// Value of an upper-case hex text in 64 bits (longer texts keep the low 64 bits). Any
// character outside "0"-"9"/"A"-"F", lower case included, makes the whole result 0.
std::int64_t HexToInt(std::string_view text) noexcept;

// text without one leading prefix, or unchanged when it does not begin with it.
std::string StripPrefix(std::string_view text, std::string_view prefix);

} // namespace pelorin::pdu

// Text inside the gateway is UTF-8. These are the conversions at its edges: UTF-16 for UCS2
// user data, Windows-1252 for the GSM alphabet table, the CDMA phone and web-service URLs.
// Error contract: never throws; bytes that are not UTF-8 read as U+FFFD.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pelorin::pdu {

// UTF-16 code units of a UTF-8 text; characters beyond U+FFFF become surrogate pairs.
std::u16string Utf8ToUtf16(std::string_view text);

// UTF-8 of UTF-16 code units. A surrogate without its partner (a long message's part may end
// or begin with half a pair) is kept as its own 3-byte sequence, so that JoinSurrogates can
// make the pair whole once the parts are joined.
std::string Utf16ToUtf8(std::u16string_view units);

// Joins the 3-byte sequences of a high and a low surrogate into one character and replaces a
// surrogate still alone with U+FFFD; the text is then proper UTF-8.
std::string JoinSurrogates(std::string text);

// True when every byte is below 0x80: such a text reads the same in UTF-8 and Windows-1252.
bool IsAscii(std::string_view text) noexcept;

// The Windows-1252 bytes of a UTF-8 text when the code page has every one of its characters.
std::optional<std::string> Utf8ToCp1252(std::string_view text);
// The same, with "?" for every character the code page lacks.
std::string Utf8ToCp1252Lossy(std::string_view text);
// A text from outside (a socket, a file): as it is when it is UTF-8, else read as
// Windows-1252, the encoding such texts had before.
std::string Utf8OrCp1252(std::string_view bytes);

// UTF-8 of Windows-1252 bytes (the five bytes the code page leaves unassigned read as
// U+0081, U+008D, ... as Latin-1 does).
std::string Cp1252ToUtf8(std::string_view bytes);
// The Windows-1252 byte of one code point, or -1.
int Cp1252Byte(char32_t codePoint) noexcept;

// Characters (code points) of a UTF-8 text, and its first `count` characters (never half of
// one).
std::size_t CharacterCount(std::string_view text);
std::string_view FirstCharacters(std::string_view text, std::size_t count);

// Writes the UTF-8 bytes of a code point at `out` (room for four is needed); returns the
// position after them.
inline char* WriteUtf8(char* out, char32_t c) noexcept {
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// Reads the code point at `at` and advances `at` past it; malformed bytes read as U+FFFD.
// Surrogates encoded on their own (see Utf16ToUtf8) read as themselves.
char32_t NextCodePoint(std::string_view text, std::size_t& at);

} // namespace pelorin::pdu

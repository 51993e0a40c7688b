#include "pdu/unicode.h"

#include <cstdint>
#include <cstring>

namespace pelorin::pdu {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

void AppendUtf8(std::string& out, char32_t c) {
    char bytes[4];
    out.append(bytes, static_cast<std::size_t>(WriteUtf8(bytes, c) - bytes));
}

// Windows-1252 bytes 0x80-0x9F of the characters outside Latin-1 that the code page holds.
struct Cp1252Extra {
    char32_t codePoint;
    unsigned char byte;
};
// clang-format off
constexpr Cp1252Extra kCp1252Extras[] = {
    {0x20AC, 0x80}, {0x201A, 0x82}, {0x0192, 0x83}, {0x201E, 0x84}, {0x2026, 0x85},
    {0x2020, 0x86}, {0x2021, 0x87}, {0x02C6, 0x88}, {0x2030, 0x89}, {0x0160, 0x8A},
    {0x2039, 0x8B}, {0x0152, 0x8C}, {0x017D, 0x8E}, {0x2018, 0x91}, {0x2019, 0x92},
    {0x201C, 0x93}, {0x201D, 0x94}, {0x2022, 0x95}, {0x2013, 0x96}, {0x2014, 0x97},
    {0x02DC, 0x98}, {0x2122, 0x99}, {0x0161, 0x9A}, {0x203A, 0x9B}, {0x0153, 0x9C},
    {0x017E, 0x9E}, {0x0178, 0x9F},
};
// clang-format on

// Bytes below 0x80 from `at` on.
std::size_t AsciiRun(std::string_view text, std::size_t at) {
    std::size_t end = at;
    while (end < text.size() && static_cast<unsigned char>(text[end]) < 0x80)
        ++end;
    return end - at;
}

char32_t Cp1252CodePoint(unsigned char byte) {
    for (const Cp1252Extra& extra : kCp1252Extras) {
        if (extra.byte == byte) return extra.codePoint;
    }
    return byte; // Latin-1, and the five unassigned bytes as their C1 controls
}

} // namespace

char32_t NextCodePoint(std::string_view text, std::size_t& at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(at);
    if (first < 0x80) {
        ++at;
        return first;
    }
    std::size_t length = 0;
    char32_t c = 0;
    if ((first & 0xE0) == 0xC0) {
        length = 2;
        c = first & 0x1F;
    } else if ((first & 0xF0) == 0xE0) {
        length = 3;
        c = first & 0x0F;
    } else if ((first & 0xF8) == 0xF0) {
        length = 4;
        c = first & 0x07;
    } else {
        ++at;
        return kReplacement;
    }
    if (at + length > text.size()) {
        ++at;
        return kReplacement;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            ++at;
            return kReplacement;
        }
        c = (c << 6) | (byte(at + i) & 0x3F);
    }
    // Overlong forms and values beyond Unicode are not characters.
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kSmallest[length] || c > 0x10FFFF) {
        ++at;
        return kReplacement;
    }
    at += length;
    return c;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string units(text.size(), u'\0'); // never more units than bytes
    char16_t* out = units.data();
    const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const auto follows = [&byte](std::size_t i) { return (byte(i) & 0xC0) == 0x80; };
    for (std::size_t at = 0; at < text.size();) {
        const unsigned char first = byte(at);
        if (first < 0x80) {
            *out++ = static_cast<char16_t>(first);
            ++at;
            continue;
        }
        // Well-formed two- and three-byte characters read here; everything else as
        // NextCodePoint reads it.
        if (first >= 0xC2 && first < 0xE0 && at + 1 < text.size() && follows(at + 1)) {
            *out++ = static_cast<char16_t>((first & 0x1F) << 6 | (byte(at + 1) & 0x3F));
            at += 2;
            continue;
        }
        if ((first & 0xF0) == 0xE0 && at + 2 < text.size() && follows(at + 1) && follows(at + 2)) {
            const auto unit = static_cast<char16_t>(
                (first & 0x0F) << 12 | (byte(at + 1) & 0x3F) << 6 | (byte(at + 2) & 0x3F));
            if (unit >= 0x800) {
                *out++ = unit;
                at += 3;
                continue;
            }
        }
        char32_t c = NextCodePoint(text, at);
        if (c >= 0x10000) {
            c -= 0x10000;
            *out++ = static_cast<char16_t>(0xD800 + (c >> 10));
            *out++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            *out++ = static_cast<char16_t>(c);
        }
    }
    units.resize(static_cast<std::size_t>(out - units.data()));
    return units;
}

std::string Utf16ToUtf8(std::u16string_view units) {
    std::string out;
    out.reserve(units.size() * 3);
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char32_t c = units[i];
        if (IsHighSurrogate(c) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
            AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            AppendUtf8(out, c); // a lone surrogate stays, for JoinSurrogates
        }
    }
    return out;
}

std::string JoinSurrogates(std::string text) {
    // Encoded surrogates start with 0xED 0xA0-0xBF; most texts have none.
    if (text.find('\xED') == std::string::npos) return text;
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const char32_t c = NextCodePoint(text, at);
        if (IsHighSurrogate(c)) {
            std::size_t next = at;
            const char32_t low = at < text.size() ? NextCodePoint(text, next) : 0;
            if (IsLowSurrogate(low)) {
                AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                at = next;
                continue;
            }
            AppendUtf8(out, kReplacement);
        } else if (IsLowSurrogate(c)) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

bool IsAscii(std::string_view text) noexcept {
    // Eight bytes at a time: the high bit of any of them shows in the mask.
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    std::size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + at, 8);
        if ((word & kHighBits) != 0) return false;
    }
    for (; at < text.size(); ++at)
        if (static_cast<unsigned char>(text[at]) >= 0x80) return false;
    return true;
}

int Cp1252Byte(char32_t c) noexcept {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
    for (const Cp1252Extra& extra : kCp1252Extras) {
        if (extra.codePoint == c) return extra.byte;
    }
    // The five bytes the code page leaves unassigned round-trip as their C1 controls.
    if (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) return static_cast<int>(c);
    return -1;
}

std::optional<std::string> Utf8ToCp1252(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t ascii = AsciiRun(text, at); // the same bytes in both
        const std::size_t start = at;
        at += ascii;
        if (at == text.size()) {
            out.append(text.substr(start, ascii));
            break;
        }
        // Room is taken only once a character beyond ASCII is known to fit: most texts that
        // get here do not, and then nothing was allocated.
        const int byte = Cp1252Byte(NextCodePoint(text, at));
        if (byte < 0) return std::nullopt;
        if (out.empty()) out.reserve(text.size());
        out.append(text.substr(start, ascii));
        out += static_cast<char>(byte);
    }
    return out;
}

std::string Utf8ToCp1252Lossy(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const int byte = Cp1252Byte(NextCodePoint(text, at));
        out += byte < 0 ? '?' : static_cast<char>(byte);
    }
    return out;
}

std::string Cp1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char b : bytes) AppendUtf8(out, Cp1252CodePoint(static_cast<unsigned char>(b)));
    return out;
}

std::string Utf8OrCp1252(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t start = at;
        if (NextCodePoint(bytes, at) == kReplacement &&
            bytes.substr(start, at - start) != "\xEF\xBF\xBD") {
            return Cp1252ToUtf8(bytes);
        }
    }
    return std::string(bytes);
}

std::size_t CharacterCount(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size(); ++count) NextCodePoint(text, at);
    return count;
}

std::string_view FirstCharacters(std::string_view text, std::size_t count) {
    std::size_t at = 0;
    for (std::size_t n = 0; n < count && at < text.size(); ++n) NextCodePoint(text, at);
    return text.substr(0, at);
}

} // namespace pelorin::pdu

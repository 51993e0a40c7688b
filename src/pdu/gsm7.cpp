#include "pdu/gsm7.h"

#include "pdu/hex.h"
#include "pdu/tpdu_constants.h"
#include "pdu/unicode.h"

#include <algorithm>
#include <array>

namespace pelorin::pdu {

namespace {

using tpdu::kGsmEscape;
using tpdu::kSeptetMask;

using Table = std::array<unsigned char, 128>;

struct Row {
    int code;
    unsigned char byte;
};

struct CodePointRow {
    int code;
    char32_t codePoint;
};

// Positions whose encode character differs from the code's own value. The Greek letters
// and the escape have no Windows-1252 character and all show the bullet 0x95. Positions 6
// and 31 hold the standard's "ù" and "É" (a table that put "ú" and "Ê" there showed the
// recipient another letter).
// clang-format off
constexpr Row kEncodeRows[] = {
    {0, 0x40},  {1, 0xA3},  {2, 0x24},  {3, 0xA5},  {4, 0xE8},  {5, 0xE9},  {6, 0xF9},
    {7, 0xEC},  {8, 0xF2},  {9, 0xC7},  {11, 0xD8}, {12, 0xF8}, {14, 0xC5}, {15, 0xE5},
    {16, 0x95}, {17, 0x5F}, {18, 0x95}, {19, 0x95}, {20, 0x95}, {21, 0x95}, {22, 0x95},
    {23, 0x95}, {24, 0x95}, {25, 0x95}, {26, 0x95}, {27, 0x95}, {28, 0xC6}, {29, 0xE6},
    {30, 0xDF}, {31, 0xC9}, {36, 0xA4}, {64, 0xA1}, {91, 0xC4}, {92, 0xD6}, {93, 0xD1},
    {94, 0xDC}, {95, 0xA7}, {96, 0xBF}, {123, 0xE4}, {124, 0xF6}, {125, 0xF1}, {126, 0xFC},
    {127, 0xE0},
};
// clang-format on

// The decode direction is its own table: received line breaks become blanks, and several
// letters decode to a plainer neighbour. 27 (escape) is handled by GsmToChar; its row here is
// the blank shown for an escape that has no usable follower. Values are Unicode code points;
// the Greek capitals of 16 and 18-26 are the letters themselves.
// clang-format off
constexpr CodePointRow kDecodeRows[] = {
    {0, 0x40},    {1, 0xA3},    {2, 0x24},    {3, 0xA5},    {4, 0xE8},    {5, 0xE9},
    {6, 0xF9},    {7, 0xEC},    {8, 0xF2},    {9, 0xE7},    {10, 0x20},   {11, 0xD8},
    {12, 0xF8},   {13, 0x20},   {14, 0xC5},   {15, 0xE5},   {16, 0x394},  {17, 0x5F},
    {18, 0x3A6},  {19, 0x393},  {20, 0x39B},  {21, 0x3A9},  {22, 0x3A0},  {23, 0x3A8},
    {24, 0x3A3},  {25, 0x398},  {26, 0x39E},  {27, 0x20},   {28, 0xD0},   {29, 0xD0},
    {30, 0xDF},   {31, 0xC9},   {36, 0xA4},   {64, 0x5F},   {91, 0xC4},   {92, 0xD6},
    {93, 0x4E},   {94, 0xDC},   {95, 0xA7},   {96, 0xA8},   {123, 0xE4},  {124, 0xF6},
    {125, 0x6E},  {126, 0xFC},  {127, 0x61},
};
// clang-format on

struct Extension {
    unsigned char character; // Windows-1252 byte that encodes to the pair
    unsigned char code;
    char32_t decodesTo;
};

// TS 23.038 6.2.1.1 extension table, as far as Windows-1252 carries it.
// clang-format off
constexpr Extension kExtensions[] = {
    {'^', 20, U'^'},  {'{', 40, U'{'},  {'}', 41, U'}'}, {'\\', 47, U'\\'}, {'[', 60, U'['},
    {'~', 61, U'~'},  {']', 62, U']'},  {'|', 64, U'|'}, {0x80, 101, U'\u20AC'},
};
// clang-format on

constexpr Table BuildTable(const Row* rows, std::size_t count) {
    Table table{};
    for (std::size_t code = 0; code < table.size(); ++code)
        table[code] = static_cast<unsigned char>(code);
    for (std::size_t i = 0; i < count; ++i)
        table[static_cast<std::size_t>(rows[i].code)] = rows[i].byte;
    return table;
}

// Septet -> its character as UTF-8, so decoding copies bytes only. Every character of the
// decode table is below U+0800: two bytes at most.
struct Utf8Char {
    char bytes[2] = {};
    std::uint8_t length = 0;
};

constexpr Utf8Char ToUtf8(char32_t c) {
    Utf8Char out;
    if (c < 0x80) {
        out.bytes[0] = static_cast<char>(c);
        out.length = 1;
    } else {
        out.bytes[0] = static_cast<char>(0xC0 | (c >> 6));
        out.bytes[1] = static_cast<char>(0x80 | (c & 0x3F));
        out.length = 2;
    }
    return out;
}

constexpr std::array<char32_t, 128> BuildDecode() {
    std::array<char32_t, 128> table{};
    for (std::size_t code = 0; code < table.size(); ++code)
        table[code] = static_cast<char32_t>(code);
    for (const CodePointRow& row : kDecodeRows)
        table[static_cast<std::size_t>(row.code)] = row.codePoint;
    return table;
}

constexpr auto kDecode = BuildDecode();
static_assert(std::all_of(kDecode.begin(), kDecode.end(), [](char32_t c) { return c < 0x800; }));

constexpr std::array<Utf8Char, 128> BuildDecodeUtf8() {
    std::array<Utf8Char, 128> table{};
    for (std::size_t code = 0; code < table.size(); ++code)
        table[code] = ToUtf8(kDecode[code]);
    return table;
}

constexpr auto kDecodeUtf8 = BuildDecodeUtf8();

// Byte -> extension code, 0 when the byte is not an extension character.
constexpr std::array<unsigned char, 256> BuildExtensionCodes() {
    std::array<unsigned char, 256> codes{};
    for (const Extension& e : kExtensions)
        codes[e.character] = e.code;
    return codes;
}

constexpr auto kExtensionCodes = BuildExtensionCodes();

constexpr Table kEncode = BuildTable(kEncodeRows, std::size(kEncodeRows));

// Byte -> first GsmAlphabet position holding it, -1 when none does. Taking the first position
// keeps duplicates (the bullet in eleven rows) on their lowest code, 16.
constexpr std::array<int, 256> BuildFirstPositions() {
    std::array<int, 256> first{};
    first.fill(-1);
    for (int p = 127; p >= 0; --p)
        first[kEncode[static_cast<std::size_t>(p)]] = p;
    return first;
}

constexpr auto kFirstPosition = BuildFirstPositions();

constexpr unsigned char kBullet = 0x95;

// Byte -> whether the alphabet carries it as itself (see GsmCarries).
constexpr std::array<bool, 256> BuildCarried() {
    std::array<bool, 256> carried{};
    for (std::size_t byte = 0; byte < carried.size(); ++byte) {
        // The bullet only stands in for the Greek letters; the escape is no character.
        carried[byte] = kExtensionCodes[byte] != 0 ||
                        (byte != kBullet && byte != kGsmEscape && kFirstPosition[byte] >= 0);
    }
    return carried;
}

constexpr auto kCarried = BuildCarried();

constexpr char kHexDigits[] = "0123456789ABCDEF";

// UnpackSeptets reads a non-hex digit as 0, as HexDigitValue does.
constexpr std::array<std::uint8_t, 256> BuildNibbles() {
    std::array<std::uint8_t, 256> nibbles{};
    for (int d = 0; d < 16; ++d)
        nibbles[static_cast<unsigned char>(kHexDigits[d])] = static_cast<std::uint8_t>(d);
    return nibbles;
}

constexpr auto kNibbleOrZero = BuildNibbles();

} // namespace

const std::string& GsmAlphabet() {
    // A function-local static is initialised exactly once, even with concurrent first calls.
    static const std::string alphabet(kEncode.begin(), kEncode.end());
    return alphabet;
}

bool GsmCarries(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return kCarried[static_cast<unsigned char>(c)]; });
}

std::size_t SeptetRoom(char c) noexcept {
    return kExtensionCodes[static_cast<unsigned char>(c)] != 0 ? 2 : 1;
}

std::string TextToGsm(std::string_view text) {
    std::string codes(2 * text.size(), '\0'); // at most two codes per character
    codes.resize(static_cast<std::size_t>(WriteGsmCodes(codes.data(), text).end - codes.data()));
    return codes;
}

namespace {

// Byte -> its code when it is a carried character of one septet (not an extension
// character, not the escape, not the bullet that stands in for Greek letters), else -1.
constexpr std::array<std::int8_t, 256> BuildPlainCodes() {
    std::array<std::int8_t, 256> codes{};
    for (std::size_t byte = 0; byte < codes.size(); ++byte) {
        const bool plain = kCarried[byte] && kExtensionCodes[byte] == 0;
        codes[byte] = static_cast<std::int8_t>(plain ? kFirstPosition[byte] : -1);
    }
    return codes;
}

constexpr auto kPlainCodes = BuildPlainCodes();

} // namespace

WrittenCodes WriteGsmCodes(char* codes, std::string_view text) noexcept {
    bool carried = true;
    int previous = -1;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (const int plain = kPlainCodes[byte]; plain >= 0 && previous != kGsmEscape) {
            *codes++ = static_cast<char>(plain); // the common case
            previous = byte;
            continue;
        }
        carried = carried && kCarried[byte];
        if (const unsigned char ext = kExtensionCodes[byte]; ext != 0) {
            *codes++ = static_cast<char>(kGsmEscape);
            *codes++ = static_cast<char>(ext);
            previous = ext;
            continue;
        }
        if (byte == kGsmEscape || previous == kGsmEscape)
            *codes++ = c; // an escape and its follower pass unchanged
        else if (kFirstPosition[byte] >= 0)
            *codes++ = static_cast<char>(kFirstPosition[byte]);
        previous = byte;
    }
    return {codes, carried};
}

char* WritePackedSeptets(char* hex, const char* codes, std::size_t count) noexcept {
    const auto code = [codes](std::size_t i) {
        return static_cast<std::uint64_t>(static_cast<unsigned char>(codes[i]) & kSeptetMask);
    };
    // Eight septets fill seven octets exactly: they go out seven octets at a time.
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        // Only 7 bits of a code are packed: a wider value must not spill into its neighbour.
        std::uint64_t block = 0;
        for (std::size_t k = 0; k < 8; ++k)
            block |= code(i + k) << (7 * k);
        for (std::size_t k = 0; k < 7; ++k)
            hex = WriteHexByte(hex, static_cast<unsigned>(block >> (8 * k)));
    }
    std::uint64_t block = 0;
    for (std::size_t k = 0; i + k < count; ++k)
        block |= code(i + k) << (7 * k);
    for (std::size_t k = 0; k < (7 * (count - i) + 7) / 8; ++k)
        hex = WriteHexByte(hex, static_cast<unsigned>(block >> (8 * k)));
    return hex;
}

std::string PackSeptets(std::string_view codes) {
    std::string hex((codes.size() * 7 + 7) / 8 * 2, '0');
    WritePackedSeptets(hex.data(), codes.data(), codes.size());
    return hex;
}

std::size_t SeptetRoom(std::string_view text) noexcept {
    std::size_t room = text.size();
    for (const char c : text) {
        if (kExtensionCodes[static_cast<unsigned char>(c)] != 0) ++room; // rare: a branch is cheap
    }
    return room;
}

std::size_t SeptetFit(std::string_view text, std::size_t limit) noexcept {
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        used += SeptetRoom(text[i]);
        if (used > limit) return i;
    }
    return text.size();
}

namespace {

// The UTF-8 text of septets written at `out` (room for two bytes a septet and one more);
// returns the end. An escape and its follower make one character.
char* WriteText(char* out, const std::uint8_t* septets, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned code = septets[i] & kSeptetMask;
        if (code != kGsmEscape) {
            const Utf8Char& u = kDecodeUtf8[code]; // one or two bytes: both written, one kept
            out[0] = u.bytes[0];
            out[1] = u.bytes[1];
            out += u.length;
        } else {
            out = WriteUtf8(
                out, GsmToChar(kGsmEscape, i + 1 < count ? septets[++i] : kNoFollowingSeptet));
        }
    }
    return out;
}

// Septets 0 to count - 1 of packed hex written at `septets`: a digit that is not upper-case hex
// reads as 0, digits past the text as "0".
void WriteUnpacked(std::uint8_t* septets, std::string_view hex, std::size_t count) {
    const auto digit = [hex](std::size_t at) -> std::uint64_t {
        return at < hex.size() ? kNibbleOrZero[static_cast<unsigned char>(hex[at])] : 0;
    };
    std::size_t j = 0;
    std::size_t at = 0; // hex digit
    // Seven octets hold exactly eight septets: whole blocks first, then the rest.
    for (; j + 8 <= count; j += 8, at += 14) {
        std::uint64_t block = 0;
        if (at + 14 <= hex.size()) {
            for (std::size_t k = 0; k < 7; ++k)
                block |= static_cast<std::uint64_t>(
                             kNibbleOrZero[static_cast<unsigned char>(hex[at + 2 * k])] << 4 |
                             kNibbleOrZero[static_cast<unsigned char>(hex[at + 2 * k + 1])])
                         << (8 * k);
        } else {
            for (std::size_t k = 0; k < 7; ++k)
                block |= (digit(at + 2 * k) << 4 | digit(at + 2 * k + 1)) << (8 * k);
        }
        for (std::size_t k = 0; k < 8; ++k)
            septets[j + k] = static_cast<std::uint8_t>((block >> (7 * k)) & kSeptetMask);
    }
    std::uint64_t block = 0;
    for (std::size_t k = 0; k < 7 && j < count; ++k)
        block |= (digit(at + 2 * k) << 4 | digit(at + 2 * k + 1)) << (8 * k);
    for (std::size_t k = 0; j + k < count; ++k)
        septets[j + k] = static_cast<std::uint8_t>((block >> (7 * k)) & kSeptetMask);
}

} // namespace

std::vector<std::uint8_t> UnpackSeptets(std::string_view hex) {
    // m octets hold at least m septets; the stream's top m bits are not read.
    std::vector<std::uint8_t> septets(hex.size() / 2);
    WriteUnpacked(septets.data(), hex, septets.size());
    return septets;
}

std::string DecodeSeptets(std::span<const std::uint8_t> septets) {
    std::string text(2 * septets.size() + 1, '\0');
    text.resize(static_cast<std::size_t>(WriteText(text.data(), septets.data(), septets.size()) -
                                         text.data()));
    return text;
}

std::string DecodePackedSeptets(std::string_view hex, std::size_t first, std::size_t count) {
    // The septets go to the stack when they fit: a user data length is at most 255.
    constexpr std::size_t kOnStack = 256;
    std::array<std::uint8_t, kOnStack> onStack;
    std::vector<std::uint8_t> onHeap;
    std::uint8_t* septets = onStack.data();
    if (count > kOnStack) {
        onHeap.resize(count);
        septets = onHeap.data();
    }
    WriteUnpacked(septets, hex, count);
    first = std::min(first, count);
    std::string text(2 * (count - first) + 1, '\0');
    text.resize(static_cast<std::size_t>(WriteText(text.data(), septets + first, count - first) -
                                         text.data()));
    return text;
}

char32_t GsmToChar(int code, int following) noexcept {
    if ((code & kSeptetMask) != kGsmEscape)
        return kDecode[static_cast<std::size_t>(code & kSeptetMask)];
    if (following < 0) return U' ';
    const int next = following & kSeptetMask;
    for (const Extension& e : kExtensions) {
        if (e.code == next) return e.decodesTo;
    }
    return kDecode[static_cast<std::size_t>(next)];
}

} // namespace pelorin::pdu

#include "pdu/gsm7.h"

#include "pdu/tpdu_constants.h"

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

// Septet -> its character as UTF-8 (one to three bytes), so decoding appends bytes only.
struct Utf8Char {
    char bytes[3] = {};
    std::uint8_t length = 0;
};

constexpr Utf8Char ToUtf8(char32_t c) {
    Utf8Char out;
    if (c < 0x80) {
        out.bytes[0] = static_cast<char>(c);
        out.length = 1;
    } else if (c < 0x800) {
        out.bytes[0] = static_cast<char>(0xC0 | (c >> 6));
        out.bytes[1] = static_cast<char>(0x80 | (c & 0x3F));
        out.length = 2;
    } else {
        out.bytes[0] = static_cast<char>(0xE0 | (c >> 12));
        out.bytes[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out.bytes[2] = static_cast<char>(0x80 | (c & 0x3F));
        out.length = 3;
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

constexpr std::array<Utf8Char, 128> BuildDecodeUtf8() {
    std::array<Utf8Char, 128> table{};
    for (std::size_t code = 0; code < table.size(); ++code)
        table[code] = ToUtf8(kDecode[code]);
    return table;
}

constexpr auto kDecodeUtf8 = BuildDecodeUtf8();

void Append(std::string& text, char32_t c) {
    const Utf8Char u = ToUtf8(c);
    text.append(u.bytes, u.length);
}

// Byte -> extension code, 0 when the byte is not an extension character.
constexpr std::array<unsigned char, 256> BuildExtensionCodes() {
    std::array<unsigned char, 256> codes{};
    for (const Extension& e : kExtensions)
        codes[e.character] = e.code;
    return codes;
}

constexpr auto kExtensionCodes = BuildExtensionCodes();

// Byte -> first GsmAlphabet position holding it, -1 when none does. Taking the first position
// keeps duplicates (the bullet in eleven rows) on their lowest code, 16.
const std::array<int, 256>& FirstPositions() {
    static const std::array<int, 256> positions = [] {
        std::array<int, 256> first{};
        first.fill(-1);
        const std::string& alphabet = GsmAlphabet();
        for (int p = 127; p >= 0; --p)
            first[static_cast<unsigned char>(alphabet[static_cast<std::size_t>(p)])] = p;
        return first;
    }();
    return positions;
}

constexpr unsigned char kBullet = 0x95;

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
    static const std::string alphabet = [] {
        constexpr Table table = BuildTable(kEncodeRows, std::size(kEncodeRows));
        return std::string(table.begin(), table.end());
    }();
    return alphabet;
}

bool GsmCarries(std::string_view text) {
    const std::array<int, 256>& first = FirstPositions();
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (kExtensionCodes[byte] != 0) continue;
        // The bullet only stands in for the Greek letters; the escape is no character.
        if (byte == kBullet || byte == kGsmEscape || first[byte] < 0) return false;
    }
    return true;
}

std::string TextToGsm(std::string_view text) {
    const std::array<int, 256>& first = FirstPositions();
    std::string codes(2 * text.size(), '\0'); // at most two codes per character
    std::size_t out = 0;
    int previous = -1;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (const unsigned char ext = kExtensionCodes[byte]; ext != 0) {
            codes[out++] = static_cast<char>(kGsmEscape);
            codes[out++] = static_cast<char>(ext);
            previous = ext;
            continue;
        }
        if (byte == kGsmEscape || previous == kGsmEscape)
            codes[out++] = c; // an escape and its follower pass unchanged
        else if (const int position = first[byte]; position >= 0)
            codes[out++] = static_cast<char>(position);
        previous = byte;
    }
    codes.resize(out);
    return codes;
}

std::string PackSeptets(std::string_view codes) {
    std::string hex((codes.size() * 7 + 7) / 8 * 2, '0');
    std::size_t out = 0;
    std::uint32_t bits = 0; // little-endian bit stream, low bits go out first
    int held = 0;
    const auto emit = [&hex, &out](std::uint32_t octet) {
        hex[out++] = kHexDigits[(octet >> 4) & 0xF];
        hex[out++] = kHexDigits[octet & 0xF];
    };
    for (const char c : codes) {
        // Only 7 bits fit a septet; a wider value must not spill into its neighbour.
        bits |= (static_cast<std::uint32_t>(static_cast<unsigned char>(c)) & kSeptetMask) << held;
        held += 7;
        if (held >= 8) {
            emit(bits & 0xFF);
            bits >>= 8;
            held -= 8;
        }
    }
    if (held > 0) emit(bits & 0xFF);
    return hex;
}

std::vector<std::uint8_t> UnpackSeptets(std::string_view hex) {
    const std::size_t octets = hex.size() / 2;
    std::vector<std::uint8_t> septets(octets); // 8m bits hold at least m septets
    const auto octet = [hex](std::size_t i) {
        return static_cast<std::uint64_t>(
            kNibbleOrZero[static_cast<unsigned char>(hex[2 * i])] << 4 |
            kNibbleOrZero[static_cast<unsigned char>(hex[2 * i + 1])]);
    };
    std::size_t in = 0;
    std::size_t out = 0;
    // Seven octets hold exactly eight septets; whole blocks first, then the tail bit by bit.
    for (; in + 7 <= octets && out + 8 <= octets; in += 7) {
        std::uint64_t block = 0;
        for (std::size_t k = 0; k < 7; ++k)
            block |= octet(in + k) << (8 * k);
        for (std::size_t k = 0; k < 8; ++k)
            septets[out++] = static_cast<std::uint8_t>((block >> (7 * k)) & kSeptetMask);
    }
    std::uint32_t bits = 0;
    int held = 0;
    // Stop once m septets are out: the stream's top m bits are not read.
    for (; in < octets && out < octets; ++in) {
        bits |= static_cast<std::uint32_t>(octet(in)) << held;
        held += 8;
        while (held >= 7 && out < octets) {
            septets[out++] = static_cast<std::uint8_t>(bits & kSeptetMask);
            bits >>= 7;
            held -= 7;
        }
    }
    return septets;
}

std::string DecodeSeptets(std::span<const std::uint8_t> septets) {
    std::string text;
    text.reserve(septets.size() + 8);
    for (std::size_t i = 0; i < septets.size(); ++i) {
        const std::uint8_t code = septets[i] & kSeptetMask;
        if (code != kGsmEscape) {
            const Utf8Char& u = kDecodeUtf8[code];
            text.append(u.bytes, u.length);
        } else {
            Append(text, GsmToChar(kGsmEscape, i + 1 < septets.size() ? septets[++i] : kNoFollowingSeptet));
        }
    }
    return text;
}

char32_t GsmToChar(int code, int following) noexcept {
    if ((code & kSeptetMask) != kGsmEscape) return kDecode[static_cast<std::size_t>(code & kSeptetMask)];
    if (following < 0) return U' ';
    const int next = following & kSeptetMask;
    for (const Extension& e : kExtensions) {
        if (e.code == next) return e.decodesTo;
    }
    return kDecode[static_cast<std::size_t>(next)];
}

} // namespace pelorin::pdu

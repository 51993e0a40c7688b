#include "pdu/gsm7.h"
#include "pdu/unicode.h"

#include <gtest/gtest.h>

#include <thread>

using namespace pelorin::pdu;

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values)
        out += static_cast<char>(v);
    return out;
}

std::string Codes(const std::vector<std::uint8_t>& septets) {
    return std::string(septets.begin(), septets.end());
}

// Every row where either table differs from the code's own value; encode and decode
// differ on purpose in 9, 10, 13, 16, 18-29, 64, 93, 96, 125 and 127. Decoding gives Unicode:
// the Greek capitals come out as themselves.
struct AlphabetRow {
    int code;
    int encodes;
    int decodes;
};
// clang-format off
constexpr AlphabetRow kRows[] = {
    {0, 0x40, 0x40},  {1, 0xA3, 0xA3},  {2, 0x24, 0x24},  {3, 0xA5, 0xA5},  {4, 0xE8, 0xE8},
    {5, 0xE9, 0xE9},  {6, 0xF9, 0xF9},  {7, 0xEC, 0xEC},  {8, 0xF2, 0xF2},  {9, 0xC7, 0xE7},
    {10, 0x0A, 0x20}, {11, 0xD8, 0xD8}, {12, 0xF8, 0xF8}, {13, 0x0D, 0x20}, {14, 0xC5, 0xC5},
    {15, 0xE5, 0xE5}, {16, 0x95, 0x394}, {17, 0x5F, 0x5F}, {18, 0x95, 0x3A6}, {19, 0x95, 0x393},
    {20, 0x95, 0x39B}, {21, 0x95, 0x3A9}, {22, 0x95, 0x3A0}, {23, 0x95, 0x3A8}, {24, 0x95, 0x3A3},
    {25, 0x95, 0x398}, {26, 0x95, 0x39E}, {28, 0xC6, 0xD0}, {29, 0xE6, 0xD0}, {30, 0xDF, 0xDF},
    {31, 0xC9, 0xC9}, {36, 0xA4, 0xA4}, {64, 0xA1, 0x5F}, {91, 0xC4, 0xC4}, {92, 0xD6, 0xD6},
    {93, 0xD1, 0x4E}, {94, 0xDC, 0xDC}, {95, 0xA7, 0xA7}, {96, 0xBF, 0xA8}, {123, 0xE4, 0xE4},
    {124, 0xF6, 0xF6}, {125, 0xF1, 0x6E}, {126, 0xFC, 0xFC}, {127, 0xE0, 0x61},
};
// clang-format on

TEST(Gsm7, EncodeAndDecodeTablesAsListed) {
    const std::string& alphabet = GsmAlphabet();
    ASSERT_EQ(alphabet.size(), 128u);
    EXPECT_EQ(static_cast<unsigned char>(alphabet[27]), 0x95);
    std::vector<bool> listed(128, false);
    for (const AlphabetRow& row : kRows) {
        listed[static_cast<std::size_t>(row.code)] = true;
        EXPECT_EQ(static_cast<unsigned char>(alphabet[static_cast<std::size_t>(row.code)]),
                  row.encodes)
            << row.code;
        EXPECT_EQ(GsmToChar(row.code), static_cast<char32_t>(row.decodes)) << row.code;
    }
    for (int code = 32; code < 128; ++code) {
        if (listed[static_cast<std::size_t>(code)]) continue;
        EXPECT_EQ(alphabet[static_cast<std::size_t>(code)], static_cast<char>(code)) << code;
        EXPECT_EQ(GsmToChar(code), static_cast<char32_t>(code)) << code;
    }
}

TEST(Gsm7, TextToGsm) {
    const std::pair<std::string, std::string> cases[] = {
        {"a{b", Bytes({0x61, 27, 0x28, 0x62})},
        {"\xEA", ""},               // "ê" has no code and is dropped
        {"\xF5", ""},               // "õ" too
        {std::string(1, '\0'), ""}, // NUL too
        {"\x80", Bytes({27, 101})}, // euro
        {"@", Bytes({0})},
        {"\xE9", Bytes({5})}, // "é"
        {"\r\n", Bytes({13, 10})},
        {"\x95", Bytes({16})},         // bullet: first of its eleven rows
        {"\xC6\xE6", Bytes({28, 29})}, // encode-only rows of "Æ", "æ"
        {"^{}\\[~]|", Bytes({27, 20, 27, 40, 27, 41, 27, 47, 27, 60, 27, 61, 27, 62, 27, 64})},
        {"\x1B"
         "A\x1B\xE9",
         Bytes({27, 0x41, 27, 0xE9})}, // raw escape: it and its follower pass
        {"{^", Bytes({27, 40, 27, 20})},
    };
    for (const auto& [text, codes] : cases)
        EXPECT_EQ(TextToGsm(text), codes) << text;
}

TEST(Gsm7, PackAndUnpack) {
    const std::pair<std::string, std::string> packed[] = {
        {Bytes({0x61, 27, 0x28, 0x62}), "E10D4A0C"},
        {Bytes({27, 101}), "9B32"},
        {Bytes({0}), "00"},
        {"hello", "E8329BFD06"},
        {"hellohe", "E8329BFD469701"},  // seven septets, seven octets
        {"hellohel", "E8329BFD4697D9"}, // eight septets, still seven octets
        {"hellohell", "E8329BFD4697D96C"},
        {"", ""},
        {"\xC1", "41"}, // only 7 bits of a code are packed
    };
    for (const auto& [codes, hex] : packed) {
        EXPECT_EQ(PackSeptets(codes), hex) << hex;
        std::string clean = codes;
        for (char& c : clean)
            c = static_cast<char>(c & 0x7F);
        std::string padded = hex;
        padded.resize(std::max(hex.size(), 2 * codes.size()), '0');
        EXPECT_EQ(Codes(UnpackSeptets(padded)), clean) << hex;
    }
    for (std::size_t length = 0; length < 80; ++length) { // long data: no overrun of the stream
        std::string codes;
        for (std::size_t i = 0; i < length; ++i)
            codes += static_cast<char>((i * 37 + 11) % 128);
        const std::string hex = PackSeptets(codes);
        EXPECT_EQ(Codes(UnpackSeptets(hex)), codes.substr(0, hex.size() / 2)) << length;
    }
    EXPECT_EQ(Codes(UnpackSeptets("E8329BFD06")), "hello");
    EXPECT_EQ(Codes(UnpackSeptets("E8329BFD060000")), std::string("hello\0\0", 7));
    EXPECT_EQ(Codes(UnpackSeptets("E8329BFD4697D9")), "hellohe"); // unpadded: one per octet
    EXPECT_TRUE(UnpackSeptets("E").empty());
    EXPECT_EQ(Codes(UnpackSeptets("ZZe8")), Bytes({0, 16})); // non-hex digits read as 0
}

TEST(Gsm7, GsmToCharEscapes) {
    const std::pair<int, int> extensions[] = {{20, '^'},  {40, '{'}, {41, '}'},
                                              {47, '\\'}, {60, '['}, {61, '~'},
                                              {62, ']'},  {64, '|'}, {101, 0x20AC}};
    for (const auto& [code, character] : extensions)
        EXPECT_EQ(GsmToChar(27, code), static_cast<char32_t>(character)) << code;
    EXPECT_EQ(GsmToChar(93, 27), U'N'); // the second argument only matters for an escape
    EXPECT_EQ(GsmToChar(10), U' ');
    EXPECT_EQ(GsmToChar(27, 'A'), U'A'); // unknown follower: its own character
    EXPECT_EQ(GsmToChar(27, 9), U'\u00E7');
    EXPECT_EQ(GsmToChar(27, 16), U'\u0394');
    EXPECT_EQ(GsmToChar(27, 27), U' ');       // escape-escape
    EXPECT_EQ(GsmToChar(27), U' ');           // escape at the end
    EXPECT_EQ(GsmToChar(27 + 128, 40), U'{'); // only 7 bits are read
}

TEST(Gsm7, EveryRoundTripCharacterSurvivesPacking) {
    std::string text;
    for (int byte = 0; byte < 256; ++byte) {
        const std::string one(1, static_cast<char>(byte));
        const std::string codes = TextToGsm(one);
        if (!codes.empty() && DecodeSeptets(std::vector<std::uint8_t>(
                                  codes.begin(), codes.end())) == Cp1252ToUtf8(one))
            text += one;
    }
    EXPECT_EQ(text.size(), 107u + 9u); // 107 single-septet characters, 9 escape pairs (euro too)
    const std::string codes = TextToGsm(text);
    std::string hex = PackSeptets(codes);
    hex.resize(2 * codes.size(), '0');
    EXPECT_EQ(DecodeSeptets(UnpackSeptets(hex)), Cp1252ToUtf8(text));
}

TEST(Gsm7, DecodeSeptetsGivesUtf8) {
    const std::pair<std::vector<std::uint8_t>, std::string> cases[] = {
        {{27, 101, 53}, "\u20AC5"},
        {{16, 18, 19, 20, 21, 22, 23, 24, 25, 26},
         "\u0394\u03A6\u0393\u039B\u03A9\u03A0\u03A8\u03A3\u0398\u039E"},
        {{28, 29, 9, 10, 13, 64, 96, 127}, "\u00D0\u00D0\u00E7  _\u00A8a"}, // as they always were
        {{1, 3, 95, 36}, "\u00A3\u00A5\u00A7\u00A4"},
        {{27, 40, 27}, "{ "},
        {{}, ""},
    };
    for (const auto& [septets, text] : cases)
        EXPECT_EQ(DecodeSeptets(septets), text) << text;
}

TEST(Gsm7, PackedSeptetsDecodeAsUnpackedOnes) {
    // DecodePackedSeptets reads straight from the hex what UnpackSeptets and DecodeSeptets
    // read in two steps: whole blocks, tails, digits that are not hex, short hex, an escape
    // next to the first septet read.
    const std::string hex = PackSeptets(TextToGsm("Halo {apa} kabar \x80 hari ini? [ok]"));
    for (const std::string& data :
         {hex, hex.substr(0, 17), hex.substr(0, 9) + "zz" + hex.substr(11), std::string("1B1B1B1B"),
          std::string()}) {
        for (std::size_t count = 0; count <= 40; ++count) {
            for (const std::size_t first : {0u, 1u, 7u, 8u, 50u}) {
                std::string padded = data;
                if (padded.size() < 2 * count) padded.resize(2 * count, '0');
                const auto septets = UnpackSeptets(padded);
                const std::size_t from = std::min<std::size_t>(first, count);
                const std::string expected = DecodeSeptets(
                    std::span<const std::uint8_t>(septets).subspan(from, count - from));
                EXPECT_EQ(DecodePackedSeptets(data, first, count), expected)
                    << data << " " << first << " " << count;
            }
        }
    }
}

TEST(Gsm7, SeptetRoomAndFit) {
    EXPECT_EQ(SeptetRoom("a{b}\x80\xEA"), 9u); // extension characters two, a dropped one one
    EXPECT_EQ(SeptetFit("ab{c", 3), 2u);       // the pair does not fit the third septet
    EXPECT_EQ(SeptetFit("ab{c", 4), 3u);
    EXPECT_EQ(SeptetFit("abc", 3), 3u);
    EXPECT_EQ(SeptetFit("", 3), 0u);
}

TEST(Gsm7, AlphabetBuiltOnceAcrossThreads) {
    std::string first, second;
    std::thread a([&] { first = TextToGsm("Halo {dunia} \x80"); });
    std::thread b([&] { second = TextToGsm("Halo {dunia} \x80"); });
    a.join();
    b.join();
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, TextToGsm("Halo {dunia} \x80"));
}

} // namespace

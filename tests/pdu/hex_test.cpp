#include "pdu/hex.h"

#include <gtest/gtest.h>

#include <limits>

using namespace pelorin::pdu;

namespace {

TEST(Hex, DecimalAndRepeat) {
    EXPECT_EQ(PadDecimal(3, 2), "03");
    EXPECT_EQ(PadDecimal(45, 2), "45");
    EXPECT_EQ(PadDecimal(123, 2), "123");
    EXPECT_EQ(PadDecimal(0, 3), "000");
    EXPECT_EQ(PadDecimal(7, 0), "7");
    EXPECT_EQ(PadDecimal(-5, 3), "-005");
    EXPECT_EQ(RepeatText(3, "ab"), "ababab");
    EXPECT_EQ(RepeatText(0, "x"), "");
    EXPECT_EQ(RepeatText(-2, "x"), "");
}

TEST(Hex, SwapPairAndSemiOctets) {
    const std::pair<std::string, std::string> pairs[] = {
        {"1A", "A1"}, {"7", "77"}, {"", ""}, {"abc", "ca"}};
    for (const auto& [in, out] : pairs)
        EXPECT_EQ(SwapPair(in), out) << in;
    const std::pair<std::string, std::string> semi[] = {
        {"0812345", "802143F5"},                     // odd count gets the F filler
        {"628123", "261832"},    {" 0812 ", "8021"}, // blanks around are trimmed first
        {"\t12\r\n", "21"},      {"", ""},
        {"+6A", "6+FA"}, // characters are not validated
    };
    for (const auto& [in, out] : semi)
        EXPECT_EQ(SwapSemiOctets(in), out) << in;
}

TEST(Hex, Writers) {
    EXPECT_EQ(HexFixed(10, 2), "0A");
    EXPECT_EQ(HexFixed(300, 2), "2C"); // rightmost digits kept
    EXPECT_EQ(HexFixed(255, 4), "00FF");
    EXPECT_EQ(HexFixed(0, 1), "0");
    EXPECT_EQ(HexFixed(5, 0), "");
    EXPECT_EQ(HexFixed(-1, 4), "FFFF");
    EXPECT_EQ(HexByte(300), "2C");
    EXPECT_EQ(HexByte(-1), "FF");
    EXPECT_EQ(HexByte(10), "0A");
    EXPECT_EQ(IntToHex2(5), "05");
    EXPECT_EQ(IntToHex2(300), "12C"); // never cut
    EXPECT_EQ(IntToHex2(0), "00");
}

TEST(Hex, Readers) {
    const std::pair<std::string, int> digits[] = {{"0", 0},   {"9", 9}, {"A", 10}, {"F", 15},
                                                  {"F0", 15}, {"a", 0}, {"G", 0},  {"", 0}};
    for (const auto& [in, value] : digits)
        EXPECT_EQ(HexDigitValue(in), value) << in;
    const std::pair<std::string, int> pairs[] = {
        {"07", 7},   {"A", 170}, {"", 0},   {"FF", 255},
        {"1X2", 18}, {"g1", 1},  {"0a", 0}, {"\n", 0}}; // non-hex characters count as 0
    for (const auto& [in, value] : pairs)
        EXPECT_EQ(HexPairValue(in), value) << in;
    const std::pair<std::string, std::int64_t> ints[] = {
        {"00E9", 233},
        {"00e9", 0},
        {"", 0},
        {"12 ", 0},
        {"0B", 11},
        {"7FFFFFFFFFFFFFFF", std::numeric_limits<std::int64_t>::max()},
        {"FFFFFFFFFFFFFFFF", -1},
        {"123456789ABCDEF01", 0x23456789ABCDEF01}}; // beyond 16 digits: low 64 bits
    for (const auto& [in, value] : ints)
        EXPECT_EQ(HexToInt(in), value) << in;
}

TEST(Hex, UpperHexToOctets) {
    std::uint8_t out[8] = {};
    ASSERT_TRUE(UpperHexToOctets("00FF7A9B", out));
    EXPECT_EQ((std::vector<int>(out, out + 4)), (std::vector<int>{0x00, 0xFF, 0x7A, 0x9B}));
    ASSERT_TRUE(UpperHexToOctets("0AF", out)); // a last single digit is not read
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_TRUE(UpperHexToOctets("", out));
    for (const char* bad : {"0a", "G0", "0 ", "@0", "0/", ":0",
                            "\x80"
                            "0"})
        EXPECT_FALSE(UpperHexToOctets(bad, out)) << bad;
}

TEST(Hex, StripPrefixRemovesOnce) {
    EXPECT_EQ(StripPrefix("++62", "+"), "+62");
    EXPECT_EQ(StripPrefix("62", "+"), "62");
    EXPECT_EQ(StripPrefix("+", "+"), "");
    EXPECT_EQ(StripPrefix("", "+"), "");
    EXPECT_EQ(StripPrefix("abc", ""), "abc");
    EXPECT_EQ(StripPrefix("ab", "abc"), "ab");
}

} // namespace

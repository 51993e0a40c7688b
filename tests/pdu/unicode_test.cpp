#include "pdu/unicode.h"

#include "pdu/hex.h"
#include "pdu/listing.h"
#include "pdu/submit.h"

#include <gtest/gtest.h>

using namespace pelorin::pdu;

namespace {

// An independent reading of a UCS2 SUBMIT PDU made by the encoder: its header (empty for a
// single message) and its UTF-16 units.
struct Ucs2Part {
    std::string header;
    std::u16string units;
};
Ucs2Part ReadUcs2(const std::string& pdu) {
    // 00 first-octet 00 len 81 digits(11 -> 12 hex) 00 08 AA UDL
    const std::size_t dcsAt = 10 + 12 + 2;
    EXPECT_EQ(pdu.substr(dcsAt, 2), "08") << pdu;
    const int udl = HexPairValue(pdu.substr(dcsAt + 4, 2));
    EXPECT_LE(udl, 140) << pdu;
    std::string data = pdu.substr(dcsAt + 6);
    EXPECT_EQ(static_cast<int>(data.size()), 2 * udl) << pdu;
    Ucs2Part part;
    const bool header = (HexPairValue(pdu.substr(2, 2)) & 0x40) != 0;
    if (header) {
        part.header = data.substr(0, 14);
        data = data.substr(14);
    }
    for (std::size_t i = 0; i + 4 <= data.size(); i += 4)
        part.units += static_cast<char16_t>(HexPairValue(data.substr(i, 2)) * 256 + HexPairValue(data.substr(i + 2, 2)));
    return part;
}

TEST(Unicode, TextsTheAlphabetCarriesGoOutAsBefore) {
    // The Windows-1252 bytes of each text through the 7-bit encoder, byte for byte.
    const std::pair<std::string, std::string> same[] = {
        {"Halo apa kabar", "Halo apa kabar"},
        {"a{b} \u20AC5 ~", "a{b} \x80" "5 ~"},
        {"\u00F9 \u00C9 \u00E8 \u00DF \u00C7", "\xF9 \xC9 \xE8 \xDF \xC7"}, // the standard's letters
        {std::string(161, 'x'), std::string(161, 'x')},
    };
    for (const auto& [utf8, cp1252] : same) {
        const EncodedMessage out = EncodeMessage("08123456789", utf8, 9, 0);
        EXPECT_FALSE(out.ucs2) << utf8;
        EXPECT_EQ(out.pdus.pdus, EncodeSubmitPdu("08123456789", cp1252, 9, 0).pdus) << utf8;
    }
    // Letters the alphabet does not have, or would show as another letter, go as UCS2.
    for (const std::string text : {"\u00FA", "\u00CA", "\u2022", "\u00EA", "\U0001F64F", "\u0105", "\u4F60"}) {
        const EncodedMessage out = EncodeMessage("08123456789", "ok " + text, 9, 0);
        EXPECT_TRUE(out.ucs2) << text;
        ASSERT_EQ(out.pdus.count, 1);
        EXPECT_EQ(ReadUcs2(out.pdus.pdus[0]).units, Utf8ToUtf16("ok " + text)) << text;
    }
}

TEST(Unicode, LongUcs2TextsSplitWithoutBreakingAPair) {
    const std::u16string emoji = u"\U0001F64F";
    struct Case {
        std::u16string text;
        int parts;
    };
    const Case cases[] = {
        {std::u16string(70, u'\u0105'), 1},
        {std::u16string(71, u'\u0105'), 2},
        {std::u16string(65, u'a') + emoji + std::u16string(70, u'b'), 3}, // the pair would straddle 66: it moves
        {std::u16string(132, u'a'), 2},
        {std::u16string(133, u'a'), 3},
    };
    for (const Case& c : cases) {
        const SubmitPdus out = EncodeUcs2SubmitPdu("08123456789", c.text, 77, 1);
        EXPECT_EQ(out.count, c.parts);
        std::u16string joined;
        for (std::size_t k = 0; k < out.pdus.size(); ++k) {
            const Ucs2Part part = ReadUcs2(out.pdus[k]);
            if (c.parts > 1) {
                EXPECT_EQ(part.header, ConcatHeader(77, c.parts, static_cast<int>(k) + 1));
            }
            EXPECT_LE(part.units.size(), c.parts > 1 ? kUcs2PartUnits : kSingleUcs2Units);
            ASSERT_FALSE(part.units.empty());
            EXPECT_FALSE(part.units.back() >= 0xD800 && part.units.back() <= 0xDBFF) << "pair split";
            joined += part.units;
        }
        EXPECT_EQ(joined, c.text);
    }
}

TEST(Unicode, AnEmojiAcrossTwoPartsIsReceivedWhole) {
    // Three UCS2 parts (8-bit reference 7); the emoji's halves end part 1 and begin part 2.
    const auto part = [](int seq, const std::string& units) {
        const std::string ud = "0500030703" + HexByte(seq) + units;
        return "07912618485400F9040B818021436587F90008" "62802101350482" +
               HexByte(static_cast<long long>(ud.size() / 2)) + ud;
    };
    std::string answer = "\r\n";
    const std::string pdus[] = {part(2, "DE4F0021"), part(1, "00480069D83D"), part(3, "4F60")};
    int index = 1;
    for (const std::string& pdu : pdus) answer += "+CMGL: " + std::to_string(index++) + ",0,,40\r\n" + pdu + "\r\n";
    const MessageListing m = ParseMessageListing(answer + "\r\nOK\r\n");
    ASSERT_FALSE(m.texts.empty());
    EXPECT_EQ(m.texts[0], "Hi\U0001F64F!\u4F60");
}

TEST(Unicode, ConversionsAtTheEdges) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), std::optional<std::string>(all)); // every byte round trips
    EXPECT_EQ(Cp1252ToUtf8("\x95\x8A\x9F\xA3\x81"), "\u2022\u0160\u0178\u00A3\u0081");
    EXPECT_EQ(Cp1252ToUtf8("caf\xE9 \x80"), "caf\u00E9 \u20AC");
    EXPECT_EQ(Utf8ToCp1252("caf\u00E9 \u20AC"), std::optional<std::string>("caf\xE9 \x80"));
    EXPECT_EQ(Utf8ToCp1252("\u0105"), std::nullopt);
    EXPECT_EQ(Utf8ToCp1252Lossy("a\u0105\U0001F64F"), "a??");
    EXPECT_EQ(Utf8OrCp1252("caf\xE9"), "caf\u00E9");    // not UTF-8: read as Windows-1252
    EXPECT_EQ(Utf8OrCp1252("caf\u00E9"), "caf\u00E9");  // already UTF-8
    EXPECT_EQ(FirstCharacters("\u00E9\U0001F64Fx", 2), "\u00E9\U0001F64F"); // never half a character
    EXPECT_EQ(CharacterCount("\u00E9\U0001F64Fx"), 3u);
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("a\U0001F64F\u4F60")), "a\U0001F64F\u4F60");
    EXPECT_EQ(Utf8ToUtf16("\xFF"), u"\uFFFD");            // not UTF-8 at all
}

TEST(Unicode, FastPathsReadAsTheCodePointReader) {
    // A byte of 0x80 or more at every place of texts around the eight-byte steps.
    for (std::size_t length = 0; length <= 17; ++length) {
        EXPECT_TRUE(IsAscii(std::string(length, 'a'))) << length;
        for (std::size_t at = 0; at < length; ++at) {
            std::string text(length, 'a');
            text[at] = '\x80';
            EXPECT_FALSE(IsAscii(text)) << length << " at " << at;
        }
    }
    // Short forms, overlong forms, encoded surrogates and cut sequences: unit for unit what
    // NextCodePoint reads.
    for (const std::string text : {"\xC3\xA9", "\xC0\x80", "\xC1\xBF", "\xC3", "\xC3x",
                                   "\xE4\xBD\xA0", "\xE0\x80\x80", "\xE0\xA0\x80", "\xED\xA0\xBD",
                                   "\xE4\xBD", "\xE4x\xA0", "\xF0\x9F\x99\x8F", "\xF4\x90\x80\x80",
                                   "a\xBF"
                                   "b"}) {
        std::u16string expected;
        for (std::size_t at = 0; at < text.size();) {
            const char32_t c = NextCodePoint(text, at);
            if (c < 0x10000) {
                expected += static_cast<char16_t>(c);
            } else {
                expected += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                expected += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            }
        }
        EXPECT_EQ(Utf8ToUtf16(text), expected) << text;
    }
}

} // namespace

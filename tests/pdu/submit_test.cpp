#include "pdu/submit.h"

#include "pdu/gsm7.h"
#include "pdu/hex.h"
#include "pdu/unicode.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace pelorin::pdu;

namespace {

const std::string kTo = "0031000B818021436587F90000AA"; // up to the user data length

TEST(Submit, SinglePdus) {
    struct Case {
        std::string number, text;
        int option;
        std::string pdu;
    } const cases[] = {
        {"08123456789", "Test", 0, "0031000B818021436587F90000AA04D4F29C0E"},
        {"+628123456789", "Test", 1, "0011000C912618325476980000AA04D4F29C0E"}, // international
        {" 0812\r\n", "Test", 2, "003100048180210000AA04D4F29C0E"},             // trimmed number
        {"08123456789", "a{b", 0, kTo + "04E10D4A0C"},                          // escape: 2 septets
        {"08123456789", "\xEA@", 0, kTo + "0100"},                              // "ê" dropped
    };
    for (const Case& c : cases) {
        const SubmitPdus out = EncodeSubmitPdu(c.number, c.text, 7, c.option);
        EXPECT_EQ(out.count, 1) << c.pdu;
        EXPECT_EQ(out.pdus, std::vector<std::string>{c.pdu});
    }
    const SubmitPdus empty = EncodeSubmitPdu("08123456789", "", 7, 0);
    EXPECT_EQ(empty.count, 0); // nothing to send, though one PDU is built
    EXPECT_EQ(empty.pdus, std::vector<std::string>{kTo + "00"});
}

TEST(Submit, PartCountAndHeader) {
    const std::pair<long long, int> counts[] = {{-1, 0},  {0, 0},   {1, 1},   {160, 1}, {161, 2},
                                                {304, 2}, {305, 3}, {456, 3}, {457, 4}};
    for (const auto& [length, parts] : counts)
        EXPECT_EQ(PartCount(length), parts) << length;
    EXPECT_EQ(ConcatHeader(7, 2, 1), "06080400070201");
    EXPECT_EQ(ConcatHeader(300, 256, 1), "060804002C0001"); // single octets: cut to 8 bits
}

TEST(Submit, LongTextParts) {
    const SubmitPdus out = EncodeSubmitPdu("08123456789", std::string(161, 'A'), 7, 0);
    ASSERT_EQ(out.count, 2);
    ASSERT_EQ(out.pdus.size(), 2u);
    EXPECT_EQ(out.pdus[0],
              "0071000B818021436587F90000AAA006080400070201" + PackSeptets(std::string(152, 'A')));
    EXPECT_EQ(out.pdus[1], "0071000B818021436587F90000AA1106080400070202C16030180C068341");
    EXPECT_EQ(EncodeSubmitPdu("0812", std::string(161, 'A'), 7, 1).pdus[1].substr(0, 4), "0051");
}

// Reads the user data length and the text back out of a PDU built for kTo's number.
std::pair<int, std::string> ReadBack(const std::string& pdu) {
    const int udl = HexPairValue(pdu.substr(kTo.size(), 2));
    const bool header = pdu[2] == '7';
    std::string ud = pdu.substr(kTo.size() + 2 + (header ? 14 : 0));
    const int septets = udl - (header ? 8 : 0);
    ud.resize(2 * static_cast<std::size_t>(septets), '0');
    return {udl,
            Utf8ToCp1252Lossy(DecodeSeptets(UnpackSeptets(ud)))}; // in the text's own code page
}

TEST(Submit, BoundarySweep) {
    for (std::size_t length : {1u, 152u, 153u, 159u, 160u, 161u, 303u, 304u, 305u, 1000u}) {
        std::string text;
        for (std::size_t i = 0; i < length; ++i)
            text += static_cast<char>('a' + i % 26);
        const SubmitPdus out = EncodeSubmitPdu("08123456789", text, 9, 0);
        ASSERT_EQ(out.count, PartCount(static_cast<long long>(length))) << length;
        std::string joined;
        for (int k = 0; k < out.count; ++k) {
            const auto [udl, part] = ReadBack(out.pdus[static_cast<std::size_t>(k)]);
            const bool multi = out.count > 1;
            EXPECT_EQ(udl, static_cast<int>(part.size()) + (multi ? 8 : 0)) << length;
            if (multi) { // header: reference 9, total, this part's number
                EXPECT_EQ(out.pdus[k].substr(kTo.size() + 2, 14), ConcatHeader(9, out.count, k + 1))
                    << length;
            }
            joined += part;
        }
        EXPECT_EQ(joined, text) << length;
    }
}

TEST(Submit, CutsCountSeptetsSoAnEscapeNeverOverfillsAPart) {
    // 170 characters with one "{" (two septets) at `at`: parts of at most 152 septets of text,
    // the escape pair never split. UDL includes the 8 header septets.
    struct Case {
        std::size_t at;
        int firstUdl, secondUdl;
    };
    for (const Case c :
         {Case{150, 160, 27}, Case{151, 159, 28}, Case{152, 160, 27}, Case{153, 160, 27}}) {
        std::string text(170, 'a');
        text[c.at] = '{';
        const SubmitPdus out = EncodeSubmitPdu("08123456789", text, 1, 0);
        ASSERT_EQ(out.count, 2) << c.at;
        EXPECT_EQ(HexPairValue(out.pdus[0].substr(kTo.size(), 2)), c.firstUdl) << c.at;
        EXPECT_EQ(HexPairValue(out.pdus[1].substr(kTo.size(), 2)), c.secondUdl) << c.at;
    }
    // One message while the text fits 160 septets, however many characters it has.
    const auto udl = [](const std::string& text) {
        return EncodeSubmitPdu("08123456789", text, 1, 0).pdus[0].substr(kTo.size(), 2);
    };
    EXPECT_EQ(udl(std::string(158, 'a') + "{"), "A0");
    EXPECT_EQ(EncodeSubmitPdu("08123456789", std::string(159, 'a') + "{", 1, 0).count, 2);
    EXPECT_EQ(EncodeSubmitPdu("08123456789", std::string(80, '{'), 1, 0).count, 1);
    EXPECT_EQ(EncodeSubmitPdu("08123456789", std::string(81, '{'), 1, 0).count, 2);
    // Escapes everywhere: no part ever exceeds 160 septets (140 octets).
    const SubmitPdus many = EncodeSubmitPdu("08123456789", std::string(500, '{') + "a", 1, 0);
    EXPECT_EQ(many.count, 7);
    for (const std::string& pdu : many.pdus)
        EXPECT_LE(HexPairValue(pdu.substr(kTo.size(), 2)), 160);
}

TEST(Submit, EveryPartFitsOneSmsAndTheTextSurvives) {
    // Texts around the 152/153 and 160/161 limits with an extension character (two septets)
    // at the cut, at either end, or nowhere.
    const std::size_t lengths[] = {151, 152, 153, 159, 160, 161, 304, 305, 330};
    const std::size_t nowhere = 9999, last = 9998;
    const std::size_t places[] = {nowhere, 0, 150, 151, 152, 153, 158, 159, last};
    const std::string escapes = "{}^\\[~]|\x80";
    std::size_t round = 0;
    for (const std::size_t length : lengths) {
        for (const std::size_t place : places) {
            std::string text(length, 'x');
            const char escape = escapes[round++ % escapes.size()];
            if (place != nowhere && place != last && place >= length) continue;
            if (place != nowhere) text[place == last ? length - 1 : place] = escape;
            const std::size_t septets = TextToGsm(text).size();
            const SubmitPdus out = EncodeSubmitPdu("08123456789", text, 3, 0);
            const std::string where = std::to_string(length) + " at " + std::to_string(place);
            ASSERT_EQ(out.count == 1, septets <= 160) << where;
            ASSERT_EQ(out.pdus.size(), static_cast<std::size_t>(out.count)) << where;
            std::string joined;
            for (std::size_t k = 0; k < out.pdus.size(); ++k) {
                const auto [udl, part] = ReadBack(out.pdus[k]);
                EXPECT_LE((udl * 7 + 7) / 8, 140) << where; // user data octets
                // A part is cut short only when the next character would not fit.
                if (k + 1 < out.pdus.size()) {
                    const int next = text[joined.size() + part.size()] == 'x' ? 1 : 2;
                    EXPECT_GT(udl - 8 + next, 152) << where;
                }
                joined += part;
            }
            EXPECT_EQ(joined, text) << where; // the euro sign too
        }
    }
}

TEST(Submit, EncodeMessageCutsAsTheCharacterCut) {
    // EncodeMessage cuts a carried text from its codes; EncodeSubmitPdu cuts by characters.
    // Extension characters and the euro sign at every place around the cuts give the same PDUs.
    for (const std::size_t length : {150u, 152u, 153u, 160u, 161u, 303u, 305u, 460u}) {
        for (std::size_t place = 140; place < std::min<std::size_t>(length, 160); ++place) {
            std::string cp1252(length, 'x');
            if (place + 2 < length) cp1252[place + 2] = '{';
            std::string utf8 = cp1252;
            utf8.replace(place, 1, "\u20AC");
            cp1252[place] = '\x80';
            const EncodedMessage out = EncodeMessage("08123456789", utf8, 4, 0);
            EXPECT_FALSE(out.ucs2);
            EXPECT_EQ(out.pdus.pdus, EncodeSubmitPdu("08123456789", cp1252, 4, 0).pdus)
                << length << " at " << place;
        }
    }
}

TEST(Submit, CharactersWithoutACodeKeepTheirPlaceInTheCut) {
    // "ê" has no GSM code and is dropped, but it still counts as one character, so such a text
    // is cut at 160/152 characters exactly as a plain one is.
    std::string text(161, 'a');
    for (std::size_t i = 0; i < text.size(); i += 8)
        text[i] = '\xEA';
    const SubmitPdus out = EncodeSubmitPdu("08123456789", text, 5, 0);
    EXPECT_EQ(out.pdus,
              (std::vector<std::string>{
                  BuildSubmitPdu("08123456789", text.substr(0, 152), 0, ConcatHeader(5, 2, 1)),
                  BuildSubmitPdu("08123456789", text.substr(152), 0, ConcatHeader(5, 2, 2))}));
}

} // namespace

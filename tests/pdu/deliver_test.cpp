#include "pdu/deliver.h"

#include <gtest/gtest.h>

using namespace pelorin::pdu;

namespace {

// Service centre, first octet and national originator 08123456789 of the sample message.
const std::string kHead = "\n07912618485400F9040B818021436587F9";
const std::string kStamp = "62802101350482";
const std::string kHalo = "0EC830FB0D0AC3C3A075581C9603"; // UDL 14 + "Halo apa kabar"

struct DeliverCase {
    const char* name;
    std::string pdu;
    std::string sender;
    std::string text;
    std::optional<PartInfo> part;
};

TEST(Deliver, DecodesByPosition) {
    const std::string nat = "08123456789";
    // clang-format off
    const DeliverCase cases[] = {
        {"national originator", kHead + "0000" + kStamp + kHalo, nat, "Halo apa kabar", {}},
        {"international originator", "\n07912618485400F9040C91261832547698" "0000" + kStamp + kHalo,
         nat, "Halo apa kabar", {}},
        {"alphanumeric M-Tronik", "\n07912618485400F9040ED0CD1655FE76A7D7" "0000" + kStamp + kHalo,
         "M-Tronik", "Halo apa kabar", {}},
        {"service number", "\n07912618485400F90407819026213F" "0000" + kStamp + kHalo, "62962",
         "Halo apa kabar", {}},
        {"short service number", "\n07912618485400F904028190" "0000" + kStamp + kHalo, "62962",
         "Halo apa kabar", {}},
        {"escape pair is one character", kHead + "0000" + kStamp + "04E10D4A0C", nat, "a{b", {}},
        {"escape pair after a header", kHead + "0000" + kStamp + "0B0500032A0201C21B9418", nat,
         "a{b", PartInfo{42, 2, 1}},
        {"part 1 of 3, reference 0x2A", kHead + "0000" + kStamp + "0D0500032A0301E061393DE602",
         nat, "part1.", PartInfo{42, 3, 1}},
        {"@ in the text of a part stays text", kHead + "0000" + kStamp + "0C0500032A0302C262C0980C",
         nat, "ab@cd", PartInfo{42, 3, 2}},
        {"header cut short takes every septet", kHead + "0000" + kStamp + "040500032A", nat, "", {}},
        {"16-bit reference header", kHead + "0000" + kStamp + "0A06080401070201C834", nat, "Hi",
         PartInfo{263, 2, 1}},
        {"escape at the end", kHead + "0000" + kStamp + "02E10D", nat, "a ", {}},
        {"coding 18 read as 7-bit", kHead + "0018" + kStamp + kHalo, nat, "Halo apa kabar", {}},
        {"coding 04 read as 7-bit", kHead + "0004" + kStamp + kHalo, nat, "Halo apa kabar", {}},
        {"missing octets read as zero", kHead + "0000" + kStamp + "10" + kHalo.substr(2), nat,
         "Halo apa kabar@@", {}},
        {"UCS2", kHead + "0008" + kStamp + "06004100620063", nat, "Abc", {}},
        {"UCS2 Latin-1", kHead + "0008" + kStamp + "0200E9", nat, "\xC3\xA9", {}},
        {"UCS2 beyond Latin-1: every character kept", kHead + "0008" + kStamp +
         "0820AC201900414E2D", nat, "\u20AC\u2019A\u4E2D", {}},
        {"UCS2 emoji", kHead + "0008" + kStamp + "06D83DDE4F0021", nat, "\U0001F64F!", {}},
        {"UCS2 lone surrogate", kHead + "0008" + kStamp + "04D83D0021", nat, "\uFFFD!", {}},
        {"7-bit beyond ASCII reads as UTF-8", kHead + "0000" + kStamp + "020403", nat, "\xC3\xA8\xC3\xB9", {}},
        {"UCS2 part", kHead + "0008" + kStamp + "080500032A03010041", nat, "A", PartInfo{42, 3, 1}},
        {"text is cleaned", kHead + "0008" + kStamp + "1000220027005C002F000D000A001A0041", nat,
         "   A", {}},
    };
    // clang-format on
    for (const DeliverCase& c : cases) {
        const auto m = DecodeDeliverPdu("\n+CMGL: 1,0,,25", c.pdu);
        ASSERT_TRUE(m) << c.name;
        EXPECT_EQ(m->index, "1") << c.name;
        EXPECT_EQ(m->sender, c.sender) << c.name;
        EXPECT_EQ(m->timestamp, "08-12-26 10:53:40") << c.name;
        EXPECT_EQ(m->text, c.text) << c.name;
        EXPECT_EQ(m->part, c.part) << c.name;
    }
}

TEST(Deliver, IndexFromHeaderLine) {
    const std::string pdu = kHead + "0000" + kStamp + kHalo;
    EXPECT_EQ(DecodeDeliverPdu("\n+CMGL: 4,0,,28", pdu)->index, "4");
    EXPECT_EQ(DecodeDeliverPdu("+CMGL: 17", pdu)->index, "17");
    EXPECT_EQ(DecodeDeliverPdu("\n+CMT: ,25", pdu)->index, "");
    for (const char* bad : {"\n+CMGL:", "\n+CMGL: ", "\n+CMGL:  1,0", ""})
        EXPECT_FALSE(DecodeDeliverPdu(bad, pdu)) << bad;
}

TEST(Deliver, ShortLinesGiveEmptyFields) {
    const auto m = DecodeDeliverPdu("+CMGL: 2", "\n0791");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->sender, "");
    EXPECT_EQ(m->timestamp, "-- ::");
    EXPECT_EQ(m->text, "");
}

TEST(Deliver, AddressAndSenderRules) {
    const std::pair<std::string, std::string> addresses[] = {
        {"818021436587F9", "628123456789"},
        {"A18021436587", "62812345678"},
        {"91261832547698", "628123456789"},
        {"D0CD1655FE76A7D7", "62C6155E677A7D"},
        {"819026213F", "62962123"},
        {"8190", "629"},
        {"9144", "44"},
        {"81", "62"},
        {"9", ""},
        {"", ""},
    };
    for (const auto& [field, raw] : addresses)
        EXPECT_EQ(DecodeAddress(field), raw) << field;
    const std::pair<std::string, std::string> rules[] = {
        {"62C6155E677A7D", "M-Tronik"},
        {"62962123", "62962"},
        {"629", "62962"},
        {"6296", "096"},
        {"628123", "08123"},
        {"4412345", "4412345"},
        {"62", "0"},
        {"", ""},
    };
    for (const auto& [raw, sender] : rules)
        EXPECT_EQ(ApplySenderRules(raw), sender) << raw;
}

TEST(Deliver, TimestampUnicodeAndCleaning) {
    EXPECT_EQ(FormatDeliverTimestamp("628021013504"), "08-12-26 10:53:40");
    EXPECT_EQ(FormatDeliverTimestamp("62"), "--26 ::");
    EXPECT_EQ(DecodeUnicodeText("004100620063"), "Abc");
    EXPECT_EQ(DecodeUnicodeText("0041006"), "A");               // a partial group is ignored
    EXPECT_EQ(DecodeUnicodeText("00e9"), std::string(1, '\0')); // lower case reads as 0
    const std::pair<std::string, std::string> cleaning[] = {
        {"say \"hi\"", "say hi"}, {"it's", "its"},    {"a\\b/c", "a b c"},  {"x\r\ny", "x y"},
        {"x\r\"\ny", "x y"},      {"end\x1A", "end"}, {"\r\x1A\n", "\r\n"}, {"\r\r\n\n", "\r \n"},
    };
    for (const auto& [in, out] : cleaning)
        EXPECT_EQ(CleanMessageText(in), out) << in;
}

} // namespace

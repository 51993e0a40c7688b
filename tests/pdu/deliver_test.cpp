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
        {"coding 18 is UCS2 of class 0", kHead + "0018" + kStamp + "06004100620063", nat, "Abc", {}},
        {"coding 04 is 8-bit data", kHead + "0004" + kStamp + kHalo, nat,
         "[binary message, 14 octets]", {}},
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
    // Blanks after the colon, none or several, and an alpha field change nothing.
    for (const char* header : {"\n+CMGL:5,0,,26", "\n+CMGL:  5,0", "\n+CMGL: 5,1,\"\",25",
                               "\n+CMGL: 5,1,\"Budi, S\",25", "^RSSI:17+CMGL: 5,1,,25", "x 5"})
        EXPECT_EQ(DecodeDeliverPdu(header, pdu)->index, "5") << header;
    for (const char* bad : {"\n+CMGL:", "\n+CMGL: ", "\n+CMGL:   ", "", "x"})
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
        {"D0CD1655FE76A7D7", "M-Tronik"},
        {"D0D42273F96C4E8B4C", "TELKOMSEL"},
        {"814949", "9494"}, // no trunk prefix: every digit stays
        {"81261832547698", "628123456789"},
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

namespace {

const std::string kSc = "\n07912618485400F9";
const std::string kNat = "0B818021436587F9"; // 08123456789
const std::string kHalo4 = "04C830FB0D";     // UDL 4 + "Halo"
const std::string kOtp =
    "1C004B006F006400650020004F00540050003A00200034003800320031"; // "Kode OTP: 4821"
const std::string kWapData = "000603AE81EA02056A00";

std::string Pdu(const std::string& firstOctet, const std::string& originator,
                const std::string& dcs, const std::string& userData) {
    return kSc + firstOctet + originator + "00" + dcs + kStamp + userData;
}

TEST(Deliver, Originators) {
    const std::pair<std::string, std::string> cases[] = {
        {"10D0D42273F96C4E8B4C", "TELKOMSEL"},
        {"0ED0CD1655FE76A7D7", "M-Tronik"},
        {"06D0C26110", "BCA"},
        {"0DD04937F93D0FD301", "Indosat"},   // seven characters: the eighth septet is only fill
        {"04814949", "9494"},                // short code, type unknown
        {"04A14949", "9494"},                // short code, type national
        {"0781056317F0", "5036710"},         // a number without the trunk prefix keeps it all
        {"0C81261832547698", "08123456789"}, // international digits, type unknown
        {"0C91261832547698", "08123456789"}, // international
        {"0B818021436587F9", "08123456789"}, // national with the trunk prefix
        {"07819026213F", "62962"},           // operator service number
        {"0BD0369930E85C02", "62BANK"},      // a name is never put in national form
    };
    for (const auto& [originator, sender] : cases) {
        const auto m = DecodeDeliverPdu("+CMGL: 1,0,,30", Pdu("04", originator, "00", kHalo4));
        ASSERT_TRUE(m) << originator;
        EXPECT_EQ(m->sender, sender) << originator;
        EXPECT_EQ(m->text, "Halo") << originator;
    }
}

struct CodingCase {
    const char* name;
    std::string dcs;
    std::string userData;
    std::string text;
    std::optional<DataInfo> data;
};

TEST(Deliver, CodingGroups) {
    // clang-format off
    const CodingCase cases[] = {
        {"general 7-bit", "00", kHalo4, "Halo", {}},
        {"7-bit, class 0", "10", kHalo4, "Halo", {}},
        {"7-bit, data coding group class 0", "F0", kHalo4, "Halo", {}},
        {"7-bit, data coding group class 1", "F1", kHalo4, "Halo", {}},
        {"7-bit, marked for deletion", "40", kHalo4, "Halo", {}},
        {"reserved alphabet reads as 7-bit", "0C", kHalo4, "Halo", {}},
        {"reserved group reads as 7-bit", "80", kHalo4, "Halo", {}},
        {"message waiting, discard, 7-bit", "C0", kHalo4, "Halo", {}},
        {"message waiting, store, 7-bit", "D1", kHalo4, "Halo", {}},
        {"UCS2, class 0", "18", kOtp, "Kode OTP: 4821", {}},
        {"UCS2, marked for deletion", "48", kOtp, "Kode OTP: 4821", {}},
        {"message waiting, store, UCS2", "E0", kOtp, "Kode OTP: 4821", {}},
        {"8-bit data", "04", "050102030405", "[binary message, 5 octets]", DataInfo{5, {}}},
        {"compressed text is data", "20", kHalo4, "[binary message, 4 octets]", DataInfo{4, {}}},
    };
    // clang-format on
    for (const CodingCase& c : cases) {
        const auto m = DecodeDeliverPdu("+CMGL: 1,0,,30", Pdu("04", kNat, c.dcs, c.userData));
        ASSERT_TRUE(m) << c.name;
        EXPECT_EQ(m->text, c.text) << c.name;
        EXPECT_EQ(m->data, c.data) << c.name;
        EXPECT_EQ(m->kind, MessageKind::Deliver) << c.name;
    }
}

struct HeaderCase {
    const char* name;
    std::string firstOctet;
    std::string dcs;
    std::string userData;
    std::string text;
    std::optional<PartInfo> part;
    std::optional<DataInfo> data;
};

TEST(Deliver, UserDataHeaders) {
    // clang-format off
    const HeaderCase cases[] = {
        {"WAP push to port 2948", "44", "04", "110605040B8423F0" + kWapData,
         "[binary message, 10 octets, port 2948]", {}, DataInfo{10, 2948}},
        {"WAP push, part 1 of 2", "44", "04", "110B05040B8423F00003A702010102030405",
         "[binary message, 5 octets, port 2948]", PartInfo{0xA7, 2, 1}, DataInfo{5, 2948}},
        {"8-bit port element", "44", "F4", "07040402F500AABB", "[binary message, 2 octets, port 245]",
         {}, DataInfo{2, 245}},
        {"7-bit text to a port", "44", "00", "0A0605040B8423F0C834", "Hi", {}, {}},
        {"7-bit part after a port element", "44", "00", "100B05040B8423F00003A7020120D3", "Hi",
         PartInfo{0xA7, 2, 1}, {}},
        {"unknown element passed over", "44", "00", "09050A03000A019069", "Hi", {}, {}},
        {"UCS2 part", "44", "08", "080500032A0201" "0041", "A", PartInfo{42, 2, 1}, {}},
        {"header longer than the data", "44", "00", "03FF0000", "", {}, {}},
        {"8-bit header longer than the data", "44", "04", "03FF0000", "[binary message, 0 octets]", {},
         DataInfo{0, {}}},
    };
    // clang-format on
    for (const HeaderCase& c : cases) {
        const auto m =
            DecodeDeliverPdu("+CMGL: 1,0,,30", Pdu(c.firstOctet, kNat, c.dcs, c.userData));
        ASSERT_TRUE(m) << c.name;
        EXPECT_EQ(m->text, c.text) << c.name;
        EXPECT_EQ(m->part, c.part) << c.name;
        EXPECT_EQ(m->data, c.data) << c.name;
    }
}

TEST(Deliver, TextEndsAtTheDeclaredLength) {
    const std::pair<std::string, std::string> cases[] = {
        {"00" + kHalo + "FFFF", "Halo apa kabar"},
        {"00"
         "04C830FB8D41",
         "Halo"}, // the top bit of octet 4 is past septet 4
        {"08"
         "06004100620063"
         "0064",
         "Abc"},
        {"04"
         "02AABBCC",
         "[binary message, 2 octets]"},
        {"00"
         "0E9B720D04914C2815CB0593D100",
         "\u20AC5 \u0394\u03A6\u0393\u039B\u03A9\u03A0\u03A8\u03A3\u0398\u039E"},
    };
    for (const auto& [codingAndData, text] : cases) {
        const auto m = DecodeDeliverPdu(
            "+CMGL: 1,0,,30", Pdu("04", kNat, codingAndData.substr(0, 2), codingAndData.substr(2)));
        ASSERT_TRUE(m) << codingAndData;
        EXPECT_EQ(m->text, text) << codingAndData;
    }
}

struct KindCase {
    const char* name;
    std::string header; // index 7 for every entry
    std::string pdu;
    std::optional<MessageKind> kind; // nullopt: the entry cannot be read
    std::string sender;
    std::optional<ReportInfo> report;
};

TEST(Deliver, KindsOfListedEntries) {
    const std::string report = kSc + "060C" + kNat + kStamp + "62802101450482";
    const std::string submit = "\n0011000B818021436587F90000AA05E8329BFD06";
    // clang-format off
    const KindCase cases[] = {
        {"status report, delivered", "+CMGL: 7,1,,26", report + "00", MessageKind::StatusReport,
         "08123456789", ReportInfo{12, 0}},
        {"status report, failed", "+CMGL: 7,0,,26", kSc + "020C" + kNat + kStamp + "6280210145048246",
         MessageKind::StatusReport, "08123456789", ReportInfo{12, 0x46}},
        {"status report with the query bit", "+CMGL: 7,0,,26", kSc + "260C" + kNat + kStamp +
         "6280210145048220", MessageKind::StatusReport, "08123456789", ReportInfo{12, 0x20}},
        {"stored unsent SMS-SUBMIT", "+CMGL: 7,2,,19", submit, MessageKind::Submit, "", {}},
        {"stored sent SMS-SUBMIT", "+CMGL:7,3,,19", "\n0031000B818021436587F90000AA05E8329BFD06",
         MessageKind::Submit, "", {}},
        {"stat 2 whatever the first octet says", "+CMGL: 7,2,,19", kSc + "04" + kNat + "0000" + kStamp +
         kHalo, MessageKind::Submit, "", {}},
        {"SMS-SUBMIT listed as received", "+CMGL: 7,1,,19", submit, MessageKind::Submit, "", {}},
        {"text-mode stat: the first octet decides", "+CMGL: 7,\"REC READ\"", submit, MessageKind::Submit,
         "", {}},
        {"SMS-DELIVER", "+CMGL: 7,1,,19", kSc + "04" + kNat + "0000" + kStamp + kHalo,
         MessageKind::Deliver, "08123456789", {}},
        {"reserved message type", "+CMGL: 7,1,,19", kSc + "07" + kNat + "0000" + kStamp + kHalo, {},
         "", {}},
    };
    // clang-format on
    for (const KindCase& c : cases) {
        const auto m = DecodeDeliverPdu(c.header, c.pdu);
        ASSERT_EQ(m.has_value(), c.kind.has_value()) << c.name;
        if (!m) continue;
        EXPECT_EQ(m->kind, *c.kind) << c.name;
        EXPECT_EQ(m->index, "7") << c.name;
        EXPECT_EQ(m->sender, c.sender) << c.name;
        EXPECT_EQ(m->report, c.report) << c.name;
        if (m->kind != MessageKind::Deliver) {
            EXPECT_EQ(m->text, "") << c.name;
        }
    }
}

} // namespace

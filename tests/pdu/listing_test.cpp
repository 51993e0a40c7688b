#include "pdu/listing.h"

#include "pdu/gsm7.h"
#include "pdu/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

using namespace pelorin::pdu;

namespace {

const std::string kSample = "07912618485400F9040B818021436587F90000628021013504820EC830FB0D0AC3"
                            "C3A075581C9603";
const std::string kNational = "0B818021436587F9"; // 08123456789
const std::string kService = "07819026213F";      // 0962123, a "62962" sender
const std::string kOther = "0B818021436587F0";    // 08123456780

// SMS-DELIVER of one part with the 8-bit-reference header 05 00 03 ref total seq. The header and
// its fill bit are exactly seven septets, written here as the septets they pack into.
std::string PartPdu(int ref, int total, int seq, const std::string& text,
                    const std::string& originator = kNational) {
    std::string codes = {5,
                         0,
                         12,
                         static_cast<char>(8 * (ref % 16)),
                         static_cast<char>(ref / 16 + 16 * (total % 8)),
                         static_cast<char>(total / 8 + 32 * (seq % 4)),
                         static_cast<char>(seq / 4)};
    codes += TextToGsm(text);
    return "07912618485400F904" + originator + "0000" + "62802101350482" +
           HexByte(static_cast<long long>(codes.size())) + PackSeptets(codes);
}

std::string Answer(const std::vector<std::string>& pdus, int firstIndex = 1) {
    std::string answer = "\r\n";
    for (const std::string& pdu : pdus)
        answer += "+CMGL: " + std::to_string(firstIndex++) + ",0,,40\r\n" + pdu + "\r\n";
    return answer + "\r\nOK\r\n";
}

using Texts = std::vector<std::string>;

TEST(Listing, SingleMessage) {
    const MessageListing m = ParseMessageListing(Answer({kSample}));
    ASSERT_EQ(m.count(), 1u);
    EXPECT_EQ(m.texts[0], "Halo apa kabar");
    EXPECT_EQ(m.senders[0], "08123456789");
    EXPECT_EQ(m.timestamps[0], "08-12-26 10:53:40");
    EXPECT_EQ(m.indices[0], "1");
}

struct JoinCase {
    const char* name;
    std::vector<std::string> pdus;
    Texts texts;
};

TEST(Listing, JoinsParts) {
    std::vector<std::string> nine;
    for (int seq = 1; seq <= 9; ++seq)
        nine.push_back(PartPdu(42, 9, seq, std::string("p").append(std::to_string(seq))));
    // clang-format off
    const JoinCase cases[] = {
        {"parts out of order", {PartPdu(42, 3, 3, "three"), PartPdu(42, 3, 1, "one "),
                                PartPdu(42, 3, 2, "two ")}, {"one two three", "", ""}},
        {"references kept apart", {PartPdu(1, 2, 1, "a1"), PartPdu(2, 2, 1, "b1"),
                                   PartPdu(2, 2, 2, "b2"), PartPdu(1, 2, 2, "a2")},
         {"a1a2", "b1b2", "", ""}},
        {"total 9: every part kept", nine, {"p1p2p3p4p5p6p7p8p9", "", "", "", "", "", "", "", ""}},
        {"@ and $ in a part stay text", {PartPdu(42, 3, 1, "one@"), PartPdu(42, 3, 2, "two "),
          PartPdu(42, 3, 3, "Harga $5")}, {"one@two Harga $5", "", ""}},
        {"service sender collects nothing", {PartPdu(42, 2, 1, "one ", kService),
                                             PartPdu(42, 2, 2, "two ")}, {"one ", "two "}},
        {"another sender's part is never collected", {PartPdu(42, 2, 1, "one "),
          PartPdu(42, 2, 2, "two ", kService)}, {"one ", "two "}},
        {"one reference, two senders", {PartPdu(33, 2, 2, "L", kOther), PartPdu(33, 2, 1, "J"),
          PartPdu(33, 2, 2, "K"), PartPdu(33, 2, 1, "I", kOther)}, {"IL", "JK", "", ""}},
        {"parts 14 and 200", {PartPdu(42, 200, 200, "z"), PartPdu(42, 200, 14, "n"),
          PartPdu(42, 200, 1, "a")}, {"anz", "", ""}},
        {"sequence number 0 stays its own message", {PartPdu(42, 2, 1, "a"),
          PartPdu(42, 2, 0, "zero"), PartPdu(42, 2, 2, "b")}, {"ab", "zero", ""}},
        {"a repeated part number is a newer message: the older part stays alone",
         {PartPdu(42, 2, 2, "b"), PartPdu(42, 2, 1, "a"), PartPdu(42, 2, 2, "B")}, {"b", "aB", ""}},
        {"a part listed twice is shown once", {PartPdu(42, 2, 2, "b"), PartPdu(42, 2, 1, "a"),
          PartPdu(42, 2, 2, "b")}, {"ab", "", ""}},
        {"single message beside parts", {kSample, PartPdu(42, 2, 2, "b"), PartPdu(42, 2, 1, "a")},
         {"Halo apa kabar", "ab", ""}},
    };
    // clang-format on
    for (const JoinCase& c : cases) {
        const MessageListing m = ParseMessageListing(Answer(c.pdus, 5));
        EXPECT_EQ(m.texts, c.texts) << c.name;
        ASSERT_EQ(m.indices.size(), c.pdus.size()) << c.name;
        for (std::size_t i = 0; i < c.pdus.size(); ++i)
            EXPECT_EQ(m.indices[i], std::to_string(5 + i)) << c.name; // every part kept
    }
}

TEST(Listing, DropsMalformedEntries) {
    const std::string answer = "\r\n+CMT: ,25\r\n" + kSample +      // unsolicited: empty index
                               "\r\n+CMGL: x,0,,25\r\n" + kSample + // index not a number
                               "\r\n+CMGL: 99999999999,0\r\n" + kSample + // index out of range
                               "\r\n+CMGL:1,0\r\n" + kSample +      // no blank: read all the same
                               "\r\n+CMGL: 3,0\r\n+CMGL: 4,0\r\n" + // no PDU under header 3
                               kSample + "\r\n+CMGL: 5,0\r\nRING\r\n\r\nOK\r\n" + // no PDU at all
                               "\r\n+CMGL: 6,0"; // header on the last line
    const MessageListing m = ParseMessageListing(answer);
    EXPECT_EQ(m.indices, (Texts{"1", "4"}));
    EXPECT_EQ(ParseMessageListing("").count(), 0u);
    EXPECT_EQ(ParseMessageListing("\r\nOK\r\n").count(), 0u);
}

TEST(Listing, HeaderVariantsAndUnsolicitedLines) {
    const std::string pdu = "\r\n" + kSample + "\r\n";
    std::string lower = kSample;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return std::tolower(c); });
    // clang-format off
    const std::pair<const char*, std::string> answers[] = {
        {"empty alpha field", "\r\n+CMGL: 1,0,\"\",25" + pdu},
        {"alpha field with a name", "\r\n+CMGL: 1,1,\"Budi\",25" + pdu},
        {"no blank after the colon", "\r\n+CMGL:1,0,,26" + pdu},
        {"RING before the PDU", "\r\n+CMGL: 1,0,,25\r\nRING" + pdu},
        {"^MODE before the PDU", "\r\n+CMGL: 1,0,,25\r\n^MODE:5,4" + pdu},
        {"+CMTI before the PDU", "\r\n+CMGL: 1,0,,25\r\n+CMTI: \"ME\",3" + pdu},
        {"several lines before the PDU", "\r\n+CMGL: 1,0,,25\r\n\r\n^RSSI:17\r\n+CREG: 1\r\nRING" + pdu},
        {"unsolicited lines around the entry", "\r\n^BOOT:1,0,0,0\r\n+CMGL: 1,0,,25" + pdu +
         "\r\n^DSFLOWRPT:0000\r\nOK\r\n+CMTI: \"SM\",2\r\n"},
        {"blank after the PDU", "\r\n+CMGL: 1,0,,25\r\n" + kSample + " \r\n"},
        {"PDU in lower case", "\r\n+CMGL: 1,0,,25\r\n" + lower + "\r\n"},
    };
    // clang-format on
    for (const auto& [name, answer] : answers) {
        const MessageListing m = ParseMessageListing(answer + "\r\nOK\r\n");
        EXPECT_EQ(m.indices, Texts{"1"}) << name;
        EXPECT_EQ(m.texts, Texts{"Halo apa kabar"}) << name;
        EXPECT_EQ(m.senders, Texts{"08123456789"}) << name;
    }
    // An unsolicited line between two entries belongs to neither.
    const MessageListing two =
        ParseMessageListing("\r\n+CMGL: 1,0,,25" + pdu + "RING\r\n+CMGL: 2,0,,25" + pdu);
    EXPECT_EQ(two.indices, (Texts{"1", "2"}));
}

TEST(Listing, EntriesThatAreNotReceivedMessages) {
    const std::string report = "07912618485400F9060C0B818021436587F9628021013504826280210145048200";
    const std::string submit = "0011000B818021436587F90000AA05E8329BFD06";
    const std::string answer =
        "\r\n+CMGL: 1,0,,26\r\n" + report + "\r\n+CMGL: 2,2,,19\r\n" + submit +
        "\r\n+CMGL: 3,3,,19\r\n" + submit + "\r\n+CMGL: 4,1,,25\r\n" + kSample +
        "\r\n+CMGL: 5,0,,25\r\n07912618485400F9070B818021436587F9" // reserved type
        "0000628021013504820EC830FB0D0AC3C3A075581C9603\r\n\r\nOK\r\n";
    const std::vector<DeliveredMessage> listed = ParseListedMessages(answer);
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(listed[0].kind, MessageKind::StatusReport);
    EXPECT_EQ(listed[1].kind, MessageKind::Submit);
    EXPECT_EQ(listed[2].kind, MessageKind::Submit);
    EXPECT_EQ(listed[3].kind, MessageKind::Deliver);
    const MessageListing m = ParseMessageListing(answer);
    EXPECT_EQ(m.indices, Texts{"4"});
    EXPECT_EQ(m.texts, Texts{"Halo apa kabar"});
}

TEST(Listing, BinaryPartsMakeOneDescription) {
    const std::string head = "07912618485400F9440B818021436587F9000462802101350482";
    const std::string header = "0B05040B8423F00003A702"; // port 2948, reference 0xA7, 2 parts
    // Two parts of a WAP push (3 and 5 octets) and a text part that shares their reference.
    const MessageListing m = ParseMessageListing(Answer({head + "0F" + header +
                                                             "02"
                                                             "112233",
                                                         head + "11" + header +
                                                             "01"
                                                             "0102030405",
                                                         PartPdu(0xA7, 2, 1, "text")}));
    EXPECT_EQ(m.texts, (Texts{"[binary message, 8 octets, port 2948]", "", "text"}));
}

TEST(CdmaListing, ReadsTextFormat) {
    MessageListing m =
        ParseCdmaListing("+CMGL: 2,1\r\n0B08123456789260812105340000004Test\r\n\r\nOK\r\n");
    ASSERT_EQ(m.count(), 1u);
    EXPECT_EQ(m.indices[0], " 2");
    EXPECT_EQ(m.senders[0], "08123456789");
    EXPECT_EQ(m.timestamps[0], "12-08-26 10:53:40");
    EXPECT_EQ(m.texts[0], "Test");

    m = ParseCdmaListing("junk\r\n+CMGL: 3,1\r\n041234260812105340000008It's \"\r\nok\r\n"
                         "+CMGL: x,1\r\n0412342608121053400000002Hi\r\n+CMGL: 4,1\r\n"
                         "+CMGL: 5,1\r\n0B0812\r\n\r\nOK\r\n");
    EXPECT_EQ(m.indices, (Texts{" 3", " 5"}));
    EXPECT_EQ(m.texts, (Texts{"Its ok", ""})); // text continued on the next line, quotes gone
    EXPECT_EQ(m.senders, (Texts{"1234", "0812"}));
    EXPECT_EQ(m.timestamps, (Texts{"12-08-26 10:53:40", "-- ::"}));
}

} // namespace

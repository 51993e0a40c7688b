// Malformed serial input must never crash, throw, read out of bounds (run under ASan) or hang.
#include "pdu/deliver.h"
#include "pdu/listing.h"

#include <gtest/gtest.h>

#include <random>

using namespace pelorin::pdu;

namespace {

const std::string kSampleLine =
    "\n07912618485400F9040B818021436587F90000628021013504820EC830FB0D0AC"
    "3C3A075581C9603";
const std::string kPartLine = "\n07912618485400F9040B818021436587F90000628021013504820D0500032A03"
                              "01E061393DE602";

void ExpectParallel(const MessageListing& m) {
    EXPECT_EQ(m.timestamps.size(), m.count());
    EXPECT_EQ(m.senders.size(), m.count());
    EXPECT_EQ(m.indices.size(), m.count());
}

TEST(Robustness, EveryTruncationOfAPdu) {
    for (const std::string& line : {kSampleLine, kPartLine}) {
        for (std::size_t n = 0; n <= line.size(); ++n) {
            const auto m = DecodeDeliverPdu("+CMGL: 1,0", line.substr(0, n));
            ASSERT_TRUE(m) << n;
            EXPECT_LE(m->sender.size(), 12u);
            ExpectParallel(ParseMessageListing("+CMGL: 1,0\r" + line.substr(0, n) + "\r"));
        }
    }
}

TEST(Robustness, LengthsClaimingMoreThanTheLine) {
    // Service-centre, originator and user data lengths all at their maximum.
    for (const char* line :
         {"\nFF", "\n0004FF", "\n0004FF81", "\n0004028190000062802101350482FF",
          "\n00040281900008628021013504FFFF", "\nZZ04Z", "\n0006FF", "\n0044FF"}) {
        const auto m = DecodeDeliverPdu("+CMGL: 1,0", line);
        ASSERT_TRUE(m) << line;
    }
    EXPECT_FALSE(DecodeDeliverPdu("+CMGL: 1,0", "\n00FFFF")); // first octet FF: reserved type
    // UDL 255 of zero padding in UCS2: 127 NUL characters, not a read past the line.
    EXPECT_EQ(DecodeDeliverPdu("+CMGL: 1", "\n0004028190000862802101350482FF")->text.size(), 127u);
}

TEST(Robustness, RandomGarbage) {
    std::mt19937 rng(20240601);
    const std::string pieces[] = {"+CMGL: ",
                                  "+CMT",
                                  ",",
                                  "\r\n",
                                  "\r",
                                  "\n",
                                  "0",
                                  "5",
                                  "00",
                                  "05",
                                  "FF",
                                  "1B",
                                  "7",
                                  "A",
                                  "\x80",
                                  "\xFF",
                                  " ",
                                  "OK",
                                  kSampleLine.substr(1),
                                  kPartLine.substr(1, 40)};
    for (int round = 0; round < 3000; ++round) {
        std::string input;
        const int count = static_cast<int>(rng() % 60);
        for (int i = 0; i < count; ++i)
            input += pieces[rng() % std::size(pieces)];
        ExpectParallel(ParseMessageListing(input));
        ExpectParallel(ParseCdmaListing(input));
        (void)DecodeDeliverPdu(input, input);
    }
}

TEST(Robustness, MegabytesStayLinear) {
    // Many identical parts share one key: the grouping must not compare every pair.
    std::string answer;
    const std::string entry = "+CMGL: 1,0,,40\r" + kPartLine + "\r";
    while (answer.size() < (2u << 20))
        answer += entry;
    const MessageListing m = ParseMessageListing(answer);
    ASSERT_EQ(m.count(), answer.size() / entry.size());
    EXPECT_EQ(m.texts[0], "part1."); // one part listed many times is shown once
    EXPECT_EQ(m.texts.back(), "");
    EXPECT_EQ(m.ownerOf(m.count() - 1), 0u);

    // The same part stamped at thousands of times an hour or more apart: as many messages of one
    // key, told apart without comparing every pair.
    std::string distinct;
    const auto swapped = [](int n) { return std::to_string(n % 10) + std::to_string(n / 10); };
    for (int n = 0; distinct.size() < (1u << 20); ++n) {
        std::string line = kPartLine;
        line.replace(line.find("21013504"), 8, swapped(n % 28 + 1) + swapped(n / 28 % 24) + "3504");
        distinct += "+CMGL: " + std::to_string(n) + ",0,,40\r" + line + "\r";
    }
    const MessageListing many = ParseMessageListing(distinct);
    EXPECT_EQ(many.texts[28 * 24], "") << "the same stamp again: a repeat";
    EXPECT_EQ(many.texts[1], "part1.") << "another stamp: another message";

    // One huge line of user data, and a huge CDMA piece.
    const std::string huge = kSampleLine + std::string(2u << 20, '7');
    EXPECT_EQ(ParseMessageListing("+CMGL: 1\r" + huge + "\r").count(), 1u);
    EXPECT_EQ(ParseCdmaListing("+CMGL: 1\r\nFF" + std::string(2u << 20, '\r')).count(), 1u);
}

} // namespace

// The network's USSD line as the stored answer, the cases the end-to-end table leaves out
// (3GPP TS 27.007 7.15, codings of TS 23.038 5). Packed 7-bit texts were packed by hand from
// TS 23.038 6.1.2.

#include <gtest/gtest.h>

#include "outbound/ussd_answer.h"

using namespace pelorin::outbound;

namespace {

TEST(UssdAnswer, StoredAsTheReadableText) {
    const std::pair<const char*, const char*> cases[] = {
        {"+CUSD: 0,\"20AC00200035002E0030003000300020D83DDE00\",72", "\u20AC 5.000 \U0001F600"},
        {"+CUSD: 0,\"00530061006C0064006F\",88", "Saldo"},                     // UCS2, with a class
        {"+cusd: 0,\"d3309bfc06c564331a\",15", "Saldo 1234"},
        {"+CUSD: 0,\"C2B7BB3E0715405238A8068301\",15", "Bonus \u00E9 Rp 500"},    // packed, beyond ASCII
        {"+CUSD: 0,\"D03A7B1E06D51A\",15", "Pulsa 5"},                         // padding CR dropped
        {"+CUSD: 0,\"D03A7B1E06D500\",15", "Pulsa 5"},                         // padding zero dropped
        {"+CUSD: 0,\"1234\",15", "1234"},                                      // digits stay digits
        {"+CUSD: 0,\"BEBE\",15", "BEBE"},                                      // a hex word is no packing
        {"+CUSD: 1,\"1. Cek pulsa\r\n2. Paket, 10,15\",15\r\n", "1. Cek pulsa\r\n2. Paket, 10,15"},
        {"\r\n+CUSD: 4\r\n\r\nOK\r\n", "USSD request not supported"},
        {"\r\n+CME ERROR: 258\r\n", "\r\n+CME ERROR: 258\r\n"},
        {"\r\nERROR\r\n", "\r\nERROR\r\n"},
        {"\r\nOK\r\n", "\r\nOK\r\n"},
        {"", ""},
        {"\r\n+CUSD: 0,\"unfinished", "\r\n 0,\"unfinished"},
        {"+CUSD: 0,\"Harga \xA3 5\",15", "Harga \u00A3 5"}, // the modem's own 8-bit bytes
    };
    for (const auto& [answer, stored] : cases) EXPECT_EQ(ReadableUssdAnswer(answer), stored) << answer;
}

TEST(UssdAnswer, LineFieldsAreRead) {
    const std::optional<UssdLine> line = FindUssdLine("\r\nOK\r\n\r\n+CUSD: 1 , \"Menu\" , 72\r\n");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->mode, 1);
    EXPECT_EQ(line->text, "Menu");
    EXPECT_EQ(line->dcs, 72);
    EXPECT_FALSE(FindUssdLine("\r\nOK\r\n"));
    EXPECT_FALSE(FindUssdLine("+CUSD: x"));
    EXPECT_EQ(UssdText("0041", 0x48), "A");
    EXPECT_EQ(UssdText("E5980041", 0x11), "A") << "UCS2 after two octets of language";
    EXPECT_EQ(UssdText("C8329BFD06", 0xF4), "C8329BFD06") << "8-bit data stays as it came";
}

} // namespace

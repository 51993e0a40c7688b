// The pure parts of sending: part counts for the limits, the CDMA argument, web-service
// URLs and number normalisation.

#include <gtest/gtest.h>

#include "outbound/dispatch.h"
#include "outbound/limits.h"
#include "outbound/modem_submit.h"
#include "outbound/tcp_menu.h"
#include "outbound/wap_push.h"
#include "outbound/web_requests.h"
#include "outbound/web_gateway.h"

using namespace pelorin::outbound;

TEST(LimitParts, EveryTextBooksThePartsTheModemIsHanded) {
    struct Case {
        const char* name;
        std::string text;
        int parts;
    };
    const Case cases[] = {
        {"empty", "", 0},
        {"160 septets", std::string(160, 'a'), 1},
        {"161 septets", std::string(161, 'a'), 2},
        {"two parts of 152", std::string(304, 'a'), 2},
        {"one more", std::string(305, 'a'), 3},
        {"an escape pair makes 161 septets", std::string(159, 'a') + "{", 2},
        {"300 escape pairs", std::string(300, '{'), 4},
        {"70 UCS2 units (\u0105 has no GSM code)", "\u0105" + std::string(69, 'a'), 1},
        {"71 UCS2 units", "\u0105" + std::string(70, 'a'), 2},
        {"a line break counts as one character", std::string(159, 'a') + "\r\n", 1},
        {"256 parts", std::string(255 * 152 + 1, 'a'), 256},
    };
    for (const Case& c : cases) EXPECT_EQ(BookedParts(c.text), c.parts) << c.name;
}

TEST(ModemNumbers, TextsThatCanNeverGoOutAreNamed) {
    struct Case {
        std::string number;
        std::string text;
        const char* reason; // a word of it; empty when the message can go
    };
    const Case cases[] = {
        {"0812", "x", ""},
        {"", "x", "destination"},
        {"notanumber", "x", "destination"},
        {"081234567890123456789", "x", "destination"}, // 21 digits
        {"+1555", "x", ""},
        {"+", "x", "destination"},
        {"0812", "", "empty"},
        {"0812", std::string(255 * 152, 'a'), ""},
        {"0812", std::string(255 * 152 + 1, 'a'), "256 parts"},
        {"0812", "\u0105" + std::string(255 * 66 - 1, 'a'), ""},
        {"0812", "\u0105" + std::string(255 * 66, 'a'), "256 parts"},
    };
    for (const Case& c : cases) {
        const std::string reason = UnsendableReason(c.number, c.text);
        if (*c.reason == '\0') {
            EXPECT_EQ(reason, "") << c.number << " " << c.text.size();
        } else {
            EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        }
    }
}

TEST(CdmaArgument, LengthsAndBytesInHex) {
    EXPECT_EQ(BuildCdmaSendArgument("0812", "AB"), "0338313202024142");
    EXPECT_EQ(BuildCdmaSendArgument("812", ""), "033831320200");
    EXPECT_EQ(BuildCdmaSendArgument("", "A"), "00020141");
    EXPECT_EQ(BuildCdmaSendArgument("", "\u00E9\u0105"), "000202E93F"); // Windows-1252 bytes, "?" beyond
    // Lengths of 256 and more take three digits rather than being cut.
    const std::string argument = BuildCdmaSendArgument("1", std::string(256, 'a'));
    EXPECT_EQ(argument.substr(0, 9), "013102100");
    EXPECT_EQ(argument.size(), 9u + 512u);
}

TEST(WebGateway, BodyEncodingKeepsOnlyTheSafeBytes) {
    struct Case {
        std::string text;
        std::string encoded;
    };
    for (const Case& c : {Case{"Halo 123", "Halo+%31%32%33"}, Case{"a&b=c", "a%26b%3Dc"},
                          Case{"x_y.z-w@v*", "x_y.z-w@v*"}, Case{"\n\u00E9\u20AC", "%0A%E9%80"},
                          // Beyond Windows-1252: the character's UTF-8 bytes.
                          Case{"\u0105\U0001F64F", "%C4%85%F0%9F%99%8F"},
                          Case{std::string("ab\0cd", 5), "ab"}, Case{"", ""}}) {
        EXPECT_EQ(UrlEncodeText(c.text), c.encoded) << c.text;
    }
}

TEST(WebGateway, DestinationsBecomeNational) {
    EXPECT_EQ(normaliseWebDestination("+6281234"), "081234");
    EXPECT_EQ(normaliseWebDestination("6281234"), "081234");
    EXPECT_EQ(normaliseWebDestination("081234"), "081234");
    EXPECT_EQ(normaliseWebDestination("+62+62"), "00");
}

TEST(WebGateway, UrlCarriesAccountTypeAndTime) {
    const GatewayAccount account{"sms.example.com:8080", "KEY", "SIG", true};
    const QDateTime at(QDate(2026, 3, 4), QTime(5, 6, 7));
    EXPECT_EQ(BuildGatewayUrl(account, "0812", "Hi 1", at),
              "http://sms.example.com:8080/UmbVmsXLWebService/UmbVmsTransaction.asmx/"
              "MessagesOutBoxInsertExtend?activationKey=KEY&destination=0812&bodyMOB=Hi+%31"
              "&smppVmsTypeID=Broadcast&timeRequest=2026-03-04 05:06:07&sign=SIG");
    GatewayAccount reply = account;
    reply.broadcast = false;
    EXPECT_NE(BuildGatewayUrl(reply, "0812", "x", at).find("&smppVmsTypeID=Reply&"), std::string::npos);
}

TEST(ModemNumbers, NormalisedOrRefused) {
    struct Case {
        std::string raw;
        bool ok;
        std::string normalised;
    };
    for (const Case& c : {Case{" +62 811 222 333", true, "0811222333"}, Case{"62812345", true, "62812345"},
                          Case{"", false, ""}, Case{"0811-222-333", true, "0811222333"}, Case{"+1 555-0100", true, "+15550100"},
                          Case{"0812#", false, ""}, Case{"+62 812-345-678", true, "0812345678"},
                          Case{std::string(20, '9'), true, std::string(20, '9')},
                          Case{std::string(21, '9'), false, ""}}) {
        std::string number = c.raw;
        EXPECT_EQ(normaliseModemNumber(number), c.ok) << c.raw;
        if (c.ok) {
            EXPECT_EQ(number, c.normalised) << c.raw;
        }
    }
}

TEST(WapPush, PduFollowsTheServiceIndicationLayout) {
    const std::string head = "0605040B8423F0010601AE02056A0045C6";
    struct Case {
        const char* name;
        const char* number;
        const char* address;
        std::string expected;
    };
    const Case cases[] = {
        {"scheme and www. dropped, token 0D", "0812345", "http://www.ab.co",
         "004155" "08" "91" "26183254" "00F5" "22" + head + "0D" "03" "61622E636F" "00070103" "616263" "000101"},
        {"capital letters give the same", "0812345", "HTTP://WWW.ab.co",
         "004155" "08" "91" "26183254" "00F5" "22" + head + "0D" "03" "61622E636F" "00070103" "616263" "000101"},
        {"neither prefix: carried whole, token 0C", "081234", "ab.co",
         "004155" "07" "91" "261832F4" "00F5" "22" + head + "0C" "03" "61622E636F" "00070103" "616263" "000101"},
        {"other schemes stay", "62811", "https://x",
         "004155" "05" "91" "2618F1" "00F5" "26" + head + "0C" "03" "68747470733A2F2F78" "00070103" "616263"
         "000101"},
    };
    for (const Case& c : cases) EXPECT_EQ(BuildWapPushPdu(c.number, "abc", c.address), c.expected) << c.name;
    // Characters beyond ASCII travel as UTF-8, the document's declared character set.
    EXPECT_NE(BuildWapPushPdu("0812", "\u00E9", "x")->find("00070103C3A9000101"), std::string::npos);
}

TEST(WapPush, APushThatDoesNotFitOneSmsIsNeverBuilt) {
    // 17 + 1 + 1 + 1 + 4 + 3 octets of frame and address: 113 octets of text fill 140.
    EXPECT_TRUE(BuildWapPushPdu("0812", std::string(113, 'a'), "x"));
    EXPECT_FALSE(BuildWapPushPdu("0812", std::string(114, 'a'), "x"));
}

TEST(MenuRequest, KeysInAnyCaseAndTemplatesChosenByTheFirstInput) {
    const std::string section = "5\r\nMESSAGE=Menu ^1\r\nTipe=PULSA\r\nmessage=Isi ^1 sebesar ^2 (^2)^9^3\r\n"
                                "Tipe=PULSA\r\nMESSAGE=second block never reached\r\nTipe=NOMSG\r\nx=y\r\n";
    struct Case {
        const char* request;
        const char* caller;
        const char* filled;
    };
    const Case cases[] = {
        {"msisdn=0812\r\nusrinp1=PULSA\r\nUsrInp2=5000\r\n", "0812", "Isi PULSA sebesar 5000 (5000)^9"},
        {"MSISDN=0813\r\nUSRINP1=5", "0813", "Menu 5"},
        {"MSISDN=0814\r\nUSRINP1=pulsa\r\n", "0814", ""},   // block keys compare exactly
        {"MSISDN=0815\r\nUSRINP1=NOMSG\r\n", "0815", ""},   // a block without a template
        {"USRINP1=PULSA\r\nUSRINP2=1", "", "Isi PULSA sebesar 1 (1)^9"},
    };
    for (const Case& c : cases) {
        const MenuRequest request = ParseMenuRequest(c.request);
        EXPECT_EQ(request.caller, c.caller) << c.request;
        EXPECT_EQ(FillMenuTemplate(section, request), c.filled) << c.request;
    }
    EXPECT_EQ(std::string(kMenuReply).size(), 151u);
}

// What the end-to-end suite leaves out: markers that are not placeholders, text from another
// encoding, and a cut that never falls inside a character.
TEST(MenuRequest, FillingKeepsWholeCharacters) {
    struct Case {
        const char* name;
        std::string section;
        std::string request;
        std::string filled;
    };
    const std::string euro = "\xE2\x82\xAC"; // 3 bytes of UTF-8
    std::string longInput, cutAt64KB = "x";
    while (longInput.size() < 70000) longInput += euro;
    while (cutAt64KB.size() + 3 <= 65536) cutAt64KB += euro;
    const Case cases[] = {
        {"a lone caret and ^0, ^9 are text", "Tipe=A\r\nMESSAGE=^ ^0^9^", "USRINP1=A", "^ ^0^9^"},
        {"Windows-1252 bytes", "Tipe=A\r\nMESSAGE=^2", "USRINP1=A\r\nUSRINP2=b\x80", "b" + euro},
        {"cut between characters", "Tipe=A\r\nMESSAGE=x^2", "USRINP1=A\r\nUSRINP2=" + longInput, cutAt64KB},
    };
    for (const Case& c : cases) EXPECT_EQ(FillMenuTemplate(c.section, ParseMenuRequest(c.request)), c.filled) << c.name;
}

TEST(MenuRequest, AllowedClientsAreAddressesOrSubnets) {
    const auto rules = ParseAllowedClients("10.0.0.5, 192.168.1.0/24,::1,,");
    ASSERT_TRUE(rules);
    EXPECT_EQ(rules->size(), 3u);
    for (const char* bad : {"menu.example", "10.0.0.300", "10.0.0.0/33", "10.0.0.1;10.0.0.2"})
        EXPECT_FALSE(ParseAllowedClients(bad)) << bad;
}

TEST(WebRequests, CredentialsNeverReachTheLog) {
    EXPECT_EQ(MaskCredentials(QStringLiteral("http://h/p?activationKey=K1&destination=0812&sign=S2")),
              QStringLiteral("http://h/p?activationKey=***&destination=0812&sign=***"));
    EXPECT_EQ(MaskCredentials(QStringLiteral("Error transferring http://h/p?ActivationKey=K&sign=S - 404")),
              QStringLiteral("Error transferring http://h/p?ActivationKey=***&sign=*** - 404"));
}

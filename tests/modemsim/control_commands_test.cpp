// Control requests and the escaping of raw bytes, without a socket.

#include "modemsim/control_commands.h"
#include "modemsim/control_protocol.h"

#include <gtest/gtest.h>

namespace pelorin::modemsim {
namespace {

using namespace std::chrono_literals;

class ControlCommandsTest : public ::testing::Test {
protected:
    ControlCommandsTest() {
        hooks.hangup = [this] { ++hangups; };
        hooks.reopen = [this](std::string& result) {
            result = reopenOk ? "/dev/pts/99" : "no pty left";
            return reopenOk;
        };
        hooks.quit = [this] { quitAsked = true; };
        hooks.info = [] { return std::vector<std::string>{"device /tmp/x/COM5"}; };
    }
    std::string run(std::string_view line, AtEngine& engine) {
        return executeControlRequest(line, engine, hooks);
    }
    std::string run(std::string_view line) { return run(line, gsm); }

    AtEngine gsm{Mode::Gsm};
    AtEngine cdma{Mode::Cdma};
    ControlHooks hooks;
    int hangups = 0;
    bool reopenOk = true;
    bool quitAsked = false;
};

TEST(ControlProtocolTest, EscapingRoundTripsEveryByte) {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    const std::string escaped = escapeBytes(all);
    EXPECT_EQ(escaped.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(unescapeBytes(escaped), all);
    EXPECT_EQ(escapeBytes("AT+CMGF=0\r"), "AT+CMGF=0\\r");
    EXPECT_EQ(escapeBytes(std::string("00\x1A", 3)), "00\\x1A");
    EXPECT_EQ(escapeBytes("a\\b\t\n"), "a\\\\b\\t\\n");
}

TEST(ControlProtocolTest, UnescapeKeepsUnknownAndCutEscapes) {
    EXPECT_EQ(unescapeBytes("\\q\\x4"), "\\q\\x4");
    EXPECT_EQ(unescapeBytes("end\\"), "end\\");
    EXPECT_EQ(unescapeBytes("\\x41\\x6a"), "Aj");
}

TEST_F(ControlCommandsTest, StoresPdusAndListsThem) {
    EXPECT_EQ(run("store ME 0 0791AA"), "OK 1\n");
    EXPECT_EQ(run("store me 1 0791BB"), "OK 2\n");
    EXPECT_EQ(run("store SM 3 0791CC"), "OK 1\n");
    EXPECT_EQ(run("list"), "- ME 1 0 0791AA\n- ME 2 1 0791BB\n- SM 1 3 0791CC\nOK\n");
    EXPECT_EQ(run("delete ME 1"), "OK\n");
    EXPECT_EQ(run("delete ME 1"), "ERR no message 1\n");
    EXPECT_EQ(run("wipe"), "OK\n");
    EXPECT_EQ(run("list"), "OK\n");
}

TEST_F(ControlCommandsTest, RefusesMalformedStoreRequests) {
    for (const char* bad : {"store", "store XX 0 00", "store ME 4 00", "store ME 0",
                            "store ME 0 00 extra", "store ME x 00"})
        EXPECT_EQ(run(bad).substr(0, 4), "ERR ") << bad;
    EXPECT_EQ(run("cdma-store 0 0811 260812105340 Hi").substr(0, 4), "ERR ")
        << "a GSM modem keeps PDUs";
    EXPECT_EQ(run("store ME 0 00", cdma).substr(0, 4), "ERR ") << "a CDMA modem keeps texts";
}

TEST_F(ControlCommandsTest, StoresCdmaTextWithBlanksAndEscapes) {
    EXPECT_EQ(run("cdma-store 1 08123456789 260812105340 Halo  apa\\r\\nkabar", cdma), "OK 1\n");
    EXPECT_EQ(run("cdma-store-raw 0 0B0812", cdma), "OK 2\n");
    EXPECT_EQ(run("list", cdma),
              "- CDMA 1 1 0B08123456789260812105340000010Halo  apa\\r\\nkabar\n"
              "- CDMA 2 0 0B0812\nOK\n");
    EXPECT_EQ(run("cdma-store 2 0811 260812105340 x", cdma).substr(0, 4), "ERR ");
    EXPECT_EQ(run("cdma-store 0 0811 2608121053 x", cdma).substr(0, 4), "ERR ")
        << "the stamp has 12 characters";
}

TEST_F(ControlCommandsTest, LogAndSubmittedShowEscapedRawBytes) {
    const auto now = Clock::now();
    gsm.receive("ATE0\rAT+CMGS=1\r", now);
    gsm.receive("0000\x1A", now);
    EXPECT_EQ(run("log"), "- ATE0\\r\n- AT+CMGS=1\\r\n- 0000\\x1A\nOK 3\n");
    EXPECT_EQ(run("submitted"), "- 0000\nOK 1\n");
    EXPECT_EQ(run("log-clear"), "OK\n");
    EXPECT_EQ(run("log"), "OK 0\n");
    EXPECT_EQ(run("submitted"), "OK 0\n");
}

TEST_F(ControlCommandsTest, SetsCusdAnswerDelayAndCmgsReply) {
    EXPECT_EQ(run("set cusd Sisa  pulsa \\x22Rp\\x22"), "OK\n");
    EXPECT_EQ(gsm.cusdAnswer(), "Sisa  pulsa \"Rp\"");
    EXPECT_EQ(run("set cmgs error"), "OK\n");
    EXPECT_FALSE(gsm.cmgsSucceeds());
    EXPECT_EQ(run("set cmgs ok"), "OK\n");
    EXPECT_TRUE(gsm.cmgsSucceeds());
    EXPECT_EQ(run("set cusd-delay 250"), "OK\n");
    EXPECT_EQ(run("set cusd-delay -1").substr(0, 4), "ERR ");
    EXPECT_EQ(run("set cmgs maybe").substr(0, 4), "ERR ");
}

TEST_F(ControlCommandsTest, FaultRequestsReachTheEngine) {
    EXPECT_EQ(run("fault error --times 2 AT+CPMS=\"SM\""), "OK\n");
    EXPECT_EQ(run("fault silence"), "OK\n");
    EXPECT_EQ(run("fault slow 300"), "OK\n");
    EXPECT_EQ(run("fault garbage"), "OK\n");
    EXPECT_EQ(gsm.describeFaults(),
              "error x2 AT+CPMS=\"SM\"; silence *; slow 300; garbage 8 seed 1");
    EXPECT_EQ(run("fault garbage 16 99"), "OK\n");
    EXPECT_EQ(run("fault none"), "OK\n");
    EXPECT_EQ(gsm.describeFaults(), "none");
    for (const char* bad : {"fault", "fault slow", "fault slow x", "fault garbage 0",
                            "fault error --times 0 AT", "fault hangup now", "fault melt"})
        EXPECT_EQ(run(bad).substr(0, 4), "ERR ") << bad;
}

TEST_F(ControlCommandsTest, UnsolicitedLinesUssdFormsAndCodedErrors) {
    const Clock::time_point now = Clock::time_point{} + 1h;
    const auto at = [&](std::string_view line) { return executeControlRequest(line, gsm, hooks, now); };
    EXPECT_EQ(at("inject ^RSSI:17"), "OK\n");
    EXPECT_EQ(at("inject --at after-header --every 500 --times 2 ^MODE:5,4"), "OK\n");
    EXPECT_EQ(at("inject --at before-answer +CUSD: 0,\"a b\",15"), "OK\n");
    EXPECT_EQ(gsm.unsolicited().describe(),
              "now ^RSSI:17; after-header ^MODE:5,4 every 500ms x2; before-answer +CUSD: 0,\"a b\",15");
    gsm.expire(now);
    EXPECT_EQ(gsm.takeOutput(now), "\r\n^RSSI:17\r\n");
    EXPECT_EQ(at("inject none"), "OK\n");
    EXPECT_TRUE(gsm.unsolicited().empty());
    for (const char* bad : {"inject", "inject --at nowhere RING", "inject --every 0 RING", "inject --times x RING",
                            "inject --at now", "set cmti maybe", "set cusd-order later", "set cmgs error x",
                            "fault cms", "fault cme 11 --times 0 ATE0"})
        EXPECT_EQ(at(bad).substr(0, 4), "ERR ") << bad;

    EXPECT_EQ(at("set cusd-line +CUSD: 0,\"0053\",72"), "OK\n");
    EXPECT_EQ(gsm.cusdLine(), "+CUSD: 0,\"0053\",72");
    EXPECT_EQ(at("set cusd-line"), "OK\n");
    EXPECT_EQ(gsm.cusdLine(), "+CUSD: 0,\"Sisa pulsa Rp 10000\",15");
    EXPECT_EQ(at("set cusd-order before-ok"), "OK\n");
    EXPECT_EQ(at("fault cme 11 --times 1 ATE0"), "OK\n");
    EXPECT_EQ(at("fault cms 500 AT+CMGL"), "OK\n");
    EXPECT_EQ(gsm.describeFaults(), "+CME ERROR: 11 x1 ATE0; +CMS ERROR: 500 AT+CMGL");
    EXPECT_EQ(at("set cmgs error 331"), "OK\n");
    EXPECT_FALSE(gsm.cmgsSucceeds());

    // A stored message is announced once the module asked for it; a stored outbox entry never.
    EXPECT_EQ(at("set cmti on"), "OK\n");
    EXPECT_EQ(at("store SM 0 0791"), "OK 1\n");
    EXPECT_EQ(at("store SM 3 0791"), "OK 2\n");
    EXPECT_EQ(gsm.takeOutput(now), "\r\n+CMTI: \"SM\",1\r\n");
}

TEST_F(ControlCommandsTest, SetsSignalRegistrationAndOperator) {
    EXPECT_EQ(run("signal 31 0"), "OK\n");
    EXPECT_EQ(run("signal 99 99"), "OK\n");
    EXPECT_EQ(run("registration 5"), "OK\n");
    EXPECT_EQ(run("operator \"INDOSAT OOREDOO\""), "OK\n");
    EXPECT_EQ(gsm.network().rssi, 99);
    EXPECT_EQ(gsm.network().registration, 5);
    EXPECT_EQ(gsm.network().operatorName, "INDOSAT OOREDOO");
    EXPECT_EQ(run("operator XL"), "OK\n");
    EXPECT_EQ(gsm.network().operatorName, "XL");
    for (const char* bad : {"signal 32 0", "signal 20 8", "signal 20", "registration 6", "registration", "operator",
                            "operator \"\"", "operator a\"b"})
        EXPECT_EQ(run(bad).substr(0, 4), "ERR ") << bad;
}

TEST_F(ControlCommandsTest, HangupReopenAndQuitGoThroughHooks) {
    EXPECT_EQ(run("fault hangup"), "OK\n");
    EXPECT_EQ(hangups, 1);
    EXPECT_EQ(run("reopen"), "OK /dev/pts/99\n");
    reopenOk = false;
    EXPECT_EQ(run("reopen"), "ERR no pty left\n");
    EXPECT_FALSE(quitAsked);
    EXPECT_EQ(run("quit"), "OK\n");
    EXPECT_TRUE(quitAsked);
}

TEST_F(ControlCommandsTest, InfoAndUnknownRequests) {
    const std::string info = run("info");
    EXPECT_NE(info.find("- device /tmp/x/COM5\n"), std::string::npos);
    EXPECT_NE(info.find("- mode gsm\n- echo on\n- storage ME\n- cmgs ok\n"), std::string::npos);
    EXPECT_EQ(info.substr(info.size() - 3), "OK\n");
    EXPECT_EQ(run("ping"), "OK\n");
    EXPECT_EQ(run(""), "ERR empty request\n");
    EXPECT_EQ(run("frobnicate"), "ERR unknown request frobnicate (try help)\n");
}

} // namespace
} // namespace pelorin::modemsim

#include <gtest/gtest.h>

#include "app/settings.h"

using namespace pelorin::app;

namespace {

Settings parsed(const std::string& argument, int* pieces = nullptr) {
    Settings s;
    const int n = applyCommandLine(s, argument);
    if (pieces != nullptr) *pieces = n;
    return s;
}

TEST(CommandLine, NoArgumentKeepsEveryDefault) {
    int pieces = -1;
    const Settings s = parsed("", &pieces);
    EXPECT_EQ(pieces, 0);
    EXPECT_EQ(s.cport, "5");
    EXPECT_EQ(s.cmodem, "WAVECOM");
    EXPECT_EQ(s.cbaud, "115200");
    EXPECT_EQ(s.chands, "2");
    EXPECT_EQ(s.edelay, "0");
    EXPECT_EQ(s.enama, "enama");
    EXPECT_FALSE(s.SendEnabled);
    EXPECT_FALSE(s.ReceiveEnabled);
    EXPECT_TRUE(s.ShowTray);
    EXPECT_FALSE(s.rbroadcast);
}

TEST(CommandLine, PieceCountDecidesTheAutomaticStart) {
    struct Case {
        const char* argument;
        int pieces;
    };
    for (const Case c : {Case{"com=7#modem=SIEMENS", 2}, Case{"com=7#modem=SIEMENS#delay=3", 3},
                         Case{"com=7#modem=SIEMENS#", 2}, Case{"abc#def#ghi", 3},
                         Case{"com=7##modem=SIEMENS", 2}, Case{"#com=7#modem=SIEMENS", 2}}) {
        int pieces = -1;
        parsed(c.argument, &pieces);
        EXPECT_EQ(pieces, c.pieces) << c.argument;
    }
}

TEST(CommandLine, FlagsNeedTheirExactValue) {
    struct Case {
        const char* argument;
        bool send, receive, tray, broadcast;
    };
    for (const Case c : {
             Case{"sender=SENDER#center=CENTER#showme=1#tipesender=1", true, true, true, true},
             Case{"sender=sender#center=Center#showme=yes#tipesender=2", false, false, false, false},
             Case{"showme=0", false, false, false, false},
             Case{"sender=SENDER#sender=NO", false, false, true, false},  // later key wins
             Case{"sender=SENDER#sender", false, false, true, false},     // bare key: empty value
             Case{"sender=SENDER ", false, false, true, false},           // trailing blank counts
         }) {
        const Settings s = parsed(c.argument);
        EXPECT_EQ(s.SendEnabled, c.send) << c.argument;
        EXPECT_EQ(s.ReceiveEnabled, c.receive) << c.argument;
        EXPECT_EQ(s.ShowTray, c.tray) << c.argument;
        EXPECT_EQ(s.rbroadcast, c.broadcast) << c.argument;
    }
}

TEST(CommandLine, KeysFillTheirControls) {
    const Settings s = parsed("com=7=8#modem=MERL-SENDER#baudrate=sms.example.com#handshake=KEY1"
                              "#whandle=SIGN#nama=Toko Budi#delay=abc#unknown=1#COM=9"
                              "#listen=127.0.0.1#allow=10.0.0.0/8, ::1");
    EXPECT_EQ(s.cport, "7");  // text after a second "=" is dropped; keys are case-sensitive
    EXPECT_EQ(s.cmodem, "MERL-SENDER");
    EXPECT_EQ(s.ehost, "sms.example.com");
    EXPECT_EQ(s.cbaud, "sms.example.com");  // one key, two controls
    EXPECT_EQ(s.ekey, "KEY1");
    EXPECT_EQ(s.chands, "KEY1");
    EXPECT_EQ(s.esign, "SIGN");
    EXPECT_EQ(s.enama, "Toko Budi");
    EXPECT_EQ(s.edelay, "abc");  // accepted here; the worker refuses it
    EXPECT_EQ(s.listenAddress, "127.0.0.1");
    EXPECT_EQ(s.allowedClients, "10.0.0.0/8, ::1"); // checked when the listener opens
}

TEST(CommandLine, BareAndEmptyValues) {
    EXPECT_EQ(parsed("com").cport, "");
    EXPECT_EQ(parsed("com=").cport, "");
    EXPECT_EQ(parsed("=5").cport, "5");
    EXPECT_EQ(parsed("abc").cport, "5");
    EXPECT_EQ(parsed("modem=nokcdma_6235").cmodem, "NOKCDMA_6235");
    EXPECT_EQ(parsed("modem=OTHER").cmodem, "OTHER");
}

TEST(ModemTypeGroups, MerlModesSwapTheSettingsGroup) {
    struct Case {
        const char* type;
        bool gmerl;
        const char* label;
        bool senderFields;
    };
    for (const Case c : {Case{"WAVECOM", false, "", false}, Case{"OTHER", false, "", false},
                         Case{"MERL-SENDER", true, "HOST", true},
                         Case{"MERL-CENTER", true, "PORT", false}}) {
        const GroupVisibility v = cmodemChange(c.type);
        EXPECT_EQ(v.gmerl, c.gmerl) << c.type;
        EXPECT_EQ(v.Gsetmodem, !c.gmerl) << c.type;
        EXPECT_EQ(v.hostLabel, c.label) << c.type;
        EXPECT_EQ(v.senderFields, c.senderFields) << c.type;
    }
}

TEST(ControlLists, HoldTheFixedEntriesInOrder) {
    EXPECT_EQ(modemTypes(), (std::vector<std::string>{"WAVECOM", "SIEMENS", "NOKCDMA_6235",
                                                       "MERL-CENTER", "MERL-SENDER"}));
    ASSERT_EQ(portNumbers().size(), 100u);
    EXPECT_EQ(portNumbers().front(), "1");
    EXPECT_EQ(portNumbers().back(), "100");
    EXPECT_EQ(baudRates(), (std::vector<std::string>{"9600", "115200"}));
    EXPECT_EQ(handshakes(), (std::vector<std::string>{"2", "1", "0"}));
}

} // namespace

// The simulated modem's command interpreter, driven directly with a hand-moved clock.

#include "modemsim/at_engine.h"

#include <gtest/gtest.h>

namespace pelorin::modemsim {
namespace {

using namespace std::chrono_literals;

// The DELIVER PDU of "Halo apa kabar" from 08123456789, and a one-part SUBMIT of 19 octets.
const std::string kDeliverPdu =
    "07912618485400F9040B818021436587F90000628021013504820EC830FB0D0AC3C3A075581C9603";
const std::string kSubmitPdu = "0011000B818021436587F90000AA05C8329BFD06";

class AtEngineTest : public ::testing::Test {
protected:
    // Feeds bytes and returns what is due at once.
    std::string send(std::string_view bytes, AtEngine& engine) {
        engine.receive(bytes, now);
        return engine.takeOutput(now);
    }
    std::string send(std::string_view bytes) { return send(bytes, gsm); }
    void quiet(AtEngine& engine) { ASSERT_EQ(send("ATE0\r", engine), "ATE0\r\r\nOK\r\n"); }

    Clock::time_point now = Clock::time_point{} + 1h;
    AtEngine gsm{Mode::Gsm};
    AtEngine cdma{Mode::Cdma};
};

TEST_F(AtEngineTest, EchoesUntilAte0AndAgainAfterAte1) {
    EXPECT_EQ(send("AT\r"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(send("ATE0\r"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(send("AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(send("ATE1\r"), "\r\nOK\r\n");
    EXPECT_EQ(send("AT\r"), "AT\r\r\nOK\r\n");
}

TEST_F(AtEngineTest, AnswersEveryInitialisationCommandOfTheModule) {
    quiet(gsm);
    for (const char* command :
         {"AT+CMGF=0\r", "AT+CNMI = 1,1,0,2\r", "AT+CMEC=2\r", "AT+STSF=2,\"5FFFFFFF7F\"\r",
          "AT+STSF=1\r", "AT+CNMI=0,1,0,0,0\r", "AT+CUSD=1\r", "at\r"})
        EXPECT_EQ(send(command), "\r\nOK\r\n") << command;
    EXPECT_EQ(send("AT+CSMS=0\r"), "\r\n+CSMS: 1,1,1\r\n\r\nOK\r\n");
}

TEST_F(AtEngineTest, RefusesUnknownCommandsAndTextMode) {
    quiet(gsm);
    for (const char* command : {"AT+XYZ\r", "AT+CMGF=1\r", "AT+CMGL=0;\r", "AT+CMGL=9\r",
                                "AT+CMGS=0\r", "AT+CMGD=x\r", "AT+CPMS=\"XX\"\r", "AT+CUSD\r"})
        EXPECT_EQ(send(command), "\r\nERROR\r\n") << command;
    EXPECT_EQ(send("\r"), "") << "an empty line gets no answer";
}

TEST_F(AtEngineTest, LogsRawBytesAndSkipsWhatPrecedesAt) {
    quiet(gsm);
    EXPECT_EQ(send(std::string("\0\nAT+CMGF=0\r", 12)), "\r\nOK\r\n");
    ASSERT_EQ(gsm.sentLog().size(), 2u);
    EXPECT_EQ(gsm.sentLog()[0], "ATE0\r");
    EXPECT_EQ(gsm.sentLog()[1], std::string("\0\nAT+CMGF=0\r", 12));
    gsm.clearLogs();
    EXPECT_TRUE(gsm.sentLog().empty());
}

TEST_F(AtEngineTest, EndlessLineWithoutCrIsDroppedAtItsCap) {
    quiet(gsm);
    EXPECT_EQ(send(std::string(AtEngine::kMaxEntry + 1, 'x')), "");
    EXPECT_EQ(send("AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(gsm.sentLog().size(), 3u);
    EXPECT_EQ(gsm.sentLog()[2], "AT\r");
}

TEST_F(AtEngineTest, SubmitsPduAfterPromptWithRisingReferences) {
    quiet(gsm);
    EXPECT_EQ(send("AT+CMGS=19\r"), "\r\n> ");
    EXPECT_EQ(send(kSubmitPdu + "\x1A"), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+CMGS=19\r"), "\r\n> ");
    EXPECT_EQ(send(kSubmitPdu + "\x1A"), "\r\n+CMGS: 2\r\n\r\nOK\r\n");
    EXPECT_EQ(gsm.sentLog()[1], "AT+CMGS=19\r");
    EXPECT_EQ(gsm.sentLog()[2], kSubmitPdu + "\x1A");
    EXPECT_EQ(gsm.submitted(), (std::vector<std::string>{kSubmitPdu, kSubmitPdu}));
}

TEST_F(AtEngineTest, PduArrivingInPiecesIsCollectedUntilCtrlZ) {
    quiet(gsm);
    send("AT+CMGS=19\r");
    EXPECT_EQ(send(kSubmitPdu.substr(0, 7)), "");
    EXPECT_EQ(send(kSubmitPdu.substr(7) + "\x1A"), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
}

TEST_F(AtEngineTest, RejectsPdusThatDoNotMatchTheAnnouncedLength) {
    quiet(gsm);
    for (const std::string& pdu : {kSubmitPdu + "00", kSubmitPdu.substr(1), std::string("XYZ0"),
                                   std::string()}) {
        send("AT+CMGS=19\r");
        EXPECT_EQ(send(pdu + "\x1A"), "\r\n+CMS ERROR: 304\r\n") << pdu;
    }
    EXPECT_TRUE(gsm.submitted().empty());
}

TEST_F(AtEngineTest, UserDataBeyondOneSmsIsRefused) {
    quiet(gsm);
    struct Case {
        std::string head; // up to the coding scheme and validity period
        const char* udl;
        std::size_t octets;
        bool accepted;
    };
    const std::string to = "000B818021436587F9";
    const Case cases[] = {
        {"0011" + to + "0000AA", "A0", 140, true},   // 160 septets
        {"0011" + to + "0000AA", "A1", 141, false},  // 161 septets
        {"0051" + to + "0008AA", "8C", 140, true},   // UCS2 with a header: octets
        {"0051" + to + "0008AA", "8D", 141, false},
        {"0001" + to + "00F5", "8D", 141, false},    // 8-bit, no validity period
        {"0011" + to + "0040AA", "A0", 140, true},   // 7-bit, marked for automatic deletion
        // A service centre address and a 7-octet validity period (absolute, then enhanced)
        // before the length.
        {"07912618485400F9" "19" + to + "0000" "62802101350482", "A0", 140, true},
        {"07912618485400F9" "19" + to + "0000" "62802101350482", "A1", 141, false},
        {"0009" + to + "0000" "01000000000000", "A1", 141, false},
    };
    for (const Case& c : cases) {
        const std::string pdu = c.head + c.udl + std::string(2 * c.octets, '0');
        const std::size_t sca = std::stoul(pdu.substr(0, 2), nullptr, 16);
        send("AT+CMGS=" + std::to_string(pdu.size() / 2 - 1 - sca) + "\r");
        const std::string answer = send(pdu + "\x1A");
        EXPECT_EQ(answer.rfind(c.accepted ? "\r\n+CMGS: " : "\r\n+CMS ERROR: 304\r\n", 0), 0u)
            << c.head << c.udl << answer;
    }
    EXPECT_EQ(gsm.submitted().size(), 4u);
}

TEST_F(AtEngineTest, SubmissionFailsWhenToldAndEscCancels) {
    quiet(gsm);
    gsm.setCmgsSucceeds(false);
    send("AT+CMGS=19\r");
    EXPECT_EQ(send(kSubmitPdu + "\x1A"), "\r\n+CMS ERROR: 500\r\n");
    gsm.setCmgsSucceeds(true);
    send("AT+CMGS=19\r");
    EXPECT_EQ(send(kSubmitPdu + "\x1B"), "\r\nOK\r\n");
    EXPECT_TRUE(gsm.submitted().empty());
    EXPECT_EQ(gsm.sentLog().back(), kSubmitPdu + "\x1B");
}

TEST_F(AtEngineTest, PduWithoutPromptIsDroppedAndCommandsGoOn) {
    quiet(gsm);
    gsm.addFaultRule({FaultRule::Kind::Error, "AT+CMGS", 1});
    EXPECT_EQ(send("AT+CMGS=19\r"), "\r\nERROR\r\n");
    EXPECT_EQ(send(kSubmitPdu + "\x1A"), "");
    EXPECT_EQ(send("AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(gsm.sentLog()[2], kSubmitPdu + "\x1A");
    EXPECT_TRUE(gsm.submitted().empty());
}

TEST_F(AtEngineTest, AbandonedPromptEndsAfterItsTimeout) {
    quiet(gsm);
    send("AT+CMGS=19\r");
    send("0011");
    now += AtEngine::kPromptTimeout;
    gsm.expire(now);
    EXPECT_EQ(send("AT\r"), "\r\nOK\r\n");
}

TEST_F(AtEngineTest, ListsSelectedStorageInPduFormat) {
    quiet(gsm);
    ASSERT_EQ(gsm.storage(Storage::Me).add(0, kDeliverPdu), 1);
    ASSERT_EQ(gsm.storage(Storage::Me).add(3, kSubmitPdu), 2);
    ASSERT_EQ(gsm.storage(Storage::Sm).add(0, kDeliverPdu), 1);
    EXPECT_EQ(send("AT+CPMS=\"ME\"\r"), "\r\n+CPMS: 2,100,2,100,2,100\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+CMGL=4\r"), "\r\n+CMGL: 1,0,,32\r\n" + kDeliverPdu +
                                       "\r\n+CMGL: 2,3,,19\r\n" + kSubmitPdu + "\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+CPMS=\"SM\"\r"), "\r\n+CPMS: 1,30,2,100,2,100\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+CMGL=4\r"), "\r\n+CMGL: 1,0,,32\r\n" + kDeliverPdu + "\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+CPMS?\r"),
              "\r\n+CPMS: \"SM\",1,30,\"ME\",2,100,\"ME\",2,100\r\n\r\nOK\r\n");
}

TEST_F(AtEngineTest, ListingMarksUnreadAsReadAndFiltersByStat) {
    quiet(gsm);
    gsm.storage(Storage::Me).add(0, kDeliverPdu);
    EXPECT_EQ(send("AT+CMGL=0\r"), "\r\n+CMGL: 1,0,,32\r\n" + kDeliverPdu + "\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+CMGL=0\r"), "\r\nOK\r\n");
    EXPECT_EQ(send("AT+CMGL=4\r"), "\r\n+CMGL: 1,1,,32\r\n" + kDeliverPdu + "\r\n\r\nOK\r\n");
}

TEST_F(AtEngineTest, DeletesFromSelectedStorageAndRefusesEmptySlots) {
    quiet(gsm);
    gsm.storage(Storage::Me).add(0, kDeliverPdu);
    gsm.storage(Storage::Sm).add(0, kDeliverPdu);
    EXPECT_EQ(send("AT+CMGD=1\r"), "\r\nOK\r\n");
    EXPECT_EQ(send("AT+CMGD=1\r"), "\r\n+CMS ERROR: 321\r\n");
    EXPECT_EQ(gsm.storage(Storage::Sm).used(), 1);
    EXPECT_EQ(gsm.storage(Storage::Me).add(0, kSubmitPdu), 1) << "the freed slot is reused";
    EXPECT_EQ(send("AT+CMGL=4\r", gsm).find(kDeliverPdu), std::string::npos);
}

TEST_F(AtEngineTest, FullStorageTakesNoMore) {
    MessageStorage sim(2);
    EXPECT_EQ(sim.add(0, "00"), 1);
    EXPECT_EQ(sim.add(0, "00"), 2);
    EXPECT_EQ(sim.add(0, "00"), std::nullopt);
}

TEST_F(AtEngineTest, ReportsTpduLengthWithoutServiceCentre) {
    EXPECT_EQ(tpduLength(kDeliverPdu), 32);
    EXPECT_EQ(tpduLength(kSubmitPdu), 19);
    EXPECT_EQ(tpduLength("00"), 0);
    EXPECT_EQ(tpduLength("ZZ0000"), 2) << "a malformed field counts as no service centre";
}

TEST_F(AtEngineTest, CdmaListsTextMessagesPerList) {
    quiet(cdma);
    const std::string line = cdmaDataLine("08123456789", "260812105340", "Test");
    EXPECT_EQ(line, "0B08123456789260812105340000004Test");
    cdma.cdmaStorage().add(0, cdmaDataLine("0811", "260812105340", "Satu"));
    cdma.cdmaStorage().add(1, line);
    EXPECT_EQ(send("AT+CMGL=1;\r", cdma), "\r\n+CMGL: 2,1\r\n" + line + "\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+CMGL=0;\r", cdma),
              "\r\n+CMGL: 1,0\r\n040811260812105340000004Satu\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+CMGL=0;\r", cdma), "\r\nOK\r\n") << "listed unread moved to list 1";
    EXPECT_EQ(send("AT+CMGD=2\r", cdma), "\r\nOK\r\n");
    EXPECT_EQ(send("AT+CMGL=4\r", cdma), "\r\nERROR\r\n");
}

TEST_F(AtEngineTest, CdmaSendEndsWhenItsLengthFieldsAreComplete) {
    quiet(cdma);
    EXPECT_EQ(send("AT+CMGS=03383132020241", cdma), "");
    EXPECT_EQ(send("42", cdma), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    EXPECT_EQ(cdma.sentLog().back(), "AT+CMGS=0338313202024142");
    EXPECT_EQ(cdma.submitted(), std::vector<std::string>{"0338313202024142"});
}

TEST_F(AtEngineTest, CdmaSendWithUnfittingLengthsEndsAfterQuietGapOrCr) {
    quiet(cdma);
    EXPECT_EQ(send("AT+CMGS=0338313202", cdma), "");
    now += AtEngine::kCdmaIdleGap - 1ms;
    cdma.expire(now);
    EXPECT_EQ(cdma.takeOutput(now), "");
    now += 1ms;
    ASSERT_EQ(cdma.nextWake(), now);
    cdma.expire(now);
    EXPECT_EQ(cdma.takeOutput(now), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    cdma.setCmgsSucceeds(false);
    EXPECT_EQ(send("AT+CMGS=01\r", cdma), "\r\nERROR\r\n");
    EXPECT_EQ(cdma.sentLog().back(), "AT+CMGS=01\r");
}

TEST_F(AtEngineTest, UssdAnswersOkThenTheNetworkText) {
    quiet(gsm);
    gsm.setCusdAnswer("Sisa pulsa Rp 5000");
    const std::string cusd = "\r\n+CUSD: 0,\"Sisa pulsa Rp 5000\",15\r\n";
    EXPECT_EQ(send("AT+CUSD=1,\"*123#\"\r"), "\r\nOK\r\n" + cusd);
    EXPECT_EQ(send("ATD*123#;\r"), "\r\nOK\r\n" + cusd);
    EXPECT_EQ(send("ATD08123456;\r"), "\r\nOK\r\n") << "a voice call has no network text";
    EXPECT_EQ(send("ATD08123456\r"), "\r\nNO CARRIER\r\n");
}

TEST_F(AtEngineTest, UssdTextCanArriveLater) {
    quiet(gsm);
    gsm.setCusdDelay(700ms);
    EXPECT_EQ(send("AT+CUSD=1,\"*888#\",15\r"), "\r\nOK\r\n");
    now += 700ms;
    EXPECT_EQ(gsm.takeOutput(now).substr(0, 10), "\r\n+CUSD: 0");
}

TEST_F(AtEngineTest, UssdLineComesInTheFormAndOrderAsked) {
    quiet(gsm);
    struct Case {
        const char* line;
        bool beforeOk;
        std::string out;
    };
    const Case cases[] = {
        {"", false, "\r\nOK\r\n\r\n+CUSD: 0,\"Sisa pulsa Rp 10000\",15\r\n"},
        {"+CUSD: 0,\"0053\",72", false, "\r\nOK\r\n\r\n+CUSD: 0,\"0053\",72\r\n"},
        {"+CUSD: 2", false, "\r\nOK\r\n\r\n+CUSD: 2\r\n"},
        {"+CUSD: 2", true, "\r\n+CUSD: 2\r\n\r\nOK\r\n"},
    };
    for (const Case& c : cases) {
        gsm.setCusdLine(c.line);
        gsm.setCusdBeforeOk(c.beforeOk);
        EXPECT_EQ(send("ATD*123#;\r"), c.out) << c.line;
        EXPECT_EQ(send("AT+CUSD=1,\"*123#\"\r"), c.out) << c.line;
    }
}

TEST_F(AtEngineTest, ArrivalsAreAnnouncedOnceTheModuleAsksForThem) {
    quiet(gsm);
    const std::string cmti = "\r\n+CMTI: \"SM\",3\r\n";
    struct Case {
        const char* command; // "" for none
        AtEngine::Announce announce;
        std::string out;
    };
    const Case cases[] = {
        {"", AtEngine::Announce::Auto, ""},
        {"AT+CNMI=0,1,0,0,0\r", AtEngine::Announce::Auto, cmti},
        {"AT+CNMI=0,0,0,0,0\r", AtEngine::Announce::Auto, ""},
        {"AT+CNMI = 1,1,0,2\r", AtEngine::Announce::Auto, cmti},
        {"", AtEngine::Announce::Off, ""},
        {"AT+CNMI=0,0,0,0,0\r", AtEngine::Announce::On, cmti},
    };
    for (const Case& c : cases) {
        if (*c.command != '\0') {
            EXPECT_EQ(send(c.command), "\r\nOK\r\n");
        }
        gsm.setAnnounce(c.announce);
        gsm.announceArrival(Storage::Sm, 3, now);
        EXPECT_EQ(gsm.takeOutput(now), c.out) << c.command << static_cast<int>(c.announce);
    }
    gsm.setAnnounce(AtEngine::Announce::Auto);
    EXPECT_EQ(send("AT+CNMI=0,1,0,0,0\r"), "\r\nOK\r\n");
    gsm.restart();
    gsm.announceArrival(Storage::Me, 1, now);
    EXPECT_EQ(gsm.takeOutput(now), "") << "a modem plugged in again has forgotten AT+CNMI";
}

TEST_F(AtEngineTest, InjectedLinesGoWhereAsked) {
    using Place = UnsolicitedLines::Place;
    quiet(gsm);
    const auto add = [this](const char* line, Place place, std::chrono::milliseconds every = 0ms, int times = -1) {
        gsm.unsolicited().add({line, place, every, times}, now);
        gsm.expire(now);
    };
    add("RING", Place::Now);
    EXPECT_EQ(gsm.takeOutput(now), "\r\nRING\r\n");
    add("^RSSI:17", Place::BeforeAnswer);
    EXPECT_EQ(send("AT\r"), "\r\n^RSSI:17\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT\r"), "\r\nOK\r\n") << "once";
    add("+CREG: 1", Place::AfterOk);
    EXPECT_EQ(send("AT+XYZ\r"), "\r\nERROR\r\n") << "no OK: the line waits";
    EXPECT_EQ(send("AT\r"), "\r\nOK\r\n\r\n+CREG: 1\r\n");
    add("^MODE:5,4", Place::AfterHeader);
    EXPECT_EQ(send("AT+CMGL=4\r"), "\r\nOK\r\n") << "no header: the line waits";
    gsm.storage(Storage::Me).add(0, kDeliverPdu);
    EXPECT_EQ(send("AT+CMGL=4\r"), "\r\n+CMGL: 1,0,,32\r\n\r\n^MODE:5,4\r\n" + kDeliverPdu + "\r\n\r\nOK\r\n");

    // Every 500 ms, three times.
    add("^BOOT:1", Place::Now, 500ms, 3);
    std::string seen = gsm.takeOutput(now);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(i >= 2 || gsm.nextWake() == now + 500ms) << i;
        now += 500ms;
        gsm.expire(now);
        seen += gsm.takeOutput(now);
    }
    EXPECT_EQ(seen, "\r\n^BOOT:1\r\n\r\n^BOOT:1\r\n\r\n^BOOT:1\r\n");
    EXPECT_TRUE(gsm.unsolicited().empty());
}

TEST_F(AtEngineTest, CodedErrorsAnswerInsteadOfError) {
    quiet(gsm);
    gsm.addFaultRule({FaultRule::Kind::Error, "AT+CPMS", 1, "+CME ERROR: 14"});
    EXPECT_EQ(send("AT+CPMS=\"SM\"\r"), "\r\n+CME ERROR: 14\r\n");
    EXPECT_EQ(send("AT+CMGF=0\r"), "\r\nOK\r\n");
    gsm.setCmgsSucceeds(false, 331);
    EXPECT_EQ(send("AT+CMGS=19\r"), "\r\n> ");
    EXPECT_EQ(send(kSubmitPdu + "\x1A"), "\r\n+CMS ERROR: 331\r\n");
}

TEST_F(AtEngineTest, ReportsSignalRegistrationAndOperator) {
    quiet(gsm);
    EXPECT_EQ(send("AT+CSQ\r"), "\r\n+CSQ: 20,99\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+CREG?\r"), "\r\n+CREG: 0,1\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+COPS?\r"), "\r\n+COPS: 0,0,\"SIMULATED\"\r\n\r\nOK\r\n");
    gsm.setSignal(7, 3);
    gsm.setOperatorName("TELKOMSEL");
    gsm.setRegistration(2, now);
    EXPECT_EQ(gsm.takeOutput(now), "") << "no report before AT+CREG=1";
    EXPECT_EQ(send("AT+CSQ\r"), "\r\n+CSQ: 7,3\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+COPS?\r"), "\r\n+COPS: 0\r\n\r\nOK\r\n") << "no operator while searching";
    EXPECT_EQ(send("AT+CREG=1\r"), "\r\nOK\r\n");
    gsm.setRegistration(5, now);
    EXPECT_EQ(gsm.takeOutput(now), "\r\n+CREG: 5\r\n");
    EXPECT_EQ(send("AT+CREG?\r"), "\r\n+CREG: 1,5\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+COPS?\r"), "\r\n+COPS: 0,0,\"TELKOMSEL\"\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+CREG=7\r"), "\r\nERROR\r\n");
}

TEST_F(AtEngineTest, ErrorFaultHitsAllOrOnlyMatchingCommandsAndCanRetire) {
    quiet(gsm);
    gsm.addFaultRule({FaultRule::Kind::Error, "ate0", 1});
    EXPECT_EQ(send("AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(send("ATE0\r"), "\r\nERROR\r\n");
    EXPECT_EQ(send("ATE0\r"), "\r\nOK\r\n") << "the rule retired after one match";
    gsm.addFaultRule({FaultRule::Kind::Error, "", -1});
    EXPECT_EQ(send("AT\r"), "\r\nERROR\r\n");
    EXPECT_EQ(send("AT+CMGL=4\r"), "\r\nERROR\r\n");
    EXPECT_EQ(gsm.describeFaults(), "error *");
    gsm.clearFaults();
    EXPECT_EQ(send("AT\r"), "\r\nOK\r\n");
    EXPECT_EQ(gsm.describeFaults(), "none");
}

TEST_F(AtEngineTest, SilenceAnswersNothingButStillLogs) {
    gsm.addFaultRule({FaultRule::Kind::Silence, "", -1});
    EXPECT_EQ(send("ATE0\r"), "") << "not even the echo";
    EXPECT_EQ(send("AT+CUSD=1,\"*1#\"\r"), "");
    EXPECT_EQ(gsm.sentLog().size(), 2u);
    gsm.clearFaults();
    gsm.addFaultRule({FaultRule::Kind::Silence, "AT+CMGL", -1});
    EXPECT_EQ(send("AT+CMGL=4\r"), "AT+CMGL=4\r") << "a silenced command is still echoed";
    EXPECT_EQ(send("AT\r"), "AT\r\r\nOK\r\n");
}

TEST_F(AtEngineTest, SlowAnswersKeepTheirOrder) {
    gsm.setAnswerDelay(1500ms);
    EXPECT_EQ(send("AT\r"), "AT\r") << "the echo is not delayed";
    EXPECT_EQ(send("ATE0\r"), "");
    EXPECT_EQ(gsm.nextWake(), now + 1500ms);
    now += 1499ms;
    EXPECT_EQ(gsm.takeOutput(now), "");
    now += 1ms;
    EXPECT_EQ(gsm.takeOutput(now), "\r\nOK\r\nATE0\r\r\nOK\r\n");
}

TEST_F(AtEngineTest, GarbageIsSeededHasNulsAndNeverForgesMarkers) {
    AtEngine other{Mode::Gsm};
    quiet(gsm);
    quiet(other);
    gsm.setGarbage(64, 7);
    other.setGarbage(64, 7);
    for (int i = 0; i < 50; ++i) {
        const std::string a = send("AT\r", gsm);
        ASSERT_EQ(a, send("AT\r", other)) << "same seed, same bytes";
        ASSERT_EQ(a.size(), 64u + 6u);
        EXPECT_EQ(a[0], '\0');
        EXPECT_EQ(a.substr(64), "\r\nOK\r\n");
        EXPECT_EQ(a.substr(0, 64).find_first_of("OKER>,"), std::string::npos);
    }
}

TEST_F(AtEngineTest, ResetLineDropsHalfCommandsAndRestartRestoresDefaults) {
    quiet(gsm);
    gsm.setAnswerDelay(1s);
    send("AT\r");
    send("AT+CM");
    gsm.resetLine();
    gsm.clearFaults();
    now += 2s;
    EXPECT_EQ(gsm.takeOutput(now), "");
    EXPECT_EQ(send("AT\r"), "\r\nOK\r\n") << "echo stays off across a hang-up";
    send("AT+CPMS=\"SM\"\r");
    gsm.storage(Storage::Sm).add(0, kDeliverPdu);
    gsm.restart();
    EXPECT_EQ(send("AT\r"), "AT\r\r\nOK\r\n") << "a restarted modem echoes again";
    EXPECT_EQ(gsm.selectedStorage(), Storage::Me);
    EXPECT_EQ(gsm.storage(Storage::Sm).used(), 1) << "stored messages survive";
}

} // namespace
} // namespace pelorin::modemsim

// WAP push and dial commands end to end: the real module, the simulated modem, the database.

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <algorithm>

#include "db/query.h"

#include "e2e_fixture.h"

namespace pelorin::test {
namespace {

// Reads a pushed Service Indication the way a phone does, independently of the module's code:
// the SMS-SUBMIT fields, the port header, the WSP push header, then the WBXML elements.
struct ReadPush {
    int destinationPort = 0;
    int sourcePort = 0;
    std::string href;
    std::string text;
};

std::vector<int> octets(const std::string& hex) {
    std::vector<int> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string inlineString(const std::vector<int>& o, std::size_t& at) {
    std::string s;
    if (o.at(at++) != 0x03) throw std::runtime_error("no inline string");
    while (o.at(at) != 0x00) s += static_cast<char>(o.at(at++));
    ++at;
    return s;
}

ReadPush readPush(const std::string& pduWithCtrlZ) {
    const std::vector<int> o = octets(pduWithCtrlZ.substr(0, pduWithCtrlZ.size() - 1));
    std::size_t at = 1 + o.at(0);                       // service centre
    EXPECT_EQ(o.at(at) & 0x40, 0x40) << "user-data header flag";
    at += 2;                                            // first octet, reference
    const int digits = o.at(at);
    at += 2 + (digits + 1) / 2;                         // length, type, digits
    EXPECT_EQ(o.at(at + 1), 0xF5) << "8-bit data, class 1";
    at += 2;                                            // protocol id, coding
    const std::size_t end = at + 1 + o.at(at);
    ++at;
    const std::size_t udhEnd = at + 1 + o.at(at);
    ReadPush push;
    EXPECT_EQ(o.at(at + 1), 0x05);
    push.destinationPort = o.at(at + 3) * 256 + o.at(at + 4);
    push.sourcePort = o.at(at + 5) * 256 + o.at(at + 6);
    at = udhEnd;
    EXPECT_EQ(o.at(at + 1), 0x06) << "WSP push";
    EXPECT_EQ(o.at(at + 3), 0xAE) << "content type SI";
    at += 4 + 4;                                        // push header, WBXML header
    EXPECT_EQ(o.at(at), 0x45);
    EXPECT_EQ(o.at(at + 1), 0xC6);
    at += 2;
    const int token = o.at(at++);
    push.href = (token == 0x0D ? "http://www." : "http://") + inlineString(o, at);
    EXPECT_EQ(o.at(at), 0x07);
    EXPECT_EQ(o.at(at + 1), 0x01);
    at += 2;
    push.text = inlineString(o, at);
    EXPECT_EQ(at + 2, end);
    return push;
}

class WapAndDial : public ModemPortTest {
protected:
    void queuePush(const QString& text, const QString& address) { queue(text, {QStringLiteral("wapurl=") + address}); }
    void dial(const char* code, int com, int flag) {
        insert(QStringLiteral("dialcommand"), {QStringLiteral("dial=") + QLatin1String(code),
                                               QStringLiteral("com=%1").arg(com), QStringLiteral("flag=%1").arg(flag)});
    }
};

TEST_F(WapAndDial, PushIsOneServiceIndicationLoggedAndDequeued) {
    queuePush(QStringLiteral("Promo hari ini"), QStringLiteral("http://www.contoh.co.id/promo"));
    ModuleRun module(home, QStringLiteral("com=5#modem=WAVECOM#sender=SENDER"));
    ASSERT_TRUE(rowsBecome(QStringLiteral("smsout"), 1));
    EXPECT_EQ(rows(QStringLiteral("qsms")), 0);
    const SimLog log = sentLog();
    std::vector<std::size_t> prompts;
    for (std::size_t i = 0; i < log.size(); ++i)
        if (log[i].rfind("AT+CMGS=", 0) == 0) prompts.push_back(i);
    ASSERT_EQ(prompts.size(), 1u);
    const std::string& pdu = log.at(prompts[0] + 1);
    EXPECT_EQ(log[prompts[0]], "AT+CMGS=" + std::to_string((pdu.size() - 3) / 2) + "\r");
    const ReadPush push = readPush(pdu);
    EXPECT_EQ(push.destinationPort, 2948);
    EXPECT_EQ(push.sourcePort, 9200);
    EXPECT_EQ(push.href, "http://www.contoh.co.id/promo");
    EXPECT_EQ(push.text, "Promo hari ini");
}

TEST_F(WapAndDial, RefusedPushIsAFailedAttemptAndAnOversizedOneIsSetAsideAtOnce) {
    sim->setCmgsSucceeds(false);
    queuePush(QStringLiteral("ditolak"), QStringLiteral("http://a.id"));
    queuePush(QString(150, QLatin1Char('x')), QStringLiteral("http://a.id"));
    ModuleRun module(home, QStringLiteral("com=5#modem=WAVECOM#sender=SENDER"));
    ASSERT_TRUE(rowsBecome(QStringLiteral("SELECT * FROM qsms WHERE trycount>=2"), 1, 30000));
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM failedsent WHERE isipesan LIKE 'xxx%'")), 1);
    EXPECT_EQ(rows(QStringLiteral("smsout")), 0);
    for (const std::string& pdu : sentLog()) EXPECT_EQ(pdu.find("787878"), std::string::npos);
}

TEST_F(WapAndDial, DialCommandsRunOnePerCycleAndTheirAnswersAreStored) {
    dial("*888#", 5, 0);
    dial("*123#", 5, 0);
    dial("*999#", 6, 0);
    dial("*777#", 5, 1);
    sim->setCusdAnswer("Sisa pulsa Rp 5000");
    sim->setCusdDelay(std::chrono::milliseconds(1500));
    ModuleRun module(home, QStringLiteral("com=5#modem=WAVECOM#nama=MODUL5#sender=SENDER#receiver=RECEIVER"));
    ASSERT_TRUE(rowsBecome(QStringLiteral("smsin"), 2, 30000));
    for (const char* code : {"*888#", "*123#"}) {
        const auto found =
            textRows(QStringLiteral("SELECT pengirim,penerima,pesan,tglwaktukirim FROM smsin WHERE pengirim=?"),
                     {QLatin1String(code)});
        ASSERT_FALSE(found.isEmpty()) << code;
        const QStringList& row = found[0];
        EXPECT_EQ(row[0], QLatin1String(code));
        EXPECT_EQ(row[1], QStringLiteral("MODUL5"));
        // The network's text arrived 1.5 s after the OK; stored as it reads.
        EXPECT_EQ(row[2], QStringLiteral("Sisa pulsa Rp 5000")) << code;
        EXPECT_EQ(row[3], QStringLiteral("10-10-10 15:10:10"));
    }
    // In consecutive cycles (a ready check between them), lower idx first.
    const SimLog log = sentLog();
    const auto at = [&log](const std::string& entry) { return std::find(log.begin(), log.end(), entry) - log.begin(); };
    const auto first = at("AT+CUSD=1,\"*888#\"\r");
    const auto second = at("AT+CUSD=1,\"*123#\"\r");
    ASSERT_LT(first, second);
    ASSERT_LT(second, static_cast<long>(log.size()));
    EXPECT_NE(std::find(log.begin() + first, log.begin() + second, "AT\r"), log.begin() + second);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM dialcommand WHERE flag=0")), 1); // port 6's
    EXPECT_EQ(at("AT+CUSD=1,\"*999#\"\r"), static_cast<long>(log.size()));
    EXPECT_EQ(at("AT+CUSD=1,\"*777#\"\r"), static_cast<long>(log.size()));
}

TEST_F(WapAndDial, OtherTypesWaitPastOkForTheAnswerAndFailedAnswersAreStoredNotRetried) {
    dial("*888#", 5, 0);
    dial("*555#", 5, 0);
    sim->setCusdDelay(std::chrono::milliseconds(1500));
    sim->setFault("error ATD*555#");
    ModuleRun module(home, QStringLiteral("com=5#modem=SIEMENS#nama=MODUL5#sender=SENDER#receiver=RECEIVER"));
    ASSERT_TRUE(rowsBecome(QStringLiteral("smsin"), 2, 30000));
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsin WHERE pengirim='*888#' AND pesan=?"), {QStringLiteral("Sisa pulsa Rp 10000")}), 1);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsin WHERE pengirim='*555#' AND pesan LIKE '%ERROR%'")), 1);
    // A few more cycles: nothing is dialled again.
    ASSERT_TRUE(logHas("AT\r", 5));
    const SimLog log = sentLog();
    EXPECT_EQ(countOf(log, "ATD*555#;\r"), 1);
    EXPECT_EQ(rows(QStringLiteral("smsin")), 2);
}

// Answers as real modems write them, each stored as it reads, each exchange ending with its
// line: waiting out the 20 s limit instead would take the table far past its bound.
TEST_F(WapAndDial, UssdAnswersInEveryFormAreStoredAsText) {
    struct Form {
        const char* line;
        const char* stored;
    };
    const Form forms[] = {
        {"+CUSD: 0,\"Sisa pulsa Rp 5000\",15", "Sisa pulsa Rp 5000"},
        {"+CUSD: 0,\"Sisa pulsa Rp 5000\",0", "Sisa pulsa Rp 5000"},
        {"+CUSD: 1,\"Pilih: 1. Paket\"", "Pilih: 1. Paket"},
        {"+CUSD: 0,\"0053006900730061002000700075006C00730061\",72", "Sisa pulsa"},
        {"+CUSD: 2,\"Terima kasih\",15", "Terima kasih"},
        {"+CUSD: 2", "USSD session ended by the network"},
        {"+CUSD: 0,\"D3F43C0C82D7D9F330480A07D5603018\",15", "Sisa pulsa Rp 5000"},
        {"+CUSD: 1,\"1. Cek\r\n2. Beli\",15", "1. Cek\r\n2. Beli"},
    };
    for (const char* type : {"WAVECOM", "SIEMENS"}) {
        db::exec(QStringLiteral("DELETE FROM smsin"));
        sim->setCusdDelay(std::chrono::milliseconds(1200));
        ModuleRun module(home, QStringLiteral("com=5#modem=%1#nama=MODUL5#sender=SENDER").arg(QLatin1String(type)));
        QElapsedTimer took;
        took.start();
        int n = 0;
        sim->clearLog();
        for (const Form& form : forms) {
            sim->setCusdLine(form.line);
            const QString code = QStringLiteral("*%1#").arg(100 + n++);
            insert(QStringLiteral("dialcommand"), {QStringLiteral("dial=") + code, QStringLiteral("com=5"), QStringLiteral("flag=0")});
            ASSERT_TRUE(rowsBecome(QStringLiteral("SELECT * FROM smsin WHERE pengirim='%1'").arg(code), 1, 40000))
                << type << " " << form.line;
            EXPECT_EQ(texts(QStringLiteral("SELECT pesan FROM smsin WHERE pengirim='%1'").arg(code)),
                      QStringList{QString::fromUtf8(form.stored)})
                << type << " " << form.line;
        }
        EXPECT_LT(took.elapsed(), 8 * 12000) << type;
        // The two menus (m = 1) are ended, so that the next code is not refused.
        const auto log = sentLog();
        EXPECT_EQ(std::count(log.begin(), log.end(), std::string("AT+CUSD=2\r")), 2) << type;
    }
}

TEST_F(WapAndDial, ATextThatIsNoDialStringNeverReachesTheModem) {
    const char* const refused[] = {"*123#\rAT+CMGD=1", "*123#\"\r\nAT+CMGD=1", "*123#;AT+CMGD=1;", "*123#\nATZ", "*12 3#"};
    for (const char* text : refused)
        db::exec(QStringLiteral("INSERT INTO dialcommand (dial,com,flag) VALUES (?,5,0)"), {QString::fromLatin1(text)});
    dial("*555#", 5, 0);
    ModuleRun module(home, QStringLiteral("com=5#modem=WAVECOM#nama=MODUL5#sender=SENDER"));
    ASSERT_TRUE(rowsBecome(QStringLiteral("smsin"), 6, 40000));
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM dialcommand WHERE flag=0")), 0);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsin WHERE pesan LIKE 'not dialled: %'")), 5);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsin WHERE pengirim='*555#' AND pesan='Sisa pulsa Rp 10000'")), 1);
    for (const std::string& entry : sentLog()) {
        EXPECT_EQ(entry.find("CMGD"), std::string::npos) << entry;
        EXPECT_EQ(entry.find("ATZ"), std::string::npos) << entry;
        EXPECT_EQ(entry.find("*123#"), std::string::npos) << entry;
    }
}

TEST_F(WapAndDial, APortWithoutAModemAnswersItsDialCommands) {
    dial("*123#", 5, 0);
    ModuleRun module(home, QStringLiteral("com=5#modem=MERL-SENDER#nama=MODUL5#sender=SENDER"));
    ASSERT_TRUE(rowsBecome(QStringLiteral("smsin"), 1, 30000));
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsin WHERE pengirim='*123#' AND penerima='MODUL5' AND pesan=?"),
                   {QStringLiteral("not dialled: port 5 has no modem (MERL-SENDER)")}),
              1);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM dialcommand WHERE flag=0")), 0);
    EXPECT_TRUE(sentLog().empty());
}

} // namespace
} // namespace pelorin::test

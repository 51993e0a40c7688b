// What real modems send besides answers, end to end: unsolicited lines before, inside and
// after answers while messages arrive and leave, and coded errors named in the port row
// (a plain ERROR keeps the text alone: the engine suite shows it).

#include <gtest/gtest.h>

#include <QThread>

#include <algorithm>

#include "db/query.h"
#include "e2e_fixture.h"
#include "samples.h"

namespace pelorin::test {
namespace {

// An SMS-DELIVER of an ASCII text from 08123456789, its septets packed as TS 23.038 6.1.2.1.1
// lays them out (letters, digits, blanks and '-' have the same codes as in ASCII).
std::string deliverPdu(const std::string& text) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string userData;
    const auto put = [&userData](unsigned octet) {
        userData += kHex[octet >> 4 & 0xF];
        userData += kHex[octet & 0xF];
    };
    put(static_cast<unsigned>(text.size()));
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        bits |= static_cast<unsigned>(c) << count;
        for (count += 7; count >= 8; count -= 8, bits >>= 8) put(bits & 0xFF);
    }
    if (count > 0) put(bits & 0xFF);
    // Service centre, SMS-DELIVER, sender, protocol 0, default alphabet, time stamp.
    return "07912618485400F9040B818021436587F9000062802101350482" + userData;
}

class ModemLines : public ModemPortTest {
protected:
    ModemLines() : ModemPortTest({QStringLiteral("nomor=081200000005")}) {}
};

TEST_F(ModemLines, UnsolicitedLinesBeforeInsideAndAfterAnswersLoseNothing) {
    // Every place, every kind, densely: what a USB dongle and a network send in minutes.
    const std::pair<const char*, const char*> injections[] = {
        {"--at before-answer --every 700", "RING"},
        {"--at after-header --every 400", "^MODE:5,4"},
        {"--at after-ok --every 500", "+CREG: 1"},
        {"--every 300", "^RSSI:17"},
        {"--at after-header --every 900", "^BOOT:12345678,0,0,0,75"},
        {"--at before-answer --every 1100", "^DSFLOWRPT:0000001E,00000000,00000000,0000000000000000,0000000000000000"},
        {"--at after-ok --every 1300", "+CMTI: \"SM\",29"},
        {"--at after-header --every 1500", "+CREG: 1"},
    };
    for (const auto& [options, line] : injections) sim->inject(line, options);
    for (int i = 1; i <= 3; ++i) queue(QStringLiteral("Keluar %1").arg(i));
    ModuleRun module(home, kFullModule);

    // Messages arrive while the module reads; each is announced with +CMTI.
    for (int i = 1; i <= 12; ++i) {
        sim->storePdu(i % 2 == 0 ? "SM" : "ME", deliverPdu("Pesan ke-" + std::to_string(100 + i).substr(1)));
        if (i == 6) {
            for (const std::string& part : kLongPartPdus) sim->storePdu("ME", part);
            queue(QStringLiteral("Keluar 4"));
        }
        QThread::msleep(900);
    }
    ASSERT_TRUE(waitUntil([&] { return rows(QStringLiteral("smsin")) >= 13 && sim->messages().empty(); }, 90000))
        << rows(QStringLiteral("smsin")) << " stored, " << sim->messages().size() << " left in the modem";
    ASSERT_TRUE(rowsBecome(QStringLiteral("qsms"), 0, 60000));
    // A few more cycles with the lines still coming: nothing is stored twice nor lost.
    ASSERT_TRUE(logHas("AT+CMGL=4\r", 20, std::chrono::seconds(60)));
    for (int i = 1; i <= 12; ++i) {
        const QString text = QStringLiteral("Pesan ke-%1").arg(i, 2, 10, QLatin1Char('0'));
        EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsin WHERE pesan=?"), {text}), 1) << text.toStdString();
    }
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsin WHERE pesan='part1.part2.part3.'")), 1);
    EXPECT_EQ(rows(QStringLiteral("smsin")), 13);
    EXPECT_EQ(rows(QStringLiteral("smsout")), 4);
    EXPECT_EQ(sim->submitted().size(), 4u);
    EXPECT_EQ(portRow(5), (QStringList{QStringLiteral("RUN"), QStringLiteral("-")}));
    EXPECT_TRUE(module.running());
}

TEST_F(ModemLines, CodedErrorsAreNamedAfterThePortRowsText) {
    struct Case {
        const char* setUp;
        int trycount;
        const char* row;
    };
    const Case cases[] = {
        {"fault cme 10 ATE0", -1, "Modem ERROR COM5: SIM not inserted"},
        {"fault cme 11 ATE0", -1, "Modem ERROR COM5: SIM PIN required"},
        {"set cmgs error 331", 20, "GAGAL KIRIM 20x, CEKPULSA!: no network service"},
        {"set cmgs error", 20, "GAGAL KIRIM 20x, CEKPULSA!: unknown error"},
    };
    for (const Case& c : cases) {
        sim->clearFaults();
        sim->setCmgsSucceeds(true);
        db::exec(QStringLiteral("DELETE FROM qsms"));
        sim->command(c.setUp);
        if (c.trycount >= 0) queue(QStringLiteral("tidak terkirim"), {QStringLiteral("trycount=%1").arg(c.trycount)});
        ModuleRun module(home, kFullModule);
        ASSERT_TRUE(module.waitForExit(60000)) << c.setUp;
        EXPECT_EQ(module.exitCode(), 1) << c.setUp;
        EXPECT_EQ(portRow(5), (QStringList{QStringLiteral("ERR"), QString::fromUtf8(c.row)})) << c.setUp;
    }
}

} // namespace
} // namespace pelorin::test

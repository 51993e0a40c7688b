// Receiving end to end: PDUs stored in the simulated modem reach the shared database and,
// through the auto-responder, the outgoing queue and the modem again.

#include <gtest/gtest.h>

#include <QThread>

#include "db/query.h"
#include "e2e_fixture.h"
#include "samples.h"

namespace pelorin::test {
namespace {

class Receiving : public ModemPortTest {
protected:
    Receiving() : ModemPortTest({QStringLiteral("nomor=081200000005"), QStringLiteral("statsender=SENDER")}) {}
    void SetUp() override {
        ModemPortTest::SetUp();
        insert(QStringLiteral("twoway"), {QStringLiteral("nomor=081200000005"),
                                          QStringLiteral("url=http://crm.example/in?m=@@MOBILE@@&t=@@MESSAGE@@")});
    }
};

TEST_F(Receiving, StoredWithTemplateAndStampThenDeleted) {
    sim->storePdu("ME", kHaloPdu);
    ModuleRun module(home, kFullModule);
    ASSERT_TRUE(rowsBecome(QStringLiteral("smsin"), 1));
    EXPECT_EQ(smsin().first(), (QStringList{"08123456789", "081200000005", "Halo apa kabar",
                                           "http://crm.example/in?m=@@MOBILE@@&t=@@MESSAGE@@",
                                           "08-12-26 10:53:40"}));
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }));
}

TEST_F(Receiving, LongMessageIsStoredOnceAndServiceMessagesNever) {
    for (const std::string& part : kLongPartPdus) sim->storePdu("SM", part);
    sim->storePdu("SM", kServicePdu);
    ModuleRun module(home, kFullModule);
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }, 30000));
    const auto rows = smsin();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows.first()[2], QStringLiteral("part1.part2.part3."));
}

TEST_F(Receiving, AutoReplyIsQueuedAndSentByTheRunningSenderPort) {
    insert(QStringLiteral("autorespondset"), {QStringLiteral("formatsms=HALO APA KABAR"),
                                              QStringLiteral("replysms=Kabar baik, terima kasih"),
                                              QStringLiteral("onlyphonebook=0")});
    // Also on a database as the main application makes it, without the admin tool's counters.
    for (const bool counters : {true, false}) {
        SCOPED_TRACE(counters ? "with queue counters" : "shared tables only");
        if (!counters) {
            removeQueueCounts();
            db::exec(QStringLiteral("DELETE FROM smsout"));
            sim->clearLog();
            disablePort();
        }
        sim->storePdu("ME", kHaloPdu);
        ModuleRun module(home, kFullModule);
        ASSERT_TRUE(rowsBecome(QStringLiteral("smsout"), 1, 30000));
        const auto out = textRows(QStringLiteral("SELECT penerima,pesan,pidcom FROM smsout"));
        ASSERT_FALSE(out.isEmpty());
        EXPECT_EQ(out[0][0], QStringLiteral("08123456789"));
        EXPECT_EQ(out[0][1], QStringLiteral("Kabar baik, terima kasih"));
        EXPECT_EQ(out[0][2].toInt(), 5);
        EXPECT_EQ(sim->submitted().size(), 1u);
    }
}

TEST_F(Receiving, ARefusedDeletionNeverMakesAMessageHandledTwice) {
    for (const char* format : {"formatsms=HALO APA KABAR", "formatsms=part1.part2.part3."}) {
        insert(QStringLiteral("autorespondset"),
               {QLatin1String(format), QStringLiteral("replysms=diterima"), QStringLiteral("onlyphonebook=0")});
    }
    struct Case {
        const char* name;
        std::vector<std::string> pdus;
        const char* text;
    };
    const Case cases[] = {{"one message", {kHaloPdu}, "Halo apa kabar"},
                          {"three parts, the first one's deletion refused",
                           {kLongPartPdus[0], kLongPartPdus[1], kLongPartPdus[2]}, "part1.part2.part3."}};
    // A part left behind would be stored alone this soon after.
    QProcessEnvironment wait;
    wait.insert(QStringLiteral("PELORIN_PART_WAIT"), QStringLiteral("4"));
    ModuleRun module(home, kFullModule, wait);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        db::exec(QStringLiteral("DELETE FROM smsin"));
        db::exec(QStringLiteral("DELETE FROM smsout"));
        sim->setFault("error --times 1 AT+CMGD");
        for (const std::string& pdu : c.pdus) sim->storePdu("ME", pdu);
        ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }, 40000)) << module.output().toStdString();
        ASSERT_TRUE(rowsBecome(QStringLiteral("smsout"), 1, 30000));
        // Long enough for the wait of a left-behind part and several reading passes.
        QThread::msleep(10000);
        const auto stored = smsin();
        ASSERT_EQ(stored.size(), 1) << module.output().toStdString();
        EXPECT_EQ(stored.first()[2], QLatin1String(c.text));
        EXPECT_EQ(rows(QStringLiteral("smsout")), 1) << "one reply";
        EXPECT_TRUE(module.output().contains(QStringLiteral("the modem did not delete ME message")));
    }
}

TEST_F(Receiving, FailingHandlerStopsTheModuleAndKeepsTheMessage) {
    db::execDirect(QStringLiteral("DROP TABLE answerkuis"));
    sim->storePdu("ME", kHaloPdu);
    ModuleRun module(home, kFullModule);
    ASSERT_TRUE(module.waitForExit(30000));
    EXPECT_EQ(module.exitCode(), 1);
    const QString error = errorInfo();
    EXPECT_TRUE(error.startsWith(QStringLiteral("Modem ERRORx:3-*-"))) << error.toStdString();
    EXPECT_TRUE(error.contains(QStringLiteral("answerkuis"))) << error.toStdString();
    EXPECT_EQ(sim->messages().size(), 1u) << "the message stays in the modem to be read again";
    EXPECT_EQ(smsin().size(), 0) << "the failed handling is undone as a whole";
}

} // namespace
} // namespace pelorin::test

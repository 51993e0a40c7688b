// Receiving end to end: PDUs stored in the simulated modem reach the shared database and,
// through the auto-responder, the outgoing queue and the modem again.

#include <gtest/gtest.h>

#include <QSqlQuery>

#include "db/database.h"
#include "db/query.h"
#include "modemsim/modemsim_client.h"
#include "samples.h"
#include "test_support.h"

using namespace pelorin;
using pelorin::modemsim::ModemSim;
using pelorin::test::ModuleRun;
using pelorin::test::portRow;
using pelorin::test::TempHome;
using pelorin::test::waitUntil;

namespace {

class Receiving : public ::testing::Test {
protected:
    void SetUp() override {
        home.initDatabase();
        home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("nomor=081200000005"),
                    QStringLiteral("stat=DISABLE"), QStringLiteral("statsender=SENDER")});
        home.admin({QStringLiteral("insert"), QStringLiteral("twoway"), QStringLiteral("nomor=081200000005"),
                    QStringLiteral("url=http://crm.example/in?m=@@MOBILE@@&t=@@MESSAGE@@")});
        sim = std::make_unique<ModemSim>(home.path().toStdString(), 5);
    }
    void TearDown() override { db::Database::closeThisThread(); }

    static QList<QStringList> smsin() {
        QList<QStringList> rows;
        QSqlQuery q = db::exec(QStringLiteral("SELECT pengirim,penerima,pesan,pass2way,tglwaktukirim FROM smsin"));
        while (q.next()) {
            QStringList row;
            for (int i = 0; i < 5; ++i) row << q.value(i).toString();
            rows << row;
        }
        return rows;
    }

    TempHome home;
    std::unique_ptr<ModemSim> sim;
};

TEST_F(Receiving, StoredWithTemplateAndStampThenDeleted) {
    sim->storePdu("ME", test::kHaloPdu);
    ModuleRun module(home, test::kFullModule);
    ASSERT_TRUE(waitUntil([] { return db::countRows(QStringLiteral("SELECT * FROM smsin")) == 1; }));
    EXPECT_EQ(smsin().first(), (QStringList{"08123456789", "081200000005", "Halo apa kabar",
                                           "http://crm.example/in?m=@@MOBILE@@&t=@@MESSAGE@@",
                                           "08-12-26 10:53:40"}));
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }));
}

TEST_F(Receiving, LongMessageIsStoredOnceAndServiceMessagesNever) {
    for (const std::string& part : test::kLongPartPdus) sim->storePdu("SM", part);
    sim->storePdu("SM", test::kServicePdu);
    ModuleRun module(home, test::kFullModule);
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }, 30000));
    const auto rows = smsin();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows.first()[2], QStringLiteral("part1.part2.part3."));
}

TEST_F(Receiving, AutoReplyIsQueuedAndSentByTheRunningSenderPort) {
    home.admin({QStringLiteral("insert"), QStringLiteral("autorespondset"), QStringLiteral("formatsms=HALO APA KABAR"),
                QStringLiteral("replysms=Kabar baik, terima kasih"), QStringLiteral("onlyphonebook=0")});
    // Also on a database as the main application makes it, without the admin tool's counters.
    for (const bool counters : {true, false}) {
        SCOPED_TRACE(counters ? "with queue counters" : "shared tables only");
        if (!counters) {
            test::removeQueueCounts();
            db::exec(QStringLiteral("DELETE FROM smsout"));
            sim->clearLog();
            home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("stat=DISABLE")});
        }
        sim->storePdu("ME", test::kHaloPdu);
        ModuleRun module(home, test::kFullModule);
        ASSERT_TRUE(waitUntil([] { return db::countRows(QStringLiteral("SELECT * FROM smsout")) == 1; }, 30000));
        QSqlQuery out = db::exec(QStringLiteral("SELECT penerima,pesan,pidcom FROM smsout"));
        ASSERT_TRUE(out.next());
        EXPECT_EQ(out.value(0).toString(), QStringLiteral("08123456789"));
        EXPECT_EQ(out.value(1).toString(), QStringLiteral("Kabar baik, terima kasih"));
        EXPECT_EQ(out.value(2).toInt(), 5);
        EXPECT_EQ(sim->submitted().size(), 1u);
    }
}

TEST_F(Receiving, FailingHandlerStopsTheModuleAndKeepsTheMessage) {
    db::execDirect(QStringLiteral("DROP TABLE answerkuis"));
    sim->storePdu("ME", test::kHaloPdu);
    ModuleRun module(home, test::kFullModule);
    ASSERT_TRUE(module.waitForExit(30000));
    EXPECT_EQ(module.exitCode(), 1);
    const QStringList row = portRow(5);
    ASSERT_EQ(row.size(), 2);
    EXPECT_EQ(row[0], QStringLiteral("ERR"));
    EXPECT_TRUE(row[1].startsWith(QStringLiteral("Modem ERRORx:3-*-"))) << row[1].toStdString();
    EXPECT_TRUE(row[1].contains(QStringLiteral("answerkuis"))) << row[1].toStdString();
    EXPECT_EQ(sim->messages().size(), 1u) << "the message stays in the modem to be read again";
    EXPECT_EQ(smsin().size(), 0) << "the failed handling is undone as a whole";
}

} // namespace

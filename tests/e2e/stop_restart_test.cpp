// Stops, failures and restarts end to end: whatever moment a module is stopped at, every
// received message ends in the tables exactly once and every queued message reaches the
// modem at most once.

#include <gtest/gtest.h>

#include <QSqlQuery>
#include <QThread>

#include <csignal>

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

using Log = std::vector<std::string>;

int rows(const QString& sql) {
    return db::countRows(sql);
}

bool logHas(const Log& log, const std::string& prefix) {
    for (const std::string& entry : log)
        if (entry.rfind(prefix, 0) == 0) return true;
    return false;
}

class StopRestart : public ::testing::Test {
protected:
    void SetUp() override {
        home.initDatabase();
        home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("nomor=081200000005"),
                    QStringLiteral("stat=DISABLE"), QStringLiteral("statsender=SENDER")});
        sim = std::make_unique<ModemSim>(home.path().toStdString(), 5);
    }
    void TearDown() override { db::Database::closeThisThread(); }

    void queue(const QString& text) {
        home.admin({QStringLiteral("queue"), QStringLiteral("tujuan=08123456789"),
                    QStringLiteral("isipesan=") + text, QStringLiteral("pidcom=5")});
    }
    // Waits until the module has gone through its start and listed the modem once.
    void waitForFirstListing() {
        ASSERT_TRUE(sim->waitForLog([](const Log& log) { return logHas(log, "AT+CMGL=4"); },
                                    std::chrono::seconds(20)));
    }
    // Runs a module until the modem holds no message and the queue is empty, then stops it.
    void drain() {
        ModuleRun module(home, test::kFullModule);
        ASSERT_TRUE(waitUntil([] { return portRow(5).value(0) == QStringLiteral("RUN"); }));
        EXPECT_TRUE(waitUntil([&] { return sim->messages().empty() && rows(QStringLiteral("SELECT * FROM qsms")) == 0; },
                              40000));
        module.signal(SIGTERM);
        ASSERT_TRUE(module.waitForExit());
        EXPECT_EQ(module.exitCode(), 0);
    }

    TempHome home;
    std::unique_ptr<ModemSim> sim;
};

TEST_F(StopRestart, StopDuringAReadingPassHandlesEachMessageOnce) {
    home.admin({QStringLiteral("insert"), QStringLiteral("autorespondset"), QStringLiteral("formatsms=HALO APA KABAR"),
                QStringLiteral("replysms=Kabar baik"), QStringLiteral("onlyphonebook=0")});
    for (int i = 0; i < 3; ++i) sim->storePdu("ME", test::kHaloPdu);
    {
        // Every answer a second late, so that the stop lands while the first deletion waits.
        sim->setFault("slow 1000");
        ModuleRun module(home, test::kFullModule);
        ASSERT_TRUE(sim->waitForLog([](const Log& log) { return logHas(log, "AT+CMGD="); },
                                    std::chrono::seconds(30)));
        module.signal(SIGTERM);
        ASSERT_TRUE(module.waitForExit(40000));
        EXPECT_EQ(module.exitCode(), 0);
        const int handled = rows(QStringLiteral("SELECT * FROM smsin"));
        EXPECT_EQ(handled, 1) << "no message is taken on after the stop";
        EXPECT_EQ(static_cast<int>(sim->messages().size()), 3 - handled) << "what was handled is deleted";
    }
    sim->clearFaults();
    drain();
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsin")), 3);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsout WHERE pesan='Kabar baik'")), 3);
}

TEST_F(StopRestart, FailingHandlerLeavesNothingBehindAndTheRetryHandlesItOnce) {
    // Stored, quiz answer recorded, an auto-reply and the first broadcast copy queued, then
    // the second contact's NULL address fails the broadcast.
    db::exec(QStringLiteral("INSERT INTO answerkuis (msisdn,datebroadcast,harilimit,correctanswer,answer) "
                            "VALUES ('08123456789',?,5,'halo apa kabar','-')"),
             {db::today()});
    db::exec(QStringLiteral("INSERT INTO autorespondset (formatsms,replysms,pengirim,onlyphonebook,groupphonebook) "
                            "VALUES ('HALO APA KABAR','Kabar baik','',0,'')"));
    db::exec(QStringLiteral("INSERT INTO remotehp (phonenumber,infoname) VALUES ('08123456789','boss')"));
    db::exec(QStringLiteral("INSERT INTO remotecommand (command,sender,param1field,param1criteria,param2field,"
                            "param2criteria) VALUES ('halo <message>','0899','groupdata','LIKE','msisdn','LIKE')"));
    db::exec(QStringLiteral("INSERT INTO phonebook (msisdn,nama,alamat,groupdata) VALUES ('0811','A','x','g')"));
    db::exec(QStringLiteral("INSERT INTO phonebook (msisdn,nama,alamat,groupdata) VALUES ('0812','B',NULL,'g')"));
    sim->storePdu("ME", test::kHaloPdu);
    {
        ModuleRun module(home, test::kFullModule);
        ASSERT_TRUE(module.waitForExit(30000));
        EXPECT_EQ(module.exitCode(), 1);
        const QStringList row = portRow(5);
        ASSERT_EQ(row.size(), 2);
        EXPECT_EQ(row[0], QStringLiteral("ERR"));
        EXPECT_TRUE(row[1].startsWith(QStringLiteral("Modem ERRORx:"))) << row[1].toStdString();
        EXPECT_TRUE(row[1].contains(QStringLiteral("alamat"))) << row[1].toStdString();
    }
    EXPECT_EQ(sim->messages().size(), 1u) << "the message stays in the modem to be read again";
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsin")), 0);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM qsms")), 0);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM answerkuis WHERE answer='-'")), 1);

    db::exec(QStringLiteral("UPDATE phonebook SET alamat='y' WHERE msisdn='0812'"));
    home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("stat=DISABLE")});
    drain();
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsin")), 1);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM answerkuis WHERE iscorrect=1")), 1);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsout WHERE pesan='Kabar baik'")), 1);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsout WHERE pesan='apa kabar'")), 2);
}

TEST_F(StopRestart, StopAfterThePduWasWrittenRecordsItAndNeverSendsItAgain) {
    ModuleRun first(home, test::kFullModule);
    waitForFirstListing();
    sim->setFault("slow 2000");
    queue(QStringLiteral("sekali saja"));
    ASSERT_TRUE(sim->waitForLog([](const Log& log) { return !log.empty() && log.back().back() == '\x1A'; },
                                std::chrono::seconds(30)));
    first.signal(SIGTERM);
    ASSERT_TRUE(first.waitForExit(40000));
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsout")), 1);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM qsms")), 0);

    sim->clearFaults();
    ModuleRun second(home, test::kFullModule);
    waitForFirstListing();
    EXPECT_EQ(sim->submitted().size(), 1u);
}

TEST_F(StopRestart, ModemLeftAtAPromptRecoversAndTheMessageGoesOnce) {
    for (const int sig : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(sig);
        sim->clearLog();
        {
            ModuleRun module(home, test::kFullModule);
            waitForFirstListing();
            sim->setFault("slow 2500");
            queue(QStringLiteral("prompt %1").arg(sig));
            ASSERT_TRUE(sim->waitForLog([](const Log& log) { return logHas(log, "AT+CMGS="); },
                                        std::chrono::seconds(30)));
            module.signal(sig);
            ASSERT_TRUE(module.waitForExit(40000));
        }
        // The prompt opens after the module has gone; the next start must close it.
        QThread::msleep(3000);
        sim->clearFaults();
        home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("stat=DISABLE")});
        drain();
        EXPECT_EQ(portRow(5).value(0), QStringLiteral("DISABLE"));
        EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsout WHERE pesan='prompt %1'").arg(sig)), 1);
        EXPECT_EQ(sim->submitted().size(), 1u);
    }
}

TEST_F(StopRestart, LongMessageWithARefusedPartIsRetriedWhole) {
    sim->setFault("error --times 1 AT+CMGS=");
    queue(QString(400, QLatin1Char('z')));
    ModuleRun module(home, test::kFullModule);
    ASSERT_TRUE(waitUntil([] { return rows(QStringLiteral("SELECT * FROM smsout")) == 1; }, 60000));
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM qsms")), 0);
    // The refused first part ended the attempt; the retry sent all three.
    EXPECT_EQ(sim->submitted().size(), 3u);
}

} // namespace

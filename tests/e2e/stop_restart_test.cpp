// Stops, failures and restarts end to end: whatever moment a module is stopped at, every
// received message ends in the tables exactly once and every queued message reaches the
// modem at most once.

#include <gtest/gtest.h>

#include <QThread>

#include <csignal>

#include "db/query.h"
#include "e2e_fixture.h"
#include "samples.h"

namespace pelorin::test {
namespace {

class StopRestart : public ModemPortTest {
protected:
    StopRestart() : ModemPortTest({QStringLiteral("nomor=081200000005"), QStringLiteral("statsender=SENDER")}) {}

    // Waits until the module has gone through its start and listed the modem once.
    void waitForFirstListing() { ASSERT_TRUE(logHas("AT+CMGL=4", 1, std::chrono::seconds(20))); }
    // Runs a module until the modem holds no message and the queue is empty, then stops it.
    void drain() {
        ModuleRun module(home, kFullModule);
        ASSERT_TRUE(portStatIs(QStringLiteral("RUN")));
        EXPECT_TRUE(waitUntil([&] { return sim->messages().empty() && rows(QStringLiteral("qsms")) == 0; }, 40000));
        ASSERT_TRUE(stopsCleanly(module));
    }
};

TEST_F(StopRestart, StopDuringAReadingPassHandlesEachMessageOnce) {
    insert(QStringLiteral("autorespondset"), {QStringLiteral("formatsms=HALO APA KABAR"),
                                              QStringLiteral("replysms=Kabar baik"),
                                              QStringLiteral("onlyphonebook=0")});
    for (int i = 0; i < 3; ++i) sim->storePdu("ME", kHaloPdu);
    {
        // Every answer a second late, so that the stop lands while the first deletion waits.
        sim->setFault("slow 1000");
        ModuleRun module(home, kFullModule);
        ASSERT_TRUE(logHas("AT+CMGD="));
        ASSERT_TRUE(stopsCleanly(module, 40000));
        const int handled = rows(QStringLiteral("smsin"));
        EXPECT_EQ(handled, 1) << "no message is taken on after the stop";
        EXPECT_EQ(static_cast<int>(sim->messages().size()), 3 - handled) << "what was handled is deleted";
    }
    sim->clearFaults();
    drain();
    EXPECT_EQ(rows(QStringLiteral("smsin")), 3);
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
    sim->storePdu("ME", kHaloPdu);
    {
        ModuleRun module(home, kFullModule);
        ASSERT_TRUE(module.waitForExit(30000));
        EXPECT_EQ(module.exitCode(), 1);
        const QString error = errorInfo();
        EXPECT_TRUE(error.startsWith(QStringLiteral("Modem ERRORx:"))) << error.toStdString();
        EXPECT_TRUE(error.contains(QStringLiteral("alamat"))) << error.toStdString();
    }
    EXPECT_EQ(sim->messages().size(), 1u) << "the message stays in the modem to be read again";
    EXPECT_EQ(rows(QStringLiteral("smsin")), 0);
    EXPECT_EQ(rows(QStringLiteral("qsms")), 0);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM answerkuis WHERE answer='-'")), 1);

    db::exec(QStringLiteral("UPDATE phonebook SET alamat='y' WHERE msisdn='0812'"));
    disablePort();
    drain();
    EXPECT_EQ(rows(QStringLiteral("smsin")), 1);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM answerkuis WHERE iscorrect=1")), 1);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsout WHERE pesan='Kabar baik'")), 1);
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsout WHERE pesan='apa kabar'")), 2);
}

TEST_F(StopRestart, StopAfterThePduWasWrittenRecordsItAndNeverSendsItAgain) {
    ModuleRun first(home, kFullModule);
    waitForFirstListing();
    sim->setFault("slow 2000");
    queue(QStringLiteral("sekali saja"));
    ASSERT_TRUE(sim->waitForLog([](const SimLog& log) { return !log.empty() && log.back().back() == '\x1A'; },
                                std::chrono::seconds(30)));
    ASSERT_TRUE(stopsCleanly(first, 40000));
    EXPECT_EQ(rows(QStringLiteral("smsout")), 1);
    EXPECT_EQ(rows(QStringLiteral("qsms")), 0);

    sim->clearFaults();
    ModuleRun second(home, kFullModule);
    waitForFirstListing();
    EXPECT_EQ(sim->submitted().size(), 1u);
}

TEST_F(StopRestart, ModemLeftAtAPromptRecoversAndTheMessageGoesOnce) {
    for (const int sig : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(sig);
        sim->clearLog();
        {
            ModuleRun module(home, kFullModule);
            waitForFirstListing();
            sim->setFault("slow 2500");
            queue(QStringLiteral("prompt %1").arg(sig));
            ASSERT_TRUE(logHas("AT+CMGS="));
            module.signal(sig);
            ASSERT_TRUE(module.waitForExit(40000));
        }
        // The prompt opens after the module has gone; the next start must close it.
        QThread::msleep(3000);
        sim->clearFaults();
        disablePort();
        drain();
        EXPECT_EQ(portRow(5).value(0), QStringLiteral("DISABLE"));
        EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsout WHERE pesan='prompt %1'").arg(sig)), 1);
        EXPECT_EQ(sim->submitted().size(), 1u);
    }
}

TEST_F(StopRestart, LongMessageWithARefusedPartIsRetriedWhole) {
    sim->setFault("error --times 1 AT+CMGS=");
    queue(QString(400, QLatin1Char('z')));
    ModuleRun module(home, kFullModule);
    ASSERT_TRUE(rowsBecome(QStringLiteral("smsout"), 1, 60000));
    EXPECT_EQ(rows(QStringLiteral("qsms")), 0);
    // The refused first part ended the attempt; the retry sent all three.
    EXPECT_EQ(sim->submitted().size(), 3u);
}

} // namespace
} // namespace pelorin::test

// A database server that drops a running module's connections: the module reconnects and
// carries on, nothing lost and nothing twice, or ends with a failure when the server stays
// away longer than it waits.

#include <gtest/gtest.h>

#include <QSqlQuery>
#include <QThread>

#include <map>

#include "db/database.h"
#include "db/query.h"
#include "modemsim/modemsim_client.h"
#include "samples.h"
#include "test_support.h"

using namespace pelorin;
using pelorin::modemsim::ModemSim;
using pelorin::test::ModuleRun;
using pelorin::test::TempHome;
using pelorin::test::waitUntil;

namespace {

class LostConnection : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::usingPostgres()) GTEST_SKIP() << "about a database server only";
        home.initDatabase();
        home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("stat=DISABLE"),
                    QStringLiteral("nomor=0811")});
        sim = std::make_unique<ModemSim>(home.path().toStdString(), 5);
    }
    void TearDown() override {
        if (test::usingPostgres()) db::Database::closeThisThread();
    }

    // Ends every session of the test's database but this one, as a server restart would.
    static int dropModuleConnections() {
        return static_cast<int>(
            db::selectRows(QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                          "WHERE datname=current_database() AND pid<>pg_backend_pid()"))
                .size());
    }
    void queue(int n) {
        home.admin({QStringLiteral("queue"), QStringLiteral("tujuan=08123456789"),
                    QStringLiteral("isipesan=pesan %1").arg(n), QStringLiteral("pidcom=5")});
    }
    static int rows(const char* table) {
        return db::countRows(QStringLiteral("SELECT * FROM ") + QLatin1String(table));
    }

    TempHome home;
    std::unique_ptr<ModemSim> sim;
};

TEST_F(LostConnection, ModuleReconnectsAndEveryMessageGoesOnce) {
    ModuleRun module(home, test::kFullModule);
    ASSERT_TRUE(waitUntil([] { return test::portRow(5).value(0) == QLatin1String("RUN"); }));
    constexpr int kMessages = 24, kReceived = 6;
    int dropped = 0;
    for (int round = 0; round < kMessages / 4; ++round) {
        for (int i = 0; i < 4; ++i) queue(round * 4 + i);
        if (round < kReceived) sim->storePdu("ME", test::kHaloPdu);
        // Drops land in the middle of sends, records and reading passes alike.
        QThread::msleep(300 + 170 * (round % 4));
        dropped += dropModuleConnections();
    }
    ASSERT_GT(dropped, 0) << "the module never had a connection to drop";
    ASSERT_TRUE(waitUntil([] { return rows("smsout") == kMessages && rows("smsin") == kReceived; }, 90000))
        << "sent " << rows("smsout") << ", received " << rows("smsin") << "\n" << module.output().toStdString();
    EXPECT_TRUE(module.running()) << module.output().toStdString();
    EXPECT_EQ(test::portRow(5).value(0), QStringLiteral("RUN"));
    EXPECT_EQ(rows("qsms"), 0);
    // Each text once in the log and once at the modem.
    std::map<QString, int> logged;
    for (const QVariantList& row : db::selectRows(QStringLiteral("SELECT pesan FROM smsout"))) ++logged[row[0].toString()];
    EXPECT_EQ(logged.size(), static_cast<std::size_t>(kMessages));
    for (const auto& [text, count] : logged) EXPECT_EQ(count, 1) << text.toStdString();
    EXPECT_EQ(sim->submitted().size(), static_cast<std::size_t>(kMessages));
    EXPECT_TRUE(module.output().contains(QStringLiteral("the database answers again"))) << module.output().toStdString();
}

TEST_F(LostConnection, ServerAwayLongerThanTheWaitEndsTheModuleWithAFailure) {
    QProcessEnvironment wait;
    wait.insert(QStringLiteral("PELORIN_DB_RETRY_SECONDS"), QStringLiteral("3"));
    ModuleRun module(home, test::kFullModule, wait);
    ASSERT_TRUE(waitUntil([] { return test::portRow(5).value(0) == QLatin1String("RUN"); }));
    const QString name = db::Database::config().databaseName;
    test::execOnServer(QStringLiteral("ALTER DATABASE %1 ALLOW_CONNECTIONS false").arg(name));
    dropModuleConnections();
    const bool ended = module.waitForExit(40000);
    test::execOnServer(QStringLiteral("ALTER DATABASE %1 ALLOW_CONNECTIONS true").arg(name));
    ASSERT_TRUE(ended) << module.output().toStdString();
    EXPECT_EQ(module.exitCode(), 1);
    EXPECT_TRUE(module.output().contains(QStringLiteral("no database for 3 s"))) << module.output().toStdString();
    // Started again (as the service unit does) over the row the dead one left, it runs.
    ModuleRun again(home, test::kFullModule);
    EXPECT_TRUE(waitUntil([] { return test::portRow(5).value(0) == QLatin1String("RUN"); }));
    EXPECT_TRUE(again.running()) << again.output().toStdString();
}

} // namespace

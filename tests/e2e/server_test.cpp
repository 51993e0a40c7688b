// A database server that drops a running module's connections: the module reconnects and
// carries on, nothing lost and nothing twice, or ends with a failure when the server stays
// away longer than it waits.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QRegularExpression>
#include <QThread>

#include <map>

#include "db/database.h"
#include "db/query.h"
#include "e2e_fixture.h"
#include "samples.h"

namespace pelorin::test {
namespace {

class LostConnection : public ModemPortTest {
protected:
    LostConnection() : ModemPortTest({QStringLiteral("nomor=0811")}) {}
    void SetUp() override {
        if (!usingPostgres()) GTEST_SKIP() << "about a database server only";
        ModemPortTest::SetUp();
    }

    // Ends every session of the test's database but this one, as a server restart would.
    static int dropModuleConnections() {
        return static_cast<int>(
            db::selectRows(QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                          "WHERE datname=current_database() AND pid<>pg_backend_pid()"))
                .size());
    }
};

TEST_F(LostConnection, ModuleReconnectsAndEveryMessageGoesOnce) {
    ModuleRun module(home, kFullModule);
    ASSERT_TRUE(portStatIs(QStringLiteral("RUN")));
    constexpr int kMessages = 24, kReceived = 6;
    int dropped = 0;
    for (int round = 0; round < kMessages / 4; ++round) {
        for (int i = 0; i < 4; ++i) queue(QStringLiteral("pesan %1").arg(round * 4 + i));
        if (round < kReceived) sim->storePdu("ME", kHaloPdu);
        // Drops land in the middle of sends, records and reading passes alike.
        QThread::msleep(300 + 170 * (round % 4));
        dropped += dropModuleConnections();
    }
    ASSERT_GT(dropped, 0) << "the module never had a connection to drop";
    ASSERT_TRUE(waitUntil([] { return rows("smsout") == kMessages && rows("smsin") == kReceived; }, 90000))
        << "sent " << rows("smsout") << ", received " << rows("smsin") << "\n" << module.output().toStdString();
    EXPECT_TRUE(module.running()) << module.output().toStdString();
    EXPECT_EQ(portRow(5).value(0), QStringLiteral("RUN"));
    EXPECT_EQ(rows("qsms"), 0);
    // Each text once in the log and once at the modem.
    std::map<QString, int> logged;
    for (const QString& text : texts(QStringLiteral("SELECT pesan FROM smsout"))) ++logged[text];
    EXPECT_EQ(logged.size(), static_cast<std::size_t>(kMessages));
    for (const auto& [text, count] : logged) EXPECT_EQ(count, 1) << text.toStdString();
    EXPECT_EQ(sim->submitted().size(), static_cast<std::size_t>(kMessages));
    EXPECT_TRUE(module.output().contains(QStringLiteral("the database answers again"))) << module.output().toStdString();
}

TEST_F(LostConnection, ARefusedConnectionAtStartStillGivesReceivedMessagesThePortsNumber) {
    // A role allowed one session: the module's first connection (its supervision) gets it, the
    // worker's own is refused until the limit is lifted.
    const QString role = QStringLiteral("pelorin_one_%1").arg(QCoreApplication::applicationPid());
    execOnServer(QStringLiteral("DROP ROLE IF EXISTS %1").arg(role));
    execOnServer(QStringLiteral("CREATE ROLE %1 LOGIN CONNECTION LIMIT 1").arg(role));
    db::execDirect(QStringLiteral("GRANT ALL ON ALL TABLES IN SCHEMA public TO %1").arg(role));
    db::execDirect(QStringLiteral("GRANT ALL ON ALL SEQUENCES IN SCHEMA public TO %1").arg(role));
    QString url = home.databaseUrl();
    url.replace(QRegularExpression(QStringLiteral("//[^@]*@")), QStringLiteral("//%1@").arg(role));
    QProcessEnvironment env;
    env.insert(QStringLiteral("PELORIN_DATABASE"), url);
    sim->storePdu("ME", kHaloPdu);
    {
        ModuleRun module(home, kFullModule, env);
        const bool waiting =
            waitUntil([&] { return module.output().contains(QStringLiteral("waiting up to")); }, 30000);
        execOnServer(QStringLiteral("ALTER ROLE %1 CONNECTION LIMIT -1").arg(role));
        ASSERT_TRUE(waiting) << module.output().toStdString();
        ASSERT_TRUE(rowsBecome(QStringLiteral("smsin"), 1, 40000)) << module.output().toStdString();
        EXPECT_EQ(smsin().first()[1], QStringLiteral("0811"));
        EXPECT_TRUE(stopsCleanly(module));
    }
    db::execDirect(QStringLiteral("DROP OWNED BY %1").arg(role));
    execOnServer(QStringLiteral("DROP ROLE %1").arg(role));
}

TEST_F(LostConnection, ServerAwayLongerThanTheWaitEndsTheModuleWithAFailure) {
    QProcessEnvironment wait;
    wait.insert(QStringLiteral("PELORIN_DB_RETRY_SECONDS"), QStringLiteral("3"));
    ModuleRun module(home, kFullModule, wait);
    ASSERT_TRUE(portStatIs(QStringLiteral("RUN")));
    const QString name = db::Database::config().databaseName;
    execOnServer(QStringLiteral("ALTER DATABASE %1 ALLOW_CONNECTIONS false").arg(name));
    dropModuleConnections();
    const bool ended = module.waitForExit(40000);
    execOnServer(QStringLiteral("ALTER DATABASE %1 ALLOW_CONNECTIONS true").arg(name));
    ASSERT_TRUE(ended) << module.output().toStdString();
    EXPECT_EQ(module.exitCode(), 1);
    EXPECT_TRUE(module.output().contains(QStringLiteral("no database for 3 s"))) << module.output().toStdString();
    // Started again (as the service unit does) over the row the dead one left, it runs.
    ModuleRun again(home, kFullModule);
    EXPECT_TRUE(portStatIs(QStringLiteral("RUN")));
    EXPECT_TRUE(again.running()) << again.output().toStdString();
}

} // namespace
} // namespace pelorin::test

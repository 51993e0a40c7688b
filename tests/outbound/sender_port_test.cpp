// Choosing the sender port of a queued reply among the running modules.

#include <gtest/gtest.h>

#include <QSqlQuery>

#include "db/database.h"
#include "db/query.h"
#include "outbound/sender_port.h"
#include "test_support.h"

using namespace pelorin;
using namespace pelorin::outbound;

namespace {

class SenderPort : public ::testing::Test {
protected:
    void SetUp() override { home.initDatabase(); }
    void TearDown() override { db::Database::closeThisThread(); }

    static void port(int com, const char* nomor, const char* stat = "RUN", const char* role = "SENDER") {
        db::exec(QStringLiteral("INSERT INTO cs (com,nomor,stat,statsender) VALUES (?,?,?,?)"),
                 {com, QString::fromLatin1(nomor), QString::fromLatin1(stat), QString::fromLatin1(role)});
    }
    static void queued(int pidcom, int count) {
        for (int i = 0; i < count; ++i) {
            db::exec(QStringLiteral("INSERT INTO qsms (tujuan,isipesan,pidcom,trycount) VALUES ('1','x',?,0)"),
                     {pidcom});
        }
    }

    test::TempHome home;
};

TEST_F(SenderPort, RequestedNumberWinsWhateverItsQueue) {
    port(1, "0811");
    port(2, "0812");
    queued(2, 5);
    EXPECT_EQ(PickSenderPort("0812"), 2);
    EXPECT_EQ(PickSenderPort("+62812"), 1) << "numbers are compared as they stand";
}

TEST_F(SenderPort, ShortestQueueWinsAndTiesGoToTheFirst) {
    port(3, "a");
    port(4, "b");
    queued(3, 1);
    EXPECT_EQ(PickSenderPort("0899"), 4);
    queued(4, 1);
    EXPECT_EQ(PickSenderPort("0899"), 3);
}

TEST_F(SenderPort, OnlyRunningSenderPortsQualify) {
    port(1, "0811", "DISABLE");
    port(2, "0812", "ERR");
    port(3, "0813", "RUN", "RECEIVER");
    EXPECT_EQ(PickSenderPort("0811"), 0);
    port(4, "ABC", "run", "sender");
    EXPECT_EQ(PickSenderPort("abc"), 4) << "states and numbers compare without regard to case";
}

TEST_F(SenderPort, FullQueuesAreNeverChosenAndCountsFollowTheQueue) {
    port(1, "0811");
    queued(1, 999);
    EXPECT_EQ(PickSenderPort("0811"), 0);
    db::exec(QStringLiteral("DELETE FROM qsms WHERE idx=(SELECT min(idx) FROM qsms)"));
    EXPECT_EQ(PickSenderPort("0811"), 1);
    // Moving messages between ports moves their count too.
    port(2, "0812");
    db::exec(QStringLiteral("UPDATE qsms SET pidcom=2 WHERE idx IN (SELECT idx FROM qsms LIMIT 10)"));
    EXPECT_EQ(db::countRows(QStringLiteral("SELECT * FROM qsms_count WHERE pidcom=1 AND queued=988")), 1);
    EXPECT_EQ(db::countRows(QStringLiteral("SELECT * FROM qsms_count WHERE pidcom=2 AND queued=10")), 1);
    EXPECT_EQ(PickSenderPort("0899"), 2);
    // Updates that keep the port leave the counts alone; emptying the queue at once (the
    // server's TRUNCATE fires no row triggers) empties them.
    db::exec(QStringLiteral("UPDATE qsms SET trycount=trycount+1"));
    EXPECT_EQ(db::countRows(QStringLiteral("SELECT * FROM qsms_count WHERE pidcom=1 AND queued=988")), 1);
    db::execDirect(pelorin::test::usingPostgres() ? QStringLiteral("TRUNCATE qsms") : QStringLiteral("DELETE FROM qsms"));
    EXPECT_EQ(db::countRows(QStringLiteral("SELECT * FROM qsms_count WHERE queued<>0")), 0);
}

TEST_F(SenderPort, ADatabaseWithOnlyTheSharedTablesCountsTheQueuesItself) {
    // As the main application makes it: no counter table, no triggers.
    pelorin::test::removeQueueCounts();
    db::Database::closeThisThread(); // a connection of its own, as a module has
    port(1, "0811");
    port(2, "0812");
    queued(1, 999);
    queued(2, 3);
    EXPECT_EQ(PickSenderPort("0899"), 2);
    EXPECT_EQ(PickSenderPort("0811"), 0) << "a full queue is never chosen";
    db::exec(QStringLiteral("DELETE FROM qsms WHERE idx=(SELECT min(idx) FROM qsms)"));
    EXPECT_EQ(PickSenderPort("0811"), 1);
    QueueOutgoingSms("0899", "", "reply");
    EXPECT_EQ(db::countRows(QStringLiteral("SELECT * FROM qsms WHERE isipesan='reply' AND pidcom=2")), 1);
}

TEST_F(SenderPort, QueuedMessageCarriesTheChoiceAndNeverThrows) {
    port(7, "0817");
    QueueOutgoingSms("0899", "0817", "it's a reply");
    QSqlQuery row = db::exec(QStringLiteral("SELECT tujuan,pengirim,isipesan,pidcom,trycount,tgl,waktu FROM qsms"));
    ASSERT_TRUE(row.next());
    EXPECT_EQ(row.value(0).toString(), QStringLiteral("0899"));
    EXPECT_EQ(row.value(1).toString(), QStringLiteral("0817"));
    EXPECT_EQ(row.value(2).toString(), QStringLiteral("it's a reply"));
    EXPECT_EQ(row.value(3).toInt(), 7);
    EXPECT_EQ(row.value(4).toInt(), 0);
    EXPECT_EQ(row.value(5).toString(), QDate::currentDate().toString(Qt::ISODate));
    EXPECT_EQ(row.value(6).toString().size(), 5);
    row.finish();

    db::execDirect(QStringLiteral("DROP TABLE cs"));
    QueueOutgoingSms("0899", "0817", "port 0");
    EXPECT_EQ(db::countRows(QStringLiteral("SELECT idx FROM qsms WHERE pidcom=0")), 1);
    db::execDirect(QStringLiteral("DROP TABLE qsms"));
    EXPECT_NO_THROW(QueueOutgoingSms("0899", "0817", "lost quietly"));
}

} // namespace

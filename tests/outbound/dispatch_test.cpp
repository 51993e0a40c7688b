// One outbound batch against a real SQLite file, in the modes that need no modem: the web
// service (every message counts as sent) and the WAP push hook (a send that can fail).

#include <gtest/gtest.h>

#include <QDate>
#include <QSqlQuery>

#include <future>

#include "db/database.h"
#include "db/dialect.h"
#include "db/query.h"
#include "outbound/dispatch.h"
#include "outbound/limits.h"
#include "test_support.h"

using namespace pelorin;
using namespace pelorin::outbound;

namespace {

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        home.initDatabase();
        db::exec(QStringLiteral("INSERT INTO cs (com,nomor,stat) VALUES (5,'0812','RUN')"));
        context.modemType = "MERL-SENDER";
        context.account = {"gw.example", "KEY", "SIG", false};
        context.SetPortError = [this](const std::string& text) { reports.push_back(text); };
        context.pause = [](int) {};
        // The web service answers at once, as `answers` says (taken unless told otherwise).
        context.IssueWebRequest = [this](const std::string& url) {
            requested.push_back(url);
            std::promise<WebOutcome> outcome;
            const bool taken = answers.empty() || answers.front();
            if (!answers.empty()) answers.erase(answers.begin());
            outcome.set_value({taken, taken ? "" : "web request 0 for x failed: HTTP 500"});
            return outcome.get_future();
        };
    }
    void TearDown() override { db::Database::closeThisThread(); }

    qlonglong queue(const std::string& text, int trycount = 0, const std::string& wapurl = "",
                    const std::string& to = "+628111") {
        db::exec(QStringLiteral("INSERT INTO qsms (tgl,waktu,pengirim,tujuan,isipesan,pidcom,trycount,wapurl) "
                                "VALUES (?,'09:00','0899',?,?,5,?,?)"),
                 {db::today(), db::text(to), db::text(text), trycount, db::text(wapurl)});
        return lastIdx();
    }
    static qlonglong lastIdx() {
        QSqlQuery q = db::exec(QStringLiteral("SELECT max(idx) FROM qsms"));
        q.next();
        return q.value(0).toLongLong();
    }
    static QStringList column(const QString& sql) {
        QStringList values;
        QSqlQuery q = db::exec(sql);
        while (q.next()) values << q.value(0).toString();
        return values;
    }
    static void setLimits(const QString& assignments) {
        db::exec(QStringLiteral("UPDATE cs SET ") + assignments + QStringLiteral(" WHERE com=5"));
    }
    // A modem type whose WAP push always fails: the failure path without a modem.
    void failingSends() {
        context.modemType = "WAVECOM";
        context.SendWapPush = [](const std::string&, const std::string&, const std::string&) {
            return SubmitResult::Failed;
        };
    }

    test::TempHome home;
    DispatchContext context;
    std::vector<std::string> reports;
    std::vector<std::string> requested;
    std::vector<bool> answers;
};

TEST_F(Dispatch, BatchOfFourHandlesThreeInAttemptThenQueueOrder) {
    queue("e", 2);
    queue("a", 0);
    queue("c", 1);
    queue("b", 0);
    queue("d", 1);
    const auto urls = DispatchOutbound(context, "5", 4);
    EXPECT_EQ(column(QStringLiteral("SELECT pesan FROM smsout")), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(column(QStringLiteral("SELECT isipesan FROM qsms ORDER BY idx")), (QStringList{"e", "d"}));
    ASSERT_EQ(urls.size(), 3u);
    EXPECT_NE(urls[0].find("&destination=08111&bodyMOB=a&"), std::string::npos) << urls[0];
    EXPECT_EQ(column(QStringLiteral("SELECT penerima FROM smsout")).first(), QStringLiteral("08111"));
    EXPECT_TRUE(reports.empty());

    DispatchOutbound(context, "5", 2);
    EXPECT_EQ(column(QStringLiteral("SELECT isipesan FROM qsms")), (QStringList{"e"}));
    DispatchOutbound(context, "5", 4);
    EXPECT_TRUE(column(QStringLiteral("SELECT isipesan FROM qsms")).isEmpty());
}

TEST_F(Dispatch, OtherPortsQueuesAreLeftAlone) {
    queue("mine");
    db::exec(QStringLiteral("UPDATE qsms SET pidcom=6"));
    EXPECT_TRUE(DispatchOutbound(context, "5", 4).empty());
    EXPECT_EQ(column(QStringLiteral("SELECT isipesan FROM qsms")), (QStringList{"mine"}));
}

TEST_F(Dispatch, DailyAllowanceStartsAgainOnANewDay) {
    const QDate yesterday = QDate::currentDate().addDays(-1);
    db::exec(QStringLiteral("UPDATE cs SET useharian=1,limitharian=10,hariandown=0,tglsekarang=? WHERE com=5"),
             {db::dialect::dateValue(db::Backend::Sqlite, yesterday)});
    queue("x");
    DispatchOutbound(context, "5", 4);
    EXPECT_TRUE(reports.empty());
    QSqlQuery row = db::exec(QStringLiteral("SELECT hariandown,tglsekarang FROM cs WHERE com=5"));
    ASSERT_TRUE(row.next());
    EXPECT_EQ(row.value(0).toInt(), 9);
    EXPECT_EQ(db::dialect::readDate(row.value(1)), QDate::currentDate());
}

TEST_F(Dispatch, LimitsStopTheModuleAndKeepTheMessage) {
    struct Case {
        const char* limits;
        bool allowed;
    };
    const QString today = QDate::currentDate().toString(Qt::ISODate);
    for (const Case c : {Case{"usecountdown=1,countdown=0", false}, Case{"usecountdown=1,countdown=1", true},
                         Case{"usecountdown=-1,countdown=0", false},  // any non-zero truth value
                         Case{"usecountdown=1,countdown=0,useharian=1,limitharian=5,hariandown=5", false},
                         Case{"useharian=1,hariandown=0,limitharian=9", false}}) {
        db::exec(QStringLiteral("UPDATE cs SET usecountdown=0,countdown=0,useharian=0,limitharian=0,hariandown=0,"
                                "tglsekarang='") + today + QStringLiteral("'"));
        setLimits(QString::fromLatin1(c.limits));
        db::exec(QStringLiteral("DELETE FROM qsms"));
        db::exec(QStringLiteral("DELETE FROM smsout"));
        reports.clear();
        queue("one part");
        DispatchOutbound(context, "5", 4);
        if (c.allowed) {
            EXPECT_TRUE(reports.empty()) << c.limits;
            EXPECT_EQ(column(QStringLiteral("SELECT pesan FROM smsout")).size(), 1) << c.limits;
        } else {
            EXPECT_EQ(reports, (std::vector<std::string>{"Batas Limit Tercapai "})) << c.limits;
            EXPECT_EQ(column(QStringLiteral("SELECT trycount FROM qsms")), (QStringList{"0"})) << c.limits;
            EXPECT_TRUE(column(QStringLiteral("SELECT pesan FROM smsout")).isEmpty()) << c.limits;
        }
    }
}

TEST_F(Dispatch, EmptyMessagePassesEveryLimitAndBooksNothing) {
    setLimits(QStringLiteral("usecountdown=1,countdown=0"));
    queue("");
    DispatchOutbound(context, "5", 4);
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(column(QStringLiteral("SELECT countdown FROM cs")), (QStringList{"0"}));
    EXPECT_TRUE(column(QStringLiteral("SELECT idx FROM qsms")).isEmpty());
}

TEST_F(Dispatch, LongMessagesBookTheirParts) {
    setLimits(QStringLiteral("usecountdown=1,countdown=10"));
    queue(std::string(161, 'a'));
    DispatchOutbound(context, "5", 4);
    EXPECT_EQ(column(QStringLiteral("SELECT countdown FROM cs")), (QStringList{"8"}));
}

TEST_F(Dispatch, FailuresCountUpToTheTwentyFirstThenStop) {
    failingSends();
    queue("at twenty", 20, "http://wap.example/a");
    DispatchOutbound(context, "5", 4);
    EXPECT_EQ(column(QStringLiteral("SELECT trycount FROM qsms")), (QStringList{"21"}));
    EXPECT_TRUE(reports.empty());
    DispatchOutbound(context, "5", 4);
    EXPECT_EQ(reports, (std::vector<std::string>{"GAGAL KIRIM 20x, CEKPULSA!"}));
    EXPECT_EQ(column(QStringLiteral("SELECT trycount FROM qsms")), (QStringList{"21"}));
}

TEST_F(Dispatch, AutomaticRemovalMovesTheWholeRow) {
    failingSends();
    db::exec(QStringLiteral("INSERT INTO setting (cekautodel,smsautodel) VALUES (1,3)"));
    queue("third failure", 2, "http://wap.example/a");
    queue("fourth failure", 3, "http://wap.example/b");
    DispatchOutbound(context, "5", 4);
    EXPECT_EQ(column(QStringLiteral("SELECT isipesan FROM qsms")), (QStringList{"third failure"}));
    EXPECT_EQ(column(QStringLiteral("SELECT trycount FROM qsms")), (QStringList{"3"}));
    QSqlQuery moved = db::exec(QStringLiteral("SELECT isipesan,trycount,wapurl,pidcom FROM failedsent"));
    ASSERT_TRUE(moved.next());
    EXPECT_EQ(moved.value(0).toString(), QStringLiteral("fourth failure"));
    EXPECT_EQ(moved.value(1).toInt(), 3);
    EXPECT_EQ(moved.value(2).toString(), QStringLiteral("http://wap.example/b"));
    EXPECT_EQ(moved.value(3).toInt(), 5);
    EXPECT_FALSE(moved.next());
}

TEST_F(Dispatch, RemovalOnlyWhenTheSettingIsExactlyOne) {
    failingSends();
    db::exec(QStringLiteral("INSERT INTO setting (cekautodel,smsautodel) VALUES (2,1)"));
    queue("kept", 5, "http://wap.example/a");
    DispatchOutbound(context, "5", 4);
    EXPECT_EQ(column(QStringLiteral("SELECT trycount FROM qsms")), (QStringList{"6"}));
    EXPECT_TRUE(column(QStringLiteral("SELECT idx FROM failedsent")).isEmpty());
}

TEST_F(Dispatch, ErrorsEndTheBatchAsSenderErrors) {
    queue("x");
    DispatchOutbound(context, "five", 4);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].rfind("ModemSENDER ERROR ", 0), 0u) << reports[0];

    reports.clear();
    db::execDirect(QStringLiteral("DROP TABLE smsout"));
    const auto urls = DispatchOutbound(context, "5", 4);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("smsout"), std::string::npos) << reports[0];
    EXPECT_EQ(urls.size(), 1u) << "requested first, recorded once the service took it";
    EXPECT_EQ(column(QStringLiteral("SELECT isipesan FROM qsms")), (QStringList{"x"}))
        << "a message whose log failed stays queued: at worst it is requested again";
}

TEST_F(Dispatch, WebBatchEndsAfterRecordingWhatWentOut) {
    struct Case {
        const char* name;
        const char* limits;
        int trycountOfFirst;
        std::vector<bool> answers;
        std::size_t requests;
        QStringList logged;
        std::string report;
    };
    const Case cases[] = {
        // Requests under way count against the limits before they are booked.
        {"countdown of two", "usecountdown=1,countdown=2", 0, {}, 2, {"a", "b"}, "Batas Limit Tercapai "},
        {"too many failures", "usecountdown=0", 21, {true, true, false}, 3, {"b", "c"}, "GAGAL KIRIM 20x, CEKPULSA!"},
    };
    for (const Case& c : cases) {
        db::exec(QStringLiteral("DELETE FROM qsms"));
        db::exec(QStringLiteral("DELETE FROM smsout"));
        setLimits(QString::fromLatin1(c.limits));
        reports.clear();
        requested.clear();
        answers = c.answers;
        queue("a", c.trycountOfFirst);
        queue("b", c.trycountOfFirst);
        db::exec(QStringLiteral("UPDATE qsms SET trycount=0 WHERE isipesan='b'"));
        queue("c");
        DispatchOutbound(context, "5", 4);
        EXPECT_EQ(requested.size(), c.requests) << c.name;
        EXPECT_EQ(column(QStringLiteral("SELECT pesan FROM smsout ORDER BY pesan")), c.logged) << c.name;
        EXPECT_EQ(reports, std::vector<std::string>{c.report}) << c.name;
    }
}

} // namespace

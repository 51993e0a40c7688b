// Storing received messages: the two-way template, the cut columns, and the quiz check.

#include "inbound/inbound_store.h"

#include <QDate>

#include "db/dialect.h"
#include "inbound_fixture.h"

using namespace pelorin;
using test::InboundTest;

namespace {

const std::string kStamp = "05-17-24 10:11:12";

class InboundStore : public InboundTest {
protected:
    static void twoway(const char* nomor, const char* url) {
        insert(QStringLiteral("twoway"), {QStringLiteral("nomor"), QStringLiteral("url")},
               {nomor, url});
    }
    static void participant(const std::string& msisdn, int daysAgo, int harilimit,
                            const char* correct) {
        const QDate broadcast = QDate::currentDate().addDays(-daysAgo);
        insert(QStringLiteral("answerkuis"),
               {QStringLiteral("msisdn"), QStringLiteral("datebroadcast"),
                QStringLiteral("harilimit"), QStringLiteral("correctanswer")},
               {db::text(msisdn), db::dialect::dateValue(db::Database::backend(), broadcast),
                harilimit, correct});
    }
    static std::string iso(int daysFromToday) {
        return QDate::currentDate()
            .addDays(daysFromToday)
            .toString(QStringLiteral("yyyy-MM-dd"))
            .toStdString();
    }
};

TEST_F(InboundStore, TemplateOfTheOwnNumberElseTheDefaultRow) {
    struct Case {
        const char* own;
        bool ownRow;
        bool defaultRow;
        const char* stored;
    };
    const Case cases[] = {
        {"0811", true, true, "http://own?m=@@MESSAGE@@"},
        {"0811", false, true, "http://default?f=@@MOBILE@@"},
        {"", true, true, "http://default?f=@@MOBILE@@"},
        {"0811", false, false, ""},
    };
    for (const Case& c : cases) {
        db::exec(QStringLiteral("DELETE FROM twoway"));
        db::exec(QStringLiteral("DELETE FROM smsin"));
        if (c.ownRow) twoway("0811", "http://own?m=@@MESSAGE@@");
        if (c.defaultRow) twoway("", "http://default?f=@@MOBILE@@");
        inbound::StoreReceivedMessage("0812", "halo", kStamp, c.own);
        EXPECT_EQ(rows(QStringLiteral("SELECT pass2way FROM smsin")),
                  std::vector<std::string>{c.stored})
            << c.own;
    }
}

TEST_F(InboundStore, StoresTheRowWithCutPartiesAndTheWholeText) {
    const std::string sender(35, '7');
    const std::string receiver = "MODUL-" + std::string(30, 'x');
    const std::string message =
        "it's 100% _done_ '); DROP TABLE smsin; --\r\n" + std::string(300, 'z');
    inbound::StoreInboundSms(sender, receiver, message, "", kStamp);
    QSqlQuery q = db::exec(
        QStringLiteral("SELECT tanggal,waktu,pengirim,penerima,pesan,tglwaktukirim FROM smsin"));
    ASSERT_TRUE(q.next());
    EXPECT_EQ(db::dialect::readDate(q.value(0)), QDate::currentDate());
    EXPECT_EQ(q.value(1).toString().size(), 5);
    EXPECT_EQ(db::textOf(q.value(2)), sender.substr(0, 30));
    EXPECT_EQ(db::textOf(q.value(3)), receiver.substr(0, 30));
    EXPECT_EQ(db::textOf(q.value(4)), message);
    EXPECT_EQ(db::textOf(q.value(5)), kStamp);
}

TEST_F(InboundStore, QuizCheckTextHasThreeShapes) {
    const std::string lookup =
        "CEK KUIS:SELECT datebroadcast,harilimit,correctanswer FROM answerkuis WHERE msisdn='0812'";
    EXPECT_EQ(inbound::StoreInboundSms("0812", "0811", "Jakarta", "", kStamp), lookup);

    participant("0812", 3, 2, "jakarta");
    EXPECT_EQ(inbound::StoreInboundSms("0812", "0811", "Jakarta", "", kStamp),
              lookup + "\r\n" + iso(0) + "-" + iso(-1));
    EXPECT_EQ(rows(QStringLiteral("SELECT answer FROM answerkuis")), std::vector<std::string>{""});

    db::exec(QStringLiteral("UPDATE answerkuis SET harilimit=3"));
    EXPECT_EQ(inbound::StoreInboundSms("0812", "0811", "Jakarta", "", kStamp),
              lookup + "\r\n" + iso(0) + "-" + iso(0) +
                  "\r\n-UPDATE answerkuis SET answer='Jakarta',iscorrect=1 WHERE msisdn='0812'");
}

TEST_F(InboundStore, AnswersInTimeAreRecordedWithTheirVerdict) {
    struct Case {
        int daysAgo;
        int harilimit;
        const char* correct;
        std::string message;
        const char* expected;
    };
    const Case cases[] = {
        {2, 2, "jakarta", "Jakarta", "Jakarta|1"}, // on the deadline day
        {3, 2, "jakarta", "Jakarta", "|0"},        // the day after: untouched
        {0, 0, "jakarta", "jakarta", "jakarta|1"}, // limit 0: broadcast day only
        {1, 0, "jakarta", "jakarta", "|0"},
        {0, 1, " Jakarta ", "  JAKARTA\r\n", "  JAKARTA\r\n|1"}, // case and blanks ignored
        {0, 1, "jakarta", "jakarta raya", "jakarta raya|0"},     // further words are wrong
        {0, 1, "it's", "IT'S", "IT'S|1"},                        // quote stored as it is
    };
    for (const Case& c : cases) {
        db::exec(QStringLiteral("DELETE FROM answerkuis"));
        participant("0812", c.daysAgo, c.harilimit, c.correct);
        inbound::StoreInboundSms("0812", "0811", c.message, "", kStamp);
        EXPECT_EQ(rows(QStringLiteral("SELECT answer,iscorrect FROM answerkuis")),
                  std::vector<std::string>{c.expected})
            << c.daysAgo << "/" << c.harilimit << " " << c.message;
    }
}

TEST_F(InboundStore, QuizUsesTheWholeSenderAndTheFirstRowsDates) {
    const std::string sender(35, '8');
    participant(sender, 0, 5, "ya");     // first row decides: in time
    participant(sender, 30, 0, "tidak"); // would be too late
    participant(sender.substr(0, 30), 0, 5, "ya");
    const std::string check = inbound::StoreInboundSms(sender, "0811", "ya", "", kStamp);
    EXPECT_NE(check.find("-UPDATE"), std::string::npos) << check;
    EXPECT_EQ(rows(QStringLiteral("SELECT answer,iscorrect FROM answerkuis ORDER BY length(msisdn) DESC")),
              (std::vector<std::string>{"ya|1", "ya|1", "|0"})); // one verdict, from the first row
}

TEST_F(InboundStore, FailuresPropagateAndKeepTheStoredMessage) {
    insert(QStringLiteral("answerkuis"), {QStringLiteral("msisdn"), QStringLiteral("harilimit")},
           {"0812", 1});
    EXPECT_THROW(inbound::StoreInboundSms("0812", "0811", "ya", "", kStamp), db::DbError);
    EXPECT_EQ(rows(QStringLiteral("SELECT pesan FROM smsin")), std::vector<std::string>{"ya"});

    db::execDirect(QStringLiteral("DROP TABLE twoway"));
    EXPECT_THROW(inbound::StoreReceivedMessage("0813", "x", kStamp, "0811"), db::DbError);
    db::execDirect(QStringLiteral("DROP TABLE smsin"));
    EXPECT_THROW(inbound::StoreInboundSms("0813", "0811", "x", "", kStamp), db::DbError);
}

} // namespace

// Sending end to end: rows queued the way the main application queues them, the real
// module, the simulated modem, and the database checked afterwards.

#include <gtest/gtest.h>

#include <QDate>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>

#include <csignal>
#include <set>

#include "db/query.h"
#include "e2e_fixture.h"

namespace pelorin::test {
namespace {

const QString kSender = QStringLiteral("com=5#modem=WAVECOM#baudrate=115200#sender=SENDER");

class Sending : public ModemPortTest {
protected:
    // Every row with its attempt count, as the main application queues them.
    void queue(const QString& text, int trycount = 0) {
        ModemPortTest::queue(text, {QStringLiteral("trycount=%1").arg(trycount)});
    }
    // Each "AT+CMGS=" line must be followed by one PDU ending in Ctrl-Z and announce its length.
    static void expectWellFormedSubmissions(const SimLog& log, std::size_t expected) {
        std::size_t seen = 0;
        for (std::size_t i = 0; i < log.size(); ++i) {
            if (log[i].rfind("AT+CMGS=", 0) != 0) continue;
            ++seen;
            ASSERT_LT(i + 1, log.size());
            const std::string& pdu = log[i + 1];
            ASSERT_FALSE(pdu.empty());
            EXPECT_EQ(pdu.back(), '\x1A');
            EXPECT_EQ(log[i], "AT+CMGS=" + std::to_string((pdu.size() - 3) / 2) + "\r");
        }
        EXPECT_EQ(seen, expected);
    }
};

TEST_F(Sending, ShortMessageIsOnePduLoggedAndDequeued) {
    queue(QStringLiteral("Halo dunia"));
    ModuleRun module(home, kSender);
    ASSERT_TRUE(rowsBecome("smsout", 1));
    EXPECT_EQ(rows("qsms"), 0);
    expectWellFormedSubmissions(sentLog(), 1);
    const auto pdus = sim->submitted();
    ASSERT_EQ(pdus.size(), 1u);
    EXPECT_EQ(pdus[0].substr(0, 4), "0031");
    const auto row = textRows(QStringLiteral("SELECT penerima,pesan,pidcom,tanggal FROM smsout"));
    ASSERT_FALSE(row.isEmpty());
    EXPECT_EQ(row[0][0], QStringLiteral("08123456789"));
    EXPECT_EQ(row[0][1], QStringLiteral("Halo dunia"));
    EXPECT_EQ(row[0][2].toInt(), 5);
    EXPECT_EQ(row[0][3], QDate::currentDate().toString(Qt::ISODate));
}

TEST_F(Sending, LongMessageIsThreePartsWithOneReferenceLoggedOnce) {
    queue(QString(400, QLatin1Char('z')));
    ModuleRun module(home, kSender);
    ASSERT_TRUE(rowsBecome("smsout", 1));
    expectWellFormedSubmissions(sentLog(), 3);
    const auto pdus = sim->submitted();
    ASSERT_EQ(pdus.size(), 3u);
    std::set<std::string> references;
    for (std::size_t k = 0; k < 3; ++k) {
        // 00 71 00 0B 81 <12 digits> 00 00 AA <udl> 06 08 04 00 <ref> 03 <k>
        const std::string header = pdus[k].substr(30, 14);
        EXPECT_EQ(header.substr(0, 8), "06080400") << pdus[k];
        EXPECT_EQ(header.substr(10, 4), "030" + std::to_string(k + 1)) << pdus[k];
        references.insert(header.substr(8, 2));
    }
    ASSERT_EQ(references.size(), 1u);
    const int reference = std::stoi(*references.begin(), nullptr, 16);
    EXPECT_GE(reference, 1);
    EXPECT_LE(reference, 79);
}

TEST_F(Sending, ExtensionCharactersNeverMakeAPduTheModemRefuses) {
    // 160 characters, one of them "{" (two septets): too long for one SMS, so two parts.
    queue(QString(159, QLatin1Char('a')) + QLatin1Char('{'));
    ModuleRun module(home, kSender);
    ASSERT_TRUE(rowsBecome("smsout", 1));
    EXPECT_EQ(sim->submitted().size(), 2u);
    EXPECT_EQ(rows("qsms"), 0);
}

TEST_F(Sending, LimitsBookThePartsActuallySent) {
    setPort({QStringLiteral("usecountdown=1"), QStringLiteral("countdown=100")});
    struct Case {
        const char* name;
        QString text;
        int parts;
    };
    const Case cases[] = {
        {"300 escape pairs", QString(300, QLatin1Char('{')), 4},
        {"159 letters and an escape pair", QString(159, QLatin1Char('a')) + QLatin1Char('{'), 2},
        {"71 UCS2 units", QString(QChar(0x0105)) + QString(70, QLatin1Char('a')), 2},
    };
    ModuleRun module(home, kSender);
    int left = 100;
    int sent = 0;
    std::size_t pdus = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        queue(c.text);
        ASSERT_TRUE(rowsBecome("smsout", ++sent));
        left -= c.parts;
        EXPECT_EQ(texts(QStringLiteral("SELECT countdown FROM cs WHERE com=5")), QStringList{QString::number(left)});
        EXPECT_EQ(sim->submitted().size() - pdus, static_cast<std::size_t>(c.parts));
        pdus = sim->submitted().size();
    }
}

TEST_F(Sending, MessagesNoModemCanSendAreSetAsideAtOnceAndTheNextOneGoes) {
    struct Case {
        const char* name;
        QString tujuan;
        QString text;
    };
    const Case unsendable[] = {
        {"letters", QStringLiteral("notanumber"), QStringLiteral("x")},
        {"no destination", QString(), QStringLiteral("x")},
        {"21 digits", QStringLiteral("081234567890123456789"), QStringLiteral("x")},
        {"256 parts of 7-bit text", QStringLiteral("08123456789"), QString(255 * 152 + 1, QLatin1Char('a'))},
        {"258 parts of UCS2 text", QStringLiteral("08123456789"), QString(17000, QChar(0x0105))},
    };
    // Written as the main application writes rows, past the admin tool's own check.
    std::vector<qlonglong> setAside;
    for (const Case& c : unsendable) {
        db::exec(QStringLiteral("INSERT INTO qsms (tgl,waktu,pengirim,tujuan,isipesan,pidcom,trycount) "
                                "VALUES (?,'09:00','SENDER',?,?,5,0)"),
                 {db::today(), c.tujuan, c.text});
        setAside.push_back(textRows(QStringLiteral("SELECT max(idx) FROM qsms")).front()[0].toLongLong());
    }
    // A home number goes national, another country's as an international number.
    ModemPortTest::queue(QStringLiteral("berikutnya"), {}, QStringLiteral("+62 812-345-678"));
    ModemPortTest::queue(QStringLiteral("luar negeri"), {}, QStringLiteral("+1 555-012-3456"));
    ModuleRun module(home, kSender);
    ASSERT_TRUE(rowsBecome("smsout", 2, 30000)) << module.output().toStdString();
    EXPECT_EQ(texts(QStringLiteral("SELECT pesan FROM smsout ORDER BY pesan")),
              (QStringList{QStringLiteral("berikutnya"), QStringLiteral("luar negeri")}));
    EXPECT_EQ(rows("failedsent"), static_cast<int>(std::size(unsendable)));
    EXPECT_EQ(rows("qsms"), 0);
    const auto pdus = sim->submitted();
    ASSERT_EQ(pdus.size(), 2u) << "nothing of the others reached the modem";
    EXPECT_NE(pdus[0].find("000A818021436587"), std::string::npos) << "sent to 0812345678: " << pdus[0];
    EXPECT_NE(pdus[1].find("000B915155103254F6"), std::string::npos) << "sent to +15550123456: " << pdus[1];
    EXPECT_TRUE(module.running());
    EXPECT_TRUE(portStatIs(QStringLiteral("RUN")));
    const QString log = module.output();
    for (std::size_t i = 0; i < setAside.size(); ++i) {
        const QString line = QStringLiteral("queued message %1 to %2 set aside").arg(setAside[i]).arg(unsendable[i].tujuan);
        EXPECT_TRUE(log.contains(line)) << unsendable[i].name << "\n" << log.toStdString();
    }
}

TEST_F(Sending, ALockedDatabaseFileIsWaitedForAndTheSentMessageRecordedOnce) {
    PELORIN_SQLITE_ONLY();
    QProcessEnvironment env;
    env.insert(QStringLiteral("PELORIN_DB_RETRY_SECONDS"), QStringLiteral("120"));
    ModuleRun module(home, kSender, env);
    ASSERT_TRUE(portStatIs(QStringLiteral("RUN")));
    // The modem takes 3 s to accept the PDU; by then another process holds the write lock,
    // for longer than the busy timeout.
    sim->setFault("slow 3000");
    queue(QStringLiteral("terkunci"));
    ASSERT_TRUE(sim->waitForLog([](const SimLog& log) { return !log.empty() && log.back().back() == '\x1A'; },
                                std::chrono::seconds(30)));
    db::execDirect(QStringLiteral("BEGIN IMMEDIATE"));
    QThread::sleep(20);
    const QStringList rowDuringTheLock = portRow(kPort);
    db::execDirect(QStringLiteral("ROLLBACK"));
    EXPECT_EQ(rowDuringTheLock.value(0), QStringLiteral("RUN"));
    ASSERT_TRUE(rowsBecome("smsout", 1, 60000)) << module.output().toStdString();
    sim->clearFaults();
    // Several more batches: the message is not sent again.
    ASSERT_TRUE(logHas("AT\r", countOf(sentLog(), "AT\r") + 3));
    EXPECT_EQ(sim->submitted().size(), 1u);
    EXPECT_EQ(rows("qsms"), 0);
    EXPECT_TRUE(module.running()) << module.output().toStdString();
    EXPECT_TRUE(portStatIs(QStringLiteral("RUN")));
    EXPECT_TRUE(module.output().contains(QStringLiteral("locked by another process"))) << module.output().toStdString();
}

TEST_F(Sending, FiveMessagesGoThreeThenTwoInAttemptOrder) {
    queue(QStringLiteral("m3"), 1);
    queue(QStringLiteral("m1"));
    queue(QStringLiteral("m4"), 1);
    queue(QStringLiteral("m2"));
    queue(QStringLiteral("m5"), 2);
    ModuleRun module(home, kSender);
    ASSERT_TRUE(rowsBecome("smsout", 5));
    // Insertion order: smsout has no key of its own.
    const QString order = usingPostgres() ? QStringLiteral("ctid") : QStringLiteral("rowid");
    EXPECT_EQ(texts(QStringLiteral("SELECT pesan FROM smsout ORDER BY ") + order),
              (QStringList{"m1", "m2", "m3", "m4", "m5"}));
    // Batches are told apart by the ready check that follows each one.
    std::vector<int> perCycle{0};
    for (const std::string& entry : sentLog()) {
        if (entry == "AT\r") perCycle.push_back(0);
        if (entry.rfind("AT+CMGS=", 0) == 0) ++perCycle.back();
    }
    ASSERT_GE(perCycle.size(), 2u);
    EXPECT_EQ(perCycle[0], 3);
    EXPECT_EQ(perCycle[1], 2);
}

TEST_F(Sending, DelaySendsOnePerBatchAtLeastTheDelayApart) {
    for (int i = 0; i < 3; ++i) queue(QStringLiteral("d%1").arg(i));
    ModuleRun module(home, kSender + QStringLiteral("#delay=2"));
    std::vector<qint64> sentAt;
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(waitUntil([&] {
        const int n = rows("smsout");
        while (static_cast<int>(sentAt.size()) < n) sentAt.push_back(clock.elapsed());
        return n == 3;
    }, 40000));
    // A batch of one; the next one no sooner than the delay after it.
    for (std::size_t i = 1; i < sentAt.size(); ++i) {
        EXPECT_GE(sentAt[i] - sentAt[i - 1], 1800) << "batch " << i;
    }
}

TEST_F(Sending, RefusedPdusRaiseTheAttemptCountAndLoseNothing) {
    sim->setCmgsSucceeds(false);
    queue(QStringLiteral("refused"));
    ModuleRun module(home, kSender);
    ASSERT_TRUE(rowsBecome(QStringLiteral("SELECT idx FROM qsms WHERE trycount>=3"), 1, 40000));
    EXPECT_EQ(rows("smsout"), 0);
    EXPECT_EQ(rows("failedsent"), 0);
}

TEST_F(Sending, KillingTheModuleNeverLosesOrDuplicatesARow) {
    sim->setFault("slow 40");
    QStringList all;
    for (int i = 0; i < 8; ++i) {
        all << QStringLiteral("k%1").arg(i);
        queue(all.back());
    }
    auto* random = QRandomGenerator::global();
    for (int round = 0; round < 5 && rows("qsms") > 0; ++round) {
        ModuleRun module(home, kSender);
        QThread::msleep(300 + random->bounded(2500));
        module.signal(SIGKILL);
        ASSERT_TRUE(module.waitForExit());
        for (const QString& text : all) {
            int places = 0;
            for (const char* table : {"qsms", "smsout", "failedsent"}) {
                const QString column = QLatin1String(table) == QLatin1String("smsout") ? QStringLiteral("pesan")
                                                                                         : QStringLiteral("isipesan");
                places += rows(QStringLiteral("SELECT * FROM %1 WHERE %2=?").arg(QLatin1String(table), column), {text});
            }
            EXPECT_EQ(places, 1) << text.toStdString() << " in round " << round;
        }
    }
}

} // namespace
} // namespace pelorin::test

// The "MERL-CENTER" type end to end against real TCP clients: every request that got the reply
// has its row, whatever the clients, the database or a stop do; a peer's cost is bounded. And
// U+0000 from any peer never reaches a statement.

#include <gtest/gtest.h>

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <csignal>
#include <map>
#include <thread>

#include "db/database.h"
#include "db/query.h"
#include "e2e_fixture.h"
#include "samples.h"
#include "loopback_peers.h"

namespace pelorin::test {
namespace {

constexpr quint32 kLoopback = 0x7F000001;
constexpr quint32 kLoopback2 = 0x7F000002;

// No modem: no simulator.
class MenuPort : public ModemPortTest {
protected:
    MenuPort() : ModemPortTest({QStringLiteral("nomor=081200000005")}, SimStart::OnDemand) {}
    void SetUp() override {
        ModemPortTest::SetUp();
        QFile ini(home.path() + QStringLiteral("/merlcenter.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("com=5\r\nMESSAGE=Menu utama ^1\r\nTipe=PULSA\r\nMESSAGE=Isi ^1 sebesar ^2 untuk ^3\r\n"
                  "Tipe=BIG\r\nMESSAGE=" + QByteArray("^2").repeated(60) + "\r\ncom=6\r\nTipe=X\r\n");
    }
    // Starts the module on a fresh port with `extra` settings ("#listen=...") and waits for RUN.
    std::unique_ptr<ModuleRun> start(const QString& extra = {}, const QProcessEnvironment& env = {}) {
        disablePort();
        port = freePort();
        auto module = std::make_unique<ModuleRun>(
            home, QStringLiteral("com=5#modem=MERL-CENTER#baudrate=%1#sender=SENDER").arg(port) + extra, env);
        EXPECT_TRUE(portStatIs(QStringLiteral("RUN"))) << module->output().toStdString();
        return module;
    }
    static QStringList stored(const QString& where = {}) {
        return texts(QStringLiteral("SELECT pengirim,pesan FROM smsin ") + where);
    }
    static std::string request(int i) {
        return "MSISDN=08" + std::to_string(1000 + i) + "\r\nUSRINP1=PULSA\r\nUSRINP2=" + std::to_string(i) + "\r\n\r\n";
    }
    // Clients that each send one request and wait for the reply; true for those that got it.
    std::vector<bool> burst(int clients, const std::function<void()>& meanwhile = {}) const {
        std::vector<char> answered(static_cast<std::size_t>(clients), 0);
        std::vector<std::thread> threads;
        for (int i = 0; i < clients; ++i) {
            threads.emplace_back([this, i, &answered] {
                MenuClient client(port);
                if (client.send(request(i))) answered[static_cast<std::size_t>(i)] = client.readReply(151, 60000) == kMenuReplyText;
            });
        }
        if (meanwhile) meanwhile();
        for (std::thread& t : threads) t.join();
        return {answered.begin(), answered.end()};
    }
    // Every client that got the reply has exactly one row; returns the rows per caller.
    static std::map<QString, int> checkRowsOf(const std::vector<bool>& answered) {
        std::map<QString, int> perCaller;
        for (const QVariantList& row : db::selectRows(QStringLiteral("SELECT pengirim FROM smsin"))) ++perCaller[row[0].toString()];
        for (std::size_t i = 0; i < answered.size(); ++i) {
            const auto row = perCaller.find(QStringLiteral("08%1").arg(1000 + i));
            const int stored = row == perCaller.end() ? 0 : row->second;
            if (answered[i]) EXPECT_EQ(stored, 1) << "client " << i;
            else EXPECT_LE(stored, 1) << "client " << i;
        }
        return perCaller;
    }

    quint16 port = 0;
};

TEST_F(MenuPort, RequestsAreStoredThenAnswered) {
    insert(QStringLiteral("twoway"), {QStringLiteral("nomor=081200000005"), QStringLiteral("url=http://crm/in")});
    const auto module = start();
    struct Case {
        const char* name;
        std::vector<std::string> pieces; // sent 300 ms apart
        bool closeWriting;
        QString stored; // empty: nothing stored
    };
    const Case cases[] = {
        {"one piece ending in an empty line", {"msisdn=0812\r\nusrinp1=PULSA\r\nUsrInp2=5000\r\nUSRINP3=0819\r\n\r\n"}, false,
         QStringLiteral("0812|Isi PULSA sebesar 5000 untuk 0819")},
        {"pieces within the pause are one request", {"MSISDN=0813\r\nUSRINP1=PULSA\r\nUSRINP2=50\r\n", "USRINP3=0818\r\n"},
         false, QStringLiteral("0813|Isi PULSA sebesar 50 untuk 0818")},
        {"a piece ending inside a key", {"MSISDN=0814\r\nUSRI", "NP1=PULSA\r\nUSRINP2=7"}, false,
         QStringLiteral("0814|Isi PULSA sebesar 7 untuk ")},
        {"ended by closing its side", {"MSISDN=0815\r\nUSRINP1=5\r\n"}, true, QStringLiteral("0815|Menu utama 5")},
        {"bytes after the request, still unread when answered", {"MSISDN=0818\r\nUSRINP1=5\r\n\r\n" + std::string(64 * 1024, 'x')},
         false, QStringLiteral("0818|Menu utama 5")},
        {"U+0000 dropped", {std::string("MSISDN=0816\r\nUSRINP1=PULSA\r\nUSRINP2=1\0" "0\r\n\r\n", 43)}, false,
         QStringLiteral("0816|Isi PULSA sebesar 10 untuk ")},
        {"no caller: answered, nothing kept", {"USRINP1=PULSA\r\n\r\n"}, false, QString()},
        {"no block for the input", {"MSISDN=0817\r\nUSRINP1=KOSONG\r\n\r\n"}, false, QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        db::exec(QStringLiteral("DELETE FROM smsin"));
        MenuClient client(port);
        ASSERT_GE(client.fd, 0);
        for (std::size_t i = 0; i < c.pieces.size(); ++i) {
            if (i > 0) QThread::msleep(300);
            ASSERT_TRUE(client.send(c.pieces[i]));
        }
        if (c.closeWriting) client.closeWriting();
        EXPECT_EQ(client.readReply(151, 15000), kMenuReplyText);
        // Then the end of the connection, in order: never a reset that could destroy the reply.
        EXPECT_TRUE(client.closedInOrder(10000));
        // The row is committed before the reply leaves.
        EXPECT_EQ(stored(), c.stored.isEmpty() ? QStringList() : QStringList{c.stored});
        if (c.stored.isEmpty()) continue;
        const auto row = db::selectRows(QStringLiteral("SELECT penerima,pass2way FROM smsin"));
        EXPECT_EQ(row[0][0].toString() + QLatin1Char(' ') + row[0][1].toString(), QStringLiteral("081200000005 http://crm/in"));
    }
    EXPECT_TRUE(module->running());
}

TEST_F(MenuPort, ABurstOf300ClientsIsStoredOnceEach) {
    const auto module = start();
    const std::vector<bool> answered = burst(300);
    const std::map<QString, int> perCaller = checkRowsOf(answered);
    EXPECT_EQ(std::count(answered.begin(), answered.end(), true), 300);
    EXPECT_EQ(perCaller.size(), 300u);
    EXPECT_TRUE(module->running());
}

TEST_F(MenuPort, StopMidBurstAnswersExactlyWhatItStored) {
    const auto module = start();
    const std::vector<bool> answered = burst(150, [&] {
        waitUntil([] { return rows(QStringLiteral("smsin")) >= 20; });
        module->signal(SIGTERM);
    });
    ASSERT_TRUE(module->waitForExit(70000));
    EXPECT_EQ(module->exitCode(), 0) << module->output().toStdString();
    const std::map<QString, int> perCaller = checkRowsOf(answered);
    // What was read before the stop was stored and answered before the module ended.
    EXPECT_EQ(std::count(answered.begin(), answered.end(), true), static_cast<long>(perCaller.size()));
    EXPECT_GE(perCaller.size(), 20u);
}

TEST_F(MenuPort, AWriteLockedDatabaseMakesTheRequestWaitNotVanish) {
    PELORIN_SQLITE_ONLY();
    const auto module = start();
    {
        QSqlDatabase locker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
        locker.setDatabaseName(home.databaseFile());
        ASSERT_TRUE(locker.open());
        QSqlQuery lock(locker);
        ASSERT_TRUE(lock.exec(QStringLiteral("BEGIN IMMEDIATE"))) << lock.lastError().text().toStdString();
        MenuClient client(port);
        ASSERT_TRUE(client.send(request(1)));
        EXPECT_EQ(client.readReply(1, 20000), "") << "no reply while nothing can be stored";
        ASSERT_TRUE(lock.exec(QStringLiteral("ROLLBACK")));
        EXPECT_EQ(client.readReply(151, 40000), kMenuReplyText) << module->output().toStdString();
        locker.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("locker"));
    EXPECT_EQ(stored(), QStringList{QStringLiteral("081001|Isi PULSA sebesar 1 untuk ")});
    EXPECT_EQ(portRow(5), (QStringList{QStringLiteral("RUN"), QStringLiteral("-")})) << module->output().toStdString();
}

TEST_F(MenuPort, OwnNumberIsWaitedForWhenTheServerIsAway) {
    if (!usingPostgres()) GTEST_SKIP() << "about a database server only";
    const auto module = start();
    const QString name = db::Database::config().databaseName;
    execOnServer(QStringLiteral("ALTER DATABASE %1 ALLOW_CONNECTIONS false").arg(name));
    db::selectRows(QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                  "WHERE datname=current_database() AND pid<>pg_backend_pid()"));
    MenuClient client(port);
    ASSERT_TRUE(client.send(request(2)));
    const std::string early = client.readReply(1, 4000);
    execOnServer(QStringLiteral("ALTER DATABASE %1 ALLOW_CONNECTIONS true").arg(name));
    EXPECT_EQ(early, "") << "no reply while nothing can be stored";
    EXPECT_EQ(client.readReply(151, 40000), kMenuReplyText) << module->output().toStdString();
    const auto row = db::selectRows(QStringLiteral("SELECT pengirim,penerima FROM smsin"));
    ASSERT_EQ(row.size(), 1u);
    EXPECT_EQ(row[0][1].toString(), QStringLiteral("081200000005"));
}

TEST_F(MenuPort, SilentConnectionsAndFloodsCannotHoldTheListener) {
    const auto module = start();
    {
        MenuClient warm(port);
        warm.send(request(0));
        warm.readReply();
    }
    const long idle = residentKb(module->pid());
    {
        MenuClient flood(port);
        const std::string chunk(64 * 1024, 'A');
        for (int i = 0; i < 160 && flood.send(chunk); ++i) {
        }
    }
    std::vector<std::unique_ptr<MenuClient>> silent;
    for (int i = 0; i < 256; ++i) silent.push_back(std::make_unique<MenuClient>(port));
    MenuClient genuine(port);
    ASSERT_TRUE(genuine.send(request(7)));
    EXPECT_EQ(genuine.readReply(151, 30000), kMenuReplyText) << module->output().toStdString();
    EXPECT_EQ(rows(QStringLiteral("SELECT * FROM smsin WHERE pengirim='081007'")), 1);
    int closed = 0;
    for (const auto& client : silent) closed += client->closedUnanswered(10000) ? 1 : 0;
    EXPECT_EQ(closed, 256) << "silent connections are closed without a reply";
    EXPECT_LT(residentKb(module->pid()) - idle, 10 * 1024) << "idle " << idle << " kB";
    EXPECT_TRUE(module->running());
}

TEST_F(MenuPort, ACraftedRequestStoresAtMost64KB) {
    const auto module = start();
    struct Case {
        const char* name;
        std::string request;
        QString stored;
    };
    const std::string marks3 = QByteArray("^3").repeated(350).toStdString();
    const std::string marks4 = QByteArray("^4").repeated(350).toStdString();
    const Case cases[] = {
        {"inputs are never scanned for markers",
         "MSISDN=0821\r\nUSRINP1=PULSA\r\nUSRINP2=" + marks3 + "\r\nUSRINP3=" + marks4 + "\r\n\r\n",
         QString::fromStdString("0821|Isi PULSA sebesar " + marks3 + " untuk " + marks4)},
        {"sixty markers of a 1.4 KB input", "MSISDN=0822\r\nUSRINP1=BIG\r\nUSRINP2=" + std::string(1400, 'x') + "\r\n\r\n",
         QStringLiteral("0822|") + QString(65536, QLatin1Char('x'))},
    };
    const long before = residentKb(module->pid());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_LT(c.request.size(), 1500u);
        MenuClient client(port);
        ASSERT_TRUE(client.send(c.request));
        EXPECT_EQ(client.readReply(151, 15000), kMenuReplyText);
        EXPECT_EQ(stored(QStringLiteral("WHERE pengirim='%1'").arg(c.stored.left(4))), QStringList{c.stored});
    }
    EXPECT_LT(residentKb(module->pid()) - before, 20 * 1024) << "before " << before << " kB";
    EXPECT_TRUE(module->running());
}

// Whether a listening socket for `port` is open on 127.0.0.1 (tcp) or on every address (tcp6 "::").
bool listensOn(const char* table, const QString& address, quint16 port) {
    QFile file(QStringLiteral("/proc/net/") + QLatin1String(table));
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QString local = address + QStringLiteral(":%1").arg(port, 4, 16, QLatin1Char('0')).toUpper();
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && QString::fromLatin1(fields[1]) == local && fields[3] == "0A") return true;
    }
    return false;
}

TEST_F(MenuPort, ListeningAddressAndAllowedClientsRestrictTheListener) {
    struct Case {
        const char* name;
        QString settings;
        quint32 to, from;
        bool served;
    };
    const Case cases[] = {
        {"every interface by default", QString(), kLoopback2, 0, true},
        {"bound to 127.0.0.1: other addresses refused", QStringLiteral("#listen=127.0.0.1"), kLoopback2, 0, false},
        {"bound to 127.0.0.1", QStringLiteral("#listen=127.0.0.1"), kLoopback, 0, true},
        {"a client not on the list", QStringLiteral("#allow=127.0.0.2"), kLoopback, kLoopback, false},
        {"a client in an allowed subnet", QStringLiteral("#allow=10.0.0.1, 127.0.0.0/30"), kLoopback, kLoopback2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        db::exec(QStringLiteral("DELETE FROM smsin"));
        const auto module = start(c.settings);
        if (c.settings.contains(QStringLiteral("listen"))) {
            EXPECT_TRUE(listensOn("tcp", QStringLiteral("0100007F"), port));
            EXPECT_FALSE(listensOn("tcp6", QString(32, QLatin1Char('0')), port));
        }
        MenuClient client(port, c.to, c.from);
        if (client.fd >= 0) {
            client.send(request(3));
            EXPECT_EQ(client.readReply(151, 10000), c.served ? kMenuReplyText : std::string());
        }
        EXPECT_EQ(client.fd >= 0 && rows(QStringLiteral("smsin")) == 1, c.served);
        if (c.settings.contains(QStringLiteral("allow")) && !c.served) {
            EXPECT_TRUE(module->output().contains(QStringLiteral("refused a menu connection from 127.0.0.1")));
        }
    }
    // An address that is not one is an error report, not a listener on every interface.
    const auto module = std::make_unique<ModuleRun>(
        home, QStringLiteral("com=5#modem=MERL-CENTER#baudrate=%1#sender=SENDER#listen=menu.local").arg(freePort()));
    ASSERT_TRUE(module->waitForExit());
    EXPECT_EQ(module->exitCode(), 1);
    EXPECT_TRUE(errorInfo().contains(QStringLiteral("'menu.local' is not an address"))) << errorInfo().toStdString();
}

TEST_F(MenuPort, AListeningPortTakenByAnotherModuleIsAnErrorReport) {
    disablePort(6);
    const auto first = start();
    ModuleRun second(home, QStringLiteral("com=6#modem=MERL-CENTER#baudrate=%1#sender=SENDER").arg(port));
    ASSERT_TRUE(second.waitForExit());
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_TRUE(errorInfo(6).contains(QString::number(port))) << errorInfo(6).toStdString();

    EXPECT_TRUE(stopsCleanly(*first));
    EXPECT_LT(MenuClient(port).fd, 0) << "the listener is closed";
}

// A received UCS2 text holding U+0000: stored without it, and the module goes on.
class ZeroCharacter : public ModemPortTest {
protected:
    ZeroCharacter() : ModemPortTest({QStringLiteral("nomor=0811")}) {}
};

TEST_F(ZeroCharacter, AReceivedTextWithU0000IsStoredWithoutIt) {
    // "ab", U+0000, "cd" as UCS2 from 08123456789.
    sim->storePdu("ME", "07912618485400F9040B818021436587F90008628021013504820A00610062000000630064");
    sim->storePdu("ME", kHaloPdu);
    ModuleRun module(home, kFullModule);
    ASSERT_TRUE(rowsBecome(QStringLiteral("smsin"), 2, 40000)) << module.output().toStdString();
    QStringList received = texts(QStringLiteral("SELECT pesan FROM smsin"));
    received.sort();
    EXPECT_EQ(received, (QStringList{QStringLiteral("Halo apa kabar"), QStringLiteral("abcd")}));
    EXPECT_TRUE(module.running());
    EXPECT_EQ(portRow(5).value(0), QStringLiteral("RUN"));
}

} // namespace
} // namespace pelorin::test

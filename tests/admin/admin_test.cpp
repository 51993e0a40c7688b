// pelorin-admin as the shell stand-in for the main application.

#include <gtest/gtest.h>

#include "test_support.h"

using pelorin::test::ProcessResult;
using pelorin::test::TempHome;

namespace {

ProcessResult runAdmin(const TempHome& home, const QStringList& args) {
    return pelorin::test::runProgram(pelorin::test::adminProgram(), args, home.environment());
}

TEST(AdminTool, InitCreatesOnceAndThenChangesNothing) {
    TempHome home;
    const auto first = runAdmin(home, {QStringLiteral("init")});
    EXPECT_EQ(first.exitCode, 0) << first.err.toStdString();
    EXPECT_TRUE(first.out.contains(QStringLiteral("initialised")));
    home.admin({QStringLiteral("queue"), QStringLiteral("tujuan=0812"), QStringLiteral("isipesan=x"),
                QStringLiteral("pidcom=5")});
    const auto second = runAdmin(home, {QStringLiteral("init")});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_TRUE(second.out.contains(QStringLiteral("nothing changed"))) << second.out.toStdString();
    const auto rows = home.admin({QStringLiteral("show"), QStringLiteral("qsms")});
    EXPECT_EQ(rows.out.count(QLatin1Char('\n')), 2) << "header and the one queued row survive";
}

TEST(AdminTool, PortAddsThenChangesTheRow) {
    TempHome home;
    home.admin({QStringLiteral("init")});
    home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("nomor=0812"), QStringLiteral("stat=RUN")});
    home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("stat=ERR"),
                QStringLiteral("errinfo=Modem ERROR COM5"), QStringLiteral("tglsekarang=2026-01-31")});
    const QString shown = home.admin({QStringLiteral("show"), QStringLiteral("cs")}).out;
    const QStringList lines = shown.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << shown.toStdString();
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("5\t0812\tERR\t\tModem ERROR COM5\t"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].contains(QStringLiteral("2026-01-31")));
}

TEST(AdminTool, StatusGivesOneLinePerPort) {
    TempHome home;
    home.admin({QStringLiteral("init")});
    const auto admin = [&](const QStringList& args) { home.admin(args); };
    admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("nomor=0811"), QStringLiteral("stat=RUN"),
           QStringLiteral("useharian=1"), QStringLiteral("limitharian=100"), QStringLiteral("hariandown=40"),
           QStringLiteral("tglsekarang=today"), QStringLiteral("usecountdown=1"), QStringLiteral("countdown=7")});
    // A daily count of another day no longer holds: today starts from the full limit.
    admin({QStringLiteral("port"), QStringLiteral("6"), QStringLiteral("nomor=0822"), QStringLiteral("stat=ERR"),
           QStringLiteral("errinfo=Modem ERROR COM6"), QStringLiteral("useharian=1"), QStringLiteral("limitharian=50"),
           QStringLiteral("hariandown=3"), QStringLiteral("tglsekarang=2020-01-01")});
    for (int i = 0; i < 2; ++i) {
        admin({QStringLiteral("queue"), QStringLiteral("tujuan=0812"), QStringLiteral("isipesan=x"), QStringLiteral("pidcom=5")});
    }
    admin({QStringLiteral("insert"), QStringLiteral("smsout"), QStringLiteral("tanggal=today"), QStringLiteral("waktu=10:00"),
           QStringLiteral("penerima=0812"), QStringLiteral("pesan=y"), QStringLiteral("pidcom=6")});
    admin({QStringLiteral("insert"), QStringLiteral("smsout"), QStringLiteral("tanggal=2020-01-01"),
           QStringLiteral("waktu=10:00"), QStringLiteral("penerima=0812"), QStringLiteral("pesan=old"), QStringLiteral("pidcom=6")});
    for (const char* when : {"08:00", "09:30"}) {
        admin({QStringLiteral("insert"), QStringLiteral("smsin"), QStringLiteral("tanggal=2026-03-01"),
               QStringLiteral("waktu=") + QLatin1String(when), QStringLiteral("pengirim=0899"),
               QStringLiteral("penerima=0811"), QStringLiteral("pesan=z")});
    }
    const QStringList lines = home.admin({QStringLiteral("status")}).out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("port 5  RUN  queued 2  sent today 0 (daily limit 100, 40 left)  countdown 7 left"
                                       "  last received 2026-03-01 09:30 from 0899"));
    EXPECT_EQ(lines[1], QStringLiteral("port 6  ERR (Modem ERROR COM6)  queued 0  sent today 1 (daily limit 50, 50 left)"
                                       "  last received: none"));
}

TEST(AdminTool, QueueAndInsertKeepTheirTexts) {
    TempHome home;
    home.admin({QStringLiteral("init")});
    home.admin({QStringLiteral("queue"), QStringLiteral("tujuan=0812"),
                QString::fromUtf8("isipesan=Don't = pay €5 • é 🙏 ąę 你好"), QStringLiteral("pidcom=5")});
    home.admin({QStringLiteral("insert"), QStringLiteral("autorespondset"), QStringLiteral("formatsms=INFO <any>"),
                QStringLiteral("replysms=ok <any>"), QStringLiteral("onlyphonebook=0")});
    EXPECT_TRUE(home.admin({QStringLiteral("show"), QStringLiteral("qsms")})
                    .out.contains(QString::fromUtf8("\tDon't = pay €5 • é 🙏 ąę 你好\t5\t0\t")));
    EXPECT_TRUE(home.admin({QStringLiteral("show"), QStringLiteral("AUTORESPONDSET")})
                    .out.contains(QStringLiteral("INFO <any>\tok <any>\t\t0\t")));
}

TEST(AdminTool, TextThatIsNotUtf8IsRefusedNotReplaced) {
    TempHome home;
    home.admin({QStringLiteral("init")});
    // A Latin-1 "é" from a terminal that is not UTF-8; a shell passes the raw byte.
    const auto r = pelorin::test::runProgram(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("exec \"$0\" queue tujuan=0812 pidcom=5 \"$(printf 'isipesan=caf\\351')\""),
         pelorin::test::adminProgram()},
        home.environment());
    EXPECT_EQ(r.exitCode, 2) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("not UTF-8"))) << r.err.toStdString();
    EXPECT_EQ(home.admin({QStringLiteral("show"), QStringLiteral("qsms")}).out.count(QLatin1Char('\n')), 1)
        << "nothing queued";
}

TEST(AdminTool, BadArgumentsGetUsageAndFailure) {
    TempHome home;
    const QList<QStringList> bad = {
        {},
        {QStringLiteral("frobnicate")},
        {QStringLiteral("init"), QStringLiteral("extra")},
        {QStringLiteral("show")},
        {QStringLiteral("show"), QStringLiteral("nosuchtable")},
        {QStringLiteral("port"), QStringLiteral("five")},
        {QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("nosuchcolumn=1")},
        {QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("countdown=many")},
        {QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("tglsekarang=31-01-2026")},
        {QStringLiteral("queue"), QStringLiteral("tujuan=0812")},
        {QStringLiteral("queue"), QStringLiteral("isipesan")},
        {QStringLiteral("insert"), QStringLiteral("qsms_count"), QStringLiteral("pidcom=5"), QStringLiteral("queued=7")},
    };
    // Judged before the database is opened: the same answer whether there is one or not.
    for (const bool initialised : {false, true}) {
        if (initialised) home.admin({QStringLiteral("init")});
        for (const QStringList& args : bad) {
            const auto r = runAdmin(home, args);
            EXPECT_EQ(r.exitCode, 2) << initialised << " " << args.join(' ').toStdString();
            EXPECT_TRUE(r.err.contains(QStringLiteral("usage:"))) << args.join(' ').toStdString();
        }
    }
    EXPECT_EQ(home.admin({QStringLiteral("show"), QStringLiteral("cs")}).out.count(QLatin1Char('\n')), 1)
        << "no bad call may have written a row";
}

TEST(AdminTool, CommandsOtherThanInitNeedAnExistingDatabase) {
    TempHome home;
    // Arguments are judged first: a wrong call gets its usage whatever the database.
    for (const QStringList& args : {QStringList{QStringLiteral("port")}, QStringList{QStringLiteral("insert")},
                                    QStringList{QStringLiteral("show")}}) {
        EXPECT_EQ(runAdmin(home, args).exitCode, 2) << args.join(' ').toStdString();
    }
    QProcessEnvironment env = home.environment();
    if (pelorin::test::usingPostgres()) {
        // The server's counterpart of a missing file: a database that does not exist.
        env.insert(QStringLiteral("PELORIN_DATABASE"), home.databaseUrl() + QStringLiteral("_missing"));
    }
    const auto r = pelorin::test::runProgram(pelorin::test::adminProgram(),
                                             {QStringLiteral("show"), QStringLiteral("cs")}, env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("cannot open database")));
}

} // namespace

// Start-up of a module: in-process for the sequence, and as a real process for what an
// operator or a service manager sees.

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <csignal>

#include "app/module.h"
#include "db/database.h"
#include "test_support.h"

using pelorin::app::Module;
using pelorin::test::TempHome;

namespace {

class ModuleStartup : public ::testing::Test {
protected:
    void SetUp() override {
        home.initDatabase();
        qputenv("PELORIN_HOME", home.path().toLocal8Bit());
    }
    void TearDown() override {
        qunsetenv("PELORIN_HOME");
        pelorin::db::Database::closeThisThread();
    }
    TempHome home;
};

TEST_F(ModuleStartup, StartsByItselfOnlyWithMoreThanTwoSettings) {
    Module two;
    ASSERT_TRUE(two.formCreate("com=6#modem=SIEMENS"));
    EXPECT_FALSE(two.workerStarted());
    EXPECT_EQ(two.settings().cport, "6");
    EXPECT_EQ(two.settings().cmodem, "SIEMENS");
    EXPECT_TRUE(two.StopFlag);

    Module three;
    ASSERT_TRUE(three.formCreate("com=6#modem=MERL-SENDER#sender=SENDER"));
    EXPECT_TRUE(three.workerStarted());
    EXPECT_TRUE(three.settings().SendEnabled);
}

TEST_F(ModuleStartup, MenuEndpointTakesItsSectionOfTheTemplateFile) {
    QFile ini(home.path() + QStringLiteral("/merlcenter.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("; menus\ncom=50\nHALO=x\ncom=5\nMENU=1\nINFO=y\ncom=6\nZ=z");
    ini.close();
    Module module;
    ASSERT_TRUE(module.formCreate("com=5#modem=MERL-CENTER#baudrate=7000"));
    EXPECT_EQ(module.portSection(), "5\r\nMENU=1\r\nINFO=y\r\n");
    EXPECT_TRUE(module.workerStarted());
    EXPECT_EQ(pelorin::test::portRow(5), QStringList());  // no row to mark: the UPDATE touches nothing

    Module noSection;
    ASSERT_TRUE(noSection.formCreate("com=7#modem=MERL-CENTER#baudrate=7001"));
    EXPECT_EQ(noSection.portSection(), "");
    EXPECT_TRUE(noSection.workerStarted());
}

TEST_F(ModuleStartup, MenuEndpointWithABadPortStartsNothing) {
    home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("stat=DISABLE")});
    Module module;
    QString told;
    QObject::connect(&module, &Module::operatorMessage, [&](const QString& text) { told = text; });
    ASSERT_TRUE(module.formCreate("com=5#modem=MERL-CENTER#baudrate=abc"));
    EXPECT_EQ(told, QStringLiteral("Penulisan Port :abc Tidak Benar "));
    EXPECT_FALSE(module.workerStarted());
    EXPECT_EQ(pelorin::test::portRow(5), (QStringList{QStringLiteral("DISABLE"), QString()}));
}

TEST_F(ModuleStartup, FailedConnectionAppliesNothing) {
    QFile::remove(home.databaseFile());
    Module module;
    EXPECT_FALSE(module.formCreate("com=9#modem=SIEMENS#sender=SENDER"));
    EXPECT_FALSE(module.connectionError().isEmpty());
    EXPECT_EQ(module.settings().cport, "5");
    EXPECT_FALSE(module.workerStarted());
}

TEST(ModuleProgram, MissingEmptyOrBrokenDatabaseIsRefusedAndLeftAsItWas) {
    struct Case {
        const char* name;
        bool exists;
        QByteArray content;
    };
    const Case cases[] = {{"missing", false, {}},
                          {"zero bytes", true, {}},
                          {"not a database", true, QByteArray("not a database at all").repeated(200)}};
    for (const Case& c : cases) {
        TempHome home;
        if (c.exists) {
            QFile file(home.databaseFile());
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.content);
        }
        const auto r = pelorin::test::runProgram(pelorin::test::moduleProgram(),
                                                 {QStringLiteral("com=5#modem=WAVECOM#sender=SENDER")},
                                                 home.environment());
        EXPECT_FALSE(r.crashed) << c.name;
        EXPECT_EQ(r.exitCode, 1) << c.name;
        EXPECT_TRUE(r.err.contains(QStringLiteral("Koneksi Database GAGAL"))) << c.name << r.err.toStdString();
        EXPECT_EQ(QFile::exists(home.databaseFile()), c.exists) << c.name;
        if (c.exists) {
            EXPECT_EQ(QFileInfo(home.databaseFile()).size(), c.content.size()) << c.name;
        }
        for (const char* suffix : {"-wal", "-shm", "-journal"})
            EXPECT_FALSE(QFile::exists(home.databaseFile() + QLatin1String(suffix))) << c.name << suffix;
    }
}

TEST(ModuleProgram, RunsUntilToldToEndAndExitsCleanly) {
    TempHome home;
    home.admin({QStringLiteral("init")});
    home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("stat=DISABLE")});
    QProcess module;
    QProcessEnvironment env = home.environment();
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    // The settings through the environment, as a service gives them.
    env.insert(QStringLiteral("PELORIN_SETTINGS"), QStringLiteral("com=5#modem=MERL-SENDER#showme=0"));
    env.insert(QStringLiteral("PELORIN_INSTANCE"), QStringLiteral("5"));
    module.setProcessEnvironment(env);
    module.start(pelorin::test::moduleProgram(), {});
    ASSERT_TRUE(module.waitForStarted(10000));
    EXPECT_FALSE(module.waitForFinished(2500)) << "ended by itself: " << module.readAllStandardError().toStdString();
    EXPECT_EQ(pelorin::test::runProgram(pelorin::test::adminProgram(), {QStringLiteral("status")}, home.environment())
                  .exitCode, 0) << "running and beating";
    ::kill(static_cast<pid_t>(module.processId()), SIGTERM);
    ASSERT_TRUE(module.waitForFinished(30000));
    EXPECT_EQ(module.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(module.exitCode(), 0);
    const QString err = QString::fromUtf8(module.readAllStandardError());
    // Start, stop and the end, each on a line of its own naming the port; no noise of Qt's.
    for (const char* line : {"port 5: started: MERL-SENDER web service, not sending", "port 5: stopping: termination signal",
                             "port 5: ended, exit status 0"}) {
        EXPECT_TRUE(err.contains(QLatin1String(line))) << line << "\n" << err.toStdString();
    }
    EXPECT_FALSE(err.contains(QStringLiteral("XDG_RUNTIME_DIR"))) << err.toStdString();
}

// Arguments no run could use end the module at once with status 2 and a line saying why;
// --help and --version answer and end.
TEST(ModuleProgram, ArgumentsItCannotUseAreRefusedAtOnce) {
    TempHome home;
    home.admin({QStringLiteral("init")});
    struct Case {
        QStringList args;
        const char* instance;
        int status;
        const char* says;
    } const cases[] = {
        {{QStringLiteral("--help")}, "", 0, "usage: pelorin [SETTINGS]"},
        {{QStringLiteral("--version")}, "", 0, "pelorin 4."},
        {{QStringLiteral("--frobnicate")}, "", 2, "unknown option --frobnicate"},
        {{QStringLiteral("com=abc#modem=WAVECOM#sender=SENDER")}, "", 2, "com=abc cannot be used"},
        {{QStringLiteral("com=0#modem=WAVECOM#sender=SENDER")}, "", 2, "com=0 cannot be used"},
        // No window, and too few settings to start: it would wait for a START nobody can press.
        {{QStringLiteral("com=5#showme=0")}, "", 2, "nobody can press"},
        {{}, "", 2, "nobody can press"},
        {{QStringLiteral("com=5#modem=MERL-CENTER#baudrate=abc")}, "", 2, "Penulisan Port :abc Tidak Benar "},
        {{QStringLiteral("com=5#modem=MERL-SENDER#sender=SENDER")}, "6", 2, "instance for port 6, but its settings name port 5"},
    };
    for (const Case& c : cases) {
        QProcessEnvironment env = home.environment();
        if (*c.instance != '\0') env.insert(QStringLiteral("PELORIN_INSTANCE"), QLatin1String(c.instance));
        const auto r = pelorin::test::runProgram(pelorin::test::moduleProgram(), c.args, env, 30000);
        EXPECT_EQ(r.exitCode, c.status) << c.args.join(' ').toStdString() << r.err.toStdString();
        EXPECT_TRUE((r.out + r.err).contains(QLatin1String(c.says))) << c.says << "\n" << (r.out + r.err).toStdString();
    }
    EXPECT_EQ(home.admin({QStringLiteral("show"), QStringLiteral("cs")}).out.count(QLatin1Char('\n')), 1) << "nothing written";
}

TEST(ModuleProgram, APortWithoutARowIsAFailedStartThatSaysSo) {
    TempHome home;
    home.admin({QStringLiteral("init")});
    const auto r = pelorin::test::runProgram(pelorin::test::moduleProgram(),
                                             {QStringLiteral("com=5#modem=MERL-SENDER#sender=SENDER")}, home.environment());
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("port 5: error: the port has no row in table cs"))) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("pelorin-admin port 5"))) << r.err.toStdString();
}

} // namespace

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
    QProcess module;
    module.setProcessEnvironment(home.environment());
    module.start(pelorin::test::moduleProgram(), {QStringLiteral("com=5#showme=0")});
    ASSERT_TRUE(module.waitForStarted(10000));
    EXPECT_FALSE(module.waitForFinished(1500)) << "ended by itself: " << module.readAllStandardError().toStdString();
    ::kill(static_cast<pid_t>(module.processId()), SIGTERM);
    ASSERT_TRUE(module.waitForFinished(30000));
    EXPECT_EQ(module.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(module.exitCode(), 0);
}

} // namespace

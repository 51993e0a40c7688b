// Where no window can be seen (no display, or "showme" other than "1") the module runs on Qt
// Core: its process never maps Qt's GUI libraries, nor tries to reach a display. A modem's
// module does not map Qt Network either; the types that need it get it.

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>

#include "db/database.h"
#include "modemsim/modemsim_client.h"
#include "test_support.h"

using pelorin::test::ModuleRun;
using pelorin::test::TempHome;
using pelorin::test::waitUntil;

namespace {

bool maps(qint64 pid, const char* library) {
    QFile file(QStringLiteral("/proc/%1/maps").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) return false;
    return file.readAll().contains(QByteArray("/lib") + library + ".so");
}

QByteArray processName(qint64 pid) {
    QFile file(QStringLiteral("/proc/%1/comm").arg(pid));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

void expectLibraries(qint64 pid, bool network, const std::string& name) {
    // Whichever program it runs, `pelorin-admin status` and pgrep know it by this name.
    EXPECT_EQ(processName(pid), "pelorin") << name;
    EXPECT_TRUE(maps(pid, "Qt6Core")) << name << ": the check itself must see the libraries";
    EXPECT_FALSE(maps(pid, "Qt6Gui")) << name;
    EXPECT_FALSE(maps(pid, "Qt6Widgets")) << name;
    EXPECT_EQ(maps(pid, "Qt6Network"), network) << name;
}

bool runs(int port) {
    return waitUntil([&] { return pelorin::test::portRow(port).value(0) == QLatin1String("RUN"); });
}

TEST(HeadlessModule, RunsWithoutQtGuiWhereNoWindowCanBeSeenAndWithQtNetworkOnlyWhereNeeded) {
    struct Case {
        const char* name;
        const char* platform; // QT_QPA_PLATFORM; empty is unset
        const char* display;  // a display nobody serves: reaching for it would end the module
        const char* settings; // after "com=<port>#"
        bool network;
    } const cases[] = {
        {"offscreen platform", "offscreen", "", "modem=MERL-SENDER#sender=SENDER", true},
        {"offscreen platform, showme=1", "offscreen", ":9999", "modem=MERL-SENDER#sender=SENDER#showme=1", true},
        {"a display platform, showme other than 1", "xcb", ":9999", "modem=MERL-SENDER#showme=yes#sender=SENDER", true},
        {"menu listener", "", "", "modem=MERL-CENTER#baudrate=0#center=CENTER", true},
        {"modem", "", "", "modem=WAVECOM#sender=SENDER#center=CENTER", false},
        {"modem, a display, showme=0", "", ":9999", "modem=WAVECOM#sender=SENDER#showme=0", false},
    };
    TempHome home;
    home.initDatabase();
    int port = 10;
    for (const Case& c : cases) {
        const QString com = QString::number(++port);
        home.admin({QStringLiteral("port"), com, QStringLiteral("stat=DISABLE")});
        pelorin::modemsim::ModemSim sim(home.path().toStdString(), port);
        QProcessEnvironment env;
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QLatin1String(c.platform));
        env.insert(QStringLiteral("DISPLAY"), QLatin1String(c.display));
        ModuleRun module(home, QStringLiteral("com=%1#%2").arg(com, QLatin1String(c.settings)), env);
        EXPECT_TRUE(runs(port)) << c.name << module.output().toStdString();
        EXPECT_TRUE(module.running()) << c.name << module.output().toStdString();
        expectLibraries(module.pid(), c.network, c.name);
    }
}

// A copy of the program without the ones it becomes beside it: a module that wants a window
// runs without one and says so; a type that needs the network is refused at START, the
// reason in its row.
TEST(HeadlessModule, WithoutTheProgramsItBecomesItSaysSo) {
    struct Case {
        const char* settings;
        const char* says;
        bool starts;
    } const cases[] = {
        {"com=7#modem=MERL-SENDER#sender=SENDER#showme=1",
         "the program pelorin-window is not installed beside %1; running without a window", false},
        {"com=7#modem=MERL-SENDER#sender=SENDER#showme=0",
         "the program pelorin-net is not installed beside %1; this type cannot run here", false},
        {"com=7#modem=WAVECOM#sender=SENDER#showme=1",
         "the program pelorin-window is not installed beside %1; running without a window", true},
    };
    TempHome home;
    home.initDatabase();
    pelorin::modemsim::ModemSim sim(home.path().toStdString(), 7);
    const QString copy = home.path() + QStringLiteral("/pelorin");
    ASSERT_TRUE(QFile::copy(pelorin::test::moduleProgram(), copy));
    for (const Case& c : cases) {
        home.admin({QStringLiteral("port"), QStringLiteral("7"), QStringLiteral("stat=DISABLE"), QStringLiteral("errinfo=-")});
        QProcessEnvironment env = home.environment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QString());
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":9999"));
        QProcess module;
        module.setProcessEnvironment(env);
        module.setProcessChannelMode(QProcess::MergedChannels);
        module.start(copy, {QLatin1String(c.settings)});
        ASSERT_TRUE(module.waitForStarted(10000));
        if (c.starts) {
            EXPECT_TRUE(runs(7)) << c.settings;
            expectLibraries(module.processId(), false, c.settings);
            module.terminate();
        }
        EXPECT_TRUE(module.waitForFinished(30000)) << c.settings;
        EXPECT_EQ(module.exitCode(), c.starts ? 0 : 1) << c.settings;
        const QString output = QString::fromUtf8(module.readAll());
        EXPECT_TRUE(output.contains(QString::fromLatin1(c.says).arg(copy))) << output.toStdString();
        if (!c.starts) {
            EXPECT_EQ(pelorin::test::portRow(7).value(0), QStringLiteral("ERR")) << c.settings;
        }
    }
    const QStringList row = pelorin::test::portRow(7);
    EXPECT_EQ(row.value(0), QStringLiteral("DISABLE")) << "the modem's module stopped as told";
}

} // namespace

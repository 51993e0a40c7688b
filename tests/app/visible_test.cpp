// A visible module under a virtual X server: its top-level window carries the caption as
// the operator sees it, and the window manager's close command ends the module with its row
// saying "DISABLE". Skipped where no virtual X server can be started.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include "db/database.h"
#include "test_support.h"

using pelorin::test::ModuleRun;
using pelorin::test::TempHome;
using pelorin::test::waitUntil;

namespace {

TEST(VisibleModule, WindowShowsItsCaptionAndClosingItDisablesTheRow) {
#ifndef PELORIN_X11_CLOSE
    GTEST_SKIP() << "built without X11";
#else
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) GTEST_SKIP() << "no Xvfb";
    TempHome home;
    home.initDatabase();
    home.admin({QStringLiteral("port"), QStringLiteral("7"), QStringLiteral("stat=DISABLE")});
    // A display number of its own per test process; Xvfb says when it is taken.
    const int number = 100 + static_cast<int>(QCoreApplication::applicationPid() % 800);
    const QString display = QStringLiteral(":%1").arg(number);
    QProcess server;
    server.start(xvfb, {display, QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-screen"),
                        QStringLiteral("0"), QStringLiteral("800x600x24")});
    if (!server.waitForStarted(10000) ||
        !waitUntil([&] { return QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)); }, 10000)) {
        GTEST_SKIP() << "Xvfb did not start on " << display.toStdString();
    }
    QProcessEnvironment env;
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    ModuleRun module(home, QStringLiteral("com=7#modem=MERL-SENDER#sender=SENDER"), env);
    EXPECT_TRUE(waitUntil([] { return pelorin::test::portRow(7).value(0) == QLatin1String("RUN"); }));

    QProcessEnvironment closeEnv = QProcessEnvironment::systemEnvironment();
    closeEnv.insert(QStringLiteral("DISPLAY"), display);
    // Found only under its exact caption: nothing appended to it.
    const bool closed = waitUntil(
        [&] {
            return pelorin::test::runProgram(QStringLiteral(PELORIN_X11_CLOSE), {QStringLiteral("Pelorin versi 4.6a")},
                                             closeEnv, 10000)
                       .exitCode == 0;
        },
        20000);
    EXPECT_TRUE(closed) << module.output().toStdString();
    EXPECT_TRUE(module.waitForExit(30000)) << module.output().toStdString();
    EXPECT_EQ(module.exitCode(), 0) << module.output().toStdString();
    EXPECT_EQ(pelorin::test::portRow(7).value(0), QStringLiteral("DISABLE"));
    server.terminate();
    server.waitForFinished(5000);
#endif
}

} // namespace

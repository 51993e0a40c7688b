#include "test_support.h"

#include <QProcess>
#include <gtest/gtest.h>

#include "db/database.h"

namespace pelorin::test {

ProcessResult runProgram(const QString& program, const QStringList& args,
                         const QProcessEnvironment& env, int timeoutMs) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    ProcessResult result;
    if (!process.waitForStarted(timeoutMs)) {
        result.err = QStringLiteral("could not start ") + program;
        return result;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.err = QStringLiteral("timed out: ") + program;
        return result;
    }
    result.exitCode = process.exitCode();
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

TempHome::TempHome() {
    EXPECT_TRUE(dir_.isValid());
}

QProcessEnvironment TempHome::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PELORIN_HOME"), path());
    env.insert(QStringLiteral("PELORIN_DEVICE_DIR"), path());
    env.remove(QStringLiteral("PELORIN_DATABASE"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

ProcessResult TempHome::admin(const QStringList& args) const {
    ProcessResult r = runProgram(adminProgram(), args, environment());
    EXPECT_EQ(r.exitCode, 0) << "pelorin-admin " << args.join(' ').toStdString() << ": "
                             << r.err.toStdString();
    return r;
}

void TempHome::initDatabase() const {
    admin({QStringLiteral("init")});
    db::DatabaseConfig config;
    config.sqliteFile = databaseFile();
    const QString error = db::Database::open(config);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
}

QString adminProgram() {
    return QStringLiteral(PELORIN_ADMIN_BIN);
}

QString moduleProgram() {
    return QStringLiteral(PELORIN_MODULE_BIN);
}

} // namespace pelorin::test

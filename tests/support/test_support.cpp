#include "test_support.h"

#include <QProcess>
#include <gtest/gtest.h>

#include "db/database.h"
#include "db/query.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QThread>

#include <csignal>

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

ModuleRun::ModuleRun(const TempHome& home, const QString& argument,
                     const QProcessEnvironment& extra)
    : process_(std::make_unique<QProcess>()) {
    QProcessEnvironment env = home.environment();
    for (const QString& key : extra.keys()) env.insert(key, extra.value(key));
    process_->setProcessEnvironment(env);
    process_->setProcessChannelMode(QProcess::MergedChannels);
    process_->start(moduleProgram(), {argument});
    EXPECT_TRUE(process_->waitForStarted(10000));
}

ModuleRun::~ModuleRun() {
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(10000);
    }
}

bool ModuleRun::running() {
    process_->waitForFinished(0);
    return process_->state() != QProcess::NotRunning;
}

bool ModuleRun::waitForExit(int timeoutMs) {
    if (process_->state() == QProcess::NotRunning) return true;
    return process_->waitForFinished(timeoutMs);
}

int ModuleRun::exitCode() const {
    return process_->exitCode();
}

bool ModuleRun::crashed() const {
    return process_->exitStatus() == QProcess::CrashExit;
}

void ModuleRun::signal(int sig) {
    ::kill(static_cast<pid_t>(process_->processId()), sig);
}

qint64 ModuleRun::pid() const {
    return process_->processId();
}

QString ModuleRun::output() {
    // Nothing runs an event loop here: take what the pipe holds now.
    if (process_->state() == QProcess::Running) process_->waitForReadyRead(50);
    output_ += QString::fromUtf8(process_->readAll());
    return output_;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) return false;
        QThread::msleep(50);
    }
    return true;
}

QStringList portRow(int port) {
    QSqlQuery q = db::exec(QStringLiteral("SELECT stat,errinfo FROM cs WHERE com=?"), {port});
    if (!q.next()) return {};
    return {q.value(0).toString(), q.value(1).toString()};
}

QString adminProgram() {
    return QStringLiteral(PELORIN_ADMIN_BIN);
}

QString moduleProgram() {
    return QStringLiteral(PELORIN_MODULE_BIN);
}

} // namespace pelorin::test

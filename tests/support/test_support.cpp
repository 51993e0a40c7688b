#include "test_support.h"

#include <QProcess>
#include <gtest/gtest.h>

#include "db/database.h"
#include "db/query.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <csignal>
#include <cstdio>

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

namespace {

QString serverUrl() {
    return qEnvironmentVariable("PELORIN_TEST_POSTGRES");
}

// A connection to the server's maintenance database, for creating and dropping the
// databases of the tests. Only the main thread makes homes.
QSqlDatabase serverConnection() {
    const QString name = QStringLiteral("pelorin-test-server");
    if (QSqlDatabase::contains(name)) return QSqlDatabase::database(name);
    const db::DatabaseConfig config = db::DatabaseConfig::fromValue(serverUrl());
    QSqlDatabase server = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    server.setHostName(config.host);
    server.setPort(config.port);
    server.setDatabaseName(config.databaseName);
    server.setUserName(config.user);
    server.setPassword(config.password);
    if (server.open()) QSqlQuery(server).exec(QStringLiteral("SET client_min_messages = warning"));
    return server;
}

// Skips every test of a PostgreSQL run when there is no server to run them on. A skip in a
// global set-up leaves the tests counted as passed, so the line CTest looks for for a
// skipped test is printed as well.
class BackendEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (!usingPostgres()) return;
        QString reason;
        if (serverUrl().isEmpty()) {
            reason = QStringLiteral("PELORIN_TEST_POSTGRES is not set");
        } else if (QSqlDatabase server = serverConnection(); !server.isOpen()) {
            reason = server.lastError().text();
        }
        if (reason.isEmpty()) return;
        std::printf("[  SKIPPED ] no PostgreSQL server: %s\n", qPrintable(reason));
        std::fflush(stdout);
        GTEST_SKIP() << "no PostgreSQL server";
    }
};

[[maybe_unused]] const bool environmentAdded = [] {
    ::testing::AddGlobalTestEnvironment(new BackendEnvironment);
    return true;
}();

} // namespace

void execOnServer(const QString& sql) {
    QSqlQuery q(serverConnection());
    EXPECT_TRUE(q.exec(sql)) << sql.toStdString() << ": " << q.lastError().text().toStdString();
}

bool usingPostgres() {
    return qEnvironmentVariable("PELORIN_TEST_BACKEND") == QLatin1String("postgres");
}

TempHome::TempHome() {
    EXPECT_TRUE(dir_.isValid());
    if (!usingPostgres()) return;
    static int serial = 0;
    databaseName_ = QStringLiteral("pelorin_t%1_%2").arg(QCoreApplication::applicationPid()).arg(++serial);
    QSqlQuery q(serverConnection());
    q.exec(QStringLiteral("DROP DATABASE IF EXISTS %1").arg(databaseName_));
    EXPECT_TRUE(q.exec(QStringLiteral("CREATE DATABASE %1").arg(databaseName_)))
        << q.lastError().text().toStdString();
    QString url = serverUrl();
    url.truncate(url.lastIndexOf(QLatin1Char('/')) + 1);
    databaseUrl_ = url + databaseName_;
}

TempHome::~TempHome() {
    if (databaseName_.isEmpty()) return;
    // This process's own connection to it goes first; FORCE ends any module still connected.
    db::Database::closeThisThread();
    QSqlQuery q(serverConnection());
    q.exec(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(databaseName_));
}

QProcessEnvironment TempHome::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PELORIN_HOME"), path());
    env.insert(QStringLiteral("PELORIN_DEVICE_DIR"), path());
    if (databaseUrl_.isEmpty()) {
        env.remove(QStringLiteral("PELORIN_DATABASE"));
    } else {
        env.insert(QStringLiteral("PELORIN_DATABASE"), databaseUrl_);
    }
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
    if (databaseUrl_.isEmpty()) {
        config.sqliteFile = databaseFile();
    } else {
        config = db::DatabaseConfig::fromValue(databaseUrl_);
    }
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

void removeQueueCounts() {
    const QStringList drops =
        usingPostgres()
            ? QStringList{QStringLiteral("DROP FUNCTION qsms_count_insert, qsms_count_delete, qsms_count_move, "
                                         "qsms_count_clear CASCADE"),
                          QStringLiteral("DROP TABLE qsms_count")}
            : QStringList{QStringLiteral("DROP TRIGGER qsms_count_insert"), QStringLiteral("DROP TRIGGER qsms_count_delete"),
                          QStringLiteral("DROP TRIGGER qsms_count_move"), QStringLiteral("DROP TABLE qsms_count")};
    for (const QString& drop : drops) db::execDirect(drop);
}

QString adminProgram() {
    return QStringLiteral(PELORIN_ADMIN_BIN);
}

QString moduleProgram() {
    return QStringLiteral(PELORIN_MODULE_BIN);
}

} // namespace pelorin::test

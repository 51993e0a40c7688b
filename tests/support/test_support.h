#pragma once
// Helpers for tests that run the real programs against a real SQLite file in a
// temporary home directory.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class QProcess;

namespace pelorin::test {

struct ProcessResult {
    int exitCode = -1;
    bool crashed = false;
    QString out;
    QString err;
};

// Runs a program to its end (bounded by timeoutMs) with the given environment.
ProcessResult runProgram(const QString& program, const QStringList& args,
                         const QProcessEnvironment& env, int timeoutMs = 60000);

// The engine the database tests of this run use: PELORIN_TEST_BACKEND=postgres selects a
// PostgreSQL server (PELORIN_TEST_POSTGRES, its URL; every test gets a database of its own).
// Where no server answers, every test of such a run reports itself skipped.
bool usingPostgres();
// Runs a statement on the PostgreSQL server's maintenance database (for what a database
// cannot do to itself); fails the test when it is refused.
void execOnServer(const QString& sql);

// Skips the calling test when it is about the SQLite file itself.
#define PELORIN_SQLITE_ONLY()                                                              \
    do {                                                                                   \
        if (::pelorin::test::usingPostgres()) GTEST_SKIP() << "about the SQLite file only"; \
    } while (0)

// A temporary home directory; the module and the admin tool find their database there
// (an SQLite file in it, or a fresh PostgreSQL database dropped with the home).
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;
    QString path() const { return dir_.path(); }
    QString databaseFile() const { return dir_.filePath(QStringLiteral("dbtavrin.db")); }
    // What PELORIN_DATABASE says for this home: the PostgreSQL URL, empty for SQLite.
    QString databaseUrl() const { return databaseUrl_; }
    // The environment that points the programs at this home (and nowhere else).
    QProcessEnvironment environment() const;
    // pelorin-admin with these arguments; fails the test when it does not exit 0.
    ProcessResult admin(const QStringList& args) const;
    // pelorin-admin init, then opens this process's own connection on the database.
    void initDatabase() const;

private:
    QTemporaryDir dir_;
    QString databaseName_; // PostgreSQL only
    QString databaseUrl_;
};

// A running module process (the real `pelorin`), ended and reaped with the object.
class ModuleRun {
public:
    ModuleRun(const TempHome& home, const QString& argument,
              const QProcessEnvironment& extra = QProcessEnvironment());
    ~ModuleRun();
    bool running();
    // Waits for the process to end by itself; false when it did not within timeoutMs.
    bool waitForExit(int timeoutMs = 30000);
    int exitCode() const;
    bool crashed() const;
    void signal(int sig);
    qint64 pid() const;
    QString output();

private:
    std::unique_ptr<QProcess> process_;
    QString output_;
};

// Polls `condition` every 50 ms for up to timeoutMs.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 20000);

// The port row as the test's own connection sees it: {stat, errinfo}; empty when missing.
QStringList portRow(int port);

// Makes the database as the main application makes it: the queue-count table and the
// triggers that keep it go (on this process's connection).
void removeQueueCounts();

QString adminProgram();
QString moduleProgram();

} // namespace pelorin::test

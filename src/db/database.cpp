#include "db/database.h"

#include <QFileInfo>
#include <QMutex>
#include <QProcessEnvironment>
#include <QSqlError>
#include <QSqlQuery>
#include <QThreadStorage>
#include <QUrl>
#include <QtGlobal>

#include <atomic>

#include "db/paths.h"

namespace pelorin::db {
namespace {

QMutex configMutex;
DatabaseConfig currentConfig;
bool configured = false;
bool createAllowed = false;
std::atomic<int> connectionSerial{0};

// Removes the thread's connection when the thread ends; holds only the name so that
// no QSqlDatabase copy outlives the removal.
struct ConnectionName {
    QString name;
    ~ConnectionName() {
        if (!name.isEmpty() && QSqlDatabase::contains(name)) {
            QSqlDatabase::database(name, false).close();
            QSqlDatabase::removeDatabase(name);
        }
    }
};
QThreadStorage<ConnectionName*> threadConnection;

QString sqliteUri(const QString& file, bool mustExist) {
    QString uri = QUrl::fromLocalFile(file).toString();
    uri += mustExist ? QStringLiteral("?mode=rw") : QStringLiteral("?mode=rwc");
    return uri;
}

QString configure(QSqlDatabase& db, const DatabaseConfig& cfg, bool mustExist) {
    if (cfg.backend == Backend::Sqlite) {
        // A URI with mode=rw refuses to create a missing file instead of making an empty one.
        db.setDatabaseName(sqliteUri(cfg.sqliteFile, mustExist));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=15000"));
    } else {
        db.setHostName(cfg.host);
        db.setPort(cfg.port);
        db.setDatabaseName(cfg.databaseName);
        db.setUserName(cfg.user);
        db.setPassword(cfg.password);
    }
    if (!db.open()) return db.lastError().text();
    QSqlQuery probe(db);
    for (const QString& statement : dialect::connectionSetup(cfg.backend)) {
        if (!probe.exec(statement)) return probe.lastError().text();
    }
    return {};
}

QString openConnection(const QString& name, const DatabaseConfig& cfg, bool mustExist) {
    const QString driver =
        cfg.backend == Backend::Sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL");
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        return QStringLiteral("database driver %1 is not installed").arg(driver);
    }
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(driver, name);
        error = configure(db, cfg, mustExist);
        if (!error.isEmpty()) db.close();
    }
    if (!error.isEmpty()) QSqlDatabase::removeDatabase(name);
    return error;
}

} // namespace

DatabaseConfig DatabaseConfig::fromEnvironment() {
    DatabaseConfig cfg;
    const QString url = qEnvironmentVariable("PELORIN_DATABASE");
    if (url.startsWith(QStringLiteral("postgresql://")) || url.startsWith(QStringLiteral("postgres://"))) {
        const QUrl u(url);
        cfg.backend = Backend::Postgres;
        cfg.host = u.host().isEmpty() ? QStringLiteral("localhost") : u.host();
        cfg.port = u.port(5432);
        cfg.databaseName = u.path().mid(1);
        cfg.user = u.userName();
        cfg.password = u.password();
        return cfg;
    }
    // Any other value names an SQLite file directly.
    cfg.sqliteFile = url.isEmpty() ? homeDirectory() + QStringLiteral("/dbtavrin.db")
                                   : QFileInfo(url).absoluteFilePath();
    return cfg;
}

QString DatabaseConfig::describe() const {
    if (backend == Backend::Sqlite) return sqliteFile;
    return QStringLiteral("postgresql://%1@%2:%3/%4").arg(user, host).arg(port).arg(databaseName);
}

QString Database::open(const DatabaseConfig& config, bool mustExist) {
    if (config.backend == Backend::Sqlite && mustExist) {
        const QFileInfo file(config.sqliteFile);
        if (!file.isFile()) return QStringLiteral("no database file at %1").arg(config.sqliteFile);
        // SQLite would take an empty file for a new database and write one into it.
        if (file.size() == 0) return QStringLiteral("the database file %1 is empty").arg(config.sqliteFile);
    }
    {
        QMutexLocker lock(&configMutex);
        currentConfig = config;
        configured = true;
        createAllowed = !mustExist;
    }
    if (threadConnection.hasLocalData()) {
        // Reopening (tests, the admin tool): drop this thread's old connection first.
        threadConnection.setLocalData(nullptr);
    }
    try {
        connection();
    } catch (const DbError& e) {
        return QString::fromUtf8(e.what());
    }
    return {};
}

QSqlDatabase Database::connection() {
    if (threadConnection.hasLocalData() && threadConnection.localData() != nullptr) {
        return QSqlDatabase::database(threadConnection.localData()->name, false);
    }
    DatabaseConfig cfg;
    bool mustExist = true;
    {
        QMutexLocker lock(&configMutex);
        if (!configured) throw DbError("the database is not configured");
        cfg = currentConfig;
        mustExist = !createAllowed;
    }
    const QString name = QStringLiteral("pelorin-%1").arg(connectionSerial.fetch_add(1));
    const QString error = openConnection(name, cfg, mustExist);
    if (!error.isEmpty()) throw DbError(error.toStdString());
    threadConnection.setLocalData(new ConnectionName{name});
    return QSqlDatabase::database(name, false);
}

Backend Database::backend() {
    QMutexLocker lock(&configMutex);
    return currentConfig.backend;
}

const DatabaseConfig& Database::config() {
    QMutexLocker lock(&configMutex);
    return currentConfig;
}

void Database::closeThisThread() {
    threadConnection.setLocalData(nullptr);
}

} // namespace pelorin::db

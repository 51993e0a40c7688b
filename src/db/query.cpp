#include "db/query.h"

#include <QSqlError>
#include <QSqlRecord>
#include <QTime>

#include "db/dialect.h"

namespace pelorin::db {
namespace {

// SQLITE_BUSY (5), also in its extended forms: the busy timeout ran out on another
// process's lock.
bool lockedByAnother(const QSqlError& error) {
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok && (code & 0xFF) == 5;
}

[[noreturn]] void fail(const QSqlError& error) {
    if (Database::backend() == Backend::Sqlite && lockedByAnother(error)) throw Busy(error.text().toStdString());
    Database::checkConnection(error);
    // Class 40: transaction rollback (deadlock detected, serialization failure).
    if (Database::backend() == Backend::Postgres && error.nativeErrorCode().startsWith(QLatin1String("40"))) {
        throw Conflict(error.text().toStdString());
    }
    throw DbError(error.text().toStdString());
}

[[noreturn]] void fail(const QSqlQuery& q) {
    fail(q.lastError());
}

// U+0000 never reaches a statement: PostgreSQL refuses it in a text (Qt's driver writes
// bound values into the statement, where it ends the literal), and no stored text needs it.
QVariant bound(const QVariant& value) {
    if (value.typeId() != QMetaType::QString) return value;
    QString text = value.toString();
    if (!text.contains(QChar(u'\0'))) return value;
    return text.remove(QChar(u'\0'));
}

QSqlQuery prepared(const QString& sql) {
    QSqlQuery q(Database::connection());
    q.setForwardOnly(true);
    if (!q.prepare(sql)) fail(q);
    return q;
}

// Runs `sql`, has `read` take what it needs of the rows, and keeps the statement prepared
// for the next call with the same text (preparing costs more than running most statements).
// A statement whose result goes to the caller is prepared each time: it could not be kept
// without sharing it, and holding its result open.
template <typename Read>
auto readWhole(const QString& sql, const QVariantList& values, Read&& read) {
    std::optional<QSqlQuery> kept = Database::takeKeptStatement(sql);
    QSqlQuery q = kept ? std::move(*kept) : prepared(sql);
    for (const QVariant& v : values) q.addBindValue(bound(v));
    if (!q.exec()) fail(q);
    auto result = read(q);
    q.finish(); // no result (on SQLite no read snapshot) stays open while it waits
    Database::keepStatement(sql, std::move(q));
    return result;
}

} // namespace

QSqlQuery exec(const QString& sql, const QVariantList& values) {
    QSqlQuery q = prepared(sql);
    for (const QVariant& v : values) q.addBindValue(bound(v));
    if (!q.exec()) fail(q);
    return q;
}

int change(const QString& sql, const QVariantList& values) {
    return readWhole(sql, values, [](QSqlQuery& q) { return q.numRowsAffected(); });
}

void execDirect(const QString& sql) {
    // SQLite prepares anything: its transactions' BEGIN and COMMIT are kept like any statement.
    if (Database::backend() == Backend::Sqlite) {
        readWhole(sql, {}, [](QSqlQuery&) { return true; });
        return;
    }
    QSqlQuery q(Database::connection());
    if (!q.exec(sql)) fail(q);
}

QSqlQuery execNamed(const QString& sql, const QVariantMap& values) {
    QSqlQuery q = prepared(sql);
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        q.bindValue(QLatin1Char(':') + it.key(), bound(it.value()));
    }
    if (!q.exec()) fail(q);
    return q;
}

std::vector<QVariantList> selectRows(const QString& sql, const QVariantList& values) {
    return readWhole(sql, values, [](QSqlQuery& q) {
        std::vector<QVariantList> rows;
        const int columns = q.record().count();
        while (q.next()) {
            QVariantList row;
            row.reserve(columns);
            for (int c = 0; c < columns; ++c) row.push_back(q.value(c));
            rows.push_back(std::move(row));
        }
        return rows;
    });
}

int countRows(const QString& sql, const QVariantList& values) {
    return readWhole(sql, values, [](QSqlQuery& q) {
        int rows = 0;
        while (q.next()) ++rows;
        return rows;
    });
}

QVariant text(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string textOf(const QVariant& value) {
    return value.toString().toStdString(); // UTF-8
}

std::string requireText(const QVariant& value, const char* column) {
    if (value.isNull()) throw DbError(std::string("NULL in column ") + column);
    return textOf(value);
}

QVariant today() {
    return dialect::dateValue(Database::backend(), QDate::currentDate());
}

QString currentTimeText() {
    return QTime::currentTime().toString(QStringLiteral("hh:mm"));
}

bool transactionOpen() {
    return detail::depth() > 0;
}

namespace detail {

int& depth() {
    thread_local int open = 0;
    return open;
}

// PostgreSQL starts and ends transactions through the driver (it cannot prepare BEGIN);
// SQLite needs BEGIN IMMEDIATE, which the driver does not offer: a deferred transaction
// that reads first cannot take the write lock later once another process has written.
void begin() {
    if (Database::backend() == Backend::Postgres) {
        QSqlDatabase connection = Database::connection();
        if (!connection.transaction()) fail(connection.lastError());
    } else {
        execDirect(dialect::beginWriteTransaction(Backend::Sqlite));
    }
    depth() = 1;
}

void commit() {
    // Whatever the answer, the transaction is over: a failed COMMIT has rolled back.
    depth() = 0;
    if (Database::backend() == Backend::Postgres) {
        QSqlDatabase connection = Database::connection();
        if (!connection.commit()) fail(connection.lastError());
    } else {
        execDirect(QStringLiteral("COMMIT"));
    }
}

void rollback() noexcept {
    depth() = 0;
    // A lost connection took its transaction with it; there is nothing to roll back.
    if (Database::connectionLost()) return;
    try {
        if (Database::backend() == Backend::Postgres) {
            Database::connection().rollback();
        } else {
            QSqlQuery(Database::connection()).exec(QStringLiteral("ROLLBACK"));
        }
    } catch (...) {
        // Nothing more can be done; the engine rolls back an unfinished transaction itself.
    }
}

void savepoint() {
    execDirect(QStringLiteral("SAVEPOINT pelorin_step"));
}

void releaseSavepoint() {
    execDirect(QStringLiteral("RELEASE SAVEPOINT pelorin_step"));
}

void rollbackToSavepoint() noexcept {
    try {
        execDirect(QStringLiteral("ROLLBACK TO SAVEPOINT pelorin_step"));
        execDirect(QStringLiteral("RELEASE SAVEPOINT pelorin_step"));
    } catch (...) {
        // The enclosing transaction fails at its next statement and rolls back as a whole.
    }
}

} // namespace detail
} // namespace pelorin::db

#include "db/query.h"

#include <QSqlError>
#include <QSqlRecord>
#include <QTime>

#include "db/cp1252.h"
#include "db/dialect.h"

namespace pelorin::db {
namespace {

[[noreturn]] void fail(const QSqlQuery& q) {
    throw DbError(q.lastError().text().toStdString());
}

QSqlQuery prepared(const QString& sql) {
    QSqlQuery q(Database::connection());
    q.setForwardOnly(true);
    if (!q.prepare(sql)) fail(q);
    return q;
}

} // namespace

QSqlQuery exec(const QString& sql, const QVariantList& values) {
    QSqlQuery q = prepared(sql);
    for (const QVariant& v : values) q.addBindValue(v);
    if (!q.exec()) fail(q);
    return q;
}

QSqlQuery execNamed(const QString& sql, const QVariantMap& values) {
    QSqlQuery q = prepared(sql);
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        q.bindValue(QLatin1Char(':') + it.key(), it.value());
    }
    if (!q.exec()) fail(q);
    return q;
}

std::vector<QVariantList> selectRows(const QString& sql, const QVariantList& values) {
    QSqlQuery q = exec(sql, values);
    std::vector<QVariantList> rows;
    const int columns = q.record().count();
    while (q.next()) {
        QVariantList row;
        row.reserve(columns);
        for (int c = 0; c < columns; ++c) row.push_back(q.value(c));
        rows.push_back(std::move(row));
    }
    return rows;
}

int countRows(const QString& sql, const QVariantList& values) {
    QSqlQuery q = exec(sql, values);
    int rows = 0;
    while (q.next()) ++rows;
    return rows;
}

QVariant text(std::string_view cp1252) {
    return fromWindows1252(cp1252);
}

std::string textOf(const QVariant& value) {
    return toWindows1252(value.toString());
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

namespace detail {

void begin() {
    exec(dialect::beginWriteTransaction(Database::backend()));
}

void commit() {
    exec(QStringLiteral("COMMIT"));
}

void rollback() noexcept {
    try {
        QSqlQuery(Database::connection()).exec(QStringLiteral("ROLLBACK"));
    } catch (...) {
        // Nothing more can be done; the engine rolls back an unfinished transaction itself.
    }
}

} // namespace detail
} // namespace pelorin::db

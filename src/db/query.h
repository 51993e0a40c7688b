#pragma once
// Running statements on the calling thread's connection. Values are always bound, never
// spliced into the statement text, so a quote in a message cannot change a statement.
// U+0000 is dropped from every bound text: no engine stores it reliably.
// Every helper throws DbError with the engine's own error text when a statement fails.

#include "db/database.h"

#include <QSqlQuery>
#include <QVariant>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin::db {

// Prepares `sql` with "?" placeholders, binds `values` in order and executes it.
QSqlQuery exec(const QString& sql, const QVariantList& values = {});
// Runs a statement that changes rows (INSERT, UPDATE, DELETE) and returns how many it changed.
// Unlike exec() it keeps the statement prepared for the next call with the same text: for the
// statements a module runs again and again.
int change(const QString& sql, const QVariantList& values = {});
// Executes a statement without values: schema statements, savepoints and the like, which
// PostgreSQL cannot prepare (it runs them unprepared). Never give it values from outside.
void execDirect(const QString& sql);
// The same with ":name" placeholders.
QSqlQuery execNamed(const QString& sql, const QVariantMap& values);

// Runs a SELECT and reads all of its rows into memory. Walk these, not an open result,
// wherever the walk runs other statements: on SQLite a write under an open read fails at once
// when another process has written since, and PostgreSQL's driver drops the rest of a result.
std::vector<QVariantList> selectRows(const QString& sql, const QVariantList& values = {});

// Number of rows a SELECT returns (walks the result; some engines cannot tell in advance).
int countRows(const QString& sql, const QVariantList& values = {});

// Module texts (UTF-8) to and from database values, every character kept.
QVariant text(std::string_view utf8);
std::string textOf(const QVariant& value);
// As textOf, but a NULL is an error, like a failed statement; `column` names it.
std::string requireText(const QVariant& value, const char* column);

// Today's date as the engine wants it bound.
QVariant today();
// The current local time as "hh:mm", the time-of-day column of every insert.
QString currentTimeText();

// Runs `body` in one transaction: commits when it returns, rolls back when it throws.
// Inside another transaction of this thread it runs as part of that one.
template <typename Body>
void inTransaction(Body&& body);

// Runs `body` so that a failure inside it undoes only its own statements and leaves an
// enclosing transaction usable (PostgreSQL refuses every later statement of a transaction
// in which one failed). Outside a transaction it just runs `body`. Rethrows.
template <typename Body>
void inSavepoint(Body&& body);

// Whether the calling thread has a transaction open.
bool transactionOpen();

namespace detail {
void begin();
void commit();
void rollback() noexcept;
void savepoint();
void releaseSavepoint();
void rollbackToSavepoint() noexcept;
// Transactions of this thread that are open (nested ones count, but only the outermost
// one talks to the engine).
int& depth();
} // namespace detail

template <typename Body>
void inTransaction(Body&& body) {
    if (detail::depth() > 0) {
        body();
        return;
    }
    detail::begin();
    try {
        body();
        detail::commit();
    } catch (...) {
        detail::rollback();
        throw;
    }
}

template <typename Body>
void inSavepoint(Body&& body) {
    if (detail::depth() == 0) {
        body();
        return;
    }
    detail::savepoint();
    try {
        body();
    } catch (...) {
        detail::rollbackToSavepoint();
        throw;
    }
    detail::releaseSavepoint();
}

} // namespace pelorin::db

#pragma once
// Everything that differs between the database engines lives here, so that statements
// elsewhere are written once: row limits, case-insensitive text, date values, column
// types. SQLite (the default) and PostgreSQL are supported.
// Never throws.

#include <QDate>
#include <QString>
#include <QVariant>

namespace pelorin::db {

enum class Backend { Sqlite, Postgres };

// Kinds of column value, as the shared schema uses them.
enum class Kind {
    AutoKey,  // integer key assigned by the database on insert
    RowKey,   // integer key supplied by the writer (the port number of `cs`)
    Integer,  // whole number; also flags and truth values (1 / non-zero means on)
    Date,     // calendar day, no time of day
    Text,     // text compared without regard to case
};

namespace dialect {

// Column type for CREATE TABLE.
QString columnType(Backend backend, Kind kind);
// Statements run on every new connection; the last one fails when the target is not a
// database at all.
QStringList connectionSetup(Backend backend);
// Statements run once before the tables are created (e.g. extensions).
QStringList schemaPreamble(Backend backend);
// Triggers that keep qsms_count(pidcom, queued) equal to the number of qsms rows per port.
QStringList queueCountTriggers(Backend backend);
// Suffix that limits a SELECT to n rows (the engines' spelling of "TOP n").
QString limitClause(int n);
// Starts a transaction that will write. SQLite takes the write lock up front, so that two
// writers queue on the busy timeout instead of deadlocking when both upgrade a read lock.
QString beginWriteTransaction(Backend backend);
// A calendar day as the engine wants it bound.
QVariant dateValue(Backend backend, const QDate& day);
// Reads a date column whatever form the engine returns it in; invalid when unreadable.
QDate readDate(const QVariant& value);
} // namespace dialect
} // namespace pelorin::db

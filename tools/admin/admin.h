#pragma once
// Shared by the commands of pelorin-admin. Commands are checked as a whole before the
// database is opened (prepare*), then run (the returned Action) on the open database.
// Errors: UsageError for a call that is wrong (status 2), DbError from the statements.

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <QVariant>

#include <functional>

#include "db/dialect.h"
#include "db/schema.h"

namespace pelorin::admin {

struct UsageError {
    QString message;
};

// A command whose arguments have all been checked, waiting for the database; returns the
// exit status.
using Action = std::function<int()>;
using Assignments = QList<QPair<const db::Column*, QVariant>>;

QTextStream& out();
QTextStream& err();

const db::Table& tableNamed(const QString& name);
// "column=value" arguments, checked against the table's columns.
Assignments assignments(const db::Table& table, const QStringList& args, db::Backend backend);
// A row number given on the command line (idx).
int rowNumber(const QString& text, const char* what);

int initSchema();
Action preparePort(const QStringList& args, db::Backend backend);
Action prepareQueue(const QStringList& args, db::Backend backend);
Action prepareInsert(const QStringList& args, db::Backend backend);
Action prepareRequeue(const QStringList& args);
Action prepareUnqueue(const QStringList& args);
int showTable(const db::Table& table);
// Makes the SQLite file that init is about to fill, readable by owner and group only.
// Returns an error text, empty on success or when the file exists already.
QString createPrivateFile(const QString& path);

// The overview of every port; `json` for programs. 0 when every port is fine.
int showStatus(bool json);

} // namespace pelorin::admin

#pragma once
// The shared tables as the module and the main application use them: names, columns in
// their fixed order, kinds, and the indexes that keep the per-port statements off full
// scans. Only the admin tool creates them; the module never alters the schema.

#include "db/dialect.h"

#include <QString>
#include <QStringList>
#include <vector>

namespace pelorin::db {

struct Column {
    const char* name;
    Kind kind;
};

struct Table {
    const char* name;
    std::vector<Column> columns;
};

struct Index {
    const char* name;
    const char* table;
    const char* columns; // comma-separated
};

// The tables the main application and the modules share, as it makes them.
const std::vector<Table>& sharedTables();
// The modules' own tables beside them (heartbeat and modem health). A database without
// them still runs modules; they only go without what these tables add.
const std::vector<Table>& ownTables();
const std::vector<Index>& sharedIndexes();
// nullptr when there is no such table, shared or own (names compare without regard to case).
const Table* findTable(const QString& name);
// nullptr when the table has no such column.
const Column* findColumn(const Table& table, const QString& name);

// CREATE statements for the whole schema, preamble first, for the given engine.
QStringList createStatements(Backend backend);
// CREATE statements for the own tables alone (added to a database that lacks them).
QStringList createOwnStatements(Backend backend);

} // namespace pelorin::db

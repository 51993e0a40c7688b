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

const std::vector<Table>& sharedTables();
const std::vector<Index>& sharedIndexes();
// nullptr when there is no such table (names compare without regard to case).
const Table* findTable(const QString& name);
// nullptr when the table has no such column.
const Column* findColumn(const Table& table, const QString& name);

// CREATE statements for the whole schema, preamble first, for the given engine.
QStringList createStatements(Backend backend);

} // namespace pelorin::db

#pragma once
// Where a module finds its files: the home directory (database, merlcenter.ini) and the
// directory of its serial devices. Both can be redirected by the environment so that
// tests and the demo never touch the program's own folder or /dev.

#include <QString>

namespace pelorin::db {

// PELORIN_HOME when set and not empty, else the directory of the running program.
QString homeDirectory();

// PELORIN_DEVICE_DIR when set and not empty, else "/dev".
QString deviceDirectory();

// "<device dir>/COM<port>".
QString serialDevicePath(const QString& portNumber);

} // namespace pelorin::db

#pragma once
// The modules' own liveness table: one row per port, refreshed by its running module with
// the time, its process and the modem's last health reading, so that a row saying "RUN"
// can be told from a module that is gone. Throws DbError like every statement helper.

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <vector>

namespace pelorin::db::heartbeat {

struct Beat {
    int port = 0;
    qint64 pid = 0;
    QString host;
    QDateTime started;     // UTC
    QDateTime beat;        // UTC, the last refresh
    int everySeconds = 0;  // how often the module refreshes it
    QVariant rssi;         // NULL: not read (yet)
    QVariant registration; // NULL: not read (yet)
    QVariant network;      // NULL: not read (yet); "" no operator
    QDateTime health;      // UTC of the health reading; invalid: none yet
};

// Whether the calling thread's database has the table (a database the main application
// made may not).
bool tablePresent();
// Writes the port's row, replacing what was there.
void write(const Beat& beat);
// Every row, by port.
std::vector<Beat> readAll();

// Times as stored: UTC, ISO 8601 to the second ("2026-03-01T10:00:00Z").
QString stamp(const QDateTime& time);
QDateTime readStamp(const QVariant& value);

} // namespace pelorin::db::heartbeat

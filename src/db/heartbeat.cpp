#include "db/heartbeat.h"

#include <QSqlDatabase>

#include "db/query.h"

namespace pelorin::db::heartbeat {

bool tablePresent() {
    return Database::connection().tables().contains(QStringLiteral("heartbeat"), Qt::CaseInsensitive);
}

QString stamp(const QDateTime& time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODate) : QString();
}

QDateTime readStamp(const QVariant& value) {
    if (value.isNull()) return {};
    QDateTime time = QDateTime::fromString(value.toString().trimmed(), Qt::ISODate);
    return time.isValid() ? time.toUTC() : QDateTime();
}

void write(const Beat& b) {
    const auto orNull = [](const QDateTime& t) { return t.isValid() ? QVariant(stamp(t)) : QVariant(); };
    // One statement, so that a reader never sees a row half written.
    change(QStringLiteral("INSERT INTO heartbeat (com,pid,host,started,beat,period,rssi,creg,network,health) "
                          "VALUES (?,?,?,?,?,?,?,?,?,?) ON CONFLICT (com) DO UPDATE SET pid=excluded.pid,"
                          "host=excluded.host,started=excluded.started,beat=excluded.beat,period=excluded.period,"
                          "rssi=excluded.rssi,creg=excluded.creg,network=excluded.network,health=excluded.health"),
           {b.port, b.pid, b.host, orNull(b.started), orNull(b.beat), b.everySeconds, b.rssi, b.registration,
            b.network, orNull(b.health)});
}

std::vector<Beat> readAll() {
    std::vector<Beat> beats;
    for (const QVariantList& row :
         selectRows(QStringLiteral("SELECT com,pid,host,started,beat,period,rssi,creg,network,health "
                                   "FROM heartbeat ORDER BY com"))) {
        Beat b;
        b.port = row[0].toInt();
        b.pid = row[1].toLongLong();
        b.host = row[2].toString();
        b.started = readStamp(row[3]);
        b.beat = readStamp(row[4]);
        b.everySeconds = row[5].toInt();
        b.rssi = row[6];
        b.registration = row[7];
        b.network = row[8];
        b.health = readStamp(row[9]);
        beats.push_back(b);
    }
    return beats;
}

} // namespace pelorin::db::heartbeat

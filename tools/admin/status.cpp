// pelorin-admin status: what every port is doing, as the port rows, the queue, the logs and
// the modules' heartbeats tell it. A row saying "RUN" is believed only while its module beats.

#include "admin.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <map>
#include <optional>

#include "db/database.h"
#include "db/heartbeat.h"
#include "db/query.h"
#include "modem/modem_health.h"

namespace pelorin::admin {

using namespace pelorin::db;

namespace {

// Missed beats after which a module counts as gone, and a margin for a busy database.
constexpr int kMissedBeats = 3;
constexpr int kMarginSeconds = 5;

struct PortReport {
    int port = 0;
    bool hasRow = false;
    QString stat, errinfo;
    int queued = 0, sentToday = 0;
    std::optional<int> dailyLimit, dailyLeft, countdownLeft;
    QVariantList lastReceived;        // date, time, sender; empty: none
    std::optional<heartbeat::Beat> beat;
    QString notRunning;               // why a "RUN" row has no living module; empty: alive or unknown
    bool problem = false;
};

QHash<int, int> countsByPort(const QString& sql, const QVariantList& values = {}) {
    QHash<int, int> counts;
    for (const QVariantList& row : selectRows(sql, values)) counts.insert(row[0].toInt(), row[1].toInt());
    return counts;
}

// Whether the module's process on this machine has ended: no such process, one that ended
// and waits for its parent (a zombie), or the number taken by another program since.
bool processGone(qint64 pid) {
    if (pid <= 0) return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0) return errno == ESRCH;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return false; // no /proc: believe the heartbeat
    // "pid (comm) state ...": the name may hold blanks and parentheses, the state follows the last ")".
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    const qsizetype open = line.indexOf('(');
    if (open < 0 || close < open) return false;
    return line.mid(close + 2, 1) == "Z" || line.mid(open + 1, close - open - 1) != "pelorin";
}

// Why the module of a "RUN" row is not running; empty when it beats.
QString judgeLife(const std::optional<heartbeat::Beat>& beat, const QDateTime& now) {
    if (!beat) return QStringLiteral("no heartbeat");
    // On this machine the process itself can be asked.
    if (beat->host == QSysInfo::machineHostName() && processGone(beat->pid)) {
        return QStringLiteral("process %1 is gone").arg(beat->pid);
    }
    const qint64 age = beat->beat.isValid() ? beat->beat.secsTo(now) : -1;
    const int limit = kMissedBeats * std::max(1, beat->everySeconds) + kMarginSeconds;
    if (age < 0 || age > limit) return QStringLiteral("last heartbeat %1 s ago").arg(age);
    return {};
}

void readLimits(PortReport& r, const QVariantList& p, const QDate& today) {
    if (p[6].toInt() != 0) {
        // A new day starts from the full allowance, as the sending side counts it.
        r.dailyLimit = p[7].toInt();
        r.dailyLeft = dialect::readDate(p[8]) == today ? p[9].toInt() : p[7].toInt();
    }
    if (p[4].toInt() != 0) r.countdownLeft = p[5].toInt();
}

std::vector<PortReport> gather(bool beatsKnown) {
    const QDate today = QDate::currentDate();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QHash<int, int> queued =
        countsByPort(QStringLiteral("SELECT pidcom,count(*) FROM qsms WHERE pidcom IS NOT NULL GROUP BY pidcom"));
    const QHash<int, int> sent = countsByPort(
        QStringLiteral("SELECT pidcom,count(*) FROM smsout WHERE tanggal=? AND pidcom IS NOT NULL GROUP BY pidcom"),
        {dialect::dateValue(Database::backend(), today)});
    std::map<int, heartbeat::Beat> beats;
    if (beatsKnown) {
        for (const heartbeat::Beat& b : heartbeat::readAll()) beats[b.port] = b;
    }
    std::map<int, PortReport> reports;
    for (const QVariantList& p : selectRows(QStringLiteral("SELECT com,stat,errinfo,nomor,usecountdown,countdown,"
                                                           "useharian,limitharian,tglsekarang,hariandown FROM cs"))) {
        PortReport& r = reports[p[0].toInt()];
        r.port = p[0].toInt();
        r.hasRow = true;
        r.stat = p[1].isNull() ? QStringLiteral("-") : p[1].toString();
        r.errinfo = p[2].toString().trimmed();
        readLimits(r, p, today);
        // Received messages name the port by its own number.
        if (!p[3].toString().isEmpty()) {
            const auto last = selectRows(QStringLiteral("SELECT tanggal,waktu,pengirim FROM smsin WHERE penerima=? "
                                                        "ORDER BY tanggal DESC,waktu DESC") + dialect::limitClause(1),
                                         {p[3]});
            if (!last.empty()) r.lastReceived = last.front();
        }
        if (beats.count(r.port) != 0) r.beat = beats[r.port];
        if (r.stat == QLatin1String("RUN") && beatsKnown) r.notRunning = judgeLife(r.beat, now);
        r.problem = r.stat == QLatin1String("ERR") || !r.notRunning.isEmpty();
    }
    // Messages for a port that has no row wait for a module that cannot start.
    for (auto it = queued.begin(); it != queued.end(); ++it) {
        if (reports.count(it.key()) != 0) continue;
        PortReport& r = reports[it.key()];
        r.port = it.key();
        r.problem = true;
    }
    std::vector<PortReport> list;
    for (auto& [port, r] : reports) {
        r.queued = queued.value(port);
        r.sentToday = sent.value(port);
        list.push_back(r);
    }
    return list;
}

modem::ModemHealth healthOf(const heartbeat::Beat& b) {
    modem::ModemHealth h;
    if (!b.rssi.isNull()) h.rssi = b.rssi.toInt();
    if (!b.registration.isNull()) h.registration = b.registration.toInt();
    if (!b.network.isNull()) h.network = b.network.toString().toStdString();
    return h;
}

QString ageText(const QDateTime& then, const QDateTime& now) {
    const qint64 s = then.secsTo(now);
    return s < 120 ? QStringLiteral("%1 s ago").arg(s) : QStringLiteral("%1 min ago").arg(s / 60);
}

QString textLine(const PortReport& r, const QDateTime& now) {
    if (!r.hasRow) return QStringLiteral("port %1  no row in cs  queued %2").arg(r.port).arg(r.queued);
    QString line = QStringLiteral("port %1  %2").arg(r.port).arg(r.stat);
    if (!r.notRunning.isEmpty()) line += QStringLiteral(", not running (%1)").arg(r.notRunning);
    if (!r.errinfo.isEmpty() && r.errinfo != QLatin1String("-")) line += QStringLiteral(" (%1)").arg(r.errinfo);
    line += QStringLiteral("  queued %1  sent today %2").arg(r.queued).arg(r.sentToday);
    if (r.dailyLimit) line += QStringLiteral(" (daily limit %1, %2 left)").arg(*r.dailyLimit).arg(*r.dailyLeft);
    if (r.countdownLeft) line += QStringLiteral("  countdown %1 left").arg(*r.countdownLeft);
    if (r.lastReceived.isEmpty()) {
        line += QStringLiteral("  last received: none");
    } else {
        line += QStringLiteral("  last received %1 %2 from %3")
                    .arg(dialect::readDate(r.lastReceived[0]).toString(Qt::ISODate), r.lastReceived[1].toString(),
                         r.lastReceived[2].toString());
    }
    if (r.beat && r.beat->health.isValid()) {
        line += QStringLiteral("  %1 (read %2)")
                    .arg(QString::fromStdString(modem::describe(healthOf(*r.beat))), ageText(r.beat->health, now));
    }
    return line;
}

QJsonValue orNull(const std::optional<int>& v) {
    return v ? QJsonValue(*v) : QJsonValue();
}

QJsonObject healthJson(const heartbeat::Beat& b, const QDateTime& now) {
    const modem::ModemHealth h = healthOf(b);
    QJsonObject o{{"age_seconds", b.health.secsTo(now)}, {"rssi", orNull(h.rssi)}, {"registration", orNull(h.registration)}};
    if (h.rssi && *h.rssi != 99) o.insert("signal_dbm", -113 + 2 * *h.rssi);
    if (h.registration) o.insert("registration_text", QString::fromStdString(modem::describeRegistration(*h.registration)));
    o.insert("operator", h.network ? QJsonValue(QString::fromStdString(*h.network)) : QJsonValue());
    return o;
}

QJsonObject jsonPort(const PortReport& r, const QDateTime& now) {
    QJsonObject o{{"port", r.port}, {"row", r.hasRow}, {"queued", r.queued}, {"problem", r.problem}};
    if (!r.hasRow) return o;
    o.insert("stat", r.stat);
    o.insert("errinfo", r.errinfo);
    o.insert("running", r.stat == QLatin1String("RUN") && r.notRunning.isEmpty());
    if (!r.notRunning.isEmpty()) o.insert("not_running", r.notRunning);
    o.insert("sent_today", r.sentToday);
    o.insert("daily_limit", orNull(r.dailyLimit));
    o.insert("daily_left", orNull(r.dailyLeft));
    o.insert("countdown_left", orNull(r.countdownLeft));
    if (!r.lastReceived.isEmpty()) {
        o.insert("last_received", QJsonObject{{"date", dialect::readDate(r.lastReceived[0]).toString(Qt::ISODate)},
                                              {"time", r.lastReceived[1].toString()},
                                              {"from", r.lastReceived[2].toString()}});
    }
    if (r.beat) {
        o.insert("heartbeat", QJsonObject{{"pid", r.beat->pid}, {"host", r.beat->host},
                                          {"age_seconds", r.beat->beat.secsTo(now)},
                                          {"started", heartbeat::stamp(r.beat->started)}});
        if (r.beat->health.isValid()) o.insert("health", healthJson(*r.beat, now));
    }
    return o;
}

// The tables status reads; a database without them was never initialised.
bool initialised() {
    const QStringList existing = Database::connection().tables();
    for (const char* name : {"cs", "qsms", "smsout", "smsin"}) {
        if (!existing.contains(QLatin1String(name), Qt::CaseInsensitive)) return false;
    }
    return true;
}

} // namespace

int showStatus(bool json) {
    const QString target = Database::config().describe();
    if (!initialised()) {
        if (json) {
            out() << QJsonDocument(QJsonObject{{"database", target}, {"initialised", false}, {"ok", false}})
                         .toJson(QJsonDocument::Compact)
                  << "\n";
        } else {
            err() << "database not initialised (it has no port table cs): " << target
                  << "; `pelorin-admin init` creates the tables\n";
        }
        return 1;
    }
    const bool beatsKnown = heartbeat::tablePresent();
    const std::vector<PortReport> reports = gather(beatsKnown);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    bool ok = true;
    for (const PortReport& r : reports) ok = ok && !r.problem;
    if (json) {
        QJsonArray ports;
        for (const PortReport& r : reports) ports.append(jsonPort(r, now));
        out() << QJsonDocument(QJsonObject{{"database", target}, {"initialised", true}, {"heartbeat_table", beatsKnown},
                                           {"ok", ok}, {"ports", ports}})
                     .toJson(QJsonDocument::Compact)
              << "\n";
        return ok ? 0 : 1;
    }
    if (reports.empty()) out() << "no ports\n";
    for (const PortReport& r : reports) out() << textLine(r, now) << "\n";
    if (!beatsKnown) {
        out() << "no heartbeat table, so a port saying RUN may not be running (`pelorin-admin init` adds it)\n";
    }
    return ok ? 0 : 1;
}

} // namespace pelorin::admin

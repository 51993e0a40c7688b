// pelorin-admin's commands that write or show rows.

#include "admin.h"

#include <QDate>
#include <QSqlQuery>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "db/database.h"
#include "db/query.h"
#include "outbound/phone_number.h"

namespace pelorin::admin {

using namespace pelorin::db;

QTextStream& out() {
    static QTextStream stream(stdout);
    return stream;
}

QTextStream& err() {
    static QTextStream stream(stderr);
    return stream;
}

namespace {

QVariant valueFor(const Column& column, const QString& raw, Backend backend) {
    switch (column.kind) {
    case Kind::Text:
        return raw; // as given: the database holds Unicode text
    case Kind::Date: {
        const QDate day = raw == QLatin1String("today") ? QDate::currentDate()
                                                        : QDate::fromString(raw, Qt::ISODate);
        if (!day.isValid()) throw UsageError{QStringLiteral("not a date: ") + raw};
        return dialect::dateValue(backend, day);
    }
    default: {
        bool ok = false;
        const int number = raw.toInt(&ok);
        if (!ok) throw UsageError{QStringLiteral("not a whole number: ") + raw};
        return number;
    }
    }
}

// Inserts the row; returns the statement, which holds the new key where the engine returns one.
QSqlQuery insertRow(const Table& table, const Assignments& values, const QString& returning = {}) {
    QStringList names, marks;
    QVariantList binds;
    for (const auto& [column, value] : values) {
        names << QLatin1String(column->name);
        marks << QStringLiteral("?");
        binds << value;
    }
    QString sql = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                      .arg(QLatin1String(table.name), names.join(QLatin1Char(',')), marks.join(QLatin1Char(',')));
    if (!returning.isEmpty() && Database::backend() == Backend::Postgres) sql += QStringLiteral(" RETURNING ") + returning;
    return exec(sql, binds);
}

// The key of the row just inserted by `q` (RETURNING on PostgreSQL, the row id on SQLite).
qint64 newKey(QSqlQuery& q) {
    if (Database::backend() == Backend::Postgres) return q.next() ? q.value(0).toLongLong() : -1;
    return q.lastInsertId().toLongLong();
}

bool hasColumn(const Assignments& values, const char* name) {
    for (const auto& pair : values) {
        if (qstrcmp(pair.first->name, name) == 0) return true;
    }
    return false;
}

} // namespace

const Table& tableNamed(const QString& name) {
    const Table* table = findTable(name);
    if (table == nullptr) throw UsageError{QStringLiteral("no such table: ") + name};
    return *table;
}

Assignments assignments(const Table& table, const QStringList& args, Backend backend) {
    Assignments result;
    for (const QString& arg : args) {
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        if (eq <= 0) throw UsageError{QStringLiteral("expected column=value, got: ") + arg};
        const Column* column = findColumn(table, arg.left(eq));
        if (column == nullptr) {
            throw UsageError{QStringLiteral("%1 has no column %2").arg(QLatin1String(table.name), arg.left(eq))};
        }
        result.append({column, valueFor(*column, arg.mid(eq + 1), backend)});
    }
    return result;
}

int rowNumber(const QString& text, const char* what) {
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < 0) throw UsageError{QStringLiteral("%1 needs a row number (idx), got: %2").arg(QLatin1String(what), text)};
    return number;
}

QString createPrivateFile(const QString& path) {
    const QByteArray name = path.toLocal8Bit();
    // O_EXCL: an existing database keeps its owner and mode.
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0) return errno == EEXIST ? QString() : QString::fromLocal8Bit(std::strerror(errno));
    // Whatever the umask allowed, group and owner only: the file holds every message.
    const bool ok = ::fchmod(fd, 0640) == 0;
    ::close(fd);
    return ok ? QString() : QString::fromLocal8Bit(std::strerror(errno));
}

int initSchema() {
    QStringList present;
    const QStringList existing = Database::connection().tables();
    for (const Table& table : sharedTables()) {
        if (existing.contains(QLatin1String(table.name), Qt::CaseInsensitive)) present << QLatin1String(table.name);
    }
    const bool ownPresent = existing.contains(QStringLiteral("heartbeat"), Qt::CaseInsensitive);
    if (present.size() == static_cast<qsizetype>(sharedTables().size())) {
        if (ownPresent) {
            out() << "database already initialised, nothing changed: " << Database::config().describe() << "\n";
            return 0;
        }
        // A database the main application made, or one from before the modules kept a heartbeat.
        inTransaction([] {
            for (const QString& statement : createOwnStatements(Database::backend())) execDirect(statement);
        });
        out() << "database already initialised; added the heartbeat table: " << Database::config().describe() << "\n";
        return 0;
    }
    if (!present.isEmpty()) {
        // Half a schema belongs to someone else's setup; adding to it could hide a mistake.
        err() << "database holds only some shared tables (" << present.join(QLatin1Char(',')) << "); nothing changed\n";
        return 1;
    }
    inTransaction([] {
        for (const QString& statement : createStatements(Database::backend())) execDirect(statement);
    });
    out() << "database initialised: " << Database::config().describe() << "\n";
    return 0;
}

Action preparePort(const QStringList& args, Backend backend) {
    if (args.isEmpty()) throw UsageError{QStringLiteral("port needs a port number")};
    const Table& cs = tableNamed(QStringLiteral("cs"));
    bool ok = false;
    const int com = args.first().toInt(&ok);
    if (!ok) throw UsageError{QStringLiteral("not a port number: ") + args.first()};
    const Assignments values = assignments(cs, args.mid(1), backend);
    return [&cs, com, values] {
        inTransaction([&] {
            if (countRows(QStringLiteral("SELECT com FROM cs WHERE com=?"), {com}) == 0) {
                insertRow(cs, {{findColumn(cs, QStringLiteral("com")), com}});
            }
            for (const auto& [column, value] : values) {
                exec(QStringLiteral("UPDATE cs SET %1=? WHERE com=?").arg(QLatin1String(column->name)),
                     {value, com});
            }
        });
        return 0;
    };
}

Action prepareQueue(const QStringList& args, Backend backend) {
    const Table& qsms = tableNamed(QStringLiteral("qsms"));
    Assignments values = assignments(qsms, args, backend);
    for (const char* needed : {"tujuan", "isipesan", "pidcom"}) {
        if (!hasColumn(values, needed)) throw UsageError{QStringLiteral("queue needs %1=...").arg(QLatin1String(needed))};
    }
    // The module would set such a row aside unsent; better to say so now.
    for (const auto& [column, value] : values) {
        if (qstrcmp(column->name, "tujuan") != 0) continue;
        const std::string destination = value.toString().toStdString();
        if (!pelorin::outbound::IsPhoneNumber(pelorin::outbound::CleanDestination(destination))) {
            throw UsageError{QStringLiteral("tujuan is not a phone number: \"%1\" (up to 20 digits, an optional "
                                            "leading +, blanks and dashes allowed)")
                                 .arg(value.toString())};
        }
    }
    if (!hasColumn(values, "tgl")) {
        values.append({findColumn(qsms, QStringLiteral("tgl")), dialect::dateValue(backend, QDate::currentDate())});
    }
    if (!hasColumn(values, "waktu")) values.append({findColumn(qsms, QStringLiteral("waktu")), currentTimeText()});
    return [&qsms, values] {
        QSqlQuery q = insertRow(qsms, values, QStringLiteral("idx"));
        // The idx is what unqueue, show and the module's log name the message by.
        out() << "queued " << newKey(q) << "\n";
        return 0;
    };
}

Action prepareInsert(const QStringList& args, Backend backend) {
    if (args.isEmpty()) throw UsageError{QStringLiteral("insert needs a table")};
    const Table& table = tableNamed(args.first());
    // The per-port queue counts follow the queue through triggers; a row written by hand
    // would make them lie.
    if (qstrcmp(table.name, "qsms_count") == 0) {
        throw UsageError{QStringLiteral("qsms_count is kept by the database itself and cannot be written")};
    }
    const Assignments values = assignments(table, args.mid(1), backend);
    return [&table, values] {
        insertRow(table, values);
        return 0;
    };
}

Action prepareRequeue(const QStringList& args) {
    if (args.size() != 1) throw UsageError{QStringLiteral("requeue needs exactly one failedsent idx")};
    const int idx = rowNumber(args.first(), "requeue");
    return [idx] {
        QList<qint64> keys;
        inTransaction([&] {
            keys.clear(); // a transaction done again starts afresh
            const auto rows = selectRows(QStringLiteral("SELECT tgl,waktu,pengirim,tujuan,isipesan,pidcom,wapurl "
                                                        "FROM failedsent WHERE idx=?"), {idx});
            const Table& qsms = tableNamed(QStringLiteral("qsms"));
            for (const QVariantList& row : rows) {
                Assignments values;
                int i = 0;
                for (const char* name : {"tgl", "waktu", "pengirim", "tujuan", "isipesan", "pidcom", "wapurl"}) {
                    values.append({findColumn(qsms, QLatin1String(name)), row[i++]});
                }
                // A fresh start: counted failures would stop its port at once.
                values.append({findColumn(qsms, QStringLiteral("trycount")), 0});
                QSqlQuery q = insertRow(qsms, values, QStringLiteral("idx"));
                keys << newKey(q);
            }
            exec(QStringLiteral("DELETE FROM failedsent WHERE idx=?"), {idx});
        });
        for (const qint64 key : keys) out() << "failedsent " << idx << " queued again as " << key << "\n";
        if (!keys.isEmpty()) return 0;
        err() << "pelorin-admin: no failedsent row with idx " << idx << "\n";
        return 1;
    };
}

Action prepareUnqueue(const QStringList& args) {
    if (args.size() != 1) throw UsageError{QStringLiteral("unqueue needs exactly one queued idx")};
    const int idx = rowNumber(args.first(), "unqueue");
    return [idx] {
        if (exec(QStringLiteral("DELETE FROM qsms WHERE idx=?"), {idx}).numRowsAffected() > 0) {
            out() << "removed queued " << idx << "\n";
            return 0;
        }
        err() << "pelorin-admin: no queued message with idx " << idx << "\n";
        return 1;
    };
}

int showTable(const Table& table) {
    QStringList names;
    for (const Column& column : table.columns) names << QLatin1String(column.name);
    const bool keyed = findColumn(table, QStringLiteral("idx")) != nullptr;
    QSqlQuery q = exec(QStringLiteral("SELECT %1 FROM %2%3")
                           .arg(names.join(QLatin1Char(',')), QLatin1String(table.name),
                                keyed ? QStringLiteral(" ORDER BY idx") : QString()));
    out() << names.join(QLatin1Char('\t')) << "\n";
    while (q.next()) {
        QStringList row;
        for (int i = 0; i < names.size(); ++i) {
            const QVariant v = q.value(i);
            row << (v.isNull() ? QStringLiteral("NULL") : v.toString());
        }
        out() << row.join(QLatin1Char('\t')) << "\n";
    }
    return 0;
}

} // namespace pelorin::admin

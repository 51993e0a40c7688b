// pelorin-admin: plays the main application's part from a shell. It creates the shared
// schema and adds or shows rows, so that modules can be run and tested without it.

#include <QCoreApplication>
#include <QDate>
#include <QHash>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QTextStream>

#include <cstdio>
#include <functional>

#include "db/database.h"
#include "db/dialect.h"
#include "db/query.h"
#include "db/schema.h"

using namespace pelorin::db;

namespace {

constexpr const char* kUsage =
    "usage: pelorin-admin COMMAND [ARGS]\n"
    "  init                           create every shared table and index\n"
    "  port COM [column=value ...]    add or change the cs row of a port\n"
    "  queue column=value ...         queue one message (tujuan, isipesan, pidcom needed)\n"
    "  insert TABLE column=value ...  add one row to any shared table (qsms_count keeps itself)\n"
    "  show TABLE                     print a table's rows, tab-separated\n"
    "  status                         one line per port: state, queue, sent today, limits, last received\n"
    "The database is $PELORIN_DATABASE, else dbtavrin.db in $PELORIN_HOME.\n"
    "Dates are yyyy-mm-dd or \"today\". Texts are stored exactly as given, in any script;\n"
    "arguments must be UTF-8.\n";

struct UsageError {
    QString message;
};

QTextStream& out() {
    static QTextStream stream(stdout);
    return stream;
}

using Assignments = QList<QPair<const Column*, QVariant>>;
// A command whose arguments have all been checked, waiting for the database.
using Action = std::function<int()>;

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

const Table& tableNamed(const QString& name) {
    const Table* table = findTable(name);
    if (table == nullptr) throw UsageError{QStringLiteral("no such table: ") + name};
    return *table;
}

// "column=value" arguments, checked against the table's columns.
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

void insertRow(const Table& table, const Assignments& values) {
    QStringList names, marks;
    QVariantList binds;
    for (const auto& [column, value] : values) {
        names << QLatin1String(column->name);
        marks << QStringLiteral("?");
        binds << value;
    }
    exec(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
             .arg(QLatin1String(table.name), names.join(QLatin1Char(',')), marks.join(QLatin1Char(','))),
         binds);
}

int initSchema() {
    QStringList present;
    const QStringList existing = Database::connection().tables();
    for (const Table& table : sharedTables()) {
        if (existing.contains(QLatin1String(table.name), Qt::CaseInsensitive)) present << QLatin1String(table.name);
    }
    if (present.size() == static_cast<qsizetype>(sharedTables().size())) {
        out() << "database already initialised, nothing changed: " << Database::config().describe() << "\n";
        return 0;
    }
    if (!present.isEmpty()) {
        // Half a schema belongs to someone else's setup; adding to it could hide a mistake.
        std::fprintf(stderr, "database holds only some shared tables (%s); nothing changed\n",
                     qPrintable(present.join(QLatin1Char(','))));
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
    auto has = [&](const char* name) {
        for (const auto& pair : values) {
            if (qstrcmp(pair.first->name, name) == 0) return true;
        }
        return false;
    };
    for (const char* needed : {"tujuan", "isipesan", "pidcom"}) {
        if (!has(needed)) throw UsageError{QStringLiteral("queue needs %1=...").arg(QLatin1String(needed))};
    }
    if (!has("tgl")) {
        values.append({findColumn(qsms, QStringLiteral("tgl")), dialect::dateValue(backend, QDate::currentDate())});
    }
    if (!has("waktu")) values.append({findColumn(qsms, QStringLiteral("waktu")), currentTimeText()});
    return [&qsms, values] {
        insertRow(qsms, values);
        out() << "queued\n";
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

// Counts per port from a "SELECT port, count" statement.
QHash<int, int> countsByPort(const QString& sql, const QVariantList& values = {}) {
    QHash<int, int> counts;
    for (const QVariantList& row : selectRows(sql, values)) counts.insert(row[0].toInt(), row[1].toInt());
    return counts;
}

// The overview an operator looks at first. Counted directly (qsms_count may be absent on a
// database the main application made).
int showStatus() {
    const QDate today = QDate::currentDate();
    const QVariant day = dialect::dateValue(Database::backend(), today);
    const QHash<int, int> queued =
        countsByPort(QStringLiteral("SELECT pidcom,count(*) FROM qsms WHERE pidcom IS NOT NULL GROUP BY pidcom"));
    const QHash<int, int> sent = countsByPort(
        QStringLiteral("SELECT pidcom,count(*) FROM smsout WHERE tanggal=? AND pidcom IS NOT NULL GROUP BY pidcom"), {day});
    const std::vector<QVariantList> ports =
        selectRows(QStringLiteral("SELECT com,stat,errinfo,nomor,usecountdown,countdown,useharian,limitharian,"
                                  "tglsekarang,hariandown FROM cs ORDER BY com"));
    if (ports.empty()) out() << "no ports\n";
    for (const QVariantList& p : ports) {
        const int com = p[0].toInt();
        const QString error = p[2].toString().trimmed();
        QString line = QStringLiteral("port %1  %2").arg(com).arg(p[1].isNull() ? QStringLiteral("-") : p[1].toString());
        if (!error.isEmpty() && error != QLatin1String("-")) line += QStringLiteral(" (%1)").arg(error);
        line += QStringLiteral("  queued %1  sent today %2").arg(queued.value(com)).arg(sent.value(com));
        if (p[6].toInt() != 0) {
            // A new day starts from the full allowance, as the sending side counts it.
            const int left = dialect::readDate(p[8]) == today ? p[9].toInt() : p[7].toInt();
            line += QStringLiteral(" (daily limit %1, %2 left)").arg(p[7].toInt()).arg(left);
        }
        if (p[4].toInt() != 0) line += QStringLiteral("  countdown %1 left").arg(p[5].toInt());
        // Received messages name the port by its own number.
        const std::vector<QVariantList> last =
            p[3].toString().isEmpty()
                ? std::vector<QVariantList>{}
                : selectRows(QStringLiteral("SELECT tanggal,waktu,pengirim FROM smsin WHERE penerima=? "
                                            "ORDER BY tanggal DESC,waktu DESC") + dialect::limitClause(1),
                             {p[3]});
        if (last.empty()) {
            line += QStringLiteral("  last received: none");
        } else {
            line += QStringLiteral("  last received %1 %2 from %3")
                        .arg(dialect::readDate(last[0][0]).toString(Qt::ISODate), last[0][1].toString(),
                             last[0][2].toString());
        }
        out() << line << "\n";
    }
    return 0;
}

// Every argument is checked before the database is opened, so a wrong call gets its usage
// whatever state the database is in, and nothing is written by half a command.
Action prepare(const QString& command, const QStringList& rest, Backend backend) {
    if (command == QLatin1String("init")) {
        if (!rest.isEmpty()) throw UsageError{QStringLiteral("init takes no arguments")};
        return initSchema;
    }
    if (command == QLatin1String("port")) return preparePort(rest, backend);
    if (command == QLatin1String("queue")) return prepareQueue(rest, backend);
    if (command == QLatin1String("insert")) return prepareInsert(rest, backend);
    if (command == QLatin1String("show")) {
        if (rest.size() != 1) throw UsageError{QStringLiteral("show needs exactly one table")};
        const Table& table = tableNamed(rest.first());
        return [&table] { return showTable(table); };
    }
    if (command == QLatin1String("status")) {
        if (!rest.isEmpty()) throw UsageError{QStringLiteral("status takes no arguments")};
        return showStatus;
    }
    throw UsageError{command.isEmpty() ? QStringLiteral("no command") : QStringLiteral("unknown command: ") + command};
}

int run(const QStringList& args) {
    const QString command = args.value(0);
    const DatabaseConfig config = DatabaseConfig::fromEnvironment();
    const Action action = prepare(command, args.mid(1), config.backend);
    const QString error = Database::open(config, /*mustExist=*/command != QLatin1String("init"));
    if (!error.isEmpty()) {
        std::fprintf(stderr, "cannot open database %s: %s\n", qPrintable(config.describe()), qPrintable(error));
        return 1;
    }
    return action();
}

// The arguments as UTF-8 text, whatever the locale. A byte that is not UTF-8 is refused: stored,
// it would silently become a replacement character.
QStringList textArguments(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        const QByteArray bytes(argv[i]);
        const QString arg = QString::fromUtf8(bytes);
        // Invalid bytes decode to replacement characters, which do not encode back to them.
        if (arg.toUtf8() != bytes) {
            throw UsageError{QStringLiteral("argument %1 is not UTF-8 text: %2").arg(i).arg(arg)};
        }
        args << arg;
    }
    return args;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int status = 0;
    try {
        status = run(textArguments(argc, argv));
    } catch (const UsageError& e) {
        std::fprintf(stderr, "pelorin-admin: %s\n%s", qPrintable(e.message), kUsage);
        status = 2;
    } catch (const DbError& e) {
        std::fprintf(stderr, "pelorin-admin: database error: %s\n", e.what());
        status = 1;
    }
    out().flush();
    Database::closeThisThread();
    return status;
}

// Outbound queue statements against a large shared queue: one dispatch batch of a web-service
// port and one queued reply, on a queue of 1,000,000 rows spread over 100 running sender
// ports, and the same on a queue of 10 rows. Both keep the table at its size, so every
// iteration sees the same queue.
//
// The databases are built once with the real schema and kept in
// $TMPDIR/pelorin-queue-bench (named after a hash of the schema, so a schema change builds
// them again); each run works on a copy, which it removes at the end.
//
// With PELORIN_BENCH_POSTGRES=postgresql://user@host:port/db (a server and a database to
// connect to first) the same runs on PostgreSQL: the databases qbench_<rows>_<hash> are
// built there once and used in place (every iteration leaves the queue at its size).

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSqlQuery>
#include <QString>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <string>

#include "db/database.h"
#include "db/query.h"
#include "db/schema.h"
#include "outbound/dispatch.h"
#include "outbound/sender_port.h"

namespace db = pelorin::db;
namespace outbound = pelorin::outbound;

namespace {

constexpr int kSenderPorts = 100;

// One queue size: how many rows, and over how many of the running ports they are spread.
// The small queue keeps its rows on two ports, so that a batch there still has messages.
struct Queue {
    int rows;
    int queuedPorts;
};

Queue queueFor(int rows) {
    return rows >= kSenderPorts * 4 ? Queue{rows, kSenderPorts} : Queue{rows, 2};
}

QString cacheDir() {
    return QDir::tempPath() + QStringLiteral("/pelorin-queue-bench");
}

QString postgresServer() {
    return qEnvironmentVariable("PELORIN_BENCH_POSTGRES");
}

db::Backend backend() {
    return postgresServer().isEmpty() ? db::Backend::Sqlite : db::Backend::Postgres;
}

QString schemaTag() {
    const QByteArray all = db::createStatements(backend()).join(QLatin1Char(';')).toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(all, QCryptographicHash::Md5).toHex().left(8));
}

void fail(const QString& what) {
    std::fprintf(stderr, "queue_bench: %s\n", qPrintable(what));
    std::exit(1);
}

// An SQLite file, or the name of a database on the PostgreSQL server.
void openDatabase(const QString& file, bool create) {
    db::DatabaseConfig config;
    if (backend() == db::Backend::Postgres) {
        config = db::DatabaseConfig::fromValue(postgresServer());
        config.databaseName = file;
    } else {
        config.sqliteFile = file;
    }
    const QString error = db::Database::open(config, !create);
    if (!error.isEmpty()) fail(QStringLiteral("cannot open %1: %2").arg(file, error));
}

void removeDatabase(const QString& file) {
    if (backend() == db::Backend::Postgres) return; // built once, used in place
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) QFile::remove(file + QLatin1String(suffix));
}

// The 100 running sender ports carry both limits, set far out of reach, so that every send
// also books its parts as a real port does.
void fill(const Queue& queue) {
    db::inTransaction([&] {
        for (const QString& statement : db::createStatements(backend())) db::execDirect(statement);
        if (backend() == db::Backend::Postgres) {
            db::execDirect(QStringLiteral("INSERT INTO cs (com,nomor,stat,statsender,errinfo,usecountdown,countdown,"
                                          "useharian,limitharian,tglsekarang,hariandown) "
                                          "SELECT i,'0812'||lpad(i::text,8,'0'),'RUN','SENDER','-',1,2000000000,1,"
                                          "2000000000,CURRENT_DATE,2000000000 FROM generate_series(1,%1) i")
                               .arg(kSenderPorts));
            db::execDirect(QStringLiteral("INSERT INTO qsms (tgl,waktu,pengirim,tujuan,isipesan,pidcom,trycount,wapurl) "
                                          "SELECT CURRENT_DATE,'08:00','SENDER','0813'||lpad(i::text,8,'0'),"
                                          "'Pesan nomor '||i||' untuk pelanggan',1+mod(i,%1),0,'' "
                                          "FROM generate_series(0,%2) i")
                               .arg(queue.queuedPorts)
                               .arg(queue.rows - 1));
            return;
        }
        db::exec(QStringLiteral(
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<?) "
                     "INSERT INTO cs (com,nomor,stat,statsender,errinfo,usecountdown,countdown,"
                     "useharian,limitharian,tglsekarang,hariandown) "
                     "SELECT i,'0812'||printf('%08d',i),'RUN','SENDER','-',1,2000000000,1,2000000000,"
                     "date('now'),2000000000 FROM n"),
                 {kSenderPorts});
        db::exec(QStringLiteral(
                     "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<?-1) "
                     "INSERT INTO qsms (tgl,waktu,pengirim,tujuan,isipesan,pidcom,trycount,wapurl) "
                     "SELECT date('now'),'08:00','SENDER','0813'||printf('%08d',i),"
                     "'Pesan nomor '||i||' untuk pelanggan',1+i%?,0,'' FROM n"),
                 {queue.rows, queue.queuedPorts});
    });
    db::execDirect(QStringLiteral("ANALYZE"));
}

void build(const QString& file, const Queue& queue) {
    std::fprintf(stderr, "queue_bench: building %s (%d rows), once\n", qPrintable(file), queue.rows);
    removeDatabase(file);
    openDatabase(file, true);
    fill(queue);
    db::Database::closeThisThread();
}

// On the server: the database of that size, built when missing.
QString preparePostgres(int rows) {
    const QString name = QStringLiteral("qbench_%1_%2").arg(rows).arg(schemaTag());
    openDatabase(db::DatabaseConfig::fromValue(postgresServer()).databaseName, false);
    const bool exists = !db::selectRows(QStringLiteral("SELECT 1 FROM pg_database WHERE datname=?"), {name}).empty();
    if (!exists) {
        // Built under another name first, so an interrupted build is never taken for a whole one.
        const QString partial = name + QStringLiteral("_part");
        db::execDirect(QStringLiteral("DROP DATABASE IF EXISTS %1").arg(partial));
        db::execDirect(QStringLiteral("CREATE DATABASE %1").arg(partial));
        build(partial, queueFor(rows));
        openDatabase(db::DatabaseConfig::fromValue(postgresServer()).databaseName, false);
        db::execDirect(QStringLiteral("ALTER DATABASE %1 RENAME TO %2").arg(partial, name));
    }
    db::Database::closeThisThread();
    return name;
}

// The cached database of that size, built when missing, copied to a working file.
QString prepare(int rows) {
    if (backend() == db::Backend::Postgres) return preparePostgres(rows);
    const Queue queue = queueFor(rows);
    QDir().mkpath(cacheDir());
    const QString cached = cacheDir() + QStringLiteral("/qsms-%1-%2.db").arg(rows).arg(schemaTag());
    if (!QFile::exists(cached)) {
        const QString partial = cached + QStringLiteral(".part");
        build(partial, queue);
        removeDatabase(cached);
        if (!QFile::rename(partial, cached)) fail(QStringLiteral("cannot keep ") + cached);
        removeDatabase(partial);
    }
    const QString work = cacheDir() + QStringLiteral("/work-%1-%2.db")
                                          .arg(rows)
                                          .arg(QCoreApplication::applicationPid());
    removeDatabase(work);
    if (!QFile::copy(cached, work)) fail(QStringLiteral("cannot copy ") + cached);
    return work;
}

std::map<int, QString>& workFiles() {
    static std::map<int, QString> files;
    return files;
}

// Makes the database of that size the current one; reopens only on a change of size.
void use(int rows) {
    static int current = -1;
    if (current == rows) return;
    openDatabase(workFiles().at(rows), false);
    current = rows;
}

qlonglong queueSize() {
    QSqlQuery q = db::exec(QStringLiteral("SELECT count(*) FROM qsms"));
    return q.next() ? q.value(0).toLongLong() : -1;
}

// One batch of a web-service port (batch size 4: three messages), rotating over the ports
// that hold messages. What it sent is queued again at the end of the same port.
void DispatchBatch(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const Queue queue = queueFor(rows);
    use(rows);

    std::string error;
    outbound::DispatchContext context;
    context.modemType = "MERL-SENDER";
    context.account = {"127.0.0.1:8080", "KEY", "SIGN", false};
    context.SetPortError = [&error](const std::string& text) { error = text; };
    // The service takes every request at once: what is measured is the queue's side.
    context.IssueWebRequest = [](const std::string&) {
        std::promise<outbound::WebOutcome> taken;
        taken.set_value({true, {}});
        return taken.get_future();
    };
    context.pause = [](int) {};

    int port = 0;
    for (auto _ : state) {
        port = port % queue.queuedPorts + 1;
        const std::vector<std::string> urls = outbound::DispatchOutbound(context, std::to_string(port), 4);
        state.PauseTiming();
        if (!error.empty() || urls.size() != 3) {
            state.SkipWithError(error.empty() ? "the batch did not send three messages" : error.c_str());
            state.ResumeTiming();
            break;
        }
        db::inTransaction([&] {
            for (std::size_t i = 0; i < urls.size(); ++i) {
                db::exec(QStringLiteral("INSERT INTO qsms (tgl,waktu,pengirim,tujuan,isipesan,pidcom,trycount,wapurl) "
                                        "VALUES (CURRENT_DATE,'08:00','SENDER','081300000000','Pesan lagi',?,0,'')"),
                         {port});
            }
        });
        state.ResumeTiming();
    }
    state.counters["queued"] = static_cast<double>(queueSize());
}
BENCHMARK(DispatchBatch)->Arg(10)->Arg(1000000)->Unit(benchmark::kMillisecond);

// One reply queued from inside a module. Arg 1 = 0: a sender number no port has, so every
// running port competes (the longest path); 1: the number of port 1. The queued row is
// removed again so the queue keeps its size.
void QueueReply(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const bool ownNumber = state.range(1) != 0;
    use(rows);
    const std::string sender = ownNumber ? "081200000001" : "089999999999";

    for (auto _ : state) {
        outbound::QueueOutgoingSms("081311112222", sender, "Terima kasih, pesan anda kami terima");
        state.PauseTiming();
        db::exec(QStringLiteral("DELETE FROM qsms WHERE idx=(SELECT max(idx) FROM qsms)"));
        state.ResumeTiming();
    }
    state.counters["queued"] = static_cast<double>(queueSize());
}
BENCHMARK(QueueReply)
    ->ArgNames({"rows", "own"})
    ->Args({10, 0})
    ->Args({1000000, 0})
    ->Args({10, 1})
    ->Args({1000000, 1})
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    for (int rows : {10, 1000000}) workFiles()[rows] = prepare(rows);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    db::Database::closeThisThread();
    for (const auto& [rows, file] : workFiles()) removeDatabase(file);
    return 0;
}

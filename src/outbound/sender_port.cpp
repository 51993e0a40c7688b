#include "outbound/sender_port.h"

#include <QSqlDatabase>
#include <QSqlQuery>

#include <exception>
#include <vector>

#include "db/dialect.h"
#include "db/query.h"
#include "log/log.h"

namespace pelorin::outbound {
namespace {

// A port with this many queued messages or more is never chosen.
constexpr int kFullQueue = 999;

struct Candidate {
    int port = 0;
    int queued = 0;
};

// Whether this connection's database has the per-port counter table that the admin tool adds;
// one made by the main application has only the shared tables. Asked once per connection.
bool hasQueueCounts() {
    thread_local QString connection;
    thread_local bool present = false;
    const QSqlDatabase db = db::Database::connection();
    if (db.connectionName() != connection) {
        connection = db.connectionName();
        present = db.tables().contains(QStringLiteral("qsms_count"), Qt::CaseInsensitive);
    }
    return present;
}

// Running sender ports with their queue lengths: kept per port by the database when it can,
// else counted, though never beyond what decides the choice.
std::vector<Candidate> runningSenders(const QString& condition, const QVariantList& values) {
    const QString queued = hasQueueCounts()
                               ? QStringLiteral("coalesce((SELECT queued FROM qsms_count qc WHERE qc.pidcom=cs.com),0)")
                               : QStringLiteral("(SELECT count(*) FROM (SELECT 1 FROM qsms WHERE qsms.pidcom=cs.com%1) q)")
                                     .arg(db::dialect::limitClause(kFullQueue));
    std::vector<Candidate> result;
    for (const QVariantList& row :
         db::selectRows(QStringLiteral("SELECT cs.com,") + queued +
                            QStringLiteral(" FROM cs WHERE cs.statsender='SENDER' AND cs.stat='RUN'") + condition +
                            QStringLiteral(" ORDER BY cs.com"),
                        values)) {
        result.push_back({row[0].toInt(), row[1].toInt()});
    }
    return result;
}

} // namespace

int PickSenderPort(const std::string& sender) {
    // Text compares without regard to case, which is how a requested sender meets `nomor`.
    std::vector<Candidate> competing = runningSenders(QStringLiteral(" AND cs.nomor=?"), {db::text(sender)});
    if (competing.empty()) competing = runningSenders(QString(), {});

    int best = kFullQueue;
    int chosen = 0;
    for (const Candidate& c : competing) {
        if (c.queued < best) {
            best = c.queued;
            chosen = c.port;
        }
    }
    return chosen;
}

void QueueOutgoingSms(const std::string& destination, const std::string& sender,
                      const std::string& message) {
    // Called inside the transaction of a received message: a savepoint keeps a failure here
    // from spoiling that transaction on engines that abort it at the first error.
    int port = 0;
    try {
        db::inSavepoint([&] { port = PickSenderPort(sender); });
    } catch (const db::ConnectionLost&) {
        throw; // the transaction around this is gone: it fails and is done again
    } catch (const db::Conflict&) {
        throw;
    } catch (const std::exception&) {
        port = 0;
    }
    try {
        db::inSavepoint([&] {
        db::execNamed(QStringLiteral("INSERT INTO QSMS (tgl,waktu,pengirim,tujuan,isipesan,pidcom,trycount) "
                                     "VALUES (:Tanggal,:Waktu,:pengirim,:mobile,:pesan,:pidcom,:trycount)"),
                      {{QStringLiteral("Tanggal"), db::today()},
                       {QStringLiteral("Waktu"), db::currentTimeText()},
                       {QStringLiteral("pengirim"), db::text(sender)},
                       {QStringLiteral("mobile"), db::text(destination)},
                       {QStringLiteral("pesan"), db::text(message)},
                       {QStringLiteral("pidcom"), port},
                       {QStringLiteral("trycount"), 0}});
        });
    } catch (const db::ConnectionLost&) {
        throw;
    } catch (const db::Conflict&) {
        throw; // another writer got in the way: the message's transaction is done again
    } catch (const std::exception& e) {
        // A reply that cannot be queued must not stop the module, but it must not vanish
        // unseen either.
        log::error("reply to " + destination + " could not be queued: " + e.what());
    }
}

} // namespace pelorin::outbound

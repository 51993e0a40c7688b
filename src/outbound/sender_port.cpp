#include "outbound/sender_port.h"

#include <QSqlQuery>

#include <exception>
#include <vector>

#include "db/dialect.h"
#include "db/query.h"

namespace pelorin::outbound {
namespace {

// A port with this many queued messages or more is never chosen, so no count needs to go
// beyond it: the capped count stays cheap on a queue of millions.
constexpr int kFullQueue = 999;

std::vector<int> ports(const QString& sql, const QVariantList& values) {
    std::vector<int> result;
    QSqlQuery q = db::exec(sql, values);
    while (q.next()) result.push_back(q.value(0).toInt());
    return result;
}

int queueLength(int port) {
    QSqlQuery q = db::exec(QStringLiteral("SELECT count(*) FROM (SELECT idx FROM qsms WHERE pidcom=?") +
                               db::dialect::limitClause(kFullQueue) + QStringLiteral(") AS queued"),
                           {port});
    return q.next() ? q.value(0).toInt() : 0;
}

} // namespace

int PickSenderPort(const std::string& sender) {
    const QString running = QStringLiteral("SELECT com FROM cs WHERE statsender='SENDER' AND stat='RUN'");
    // Text compares without regard to case, which is how a requested sender meets `nomor`.
    std::vector<int> competing =
        ports(running + QStringLiteral(" AND nomor=? ORDER BY com"), {db::text(sender)});
    if (competing.empty()) competing = ports(running + QStringLiteral(" ORDER BY com"), {});

    int best = kFullQueue;
    int chosen = 0;
    for (int port : competing) {
        const int length = queueLength(port);
        if (length < best) {
            best = length;
            chosen = port;
        }
    }
    return chosen;
}

void QueueOutgoingSms(const std::string& destination, const std::string& sender,
                      const std::string& message) {
    int port = 0;
    try {
        port = PickSenderPort(sender);
    } catch (const std::exception&) {
        port = 0;
    }
    try {
        db::execNamed(QStringLiteral("INSERT INTO QSMS (tgl,waktu,pengirim,tujuan,isipesan,pidcom,trycount) "
                                     "VALUES (:Tanggal,:Waktu,:pengirim,:mobile,:pesan,:pidcom,:trycount)"),
                      {{QStringLiteral("Tanggal"), db::today()},
                       {QStringLiteral("Waktu"), db::currentTimeText()},
                       {QStringLiteral("pengirim"), db::text(sender)},
                       {QStringLiteral("mobile"), db::text(destination)},
                       {QStringLiteral("pesan"), db::text(message)},
                       {QStringLiteral("pidcom"), port},
                       {QStringLiteral("trycount"), 0}});
    } catch (const std::exception&) {
        // A reply that cannot be queued is lost quietly: it must not stop the module.
    }
}

} // namespace pelorin::outbound

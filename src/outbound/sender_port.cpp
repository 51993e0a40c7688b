#include "outbound/sender_port.h"

#include <QSqlQuery>

#include <cstdio>
#include <exception>
#include <vector>

#include "db/query.h"

namespace pelorin::outbound {
namespace {

// A port with this many queued messages or more is never chosen.
constexpr int kFullQueue = 999;

struct Candidate {
    int port = 0;
    int queued = 0;
};

// Running sender ports with their queue lengths, which the database keeps per port.
std::vector<Candidate> runningSenders(const QString& condition, const QVariantList& values) {
    std::vector<Candidate> result;
    QSqlQuery q = db::exec(QStringLiteral("SELECT cs.com,coalesce(qc.queued,0) FROM cs "
                                          "LEFT JOIN qsms_count qc ON qc.pidcom=cs.com "
                                          "WHERE cs.statsender='SENDER' AND cs.stat='RUN'") +
                               condition + QStringLiteral(" ORDER BY cs.com"),
                           values);
    while (q.next()) result.push_back({q.value(0).toInt(), q.value(1).toInt()});
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
    } catch (const std::exception& e) {
        // A reply that cannot be queued must not stop the module, but it must not vanish
        // unseen either.
        std::fprintf(stderr, "reply to %s could not be queued: %s\n", destination.c_str(), e.what());
        std::fflush(stderr);
    }
}

} // namespace pelorin::outbound

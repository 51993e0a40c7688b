#include "outbound/dispatch.h"

#include <QSqlQuery>
#include <QString>

#include <exception>
#include <stdexcept>

#include "db/dialect.h"
#include "db/query.h"
#include "log/log.h"
#include "modem/error_codes.h"
#include "modem/exchange.h"
#include "modem/modem_types.h"
#include "outbound/limits.h"
#include "outbound/modem_submit.h"
#include "outbound/phone_number.h"
#include "outbound/wap_push.h"
#include "pdu/hex.h"
#include "pdu/unicode.h"

namespace pelorin::outbound {
namespace {

constexpr const char* kLimitReached = "Batas Limit Tercapai ";
constexpr const char* kTooManyFailures = "GAGAL KIRIM 20x, CEKPULSA!";
constexpr const char* kDispatchError = "ModemSENDER ERROR ";

struct QueuedMessage {
    std::string tujuan;
    std::string isipesan;
    qlonglong idx = 0;
    std::string pengirim;
    std::string wapurl;
};

int portNumber(const std::string& port) {
    bool ok = false;
    const int number = QString::fromStdString(port).toInt(&ok);
    if (!ok) throw std::runtime_error("'" + port + "' is not a valid port number");
    return number;
}

// The batch is read whole before anything is sent, so that the deletes and updates of the
// messages never run under an open cursor of the same table.
std::vector<QueuedMessage> selectBatch(int port, int n) {
    QSqlQuery q = db::exec(QStringLiteral("SELECT tujuan,isipesan,idx,pengirim,wapurl FROM qsms "
                                          "WHERE pidcom=? ORDER BY trycount,idx") +
                               db::dialect::limitClause(n),
                           {port});
    std::vector<QueuedMessage> batch;
    while (q.next()) {
        batch.push_back({db::textOf(q.value(0)), db::textOf(q.value(1)), q.value(2).toLongLong(),
                         db::textOf(q.value(3)), db::textOf(q.value(4))});
    }
    return batch;
}

SubmitResult sentIf(bool accepted) {
    return accepted ? SubmitResult::Sent : SubmitResult::Failed;
}

SubmitResult sendByCdma(const DispatchContext& context, const QueuedMessage& m) {
    std::string answer;
    // The whole message is one command: once written it runs to its answer.
    const modem::ExchangeOutcome outcome = context.exchange->ExecAtCommand(
        "AT+CMGS=" + BuildCdmaSendArgument(CleanDestination(m.tujuan), m.isipesan), 10, "OK\r\n", "ERROR", answer,
        modem::StopRule::FinishOnceWritten);
    if (outcome == modem::ExchangeOutcome::Refused) return SubmitResult::Stopped;
    return sentIf(outcome == modem::ExchangeOutcome::Completed && answer.find("OK") != std::string::npos);
}

// `url` receives the web-service request of the "MERL-SENDER" type, which counts as sent
// at once: the worker issues the request after the batch.
SubmitResult send(const DispatchContext& context, QueuedMessage& m, std::string& url) {
    if (context.modemType == modem::kNokiaCdma) return sendByCdma(context, m);
    if (context.modemType == modem::kMerlSender) {
        m.tujuan = normaliseWebDestination(m.tujuan);
        url = BuildGatewayUrl(context.account, m.tujuan, m.isipesan, QDateTime::currentDateTime());
        return SubmitResult::Sent;
    }
    if (!m.wapurl.empty()) {
        const std::string destination = CleanDestination(m.tujuan);
        if (context.SendWapPush) return context.SendWapPush(destination, m.isipesan, m.wapurl);
        return SendWapPush(*context.exchange, destination, m.isipesan, m.wapurl);
    }
    return SubmitSmsViaModem(*context.exchange, m.tujuan, m.isipesan);
}

// Why a message can never go out as it stands on a modem; empty when it can be tried. The web
// service has number rules of its own.
std::string unsendableReason(const DispatchContext& context, const QueuedMessage& m) {
    if (context.modemType == modem::kMerlSender) return {};
    if (!IsPhoneNumber(CleanDestination(m.tujuan))) return "its destination is not a phone number";
    if (context.modemType == modem::kNokiaCdma || !m.wapurl.empty()) return {};
    return UnsendableReason(m.tujuan, m.isipesan);
}

// Logged, booked and dequeued together: a crash can leave the message queued (and sent
// again), never both logged and queued, never gone without a log row. A record done again
// (`again`) is skipped when the message already left the queue: the lost connection had
// committed it, or the main application removed it.
void recordSent(const QueuedMessage& m, int port, int parts, bool again = false) {
    db::inTransaction([&] {
        if (again && db::countRows(QStringLiteral("SELECT idx FROM qsms WHERE idx=?"), {m.idx}) == 0) return;
        LogSentSms(m.pengirim, m.tujuan, m.isipesan, port);
        CheckSendLimits(port, parts, true);
        db::exec(QStringLiteral("DELETE FROM qsms WHERE idx=?"), {m.idx});
    });
}

// A message the modem took must be recorded, or the next batch sends it again. A lost
// connection or a file locked by another writer is waited for, as often as it comes back, and
// the record tried again; the wait ends the module when the database stays away.
void recordSentSurely(const DispatchContext& context, const QueuedMessage& m, int port, int parts) {
    int conflicts = 0;
    for (bool again = false;; again = true) {
        try {
            recordSent(m, port, parts, again);
            return;
        } catch (const db::ConnectionLost&) {
            if (!context.awaitDatabase || !context.awaitDatabase()) throw;
        } catch (const db::Conflict&) {
            // Chosen as a deadlock's victim: nothing was kept, so the record is done again.
            if (++conflicts == 5) throw;
        }
    }
}

void logSetAside(const QueuedMessage& m, const std::string& why) {
    log::warning("queued message " + std::to_string(m.idx) + " to " + m.tujuan + " set aside: " + why +
                 "; moved to failedsent");
}

// A message that no modem could send as it stands goes to the failed messages at once,
// instead of being tried until the module gives up.
void recordUnsendable(const QueuedMessage& m, const std::string& why) {
    db::inTransaction([&] {
        db::exec(QStringLiteral("INSERT INTO failedsent SELECT * FROM qsms WHERE idx=?"), {m.idx});
        db::exec(QStringLiteral("DELETE FROM qsms WHERE idx=?"), {m.idx});
    });
    logSetAside(m, why);
}

// Returns false when the message has failed too often and the module must stop.
bool recordFailure(const QueuedMessage& m) {
    if (db::countRows(QStringLiteral("SELECT idx FROM qsms WHERE idx=? AND trycount>20"), {m.idx}) > 0) {
        return false;
    }
    const AutoDelete removal = ReadAutoDeleteSetting();
    bool removed = false;
    db::inTransaction([&] {
        if (removal.on) {
            db::exec(QStringLiteral("INSERT INTO failedsent SELECT * FROM qsms WHERE idx=? AND trycount>=?"),
                     {m.idx, removal.threshold});
            removed = db::exec(QStringLiteral("DELETE FROM qsms WHERE idx=? AND trycount>=?"), {m.idx, removal.threshold})
                          .numRowsAffected() > 0;
        }
        db::exec(QStringLiteral("UPDATE qsms SET trycount=trycount+1 WHERE idx=?"), {m.idx});
    });
    if (removed) logSetAside(m, "it reached the automatic removal threshold of " + std::to_string(removal.threshold) + " failed attempts");
    return true;
}

} // namespace

std::string BuildCdmaSendArgument(const std::string& number, const std::string& text) {
    const std::string digits = number.rfind('0', 0) == 0 ? number.substr(1) : number;
    // The phone takes Windows-1252 bytes; a character it lacks goes as "?".
    const std::string bytes = pdu::Utf8ToCp1252Lossy(text);
    std::string out = pdu::IntToHex2(static_cast<long long>(digits.size()));
    for (unsigned char c : digits) out += pdu::IntToHex2(c);
    out += "02";
    out += pdu::IntToHex2(static_cast<long long>(bytes.size()));
    for (unsigned char c : bytes) out += pdu::IntToHex2(c);
    return out;
}

std::vector<std::string> DispatchOutbound(const DispatchContext& context, const std::string& port,
                                          int n) {
    std::vector<std::string> urls;
    try {
        const int com = portNumber(port);
        int counter = 0;
        for (QueuedMessage& m : selectBatch(com, n)) {
            // Selects n rows but handles n - 1: the batch sizes were always used this way.
            if (++counter >= n) break;
            // Set aside before the limits are asked: it books nothing and never counts as a failure.
            if (const std::string why = unsendableReason(context, m); !why.empty()) {
                recordUnsendable(m, why);
                continue;
            }
            const int parts = BookedParts(m.isipesan);
            if (!CheckSendLimits(com, parts, false)) {
                context.SetPortError(kLimitReached);
                break;
            }
            std::string url;
            const SubmitResult result = send(context, m, url);
            // A stop ends the batch; a message it kept from the modem is no failed attempt.
            if (result == SubmitResult::Stopped) break;
            if (result == SubmitResult::Unsendable) {
                recordUnsendable(m, "its text and address do not fit one SMS (WAP push)");
            } else if (result == SubmitResult::Sent) {
                recordSentSurely(context, m, com, parts);
                log::info("sent message " + std::to_string(m.idx) + " to " + m.tujuan + " (" +
                          std::to_string(parts) + (parts == 1 ? " part)" : " parts)"));
                // Only a message that left the queue may be requested: one whose recording
                // failed stays queued and goes out with a later batch.
                if (!url.empty()) urls.push_back(std::move(url));
            } else if (!recordFailure(m)) {
                // The modem's last coded refusal says why ("no network service").
                const std::string refusal = context.exchange ? context.exchange->lastModemError() : "";
                context.SetPortError(modem::PortErrorText(kTooManyFailures, refusal));
                break;
            }
        }
    } catch (const db::Conflict& e) {
        // Another writer got in the way; the queue is as it was and the next batch goes on.
        log::warning(std::string("batch ended by a database conflict: ") + e.what());
    } catch (const db::ConnectionLost& e) {
        // Not the queue's fault: the batch ends, and the next one goes on once the database
        // is back. Requests for messages already recorded are still returned.
        if (!context.awaitDatabase) context.SetPortError(std::string(kDispatchError) + e.what());
        else context.awaitDatabase();
    } catch (const std::exception& e) {
        context.SetPortError(std::string(kDispatchError) + e.what());
    }
    return urls;
}

} // namespace pelorin::outbound

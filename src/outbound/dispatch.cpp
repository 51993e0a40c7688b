#include "outbound/dispatch.h"

#include <QSqlQuery>
#include <QString>
#include <QThread>

#include <chrono>
#include <exception>
#include <optional>
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
    const std::vector<QVariantList> rows =
        db::selectRows(QStringLiteral("SELECT tujuan,isipesan,idx,pengirim,wapurl FROM qsms "
                                      "WHERE pidcom=? ORDER BY trycount,idx") +
                           db::dialect::limitClause(n),
                       {port});
    std::vector<QueuedMessage> batch;
    for (const QVariantList& r : rows) {
        batch.push_back({db::textOf(r[0]), db::textOf(r[1]), r[2].toLongLong(), db::textOf(r[3]), db::textOf(r[4])});
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

SubmitResult send(const DispatchContext& context, QueuedMessage& m) {
    if (context.modemType == modem::kNokiaCdma) return sendByCdma(context, m);
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
        db::change(QStringLiteral("DELETE FROM qsms WHERE idx=?"), {m.idx});
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

void logSent(const QueuedMessage& m, int parts) {
    log::info("sent message " + std::to_string(m.idx) + " to " + m.tujuan + " (" + std::to_string(parts) +
              (parts == 1 ? " part)" : " parts)"));
}

// A request under way to the web service, and what its message books once it was taken.
struct WebAttempt {
    QueuedMessage message;
    int parts = 0;
    std::future<WebOutcome> outcome;
};

WebOutcome awaitOutcome(std::future<WebOutcome>& outcome, std::chrono::steady_clock::time_point deadline) {
    try {
        if (outcome.wait_until(deadline) == std::future_status::ready) return outcome.get();
    } catch (const std::future_error&) {
        // The client went away with the request: nothing says the service took it.
    }
    return {false, "web request without an outcome in time"};
}

// Starts the batch's requests in queue order, 200 ms apart, before any is awaited, so that a
// slow service costs one wait per batch. Limits are checked against what the requests under
// way will book. Returns false when a limit ended the batch.
bool startWebRequests(const DispatchContext& context, int com, std::vector<QueuedMessage>& batch,
                      std::vector<WebAttempt>& attempts, std::vector<std::string>& urls) {
    if (!context.IssueWebRequest) throw std::runtime_error("no web client");
    int booked = 0;
    for (QueuedMessage& m : batch) {
        if (context.stopping && context.stopping()) break;
        const std::optional<std::string> destination = WebDestination(m.tujuan);
        if (!destination) {
            recordUnsendable(m, "its destination is not a phone number");
            continue;
        }
        const int parts = BookedParts(m.isipesan);
        if (!CheckSendLimits(com, booked + parts, false)) return false;
        m.tujuan = *destination;
        urls.push_back(BuildGatewayUrl(context.account, m.tujuan, m.isipesan, QDateTime::currentDateTime()));
        attempts.push_back({m, parts, context.IssueWebRequest(urls.back())});
        booked += parts;
        if (context.pause) context.pause(200);
        else QThread::msleep(200);
    }
    return true;
}

// "MERL-SENDER": a message is logged, booked and dequeued only once the service answered it
// with 2xx; any other outcome is a failed attempt, counted as a modem's failure is. Every
// outcome is recorded before the module is stopped for a limit or too many failures.
void dispatchWeb(const DispatchContext& context, int com, std::vector<QueuedMessage> batch, int n,
                 std::vector<std::string>& urls) {
    // Selects n rows but handles n - 1, as every batch does.
    if (n <= 0) return;
    if (batch.size() >= static_cast<std::size_t>(n)) batch.resize(static_cast<std::size_t>(n - 1));
    std::vector<WebAttempt> attempts;
    const bool withinLimits = startWebRequests(context, com, batch, attempts, urls);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(context.webWaitMs);
    bool tooMany = false;
    for (WebAttempt& attempt : attempts) {
        const WebOutcome outcome = awaitOutcome(attempt.outcome, deadline);
        if (outcome.taken) {
            recordSentSurely(context, attempt.message, com, attempt.parts);
            logSent(attempt.message, attempt.parts);
            continue;
        }
        log::warning(outcome.report + "; message " + std::to_string(attempt.message.idx) + " not sent");
        if (!recordFailure(attempt.message)) tooMany = true;
    }
    if (tooMany) context.SetPortError(kTooManyFailures);
    else if (!withinLimits) context.SetPortError(kLimitReached);
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
        if (context.modemType == modem::kMerlSender) {
            dispatchWeb(context, com, selectBatch(com, n), n, urls);
            return urls;
        }
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
            const SubmitResult result = send(context, m);
            // A stop ends the batch; a message it kept from the modem is no failed attempt.
            if (result == SubmitResult::Stopped) break;
            if (result == SubmitResult::Unsendable) {
                recordUnsendable(m, "its text and address do not fit one SMS (WAP push)");
            } else if (result == SubmitResult::Sent) {
                recordSentSurely(context, m, com, parts);
                logSent(m, parts);
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
        // is back. The requests already made are still returned.
        if (!context.awaitDatabase) context.SetPortError(std::string(kDispatchError) + e.what());
        else context.awaitDatabase();
    } catch (const std::exception& e) {
        context.SetPortError(std::string(kDispatchError) + e.what());
    }
    return urls;
}

} // namespace pelorin::outbound

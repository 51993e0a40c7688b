#include "outbound/dial_commands.h"

#include <QString>

#include <algorithm>
#include <optional>
#include <string_view>

#include "db/dialect.h"
#include "db/query.h"
#include "log/log.h"
#include "modem/exchange.h"
#include "modem/modem_types.h"
#include "outbound/ussd_answer.h"

namespace pelorin::outbound {
namespace {

// The sending time every dialled answer is stored with.
constexpr const char* kAnswerStamp = "10-10-10 15:10:10";
constexpr int kDialSeconds = 20;
constexpr int kCancelSeconds = 5;

struct DialCommand {
    std::string dial;
    qlonglong idx = 0;
};

// Takes the lowest pending command of the port: once marked, it is never taken again,
// whatever happens to the dialling.
std::optional<DialCommand> takeNext(int port) {
    const QString next = QStringLiteral("SELECT dial,idx FROM dialcommand WHERE flag=0 AND com=? ORDER BY idx") +
                         db::dialect::limitClause(1);
    // Asked every cycle and nearly always empty: a plain read first, the write lock only to
    // take a command.
    if (db::countRows(next, {port}) == 0) return std::nullopt;
    std::optional<DialCommand> command;
    db::inTransaction([&] {
        const std::vector<QVariantList> rows = db::selectRows(next, {port});
        if (rows.empty()) return;
        command = DialCommand{QString::fromStdString(db::textOf(rows.front()[0])).trimmed().toStdString(),
                              rows.front()[1].toLongLong()};
        db::exec(QStringLiteral("UPDATE dialcommand SET flag=1 WHERE idx=?"), {command->idx});
    });
    return command;
}

// What a dial string and a USSD code are made of (3GPP TS 22.030, ITU-T V.250 6.3.1): digits,
// * # +, the DTMF letters A-D and the modifiers , P T W. Anything else (a CR, a quote, a
// semicolon) could end the command and start another one of its own.
bool dialable(std::string_view dial) {
    return std::all_of(dial.begin(), dial.end(), [](char c) {
        return std::string_view("0123456789*#+ABCDabcd,PpTtWw").find(c) != std::string_view::npos;
    });
}

bool hasModem(const std::string& type) {
    return type != modem::kMerlSender && type != modem::kMerlCenter;
}

// The modem's answer to the dialled text. Taken means dialled: a stop arriving now must not
// leave it marked but never run.
std::string dialled(const DialContext& context, const std::string& dial) {
    std::string answer;
    if (context.modemType == modem::kWavecom) {
        context.exchange->ExecUssdCommand("AT+CUSD=1,\"" + dial + "\"\r", kDialSeconds, ",15", "ERROR", answer,
                                          modem::StopRule::Finish);
    } else if (dial.find_first_of("*#") != std::string::npos && context.modemType != modem::kNokiaCdma) {
        // A service code: the network's line may come after the modem's OK.
        context.exchange->ExecUssdCommand("ATD" + dial + ";\r", kDialSeconds, "OK\r\n", "ERROR", answer,
                                          modem::StopRule::Finish);
    } else {
        context.exchange->ExecAtCommand("ATD" + dial + ";\r", kDialSeconds, "OK\r\n", "ERROR", answer,
                                        modem::StopRule::Finish);
    }
    return answer;
}

// A network menu (m = 1) keeps the USSD session open, waiting for a choice nobody will make;
// while it lasts the next code may be refused. Ended here; its answer changes nothing.
void endMenuSession(const DialContext& context, const std::string& answer) {
    const std::optional<UssdLine> line = FindUssdLine(answer);
    if (!line || line->mode != 1 || context.modemType == modem::kNokiaCdma) return;
    std::string ignored;
    context.exchange->ExecAtCommand("AT+CUSD=2\r", kCancelSeconds, "OK\r\n", "ERROR", ignored,
                                    modem::StopRule::Finish);
}

} // namespace

void RunDialCommands(const DialContext& context, const std::string& port) {
    bool ok = false;
    const int com = QString::fromStdString(port).toInt(&ok);
    if (!ok) throw db::DbError("'" + port + "' is not a valid port number");
    const std::optional<DialCommand> command = takeNext(com);
    if (!command || command->dial.empty()) return;
    const std::string& dial = command->dial;
    const std::string idx = std::to_string(command->idx);

    // Taken and answered, never left pending: the row says why nothing was dialled.
    if (!hasModem(context.modemType)) {
        log::warning("dial command " + idx + " not dialled: this port has no modem");
        context.store(dial, context.moduleName, "not dialled: port " + port + " has no modem (" + context.modemType + ")", "",
                      kAnswerStamp);
        return;
    }
    if (!dialable(dial)) {
        log::warning("dial command " + idx + " not dialled: '" + dial + "' is not a dial string");
        context.store(dial, context.moduleName,
                      "not dialled: a dial text may hold only digits, * # +, A-D and the modifiers , P T W", "",
                      kAnswerStamp);
        return;
    }
    const std::string answer = dialled(context, dial);
    context.store(dial, context.moduleName, ReadableUssdAnswer(answer), "", kAnswerStamp);
    endMenuSession(context, answer);
}

} // namespace pelorin::outbound

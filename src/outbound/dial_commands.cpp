#include "outbound/dial_commands.h"

#include <QString>

#include <optional>

#include "db/dialect.h"
#include "db/query.h"
#include "modem/exchange.h"
#include "modem/modem_types.h"
#include "pdu/unicode.h"

namespace pelorin::outbound {
namespace {

// The sending time every dialled answer is stored with.
constexpr const char* kAnswerStamp = "10-10-10 15:10:10";
constexpr int kDialSeconds = 20;

struct DialCommand {
    std::string dial;
    qlonglong idx = 0;
};

// Takes the lowest pending command of the port: once marked, it is never taken again,
// whatever happens to the dialling.
std::optional<DialCommand> takeNext(int port) {
    std::optional<DialCommand> command;
    db::inTransaction([&] {
        const std::vector<QVariantList> rows = db::selectRows(
            QStringLiteral("SELECT dial,idx FROM dialcommand WHERE flag=0 AND com=? ORDER BY idx") +
                db::dialect::limitClause(1),
            {port});
        if (rows.empty()) return;
        command = DialCommand{QString::fromStdString(db::textOf(rows.front()[0])).trimmed().toStdString(),
                              rows.front()[1].toLongLong()};
        db::exec(QStringLiteral("UPDATE dialcommand SET flag=1 WHERE idx=?"), {command->idx});
    });
    return command;
}

std::string withoutCusdPrefix(const std::string& answer) {
    return QString::fromLatin1(answer.data(), static_cast<qsizetype>(answer.size()))
        .remove(QStringLiteral("+CUSD:"), Qt::CaseInsensitive)
        .toLatin1()
        .toStdString();
}

} // namespace

void RunDialCommands(const DialContext& context, const std::string& port) {
    bool ok = false;
    const int com = QString::fromStdString(port).toInt(&ok);
    if (!ok) throw db::DbError("'" + port + "' is not a valid port number");
    const std::optional<DialCommand> command = takeNext(com);
    if (!command || command->dial.empty()) return;

    const bool ussd = context.modemType == modem::kWavecom;
    const std::string text = ussd ? "AT+CUSD=1,\"" + command->dial + "\"\r" : "ATD" + command->dial + ";\r";
    std::string answer;
    // Taken means dialled: a stop arriving now must not leave it marked but never run.
    context.exchange->ExecAtCommand(text, kDialSeconds, ussd ? ",15" : "OK\r\n", "ERROR", answer,
                                    modem::StopRule::Finish);
    // The modem answers in bytes of its own; stored as text they must be UTF-8.
    context.store(command->dial, context.moduleName, pdu::Utf8OrCp1252(withoutCusdPrefix(answer)), "", kAnswerStamp);
}

} // namespace pelorin::outbound

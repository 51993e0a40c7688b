#include "app/trace.h"

#include "log/log.h"

namespace pelorin::app {

QString describeCommand(const QString& command) {
    struct Known {
        const char* prefix;
        const char* words;
    };
    // Longest prefixes first where one begins another.
    static const Known known[] = {
        {"AT+CMGS", "sending a message"},        {"AT+CMGL", "reading stored messages"},
        {"AT+CMGD", "deleting a read message"},  {"AT+CPMS", "choosing the message storage"},
        {"AT+CUSD", "running a dial command"},   {"ATD", "running a dial command"},
        {"AT+CSQ", "reading the modem's health"}, {"AT+CREG", "reading the modem's health"},
        {"AT+COPS", "reading the modem's health"}, {"ATE0", "setting the modem up"},
        {"AT+CMGF", "setting the modem up"},     {"AT+CNMI", "setting the modem up"},
        {"AT+STSF", "setting the modem up"},     {"AT+CMEC", "setting the modem up"},
        {"AT+CSMS", "setting the modem up"},
    };
    const QString upper = command.trimmed().toUpper();
    for (const Known& k : known) {
        if (upper.startsWith(QLatin1String(k.prefix))) return QLatin1String(k.words);
    }
    if (upper == QLatin1String("AT")) return QStringLiteral("checking the modem answers");
    // A PDU after the "> " prompt.
    if (upper.endsWith(QChar(0x1A))) return QStringLiteral("sending a message");
    return {};
}

QString oneLine(const QString& text) {
    return QString::fromStdString(log::escaped(text.toStdString()));
}

void ExchangeTrace::exchanged(const std::string& command, const std::string& answer) {
    const std::lock_guard lock(mutex_);
    // Every PDU is a command of its own: forget them now and then instead of growing.
    if (lastAnswer_.size() > 256) lastAnswer_.clear();
    auto [it, fresh] = lastAnswer_.try_emplace(command, answer);
    if (!fresh) {
        if (it->second == answer) return;
        it->second = answer;
    }
    log::debug("modem: " + command + " -> " + (answer.empty() ? std::string("(no answer)") : answer));
}

} // namespace pelorin::app

#include "db/port_row.h"

#include "db/query.h"

namespace pelorin::db::port_row {
namespace {

// The port number is the module's own setting. It is bound, never spliced in: a number
// binds as one, anything else as text, which matches no row.
QVariant portValue(const std::string& port) {
    bool ok = false;
    const int number = QString::fromStdString(port).toInt(&ok);
    return ok ? QVariant(number) : text(port);
}

// The number of rows written (0 or 1).
int setState(const std::string& port, const char* stat, const std::string& errinfo) {
    return exec(QStringLiteral("UPDATE cs SET errinfo=?,stat=? WHERE com=?"),
                {text(errinfo), QString::fromLatin1(stat), portValue(port)})
        .numRowsAffected();
}

} // namespace

bool markRunning(const std::string& port) {
    return setState(port, kRun, "-") > 0;
}

void markDisabled(const std::string& port) {
    setState(port, kDisable, "-");
}

void markError(const std::string& port, const std::string& errorText) {
    setState(port, kErr, errorText);
}

bool isRunning(const std::string& port) {
    return countRows(QStringLiteral("SELECT stat FROM cs WHERE com=? AND stat=?"),
                     {portValue(port), QString::fromLatin1(kRun)}) > 0;
}

std::optional<std::string> stateOf(const std::string& port) {
    QSqlQuery q = exec(QStringLiteral("SELECT stat FROM cs WHERE com=?"), {portValue(port)});
    if (!q.next()) return std::nullopt;
    return textOf(q.value(0));
}

std::string LookupOwnNumber(const std::string& port) {
    QSqlQuery q = exec(QStringLiteral("SELECT nomor FROM cs WHERE com=?"), {portValue(port)});
    return q.next() ? textOf(q.value(0)) : std::string();
}

} // namespace pelorin::db::port_row

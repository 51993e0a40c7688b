#include "inbound/remote_command.h"

#include <QSqlDriver>
#include <QSqlQuery>
#include <QSqlRecord>

#include <array>

#include "db/query.h"
#include "pdu/unicode.h"
#include "inbound/inbound_store.h"
#include "inbound/text_rules.h"
#include "outbound/sender_port.h"

namespace pelorin::inbound {
namespace {

constexpr long long kTokenLength = 8; // "<param1>", "<param2>"

struct RemoteRule {
    std::string command;
    std::string sender;
    std::array<std::string, 2> field;
    std::array<std::string, 2> criteria;
};

struct Condition {
    QString sql;
    QVariant value;
};

long long position(const std::string& text, std::string_view token) {
    const std::size_t at = text.find(token);
    return at == std::string::npos ? 0 : static_cast<long long>(at) + 1;
}

RemoteRule readRule(const QVariantList& row) {
    return {
        text::LowerAZ(db::requireText(row[0], "command")),
        db::requireText(row[1], "sender"),
        {db::requireText(row[2], "param1field"), db::requireText(row[3], "param2field")},
        {db::requireText(row[4], "param1criteria"), db::requireText(row[5], "param2criteria")}};
}

// Names come from the configuration, not from messages, but they still go into the statement
// as text: only a real column of `phonebook` passes, written as the driver quotes names.
QString checkedColumn(const QSqlRecord& phonebook, const std::string& field) {
    const QString name = db::text(text::Trim(field)).toString();
    for (int i = 0; i < phonebook.count(); ++i) {
        if (phonebook.fieldName(i).compare(name, Qt::CaseInsensitive) == 0) {
            return db::Database::connection().driver()->escapeIdentifier(phonebook.fieldName(i),
                                                                         QSqlDriver::FieldName);
        }
    }
    throw db::DbError("remotecommand: no phonebook column named \"" + field + "\"");
}

QString checkedComparison(const std::string& criteria) {
    static const std::array<const char*, 8> allowed = {"=",  "<>", "<",    ">",
                                                       "<=", ">=", "LIKE", "NOT LIKE"};
    const QString normal = db::text(criteria).toString().simplified().toUpper();
    for (const char* comparison : allowed) {
        if (normal == QLatin1String(comparison)) return normal;
    }
    throw db::DbError("remotecommand: \"" + criteria + "\" is not a comparison");
}

// Only the exact upper-case LIKE forms search for the value anywhere in the column.
Condition condition(const QSqlRecord& phonebook, const std::string& field,
                    const std::string& criteria, const std::string& value) {
    const bool contains = criteria == "LIKE" || criteria == "NOT LIKE";
    return {checkedColumn(phonebook, field) + QLatin1Char(' ') + checkedComparison(criteria) +
                QStringLiteral(" ?"),
            db::text(contains ? "%" + value + "%" : value)};
}

void broadcast(const RemoteRule& rule, const CommandMessage& message) {
    const QSqlRecord phonebook = db::Database::connection().record(QStringLiteral("phonebook"));
    const Condition first =
        condition(phonebook, rule.field[0], rule.criteria[0], text::Trim(message.value1));
    const Condition second =
        condition(phonebook, rule.field[1], rule.criteria[1], text::Trim(message.value2));
    const std::vector<QVariantList> contacts = db::selectRows(
        QStringLiteral("SELECT msisdn,nama,alamat,groupdata FROM phonebook WHERE ") + first.sql +
            QStringLiteral(" AND ") + second.sql + QStringLiteral(" ORDER BY msisdn"),
        {first.value, second.value});
    for (const QVariantList& contact : contacts) {
        const std::string msisdn = db::requireText(contact[0], "msisdn");
        const std::string nama = db::requireText(contact[1], "nama");
        const std::string alamat = db::requireText(contact[2], "alamat");
        const std::string groupdata = db::requireText(contact[3], "groupdata");
        std::string personal = text::ReplaceAll(message.part, "<nama>", nama);
        personal = text::ReplaceAll(personal, "<alamat>", alamat);
        personal = text::ReplaceAll(personal, "<groupdata>", groupdata);
        outbound::QueueOutgoingSms(msisdn, rule.sender, personal);
    }
}

} // namespace

CommandForm ParseCommandForm(std::string_view command) {
    CommandForm form;
    const std::string lower = text::LowerAZ(command);
    form.p1 = position(lower, "<param1>");
    form.p2 = position(lower, "<param2>");
    form.pm = position(lower, "<message>");
    form.keyword = text::Copy(lower, 1, (form.p1 > 0 ? form.p1 : form.pm) - 1);
    if (form.p1 > 0 && form.p2 > 0) {
        form.separatorA =
            text::Copy(lower, form.p1 + kTokenLength, form.p2 - (form.p1 + kTokenLength));
    }
    const long long last = form.p2 > 0 ? form.p2 : form.p1;
    if (last > 0)
        form.separatorB = text::Copy(lower, last + kTokenLength, form.pm - (last + kTokenLength));
    return form;
}

CommandMessage SplitCommandMessage(const CommandForm& form, const std::string& message) {
    CommandMessage result;
    if (form.p1 == 0) {
        result.part = text::Copy(message, form.pm, static_cast<long long>(message.size()));
        return result;
    }
    std::string rest =
        text::Trim(text::Copy(message, form.p1, static_cast<long long>(message.size())));
    const std::size_t b = form.separatorB.empty() ? std::string::npos : rest.find(form.separatorB);
    if (b != std::string::npos) {
        result.part = rest.substr(b + form.separatorB.size());
        rest.resize(b);
    }
    result.value1 = rest;
    const std::size_t a = form.separatorA.empty() ? std::string::npos : rest.find(form.separatorA);
    if (a != std::string::npos) {
        result.value1 = rest.substr(0, a);
        result.value2 = rest.substr(a + form.separatorA.size());
    }
    return result;
}

bool IsRemoteSender(const std::string& sender) {
    // A named sender cannot have been registered to command broadcasts.
    if (!text::IsPhoneNumber(sender)) return false;
    return CountRows(QStringLiteral("SELECT infoname FROM remotehp WHERE phonenumber=?"),
                     {db::text(sender)}) > 0;
}

void RunRemoteCommand(const std::string& /*sender*/, const std::string& received) {
    const std::string message = text::Trim(received);
    if (message.empty()) return;
    // Candidates share the first character; LIKE compares it without regard to case.
    const std::vector<QVariantList> candidates = db::selectRows(
        QStringLiteral("SELECT command,sender,param1field,param2field,"
                       "param1criteria,param2criteria FROM remotecommand WHERE command LIKE ?"),
        {db::text(std::string(pdu::FirstCharacters(message, 1)) + "%")});
    const std::string lower = text::LowerAZ(message);
    for (const QVariantList& candidate : candidates) {
        const RemoteRule rule = readRule(candidate);
        const CommandForm form = ParseCommandForm(rule.command);
        if (form.keyword.empty() || !lower.starts_with(form.keyword)) continue;
        CommandMessage split = SplitCommandMessage(form, message);
        split.part = text::Trim(split.part);
        if (!split.part.empty()) broadcast(rule, split);
        return;
    }
}

} // namespace pelorin::inbound

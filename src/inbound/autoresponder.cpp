#include "inbound/autoresponder.h"

#include <QSqlQuery>

#include <optional>

#include "db/query.h"
#include "inbound/text_rules.h"
#include "log/log.h"
#include "outbound/sender_port.h"
#include "pdu/unicode.h"

namespace pelorin::inbound {
namespace {

constexpr std::size_t kForwardLength = 20;
constexpr std::string_view kAny = "<any>";

struct SenderInfo {
    std::string group; // `groupdata` of the sender's phonebook row
    bool inPhonebook = false;
};

// Flags are on only when they hold exactly 1.
bool isOn(const QVariant& flag) {
    return flag.toInt() == 1;
}

SenderInfo lookupSender(const std::string& sender) {
    QSqlQuery q = db::exec(QStringLiteral("SELECT groupdata FROM phonebook WHERE msisdn=?"),
                           {db::text(sender)});
    if (!q.next()) return {};
    return {db::textOf(q.value(0)), true};
}

bool inPhonebook(const std::string& sender) {
    return db::countRows(QStringLiteral("SELECT nama FROM phonebook WHERE msisdn=?"),
                         {db::text(sender)}) > 0;
}

// The trimmed message is the LIKE pattern, so a rule matches its own text in any case.
// True when exact rules exist at all: they then decide alone, reply or not.
bool runExactRules(const std::string& sender, const std::string& message) {
    const std::vector<QVariantList> rules =
        db::selectRows(QStringLiteral("SELECT replysms,pengirim,onlyphonebook,groupphonebook "
                                      "FROM autorespondset WHERE formatsms LIKE ?"),
                       {db::text(text::Trim(message))});
    for (const QVariantList& rule : rules) {
        if (isOn(rule[2]) && !inPhonebook(sender)) continue;
        outbound::QueueOutgoingSms(sender, db::textOf(rule[1]), db::textOf(rule[0]));
        break;
    }
    return !rules.empty();
}

// The database matches the pattern against the row stored for this very message.
bool storedMessageMatches(const std::string& message, const std::string& stamp,
                          const std::string& pattern) {
    QSqlQuery q =
        db::exec(QStringLiteral(
                     "SELECT pesan FROM smsin WHERE tglwaktukirim=? AND pesan=? AND pesan LIKE ?"),
                 {db::text(stamp), db::text(message), db::text(pattern)});
    return q.next();
}

std::string anyRuleReply(const std::string& message, const std::string& format, std::string reply) {
    if (reply.find(kAny) == std::string::npos) return reply;
    const std::string fixed = text::ReplaceAll(format, kAny, "");
    const std::string anyText = fixed.empty() ? message : text::RemoveAllNoCase(message, fixed);
    return text::ReplaceAll(reply, kAny, anyText);
}

// Columns of `rule`: replysms, pengirim, formatsms, groupphonebook, onlyphonebook.
void answerAnyRule(const std::string& sender, const std::string& message, const SenderInfo& info,
                   const QVariantList& rule) {
    const std::string group = db::textOf(rule[3]);
    if (isOn(rule[4])) {
        if (!info.inPhonebook) return;
        if (!group.empty() && text::UpperAZ(group) != text::UpperAZ(info.group)) return;
    }
    const std::string reply = anyRuleReply(message, db::textOf(rule[2]), db::textOf(rule[0]));
    outbound::QueueOutgoingSms(sender, db::textOf(rule[1]), reply);
}

// True when a rule matched; it alone decides, even when its phonebook test stops the reply.
bool runAnyRules(const std::string& sender, const std::string& message, const std::string& stamp,
                 const SenderInfo& info) {
    const std::vector<QVariantList> rules = db::selectRows(
        QStringLiteral("SELECT replysms,pengirim,formatsms,groupphonebook,onlyphonebook "
                       "FROM autorespondset WHERE formatsms LIKE ? AND groupphonebook=?"),
        {QStringLiteral("%<any>%"), db::text(info.group)});
    for (const QVariantList& rule : rules) {
        const std::string format = text::Trim(db::requireText(rule[2], "formatsms"));
        db::requireText(rule[3], "groupphonebook");
        if (!storedMessageMatches(message, stamp, text::ReplaceAll(format, kAny, "%"))) continue;
        answerAnyRule(sender, message, info, rule);
        return true;
    }
    return false;
}

// `forwardke` of the first keyword, in ascending order, that begins the message.
std::optional<std::string> complaintTarget(const std::string& message) {
    // Rows with an empty keyword could never match; the filter only spares reading them.
    QSqlQuery rows = db::exec(QStringLiteral("SELECT forwardke,formatsms FROM komplainforward "
                                             "WHERE formatsms<>'' ORDER BY formatsms"));
    const std::string folded = text::UpperAZ(message);
    while (rows.next()) {
        const std::string keyword = text::UpperAZ(db::textOf(rows.value(1)));
        if (!keyword.empty() && folded.starts_with(keyword)) return db::textOf(rows.value(0));
    }
    return std::nullopt;
}

std::string phonebookNamePart(const std::string& sender) {
    QSqlQuery q =
        db::exec(QStringLiteral("SELECT nama FROM phonebook WHERE msisdn=?"), {db::text(sender)});
    return q.next() ? "(" + db::requireText(q.value(0), "nama") + ")" : std::string();
}

void forwardComplaint(const std::string& moduleName, const std::string& sender,
                      const std::string& message, const std::string& stamp) {
    const std::optional<std::string> forwardke = complaintTarget(message);
    if (!forwardke) return;
    const std::string forward = "from:" + sender + phonebookNamePart(sender) + ",Msg:" + message;
    if (!forwardke->empty()) outbound::QueueOutgoingSms(*forwardke, "", forward);
    StoreComplaint(sender, moduleName, message, *forwardke, stamp);
}

} // namespace

void RunAutoResponder(const std::string& moduleName, const std::string& sender,
                      const std::string& message, const std::string& stamp, int /*storageIndex*/) {
    if (!text::IsPhoneNumber(sender)) {
        // A reply, or a forward on its behalf, would wait in the queue for a number that
        // does not exist and count as a failed send each time.
        log::info("no reply nor complaint forward for " + sender +
                  ": the sender is not a phone number");
        return;
    }
    const SenderInfo info = lookupSender(sender);
    if (runExactRules(sender, message)) return;
    if (runAnyRules(sender, message, stamp, info)) return;
    forwardComplaint(moduleName, sender, message, stamp);
}

void StoreComplaint(const std::string& sender, const std::string& receiver,
                    const std::string& message, const std::string& forwardNumber,
                    const std::string& stamp) {
    db::execNamed(
        QStringLiteral(
            "INSERT INTO komplain (tanggal,waktu,pengirim,penerima,pesan,forwardke,tglwaktukirim) "
            "VALUES (:tanggal,:waktu,:pengirim,:penerima,:pesan,:forwardke,:tglwaktukirim)"),
        {{QStringLiteral("tanggal"), db::today()},
         {QStringLiteral("waktu"), db::currentTimeText()},
         {QStringLiteral("pengirim"), db::text(pdu::FirstCharacters(sender, text::kPartyLength))},
         {QStringLiteral("penerima"), db::text(pdu::FirstCharacters(receiver, text::kPartyLength))},
         {QStringLiteral("pesan"), db::text(message)},
         {QStringLiteral("forwardke"),
          db::text(pdu::FirstCharacters(forwardNumber, kForwardLength))},
         {QStringLiteral("tglwaktukirim"), db::text(stamp)}});
}

} // namespace pelorin::inbound

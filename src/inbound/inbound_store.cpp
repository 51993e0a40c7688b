#include "inbound/inbound_store.h"

#include <QDate>
#include <QSqlQuery>

#include <optional>

#include "db/dialect.h"
#include "db/query.h"
#include "pdu/unicode.h"
#include "inbound/text_rules.h"

namespace pelorin::inbound {
namespace {


// The diagnostic shows each statement as it would read with its values written in.
constexpr const char* kQuizLookup =
    "SELECT datebroadcast,harilimit,correctanswer FROM answerkuis WHERE msisdn=";

struct QuizEntry {
    QDate deadline;
    std::string correctAnswer;
};

int requireInteger(const QVariant& value, const char* column) {
    bool ok = false;
    const int number = value.toInt(&ok);
    if (value.isNull() || !ok)
        throw db::DbError(std::string("no whole number in column ") + column);
    return number;
}

QDate requireDate(const QVariant& value, const char* column) {
    const QDate day = db::dialect::readDate(value);
    if (!day.isValid()) throw db::DbError(std::string("no date in column ") + column);
    return day;
}

std::string isoText(const QDate& day) {
    return day.toString(QStringLiteral("yyyy-MM-dd")).toStdString();
}

std::string twoWayTemplate(const std::string& ownNumber) {
    std::vector<QVariantList> rows =
        db::selectRows(QStringLiteral("SELECT url FROM twoway WHERE nomor=?"), {db::text(ownNumber)});
    if (rows.empty()) rows = db::selectRows(QStringLiteral("SELECT url FROM twoway WHERE nomor=''"));
    return rows.empty() ? std::string() : db::textOf(rows.front()[0]);
}

// The first participant row of the sender decides the deadline.
std::optional<QuizEntry> quizEntry(const std::string& sender) {
    QSqlQuery q = db::exec(QString::fromLatin1(kQuizLookup) + QLatin1Char('?'), {db::text(sender)});
    if (!q.next()) return std::nullopt;
    const int days = requireInteger(q.value(1), "harilimit");
    const QDate broadcast = requireDate(q.value(0), "datebroadcast");
    return QuizEntry{broadcast.addDays(days), db::textOf(q.value(2))};
}

bool isCorrectAnswer(const std::string& correctAnswer, const std::string& answer) {
    return text::LowerAZ(text::Trim(correctAnswer)) == text::LowerAZ(text::Trim(answer));
}

std::string checkQuizAnswer(const std::string& sender, const std::string& answer) {
    std::string check = std::string("CEK KUIS:") + kQuizLookup + text::Quoted(sender);
    const std::optional<QuizEntry> entry = quizEntry(sender);
    if (!entry) return check;

    const QDate today = QDate::currentDate();
    check += "\r\n" + isoText(today) + "-" + isoText(entry->deadline);
    if (entry->deadline < today) return check;

    const bool correct = isCorrectAnswer(entry->correctAnswer, answer);
    check += "\r\n-UPDATE answerkuis SET answer=" + text::Quoted(answer) +
             ",iscorrect=" + (correct ? "1" : "0") + " WHERE msisdn=" + text::Quoted(sender);
    // Every row of the participant takes the answer: the last one in time counts.
    db::exec(QStringLiteral("UPDATE answerkuis SET answer=?,iscorrect=? WHERE msisdn=?"),
             {db::text(answer), correct ? 1 : 0, db::text(sender)});
    return check;
}

} // namespace

int CountRows(const QString& statement, const QVariantList& values) {
    return db::countRows(statement, values);
}

std::string StoreReceivedMessage(const std::string& sender, const std::string& message,
                                 const std::string& stamp, const std::string& ownNumber) {
    return StoreInboundSms(sender, ownNumber, message, twoWayTemplate(ownNumber), stamp);
}

std::string StoreInboundSms(const std::string& sender, const std::string& receiver,
                            const std::string& message, const std::string& twoWayTemplate,
                            const std::string& stamp) {
    db::execNamed(
        QStringLiteral(
            "INSERT INTO smsin (tanggal,waktu,pengirim,penerima,pesan,pass2way,tglwaktukirim) "
            "VALUES (:tanggal,:waktu,:pengirim,:penerima,:pesan,:pass2way,:tglwaktukirim)"),
        {{QStringLiteral("tanggal"), db::today()},
         {QStringLiteral("waktu"), db::currentTimeText()},
         {QStringLiteral("pengirim"), db::text(pdu::FirstCharacters(sender, text::kPartyLength))},
         {QStringLiteral("penerima"), db::text(pdu::FirstCharacters(receiver, text::kPartyLength))},
         {QStringLiteral("pesan"), db::text(message)},
         {QStringLiteral("pass2way"), db::text(twoWayTemplate)},
         {QStringLiteral("tglwaktukirim"), db::text(stamp)}});
    return checkQuizAnswer(sender, message);
}

} // namespace pelorin::inbound

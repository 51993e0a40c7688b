#include "outbound/limits.h"

#include <QDate>
#include <QSqlQuery>

#include "db/database.h"
#include "db/dialect.h"
#include "db/query.h"
#include "outbound/modem_submit.h"

namespace pelorin::outbound {

int BookedParts(const std::string& text) {
    return ModemPartCount(text);
}

bool CheckSendLimits(int port, int parts, bool commit) {
    const std::vector<QVariantList> rows = db::selectRows(
        QStringLiteral("SELECT usecountdown,countdown,useharian,limitharian,tglsekarang,hariandown FROM cs WHERE com=?"),
        {port});
    if (rows.empty()) return true;
    const QVariantList& row = rows.front();
    const bool useCountdown = row[0].toInt() != 0;
    const int countdown = row[1].toInt();
    const bool useDaily = row[2].toInt() != 0;
    const int dailyLimit = row[3].toInt();
    const QDate day = db::dialect::readDate(row[4]);
    const int dailyLeft = row[5].toInt();

    bool allowed = true;
    const QDate today = QDate::currentDate();
    if (useDaily) {
        // A new day starts again from the full daily allowance.
        const int left = (day == today ? dailyLeft : dailyLimit) - parts;
        if (left < 0) allowed = false;
        if (commit) {
            db::change(QStringLiteral("UPDATE cs SET hariandown=?,tglsekarang=? WHERE com=?"),
                       {left, db::dialect::dateValue(db::Database::backend(), today), port});
        }
    }
    if (useCountdown) {
        const int left = countdown - parts;
        if (left < 0) allowed = false;
        if (commit) db::change(QStringLiteral("UPDATE cs SET countdown=? WHERE com=?"), {left, port});
    }
    return allowed;
}

AutoDelete ReadAutoDeleteSetting() {
    QSqlQuery row = db::exec(QStringLiteral("SELECT cekautodel,smsautodel FROM setting"));
    if (!row.next()) return {};
    return AutoDelete{row.value(0).toInt() == 1, row.value(1).toInt()};
}

void LogSentSms(const std::string& sender, const std::string& destination,
                const std::string& text, int port) {
    db::change(QStringLiteral("INSERT INTO smsout (tanggal,waktu,pengirim,penerima,pesan,pidcom) VALUES (?,?,?,?,?,?)"),
               {db::today(), db::currentTimeText(), db::text(sender), db::text(destination), db::text(text), port});
}

} // namespace pelorin::outbound

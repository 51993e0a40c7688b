#pragma once
// A fresh shared database per test, with helpers to fill configuration tables and read back
// what the handlers wrote.

#include <gtest/gtest.h>

#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>

#include <string>
#include <vector>

#include "db/database.h"
#include "db/query.h"
#include "test_support.h"

namespace pelorin::test {

class InboundTest : public ::testing::Test {
protected:
    void SetUp() override { home.initDatabase(); }
    void TearDown() override { db::Database::closeThisThread(); }

    // Inserts one row; `values` are texts except ints, bound in column order.
    static void insert(const QString& table, const QStringList& columns,
                       const QVariantList& values) {
        QStringList marks;
        for (qsizetype i = 0; i < columns.size(); ++i)
            marks << QStringLiteral("?");
        db::exec(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                     .arg(table, columns.join(QLatin1Char(',')), marks.join(QLatin1Char(','))),
                 values);
    }
    static void contact(const char* msisdn, const char* nama, const char* alamat = "",
                        const char* group = "") {
        insert(QStringLiteral("phonebook"),
               {QStringLiteral("msisdn"), QStringLiteral("nama"), QStringLiteral("alamat"),
                QStringLiteral("groupdata")},
               {msisdn, nama, alamat, group});
    }
    // Rows of a statement, each as its columns' texts joined by "|".
    static std::vector<std::string> rows(const QString& sql) {
        std::vector<std::string> result;
        QSqlQuery q = db::exec(sql);
        while (q.next()) {
            std::string row;
            for (int i = 0; i < q.record().count(); ++i)
                row += (i ? "|" : "") + db::textOf(q.value(i));
            result.push_back(row);
        }
        return result;
    }
    // The queue as "tujuan|pengirim|isipesan", in insertion order.
    static std::vector<std::string> queued() {
        return rows(QStringLiteral("SELECT tujuan,pengirim,isipesan FROM qsms ORDER BY idx"));
    }

    TempHome home;
};

} // namespace pelorin::test

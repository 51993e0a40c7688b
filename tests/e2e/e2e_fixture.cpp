#include "e2e_fixture.h"

#include <algorithm>
#include <csignal>
#include <utility>

#include "db/database.h"
#include "db/query.h"

namespace pelorin::test {

long countOf(const SimLog& log, const std::string& prefix) {
    return std::count_if(log.begin(), log.end(),
                         [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
}

ModemPortTest::ModemPortTest(QStringList portFields, SimStart simStart)
    : portFields_(std::move(portFields)), simStart_(simStart) {}

void ModemPortTest::SetUp() {
    home.initDatabase();
    setPort(QStringList{QStringLiteral("stat=DISABLE")} + portFields_);
    if (simStart_ == SimStart::InSetUp) startSim();
}

void ModemPortTest::TearDown() {
    db::Database::closeThisThread();
}

void ModemPortTest::startSim(const modemsim::ModemSimOptions& options) {
    // One simulator serves the port's device at a time.
    sim.reset();
    sim = std::make_unique<modemsim::ModemSim>(home.path().toStdString(), kPort, options);
}

void ModemPortTest::setPort(const QStringList& fields, int port) const {
    home.admin(QStringList{QStringLiteral("port"), QString::number(port)} + fields);
}

void ModemPortTest::disablePort(int port) const {
    setPort({QStringLiteral("stat=DISABLE")}, port);
}

void ModemPortTest::insert(const QString& table, const QStringList& fields) const {
    home.admin(QStringList{QStringLiteral("insert"), table} + fields);
}

void ModemPortTest::queue(const QString& text, const QStringList& extra, const QString& to) const {
    home.admin(QStringList{QStringLiteral("queue"), QStringLiteral("tujuan=") + to,
                           QStringLiteral("isipesan=") + text,
                           QStringLiteral("pidcom=%1").arg(kPort)} +
               extra);
}

int ModemPortTest::rows(const QString& tableOrSql, const QVariantList& values) {
    const bool table = !tableOrSql.contains(QLatin1Char(' '));
    return db::countRows(table ? QStringLiteral("SELECT * FROM ") + tableOrSql : tableOrSql,
                         values);
}

bool ModemPortTest::rowsBecome(const QString& tableOrSql, int n, int timeoutMs) {
    return waitUntil([&] { return rows(tableOrSql) == n; }, timeoutMs);
}

QList<QStringList> ModemPortTest::textRows(const QString& sql, const QVariantList& values) {
    QList<QStringList> out;
    for (const QVariantList& row : db::selectRows(sql, values)) {
        QStringList columns;
        for (const QVariant& value : row)
            columns << value.toString();
        out << columns;
    }
    return out;
}

QStringList ModemPortTest::texts(const QString& sql, QChar separator) {
    QStringList out;
    for (const QStringList& row : textRows(sql))
        out << row.join(separator);
    return out;
}

QList<QStringList> ModemPortTest::smsin() {
    return textRows(
        QStringLiteral("SELECT pengirim,penerima,pesan,pass2way,tglwaktukirim FROM smsin"));
}

bool ModemPortTest::portRowIs(const QString& stat, const QString& errinfo, int port) {
    return waitUntil([&] { return portRow(port) == QStringList{stat, errinfo}; });
}

bool ModemPortTest::portStatIs(const QString& stat, int port) {
    return waitUntil([&] { return portRow(port).value(0) == stat; });
}

QString ModemPortTest::errorInfo(int port) {
    const QStringList row = portRow(port);
    EXPECT_EQ(row.size(), 2) << "port " << port << " has no row";
    EXPECT_EQ(row.value(0), QStringLiteral("ERR")) << "errinfo " << row.value(1).toStdString();
    return row.value(1);
}

::testing::AssertionResult ModemPortTest::stopsCleanly(ModuleRun& module, int timeoutMs) {
    module.signal(SIGTERM);
    if (!module.waitForExit(timeoutMs))
        return ::testing::AssertionFailure()
               << "still running " << timeoutMs << " ms after SIGTERM";
    if (module.crashed()) return ::testing::AssertionFailure() << "crashed after SIGTERM";
    if (module.exitCode() != 0)
        return ::testing::AssertionFailure() << "exit code " << module.exitCode();
    return ::testing::AssertionSuccess();
}

bool ModemPortTest::logHas(const std::string& prefix, long times,
                           std::chrono::milliseconds timeout) const {
    return sim->waitForLog([&](const SimLog& log) { return countOf(log, prefix) >= times; },
                           timeout);
}

} // namespace pelorin::test

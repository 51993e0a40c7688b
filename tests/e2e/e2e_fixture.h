#pragma once
// The set-up every end-to-end suite shares: a temporary home with an initialised database,
// the row of port 5 as the main application leaves it before starting a module, the modem
// simulator on that port, and the reads and waits the suites check the outcome with.
// Helpers that read the database go through this process's own connection, reading every
// row before they return.

#include <gtest/gtest.h>

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "modemsim/modemsim_client.h"
#include "test_support.h"

namespace pelorin::test {

// What the module sent the simulated modem, one command line or PDU an entry, oldest first.
using SimLog = std::vector<std::string>;

// Entries of `log` that begin with `prefix`. A command line ends in "\r", so "AT\r" counts
// only the bare ready check.
long countOf(const SimLog& log, const std::string& prefix);

class ModemPortTest : public ::testing::Test {
protected:
    static constexpr int kPort = 5;
    enum class SimStart { InSetUp, OnDemand };

    // portFields: what port 5's row holds besides stat=DISABLE ("nomor=...", "errinfo=old").
    explicit ModemPortTest(QStringList portFields = {}, SimStart simStart = SimStart::InSetUp);

    void SetUp() override;
    void TearDown() override;

    // Starts the simulator on port 5, ending the one running there first.
    void startSim(const modemsim::ModemSimOptions& options = {});

    // pelorin-admin port <port> <fields...>
    void setPort(const QStringList& fields, int port = kPort) const;
    // The row back at DISABLE, as the main application leaves it before it starts a module.
    void disablePort(int port = kPort) const;
    // pelorin-admin insert <table> <fields...>
    void insert(const QString& table, const QStringList& fields) const;
    // Queues `text` for `to` on port 5; `extra` adds qsms fields ("trycount=1", "wapurl=...").
    void queue(const QString& text, const QStringList& extra = {},
               const QString& to = QStringLiteral("08123456789")) const;

    // Rows of a table ("smsout") or of a SELECT with "?" placeholders.
    static int rows(const QString& tableOrSql, const QVariantList& values = {});
    // Waits until rows(tableOrSql) is n.
    static bool rowsBecome(const QString& tableOrSql, int n, int timeoutMs = 20000);
    // Every row of a SELECT, each column as text.
    static QList<QStringList> textRows(const QString& sql, const QVariantList& values = {});
    // Every row of a SELECT as one text, its columns joined by `separator`.
    static QStringList texts(const QString& sql, QChar separator = u'|');
    // smsin rows: pengirim, penerima, pesan, pass2way, tglwaktukirim.
    static QList<QStringList> smsin();

    // Wait until the port row reads {stat, errinfo}, or until its stat reads `stat`.
    static bool portRowIs(const QString& stat, const QString& errinfo, int port = kPort);
    static bool portStatIs(const QString& stat, int port = kPort);
    // The errinfo of a row that reads "ERR"; a row that does not fails the test.
    static QString errorInfo(int port = kPort);
    // Sends SIGTERM ("Exit Program") and waits for the module to end by itself with code 0.
    static ::testing::AssertionResult stopsCleanly(ModuleRun& module, int timeoutMs = 30000);

    SimLog sentLog() const { return sim->sentLog(); }
    // Waits until the simulator's log holds `times` entries beginning with `prefix`.
    bool logHas(const std::string& prefix, long times = 1,
                std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

    TempHome home;
    std::unique_ptr<modemsim::ModemSim> sim;

private:
    QStringList portFields_;
    SimStart simStart_;
};

} // namespace pelorin::test

// What an operator sees of running modules: why one ended, whether one lives, how its modem
// is, and a log that is quiet while nothing happens. Real module, simulated modem, real
// database.

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>

#include "db/query.h"
#include "e2e_fixture.h"
#include "samples.h"

namespace pelorin::test {
namespace {

class Operator : public ModemPortTest {
protected:
    Operator() : ModemPortTest({QStringLiteral("nomor=08120005")}) {}

    ProcessResult status(bool json = false) const {
        QStringList args{QStringLiteral("status")};
        if (json) args << QStringLiteral("--json");
        return runProgram(adminProgram(), args, home.environment());
    }
    // Waits until `status` shows `text`; `last` keeps what it showed last.
    bool statusShows(const QString& text, int timeoutMs, QString& last) const {
        return waitUntil([&] {
            last = status().out;
            return last.contains(text);
        }, timeoutMs);
    }
    std::unique_ptr<ModuleRun> startModule(const QProcessEnvironment& env = {}) {
        return std::make_unique<ModuleRun>(home, kFullModule, env);
    }
    bool cmglAtLeast(long times) { return logHas("AT+CMGL=4\r", times, std::chrono::seconds(60)); }
    static QStringList linesOf(const QString& output) { return output.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
};

TEST_F(Operator, AKilledModuleShowsAsNotRunningWithinHalfAMinute) {
    auto module = startModule();
    ASSERT_TRUE(waitUntil([] { return portRow(5).value(0) == QLatin1String("RUN"); }));
    QString last;
    ASSERT_TRUE(statusShows(QStringLiteral("port 5  RUN  queued"), 20000, last)) << last.toStdString();
    EXPECT_EQ(status().exitCode, 0);
    module->signal(SIGKILL);
    ASSERT_TRUE(module->waitForExit());
    EXPECT_EQ(portRow(5).value(0), QStringLiteral("RUN")) << "nobody wrote the row";
    ASSERT_TRUE(statusShows(QStringLiteral("port 5  RUN, not running ("), 30000, last)) << last.toStdString();
    EXPECT_NE(status().exitCode, 0);
    const ProcessResult json = status(true);
    EXPECT_NE(json.exitCode, 0);
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json.out.toUtf8(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.out.toStdString();
    const QJsonObject port = doc.object().value(QStringLiteral("ports")).toArray().at(0).toObject();
    EXPECT_EQ(port.value(QStringLiteral("port")).toInt(), 5);
    EXPECT_FALSE(port.value(QStringLiteral("running")).toBool());
    EXPECT_EQ(port.value(QStringLiteral("stat")).toString(), QStringLiteral("RUN"));
}

// The modem's radio as status and the module's log show it, read again and again; a modem
// that answers ERROR to these is no error of the port.
TEST_F(Operator, StatusShowsTheModemsHealthWithinTheInterval) {
    QProcessEnvironment env;
    env.insert(QStringLiteral("PELORIN_HEALTH_SECONDS"), QStringLiteral("1"));
    env.insert(QStringLiteral("PELORIN_HEARTBEAT_SECONDS"), QStringLiteral("1"));
    struct Radio {
        std::vector<std::string> requests;
        const char* shown;
    } const radios[] = {
        {{"signal 17 99", "registration 5", "operator TESTNET"}, "signal -79 dBm (17/31), registered, roaming, operator TESTNET"},
        {{"signal 9 99", "registration 0"}, "signal -95 dBm (9/31), not registered, no operator"},
        {{"fault error AT+CSQ", "fault error AT+CREG", "fault error AT+COPS"},
         "signal unknown, registration unknown, operator unknown"},
    };
    std::unique_ptr<ModuleRun> module;
    for (const Radio& radio : radios) {
        for (const std::string& request : radio.requests) sim->command(request);
        if (!module) module = startModule(env);
        QString last;
        EXPECT_TRUE(statusShows(QLatin1String(radio.shown), 30000, last)) << radio.shown << "\n" << last.toStdString();
    }
    EXPECT_TRUE(module->running());
    EXPECT_EQ(portRow(5), (QStringList{QStringLiteral("RUN"), QStringLiteral("-")}));
    const QString out = module->output();
    EXPECT_TRUE(out.contains(QStringLiteral("port 5: modem: signal -79 dBm"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("port 5: warning: modem lost its network: signal -95 dBm"))) << out.toStdString();
}

TEST_F(Operator, AnIdleModuleIsQuietAndVerboseShowsThePollingOnce) {
    {
        auto module = startModule();
        ASSERT_TRUE(cmglAtLeast(6));
        const QStringList lines = linesOf(module->output());
        // The start and the modem's health at start; nothing per cycle.
        ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
        EXPECT_TRUE(lines[0].startsWith(QStringLiteral("port 5: started: WAVECOM modem on "))) << lines[0].toStdString();
        EXPECT_TRUE(lines[1].startsWith(QStringLiteral("port 5: modem: signal "))) << lines[1].toStdString();
    }
    sim->clearLog();
    sim->storePdu("ME", kHaloPdu);
    QProcessEnvironment verbose;
    verbose.insert(QStringLiteral("PELORIN_VERBOSE"), QStringLiteral("1"));
    auto module = startModule(verbose);
    ASSERT_TRUE(cmglAtLeast(8));
    module->signal(SIGTERM);
    ASSERT_TRUE(module->waitForExit());
    const QString out = module->output();
    for (const QString& line : linesOf(out)) EXPECT_TRUE(line.startsWith(QStringLiteral("port 5: "))) << line.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("port 5: received a message from 08123456789"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("modem: AT\\r -> \\r\\nOK\\r\\n"))) << out.toStdString();
    // A listing with the message, the empty ones of each storage: the repetitions are not shown.
    EXPECT_LE(out.count(QStringLiteral("modem: AT+CMGL=4")), 3) << out.toStdString();
    EXPECT_EQ(out.count(QStringLiteral("modem: AT\\r ->")), 1) << out.toStdString();
    EXPECT_FALSE(out.contains(QStringLiteral("SELECT"), Qt::CaseInsensitive)) << "no statement in any line";
    EXPECT_TRUE(out.contains(QStringLiteral("port 5: ended, exit status 0")));
}

TEST_F(Operator, AModuleRunsOnADatabaseWithoutTheHeartbeatTable) {
    db::execDirect(QStringLiteral("DROP TABLE heartbeat"));
    auto module = startModule();
    ASSERT_TRUE(cmglAtLeast(3));
    EXPECT_TRUE(module->running());
    EXPECT_EQ(portRow(5), (QStringList{QStringLiteral("RUN"), QStringLiteral("-")}));
    EXPECT_EQ(module->output().count(QStringLiteral("no heartbeat table")), 1) << module->output().toStdString();
    const ProcessResult r = status();
    EXPECT_EQ(r.exitCode, 0) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("no heartbeat table"))) << r.out.toStdString();
}

} // namespace
} // namespace pelorin::test

// The modem engine end to end: the real module process, the simulated modem on a
// pseudo-terminal and the shared SQLite file in a temporary home.

#include <gtest/gtest.h>

#include <QSqlQuery>
#include <QThread>

#include <algorithm>
#include <csignal>

#include "db/database.h"
#include "db/query.h"
#include "modemsim/modemsim_client.h"
#include "samples.h"
#include "test_support.h"

using namespace pelorin;
using pelorin::modemsim::ModemSim;
using pelorin::test::ModuleRun;
using pelorin::test::portRow;
using pelorin::test::TempHome;
using pelorin::test::waitUntil;

namespace {


class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        home.initDatabase();
        home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("nomor=08120005"),
                    QStringLiteral("stat=DISABLE"), QStringLiteral("errinfo=old")});
    }
    void TearDown() override { db::Database::closeThisThread(); }

    void startSim() { sim = std::make_unique<ModemSim>(home.path().toStdString(), 5); }
    std::unique_ptr<ModuleRun> startModule(const QString& argument = test::kFullModule) {
        return std::make_unique<ModuleRun>(home, argument);
    }
    bool rowIs(const QString& stat, const QString& errinfo) {
        return waitUntil([&] { return portRow(5) == QStringList{stat, errinfo}; });
    }
    std::vector<std::string> log() { return sim->sentLog(); }
    static long countOf(const std::vector<std::string>& log, const std::string& prefix) {
        return std::count_if(log.begin(), log.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    }
    bool logHas(const std::string& prefix, long times = 1) {
        return sim->waitForLog([&](const auto& l) { return countOf(l, prefix) >= times; },
                               std::chrono::seconds(30));
    }

    TempHome home;
    std::unique_ptr<ModemSim> sim;
};

TEST_F(Engine, StartMarksRunAndStopMarksDisableAndEnds) {
    startSim();
    auto module = startModule();
    ASSERT_TRUE(rowIs(QStringLiteral("RUN"), QStringLiteral("-")));
    ASSERT_TRUE(logHas("AT+CMGL=4\r"));
    module->signal(SIGTERM);  // the module's own way out: "Exit Program"
    ASSERT_TRUE(module->waitForExit());
    EXPECT_EQ(module->exitCode(), 0);
    EXPECT_EQ(portRow(5), (QStringList{QStringLiteral("DISABLE"), QStringLiteral("-")}));
}

TEST_F(Engine, MainApplicationEndsTheModuleThroughItsRow) {
    startSim();
    auto module = startModule();
    ASSERT_TRUE(rowIs(QStringLiteral("RUN"), QStringLiteral("-")));
    home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("stat=DISABLE")});
    ASSERT_TRUE(module->waitForExit(15000)) << "supervision did not end the module";
    EXPECT_EQ(module->exitCode(), 0);
    EXPECT_FALSE(module->crashed());
}

TEST_F(Engine, MissingDeviceIsAnAccessError) {
    auto module = startModule();
    ASSERT_TRUE(module->waitForExit());
    EXPECT_EQ(module->exitCode(), 1);
    EXPECT_EQ(portRow(5), (QStringList{QStringLiteral("ERR"), QStringLiteral("Error Access com 5")}));
}

TEST_F(Engine, ModemRejectingEchoOffNeverGetsPduMode) {
    startSim();
    sim->setFault("error ATE0");
    auto module = startModule();
    ASSERT_TRUE(module->waitForExit());
    EXPECT_EQ(module->exitCode(), 1);
    EXPECT_EQ(portRow(5), (QStringList{QStringLiteral("ERR"), QStringLiteral("Modem ERROR COM5")}));
    const auto sent = log();
    EXPECT_EQ(countOf(sent, "ATE0\r"), 2);
    EXPECT_EQ(countOf(sent, "AT+CMGF=0\r"), 0);
}

TEST_F(Engine, SilentModemIsReportedAsNotResponding) {
    startSim();
    auto module = startModule();
    ASSERT_TRUE(logHas("AT+CMGL=4\r"));
    sim->setFault("silence");
    ASSERT_TRUE(module->waitForExit(60000));
    EXPECT_EQ(module->exitCode(), 1);
    EXPECT_EQ(portRow(5), (QStringList{QStringLiteral("ERR"), QStringLiteral("Modem NOT RESPOND COM5")}));
}

TEST_F(Engine, HangUpEndsInAnErrorRowNotAHang) {
    startSim();
    auto module = startModule();
    ASSERT_TRUE(logHas("AT+CMGL=4\r"));
    sim->hangup();
    ASSERT_TRUE(module->waitForExit(60000));
    EXPECT_FALSE(module->crashed());
    EXPECT_NE(module->exitCode(), 0);
    const QStringList row = portRow(5);
    ASSERT_EQ(row.size(), 2);
    EXPECT_EQ(row[0], QStringLiteral("ERR"));
    EXPECT_TRUE(row[1].startsWith(QStringLiteral("Error ATCOMMAND ")) ||
                row[1] == QStringLiteral("Modem NOT RESPOND COM5"))
        << row[1].toStdString();
}

TEST_F(Engine, ReadingAlternatesStorageAndDeletesEveryListedPart) {
    startSim();
    for (const std::string& part : test::kLongPartPdus) sim->storePdu("ME", part);
    sim->storePdu("SM", test::kServicePdu);
    auto module = startModule();
    ASSERT_TRUE(logHas("AT+CMGD=", 4));
    ASSERT_TRUE(logHas("AT+CPMS=\"SM\"\r"));
    const auto sent = log();
    std::vector<std::string> storages;
    for (const std::string& e : sent) {
        if (e.rfind("AT+CPMS=", 0) == 0) storages.push_back(e);
    }
    ASSERT_GE(storages.size(), 2u);
    EXPECT_EQ(storages[0], "AT+CPMS=\"ME\"\r");
    EXPECT_EQ(storages[1], "AT+CPMS=\"SM\"\r");
    EXPECT_TRUE(sim->messages().empty()) << "three parts and the service message are deleted";
    EXPECT_TRUE(module->running());
}

TEST_F(Engine, ReceivingDisabledNeverListsButStillChecksTheModem) {
    startSim();
    auto module = startModule(QStringLiteral("com=5#modem=WAVECOM#sender=SENDER"));
    ASSERT_TRUE(logHas("AT\r", 3));
    const auto sent = log();
    EXPECT_EQ(countOf(sent, "AT+CPMS"), 0);
    EXPECT_EQ(countOf(sent, "AT+CMGL"), 0);
}

TEST_F(Engine, DelayThatIsNoNumberLeavesARunningModuleThatDoesNothing) {
    startSim();
    auto module = startModule(QStringLiteral("com=5#modem=WAVECOM#delay=abc#sender=SENDER"));
    ASSERT_TRUE(rowIs(QStringLiteral("RUN"), QStringLiteral("-")));
    QThread::msleep(2500);
    EXPECT_TRUE(log().empty());
    EXPECT_TRUE(module->running());
    EXPECT_EQ(portRow(5), (QStringList{QStringLiteral("RUN"), QStringLiteral("-")}));
}

TEST_F(Engine, SiemensAndCdmaInitialiseTheirOwnWay) {
    startSim();
    {
        auto module = startModule(QStringLiteral("com=5#modem=SIEMENS#center=CENTER"));
        ASSERT_TRUE(logHas("AT+CMGL=4\r"));
        const auto sent = log();
        EXPECT_EQ(countOf(sent, "AT+CNMI = 1,1,0,2\r"), 1);
        EXPECT_EQ(countOf(sent, "AT+CSMS=0\r"), 1);
        EXPECT_EQ(countOf(sent, "AT+STSF"), 0);
    }
    sim.reset();
    modemsim::ModemSimOptions cdma;
    cdma.cdma = true;
    sim = std::make_unique<ModemSim>(home.path().toStdString(), 5, cdma);
    sim->storeCdma(0, "08123456789", "260812105340", "Test");
    auto module = startModule(QStringLiteral("com=5#modem=NOKCDMA_6235#center=CENTER"));
    ASSERT_TRUE(logHas("AT+CMGL=1;\r"));
    ASSERT_TRUE(logHas("AT+CMGD="));
    const auto sent = log();
    EXPECT_EQ(countOf(sent, "AT+CMGF"), 0);
    EXPECT_EQ(countOf(sent, "AT+CPMS"), 0);
}

} // namespace

// The modem engine end to end: the real module process, the simulated modem on a
// pseudo-terminal and the shared SQLite file in a temporary home.

#include <gtest/gtest.h>

#include <QThread>

#include "e2e_fixture.h"
#include "samples.h"

namespace pelorin::test {
namespace {

// The simulator starts on demand: without one the port has no device.
class Engine : public ModemPortTest {
protected:
    Engine() : ModemPortTest({QStringLiteral("nomor=08120005"), QStringLiteral("errinfo=old")}, SimStart::OnDemand) {}

    std::unique_ptr<ModuleRun> startModule(const QString& argument = kFullModule) {
        return std::make_unique<ModuleRun>(home, argument);
    }
};

TEST_F(Engine, StartMarksRunAndStopMarksDisableAndEnds) {
    startSim();
    auto module = startModule();
    ASSERT_TRUE(portRowIs(QStringLiteral("RUN"), QStringLiteral("-")));
    ASSERT_TRUE(logHas("AT+CMGL=4\r"));
    ASSERT_TRUE(stopsCleanly(*module));  // the module's own way out: "Exit Program"
    EXPECT_EQ(portRow(5), (QStringList{QStringLiteral("DISABLE"), QStringLiteral("-")}));
}

TEST_F(Engine, MainApplicationEndsTheModuleThroughItsRow) {
    startSim();
    auto module = startModule();
    ASSERT_TRUE(portRowIs(QStringLiteral("RUN"), QStringLiteral("-")));
    disablePort();
    ASSERT_TRUE(module->waitForExit(15000)) << "supervision did not end the module";
    EXPECT_EQ(module->exitCode(), 0);
    EXPECT_FALSE(module->crashed());
}

TEST_F(Engine, MissingDeviceIsAnAccessError) {
    auto module = startModule();
    ASSERT_TRUE(module->waitForExit());
    EXPECT_EQ(module->exitCode(), 1);
    EXPECT_EQ(portRow(5), (QStringList{QStringLiteral("ERR"), QStringLiteral("Error Access com 5")}));
    // The operator's line: the port, the device and what the system said about it.
    EXPECT_TRUE(module->output().contains(QStringLiteral("port 5: error: ending: Error Access com 5 (") + home.path() +
                                          QStringLiteral("/COM5: No such file or directory)")))
        << module->output().toStdString();
}

TEST_F(Engine, ModemRejectingEchoOffNeverGetsPduMode) {
    startSim();
    sim->setFault("error ATE0");
    auto module = startModule();
    ASSERT_TRUE(module->waitForExit());
    EXPECT_EQ(module->exitCode(), 1);
    EXPECT_EQ(portRow(5), (QStringList{QStringLiteral("ERR"), QStringLiteral("Modem ERROR COM5")}));
    const auto sent = sentLog();
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
    EXPECT_TRUE(module->output().contains(QStringLiteral("port 5: error: ending: Modem NOT RESPOND COM5")))
        << module->output().toStdString();
}

TEST_F(Engine, HangUpEndsInAnErrorRowNotAHang) {
    startSim();
    auto module = startModule();
    ASSERT_TRUE(logHas("AT+CMGL=4\r"));
    sim->hangup();
    ASSERT_TRUE(module->waitForExit(60000));
    EXPECT_FALSE(module->crashed());
    EXPECT_NE(module->exitCode(), 0);
    const QString error = errorInfo();
    EXPECT_TRUE(error.startsWith(QStringLiteral("Error ATCOMMAND ")) ||
                error == QStringLiteral("Modem NOT RESPOND COM5"))
        << error.toStdString();
}

TEST_F(Engine, ReadingAlternatesStorageAndDeletesEveryListedPart) {
    startSim();
    for (const std::string& part : kLongPartPdus) sim->storePdu("ME", part);
    sim->storePdu("SM", kServicePdu);
    auto module = startModule();
    ASSERT_TRUE(logHas("AT+CMGD=", 4));
    ASSERT_TRUE(logHas("AT+CPMS=\"SM\"\r"));
    const auto sent = sentLog();
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
    const auto sent = sentLog();
    EXPECT_EQ(countOf(sent, "AT+CPMS"), 0);
    EXPECT_EQ(countOf(sent, "AT+CMGL"), 0);
}

TEST_F(Engine, DelayThatIsNoNumberIsAnErrorBeforeAnyModemTraffic) {
    startSim();
    for (const char* delay : {"abc", "2.5", ""}) {
        SCOPED_TRACE(delay);
        auto module = startModule(QStringLiteral("com=5#modem=WAVECOM#sender=SENDER#delay=") + QLatin1String(delay));
        ASSERT_TRUE(module->waitForExit());
        EXPECT_EQ(module->exitCode(), 1);
        EXPECT_EQ(errorInfo(), QStringLiteral("delay \"%1\" is not a whole number of seconds").arg(delay));
        EXPECT_EQ(countOf(sentLog(), "AT"), 0);
    }
}

TEST_F(Engine, SiemensAndCdmaInitialiseTheirOwnWay) {
    startSim();
    {
        auto module = startModule(QStringLiteral("com=5#modem=SIEMENS#center=CENTER"));
        ASSERT_TRUE(logHas("AT+CMGL=4\r"));
        const auto sent = sentLog();
        EXPECT_EQ(countOf(sent, "AT+CNMI = 1,1,0,2\r"), 1);
        EXPECT_EQ(countOf(sent, "AT+CSMS=0\r"), 1);
        EXPECT_EQ(countOf(sent, "AT+STSF"), 0);
    }
    modemsim::ModemSimOptions cdma;
    cdma.cdma = true;
    startSim(cdma);
    sim->storeCdma(0, "08123456789", "260812105340", "Test");
    auto module = startModule(QStringLiteral("com=5#modem=NOKCDMA_6235#center=CENTER"));
    ASSERT_TRUE(logHas("AT+CMGL=1;\r"));
    ASSERT_TRUE(logHas("AT+CMGD="));
    const auto sent = sentLog();
    EXPECT_EQ(countOf(sent, "AT+CMGF"), 0);
    EXPECT_EQ(countOf(sent, "AT+CPMS"), 0);
}

} // namespace
} // namespace pelorin::test

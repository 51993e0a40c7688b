// How a module ends when several ways out meet: an error report always wins the exit status.

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <functional>
#include <thread>

#include "app/module.h"
#include "db/database.h"
#include "test_support.h"

using pelorin::app::Module;
using pelorin::test::TempHome;

namespace {

class ModuleShutdown : public ::testing::Test {
protected:
    void SetUp() override {
        home.initDatabase();
        home.admin({QStringLiteral("port"), QStringLiteral("6"), QStringLiteral("stat=DISABLE")});
        qputenv("PELORIN_HOME", home.path().toLocal8Bit());
    }
    void TearDown() override {
        qunsetenv("PELORIN_HOME");
        pelorin::db::Database::closeThisThread();
    }
    TempHome home;
};

TEST_F(ModuleShutdown, AStopArrivingWhileAnErrorIsReportedStillEndsWithFailure) {
    const std::vector<std::pair<const char*, std::function<void(Module&)>>> stops = {
        {"termination signal", [](Module& m) { m.terminate(); }},
        {"Exit Program", [](Module& m) { m.exitProgram(); }},
        {"STOP", [](Module& m) { m.stopModule(); }},
    };
    for (const auto& [name, stop] : stops) {
        SCOPED_TRACE(name);
        Module module;
        int status = -1;
        QObject::connect(&module, &Module::finished, [&status](int s) { status = s; });
        ASSERT_TRUE(module.formCreate("com=6#modem=MERL-SENDER#sender=SENDER"));
        ASSERT_TRUE(module.workerStarted());
        // The report comes from the worker's side; the stop is handled before its queued end.
        std::thread reporter([&module] { module.SetPortError("Modem NOT RESPOND COM6"); });
        reporter.join();
        stop(module);
        QCoreApplication::processEvents();
        EXPECT_EQ(status, 1);
        EXPECT_EQ(pelorin::test::portRow(6).value(0), QStringLiteral("ERR"));
        home.admin({QStringLiteral("port"), QStringLiteral("6"), QStringLiteral("stat=DISABLE")});
    }
}

} // namespace

// Long messages whose parts reach the modem in different reading passes: held in the modem
// until complete (or until they have waited long enough), then stored and answered once.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSqlQuery>

#include <csignal>

#include "db/database.h"
#include "db/query.h"
#include "modemsim/modemsim_client.h"
#include "samples.h"
#include "test_support.h"

using namespace pelorin;
using pelorin::modemsim::ModemSim;
using pelorin::test::ModuleRun;
using pelorin::test::TempHome;
using pelorin::test::waitUntil;

namespace {

using Log = std::vector<std::string>;

// The same parts from another sender, 08123456780.
std::string fromOtherSender(std::string pdu) {
    const std::size_t at = pdu.find("8021436587F9");
    return pdu.replace(at, 12, "8021436587F0");
}

QStringList storedTexts() {
    QStringList texts;
    QSqlQuery q = db::exec(QStringLiteral("SELECT pengirim,pesan FROM smsin ORDER BY pengirim,pesan"));
    while (q.next()) texts << q.value(0).toString() + QLatin1Char(':') + q.value(1).toString();
    return texts;
}

class LongMessages : public ::testing::Test {
protected:
    void SetUp() override {
        home.initDatabase();
        home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("stat=DISABLE"),
                    QStringLiteral("statsender=SENDER")});
        home.admin({QStringLiteral("insert"), QStringLiteral("autorespondset"),
                    QStringLiteral("formatsms=part1.part2.part3."), QStringLiteral("replysms=diterima"),
                    QStringLiteral("onlyphonebook=0")});
        sim = std::make_unique<ModemSim>(home.path().toStdString(), 5);
    }
    void TearDown() override { db::Database::closeThisThread(); }

    int meListings() {
        int n = 0;
        for (const std::string& entry : sim->sentLog()) n += entry == "AT+CPMS=\"ME\"\r";
        return n;
    }
    // Stores the PDUs, then waits until the module has listed them in a complete pass.
    void deliverAndWaitForAPass(const std::vector<std::string>& pdus) {
        const int before = meListings();
        for (const std::string& pdu : pdus) sim->storePdu("ME", pdu);
        ASSERT_TRUE(waitUntil([&] { return meListings() >= before + 2; }, 30000));
    }
    static int rows(const char* sql) { return db::countRows(QString::fromLatin1(sql)); }

    TempHome home;
    std::unique_ptr<ModemSim> sim;
};

TEST_F(LongMessages, PartsArrivingInThreePassesAreStoredAndAnsweredOnce) {
    ModuleRun module(home, test::kFullModule);
    for (const int part : {2, 0}) {
        deliverAndWaitForAPass({test::kLongPartPdus[part]});
        EXPECT_EQ(rows("SELECT * FROM smsin"), 0) << "an incomplete message waits";
    }
    EXPECT_EQ(sim->messages().size(), 2u);
    deliverAndWaitForAPass({test::kLongPartPdus[1]});
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }));
    EXPECT_EQ(storedTexts(), QStringList{"08123456789:part1.part2.part3."});
    ASSERT_TRUE(waitUntil([&] { return rows("SELECT * FROM smsout WHERE pesan='diterima'") == 1; }));
    EXPECT_EQ(rows("SELECT * FROM qsms"), 0);
}

TEST_F(LongMessages, ALonePartIsStoredAloneAfterItsWait) {
    QProcessEnvironment env;
    env.insert(QStringLiteral("PELORIN_PART_WAIT"), QStringLiteral("20"));
    ModuleRun module(home, test::kFullModule, env);
    ASSERT_TRUE(waitUntil([&] { return meListings() > 0; }));
    QElapsedTimer clock;
    clock.start();
    sim->storePdu("ME", test::kLongPartPdus[1]);
    ASSERT_TRUE(waitUntil([&] { return rows("SELECT * FROM smsin") == 1; }, 45000));
    EXPECT_GE(clock.elapsed(), 15000);
    EXPECT_EQ(storedTexts(), QStringList{"08123456789:part2."});
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }));
}

TEST_F(LongMessages, AHeldPartSurvivesARestart) {
    {
        ModuleRun first(home, test::kFullModule);
        deliverAndWaitForAPass({test::kLongPartPdus[0]});
        first.signal(SIGTERM);
        ASSERT_TRUE(first.waitForExit());
        EXPECT_EQ(first.exitCode(), 0);
    }
    EXPECT_EQ(rows("SELECT * FROM smsin"), 0);
    EXPECT_EQ(sim->messages().size(), 1u);
    home.admin({QStringLiteral("port"), QStringLiteral("5"), QStringLiteral("stat=DISABLE")});
    ModuleRun second(home, test::kFullModule);
    deliverAndWaitForAPass({test::kLongPartPdus[1], test::kLongPartPdus[2]});
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }));
    EXPECT_EQ(storedTexts(), QStringList{"08123456789:part1.part2.part3."});
}

TEST_F(LongMessages, OneReferenceFromTwoSendersIsTwoMessages) {
    const std::string* parts = test::kLongPartPdus;
    ModuleRun module(home, test::kFullModule);
    // In one listing, interleaved.
    deliverAndWaitForAPass({fromOtherSender(parts[2]), parts[0], parts[1], fromOtherSender(parts[0]),
                            parts[2], fromOtherSender(parts[1])});
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }));
    const QStringList both{"08123456780:part1.part2.part3.", "08123456789:part1.part2.part3."};
    EXPECT_EQ(storedTexts(), both);

    // Across passes.
    db::exec(QStringLiteral("DELETE FROM smsin"));
    deliverAndWaitForAPass({parts[0], fromOtherSender(parts[1])});
    deliverAndWaitForAPass({fromOtherSender(parts[0]), parts[1]});
    EXPECT_EQ(rows("SELECT * FROM smsin"), 0);
    deliverAndWaitForAPass({parts[2], fromOtherSender(parts[2])});
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }));
    EXPECT_EQ(storedTexts(), both);
}

} // namespace

// Long messages whose parts reach the modem in different reading passes: held in the modem
// until complete (or until they have waited long enough), then stored and answered once.

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "db/query.h"
#include "e2e_fixture.h"
#include "samples.h"

namespace pelorin::test {
namespace {

// The same parts from another sender, 08123456780.
std::string fromOtherSender(std::string pdu) {
    const std::size_t at = pdu.find("8021436587F9");
    return pdu.replace(at, 12, "8021436587F0");
}

class LongMessages : public ModemPortTest {
protected:
    LongMessages() : ModemPortTest({QStringLiteral("statsender=SENDER")}) {}
    void SetUp() override {
        ModemPortTest::SetUp();
        insert(QStringLiteral("autorespondset"),
               {QStringLiteral("formatsms=part1.part2.part3."), QStringLiteral("replysms=diterima"),
                QStringLiteral("onlyphonebook=0")});
    }

    static QStringList storedTexts() {
        return texts(QStringLiteral("SELECT pengirim,pesan FROM smsin ORDER BY pengirim,pesan"), u':');
    }
    long meListings() { return countOf(sentLog(), "AT+CPMS=\"ME\"\r"); }
    // Stores the PDUs, then waits until the module has listed them in a complete pass.
    void deliverAndWaitForAPass(const std::vector<std::string>& pdus) {
        const long before = meListings();
        for (const std::string& pdu : pdus) sim->storePdu("ME", pdu);
        ASSERT_TRUE(waitUntil([&] { return meListings() >= before + 2; }, 30000));
    }
};

TEST_F(LongMessages, PartsArrivingInThreePassesAreStoredAndAnsweredOnce) {
    ModuleRun module(home, kFullModule);
    for (const int part : {2, 0}) {
        deliverAndWaitForAPass({kLongPartPdus[part]});
        EXPECT_EQ(rows("smsin"), 0) << "an incomplete message waits";
    }
    EXPECT_EQ(sim->messages().size(), 2u);
    deliverAndWaitForAPass({kLongPartPdus[1]});
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }));
    EXPECT_EQ(storedTexts(), QStringList{"08123456789:part1.part2.part3."});
    ASSERT_TRUE(rowsBecome("SELECT * FROM smsout WHERE pesan='diterima'", 1));
    EXPECT_EQ(rows("qsms"), 0);
}

TEST_F(LongMessages, ALonePartIsStoredAloneAfterItsWait) {
    QProcessEnvironment env;
    env.insert(QStringLiteral("PELORIN_PART_WAIT"), QStringLiteral("20"));
    ModuleRun module(home, kFullModule, env);
    ASSERT_TRUE(waitUntil([&] { return meListings() > 0; }));
    QElapsedTimer clock;
    clock.start();
    sim->storePdu("ME", kLongPartPdus[1]);
    ASSERT_TRUE(rowsBecome("smsin", 1, 45000));
    EXPECT_GE(clock.elapsed(), 15000);
    EXPECT_EQ(storedTexts(), QStringList{"08123456789:part2."});
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }));
}

TEST_F(LongMessages, AHeldPartSurvivesARestart) {
    {
        ModuleRun first(home, kFullModule);
        deliverAndWaitForAPass({kLongPartPdus[0]});
        ASSERT_TRUE(stopsCleanly(first));
    }
    EXPECT_EQ(rows("smsin"), 0);
    EXPECT_EQ(sim->messages().size(), 1u);
    disablePort();
    ModuleRun second(home, kFullModule);
    deliverAndWaitForAPass({kLongPartPdus[1], kLongPartPdus[2]});
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }));
    EXPECT_EQ(storedTexts(), QStringList{"08123456789:part1.part2.part3."});
}

TEST_F(LongMessages, OneReferenceFromTwoSendersIsTwoMessages) {
    const std::string* parts = kLongPartPdus;
    ModuleRun module(home, kFullModule);
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
    EXPECT_EQ(rows("smsin"), 0);
    deliverAndWaitForAPass({parts[2], fromOtherSender(parts[2])});
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }));
    EXPECT_EQ(storedTexts(), both);
}

} // namespace
} // namespace pelorin::test

// Long messages whose parts reach the modem in different reading passes: held in the modem
// until complete (or until they have waited long enough), then stored and answered once.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>

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

TEST_F(LongMessages, RepeatedPartsAndReusedReferencesNeverMakeAWrongOrStrayRow) {
    const std::string* parts = kLongPartPdus;
    // Two-part messages with the same sender and reference: an older one's part 2, stamped
    // 10:53:40, then a newer whole message stamped 10:55:40.
    const std::string olderPart2 =
        "07912618485400F9440B818021436587F90000628021013504820D0500032A0202D8E17658E602"; // "lama2."
    const std::string newer[2] = {
        "07912618485400F9440B818021436587F90000628021015504820D0500032A0201C461793DE602",  // "baru1."
        "07912618485400F9440B818021436587F90000628021015504820D0500032A0202C461795DE602"}; // "baru2."
    struct Case {
        const char* name;
        std::vector<std::vector<std::string>> passes;
        QStringList stored;
        int replies;
    };
    const QStringList whole{"08123456789:part1.part2.part3."};
    const Case cases[] = {
        {"parts 1, 2, 2, 3 in one listing", {{parts[0], parts[1], parts[1], parts[2]}}, whole, 1},
        {"part 2 again after the message was handled", {{parts[0], parts[1], parts[2]}, {parts[1]}}, whole, 1},
        {"part 2 twice while its message waits", {{parts[1], parts[1]}, {parts[0], parts[2]}}, whole, 1},
        {"a held part 2, then a newer message's parts 1 and 2",
         {{olderPart2}, {newer[0], newer[1]}},
         {"08123456789:baru1.baru2.", "08123456789:lama2."}, 0},
    };
    QProcessEnvironment env;
    env.insert(QStringLiteral("PELORIN_PART_WAIT"), QStringLiteral("12"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        db::exec(QStringLiteral("DELETE FROM smsin"));
        db::exec(QStringLiteral("DELETE FROM smsout"));
        disablePort();
        ModuleRun module(home, kFullModule, env);
        for (const auto& pass : c.passes) deliverAndWaitForAPass(pass);
        // A stray part would be stored once its wait is over, and only then leave the modem.
        ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }, 40000));
        const QString replies = QStringLiteral("SELECT * FROM smsout WHERE pesan='diterima'");
        EXPECT_TRUE(waitUntil([&] { return rows(replies) >= c.replies; }));
        QThread::msleep(3000);
        EXPECT_EQ(storedTexts(), c.stored) << module.output().toStdString();
        EXPECT_EQ(rows(replies), c.replies);
    }
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

    // Across passes, the same texts sent an hour later (stamped as the first ones, they would be
    // the network repeating parts already handled).
    db::exec(QStringLiteral("DELETE FROM smsin"));
    std::vector<std::string> later(parts, parts + 3);
    for (std::string& pdu : later) pdu.replace(pdu.find("628021013504"), 12, "628021115004");
    deliverAndWaitForAPass({later[0], fromOtherSender(later[1])});
    deliverAndWaitForAPass({fromOtherSender(later[0]), later[1]});
    EXPECT_EQ(rows("smsin"), 0);
    deliverAndWaitForAPass({later[2], fromOtherSender(later[2])});
    ASSERT_TRUE(waitUntil([&] { return sim->messages().empty(); }));
    EXPECT_EQ(storedTexts(), both);
}

} // namespace
} // namespace pelorin::test

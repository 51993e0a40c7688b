// What real networks put in a modem's storage besides plain SMS-DELIVERs: named senders,
// short codes, class 0 and message-waiting codings, 8-bit data, status reports and the SIM
// owner's own stored messages, all in one listing. The PDUs are written by hand from
// 3GPP TS 23.040 / 23.038, not by the codec under test.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "e2e_fixture.h"
#include "samples.h"

namespace pelorin::test {
namespace {

struct Stored {
    const char* name;
    int stat;
    std::string pdu;
    // The smsin row it gives ({sender, text}); empty for an entry that is no received message.
    QStringList row;
};

// clang-format off
const Stored kListing[] = {
    {"named sender, 7-bit", 0,
     "07912618485400F90410D0D42273F96C4E8B4C0000628021013504820ED3309BFC0649E1A09A0B068301",
     {"TELKOMSEL", "Saldo Rp 5.000"}},
    {"UCS2 of class 0 (coding 18)", 0,
     "07912618485400F9040B818021436587F90018628021013504821C004B006F006400650020004F0054005000"
     "3A00200034003800320031", {"08123456789", "Kode OTP: 4821"}},
    {"short code, 7-bit class 1 (coding F1)", 1,
     "07912618485400F9040481494900F1628021013504820BD0F0BA4C0785D7F4B419", {"9494", "Paket aktif"}},
    {"international sender, message waiting (coding D1)", 0,
     "07912618485400F9040D91261892785634F200D162802101350482114172182403C1CBF3B01B34AF87E561",
     {"081298765432", "Ada 2 pesan suara"}},
    {"euro sign and Greek capitals", 0,
     "07912618485400F9040C818065214365870000628021013504820E9B720D04914C2815CB0593D100",
     {"085612345678", QString::fromUtf8("\u20AC5 \u0394\u03A6\u0393\u039B\u03A9\u03A0\u03A8\u03A3\u0398\u039E")}},
    {"WAP push, 8-bit data to port 2948", 0,
     "07912618485400F9440A818011223344000462802101350482110605040B8423F0000603AE81EA02056A00",
     {"0811223344", "[binary message, 10 octets, port 2948]"}},
    {"status report", 0, "07912618485400F9062A0B818021436587F9628021013504826280210145048200", {}},
    {"stored unsent SMS-SUBMIT", 2, "0011000B818021999999F90000AA07C3303D4C0FBB01", {}},
    {"stored sent SMS-SUBMIT", 3, "0031000B818021999999F90000AA08D4B27C9D96A7DB", {}},
};
// clang-format on

class NetworkPdus : public ModemPortTest {
protected:
    NetworkPdus()
        : ModemPortTest(
              {QStringLiteral("nomor=081200000005"), QStringLiteral("statsender=SENDER")}) {}
    void SetUp() override {
        ModemPortTest::SetUp();
        // Every received message that may be answered is answered.
        insert(QStringLiteral("autorespondset"),
               {QStringLiteral("formatsms=<any>"), QStringLiteral("replysms=Terima kasih"),
                QStringLiteral("onlyphonebook=0")});
    }
};

TEST_F(NetworkPdus, OnlyReceivedMessagesAreStoredAndOnlyNumbersAnswered) {
    std::map<int, std::string> keep; // storage index -> PDU of the entries that must stay
    int report = 0;
    QList<QStringList> expectedRows;
    std::set<QString> answered;
    for (const Stored& entry : kListing) {
        const int index = sim->storePdu("SM", entry.pdu, entry.stat);
        if (entry.stat >= 2) keep[index] = entry.pdu;
        if (entry.row.isEmpty() && entry.stat < 2) report = index;
        if (entry.row.isEmpty()) continue;
        expectedRows << entry.row;
        if (entry.row[0].front().isDigit() && !entry.row[1].startsWith(QLatin1Char('[')))
            answered.insert(entry.row[0]);
    }
    ModuleRun module(home, kFullModule);
    // Everything but the SIM owner's stored messages leaves the modem.
    ASSERT_TRUE(waitUntil([&] { return sim->messages().size() == keep.size(); }, 60000))
        << module.output().toStdString();
    for (const auto& message : sim->messages()) {
        ASSERT_TRUE(keep.count(message.index)) << message.index;
        EXPECT_EQ(message.body, keep[message.index]);
    }
    ASSERT_TRUE(rowsBecome(QStringLiteral("smsout"), static_cast<int>(answered.size()), 60000));

    QList<QStringList> stored = textRows(QStringLiteral("SELECT pengirim,pesan FROM smsin"));
    std::sort(stored.begin(), stored.end());
    std::sort(expectedRows.begin(), expectedRows.end());
    EXPECT_EQ(stored, expectedRows);

    std::set<QString> replied;
    for (const QString& to : texts(QStringLiteral("SELECT penerima FROM smsout")))
        replied.insert(to);
    EXPECT_EQ(replied, answered);
    EXPECT_EQ(rows(QStringLiteral("qsms")), 0);

    const QString log = module.output();
    EXPECT_TRUE(log.contains(
        QStringLiteral("status report (storage %1): message 42 to 08123456789 delivered")
            .arg(report)))
        << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("TELKOMSEL: the sender is not a phone number")))
        << log.toStdString();
}

} // namespace
} // namespace pelorin::test

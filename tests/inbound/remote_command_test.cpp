// Remote commands: the command form, the split of a message, and the phonebook broadcast.

#include "inbound/remote_command.h"

#include "inbound_fixture.h"

using namespace pelorin;
using test::InboundTest;

namespace {

using Rows = std::vector<std::string>;
const char* const kForm = "AB<param1>.<param2>:<message>";

TEST(CommandForm, PositionsKeywordAndSeparators) {
    struct Case {
        const char* command;
        long long p1, p2, pm;
        const char *keyword, *a, *b;
    };
    const Case cases[] = {
        {kForm, 3, 12, 21, "ab", ".", ":"},
        {"info <message>", 0, 0, 6, "info ", "", ""},
        {"kirim <param1> isi <message>", 7, 0, 20, "kirim ", "", " isi "},
        {"Kw<Param1>KE<param2>ISI<message>", 3, 13, 24, "kw", "ke", "isi"},
        {"<message>", 0, 0, 1, "", "", ""},
        {"tanpa pesan", 0, 0, 0, "", "", ""},
    };
    for (const Case& c : cases) {
        const inbound::CommandForm f = inbound::ParseCommandForm(c.command);
        EXPECT_EQ((std::vector<long long>{f.p1, f.p2, f.pm}),
                  (std::vector<long long>{c.p1, c.p2, c.pm}))
            << c.command;
        EXPECT_EQ((Rows{f.keyword, f.separatorA, f.separatorB}), (Rows{c.keyword, c.a, c.b}))
            << c.command;
    }
}

TEST(CommandForm, SplitsMessagesAlongTheForm) {
    struct Case {
        const char* command;
        const char* message;
        Rows expected;
    };
    const Case cases[] = {
        {kForm, "AB warga.bogor:Halo semua", {"warga", "bogor", "Halo semua"}},
        {kForm, "ab .:Halo", {"", "", "Halo"}},
        {kForm, "ab warga.bogor:", {"warga", "bogor", ""}},
        {kForm, "ab warga.bogor", {"warga", "bogor", ""}},
        {"info <message>", "INFO  hari ini", {"", "", " hari ini"}},
        {"kw<param1>ke<param2>isi<message>", "KW a KE b ISI teks", {"a KE b ISI teks", "", ""}},
        {"kw<param1>ke<param2>isi<message>", "KW a ke b isi teks", {"a ", " b ", " teks"}},
    };
    for (const Case& c : cases) {
        const inbound::CommandMessage m =
            inbound::SplitCommandMessage(inbound::ParseCommandForm(c.command), c.message);
        EXPECT_EQ((Rows{m.value1, m.value2, m.part}), c.expected) << c.message;
    }
}

class RemoteCommand : public InboundTest {
protected:
    void SetUp() override {
        InboundTest::SetUp();
        contact("0815", "Budi", "Kota Bogor", "warga rt1");
        contact("0813", "Ani", "bogor", "WARGA");
        contact("0814", "Siti", "Jakarta", "warga");
        contact("0816", "Dodi", "Bogor", "tamu");
    }
    static void command(const char* form, const char* f1, const char* c1, const char* f2 = "msisdn",
                        const char* c2 = "LIKE", const char* sender = "0899") {
        insert(QStringLiteral("remotecommand"),
               {QStringLiteral("command"), QStringLiteral("sender"), QStringLiteral("param1field"),
                QStringLiteral("param1criteria"), QStringLiteral("param2field"),
                QStringLiteral("param2criteria")},
               {form, sender, f1, c1, f2, c2});
    }
    static Rows destinations() {
        return rows(QStringLiteral("SELECT tujuan FROM qsms ORDER BY idx"));
    }
};

TEST_F(RemoteCommand, BroadcastsPersonalisedCopiesInMsisdnOrder) {
    command(kForm, "groupdata", "LIKE", "alamat", "LIKE");
    inbound::RunRemoteCommand(
        "0812", "  AB warga.bogor:Halo <nama> dari <alamat> (<groupdata>) <nama>\r\n");
    EXPECT_EQ(queued(), (Rows{"0813|0899|Halo Ani dari bogor (WARGA) Ani",
                              "0815|0899|Halo Budi dari Kota Bogor (warga rt1) Budi"}));
}

TEST_F(RemoteCommand, EmptyValuesWithLikeSelectEveryContactWithValues) {
    insert(QStringLiteral("phonebook"),
           {QStringLiteral("msisdn"), QStringLiteral("nama"), QStringLiteral("alamat")},
           {"0811", "Tanpa", QVariant()});
    command(kForm, "groupdata", "LIKE", "alamat", "LIKE");
    inbound::RunRemoteCommand("0812", "ab .:Rapat jam 8");
    EXPECT_EQ(queued(), (Rows{"0813|0899|Rapat jam 8", "0814|0899|Rapat jam 8",
                              "0815|0899|Rapat jam 8", "0816|0899|Rapat jam 8"}));
}

TEST_F(RemoteCommand, ComparisonsAndTheirValueForms) {
    struct Case {
        const char* criteria;
        const char* value;
        Rows expected;
    };
    const Case cases[] = {
        {"LIKE", "bogor", {"0813", "0815", "0816"}},
        {"NOT LIKE", "bogor", {"0814"}},
        {"like", "bogor", {"0813", "0816"}}, // lower case: compared without "%"
        {"=", "BOGOR", {"0813", "0816"}},
        {"<>", "bogor", {"0814", "0815"}},
        {" not  like ", "bogor", {"0814", "0815"}}, // not the exact form: no "%" around the value
        {"LIKE", "b_gor", {"0813", "0815", "0816"}},
        {"=", "x' OR '1'='1", {}},
    };
    for (const Case& c : cases) {
        db::exec(QStringLiteral("DELETE FROM remotecommand"));
        db::exec(QStringLiteral("DELETE FROM qsms"));
        command("x<param1>:<message>", "alamat", c.criteria);
        inbound::RunRemoteCommand("0812", std::string("x") + c.value + ":hi");
        EXPECT_EQ(destinations(), c.expected) << c.criteria << " " << c.value;
    }
}

TEST_F(RemoteCommand, RecognitionAndEmptyMessageParts) {
    command("ab<param1>:<message>", "groupdata", "LIKE");
    command("a<message>", "groupdata", "LIKE");
    command("info <message>", "groupdata", "=", "msisdn", "LIKE", "");
    inbound::RunRemoteCommand("0812", "ab warga:   "); // recognised, nothing to send: no fallback
    inbound::RunRemoteCommand("0812", "   \r\n");
    inbound::RunRemoteCommand("0812", "b warga:x"); // no command begins so
    EXPECT_TRUE(queued().empty());
    inbound::RunRemoteCommand("0812", "INFO  <nama>"); // "=" with the empty value: nobody
    inbound::RunRemoteCommand("0812", "Ab:  tanpa");   // p1 form with empty value: LIKE '%%'
    EXPECT_EQ(queued(),
              (Rows{"0813|0899|tanpa", "0814|0899|tanpa", "0815|0899|tanpa", "0816|0899|tanpa"}));
}

TEST_F(RemoteCommand, OnlyListedSendersAreRemote) {
    insert(QStringLiteral("remotehp"), {QStringLiteral("phonenumber"), QStringLiteral("infoname")},
           {"0812", "admin"});
    EXPECT_TRUE(inbound::IsRemoteSender("0812"));
    EXPECT_FALSE(inbound::IsRemoteSender("0813"));
    EXPECT_FALSE(inbound::IsRemoteSender("' OR ''='"));
    insert(QStringLiteral("remotehp"), {QStringLiteral("phonenumber"), QStringLiteral("infoname")},
           {"TELKOMSEL", "operator"});
    EXPECT_FALSE(inbound::IsRemoteSender("TELKOMSEL")); // a name is never a commanding sender
}

TEST_F(RemoteCommand, NamesAndComparisonsMustFitThePhonebook) {
    db::execDirect(QStringLiteral("ALTER TABLE phonebook ADD COLUMN kota TEXT"));
    db::exec(QStringLiteral("UPDATE phonebook SET kota='Depok' WHERE msisdn='0814'"));
    struct Case {
        const char* field;
        const char* criteria;
        bool valid;
    };
    const Case cases[] = {
        {" KOTA ", "=", true},        {"nama; DROP TABLE phonebook", "LIKE", false},
        {"kecamatan", "LIKE", false}, {"nama", "= '' OR 1=1 --", false},
        {"nama", "IS NOT", false},    {"nama", "", false},
    };
    for (const Case& c : cases) {
        db::exec(QStringLiteral("DELETE FROM remotecommand"));
        db::exec(QStringLiteral("DELETE FROM qsms"));
        command("k<param1>:<message>", c.field, c.criteria);
        if (c.valid) {
            inbound::RunRemoteCommand("0812", "k Depok:hi");
            EXPECT_EQ(destinations(), Rows{"0814"});
        } else {
            EXPECT_THROW(inbound::RunRemoteCommand("0812", "k depok:hi"), db::DbError)
                << c.field << c.criteria;
        }
    }
    EXPECT_EQ(rows(QStringLiteral("SELECT count(*) FROM phonebook")), Rows{"4"});
}

TEST_F(RemoteCommand, FailingStatementsAndNullsThrow) {
    insert(QStringLiteral("remotecommand"), {QStringLiteral("command"), QStringLiteral("sender")},
           {"n<message>", QVariant()});
    EXPECT_THROW(inbound::RunRemoteCommand("0812", "n hi"), db::DbError);
    command(kForm, "groupdata", "LIKE", "alamat", "LIKE");
    db::execDirect(QStringLiteral("DROP TABLE phonebook"));
    EXPECT_THROW(inbound::RunRemoteCommand("0812", "ab .:hi"), db::DbError);
    db::execDirect(QStringLiteral("DROP TABLE remotehp"));
    EXPECT_THROW(inbound::IsRemoteSender("0812"), db::DbError);
}

} // namespace

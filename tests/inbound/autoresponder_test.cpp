// Automatic replies and complaints: rule precedence, "<any>" rules by group, keyword order.

#include "inbound/autoresponder.h"

#include "inbound/inbound_store.h"
#include "inbound_fixture.h"

using namespace pelorin;
using test::InboundTest;

namespace {

const std::string kStamp = "05-17-24 10:11:12";
using Rows = std::vector<std::string>;

class AutoResponder : public InboundTest {
protected:
    static void rule(const char* format, const char* reply, int onlyPhonebook = 0,
                     const char* group = "", const char* pengirim = "") {
        insert(QStringLiteral("autorespondset"),
               {QStringLiteral("formatsms"), QStringLiteral("replysms"), QStringLiteral("pengirim"),
                QStringLiteral("onlyphonebook"), QStringLiteral("groupphonebook")},
               {format, reply, pengirim, onlyPhonebook, group});
    }
    static void keyword(const char* format, const char* forwardke) {
        insert(QStringLiteral("komplainforward"),
               {QStringLiteral("formatsms"), QStringLiteral("forwardke")}, {format, forwardke});
    }
    // The worker's order: store first, then answer.
    static void receive(const std::string& sender, const std::string& message) {
        inbound::StoreReceivedMessage(sender, message, kStamp, "0811");
        inbound::RunAutoResponder("MODUL1", sender, message, kStamp, 3);
    }
    static Rows complaints() {
        return rows(
            QStringLiteral("SELECT pengirim,penerima,pesan,forwardke,tglwaktukirim FROM komplain"));
    }
};

TEST_F(AutoResponder, ExactRulesMatchTheTrimmedMessageInAnyCase) {
    rule("info", "Jam buka <any> 08.00", 0, "", "0899");
    rule("info <any>", "never");
    receive("0812", "  INFO \r\n");
    EXPECT_EQ(queued(), Rows{"0812|0899|Jam buka <any> 08.00"});
}

TEST_F(AutoResponder, PhonebookOnlyExactRules) {
    struct Case {
        int firstFlag;
        bool member;
        Rows expected;
    };
    const Case cases[] = {
        {1, false, {"0812||second"}}, {1, true, {"0812||first"}},
        {0, false, {"0812||first"}},  {2, false, {"0812||first"}}, // only 1 means on
        {-1, false, {"0812||first"}},
    };
    for (const Case& c : cases) {
        for (const char* table : {"autorespondset", "phonebook", "qsms"})
            db::exec(QStringLiteral("DELETE FROM ") + table);
        rule("saldo", "first", c.firstFlag);
        rule("SALDO", "second");
        if (c.member) contact("0812", "Budi");
        receive("0812", "saldo");
        EXPECT_EQ(queued(), c.expected) << c.firstFlag << c.member;
    }
}

TEST_F(AutoResponder, ExistingExactRulesDecideAloneEvenWithoutReply) {
    rule("komp", "members only", 1);
    rule("<any>", "any");
    keyword("KOMP", "0855");
    receive("0812", "komp");
    EXPECT_TRUE(queued().empty());
    EXPECT_TRUE(complaints().empty());
}

TEST_F(AutoResponder, AnyRulesFillTheReplyWithTheVariablePart) {
    rule("reg <any>", "Halo <any>, terdaftar", 0, "", "0899");
    receive("0812", "REG Budi");
    receive("0813", "Reg Ani reg Siti");
    receive("0814", "daftar"); // no pattern match: falls through to complaints (none)
    EXPECT_EQ(queued(),
              (Rows{"0812|0899|Halo Budi, terdaftar", "0813|0899|Halo Ani Siti, terdaftar"}));
}

TEST_F(AutoResponder, AnyRulesServeOnlyTheSendersGroup) {
    rule("<any> harga", "umum <any>");
    rule("<any> harga", "keluarga <any>", 0, "Keluarga");
    contact("0812", "Budi", "", "keluarga");
    contact("0813", "Ani");
    receive("0812", "beras harga");
    receive("0813", "gula harga");
    receive("0814", "teh harga");
    EXPECT_EQ(queued(), (Rows{"0812||keluarga beras", "0813||umum gula", "0814||umum teh"}));
}

TEST_F(AutoResponder, MatchingPhonebookOnlyAnyRuleStopsEverything) {
    rule("tanya <any>", "jawab <any>", 1);
    rule("<any>", "second");
    keyword("TANYA", "0855");
    receive("0812", "tanya jalan");
    EXPECT_TRUE(queued().empty());
    EXPECT_TRUE(complaints().empty());
}

TEST_F(AutoResponder, ComplaintsTakeTheFirstKeywordInAscendingOrder) {
    keyword("KOMPLAIN", "0877");
    keyword("", "0800");
    keyword("komp", "0866");
    contact("0813", "Ani");
    receive("0812", "komplain listrik mati");
    receive("0813", "Komp air");
    EXPECT_EQ(queued(), (Rows{"0866||from:0812,Msg:komplain listrik mati",
                              "0866||from:0813(Ani),Msg:Komp air"}));
    EXPECT_EQ(complaints(), (Rows{"0812|MODUL1|komplain listrik mati|0866|" + kStamp,
                                  "0813|MODUL1|Komp air|0866|" + kStamp}));
}

TEST_F(AutoResponder, ComplaintWithoutForwardNumberIsOnlyStored) {
    keyword("LAPOR", "");
    receive("0812", "lapor jalan rusak");
    receive("0812", "pesan biasa");
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(complaints(), Rows{"0812|MODUL1|lapor jalan rusak||" + kStamp});
}

TEST_F(AutoResponder, OnlyPhoneNumbersAreAnsweredOrForwarded) {
    rule("saldo", "Saldo anda 0");
    keyword("INFO", "0877");
    const std::pair<std::string, bool> senders[] = {
        {"TELKOMSEL", false}, {"M-Tronik", false},   {"BCA 24", false},
        {"+", false},         {"", false},           {"0812x", false},
        {"9494", true},       {"08123456789", true}, {"+628123", true},
    };
    for (const auto& [sender, answered] : senders) {
        for (const char* table : {"qsms", "komplain"})
            db::exec(QStringLiteral("DELETE FROM ") + table);
        receive(sender, "saldo");
        receive(sender, "info promo");
        EXPECT_EQ(queued().size(), answered ? 2u : 0u) << sender;
        EXPECT_EQ(complaints().size(), answered ? 1u : 0u) << sender;
    }
}

TEST_F(AutoResponder, StoreComplaintCutsItsColumns) {
    inbound::StoreComplaint(std::string(35, '1'), std::string(40, 'M'), "isi", std::string(25, '9'),
                            kStamp);
    EXPECT_EQ(complaints(), Rows{std::string(30, '1') + "|" + std::string(30, 'M') + "|isi|" +
                                 std::string(20, '9') + "|" + kStamp});
}

TEST_F(AutoResponder, MessageTextIsDataNotStatement) {
    rule("abc", "exact");
    rule("x<any>", "any <any>");
    keyword("'", "0866");
    receive("0812", "a_c");          // LIKE wildcard: allowed to match
    receive("0813", "x' OR '1'='1"); // a quote inside: matched as text
    receive("0814", "' OR 1=1; DROP TABLE komplain; --");
    EXPECT_EQ(queued(), (Rows{"0812||exact", "0813||any ' OR '1'='1",
                              "0866||from:0814,Msg:' OR 1=1; DROP TABLE komplain; --"}));
    EXPECT_EQ(complaints().size(), 1u);
}

TEST_F(AutoResponder, FailingStatementsAndNullNamesThrow) {
    keyword("KOMP", "0866");
    insert(QStringLiteral("phonebook"), {QStringLiteral("msisdn"), QStringLiteral("nama")},
           {"0812", QVariant()});
    EXPECT_THROW(receive("0812", "komp"), db::DbError);
    EXPECT_TRUE(complaints().empty());
    db::execDirect(QStringLiteral("DROP TABLE autorespondset"));
    EXPECT_THROW(receive("0813", "komp"), db::DbError);
}

} // namespace

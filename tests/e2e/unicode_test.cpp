// Texts beyond Windows-1252 end to end: queued texts reach the modem with every character,
// received UCS2 texts reach smsin whole, and the countdown books the parts sent.

#include <gtest/gtest.h>

#include <QSqlQuery>
#include <QString>

#include <map>

#include "db/query.h"
#include "e2e_fixture.h"
#include "samples.h"

namespace pelorin::test {
namespace {

int octet(const std::string& hex, std::size_t at) {
    return std::stoi(hex.substr(2 * at, 2), nullptr, 16);
}

// An SMS-SUBMIT read on its own, without the codec: the concatenation reference and part
// (0 for a single message) and the text, UCS2 or 7-bit (basic characters only).
struct ReadPdu {
    int reference = 0, part = 0, total = 1;
    bool ucs2 = false;
    QString text;
};
ReadPdu readSubmit(const std::string& pdu) {
    std::size_t at = 1 + octet(pdu, 0); // service centre
    const int first = octet(pdu, at);
    at += 2;                                        // first octet, message reference
    const int digits = octet(pdu, at);
    at += 2 + (digits + 1) / 2 + 1;                 // length, type, digits, protocol id
    const int dcs = octet(pdu, at++);
    if ((first & 0x18) != 0) ++at;                  // relative validity period
    const int length = octet(pdu, at++);
    ReadPdu out;
    out.ucs2 = dcs == 0x08;
    std::size_t headerOctets = 0;
    if (first & 0x40) {
        headerOctets = 1 + octet(pdu, at);
        out.reference = octet(pdu, at + 3) * 256 + octet(pdu, at + 4);
        out.total = octet(pdu, at + 5);
        out.part = octet(pdu, at + 6);
    }
    if (out.ucs2) {
        for (std::size_t i = at + headerOctets; i + 1 < at + static_cast<std::size_t>(length); i += 2)
            out.text += QChar(static_cast<char16_t>(octet(pdu, i) * 256 + octet(pdu, i + 1)));
        return out;
    }
    const std::size_t skip = headerOctets == 0 ? 0 : (headerOctets * 8 + 6) / 7;
    for (int s = 0; s < length; ++s) {
        const int bit = s * 7;
        const std::size_t byte = at + static_cast<std::size_t>(bit / 8);
        int value = octet(pdu, byte) >> (bit % 8);
        if (bit % 8 > 1) value |= octet(pdu, byte + 1) << (8 - bit % 8);
        if (static_cast<std::size_t>(s) >= skip) out.text += QChar((value & 0x7F) == 0 ? '@' : value & 0x7F);
    }
    return out;
}

// The texts the modem was handed, long messages joined by reference.
QStringList sentTexts(const std::vector<std::string>& pdus, std::map<int, int>& partsOf) {
    QStringList texts;
    std::map<int, QString> joined;
    for (const std::string& pdu : pdus) {
        const ReadPdu r = readSubmit(pdu);
        if (r.part == 0) {
            texts << r.text;
            continue;
        }
        EXPECT_TRUE(r.ucs2);
        EXPECT_FALSE(r.text.back().isHighSurrogate()) << "a pair split between parts";
        joined[r.reference] += r.text;
        partsOf[r.reference] = r.total;
    }
    for (const auto& [reference, text] : joined) texts << text;
    return texts;
}

class UnicodeEndToEnd : public ModemPortTest {
protected:
    UnicodeEndToEnd()
        : ModemPortTest({QStringLiteral("nomor=0811"), QStringLiteral("usecountdown=1"),
                         QStringLiteral("countdown=100")}) {}
};

TEST_F(UnicodeEndToEnd, EveryCharacterGoesOutAndComesIn) {
    const QString shortText = QString::fromUtf8("Terima kasih \U0001F64F \u0105\u0119 \u4F60\u597D \u00F9 \u00C9 \u00FA");
    QString longText;
    while (longText.size() < 200) longText += QString::fromUtf8("Halo \U0001F600 ");
    for (const QString& text : {shortText, longText}) queue(text);
    // "Salam 🙏 ąę 你好 €" as UCS2 from 08123456789.
    const std::string units = "00530061006C0061006D0020D83DDE4F0020010501190020"
                              "4F60597D002020AC";
    const std::string deliver = "07912618485400F9040B818021436587F90008" "62802101350482" +
                                QStringLiteral("%1").arg(units.size() / 2, 2, 16, QLatin1Char('0')).toUpper().toStdString() +
                                units;
    sim->storePdu("ME", deliver);

    ModuleRun module(home, kFullModule);
    ASSERT_TRUE(waitUntil([] { return rows("smsout") == 2 && rows("smsin") == 1; }, 40000))
        << module.output().toStdString();

    std::map<int, int> partsOf;
    QStringList sent = sentTexts(sim->submitted(), partsOf);
    sent.sort();
    QStringList queued{shortText, longText};
    queued.sort();
    EXPECT_EQ(sent, queued);
    ASSERT_EQ(partsOf.size(), 1u);
    const int longParts = partsOf.begin()->second;
    EXPECT_GE(longParts, 3);
    EXPECT_LE(longParts, 4);
    QStringList logged = texts(QStringLiteral("SELECT pesan FROM smsout"));
    logged.sort();
    EXPECT_EQ(logged, queued);
    EXPECT_EQ(db::selectRows(QStringLiteral("SELECT pesan FROM smsin"))[0][0].toString(),
              QString::fromUtf8("Salam \U0001F64F \u0105\u0119 \u4F60\u597D \u20AC"));
    // The countdown is booked with the parts that went out.
    EXPECT_TRUE(waitUntil([&] {
        return db::selectRows(QStringLiteral("SELECT countdown FROM cs WHERE com=5"))[0][0].toInt() == 100 - 1 - longParts;
    }));
}

} // namespace
} // namespace pelorin::test

#include <gtest/gtest.h>

#include "db/cp1252.h"

using pelorin::db::fromWindows1252;
using pelorin::db::toWindows1252;

TEST(Cp1252, EveryByteRoundTrips) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(toWindows1252(fromWindows1252(all)), all);
}

TEST(Cp1252, HighControlRangeIsNotLatin1) {
    struct Case {
        unsigned char byte;
        char16_t unicode;
    };
    for (const Case c : {Case{0x80, u'€'}, Case{0x95, u'•'}, Case{0x8A, u'Š'}, Case{0x9F, u'Ÿ'},
                         Case{0xE9, u'é'}, Case{0xA3, u'£'}, Case{0x81, 0x81}}) {
        const std::string byte(1, static_cast<char>(c.byte));
        EXPECT_EQ(fromWindows1252(byte), QString(QChar(c.unicode))) << int(c.byte);
        EXPECT_EQ(toWindows1252(QString(QChar(c.unicode))), byte) << int(c.byte);
    }
}

TEST(Cp1252, CharactersOutsideTheCodePageBecomeOneQuestionMarkEach) {
    EXPECT_EQ(toWindows1252(QStringLiteral("a\u0101b")), "a?b");   // ā
    EXPECT_EQ(toWindows1252(QString::fromUtf8("x\xF0\x9F\x98\x80y")), "x?y"); // emoji: one surrogate pair
}

#include "pdu/text_utils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace pelorin::pdu;

namespace {

struct SplitCase {
    const char* name;
    std::string text;
    std::string separator;
    TSplitArray pieces;
};

TEST(TextUtils, SplitTextPieces) {
    const SplitCase cases[] = {
        {"empty piece between separators", "a,,b", ",", {"a", "", "b"}},
        {"leading separator gives empty first piece", ",a", ",", {"", "a"}},
        {"trailing separator adds no piece", "a,", ",", {"a"}},
        {"empty text gives no pieces", "", ",", {}},
        {"no separator gives the text", "abc", ",", {"abc"}},
        {"header line at blank", "\n+CMGL: 1,0,,25", " ", {"\n+CMGL:", "1,0,,25"}},
        {"empty separator never matches", "x", "", {"x"}},
        {"empty separator on empty text", "", "", {}},
        {"whole text is the separator", "a", "a", {""}},
        {"two separators", "aa", "a", {"", ""}},
        {"multi-character separator", "1\r\n2\r\n\r\n3", "\r\n", {"1", "2", "", "3"}},
        {"overlapping matches taken from the front", "aaa", "aa", {"", "a"}},
    };
    for (const SplitCase& c : cases)
        EXPECT_EQ(SplitText(c.text, c.separator), c.pieces) << c.name;
}

TEST(TextUtils, ReadTextFileEndsEveryLineWithCrLf) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\r\nb", "a\r\nb\r\n"},             // last line without a line end
        {"a\r\nb\r\n", "a\r\nb\r\n"},         // no extra empty line
        {"a\nb\n", "a\r\nb\r\n"},             // lone LF is a break
        {"a\rb", "a\r\nb\r\n"},               // lone CR is a break
        {"a\n\r\n\rb", "a\r\n\r\n\r\nb\r\n"}, // empty lines kept
        {"", ""},
    };
    const auto path = std::filesystem::temp_directory_path() / "pelorin_read_text_file.txt";
    for (const auto& [content, expected] : cases) {
        std::ofstream(path, std::ios::binary) << content;
        EXPECT_EQ(ReadTextFile(path.string()), expected) << content;
    }
    std::filesystem::remove(path);
}

TEST(TextUtils, ReadTextFileFailuresGiveEmptyText) {
    EXPECT_EQ(ReadTextFile("/nonexistent/pelorin/merlcenter.ini"), "");
    EXPECT_EQ(ReadTextFile(std::filesystem::temp_directory_path().string()), ""); // a directory
    EXPECT_EQ(ReadTextFile(""), "");
}

TEST(TextUtils, SubTextClipsToTheText) {
    EXPECT_EQ(SubText("abcdef", 2, 3), "bcd");
    EXPECT_EQ(SubText("abcdef", 5, 9), "ef");
    EXPECT_EQ(SubText("abcdef", 7, 1), "");
    EXPECT_EQ(SubText("abcdef", 0, 2), "");
    EXPECT_EQ(TrimControls(" \t\r\n08 12\x01 "), "08 12");
    EXPECT_EQ(TrimControls("\xA0x\xA0"), "\xA0x\xA0"); // 0xA0 is a character, not a control
}

} // namespace

// Log lines: one line per event whatever the text holds, with the port and the level.

#include <gtest/gtest.h>

#include "log/log.h"

namespace {

using pelorin::log::escaped;

TEST(Log, PeerTextCannotSplitOrForgeALine) {
    struct Case {
        const char* in;
        const char* out;
    } const cases[] = {
        {"plain text", "plain text"},
        {"a\r\nport 5: sent", "a\\r\\nport 5: sent"},
        {"tab\there", "tab\\there"},
        {"esc\x1b[2Jbell\x07" "del\x7f", "esc\\x1B[2Jbell\\x07del\\x7F"},
        {"back\\slash", "back\\\\slash"},
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
    };
    for (const Case& c : cases) EXPECT_EQ(escaped(c.in), c.out) << c.in;
    EXPECT_EQ(escaped(std::string_view("nul\0byte", 8)), "nul\\x00byte");
}

TEST(Log, LinesNameThePortAndTheLevel) {
    pelorin::log::setPort("7");
    EXPECT_EQ(pelorin::log::formatLine(pelorin::log::Level::Error, "x\ny"), "port 7: error: x\\ny");
    EXPECT_EQ(pelorin::log::formatLine(pelorin::log::Level::Warning, "w"), "port 7: warning: w");
    EXPECT_EQ(pelorin::log::formatLine(pelorin::log::Level::Info, "sent"), "port 7: sent");
    pelorin::log::setPort("");
    EXPECT_EQ(pelorin::log::formatLine(pelorin::log::Level::Info, "start"), "start");
}

} // namespace

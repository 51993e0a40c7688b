// Reading a modem's signal, registration and operator from its answers, whatever else the
// modem sent around them.

#include <gtest/gtest.h>

#include "modem/modem_health.h"

using namespace pelorin::modem;

namespace {

TEST(ModemHealth, AnswersAreReadAndOddOnesTellNothing) {
    struct Case {
        const char* answer;
        std::optional<int> rssi, registration;
        std::optional<std::string> network;
    } const cases[] = {
        {"\r\n+CSQ: 18,99\r\n\r\nOK\r\n", 18, {}, {}},
        {"\r\n+CSQ: 99,99\r\n\r\nOK\r\n", 99, {}, {}},
        {"\r\n+CSQ: 40,0\r\n\r\nOK\r\n", {}, {}, {}},
        {"\r\n+CREG: 0,1\r\n\r\nOK\r\n", {}, 1, {}},
        {"\r\n+CREG: 2,5,\"1A2B\",\"00C3\"\r\n\r\nOK\r\n", {}, 5, {}},
        // An unsolicited registration line before the answer: the answer counts.
        {"\r\n+CREG: 2\r\n\r\n+CREG: 0,1\r\n\r\nOK\r\n", {}, 1, {}},
        {"\r\n+CREG: 3\r\n", {}, 3, {}},
        {"\r\n+COPS: 0,0,\"TELKOMSEL\"\r\n\r\nOK\r\n", {}, {}, std::string("TELKOMSEL")},
        {"\r\n+COPS: 0,0,\"XL, Axiata\",7\r\n\r\nOK\r\n", {}, {}, std::string("XL, Axiata")},
        {"\r\n+COPS: 0\r\n\r\nOK\r\n", {}, {}, std::string()},
        {"\r\nERROR\r\n", {}, {}, {}},
        {"\r\n+CME ERROR: 30\r\n", {}, {}, {}},
        {"", {}, {}, {}},
        {"+CSQ: ,\r\n+CREG: x,y\r\n+COPS: \r\n", {}, {}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseSignal(c.answer), c.rssi) << c.answer;
        EXPECT_EQ(parseRegistration(c.answer), c.registration) << c.answer;
        EXPECT_EQ(parseOperator(c.answer), c.network) << c.answer;
    }
}

TEST(ModemHealth, WordsForOperators) {
    EXPECT_EQ(describeSignal(0), "-113 dBm (0/31)");
    EXPECT_EQ(describeSignal(31), "-51 dBm (31/31)");
    EXPECT_EQ(describeSignal(99), "not detectable");
    for (int stat = 0; stat <= 5; ++stat) EXPECT_EQ(isRegistered(stat), stat == 1 || stat == 5) << stat;
    EXPECT_EQ(describe({18, 5, std::string("TELKOMSEL")}),
              "signal -77 dBm (18/31), registered, roaming, operator TELKOMSEL");
    EXPECT_EQ(describe({{}, {}, {}}), "signal unknown, registration unknown, operator unknown");
    EXPECT_EQ(describe({99, 0, std::string()}), "signal not detectable, not registered, no operator");
}

} // namespace

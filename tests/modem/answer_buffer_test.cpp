// What the modem sends, as the answer buffer takes it in: unsolicited lines set aside wherever
// they fall, the end of an answer found, the size of what is kept bounded; and the coded
// errors named.

#include <gtest/gtest.h>

#include <vector>

#include "modem/answer_buffer.h"
#include "modem/error_codes.h"
#include "modem/unsolicited.h"

using namespace pelorin::modem;
using State = AnswerBuffer::State;
using Ending = AnswerBuffer::Ending;

namespace {

const std::string kPdu = "07912618485400F9040B818021436587F90000628021013504820EC830FB0D0AC3C3A075581C9603";

struct Arrival {
    const char* name;
    const char* command;
    std::vector<std::string> chunks;
    std::string answer;
    State state;
    std::vector<std::string> aside;
};

AnswerBuffer fed(const std::string& command, const std::vector<std::string>& chunks,
                 Ending ending = Ending::Marker, const std::string& ok = "OK\r\n") {
    AnswerBuffer buffer;
    buffer.reset(OwnAnswerPrefix(command), ok, "ERROR", ending);
    for (const std::string& chunk : chunks) buffer.append(chunk);
    return buffer;
}

TEST(AnswerBuffer, UnsolicitedLinesAreSetAsideWhereverTheyFall) {
    const std::string listing = "\r\n+CMGL: 1,0,,39\r\n" + kPdu + "\r\n\r\nOK\r\n";
    const Arrival cases[] = {
        {"before the answer", "AT\r", {"\r\n+CMTI: \"ME\",3\r\n", "\r\nOK\r\n"}, "\r\nOK\r\n", State::Complete,
         {"+CMTI: \"ME\",3"}},
        {"between header and PDU", "AT+CMGL=4\r",
         {"\r\n+CMGL: 1,0,,39\r\n", "\r\n^MODE:5,4\r\n", kPdu + "\r\n\r\nOK\r\n"}, listing, State::Complete, {"^MODE:5,4"}},
        {"unframed, between header and PDU", "AT+CMGL=4\r",
         {"\r\n+CMGL: 1,0,,39\r\nRING\r\n" + kPdu + "\r\n\r\nOK\r\n"}, listing, State::Complete, {"RING"}},
        {"after OK, same read", "AT\r", {"\r\nOK\r\n\r\n+CREG: 1\r\n"}, "\r\nOK\r\n", State::Complete, {"+CREG: 1"}},
        {"split over reads", "AT\r", {"\r\n^RS", "SI:17\r", "\n\r\nOK\r\n"}, "\r\nOK\r\n", State::Complete, {"^RSSI:17"}},
        {"several in a row", "AT\r", {"\r\n^BOOT:1,0,0,0,4\r\n\r\n^DSFLOWRPT:00,0,0\r\n\r\n+CMTI: \"SM\",1\r\n\r\nOK\r\n"},
         "\r\nOK\r\n", State::Complete, {"^BOOT:1,0,0,0,4", "^DSFLOWRPT:00,0,0", "+CMTI: \"SM\",1"}},
        {"indication with its PDU", "AT\r", {"\r\n+CMT: ,39\r\n" + kPdu + "\r\n\r\nOK\r\n"}, "\r\nOK\r\n",
         State::Complete, {"+CMT: ,39", kPdu}},
        {"a command's own line stays", "AT+CREG?\r", {"\r\n+CREG: 0,1\r\n\r\nOK\r\n"}, "\r\n+CREG: 0,1\r\n\r\nOK\r\n",
         State::Complete, {}},
        {"a USSD line with ERROR in its text ends nothing", "AT\r", {"\r\n+CUSD: 0,\"ERROR di jaringan\",15\r\n"}, "",
         State::Waiting, {"+CUSD: 0,\"ERROR di jaringan\",15"}},
        {"a USSD text over several lines is one line", "AT\r", {"\r\n+CUSD: 1,\"1. Pulsa\r\nRING\r\n2. Paket\",15\r\n\r\nOK\r\n"},
         "\r\nOK\r\n", State::Complete, {"+CUSD: 1,\"1. Pulsa\r\nRING\r\n2. Paket\",15"}},
        {"an unfinished indication is no answer", "AT\r", {"\r\n+CMTI: \"M"}, "", State::Waiting, {}},
        {"echo kept, indication gone", "ATE0\r", {"ATE0\r\r\n+CMTI: \"ME\",2\r\n\r\nOK\r\n"}, "ATE0\r\r\nOK\r\n",
         State::Complete, {"+CMTI: \"ME\",2"}},
    };
    for (const Arrival& c : cases) {
        AnswerBuffer buffer = fed(c.command, c.chunks);
        EXPECT_EQ(buffer.answer(), c.answer) << c.name;
        EXPECT_EQ(buffer.state(), c.state) << c.name;
        const std::deque<std::string> aside = buffer.takeUnsolicited();
        EXPECT_EQ(std::vector<std::string>(aside.begin(), aside.end()), c.aside) << c.name;
    }
}

TEST(AnswerBuffer, MarkersEndTheAnswerAndAnErrorWaitsForItsLine) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::string ok;
        State state;
        std::string answer;
    };
    const Case cases[] = {
        {"coded error in one read", {"\r\n+CMS ERROR: 500\r\n"}, "OK\r\n", State::Complete, "\r\n+CMS ERROR: 500\r\n"},
        {"coded error, code still to come", {"\r\n+CMS ERROR"}, "OK\r\n", State::ErrorLineOpen, "\r\n+CMS ERROR"},
        {"coded error, then its code", {"\r\n+CMS ERR", "OR: 500", "\r\n"}, "OK\r\n", State::Complete, "\r\n+CMS ERROR: 500\r\n"},
        {"plain error split", {"\r\nERR", "OR\r\n"}, "OK\r\n", State::Complete, "\r\nERROR\r\n"},
        {"OK without its line end", {"\r\nOK"}, "OK\r\n", State::Waiting, "\r\nOK"},
        {"prompt without a line end", {"\r\n> "}, ">", State::Complete, "\r\n> "},
        {"NULs dropped", {std::string("\0\r\nO", 4), std::string("K\0\r\n", 4)}, "OK\r\n", State::Complete, "\r\nOK\r\n"},
    };
    for (const Case& c : cases) {
        AnswerBuffer buffer = fed("AT+CMGS=19\r", c.chunks, Ending::Marker, c.ok);
        EXPECT_EQ(buffer.state(), c.state) << c.name;
        EXPECT_EQ(buffer.answer(), c.answer) << c.name;
    }
}

TEST(AnswerBuffer, WhatBeganBeforeTheCommandIsNeverItsAnswer) {
    AnswerBuffer buffer = fed("AT\r", {"\r\nOK\r\n\r\n+CMT"});
    EXPECT_EQ(buffer.answer(), "\r\nOK\r\n");
    // The next command: the rest of the indication arrives, then the answer.
    buffer.reset("", "OK\r\n", "ERROR", Ending::Marker);
    buffer.append("I: \"SM\",2\r\n\r\nOK\r\n");
    EXPECT_EQ(buffer.answer(), "\r\nOK\r\n");
    EXPECT_EQ(buffer.takeUnsolicited().back(), "+CMTI: \"SM\",2");

    // A late OK of an abandoned command, half arrived: the next command's ERROR is its answer.
    buffer.append("\r\nO");
    buffer.reset("", "OK\r\n", "ERROR", Ending::Marker);
    EXPECT_EQ(buffer.state(), State::Waiting);
    buffer.append("K\r\n");
    EXPECT_EQ(buffer.state(), State::Waiting);
    buffer.append("\r\nERROR\r\n");
    EXPECT_EQ(buffer.answer(), "\r\nERROR\r\n");
}

TEST(AnswerBuffer, UssdAnswerEndsWithTheNetworksCompleteLine) {
    struct Case {
        const char* name;
        const char* command;
        std::string ok;
        std::vector<std::string> chunks;
        State state;
    };
    const Case cases[] = {
        {"OK alone is not the end", "ATD*123#;\r", "OK\r\n", {"\r\nOK\r\n"}, State::Waiting},
        {"line after OK", "ATD*123#;\r", "OK\r\n", {"\r\nOK\r\n", "\r\n+CUSD: 0,\"Sisa\",15\r\n"}, State::Complete},
        {"line before OK waits for OK", "ATD*123#;\r", "OK\r\n", {"\r\n+CUSD: 0,\"Sisa\",15\r\n"}, State::Waiting},
        {"then OK", "ATD*123#;\r", "OK\r\n", {"\r\n+CUSD: 0,\"Sisa\",15\r\n\r\nOK\r\n"}, State::Complete},
        {"unfinished text", "AT+CUSD=1,\"*123#\"\r", ",15", {"\r\nOK\r\n\r\n+CUSD: 0,\"Harga 10,15"}, State::Waiting},
        {"text ending ERROR goes on", "ATD*123#;\r", "OK\r\n", {"\r\nOK\r\n\r\n+CUSD: 0,\"ERROR"}, State::Waiting},
        {"closing quote then ,15", "AT+CUSD=1,\"*123#\"\r", ",15", {"\r\nOK\r\n\r\n+CUSD: 0,\"Harga 10,15\",15"},
         State::Complete},
        {"text over lines", "ATD*123#;\r", "OK\r\n", {"\r\nOK\r\n\r\n+CUSD: 1,\"1. Ya\r\n", "2. Tidak\",15\r\n"},
         State::Complete},
        {"no dcs", "ATD*123#;\r", "OK\r\n", {"\r\nOK\r\n\r\n+CUSD: 0,\"Sisa\"\r\n"}, State::Complete},
        {"a quote inside the text", "ATD*123#;\r", "OK\r\n", {"\r\nOK\r\n\r\n+CUSD: 0,\"Ketik \"YA\r\n\",15\r\n"},
         State::Complete},
        {"an odd quote inside the text", "ATD*123#;\r", "OK\r\n", {"\r\nOK\r\n\r\n+CUSD: 0,\"Harga 5\" layar\",15\r\n"},
         State::Complete},
        {"ended by the network", "ATD*123#;\r", "OK\r\n", {"\r\nOK\r\n\r\n+CUSD: 2\r\n"}, State::Complete},
        {"refused", "ATD*123#;\r", "OK\r\n", {"\r\n+CME ERROR: 258\r\n"}, State::Complete},
        {"no carrier", "ATD*123#;\r", "OK\r\n", {"\r\nNO CARRIER\r\n"}, State::Complete},
        {"indications around it", "ATD*123#;\r", "OK\r\n",
         {"\r\nOK\r\n\r\n^RSSI:9\r\n", "\r\n+CUSD: 0,\"Sisa\",15\r\n\r\nRING\r\n"}, State::Complete},
    };
    for (const Case& c : cases) {
        AnswerBuffer buffer = fed(c.command, c.chunks, Ending::UssdLine, c.ok);
        EXPECT_EQ(buffer.state(), c.state) << c.name;
        EXPECT_EQ(buffer.answer().find("RING"), std::string::npos) << c.name;
        EXPECT_EQ(buffer.answer().find("^RSSI"), std::string::npos) << c.name;
    }
}

TEST(AnswerBuffer, AnEndlessLineIsBoundedAndTheAnswerStillEnds) {
    AnswerBuffer buffer = fed("AT+CMGL=4\r", {});
    const std::string chunk(4096, 'x');
    for (int i = 0; i < 1000; ++i) buffer.append(chunk); // 4 MB without a line end
    EXPECT_TRUE(buffer.overflowed());
    EXPECT_EQ(buffer.answer(), "");
    EXPECT_LE(buffer.tail(AnswerBuffer::kCapacity * 2).size(), AnswerBuffer::kCapacity);
    EXPECT_EQ(buffer.state(), State::Waiting);
    buffer.append("\r\nOK\r\n");
    EXPECT_EQ(buffer.state(), State::Complete);

    // Complete lines past the cap: the answer keeps whole lines up to it.
    buffer = fed("AT+CMGL=4\r", {});
    const std::string line = std::string(98, 'A') + "\r\n";
    for (std::size_t sent = 0; sent < AnswerBuffer::kCapacity + 100000; sent += line.size()) buffer.append(line);
    buffer.append("\r\nOK\r\n");
    EXPECT_EQ(buffer.state(), State::Complete);
    const std::string answer = buffer.answer();
    EXPECT_LE(answer.size(), AnswerBuffer::kCapacity);
    EXPECT_EQ(answer.size() % line.size(), 0u) << "only whole lines";

    // The next command: the rest of the endless line is not its answer.
    buffer = fed("AT\r", {chunk, chunk});
    for (int i = 0; i < 200; ++i) buffer.append(chunk);
    buffer.reset("", "OK\r\n", "ERROR", Ending::Marker);
    buffer.append(chunk + "\r\n\r\nOK\r\n");
    EXPECT_EQ(buffer.answer(), "\r\nOK\r\n");
}

TEST(Unsolicited, OwnAnswerPrefixesAndLineKinds) {
    const std::pair<const char*, const char*> prefixes[] = {
        {"AT+CREG?\r", "+CREG:"}, {"AT+CUSD=1,\"*123#\"\r", "+CUSD:"}, {"ATD*123#;\r", "+CUSD:"},
        {"ATD08123;\r", ""},      {"AT^SYSINFO\r", "^SYSINFO:"},       {"AT+CNMI = 1,1,0,2\r", "+CNMI:"},
        {"0791AB\x1A", ""},       {"AT\r", ""},
    };
    for (const auto& [command, prefix] : prefixes) EXPECT_EQ(OwnAnswerPrefix(command), prefix) << command;
    EXPECT_EQ(ClassifyLine("+CDS: 25", ""), LineKind::UnsolicitedWithPdu);
    EXPECT_EQ(ClassifyLine("+CDSI: \"SM\",4", ""), LineKind::Unsolicited);
    EXPECT_EQ(ClassifyLine("+CMGL: 1,0,,25", ""), LineKind::Answer);
    EXPECT_EQ(ClassifyLine("+CUSD: 0,\"x\",15", "+CUSD:"), LineKind::Answer);
    EXPECT_EQ(ClassifyLine(kPdu, ""), LineKind::Answer);
    EXPECT_TRUE(MayBeUnsolicited("^MO", ""));
    EXPECT_FALSE(MayBeUnsolicited("+CMS ERR", ""));
}

TEST(ModemErrors, CodedErrorsAreNamedAfterTheRowsOwnText) {
    const std::pair<const char*, const char*> cases[] = {
        {"\r\n+CME ERROR: 11\r\n", "Modem ERROR COM5: SIM PIN required"},
        {"\r\n+CME ERROR: 10\r\n", "Modem ERROR COM5: SIM not inserted"},
        {"\r\n+CME ERROR: 12\r\n", "Modem ERROR COM5: SIM PUK required"},
        {"\r\n+CME ERROR: 14\r\n", "Modem ERROR COM5: SIM busy"},
        {"\r\n+CME ERROR: 30\r\n", "Modem ERROR COM5: no network service"},
        {"\r\n+CMS ERROR: 311\r\n", "Modem ERROR COM5: SIM PIN required"},
        {"\r\n+CMS ERROR: 314\r\n", "Modem ERROR COM5: SIM busy"},
        {"\r\n+CMS ERROR: 322\r\n", "Modem ERROR COM5: memory full"},
        {"\r\n+CMS ERROR: 331\r\n", "Modem ERROR COM5: no network service"},
        {"\r\n+CMS ERROR: 1\r\n", "Modem ERROR COM5: unassigned (unallocated) number"},
        {"\r\n+CMS ERROR: 195\r\n", "Modem ERROR COM5: invalid SME address"},
        {"+CMS ERROR:500", "Modem ERROR COM5: unknown error"},
        {"\r\n+CMS ERROR: 999\r\n", "Modem ERROR COM5: +CMS ERROR: 999"},
        {"\r\n+CME ERROR: SIM failure\r\n", "Modem ERROR COM5: SIM failure"},
        {"\r\nERROR\r\n", "Modem ERROR COM5"},
        {"", "Modem ERROR COM5"},
    };
    for (const auto& [answer, text] : cases) EXPECT_EQ(PortErrorText("Modem ERROR COM5", answer), text) << answer;
    EXPECT_EQ(ModemErrorLine("AT+CMGS=19\r\r\n+CMS ERROR: 38\r\n"), "+CMS ERROR: 38");
}

} // namespace

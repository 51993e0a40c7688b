// The AT exchange against a writer that plays the modem's part from another thread, the
// way the serial port's receive handler does.

#include <gtest/gtest.h>

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <chrono>
#include <thread>

#include "modem/exchange.h"
#include "modem/serial_line.h"

using namespace pelorin::modem;
using Clock = std::chrono::steady_clock;

namespace {

class Exchange : public ::testing::Test {
protected:
    void TearDown() override {
        if (modem.joinable()) modem.join();
    }
    // The modem answers `reply` (in the given chunks) shortly after each write.
    void answerWith(std::vector<std::string> chunks, int delayMs = 50) {
        exchange.setWriter([this, chunks, delayMs](const std::string& bytes) {
            written += bytes;
            if (modem.joinable()) modem.join();
            modem = std::thread([this, chunks, delayMs] {
                for (const std::string& c : chunks) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                    exchange.ComPort1RxChar(c);
                }
            });
            return true;
        });
    }
    double secondsFor(const std::string& command, int limit, std::string& answer,
                      ExchangeOutcome expected = ExchangeOutcome::Completed) {
        const auto start = Clock::now();
        EXPECT_EQ(exchange.ExecAtCommand(command, limit, "OK\r\n", "ERROR", answer), expected);
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    std::atomic<bool> stop{false};
    AtExchange exchange{stop};
    std::string written;
    std::thread modem;
};

TEST_F(Exchange, EitherMarkerEndsTheWaitWithTheRawAnswer) {
    answerWith({"AT\r", "\r\nERR", "OR\r\n"});
    std::string answer;
    EXPECT_LT(secondsFor("AT\r", 8, answer), 2.0);
    EXPECT_EQ(answer, "AT\r\r\nERROR\r\n");
    EXPECT_EQ(written, "AT\r");

    answerWith({"\r\nOK\r\n"});
    EXPECT_LT(secondsFor("ATE0\r", 8, answer), 2.0);
    EXPECT_EQ(answer, "\r\nOK\r\n");
}

TEST_F(Exchange, MarkerWithoutItsLineEndWaitsOutTheLimit) {
    answerWith({"\r\nOK"});
    std::string answer;
    const double took = secondsFor("AT\r", 2, answer);
    EXPECT_GE(took, 1.9);  // whole-second deadlines: between 2 and 3 s after the start
    EXPECT_LT(took, 6.0);
    EXPECT_EQ(answer, "\r\nOK");
}

TEST_F(Exchange, SilentModemEndsAtTheShorterDeadline) {
    exchange.setWriter([](const std::string&) { return true; });
    std::string answer = "previous";
    const double took = secondsFor("AT\r", 1, answer);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 5.0);
    EXPECT_EQ(answer, "");
}

TEST_F(Exchange, NulCharactersNeverReachTheAnswer) {
    answerWith({std::string("\0\r\nO", 4), std::string("K\0\r\n", 4)});
    std::string answer;
    secondsFor("AT\r", 3, answer);
    EXPECT_EQ(answer, "\r\nOK\r\n");
}

TEST_F(Exchange, StopRefusesWithoutWritingAndKeepsTheAnswer) {
    bool wrote = false;
    exchange.setWriter([&](const std::string&) { return wrote = true; });
    stop = true;
    std::string answer = "kept";
    secondsFor("AT\r", 8, answer, ExchangeOutcome::Refused);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(answer, "kept");
}

TEST_F(Exchange, StopWhileWaitingAbandonsPromptly) {
    exchange.setWriter([this](const std::string&) {
        modem = std::thread([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stop = true;
        });
        return true;
    });
    std::string answer = "kept";
    EXPECT_LT(secondsFor("AT+CMGL=4\r", 100, answer, ExchangeOutcome::Abandoned), 3.0);
    EXPECT_EQ(answer, "kept");
}

TEST_F(Exchange, WriteFailureIsReportedWithTheCommand) {
    std::string reported;
    exchange.setWriter([](const std::string&) { return false; });
    exchange.setErrorReporter([&](const std::string& text) { reported = text; });
    std::string answer = "kept";
    secondsFor("AT+CMGD=3\r", 10, answer, ExchangeOutcome::Failed);
    EXPECT_EQ(reported, "Error ATCOMMAND AT+CMGD=3\r");
    EXPECT_EQ(answer, "kept");
}

TEST_F(Exchange, LateBytesOfOneCommandNeverLeakIntoTheNext) {
    answerWith({"\r\nOK\r\n", "\r\n+CMTI: \"SM\",3\r\n"}, 100);
    std::string answer;
    secondsFor("AT\r", 8, answer);
    if (modem.joinable()) modem.join();  // the late line has arrived by now
    answerWith({"\r\nOK\r\n"});
    secondsFor("AT\r", 8, answer);
    EXPECT_EQ(answer, "\r\nOK\r\n");
}

TEST_F(Exchange, DeadlinesHoldAcrossMidnight) {
    // Pretend the exchange starts one second before midnight: the limit still counts in full.
    const qint64 realStart = QDateTime::currentMSecsSinceEpoch();
    const qint64 fakeStart =
        QDateTime(QDate::currentDate(), QTime(23, 59, 59, 500)).toMSecsSinceEpoch();
    exchange.setClock([=] { return fakeStart + (QDateTime::currentMSecsSinceEpoch() - realStart); });
    answerWith({"\r\nOK"});       // an answer without its marker: only the limit ends it
    std::string answer;
    EXPECT_GE(secondsFor("AT\r", 3, answer), 2.4);
}

TEST(SerialSettings, SpeedAndHandshakeFollowTheirTexts) {
    struct Case {
        const char* baud;
        const char* hands;
        qint32 speed;
        QSerialPort::FlowControl flow;
        bool dtr;
    };
    for (const Case c : {Case{"115200", "2", 115200, QSerialPort::HardwareControl, false},
                         Case{"9600", "0", 9600, QSerialPort::HardwareControl, true},
                         Case{"host.example", "1", 9600, QSerialPort::NoFlowControl, false},
                         Case{"115200 ", "x", 9600, QSerialPort::NoFlowControl, false}}) {
        const SerialConfig config = serialConfigFor(QStringLiteral("/dev/COM5"), c.baud, c.hands);
        EXPECT_EQ(config.baudRate, c.speed) << c.baud;
        EXPECT_EQ(config.flow, c.flow) << c.hands;
        EXPECT_EQ(config.dtr, c.dtr) << c.hands;
    }
}

} // namespace

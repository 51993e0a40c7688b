// The AT exchange against a writer that plays the modem's part from another thread, the
// way the serial port's receive handler does.

#include <gtest/gtest.h>

#include <QDate>
#include <QDateTime>
#include <QTime>

#include <chrono>
#include <mutex>
#include <thread>

#include <poll.h>
#include <pty.h>
#include <unistd.h>

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
        exchange.setWriter([this, chunks, delayMs](const std::string& bytes, bool) {
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
    exchange.setWriter([](const std::string&, bool) { return true; });
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
    exchange.setWriter([&](const std::string&, bool) { return wrote = true; });
    stop = true;
    std::string answer = "kept";
    secondsFor("AT\r", 8, answer, ExchangeOutcome::Refused);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(answer, "kept");
}

TEST_F(Exchange, StopWhileWaitingAbandonsPromptly) {
    exchange.setWriter([this](const std::string&, bool) {
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
    exchange.setWriter([](const std::string&, bool) { return false; });
    exchange.setErrorReporter([&](const std::string& text) { reported = text; });
    std::string answer = "kept";
    secondsFor("AT+CMGD=3\r", 10, answer, ExchangeOutcome::Failed);
    EXPECT_EQ(reported, "Error ATCOMMAND AT+CMGD=3\r");
    EXPECT_EQ(answer, "kept");
}

TEST_F(Exchange, StopRulesDecideWhetherACommandGoesOutAndIsWaitedFor) {
    struct Case {
        StopRule rule;
        bool stopBefore;
        ExchangeOutcome outcome;
        const char* written;
    };
    const Case cases[] = {
        {StopRule::GiveWay, true, ExchangeOutcome::Refused, ""},
        {StopRule::GiveWay, false, ExchangeOutcome::Abandoned, "AT\r"},
        {StopRule::FinishOnceWritten, true, ExchangeOutcome::Refused, ""},
        {StopRule::FinishOnceWritten, false, ExchangeOutcome::Completed, "AT\r"},
        {StopRule::Finish, true, ExchangeOutcome::Completed, "AT\r"},
        {StopRule::Finish, false, ExchangeOutcome::Completed, "AT\r"},
    };
    for (const Case& c : cases) {
        written.clear();
        stop = c.stopBefore;
        // The stop (when not already set) arrives while the answer is awaited.
        exchange.setWriter([this](const std::string& bytes, bool) {
            written += bytes;
            if (modem.joinable()) modem.join();
            modem = std::thread([this] {
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                stop = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                exchange.ComPort1RxChar("\r\nOK\r\n");
            });
            return true;
        });
        std::string answer = "kept";
        EXPECT_EQ(exchange.ExecAtCommand("AT\r", 8, "OK\r\n", "ERROR", answer, c.rule), c.outcome)
            << static_cast<int>(c.rule) << c.stopBefore;
        EXPECT_EQ(written, c.written);
        EXPECT_EQ(answer, c.outcome == ExchangeOutcome::Completed ? "\r\nOK\r\n" : "kept");
        if (modem.joinable()) modem.join();
    }
}

TEST_F(Exchange, AWriteGivenUpForAStopIsNoModemFailure) {
    std::string reported;
    exchange.setErrorReporter([&](const std::string& text) { reported = text; });
    // The hand-over gives up because the stop arrived meanwhile.
    exchange.setWriter([this](const std::string&, bool mayGiveUp) {
        if (mayGiveUp) stop = true;
        return false;
    });
    std::string answer;
    secondsFor("AT+CMGL=4\r", 10, answer, ExchangeOutcome::Abandoned);
    EXPECT_EQ(reported, "");
    // A write that must not give up and still fails is the modem's failure, stop or not.
    EXPECT_EQ(exchange.ExecAtCommand("AT+CMGD=1\r", 10, "OK\r\n", "ERROR", answer, StopRule::Finish),
              ExchangeOutcome::Failed);
    EXPECT_EQ(reported, "Error ATCOMMAND AT+CMGD=1\r");
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

TEST_F(Exchange, UssdWaitsPastOkForTheNetworksLineAndALateOneIsSetAside) {
    std::vector<std::string> aside;
    exchange.setUnsolicitedObserver([&](const std::string& line) { aside.push_back(line); });
    answerWith({"\r\nOK\r\n", "\r\n+CUSD: 0,\"Sisa pulsa\",15\r\n"}, 300);
    std::string answer;
    const auto start = Clock::now();
    EXPECT_EQ(exchange.ExecUssdCommand("ATD*123#;\r", 20, "OK\r\n", "ERROR", answer), ExchangeOutcome::Completed);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 10.0) << "ends with the line, not the limit";
    EXPECT_EQ(answer, "\r\nOK\r\n\r\n+CUSD: 0,\"Sisa pulsa\",15\r\n");
    EXPECT_TRUE(aside.empty());

    // The network's line of an earlier request, arriving during the next command.
    answerWith({"\r\n+CUSD: 0,\"late\",15\r\n", "\r\nOK\r\n"});
    secondsFor("AT\r", 8, answer);
    EXPECT_EQ(answer, "\r\nOK\r\n");
    EXPECT_EQ(aside, std::vector<std::string>{"+CUSD: 0,\"late\",15"});
}

TEST_F(Exchange, ACodedErrorArrivesWholeAndIsRemembered) {
    answerWith({"\r\n+CMS ERR", "OR: 331\r\n"}, 30);
    std::string answer;
    EXPECT_LT(secondsFor("AT+CMGS=19\r", 10, answer), 5.0);
    EXPECT_EQ(answer, "\r\n+CMS ERROR: 331\r\n");
    EXPECT_EQ(exchange.lastModemError(), "+CMS ERROR: 331");
    answerWith({"\r\nOK\r\n"});
    secondsFor("AT\r", 8, answer);
    EXPECT_EQ(exchange.lastModemError(), "");
}

TEST_F(Exchange, UnsolicitedLinesNeverCountAsAnAnswer) {
    // A silent modem that only reports its signal is still silent.
    answerWith({"\r\n^RSSI:17\r\n", "\r\n^MODE:5,4\r\n"});
    std::string answer = "previous";
    secondsFor("AT\r", 1, answer);
    EXPECT_EQ(answer, "");
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

namespace {

// A pseudo-terminal whose slave side the serial line opens; the test plays the modem on the
// master side.
class SerialLineOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::openpty(&master, &slave, slaveName, nullptr, nullptr), 0);
        line.setReceiver([this](const std::string& bytes) {
            std::lock_guard lock(mutex);
            received += bytes;
        });
        ASSERT_EQ(line.open(serialConfigFor(QString::fromLatin1(slaveName), "115200", "1")), QString());
    }
    void TearDown() override {
        line.close();
        ::close(master);
        ::close(slave);
    }
    // Reads n bytes, or up to and including `end` when one is given.
    std::string readMaster(std::size_t n, const std::string& end = {}) {
        std::string out;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        const auto done = [&] { return end.empty() ? out.size() >= n : out.find(end) != std::string::npos; };
        while (!done() && Clock::now() < deadline) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buffer[256];
            const ssize_t got = ::read(master, buffer, sizeof buffer);
            if (got > 0) out.append(buffer, static_cast<std::size_t>(got));
        }
        return out;
    }

    int master = -1;
    int slave = -1;
    char slaveName[128] = {};
    SerialLine line;
    std::mutex mutex;
    std::string received;
};

TEST_F(SerialLineOnPty, TrafficFlowsWhileTheOpeningThreadIsBusy) {
    // The thread that opened the line (here the test's, in the module the UI thread) is busy,
    // as it is while a database statement waits: writes and reads go on regardless.
    std::atomic<bool> stop{false};
    bool wrote = false;
    std::thread worker([&] { wrote = line.write("AT\r", stop, true, 500); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    worker.join();
    EXPECT_TRUE(wrote);
    EXPECT_EQ(readMaster(3), "AT\r");

    ASSERT_EQ(::write(master, "\r\nOK\r\n", 6), 6);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::lock_guard lock(mutex);
    EXPECT_EQ(received, "\r\nOK\r\n");
}

TEST_F(SerialLineOnPty, AStopGivesUpOnlyWhereTheCallerAllowsIt) {
    std::atomic<bool> stop{true};
    EXPECT_TRUE(line.write("AT+CMGD=1\r", stop, false));
    EXPECT_EQ(readMaster(10), "AT+CMGD=1\r");
    line.close();
    EXPECT_FALSE(line.write("AT\r", stop, false)) << "a closed port writes nothing";
}

TEST_F(SerialLineOnPty, ALineThatTakesNothingGivesUpAtTheDeadline) {
    // Nobody reads the other end, as when a modem holds its line: the write waits only as
    // long as it was given, and a stop keeps the next command off the line.
    std::atomic<bool> stop{false};
    const auto start = Clock::now();
    EXPECT_FALSE(line.write(std::string(1 << 20, 'A'), stop, true, 300));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    stop = true;
    EXPECT_FALSE(line.write("AT\r", stop, true));
    stop = false;
    std::thread writer([&] { EXPECT_TRUE(line.write("ATE0\r", stop, true)); });
    const std::string taken = readMaster(0, "ATE0\r");
    writer.join();
    ASSERT_LT(taken.size(), std::size_t{1} << 20);
    EXPECT_EQ(taken.find_first_not_of('A'), taken.size() - 4) << "nothing of the stopped command went: " << taken.substr(taken.size() - 10);
}

} // namespace

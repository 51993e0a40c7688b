// The worker cycle against a scripted modem that answers at once, with the pauses of the
// cycle skipped, so that paths no simulator run reaches in reasonable time are covered.

#include <gtest/gtest.h>

#include <QString>

#include <map>
#include <mutex>
#include <stdexcept>

#include "modem/worker.h"

using namespace pelorin::modem;

namespace {

// Stored PDUs of the end-to-end samples: "Halo apa kabar" and a network service message.
const std::string kHalo = "07912618485400F9040B818021436587F90000628021013504820EC830FB0D0AC3C3A075581C9603";
const std::string kService = "07912618485400F9040781902621F30000628021013504820AD03A7B1E0685DDE430";

std::string listingOf(const std::vector<std::string>& pdus) {
    std::string answer = "\r\n";
    for (std::size_t i = 0; i < pdus.size(); ++i)
        answer += "+CMGL: " + std::to_string(i + 1) + ",0,,30\r\n" + pdus[i] + "\r\n";
    return answer + "\r\nOK\r\n";
}

class WorkerCycle : public ::testing::Test {
protected:
    WorkerCycle() {
        exchange.setWriter([this](const std::string& bytes, bool) {
            std::string reply;
            {
                std::lock_guard lock(mutex);
                written.push_back(bytes);
                reply = answerFor(bytes);
            }
            exchange.ComPort1RxChar(reply);
            return true;
        });
        services.exchange = &exchange;
        services.StopFlag = &stop;
        services.gate = &gate;
        services.UseSimStorage = &useSim;
        services.SetPortError = [this](const std::string& text) {
            std::lock_guard lock(mutex);
            errors.push_back(text);
            stop = true;
        };
        services.showProgress = [this](const std::string& text) { progress(text); };
        services.sleep = [](int) {};
    }

    // The modem's answer: the first scripted answer whose prefix the command starts with (used
    // up when it was given a count), else "OK".
    std::string answerFor(const std::string& command) {
        for (auto it = script.begin(); it != script.end(); ++it) {
            if (command.rfind(it->first, 0) != 0) continue;
            std::string answer = it->second.front();
            if (it->second.size() > 1) it->second.erase(it->second.begin());
            return answer;
        }
        return "\r\nOK\r\n";
    }
    virtual void progress(const std::string& text) {
        // The cycle number is the only all-digit text the worker shows.
        if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) ++cycles;
        if (cycles >= stopAfterCycles) stop = true;
    }
    void run(WorkerConfig config, WorkerHooks hooks) {
        stop = false;
        cycles = 0;
        TMyThread worker(std::move(config), services, std::move(hooks));
        worker.start();
        ASSERT_TRUE(worker.wait(60000));
    }
    std::vector<std::string> commandsStartingWith(const std::string& prefix) {
        std::vector<std::string> out;
        for (const std::string& c : written)
            if (c.rfind(prefix, 0) == 0) out.push_back(c);
        return out;
    }

    std::atomic<bool> stop{false};
    std::atomic<bool> useSim{false};
    BatchGate gate;
    AtExchange exchange{stop};
    WorkerServices services;
    std::mutex mutex;
    std::vector<std::string> written;
    std::vector<std::string> errors;
    std::map<std::string, std::vector<std::string>> script;
    int cycles = 0;
    int stopAfterCycles = 2;
};

WorkerConfig gsm(bool send = false, bool receive = true) {
    return {"5", "WAVECOM", "0", send, receive};
}

TEST_F(WorkerCycle, CycleNumbersWrapFrom9998ToZero) {
    std::vector<std::string> shown;
    services.showProgress = [&](const std::string& text) {
        shown.push_back(text);
        if (text == "0" || shown.size() > 10010) stop = true;
    };
    run(gsm(false, false), {});
    ASSERT_GE(shown.size(), 3u);
    EXPECT_EQ(shown[shown.size() - 2], "9998");
    EXPECT_EQ(shown.back(), "0");
    EXPECT_TRUE(errors.empty());
}

TEST_F(WorkerCycle, FailuresReportTheStepReached) {
    struct Case {
        const char* name;
        WorkerConfig config;
        bool throwInStore; // else in the dispatch
        const char* expected;
    };
    const Case cases[] = {
        {"dispatch before any listing", gsm(true, true), false, "Modem ERRORx:0--dispatch failed"},
        {"storing a listed message", gsm(false, true), true, "Modem ERRORx:3-*-store failed"},
        {"web requests counted", {"5", "MERL-SENDER", "0", true, false}, false, "Modem ERRORx:2--dispatch failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        errors.clear();
        written.clear();
        script["AT+CMGL=4"] = {listingOf({kHalo})};
        int batches = 0;
        WorkerHooks hooks;
        hooks.DispatchOutbound = [&](const std::string&, int) -> std::vector<std::string> {
            // The web type hands back two requests first, then fails.
            if (c.config.modemType == "MERL-SENDER" && batches++ == 0) return {"http://a", "http://b"};
            if (!c.throwInStore) throw std::runtime_error("dispatch failed");
            return {};
        };
        hooks.StoreReceivedMessage = [&](const std::string&, const std::string&, const std::string&,
                                         const std::string&) -> std::string {
            if (c.throwInStore) throw std::runtime_error("store failed");
            return {};
        };
        stopAfterCycles = 1000;
        cycles = 0;
        run(c.config, hooks);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0], c.expected);
        EXPECT_TRUE(commandsStartingWith("AT+CMGD").empty()) << "a message whose handling failed stays";
    }
}

TEST_F(WorkerCycle, EchoOffIsRetriedOnceAndASecondFailureIsTheModemsError) {
    script["ATE0"] = {"\r\nERROR\r\n", "\r\nOK\r\n"};
    run(gsm(), {});
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(commandsStartingWith("ATE0").size(), 2u);
    EXPECT_EQ(commandsStartingWith("AT+CMGF=0").size(), 1u);
    EXPECT_EQ(written.front(), "\x1B") << "an open prompt is cancelled before anything else";

    written.clear();
    script["ATE0"] = {"\r\nERROR\r\n"};
    run(gsm(), {});
    EXPECT_EQ(errors, std::vector<std::string>{"Modem ERROR COM5"});
    EXPECT_TRUE(commandsStartingWith("AT+CMGF=0").empty());
}

TEST_F(WorkerCycle, BlankListingIsAModemThatDoesNotRespond) {
    // The modem says nothing to the listing; a clock that runs 5 s per look ends the wait.
    script["AT+CMGL=4"] = {""};
    qint64 now = 0;
    exchange.setClock([&now] { return now += 5000; });
    run(gsm(), {});
    EXPECT_EQ(errors, std::vector<std::string>{"Modem NOT RESPOND COM5"});
}

TEST_F(WorkerCycle, CdmaReadsUnreadThenReadMessagesAndHandlesBoth) {
    // Data line: sender length, sender, 12 stamp characters, 00, text length (hex), text.
    script["AT+CMGL=0;"] = {"\r\n+CMGL: 3,0\r\n0A0812345678261208105340000004baru\r\n\r\nOK\r\n"};
    script["AT+CMGL=1;"] = {"\r\n+CMGL: 7,1\r\n0A0812345678261208105340010004lama\r\n\r\nOK\r\n"};
    std::vector<std::string> stored;
    WorkerHooks hooks;
    hooks.StoreReceivedMessage = [&](const std::string& sender, const std::string& text, const std::string&,
                                     const std::string&) {
        stored.push_back(sender + ":" + text);
        return std::string();
    };
    stopAfterCycles = 2;
    run({"5", "NOKCDMA_6235", "0", false, true}, hooks);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(stored, (std::vector<std::string>{"0812345678:baru", "0812345678:lama"}));
    EXPECT_EQ(commandsStartingWith("AT+CMGD"), (std::vector<std::string>{"AT+CMGD= 3\r", "AT+CMGD= 7\r"}));
    EXPECT_TRUE(commandsStartingWith("AT+CMGF").empty());
}

TEST_F(WorkerCycle, StopDuringAPassEndsItAfterTheHandledMessageIsDeleted) {
    script["AT+CMGL=4"] = {listingOf({kHalo, kService, kHalo})};
    int handled = 0;
    int units = 0;
    WorkerHooks hooks;
    hooks.StoreReceivedMessage = [&](const std::string&, const std::string&, const std::string&,
                                     const std::string&) {
        ++handled;
        stop = true; // the stop arrives while the first message is being handled
        return std::string();
    };
    hooks.Atomically = [&](const std::function<void()>& body) {
        ++units;
        body();
    };
    stopAfterCycles = 1000;
    run(gsm(), hooks);
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(units, 1);
    EXPECT_EQ(commandsStartingWith("AT+CMGD"), std::vector<std::string>{"AT+CMGD=1\r"});
}

} // namespace

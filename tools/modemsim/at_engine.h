#pragma once
// The simulated modem's command interpreter: bytes from the module go in, timed answer bytes
// come out. No I/O and no clock of its own ("now" is passed in), so every behaviour and
// fault can be tested without a terminal. Never throws beyond std::bad_alloc.

#include "modemsim/message_store.h"
#include "modemsim/unsolicited.h"

#include <chrono>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin::modemsim {

enum class Mode { Gsm, Cdma };
enum class Storage { Me, Sm };

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// A fault aimed at commands that begin with `prefix` (case-insensitive; empty: every command).
// `remaining` < 0 means for good, otherwise the rule retires after that many matches.
struct FaultRule {
    enum class Kind { Silence, Error };
    Kind kind = Kind::Error;
    std::string prefix;
    int remaining = -1;
    std::string error = "ERROR"; // the error line: "ERROR", "+CMS ERROR: 500", "+CME ERROR: 11"
};

class AtEngine {
public:
    // CDMA sends "AT+CMGS=<argument>" without a CR; an argument whose length fields do not
    // add up is taken as complete after this much quiet.
    static constexpr Millis kCdmaIdleGap{500};
    // A module that dies between the "> " prompt and Ctrl-Z must not leave the next one
    // talking into a PDU forever.
    static constexpr Millis kPromptTimeout{30000};
    // Longest command or PDU kept before a terminator arrives.
    static constexpr std::size_t kMaxEntry = 64 * 1024;
    static constexpr std::size_t kMaxLogEntries = 200000;

    explicit AtEngine(Mode mode);

    // Module -> modem.
    void receive(std::string_view bytes, Clock::time_point now);
    // Ends the CDMA send argument or the prompt when their time is up.
    void expire(Clock::time_point now);
    // Earliest moment at which expire() or takeOutput() has something to do.
    std::optional<Clock::time_point> nextWake() const;
    // Modem -> module: every answer byte due by `now`, in order.
    std::string takeOutput(Clock::time_point now);
    // After a hang-up: half-received input and queued answers are gone.
    void resetLine();
    // A modem plugged in again: the line is reset, echo is on and ME is selected again.
    // Stored messages, logs, settings and faults stay.
    void restart();

    Mode mode() const { return mode_; }
    bool echo() const { return echo_; }
    Storage selectedStorage() const { return selected_; }
    MessageStorage& storage(Storage which) { return which == Storage::Me ? me_ : sm_; }
    MessageStorage& cdmaStorage() { return cdma_; }

    // Raw bytes of every command line (CR included) and every PDU (Ctrl-Z included).
    const std::vector<std::string>& sentLog() const { return log_; }
    // PDUs (GSM) and arguments (CDMA) the modem accepted for sending.
    const std::vector<std::string>& submitted() const { return submitted_; }
    void clearLogs();

    void setCusdAnswer(std::string text) { cusdAnswer_ = std::move(text); }
    const std::string& cusdAnswer() const { return cusdAnswer_; }
    // The network's whole line as it is ("+CUSD: 0,\"0053\",72", "+CUSD: 2"); empty: the
    // default line around the answer text, dcs 15.
    void setCusdLine(std::string line) { cusdLine_ = std::move(line); }
    std::string cusdLine() const;
    void setCusdDelay(Millis delay) { cusdDelay_ = delay; }
    // The network's line before the modem's OK instead of after it.
    void setCusdBeforeOk(bool before) { cusdBeforeOk_ = before; }

    // "+CMTI" after each arrival: Auto follows the module's AT+CNMI (<mt> 1 or more).
    enum class Announce { Auto, On, Off };
    void setAnnounce(Announce announce) { announce_ = announce; }
    Announce announce() const { return announce_; }
    // A message has arrived in `which` at `index`: announced as a real modem does.
    void announceArrival(Storage which, int index, Clock::time_point now);
    UnsolicitedLines& unsolicited() { return unsolicited_; }

    // What AT+CSQ, AT+CREG? and AT+COPS? answer.
    struct Network {
        int rssi = 20;        // 0-31, 99 unknown
        int ber = 99;         // 0-7, 99 unknown
        int registration = 1; // <stat>: 0 not searching, 1 home, 2 searching, 3 denied, 4 unknown, 5 roaming
        std::string operatorName = "SIMULATED";
        int cregReports = 0;  // <n> of AT+CREG=<n>
    };
    const Network& network() const { return network_; }
    void setSignal(int rssi, int ber) {
        network_.rssi = rssi;
        network_.ber = ber;
    }
    void setOperatorName(std::string name) { network_.operatorName = std::move(name); }
    // A new registration state; announced with "+CREG: <stat>" after AT+CREG=1 or 2.
    void setRegistration(int stat, Clock::time_point now);
    // A refused submission answers "+CMS ERROR: <code>" (500 unless told otherwise).
    void setCmgsSucceeds(bool ok, int errorCode = 500) {
        cmgsSucceeds_ = ok;
        cmgsError_ = errorCode;
    }
    bool cmgsSucceeds() const { return cmgsSucceeds_; }

    void addFaultRule(FaultRule rule) { rules_.push_back(std::move(rule)); }
    void setAnswerDelay(Millis delay) { answerDelay_ = delay; }
    void setGarbage(int count, unsigned seed);
    void clearFaults();
    std::string describeFaults() const;

private:
    enum class Input { Command, Pdu, CdmaSend };
    struct Chunk {
        Clock::time_point due;
        std::string bytes;
    };

    void receiveByte(char c, Clock::time_point now);
    void finishEntry(Clock::time_point now);
    void finishPdu(bool submit, Clock::time_point now);
    void finishCdmaSend(Clock::time_point now);
    bool cdmaArgumentComplete() const;
    void execute(std::string_view command, Clock::time_point now);
    void dispatch(std::string_view command, Clock::time_point now);
    bool dispatchStorage(std::string_view command, std::string_view upper, Clock::time_point now);
    bool dispatchNetwork(std::string_view upper, Clock::time_point now);
    void selectStorage(std::string_view upper, Clock::time_point now);
    void startSubmit(std::string_view upper, Clock::time_point now);
    void ussd(std::string_view command, Clock::time_point now);
    void dial(std::string_view command, Clock::time_point now);
    void answerUssd(Clock::time_point now);
    void setIndications(std::string_view args);
    const FaultRule* matchRule(std::string_view command);
    bool silentAll() const;

    void flushEcho(Clock::time_point now);
    void reply(std::string bytes, Clock::time_point now);
    void queue(std::string bytes, Clock::time_point due);
    void record(std::string entry);
    std::string garbage();
    std::string nextReference();

    Mode mode_;
    bool echo_ = true;
    Storage selected_ = Storage::Me;
    MessageStorage me_{100};
    MessageStorage sm_{30};
    MessageStorage cdma_{100};

    Input input_ = Input::Command;
    std::string entry_;     // raw bytes of the command or PDU being received
    std::string pendingEcho_;
    int expectedOctets_ = 0; // the <length> of the pending AT+CMGS
    std::optional<Clock::time_point> inputDeadline_;
    std::deque<Chunk> output_;
    int reference_ = 0;

    std::vector<std::string> log_;
    std::vector<std::string> submitted_;

    std::string cusdAnswer_ = "Sisa pulsa Rp 10000";
    std::string cusdLine_;
    Millis cusdDelay_{0};
    bool cusdBeforeOk_ = false;
    Announce announce_ = Announce::Auto;
    int cnmiMt_ = 0; // <mt> of the last AT+CNMI: 0 stores arrivals silently
    UnsolicitedLines unsolicited_;
    Network network_;
    bool cmgsSucceeds_ = true;
    int cmgsError_ = 500;

    std::vector<FaultRule> rules_;
    Millis answerDelay_{0};
    int garbageCount_ = 0;
    unsigned garbageSeed_ = 1;
    std::mt19937 rng_{1};
};

} // namespace pelorin::modemsim

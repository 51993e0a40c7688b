#pragma once
// One AT command exchange at a time: write a command, then collect what the modem sends
// until the ok or error marker shows up or a deadline passes. Lines the modem sends on its
// own (new-message indications, RING, registration and signal reports) are set aside
// wherever they fall and never become part of an answer. The worker thread runs
// exchanges; the receive handler runs on the thread that owns the serial port. They share
// the receive buffer under one lock; the flags are atomic.
// Never throws: a write failure is handed to the error callback and ends the exchange.

#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "modem/answer_buffer.h"

namespace pelorin::modem {

enum class ExchangeOutcome {
    Completed,  // a marker arrived or a deadline passed; the answer is what came back
    Refused,    // StopFlag was set before anything was sent
    Failed,     // the command could not be written; reported through the error callback
    Abandoned,  // StopFlag was set while writing or waiting; nobody needs the answer any more
};

// What a stop does to an exchange. Most exchanges give way at once; an exchange whose
// effect must not be repeated by the next start (a PDU handed to the modem, the deletion of
// a message already stored) runs to its answer, bounded by its own limits.
enum class StopRule {
    GiveWay,           // refused before the write, abandoned while writing or waiting
    FinishOnceWritten, // refused before the write; once written it waits for its answer
    Finish,            // never refused nor abandoned because of a stop
};

class AtExchange {
public:
    // Writes bytes to the modem; false when the port is not open, the write failed, or
    // (only when `mayGiveUp`) StopFlag was set before the bytes were handed over, in which
    // case they are never written.
    using Writer = std::function<bool(const std::string& bytes, bool mayGiveUp)>;
    using Observer = std::function<void(const std::string&)>;
    using Clock = std::function<qint64()>; // milliseconds since the epoch

    explicit AtExchange(std::atomic<bool>& stopFlag);

    void setWriter(Writer writer) { writer_ = std::move(writer); }
    // Called with the command just before it is written (the "START <command>" display).
    void setCommandObserver(Observer observer) { commandObserver_ = std::move(observer); }
    // Called with the end of the receive buffer (at most kShownBytes) after every arrival.
    void setBufferObserver(Observer observer) { bufferObserver_ = std::move(observer); }
    // Called with every line set aside as unsolicited, on the receiving thread.
    void setUnsolicitedObserver(Observer observer) { unsolicitedObserver_ = std::move(observer); }
    // Called with "Error ATCOMMAND <command>" when the command cannot be written.
    void setErrorReporter(Observer reporter) { errorReporter_ = std::move(reporter); }
    // Called on the exchanging thread with each completed command and its whole answer.
    using ExchangeObserver = std::function<void(const std::string& command, const std::string& answer)>;
    void setExchangeObserver(ExchangeObserver observer) { exchangeObserver_ = std::move(observer); }
    void setClock(Clock clock) { clock_ = std::move(clock); }

    // Sends `command` exactly as given and waits for `okMarker` or `errorMarker` (either
    // ends the wait), for at most `limitSeconds`, and for at most 10 seconds of silence.
    // Deadlines have whole-second resolution. `answer` receives everything received,
    // NULs and unsolicited lines removed, only when the outcome is Completed; otherwise it
    // keeps its value. The error marker waits one poll step for the rest of its line, so
    // that "+CMS ERROR: 500" arrives whole.
    ExchangeOutcome ExecAtCommand(const std::string& command, int limitSeconds,
                                  const std::string& okMarker, const std::string& errorMarker,
                                  std::string& answer, StopRule rule = StopRule::GiveWay);

    // A USSD request: the network's "+CUSD:" line is the answer, so the wait goes on past
    // the modem's OK until that line is complete (its quoted text may span lines), and ends
    // at the error marker outside that text, a failed dial, or the deadlines. `okMarker`
    // still ends it right after the line's closing quote (",15").
    ExchangeOutcome ExecUssdCommand(const std::string& command, int limitSeconds,
                                    const std::string& okMarker, const std::string& errorMarker,
                                    std::string& answer, StopRule rule = StopRule::GiveWay);

    // The coded error ("+CMS ERROR: 38") of the last completed exchange; "" when it had none.
    std::string lastModemError() const;

    // Writes bytes that expect no answer of their own (the ESC that cancels a "> " prompt),
    // whatever StopFlag says. False when they could not be written; nothing is reported.
    bool writeRaw(const std::string& bytes);

    // The receive handler: appends what arrived and ends the wait when a marker is in it.
    void ComPort1RxChar(const std::string& bytes);

    static constexpr int kPollMs = 100;
    static constexpr int kSilenceSeconds = 10;
    static constexpr std::size_t kShownBytes = 4096;

private:
    ExchangeOutcome exchange(const std::string& command, int limitSeconds, const std::string& okMarker,
                             const std::string& errorMarker, std::string& answer, StopRule rule,
                             AnswerBuffer::Ending ending);
    bool waitForAnswer(qint64 limitDeadline, qint64 silenceDeadline, bool mayAbandon);
    void noteAnswer(const std::string& command, const std::string& answer, bool overflowed);
    void reportUnsolicited(const std::string& line) const;
    qint64 nowMs() const;
    qint64 nowSeconds() const { return nowMs() / 1000; }

    std::atomic<bool>& StopFlag;
    std::atomic<bool> AwaitingAnswer{false};
    mutable std::mutex rxMutex_; // guards RxBuffer, errorOpenAt_ and lastModemError_
    std::condition_variable answered_; // a marker arrived
    AnswerBuffer RxBuffer;
    qint64 errorOpenAt_ = 0; // when the error marker arrived without the rest of its line
    std::string lastModemError_;
    // The coded error last logged per command, so that a modem refusing the same command
    // every cycle is logged once, not every cycle. Worker thread only.
    std::map<std::string, std::string> loggedErrors_;

    Writer writer_;
    Observer commandObserver_;
    Observer bufferObserver_;
    Observer unsolicitedObserver_;
    Observer errorReporter_;
    ExchangeObserver exchangeObserver_;
    Clock clock_;
};

} // namespace pelorin::modem

#pragma once
// One AT command exchange at a time: write a command, then collect what the modem sends
// until the ok or error marker shows up or a deadline passes. The worker thread runs
// exchanges; the receive handler runs on the thread that owns the serial port. They share
// the receive buffer under one lock; the flags are atomic.
// Never throws: a write failure is handed to the error callback and ends the exchange.

#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

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
    // Called with the receive buffer after every arrival.
    void setBufferObserver(Observer observer) { bufferObserver_ = std::move(observer); }
    // Called with "Error ATCOMMAND <command>" when the command cannot be written.
    void setErrorReporter(Observer reporter) { errorReporter_ = std::move(reporter); }
    void setClock(Clock clock) { clock_ = std::move(clock); }

    // Sends `command` exactly as given and waits for `okMarker` or `errorMarker` (either
    // ends the wait), for at most `limitSeconds`, and for at most 10 seconds of silence.
    // Deadlines have whole-second resolution. `answer` receives everything received,
    // NULs removed, only when the outcome is Completed; otherwise it keeps its value.
    ExchangeOutcome ExecAtCommand(const std::string& command, int limitSeconds,
                                  const std::string& okMarker, const std::string& errorMarker,
                                  std::string& answer, StopRule rule = StopRule::GiveWay);

    // Writes bytes that expect no answer of their own (the ESC that cancels a "> " prompt),
    // whatever StopFlag says. False when they could not be written; nothing is reported.
    bool writeRaw(const std::string& bytes);

    // The receive handler: appends what arrived and ends the wait when a marker is in it.
    void ComPort1RxChar(const std::string& bytes);

    static constexpr int kPollMs = 100;
    static constexpr int kSilenceSeconds = 10;

private:
    bool waitForAnswer(qint64 limitDeadline, qint64 silenceDeadline, bool mayAbandon);
    qint64 nowSeconds() const;

    std::atomic<bool>& StopFlag;
    std::atomic<bool> AwaitingAnswer{false};
    std::mutex rxMutex_; // guards RxBuffer and the markers
    std::condition_variable answered_; // a marker arrived
    std::string RxBuffer;
    std::string OkMarker;
    std::string ErrorMarker;

    Writer writer_;
    Observer commandObserver_;
    Observer bufferObserver_;
    Observer errorReporter_;
    Clock clock_;
};

} // namespace pelorin::modem

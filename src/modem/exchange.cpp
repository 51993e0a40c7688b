#include "modem/exchange.h"

#include <QDateTime>

#include <chrono>
#include <deque>

#include "log/log.h"
#include "modem/error_codes.h"
#include "modem/unsolicited.h"

namespace pelorin::modem {
namespace {

// "AT+CMGS=25\r" -> "AT+CMGS": what a log line names; a PDU is not worth repeating.
std::string commandName(const std::string& command) {
    if (command.rfind("AT", 0) != 0 && command.rfind("at", 0) != 0) return "a PDU";
    return command.substr(0, std::min<std::size_t>(command.find_first_of("=?;\r"), 24));
}

} // namespace

AtExchange::AtExchange(std::atomic<bool>& stopFlag) : StopFlag(stopFlag) {}

qint64 AtExchange::nowMs() const {
    // Epoch time, not the time of day: a deadline after midnight is simply later.
    return clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch();
}

ExchangeOutcome AtExchange::ExecAtCommand(const std::string& command, int limitSeconds,
                                          const std::string& okMarker,
                                          const std::string& errorMarker, std::string& answer,
                                          StopRule rule) {
    return exchange(command, limitSeconds, okMarker, errorMarker, answer, rule, AnswerBuffer::Ending::Marker);
}

ExchangeOutcome AtExchange::ExecUssdCommand(const std::string& command, int limitSeconds,
                                            const std::string& okMarker,
                                            const std::string& errorMarker, std::string& answer,
                                            StopRule rule) {
    return exchange(command, limitSeconds, okMarker, errorMarker, answer, rule, AnswerBuffer::Ending::UssdLine);
}

ExchangeOutcome AtExchange::exchange(const std::string& command, int limitSeconds,
                                     const std::string& okMarker, const std::string& errorMarker,
                                     std::string& answer, StopRule rule, AnswerBuffer::Ending ending) {
    {
        std::lock_guard lock(rxMutex_);
        AwaitingAnswer = true;
        RxBuffer.reset(OwnAnswerPrefix(command), okMarker, errorMarker, ending);
        errorOpenAt_ = 0;
    }
    if (StopFlag && rule != StopRule::Finish) return ExchangeOutcome::Refused;

    if (commandObserver_) commandObserver_(command);
    const qint64 start = nowSeconds();
    const qint64 limitDeadline = start + limitSeconds;
    const qint64 silenceDeadline = start + kSilenceSeconds;

    const bool mayGiveUp = rule == StopRule::GiveWay;
    if (!writer_ || !writer_(command, mayGiveUp)) {
        AwaitingAnswer = false;
        // A write given up because of a stop is part of the stop, not a modem failure.
        if (mayGiveUp && StopFlag) return ExchangeOutcome::Abandoned;
        if (errorReporter_) errorReporter_("Error ATCOMMAND " + command);
        return ExchangeOutcome::Failed;
    }
    if (!waitForAnswer(limitDeadline, silenceDeadline, mayGiveUp)) return ExchangeOutcome::Abandoned;

    bool overflowed = false;
    {
        std::lock_guard lock(rxMutex_);
        answer = RxBuffer.answer();
        overflowed = RxBuffer.overflowed();
        lastModemError_ = ModemErrorLine(answer);
    }
    noteAnswer(command, answer, overflowed);
    if (exchangeObserver_) exchangeObserver_(command, answer);
    return ExchangeOutcome::Completed;
}

std::string AtExchange::lastModemError() const {
    std::lock_guard lock(rxMutex_);
    return lastModemError_;
}

void AtExchange::noteAnswer(const std::string& command, const std::string& answer, bool overflowed) {
    const std::string name = commandName(command);
    if (overflowed) {
        log::warning("the answer to " + name + " was longer than " + std::to_string(AnswerBuffer::kCapacity / 1024) +
                     " KiB; the rest was dropped");
    }
    const std::string error = ModemErrorLine(answer);
    std::string& logged = loggedErrors_[name];
    if (!error.empty() && error != logged) {
        log::warning("the modem answered " + name + " with " + error + " (" + ModemErrorMeaning(answer) + ")");
    }
    logged = error;
}

bool AtExchange::writeRaw(const std::string& bytes) {
    return writer_ && writer_(bytes, false);
}

bool AtExchange::waitForAnswer(qint64 limitDeadline, qint64 silenceDeadline, bool mayAbandon) {
    std::unique_lock lock(rxMutex_);
    while (AwaitingAnswer) {
        // Woken at once by a marker; otherwise the deadlines and the stop are checked every poll.
        answered_.wait_for(lock, std::chrono::milliseconds(kPollMs), [this] { return !AwaitingAnswer; });
        if (!AwaitingAnswer) break;
        // A stop cannot be served by waiting out a listing of up to 100 seconds.
        if (mayAbandon && StopFlag) return false;
        const qint64 now = nowMs();
        if (errorOpenAt_ != 0 && now - errorOpenAt_ >= kPollMs) break; // the error's line stays open
        if (RxBuffer.empty() && now / 1000 > silenceDeadline) break;
        if (now / 1000 > limitDeadline) break;
    }
    AwaitingAnswer = false;
    return true;
}

void AtExchange::reportUnsolicited(const std::string& line) const {
    // A network's USSD line outside a USSD exchange came too late for its request, or was
    // sent by the network on its own: worth an operator's look, never an answer.
    if (line.rfind("+CUSD:", 0) == 0) log::info("USSD line set aside, no USSD request waits for it: " + line);
    else log::debug("unsolicited: " + line);
    if (unsolicitedObserver_) unsolicitedObserver_(line);
}

void AtExchange::ComPort1RxChar(const std::string& bytes) {
    std::string shown;
    std::deque<std::string> aside;
    {
        std::lock_guard lock(rxMutex_);
        RxBuffer.append(bytes);
        const AnswerBuffer::State state = RxBuffer.state();
        if (state == AnswerBuffer::State::Complete) {
            AwaitingAnswer = false;
            answered_.notify_all();
        } else if (state == AnswerBuffer::State::ErrorLineOpen && errorOpenAt_ == 0) {
            errorOpenAt_ = nowMs();
        }
        aside = RxBuffer.takeUnsolicited();
        // The whole buffer may be hundreds of KB; a display shows its end.
        if (bufferObserver_) shown = RxBuffer.tail(kShownBytes);
    }
    for (const std::string& line : aside) reportUnsolicited(line);
    if (bufferObserver_) bufferObserver_(shown);
}

} // namespace pelorin::modem

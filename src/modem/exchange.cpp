#include "modem/exchange.h"

#include <QDateTime>

#include <algorithm>
#include <chrono>

namespace pelorin::modem {
namespace {

bool containsMarker(const std::string& buffer, const std::string& marker) {
    return !marker.empty() && buffer.find(marker) != std::string::npos;
}

} // namespace

AtExchange::AtExchange(std::atomic<bool>& stopFlag) : StopFlag(stopFlag) {}

qint64 AtExchange::nowSeconds() const {
    // Epoch seconds, not the time of day: a deadline after midnight is simply later.
    const qint64 ms = clock_ ? clock_() : QDateTime::currentMSecsSinceEpoch();
    return ms / 1000;
}

ExchangeOutcome AtExchange::ExecAtCommand(const std::string& command, int limitSeconds,
                                          const std::string& okMarker,
                                          const std::string& errorMarker, std::string& answer,
                                          StopRule rule) {
    {
        std::lock_guard lock(rxMutex_);
        AwaitingAnswer = true;
        RxBuffer.clear();
        OkMarker = okMarker;
        ErrorMarker = errorMarker;
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

    std::lock_guard lock(rxMutex_);
    std::erase(RxBuffer, '\0');
    answer = RxBuffer;
    return ExchangeOutcome::Completed;
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
        std::erase(RxBuffer, '\0');
        const bool empty = RxBuffer.empty();
        const qint64 now = nowSeconds();
        if (empty && now > silenceDeadline) break;
        if (now > limitDeadline) break;
    }
    return true;
}

void AtExchange::ComPort1RxChar(const std::string& bytes) {
    std::string shown;
    {
        std::lock_guard lock(rxMutex_);
        RxBuffer += bytes;
        if (containsMarker(RxBuffer, OkMarker) || containsMarker(RxBuffer, ErrorMarker)) {
            AwaitingAnswer = false;
            answered_.notify_all();
        }
        if (bufferObserver_) shown = RxBuffer;
    }
    if (bufferObserver_) bufferObserver_(shown);
}

} // namespace pelorin::modem

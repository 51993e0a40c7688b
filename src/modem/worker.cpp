#include "modem/worker.h"

#include <QString>

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>

#include "log/log.h"
#include "modem/error_codes.h"
#include "modem/modem_types.h"
#include "modem/set_aside.h"
#include "pdu/text_utils.h"

namespace pelorin::modem {
namespace {

constexpr const char* kOk = "OK\r\n";
constexpr const char* kError = "ERROR";
constexpr const char* kServiceSender = "62962"; // network service messages: deleted unread
constexpr char kEscape = 0x1B;
constexpr int kEscapeSettleMs = 500;

bool blank(const std::string& text) {
    return pdu::TrimControls(text).empty();
}

bool badEchoAnswer(const std::string& answer) {
    return answer.find("ERROR") != std::string::npos || blank(answer);
}

// The batch delay as a whole number of seconds; nothing when it is not a number.
std::optional<int> parseDelay(const std::string& text) {
    bool ok = false;
    const int value = QString::fromStdString(text).trimmed().toInt(&ok);
    if (!ok) return std::nullopt;
    return value;
}

} // namespace

TMyThread::TMyThread(WorkerConfig config, WorkerServices services, WorkerHooks hooks,
                     QObject* parent)
    : QThread(parent), config_(std::move(config)), services_(std::move(services)),
      hooks_(std::move(hooks)), heldParts_(config_.partWaitSeconds) {}

bool TMyThread::hasModem() const {
    return !isType(kMerlSender) && !isType(kMerlCenter);
}

void TMyThread::show(const std::string& text) const {
    if (services_.showProgress) services_.showProgress(text);
}

void TMyThread::pause(int ms) const {
    if (services_.sleep) services_.sleep(ms);
    else QThread::msleep(static_cast<unsigned long>(ms));
}

void TMyThread::nap(int ms) const {
    if (services_.napUntilStop) {
        if (!stopping()) services_.napUntilStop(ms);
        return;
    }
    // Sleeps in slices so that a stop never waits out a whole pause.
    for (int slept = 0; slept < ms && !stopping(); slept += 50) pause(std::min(50, ms - slept));
}

bool TMyThread::command(const std::string& text, int limitSeconds, std::string& answer,
                        StopRule rule) {
    return services_.exchange->ExecAtCommand(text, limitSeconds, kOk, kError, answer, rule) ==
           ExchangeOutcome::Completed;
}

void TMyThread::run() {
    const std::optional<int> delay = parseDelay(config_.edelay);
    if (!delay) {
        // Refused before any modem traffic, where the operator looks: in the port row.
        services_.SetPortError("delay \"" + config_.edelay + "\" is not a whole number of seconds");
        return;
    }
    batchDelay_ = *delay;
    show("port=" + config_.port);
    if (!lookUpOwnNumber()) return;
    if (hasModem() && !initialiseModem()) return;

    services_.gate->setInterval(std::chrono::milliseconds(std::max(0, batchDelay_) * 1000LL));
    CycleCounter = 0;
    while (true) {
        if (runCycle() == Step::EndWorker) return;
        if (stopping()) return;
    }
}

bool TMyThread::lookUpOwnNumber() {
    // Stored with every received message: a failed lookup is waited out or reported like any
    // other database step, never taken for a port without a number.
    while (hooks_.LookupOwnNumber && !stopping()) {
        try {
            ownNumber_ = hooks_.LookupOwnNumber(config_.port);
            return true;
        } catch (const std::exception& e) {
            if (!services_.recover || !services_.recover(e)) {
                reportCycleError(e);
                return false;
            }
            nap(200);
        }
    }
    return !stopping();
}

bool TMyThread::initialiseModem() {
    // A run that ended between an "AT+CMGS=" prompt and its PDU left the modem collecting a
    // PDU, which would swallow the commands below: ESC cancels such a prompt and is
    // harmless otherwise. Whatever it answers is cleared by the next exchange.
    services_.exchange->writeRaw(std::string(1, kEscape));
    nap(kEscapeSettleMs);
    std::string answer;
    bool sent = command("ATE0\r", 2, answer);
    if (stopping()) return false;
    show("hasil=" + answer + config_.port);
    if (!sent || badEchoAnswer(answer)) {
        sent = command("ATE0\r", 2, answer);
        if (stopping()) return false;
        show("ulanghasilat=" + answer);
        if (!sent || badEchoAnswer(answer)) {
            *services_.StopFlag = true;
            pause(300);
            services_.SetPortError(PortErrorText("Modem ERROR COM" + config_.port, answer));
            return false;
        }
    }
    if (isType(kNokiaCdma)) return true;
    std::string ignored;
    command("AT+CMGF=0\r", 2, ignored);
    if (isType(kSiemens)) {
        command("AT+CNMI = 1,1,0,2\r", 2, ignored);
        command("AT+CMEC=2\r", 2, ignored);
        command("AT+CSMS=0\r", 2, ignored);
    } else {
        command("AT+STSF=2,\"5FFFFFFF7F\"\r", 2, ignored);
        command("AT+STSF=1\r", 5, ignored);
        command("AT+CNMI=0,1,0,0,0\r", 2, ignored);
        command("AT+CUSD=1\r", 5, ignored);
    }
    return !stopping();
}

TMyThread::Step TMyThread::runCycle() {
    try {
        int next = CycleCounter + 1;
        if (next == 9999) next = 0;
        CycleCounter = next;
        show(std::to_string(next));
        if (outbound() == Step::EndWorker) return Step::EndWorker;
        if (hasModem() && readyCheck() == Step::EndWorker) return Step::EndWorker;
        nap(200);
        if (config_.ReceiveEnabled && hasModem() && readMessages() == Step::EndWorker) {
            return Step::EndWorker;
        }
        // On the types without a modem the dial commands are answered as not dialled.
        if (hooks_.RunDialCommands && !stopping()) hooks_.RunDialCommands(config_.port);
        if (hooks_.RunOperatorRequests && hasModem() && !stopping()) hooks_.RunOperatorRequests();
        if (hooks_.ReadModemHealth && hasModem() && !stopping()) hooks_.ReadModemHealth();
    } catch (const std::exception& e) {
        if (services_.recover && services_.recover(e)) return Step::Continue;
        reportCycleError(e);
    }
    return Step::Continue;
}

void TMyThread::reportCycleError(const std::exception& e) {
    // After a stop, nothing more is reported: the row keeps what STOP or the first report wrote.
    if (!stopping()) {
        services_.SetPortError("Modem ERRORx:" + std::to_string(StepCounter) + "-" + StepMarker + "-" + e.what());
    }
    *services_.StopFlag = true;
}

TMyThread::Step TMyThread::outbound() {
    if (!config_.SendEnabled || isType(kMerlCenter) || stopping()) return Step::Continue;
    if (batchDelay_ > 0 && services_.gate->isRunning()) return Step::Continue;
    std::vector<std::string> urls;
    if (hooks_.DispatchOutbound) urls = hooks_.DispatchOutbound(config_.port, batchDelay_ <= 0 ? 4 : 2);
    if (batchDelay_ > 0) services_.gate->start();
    // The web type's requests were made inside the batch: spaced, answered, each recorded.
    StepCounter += static_cast<int>(urls.size());
    return Step::Continue;
}

TMyThread::Step TMyThread::readyCheck() {
    const bool sent = command("AT\r", 8, answer_);
    if (sent && answer_.empty() && !stopping()) {
        services_.SetPortError(PortErrorText("Modem NOT RESPOND COM" + config_.port, answer_));
        return Step::EndWorker;
    }
    return Step::Continue;
}

namespace {

constexpr const char* kCdmaStorage = "CDMA"; // both lists of the CDMA phone are one storage

std::int64_t steadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

std::int64_t TMyThread::clockNow() const {
    return services_.clockSeconds ? services_.clockSeconds() : steadySeconds();
}

TMyThread::Step TMyThread::readMessages() {
    nap(1000);
    if (stopping()) return Step::Continue;
    if (isType(kNokiaCdma)) {
        readCdma();
        return Step::Continue;
    }
    const bool sim = *services_.UseSimStorage;
    *services_.UseSimStorage = !sim;
    const std::string storage = sim ? "SM" : "ME";
    std::string selectAnswer;
    const bool selected = command("AT+CPMS=\"" + storage + "\"\r", 2, selectAnswer);
    const bool sent = command("AT+CMGL=4\r", 100, answer_);
    if (!sent) return Step::Continue; // refused or abandoned: a stop is under way
    if (blank(answer_)) {
        services_.SetPortError(PortErrorText("Modem NOT RESPOND COM" + config_.port, answer_));
        *services_.StopFlag = true;
        return Step::EndWorker;
    }
    StepCounter = 1;
    StepMarker = "*";
    // Status reports leave the modem now and the SIM owner's stored messages stay in it; only
    // received messages go on.
    const std::vector<pdu::DeliveredMessage> listed =
        SetAsideNonDeliveries(pdu::ParseListedMessages(answer_), [this](const std::string& index) {
            std::string answer;
            command("AT+CMGD=" + index + "\r", 10, answer);
        });
    ++StepCounter;
    const std::int64_t now = clockNow();
    const std::vector<pdu::DeliveredMessage> fresh = deleteKnown(storage, listed, now);
    const HeldParts::Taken taken = heldParts_.take(fresh, now, selected && StorageFull(selectAnswer));
    deleteUnread(storage, taken.repeats, now);
    handle(storage, taken.ready, true);
    handled_.forgetOld(now);
    return Step::Continue;
}

void TMyThread::readCdma() {
    // The CDMA phone keeps unread (0) and read (1) messages in two lists.
    for (const bool unread : {true, false}) {
        const bool sent = command(unread ? "AT+CMGL=0;\r" : "AT+CMGL=1;\r", 50, answer_);
        const pdu::MessageListing listing = sent ? pdu::ParseCdmaListing(answer_) : pdu::MessageListing{};
        std::vector<pdu::DeliveredMessage> listed;
        for (std::size_t j = 0; j < listing.count(); ++j) {
            listed.push_back({listing.indices[j], listing.senders[j], listing.timestamps[j], listing.texts[j], {}});
        }
        const std::int64_t now = clockNow();
        std::vector<ReadyMessage> ready;
        for (const pdu::DeliveredMessage& m : deleteKnown(kCdmaStorage, listed, now)) ready.push_back(SingleMessage(m));
        handle(kCdmaStorage, ready, unread);
        handled_.forgetOld(now);
    }
}

std::vector<pdu::DeliveredMessage> TMyThread::deleteKnown(const std::string& storage,
                                                          const std::vector<pdu::DeliveredMessage>& listed,
                                                          std::int64_t now) {
    std::vector<pdu::DeliveredMessage> fresh;
    std::vector<pdu::DeliveredMessage> known;
    for (const pdu::DeliveredMessage& m : listed) {
        if (handled_.handled(storage, m, now) || handled_.repeatsHandledPart(m)) known.push_back(m);
        else fresh.push_back(m);
    }
    deleteUnread(storage, known, now);
    return fresh;
}

void TMyThread::deleteUnread(const std::string& storage, const std::vector<pdu::DeliveredMessage>& messages,
                             std::int64_t now) {
    for (const pdu::DeliveredMessage& m : messages) {
        log::info("deleting " + storage + " message " + m.index + " from " + m.sender +
                  " unread: it was handled already, or repeats a part listed before");
        handled_.remember(storage, m, now);
        deleteListed(storage, m);
    }
}

void TMyThread::handle(const std::string& storage, const std::vector<ReadyMessage>& messages, bool firstPass) {
    for (const ReadyMessage& message : messages) {
        // After a stop nothing more is taken on: what is left stays in the modem for the next
        // start, and what was handled is deleted below, so nothing is handled twice.
        if (stopping()) return;
        processMessage(message, firstPass);
        // Remembered before it is deleted: a deletion that does not go through must never make
        // it a new message when it is listed again.
        const std::int64_t now = clockNow();
        for (const pdu::DeliveredMessage& part : message.parts) {
            handled_.remember(storage, part, now);
            handled_.rememberPart(part, now);
        }
        for (const pdu::DeliveredMessage& part : message.parts) deleteListed(storage, part);
    }
}

void TMyThread::processMessage(const ReadyMessage& message, bool firstPass) {
    const std::string& sender = message.sender;
    const std::string& text = message.text;
    if (sender.rfind(kServiceSender, 0) == 0) return;
    if (firstPass && text.empty()) return;
    if (firstPass) ++StepCounter;
    const std::string& stamp = message.timestamp;
    // 8-bit data is for a program, not words to answer: it is stored only.
    const bool binary = std::any_of(message.parts.begin(), message.parts.end(),
                                    [](const pdu::DeliveredMessage& part) { return part.data.has_value(); });
    std::string quiz;
    const auto body = [&] {
        if (hooks_.StoreReceivedMessage) quiz = hooks_.StoreReceivedMessage(sender, text, stamp, ownNumber_);
        if (binary) return;
        if (hooks_.RunAutoResponder) {
            hooks_.RunAutoResponder(sender, text, stamp, QString::fromStdString(message.index).trimmed().toInt());
        }
        if (hooks_.IsRemoteSender && hooks_.RunRemoteCommand && hooks_.IsRemoteSender(sender)) {
            hooks_.RunRemoteCommand(sender, text);
        }
    };
    // Stored, answered and broadcast together or not at all: a failure leaves the message in
    // the modem with nothing recorded, so that handling it again cannot duplicate anything.
    if (hooks_.Atomically) hooks_.Atomically(body);
    else body();
    log::info("received a message from " + sender + " (storage " + message.index + ")");
    if (firstPass && services_.showQuizCheck && hooks_.StoreReceivedMessage) services_.showQuizCheck(quiz);
    if (firstPass) ++StepCounter;
}


void TMyThread::deleteListed(const std::string& storage, const pdu::DeliveredMessage& message) {
    std::string answer;
    // Once handled, a message must leave the modem even when a stop arrives meanwhile.
    if (command("AT+CMGD=" + message.index + "\r", 10, answer, StopRule::Finish) &&
        answer.find(kOk) != std::string::npos) {
        handled_.deleted(storage, message.index);
        return;
    }
    log::warning("the modem did not delete " + storage + " message " + message.index +
                 "; it is deleted again, not handled again, when next listed");
}

} // namespace pelorin::modem

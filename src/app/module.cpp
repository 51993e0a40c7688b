#include "app/module.h"

#include <QCoreApplication>
#include <QDir>
#include <QMetaMethod>
#include <QMetaObject>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unistd.h>

#include "db/database.h"
#include "db/paths.h"
#include "db/port_row.h"
#include "db/query.h"
#include "inbound/autoresponder.h"
#include "inbound/inbound_store.h"
#include "inbound/remote_command.h"
#include "log/log.h"
#include "modem/serial_line.h"
#include "outbound/dial_commands.h"
#include "outbound/dispatch.h"
#include "outbound/modem_submit.h"
#include "pdu/text_utils.h"

namespace pelorin::app {
namespace {

constexpr int kSupervisionMs = 2000;
// Supervision errors in a row after which the module gives up: it can neither see nor
// write its row any more. A lost connection is waited for longer (see waitForDatabase).
constexpr int kSupervisionFailureLimit = 3;
// How long ending the program waits for the worker. Most exchanges give up on a stop within
// a poll step; a PDU already handed to the modem, or a deletion of a stored message, runs to
// its answer (at most 20 s each) and a database statement may wait its busy timeout.
constexpr unsigned long kWorkerWaitMs = 60000;

QString shown(const std::string& text) {
    return QString::fromStdString(text);
}

// The test message of the "Kirim SMS" button.
std::pair<std::string, std::string> testSms() {
    const QString configured = qEnvironmentVariable("PELORIN_TEST_SMS");
    const qsizetype cut = configured.indexOf(QLatin1Char('#'));
    if (cut > 0) return {configured.left(cut).toStdString(), configured.mid(cut + 1).toStdString()};
    return {"08123456789", "Tes kirim SMS Pelorin"};
}

} // namespace

Module::Module(QObject* parent)
    : QObject(parent), serial_(std::make_unique<modem::SerialLine>()) {
    TimerModul.setInterval(kSupervisionMs);
    connect(&TimerModul, &QTimer::timeout, this, &Module::TimerModulTimer);
    serial_->setReceiver([this](const std::string& bytes) { exchange_.ComPort1RxChar(bytes); });
    exchange_.setWriter([this](const std::string& bytes, bool mayGiveUp) {
        return serial_->write(bytes, StopFlag, mayGiveUp);
    });
    exchange_.setCommandObserver([this](const std::string& c) {
        liveness_.noteCommand(c);
        if (watched(&Module::commandSent)) emit commandSent(shown(c));
    });
    if (log::verbose()) {
        exchange_.setExchangeObserver([this](const std::string& c, const std::string& a) { trace_.exchanged(c, a); });
    }
    exchange_.setBufferObserver([this](const std::string& b) {
        // The whole buffer is shown after every arrival: only worth converting when watched.
        if (watched(&Module::modemAnswered)) emit modemAnswered(shown(b));
    });
    connect(&liveness_, &Liveness::healthRead, this, &Module::healthRead);
    exchange_.setErrorReporter([this](const std::string& text) {
        if (!settings_.cport.empty()) SetPortError(text);
    });
}

Module::~Module() {
    raiseStopFlag();
    if (Worker != nullptr) Worker->wait();
}

bool Module::formCreate(const std::string& argument) {
    connectionError_ = db::Database::open(db::DatabaseConfig::fromEnvironment());
    if (!connectionError_.isEmpty()) return false;

    BrowserIndex = 0;
    raiseStopFlag();
    settings_ = Settings{};
    const int pieces = applyCommandLine(settings_, argument);
    log::setPort(settings_.cport);
    emit settingsChanged();
    if (pieces > 2) startModule();
    return true;
}

void Module::startModule() {
    // A second START would run a second worker on the same modem and queue.
    if (Worker != nullptr || ended_) return;
    const std::string& type = settings_.cmodem;
    if (needsNetwork(type) && !networkLinked()) {
        // Only reached when the program that has them is missing: better no start than a
        // queue emptied into requests nobody makes.
        SetPortError("Error " + type, "this program was built without network support; pelorin-net runs this type");
        return;
    }
    StopFlag = false;
    TimerModul.start();
    if (type == kMerlCenter) {
        bool ok = false;
        const int listenPort = QString::fromStdString(settings_.ehost).toInt(&ok);
        if (!ok) {
            emit operatorMessage(QStringLiteral("Penulisan Port :") + shown(settings_.ehost) +
                                 QStringLiteral(" Tidak Benar "));
            return;
        }
        readPortSection();
        if (!openMenuListener(listenPort)) return;
    } else if (type != kMerlSender) {
        const QString failure = openSerialPort();
        if (!failure.isEmpty()) {
            SetPortError("Error Access com " + settings_.cport, failure.toStdString());
            return;
        }
    }
    try {
        rowMissingAtStart_ = !db::port_row::markRunning(settings_.cport);
    } catch (const db::DbError& e) {
        // Without its row the module cannot be watched or stopped by the main application.
        log::error(std::string("ending: cannot mark the port as running: ") + e.what());
        endProgram(1);
        return;
    }
    if (rowMissingAtStart_) {
        // START goes on as it always has; the first supervision tick ends the module.
        log::error("the port has no row in table cs, so nothing can run it; add one (pelorin-admin port " +
                   settings_.cport + ") and start the module again");
    }
    startWorker();
    liveness_.start(settings_.cport);
    log::info("started: " + startDescription());
    emit started();
}

std::string Module::startDescription() const {
    const Settings& s = settings_;
    std::string text = s.cmodem;
    if (s.cmodem == kMerlCenter) return text + " menu listener on TCP port " + s.ehost;
    if (s.cmodem == kMerlSender) text += " web service";
    else text += " modem on " + db::serialDevicePath(shown(s.cport)).toStdString() + (s.cbaud == "115200" ? " at 115200 baud" : " at 9600 baud");
    text += s.SendEnabled ? ", sending" : ", not sending";
    if (s.cmodem != kMerlSender) text += s.ReceiveEnabled ? ", receiving" : ", not receiving";
    return text;
}

QString Module::openSerialPort() {
    const QString device = db::serialDevicePath(shown(settings_.cport));
    const QString error = serial_->open(modem::serialConfigFor(device, settings_.cbaud, settings_.chands));
    return error.isEmpty() ? QString() : device + QStringLiteral(": ") + error;
}

bool Module::needsNetwork(const std::string& modemType) {
    return modemType == kMerlCenter || modemType == kMerlSender;
}

void Module::readPortSection() {
    const std::string file =
        QDir(db::homeDirectory()).filePath(QStringLiteral("merlcenter.ini")).toStdString();
    PortSection.clear();
    for (const std::string& piece : pdu::SplitText(pdu::ReadTextFile(file), "com=")) {
        const pdu::TSplitArray lines = pdu::SplitText(piece, "\r\n");
        if (!lines.empty() && lines.front() == settings_.cport) {
            PortSection = piece;
            return;
        }
    }
}

void Module::startWorker() {
    modem::WorkerConfig config{settings_.cport, settings_.cmodem, settings_.edelay,
                               settings_.SendEnabled, settings_.ReceiveEnabled,
                               modem::HeldParts::waitFromEnvironment()};
    modem::WorkerServices services;
    services.exchange = &exchange_;
    services.StopFlag = &StopFlag;
    services.napUntilStop = [this](int ms) { napUntilStop(ms); };
    services.gate = &BatchGate;
    services.UseSimStorage = &UseSimStorage;
    services.SetPortError = [this](const std::string& text) { SetPortError(text); };
    // Texts for a display: converted only while one watches (a window, the verbose log).
    services.showProgress = [this](const std::string& text) {
        if (watched(&Module::progress)) emit progress(shown(text));
    };
    services.showQuizCheck = [this](const std::string& text) {
        if (watched(&Module::quizChecked)) emit quizChecked(shown(text));
    };
    services.recover = [this](const std::exception& e) {
        if (dynamic_cast<const db::Conflict*>(&e) != nullptr) {
            // Nothing of the failed transaction was kept (a received message stays in the
            // modem); the next cycle does it again.
            log::warning(std::string("database conflict, done again next cycle: ") + e.what());
            return true;
        }
        if (dynamic_cast<const db::ConnectionLost*>(&e) == nullptr) return false;
        waitForDatabase(false);
        return true;
    };
    modem::WorkerHooks hooks = hooks_;
    if (!hooks.LookupOwnNumber) hooks.LookupOwnNumber = &db::port_row::LookupOwnNumber;
    if (!hooks.StoreReceivedMessage) hooks.StoreReceivedMessage = &inbound::StoreReceivedMessage;
    if (!hooks.RunAutoResponder) {
        hooks.RunAutoResponder = [name = settings_.enama](const std::string& sender, const std::string& text,
                                                          const std::string& stamp, int index) {
            inbound::RunAutoResponder(name, sender, text, stamp, index);
        };
    }
    if (!hooks.IsRemoteSender) hooks.IsRemoteSender = &inbound::IsRemoteSender;
    if (!hooks.RunRemoteCommand) hooks.RunRemoteCommand = &inbound::RunRemoteCommand;
    if (!hooks.Atomically) hooks.Atomically = [](const std::function<void()>& body) { db::inTransaction(body); };
    if (!hooks.RunDialCommands) {
        outbound::DialContext dial{&exchange_, settings_.cmodem, settings_.enama,
                                   [](const std::string& sender, const std::string& receiver, const std::string& text,
                                      const std::string& twoWay, const std::string& stamp) {
                                       inbound::StoreInboundSms(sender, receiver, text, twoWay, stamp);
                                   }};
        hooks.RunDialCommands = [dial](const std::string& port) { outbound::RunDialCommands(dial, port); };
    }
    if (!hooks.RunOperatorRequests) {
        hooks.RunOperatorRequests = [this] {
            if (!testSmsRequested_.exchange(false)) return;
            const auto [number, text] = testSms();
            const bool sent = outbound::SubmitSmsViaModem(exchange_, number, text) == outbound::SubmitResult::Sent;
            emit progress(QStringLiteral("Kirim SMS %1: %2")
                              .arg(QString::fromStdString(number), sent ? QStringLiteral("OK") : QStringLiteral("GAGAL")));
        };
    }
    if (!hooks.ReadModemHealth) hooks.ReadModemHealth = [this] { liveness_.readHealthIfDue(exchange_); };
    if (!hooks.DispatchOutbound) {
        outbound::DispatchContext dispatch;
        dispatch.modemType = settings_.cmodem;
        dispatch.account = {settings_.ehost, settings_.ekey, settings_.esign, settings_.rbroadcast};
        dispatch.exchange = &exchange_;
        dispatch.SetPortError = [this](const std::string& text) { SetPortError(text); };
        dispatch.awaitDatabase = [this] { return waitForDatabase(true); };
        if (settings_.cmodem == kMerlSender) openWebClient(dispatch);
        hooks.DispatchOutbound = [dispatch](const std::string& port, int batchSize) {
            return outbound::DispatchOutbound(dispatch, port, batchSize);
        };
    }
    Worker = new modem::TMyThread(std::move(config), std::move(services), std::move(hooks), this);
    Worker->start();
}

void Module::raiseStopFlag() {
    {
        // Under the lock, so that a pause that has just found StopFlag clear is sure to be woken.
        const std::lock_guard lock(stopMutex_);
        StopFlag = true;
    }
    stopRaised_.notify_all();
}

void Module::napUntilStop(int ms) {
    std::unique_lock lock(stopMutex_);
    stopRaised_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return StopFlag.load(); });
}

void Module::requestTestSms() {
    testSmsRequested_ = true;
}

void Module::takeEditedFields(const std::string& cbaud, const std::string& chands, const std::string& enama,
                              const std::string& edelay) {
    if (Worker != nullptr || ended_) return;
    settings_.cbaud = cbaud;
    settings_.chands = chands;
    settings_.enama = enama;
    settings_.edelay = edelay;
}

void Module::stopModule() {
    stopWith("STOP");
}

void Module::stopWith(const char* how) {
    if (!ended_) log::info(std::string("stopping: ") + how);
    raiseStopFlag();
    TimerModul.stop();
    if (!ending_.exchange(true)) {
        try {
            db::port_row::markDisabled(settings_.cport);
        } catch (const db::DbError&) {
            // STOP ends the module whatever the database says.
        }
    }
    endProgram(0);
}

void Module::exitProgram() {
    raiseStopFlag();
    stopWith("Exit Program");
}

void Module::terminate() {
    if (!StopFlag && !ending_) {
        raiseStopFlag();
        stopWith("termination signal");
        return;
    }
    if (!ended_) log::info("ending: termination signal");
    endProgram(0);
}

void Module::SetPortError(const std::string& errorText, const std::string& cause) {
    const std::string line = cause.empty() ? errorText : errorText + " (" + cause + ")";
    if (ending_.exchange(true)) {
        log::debug("also: " + line); // the first report is the one that counts
        return;
    }
    log::error("ending: " + line);
    endReason_ = QString::fromStdString(line);
    errorReported_ = true;
    raiseStopFlag();
    try {
        db::port_row::markError(settings_.cport, errorText);
    } catch (const db::DbError&) {
        // The report must never fail; the process still ends with a failure status.
    }
    // Closing the port and ending belong to the UI thread; from the worker this is queued.
    QMetaObject::invokeMethod(this, [this] { endProgram(1); }, Qt::AutoConnection);
}

bool Module::waitForDatabase(bool evenWhenStopping) {
    if (errorReported_) return false; // this run has already given up
    const int seconds = db::Database::retrySeconds();
    log::warning("the database connection was lost or its file is locked by another process; waiting up to " +
                 std::to_string(seconds) + " s for it");
    if (db::Database::waitUntilReachable(seconds, [&] { return !evenWhenStopping && StopFlag.load(); })) {
        log::info("the database answers again");
        return true;
    }
    if (StopFlag && !evenWhenStopping) return false; // stopping anyway; nothing was left undone
    log::error("no database for " + std::to_string(seconds) + " s; ending");
    errorReported_ = true; // whatever stops it meanwhile, this run failed
    SetPortError("Koneksi Database GAGAL");
    return false;
}

void Module::TimerModulTimer() {
    bool running = false;
    try {
        running = db::port_row::isRunning(settings_.cport);
        supervisionFailures_ = 0;
    } catch (const db::DbError& e) {
        log::warning(std::string("supervision failed: ") + e.what());
        // A server that went away gets as long to come back as the worker gives it.
        const bool lost = dynamic_cast<const db::ConnectionLost*>(&e) != nullptr;
        const int limit = lost ? std::max(kSupervisionFailureLimit, db::Database::retrySeconds() * 1000 / kSupervisionMs + 1)
                               : kSupervisionFailureLimit;
        if (++supervisionFailures_ >= limit) endProgram(1);
        return;
    }
    if (running) return;
    raiseStopFlag();
    ending_ = true;
    explainSupervisionEnd();
    // A port that never had a row never ran: that is a failed start, not a stop.
    endProgram(rowMissingAtStart_ ? 1 : 0);
}

void Module::explainSupervisionEnd() {
    std::optional<std::string> state;
    try {
        state = db::port_row::stateOf(settings_.cport);
    } catch (const db::DbError&) {
        state = "unreadable";
    }
    if (!state) {
        log::info("ending: the port has no row in table cs (any more)");
    } else {
        log::info("ending: the port row says \"" + *state + "\" instead of \"RUN\" (stopped by the main application)");
    }
}

void Module::closeSerialPort() {
    serial_->close();
}

void Module::endProgram(int status) {
    if (ended_) return;
    ended_ = true;
    raiseStopFlag();
    TimerModul.stop();
    // Menu requests already read are stored and answered first: no reply without its row.
    finishMenuRequests(static_cast<int>(kWorkerWaitMs));
    // The port stays open until the worker is done: it may be finishing a submission or the
    // deletion of a message it has stored.
    liveness_.stop();
    if (Worker != nullptr && !Worker->wait(kWorkerWaitMs)) {
        log::error("the worker did not finish; ending anyway");
        std::fflush(nullptr);
        ::_exit(status == 0 ? 1 : status);
    }
    closeSerialPort();
    closeNetwork();
    // A module that reported an error ends with a failure, whatever stopped it meanwhile;
    // read after the wait, since the worker may have been writing its report.
    if (errorReported_) status = 1;
    log::info("ended, exit status " + std::to_string(status));
    emit finished(status);
}

} // namespace pelorin::app

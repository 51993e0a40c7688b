#include "app/liveness.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <chrono>

#include "db/database.h"
#include "db/heartbeat.h"
#include "log/log.h"
#include "modem/exchange.h"

namespace pelorin::app {
namespace {

int secondsFromEnvironment(const char* name, int fallback, int least) {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value >= least ? value : fallback;
}

qint64 steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QVariant valueOr(const std::optional<int>& v) {
    return v ? QVariant(*v) : QVariant();
}

} // namespace

Liveness::Liveness(QObject* parent) : QObject(parent) {
    connect(&timer_, &QTimer::timeout, this, &Liveness::beat);
}

int Liveness::heartbeatSeconds() {
    return secondsFromEnvironment("PELORIN_HEARTBEAT_SECONDS", 5, 1);
}

int Liveness::healthSeconds() {
    return secondsFromEnvironment("PELORIN_HEALTH_SECONDS", 300, 0);
}

void Liveness::start(const std::string& port) {
    port_ = QString::fromStdString(port).toInt();
    started_ = QDateTime::currentDateTimeUtc();
    try {
        if (!db::heartbeat::tablePresent()) {
            log::warning("the database has no heartbeat table (pelorin-admin init adds it): "
                         "running without a heartbeat");
            return;
        }
    } catch (const db::DbError& e) {
        log::warning(std::string("cannot look for the heartbeat table: ") + e.what());
    }
    beat();
    timer_.start(heartbeatSeconds() * 1000);
}

void Liveness::stop() {
    timer_.stop();
}

void Liveness::beat() {
    db::heartbeat::Beat b;
    b.port = port_;
    b.pid = QCoreApplication::applicationPid();
    b.host = QSysInfo::machineHostName();
    b.started = started_;
    b.beat = QDateTime::currentDateTimeUtc();
    b.everySeconds = heartbeatSeconds();
    {
        const std::lock_guard lock(healthMutex_);
        b.rssi = valueOr(health_.rssi);
        b.registration = valueOr(health_.registration);
        if (health_.network) b.network = QString::fromStdString(*health_.network);
        b.health = healthAt_;
    }
    try {
        db::heartbeat::write(b);
        if (beatFailing_) log::info("heartbeat written again");
        beatFailing_ = false;
    } catch (const db::DbError& e) {
        // Once per run of failures: a database that is away says so through the worker too.
        if (!beatFailing_) log::warning(std::string("heartbeat not written: ") + e.what());
        beatFailing_ = true;
    }
}

void Liveness::noteCommand(const std::string& command) {
    if (command.rfind("AT+CMGS", 0) == 0) submitted_ = true;
}

void Liveness::readHealthIfDue(modem::AtExchange& exchange) {
    const int every = healthSeconds();
    if (every <= 0 || submitted_.exchange(false) || steadyMs() < nextHealthMs_) return;
    nextHealthMs_ = steadyMs() + every * 1000LL;
    bool stopped = false;
    const auto ask = [&](const char* command) {
        std::string answer;
        // An ERROR answer completes the exchange too: that modem simply tells nothing.
        stopped = stopped || exchange.ExecAtCommand(command, 5, "OK\r\n", "ERROR", answer) !=
                                 modem::ExchangeOutcome::Completed;
        return stopped ? std::string() : answer;
    };
    modem::ModemHealth now;
    now.rssi = modem::parseSignal(ask(modem::kSignalCommand));
    now.registration = modem::parseRegistration(ask(modem::kRegistrationCommand));
    now.network = modem::parseOperator(ask(modem::kOperatorCommand));
    if (!stopped) report(now);
}

void Liveness::report(const modem::ModemHealth& now) {
    modem::ModemHealth before;
    bool first = false;
    {
        const std::lock_guard lock(healthMutex_);
        before = health_;
        first = !healthAt_.isValid();
        health_ = now;
        healthAt_ = QDateTime::currentDateTimeUtc();
    }
    const std::string text = modem::describe(now);
    const bool wasRegistered = before.registration && modem::isRegistered(*before.registration);
    const bool isRegistered = now.registration && modem::isRegistered(*now.registration);
    // Said once at start and whenever the modem gains or loses its network; else only verbose.
    if (first) {
        log::info("modem: " + text);
    } else if (wasRegistered && !isRegistered) {
        log::warning("modem lost its network: " + text);
    } else if (!wasRegistered && isRegistered) {
        log::info("modem registered: " + text);
    } else {
        log::debug("modem: " + text);
    }
    emit healthRead(QString::fromStdString(text));
}

modem::ModemHealth Liveness::health() const {
    const std::lock_guard lock(healthMutex_);
    return health_;
}

} // namespace pelorin::app

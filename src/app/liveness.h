#pragma once
// A running module's signs of life: its heartbeat row, refreshed every few seconds on the UI
// thread, and the modem's health (signal, registration, operator), read by the worker between
// its exchanges and carried in that row. Neither may hold up sending or end the module: a
// write that fails is a warning, a modem that answers ERROR is a modem that tells nothing.
// Never throws.

#include <QObject>
#include <QDateTime>
#include <QTimer>

#include <atomic>
#include <mutex>
#include <string>

#include "modem/modem_health.h"

namespace pelorin::modem {
class AtExchange;
}

namespace pelorin::app {

class Liveness : public QObject {
    Q_OBJECT
public:
    explicit Liveness(QObject* parent = nullptr);

    // PELORIN_HEARTBEAT_SECONDS (default 5) and PELORIN_HEALTH_SECONDS (default 300; 0: never).
    static int heartbeatSeconds();
    static int healthSeconds();

    // UI thread, once the port row says "RUN": the first beat, then one every few seconds.
    // A database without the heartbeat table gets one warning and no beats.
    void start(const std::string& port);
    void stop();

    // Any thread: an AT command is about to go out. A submission postpones the next health
    // reading, so that a busy queue is never held up by it.
    void noteCommand(const std::string& command);
    // Worker thread, between exchanges: reads the health when it is due and nothing was
    // submitted since the last chance.
    void readHealthIfDue(modem::AtExchange& exchange);

    modem::ModemHealth health() const;

signals:
    // A new reading, in words, for the window.
    void healthRead(const QString& description);

private:
    void beat();
    void report(const modem::ModemHealth& now);

    QTimer timer_;
    int port_ = 0;
    QDateTime started_;
    bool beatFailing_ = false;
    std::atomic<bool> submitted_{false};
    qint64 nextHealthMs_ = 0; // worker thread only
    mutable std::mutex healthMutex_;
    modem::ModemHealth health_;
    QDateTime healthAt_;
};

} // namespace pelorin::app

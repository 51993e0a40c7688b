#pragma once
// One module instance: its settings, its run-time state, START / STOP, the error report,
// the supervision of its port row, and how the process ends. The window only shows this
// object, so everything here runs without a display.
// Never throws; failures end the module through SetPortError.

#include <QMetaMethod>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "app/liveness.h"
#include "app/settings.h"
#include "app/trace.h"
#include "modem/batch_gate.h"
#include "modem/exchange.h"
#include "modem/worker.h"

namespace pelorin::modem {
class SerialLine;
}
namespace pelorin::outbound {
struct DispatchContext;
}

namespace pelorin::app {

class Module : public QObject {
    Q_OBJECT
public:
    explicit Module(QObject* parent = nullptr);
    ~Module() override;

    // The start-up sequence: open the shared database, reset the run-time state, apply the
    // command-line argument, and START when it carried more than two settings. Returns
    // false (and does nothing after the connection attempt) when the database cannot be
    // opened; connectionError() then says why.
    bool formCreate(const std::string& argument);

    const Settings& settings() const { return settings_; }
    QString connectionError() const { return connectionError_; }
    const std::string& portSection() const { return PortSection; }
    bool workerStarted() const { return Worker != nullptr; }
    // The module has ended (or is ending): the program is about to exit.
    bool ended() const { return ended_ || ending_; }

    // Whether this program has the network parts ("MERL-CENTER" and "MERL-SENDER" need them).
    // The modem program links stand-ins instead, so it never maps Qt Network.
    static bool networkLinked();
    static bool needsNetwork(const std::string& modemType);

    // Lets the message handlers take part in the worker's cycle (set before START).
    void setWorkerHooks(modem::WorkerHooks hooks) { hooks_ = std::move(hooks); }

    // The error report, from any thread: writes "ERR" and the text into the port row,
    // closes the serial port, sets StopFlag and ends the program with a failure status.
    // Only the first report of a module is written; later ones would hide its cause.
    // The text and `cause` (what the system said, e.g. the device and its error) go to the
    // log; only the text goes into the row.
    void SetPortError(const std::string& errorText, const std::string& cause = {});

    // The fields an operator may edit until START (baud rate, handshake, name, delay),
    // taken as START reads them. Ignored once the worker runs.
    void takeEditedFields(const std::string& cbaud, const std::string& chands, const std::string& enama,
                          const std::string& edelay);

    const Liveness& liveness() const { return liveness_; }
    // Why the module failed, as its log said (empty when it did not fail through SetPortError).
    QString endReason() const { return endReason_; }

    // The "Kirim SMS" button: a test message (PELORIN_TEST_SMS="number#text", else a fixed
    // one) that the worker sends at its next cycle; a module without a modem ignores it.
    void requestTestSms();

    std::atomic<bool> StopFlag{true};
    std::atomic<int> BrowserIndex{0};
    std::atomic<bool> UseSimStorage{false};

public slots:
    void startModule();  // START
    void stopModule();   // STOP
    void exitProgram();  // the tray menu's "Exit Program"
    // A termination signal: a running module ends as with "Exit Program"; one that is not
    // running (never started, or already ending) just ends, keeping a failure status.
    void terminate();

signals:
    void settingsChanged();
    void started();                             // START went through: the worker runs
    void progress(const QString& text);         // the worker's status line
    void quizChecked(const QString& text);      // the last stored message's quiz check
    void commandSent(const QString& command);   // the last AT command
    void modemAnswered(const QString& buffer);  // what the modem sent back so far
    void operatorMessage(const QString& text);  // a message box for the operator
    void healthRead(const QString& text);       // the modem's signal, registration and operator
    // The program is to end with this exit status; the worker has finished.
    void finished(int status);

private:
    void TimerModulTimer();
    QString openSerialPort(); // empty, or the device and the system's error text
    void readPortSection();
    // The network parts (module_network.cpp, or the stand-ins of module_no_network.cpp).
    bool openMenuListener(int port);
    void openWebClient(outbound::DispatchContext& dispatch); // "MERL-SENDER" only
    void finishMenuRequests(int ms); // requests already read are stored and answered
    void closeNetwork();             // connections closed, requests under way aborted
    void startWorker();
    void endProgram(int status);
    void stopWith(const char* how); // STOP, "Exit Program", a signal: one way out, named in the log
    void explainSupervisionEnd();
    std::string startDescription() const;
    void closeSerialPort();
    // Worker thread: waits for a lost database connection to come back. A stop ends the
    // wait unless `evenWhenStopping` (a message the modem took still has to be recorded).
    // When it does not come back the module ends with a failure.
    bool waitForDatabase(bool evenWhenStopping);
    // Sets StopFlag and wakes the worker from a pause at once; every stop goes through here.
    void raiseStopFlag();
    // Worker thread: a pause of the cycle, ended early by raiseStopFlag().
    void napUntilStop(int ms);
    // Whether anything is connected to `signal`: a text nobody watches is not worth converting.
    template <typename Signal>
    bool watched(Signal signal) const {
        return isSignalConnected(QMetaMethod::fromSignal(signal));
    }

    Settings settings_;
    QString connectionError_;
    std::string PortSection;
    modem::AtExchange exchange_{StopFlag};
    modem::BatchGate BatchGate;
    modem::WorkerHooks hooks_;
    std::unique_ptr<modem::SerialLine> serial_;
    // Typed where the network parts are linked; only they know what these are.
    std::unique_ptr<QObject> menuServer_;  // "MERL-CENTER" only
    std::unique_ptr<QObject> webRequests_; // "MERL-SENDER" only
    modem::TMyThread* Worker = nullptr;
    QTimer TimerModul;
    Liveness liveness_;
    ExchangeTrace trace_;
    bool rowMissingAtStart_ = false;
    QString endReason_;
    int supervisionFailures_ = 0;
    std::atomic<bool> ending_{false}; // the row's last word is written (or not to be written)
    std::atomic<bool> errorReported_{false}; // "ERR" was written: the process must end with 1
    std::atomic<bool> testSmsRequested_{false};
    std::mutex stopMutex_;
    std::condition_variable stopRaised_;
    bool ended_ = false;              // UI thread only
};

} // namespace pelorin::app

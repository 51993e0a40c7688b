#pragma once
// The modem worker: initialises the modem for its type, then repeats one cycle until
// StopFlag is set: outbound batch, ready check, reading and deleting stored messages,
// dial commands. It never touches a widget; display texts go out through callbacks that
// the module forwards to the UI thread.
// Never throws: an error inside a cycle ends the cycle and is reported as "Modem ERRORx:".

#include <QThread>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "modem/batch_gate.h"
#include "modem/exchange.h"
#include "modem/handled_messages.h"
#include "modem/held_parts.h"
#include "pdu/listing.h"

namespace pelorin::modem {

struct WorkerConfig {
    std::string port;       // cport
    std::string modemType;  // cmodem
    std::string edelay;     // batch delay text, read once at start
    bool SendEnabled = false;
    bool ReceiveEnabled = false;
    // How long a part of an incomplete long message waits for the rest (seconds).
    std::int64_t partWaitSeconds = HeldParts::kDefaultWaitSeconds;
};

// What the cycle hands on to the rest of the module. Any of them may throw; the cycle
// turns that into its error report. An unset hook does nothing.
struct WorkerHooks {
    // One outbound batch; returns the URLs of the web requests it made ("MERL-SENDER").
    std::function<std::vector<std::string>(const std::string& port, int batchSize)> DispatchOutbound;
    std::function<std::string(const std::string& port)> LookupOwnNumber;
    std::function<std::string(const std::string& sender, const std::string& text,
                              const std::string& stamp, const std::string& ownNumber)>
        StoreReceivedMessage;
    std::function<void(const std::string& sender, const std::string& text,
                       const std::string& stamp, int storageIndex)>
        RunAutoResponder;
    std::function<bool(const std::string& sender)> IsRemoteSender;
    std::function<void(const std::string& sender, const std::string& text)> RunRemoteCommand;
    std::function<void(const std::string& port)> RunDialCommands;
    // What the operator asked for from the window (the test SMS), run between the cycle's
    // exchanges so that it never overlaps one.
    std::function<void()> RunOperatorRequests;
    // Reads the modem's signal, registration and operator when that is due; run between the
    // cycle's exchanges, like the operator's requests.
    std::function<void()> ReadModemHealth;
    // Runs the handling of one received message as one unit: all of it or, when it throws,
    // none of it. Unset, the body simply runs.
    std::function<void(const std::function<void()>& body)> Atomically;
};

// What the worker needs of the module that runs it.
struct WorkerServices {
    AtExchange* exchange = nullptr;
    std::atomic<bool>* StopFlag = nullptr;
    BatchGate* gate = nullptr;
    std::atomic<bool>* UseSimStorage = nullptr;
    std::function<void(const std::string& errorText)> SetPortError;
    std::function<void(const std::string&)> showProgress;  // msaldo
    std::function<void(const std::string&)> showQuizCheck; // the hidden quiz memo
    // Sleeps for the pauses of the cycle; unset, the thread really sleeps. Tests pass a
    // clock of their own.
    std::function<void(int ms)> sleep;
    // Waits up to `ms` and returns early once a stop is raised: the cycle's pauses wake once
    // instead of every 50 ms. Unset, they sleep in 50 ms slices and look at StopFlag between.
    std::function<void(int ms)> napUntilStop;
    // Seconds on a steady clock, for the waits of held parts; unset, the real one.
    std::function<std::int64_t()> clockSeconds;
    // Called with a failure of the cycle before it is reported. Returns true when it has
    // dealt with it (a lost database connection: waited until it is back, or ended the
    // module itself); the cycle then carries on instead of reporting a modem error.
    std::function<bool(const std::exception&)> recover;
};

class TMyThread : public QThread {
    Q_OBJECT
public:
    TMyThread(WorkerConfig config, WorkerServices services, WorkerHooks hooks,
              QObject* parent = nullptr);

protected:
    void run() override; // Execute

private:
    enum class Step { Continue, EndWorker };

    bool lookUpOwnNumber();
    bool initialiseModem();
    Step runCycle();
    void reportCycleError(const std::exception& e);
    Step outbound();
    Step readyCheck();
    Step readMessages();
    void readCdma();
    // Listed messages handled before, or repeating a part handled lately, are deleted unread;
    // the others come back to be handled.
    std::vector<pdu::DeliveredMessage> deleteKnown(const std::string& storage,
                                                   const std::vector<pdu::DeliveredMessage>& listed,
                                                   std::int64_t now);
    void deleteUnread(const std::string& storage, const std::vector<pdu::DeliveredMessage>& messages,
                      std::int64_t now);
    void handle(const std::string& storage, const std::vector<ReadyMessage>& messages, bool firstPass);
    void processMessage(const ReadyMessage& message, bool firstPass);
    void deleteListed(const std::string& storage, const pdu::DeliveredMessage& message);
    std::int64_t clockNow() const;

    // The exchange with the markers every worker command uses; true when it completed.
    bool command(const std::string& text, int limitSeconds, std::string& answer,
                 StopRule rule = StopRule::GiveWay);
    void nap(int ms) const;   // a pause that a stop cuts short
    void pause(int ms) const; // a pause that runs in full
    void show(const std::string& text) const;
    bool stopping() const { return *services_.StopFlag; }
    bool isType(const char* type) const { return config_.modemType == type; }
    bool hasModem() const;

    WorkerConfig config_;
    WorkerServices services_;
    WorkerHooks hooks_;
    int batchDelay_ = 0;
    std::string ownNumber_;
    std::string answer_; // one answer variable for the ready check, listings and deletions
    int CycleCounter = 0;
    int StepCounter = 0;
    std::string StepMarker;
    HeldParts heldParts_;
    HandledMessages handled_;
};

} // namespace pelorin::modem

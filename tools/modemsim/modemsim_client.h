#pragma once
// Client side of the modem simulator for tests: ModemSim runs a simulator process for the
// length of a test and steers it through the control socket. Plain C++ and POSIX.
// Error contract: ModemSim's constructor and its helpers throw std::runtime_error when the
// simulator cannot be started or refuses a request; request() itself never throws.

#include "modemsim/control_protocol.h"

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pelorin::modemsim {

// The simulator program that the build made (PELORIN_MODEMSIM overrides it).
std::string defaultSimulatorBinary();

// A private directory (mkdtemp) removed with everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "pelorin-sim");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct ModemSimOptions {
    bool cdma = false;
    bool trace = false;    // the simulator traces both directions on its stderr
    std::string binary;    // empty: defaultSimulatorBinary()
    std::string control;   // empty: "<dir>/COM<port>.ctl"
    std::chrono::milliseconds startTimeout{15000};
};

struct SimMessage {
    std::string storage; // "ME", "SM" or "CDMA"
    int index = 0;
    int stat = 0;        // PDU stat, or the CDMA list
    std::string body;    // PDU hex, or the CDMA data line (raw)
};

// A running simulator serving "<dir>/COM<port>". Destruction asks it to quit, then
// terminates and reaps it. The simulator also ends when the thread that started it ends.
class ModemSim {
public:
    ModemSim(std::string dir, int port, ModemSimOptions options = {});
    ~ModemSim();
    ModemSim(const ModemSim&) = delete;
    ModemSim& operator=(const ModemSim&) = delete;

    const std::string& devicePath() const { return device_; }
    const std::string& controlPath() const { return control_; }
    const std::string& slavePath() const { return slave_; }
    pid_t pid() const { return pid_; }

    ControlReply request(const std::string& line);
    // Like request(), but throws std::runtime_error on "ERR".
    ControlReply command(const std::string& line);

    int storePdu(const std::string& storage, const std::string& pdu, int stat = 0);
    int storeCdma(int list, const std::string& sender, const std::string& stamp,
                  const std::string& text);
    int storeCdmaRaw(int list, const std::string& dataLine);
    std::vector<SimMessage> messages();
    void wipeMessages();

    // Raw bytes of every command line and PDU the module sent, oldest first.
    std::vector<std::string> sentLog();
    // PDUs (GSM) or CDMA arguments the modem accepted for sending.
    std::vector<std::string> submitted();
    void clearLog();
    // Polls the log every 50 ms until the predicate holds; false after the timeout.
    bool waitForLog(const std::function<bool(const std::vector<std::string>&)>& predicate,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until some log entry equals `raw` exactly (e.g. "AT+CMGF=0\r").
    bool waitForEntry(const std::string& raw,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

    void setCusdAnswer(const std::string& text);
    void setCusdDelay(std::chrono::milliseconds delay);
    // The network's whole "+CUSD:" line, as it is; "" gives back the default line.
    void setCusdLine(const std::string& line);
    // An unsolicited line; `options` as the inject request takes them ("--at after-ok --every 500").
    void inject(const std::string& line, const std::string& options = "");
    void setCmgsSucceeds(bool ok);
    // One fault request without the word "fault": "silence", "error ATE0",
    // "error --times 1 ATE0", "slow 300", "garbage 8 42", "none".
    void setFault(const std::string& fault);
    void clearFaults() { setFault("none"); }
    void hangup() { setFault("hangup"); }
    // A fresh pseudo-terminal behind the same link after a hang-up.
    void reopen();

    // Asks the simulator to quit and reaps it; true when it ended by itself.
    bool stop();
    bool running();

private:
    void start(const ModemSimOptions& options);
    void readReadyLine(int fd, std::chrono::milliseconds timeout);
    void reap(bool force);

    std::string dir_;
    int port_ = 0;
    std::string device_;
    std::string control_;
    std::string slave_;
    pid_t pid_ = -1;
};

} // namespace pelorin::modemsim

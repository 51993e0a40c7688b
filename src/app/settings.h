#pragma once
// The module's settings, as the operator controls hold them. They come only from the
// single command-line argument ("key=value" pieces joined by "#") and are never saved.
// Texts are UTF-8, like every text inside the module. Never throws.

#include <string>
#include <vector>

#include "modem/modem_types.h"

namespace pelorin::app {

struct Settings {
    std::string cport = "5";         // port number; keys the `cs` row and names the device
    std::string cmodem = "WAVECOM";  // modem type
    std::string cbaud = "115200";    // "115200" selects 115200 baud, anything else 9600
    std::string chands = "2";        // serial flow control
    std::string enama = "enama";     // module name
    std::string ehost;               // web-service host, or the TCP listening port
    std::string ekey;                // web-service activation key
    std::string esign;               // web-service sign
    bool rbroadcast = false;         // message type Broadcast (else Reply)
    std::string edelay = "0";        // seconds between outbound batches
    std::string listenAddress;       // "MERL-CENTER": address the listener binds; empty: every interface
    std::string allowedClients;      // "MERL-CENTER": addresses or subnets that may connect; empty: any
    bool SendEnabled = false;
    bool ReceiveEnabled = false;
    bool ShowTray = true;
};

using modem::kMerlCenter;
using modem::kMerlSender;
using modem::kNokiaCdma;

// The fixed lists of the selection controls, in display order.
const std::vector<std::string>& modemTypes();
const std::vector<std::string>& portNumbers();
const std::vector<std::string>& baudRates();
const std::vector<std::string>& handshakes();

// Which settings group the window shows for a modem type.
struct GroupVisibility {
    bool gmerl = false;         // host / key / sign / message type
    bool Gsetmodem = true;      // baud rate / handshake / name
    std::string hostLabel;      // "HOST" or "PORT" while gmerl is shown
    bool senderFields = false;  // activation key, sign and message type
};
GroupVisibility cmodemChange(const std::string& modemType);

// Applies the command-line argument on top of `settings`, piece by piece, later keys
// overriding earlier ones; unknown keys are ignored. Returns the number of setting pieces,
// which decides whether the module starts by itself (more than two).
int applyCommandLine(Settings& settings, const std::string& argument);

// Why the module cannot run with these settings at all, in words for the operator; empty when
// it can. Only what no run could ever use is refused: the port must name a device and a row.
std::string unusableSetting(const Settings& settings);

} // namespace pelorin::app

#include "app/settings.h"

#include <algorithm>
#include <cctype>

#include "pdu/text_utils.h"

namespace pelorin::app {
namespace {

std::string upperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

void applySetting(Settings& s, const std::string& key, const std::string& value) {
    if (key == "com") {
        s.cport = value;
    } else if (key == "modem") {
        // The modem control takes its entries in upper case; types are compared exactly
        // afterwards, so "wavecom" is the same as "WAVECOM".
        s.cmodem = upperCase(value);
    } else if (key == "baudrate") {
        // One key, two controls: the MERL modes carry their host or listening port here.
        s.cbaud = value;
        s.ehost = value;
    } else if (key == "handshake") {
        s.chands = value;
        s.ekey = value;
    } else if (key == "nama") {
        s.enama = value;
    } else if (key == "whandle") {
        s.esign = value;
    } else if (key == "tipesender") {
        s.rbroadcast = value == "1";
    } else if (key == "delay") {
        s.edelay = value;
    } else if (key == "sender") {
        s.SendEnabled = value == "SENDER";
    } else if (key == "center") {
        s.ReceiveEnabled = value == "CENTER";
    } else if (key == "showme") {
        s.ShowTray = value == "1";
    } else if (key == "listen") {
        s.listenAddress = value;
    } else if (key == "allow") {
        s.allowedClients = value;
    }
}

std::vector<std::string> numberList(int first, int last) {
    std::vector<std::string> list;
    for (int i = first; i <= last; ++i) list.push_back(std::to_string(i));
    return list;
}

} // namespace

const std::vector<std::string>& modemTypes() {
    static const std::vector<std::string> list = {modem::kWavecom, modem::kSiemens, kNokiaCdma, kMerlCenter,
                                                  kMerlSender};
    return list;
}

const std::vector<std::string>& portNumbers() {
    static const std::vector<std::string> list = numberList(1, 100);
    return list;
}

const std::vector<std::string>& baudRates() {
    static const std::vector<std::string> list = {"9600", "115200"};
    return list;
}

const std::vector<std::string>& handshakes() {
    static const std::vector<std::string> list = {"2", "1", "0"};
    return list;
}

GroupVisibility cmodemChange(const std::string& modemType) {
    GroupVisibility v;
    const bool sender = modemType == kMerlSender;
    v.gmerl = sender || modemType == kMerlCenter;
    v.Gsetmodem = !v.gmerl;
    if (v.gmerl) v.hostLabel = sender ? "HOST" : "PORT";
    v.senderFields = sender;
    return v;
}

int applyCommandLine(Settings& settings, const std::string& argument) {
    int pieces = 0;
    for (const std::string& piece : pdu::SplitText(argument, "#")) {
        // An empty piece ("##", a leading "#") has no key: it sets nothing and does not
        // count towards starting the module.
        if (piece.empty()) continue;
        ++pieces;
        // "key" alone and "key=" both give the key an empty value; text after a second
        // "=" is dropped.
        const pdu::TSplitArray parts = pdu::SplitText(piece, "=");
        applySetting(settings, parts[0], parts.size() > 1 ? parts[1] : std::string());
    }
    return pieces;
}

std::string unusableSetting(const Settings& settings) {
    const std::string& port = settings.cport;
    const bool digits = !port.empty() && port.size() <= 4 &&
                        std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!digits || std::stoi(port) < 1) {
        return "com=" + port + " cannot be used: the port must be a whole number from 1 to 9999";
    }
    return {};
}

} // namespace pelorin::app

#pragma once
// What a modem says of its radio: signal quality (AT+CSQ), network registration (AT+CREG?)
// and the operator (AT+COPS?), read from the answers as 3GPP TS 27.007 defines them, and
// put in words for operators. Plain functions; never throw.

#include <optional>
#include <string>

namespace pelorin::modem {

inline constexpr const char* kSignalCommand = "AT+CSQ\r";
inline constexpr const char* kRegistrationCommand = "AT+CREG?\r";
inline constexpr const char* kOperatorCommand = "AT+COPS?\r";

struct ModemHealth {
    std::optional<int> rssi;            // <rssi> of +CSQ: 0..31, 99 not detectable
    std::optional<int> registration;    // <stat> of +CREG: 0..5
    std::optional<std::string> network; // operator name; "" when the modem names none
};

// Each is empty when the answer holds no such line (an ERROR, silence, another modem's dialect).
std::optional<int> parseSignal(const std::string& answer);
std::optional<int> parseRegistration(const std::string& answer);
std::optional<std::string> parseOperator(const std::string& answer);

// "-77 dBm (18/31)", "not detectable"; stat as words: "registered, home network".
std::string describeSignal(int rssi);
std::string describeRegistration(int stat);
// True for the two registered states (home, roaming).
bool isRegistered(int stat);
// One line: "signal -77 dBm (18/31), registered, home network, operator TELKOMSEL"; unknown
// parts say so.
std::string describe(const ModemHealth& health);

} // namespace pelorin::modem

#include "modem/modem_health.h"

#include <charconv>
#include <vector>

namespace pelorin::modem {
namespace {

// The fields after the last "<prefix>" line of an answer ("+CSQ: 18,99" -> "18", "99"); a
// modem may have sent an unsolicited line of the same name before its answer.
std::optional<std::vector<std::string>> fieldsOf(const std::string& answer, const std::string& prefix) {
    const std::size_t at = answer.rfind(prefix);
    if (at == std::string::npos) return std::nullopt;
    const std::size_t start = at + prefix.size();
    const std::size_t end = answer.find_first_of("\r\n", start);
    const std::string line = answer.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (const char c : line) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) {
            fields.push_back(field);
            field.clear();
        } else if (c != ' ' || quoted) {
            field += c;
        }
    }
    fields.push_back(field);
    return fields;
}

std::optional<int> number(const std::string& text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

} // namespace

std::optional<int> parseSignal(const std::string& answer) {
    const auto fields = fieldsOf(answer, "+CSQ:");
    if (!fields) return std::nullopt;
    const auto rssi = number(fields->front());
    if (!rssi || *rssi < 0 || (*rssi > 31 && *rssi != 99)) return std::nullopt;
    return rssi;
}

std::optional<int> parseRegistration(const std::string& answer) {
    const auto fields = fieldsOf(answer, "+CREG:");
    if (!fields) return std::nullopt;
    // The answer is "<n>,<stat>[,<lac>,<ci>]"; an unsolicited "+CREG: <stat>" has one field.
    const auto stat = number(fields->size() >= 2 ? (*fields)[1] : fields->front());
    if (!stat || *stat < 0 || *stat > 5) return std::nullopt;
    return stat;
}

std::optional<std::string> parseOperator(const std::string& answer) {
    const auto fields = fieldsOf(answer, "+COPS:");
    if (!fields || !number(fields->front())) return std::nullopt;
    // "<mode>" alone: no operator selected.
    if (fields->size() < 3) return std::string();
    std::string name = (*fields)[2];
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    return name;
}

std::string describeSignal(int rssi) {
    if (rssi == 99) return "not detectable";
    // 0 is -113 dBm or less, 31 is -51 dBm or more, in steps of 2 dB.
    return std::to_string(-113 + 2 * rssi) + " dBm (" + std::to_string(rssi) + "/31)";
}

std::string describeRegistration(int stat) {
    switch (stat) {
    case 0: return "not registered";
    case 1: return "registered, home network";
    case 2: return "searching for a network";
    case 3: return "registration denied";
    case 5: return "registered, roaming";
    default: return "registration unknown";
    }
}

bool isRegistered(int stat) {
    return stat == 1 || stat == 5;
}

std::string describe(const ModemHealth& health) {
    std::string text = "signal " + (health.rssi ? describeSignal(*health.rssi) : std::string("unknown"));
    text += ", " + (health.registration ? describeRegistration(*health.registration) : std::string("registration unknown"));
    if (!health.network) text += ", operator unknown";
    else if (health.network->empty()) text += ", no operator";
    else text += ", operator " + *health.network;
    return text;
}

} // namespace pelorin::modem

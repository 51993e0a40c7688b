#include "modem/error_codes.h"

#include <algorithm>
#include <charconv>
#include <span>
#include <utility>

namespace pelorin::modem {
namespace {

using Entry = std::pair<int, std::string_view>;

// TS 27.005 3.2.5: 0-127 are the network's RP causes (TS 24.011 E.2), 128-255 the
// SMSC's TP failure causes (TS 23.040 9.2.3.22), 300 and up the modem's own.
constexpr Entry kCmsErrors[] = {
    {1, "unassigned (unallocated) number"}, {8, "operator determined barring"}, {10, "call barred"},
    {17, "network failure"}, {21, "short message transfer rejected"}, {22, "memory capacity exceeded"},
    {27, "destination out of service"}, {28, "unidentified subscriber"}, {29, "facility rejected"},
    {30, "unknown subscriber"}, {38, "network out of order"}, {41, "temporary failure"},
    {42, "congestion"}, {47, "resources unavailable"}, {50, "requested facility not subscribed"},
    {69, "requested facility not implemented"}, {81, "invalid short message transfer reference value"},
    {95, "invalid message"}, {96, "invalid mandatory information"}, {97, "message type non-existent or not implemented"},
    {98, "message not compatible with short message protocol state"}, {99, "information element non-existent or not implemented"},
    {111, "protocol error"}, {127, "interworking error"},
    {128, "telematic interworking not supported"}, {129, "short message type 0 not supported"},
    {130, "cannot replace short message"}, {143, "unspecified TP-PID error"},
    {144, "data coding scheme not supported"}, {145, "message class not supported"},
    {159, "unspecified TP-DCS error"}, {160, "command cannot be actioned"}, {161, "command unsupported"},
    {175, "unspecified TP-Command error"}, {176, "TPDU not supported"}, {192, "SC busy"},
    {193, "no SC subscription"}, {194, "SC system failure"}, {195, "invalid SME address"},
    {196, "destination SME barred"}, {197, "SM rejected, duplicate SM"}, {198, "TP-VPF not supported"},
    {199, "TP-VP not supported"}, {208, "SIM SMS storage full"}, {209, "no SMS storage capability in SIM"},
    {210, "error in MS"}, {211, "memory capacity exceeded"}, {212, "SIM application toolkit busy"},
    {213, "SIM data download error"}, {255, "unspecified error cause"},
    {300, "ME failure"}, {301, "SMS service of ME reserved"}, {302, "operation not allowed"},
    {303, "operation not supported"}, {304, "invalid PDU mode parameter"}, {305, "invalid text mode parameter"},
    {310, "SIM not inserted"}, {311, "SIM PIN required"}, {312, "PH-SIM PIN required"},
    {313, "SIM failure"}, {314, "SIM busy"}, {315, "SIM wrong"}, {316, "SIM PUK required"},
    {317, "SIM PIN2 required"}, {318, "SIM PUK2 required"}, {320, "memory failure"},
    {321, "invalid memory index"}, {322, "memory full"}, {330, "SMSC address unknown"},
    {331, "no network service"}, {332, "network timeout"}, {340, "no +CNMA acknowledgement expected"},
    {500, "unknown error"},
};

// TS 27.007 9.2.
constexpr Entry kCmeErrors[] = {
    {0, "phone failure"}, {1, "no connection to phone"}, {2, "phone-adaptor link reserved"},
    {3, "operation not allowed"}, {4, "operation not supported"}, {5, "PH-SIM PIN required"},
    {6, "PH-FSIM PIN required"}, {7, "PH-FSIM PUK required"}, {10, "SIM not inserted"},
    {11, "SIM PIN required"}, {12, "SIM PUK required"}, {13, "SIM failure"}, {14, "SIM busy"},
    {15, "SIM wrong"}, {16, "incorrect password"}, {17, "SIM PIN2 required"}, {18, "SIM PUK2 required"},
    {20, "memory full"}, {21, "invalid index"}, {22, "not found"}, {23, "memory failure"},
    {24, "text string too long"}, {25, "invalid characters in text string"}, {26, "dial string too long"},
    {27, "invalid characters in dial string"}, {30, "no network service"}, {31, "network timeout"},
    {32, "network not allowed - emergency calls only"}, {40, "network personalization PIN required"},
    {41, "network personalization PUK required"}, {42, "network subset personalization PIN required"},
    {43, "network subset personalization PUK required"}, {44, "service provider personalization PIN required"},
    {45, "service provider personalization PUK required"}, {46, "corporate personalization PIN required"},
    {47, "corporate personalization PUK required"}, {50, "incorrect parameters"}, {100, "unknown"},
    {103, "illegal MS"}, {106, "illegal ME"}, {107, "GPRS services not allowed"}, {111, "PLMN not allowed"},
    {112, "location area not allowed"}, {113, "roaming not allowed in this location area"},
    {132, "service option not supported"}, {133, "requested service option not subscribed"},
    {134, "service option temporarily out of order"}, {148, "unspecified GPRS error"},
    {149, "PDP authentication failure"}, {150, "invalid mobile class"},
};

std::string_view lookUp(std::span<const Entry> table, int code) {
    const auto it = std::find_if(table.begin(), table.end(), [code](const Entry& e) { return e.first == code; });
    return it == table.end() ? std::string_view() : it->second;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

} // namespace

std::string ModemErrorLine(std::string_view answer) {
    std::size_t at = std::string_view::npos;
    for (const std::string_view marker : {"+CMS ERROR:", "+CME ERROR:"}) at = std::min(at, answer.find(marker));
    if (at == std::string_view::npos) return {};
    const std::size_t end = answer.find_first_of("\r\n", at);
    return std::string(trimmed(answer.substr(at, end == std::string_view::npos ? end : end - at)));
}

std::string ModemErrorMeaning(std::string_view answer) {
    const std::string line = ModemErrorLine(answer);
    if (line.empty()) return {};
    const std::string_view value = trimmed(std::string_view(line).substr(11)); // after "+CMx ERROR:"
    int code = -1;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), code);
    // A modem set to verbose errors (AT+CMEE=2) answers in words already.
    if (ec != std::errc() || end != value.data() + value.size()) return value.empty() ? line : std::string(value);
    const bool sms = line.starts_with("+CMS");
    const std::string_view meaning = lookUp(sms ? std::span<const Entry>(kCmsErrors) : std::span<const Entry>(kCmeErrors), code);
    return meaning.empty() ? line : std::string(meaning);
}

std::string PortErrorText(const std::string& text, std::string_view answer) {
    const std::string meaning = ModemErrorMeaning(answer);
    return meaning.empty() ? text : text + ": " + meaning;
}

} // namespace pelorin::modem

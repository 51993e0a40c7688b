#include "modemsim/at_engine.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace pelorin::modemsim {

namespace {

constexpr char kCtrlZ = 0x1A;
constexpr char kEsc = 0x1B;
const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";

std::string toUpper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// Modems skip whatever precedes "AT" on a line (stray bytes, an abandoned PDU).
std::string_view commandStart(std::string_view line) {
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(line[i])) == 'A' &&
            std::toupper(static_cast<unsigned char>(line[i + 1])) == 'T')
            return line.substr(i);
    }
    return {};
}

std::optional<int> parseNumber(std::string_view s) {
    int value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return value;
}

std::optional<int> parseHex(std::string_view s) {
    int value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 16);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return value;
}

bool isHexText(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return std::isxdigit(c) != 0; });
}

// First field of an AT argument list: "1,0" -> "1".
std::string_view firstField(std::string_view args) { return args.substr(0, args.find(',')); }

constexpr int kMaxUserDataOctets = 140;

} // namespace

AtEngine::AtEngine(Mode mode) : mode_(mode) {}

void AtEngine::receive(std::string_view bytes, Clock::time_point now) {
    for (char c : bytes) receiveByte(c, now);
    flushEcho(now);
    if (input_ != Input::CdmaSend) return;
    // The module writes the whole CDMA command at once, so a complete argument is normally
    // there at the end of one read; the quiet gap covers arguments whose lengths do not fit.
    if (cdmaArgumentComplete())
        finishEntry(now);
    else
        inputDeadline_ = now + kCdmaIdleGap;
}

void AtEngine::receiveByte(char c, Clock::time_point now) {
    if (echo_ && !silentAll()) pendingEcho_ += c;
    entry_ += c;
    if (entry_.size() > kMaxEntry) {
        // Nobody sends that much without a terminator: log it and start afresh.
        record(std::move(entry_));
        entry_.clear();
        input_ = Input::Command;
        inputDeadline_.reset();
        return;
    }
    switch (input_) {
    case Input::Command:
        if (c == '\r') {
            finishEntry(now);
        } else if (c == kCtrlZ || c == kEsc) {
            // A PDU that arrives without a prompt (the prompt was refused) is dropped.
            record(std::move(entry_));
            entry_.clear();
        } else if (c == '=' && mode_ == Mode::Cdma &&
                   toUpper(commandStart(entry_)) == "AT+CMGS=") {
            input_ = Input::CdmaSend;
        }
        break;
    case Input::Pdu:
        if (c == kCtrlZ || c == kEsc) finishPdu(c == kCtrlZ, now);
        break;
    case Input::CdmaSend:
        if (c == '\r') finishEntry(now);
        break;
    }
}

void AtEngine::finishEntry(Clock::time_point now) {
    record(entry_);
    std::string line = std::move(entry_);
    entry_.clear();
    input_ = Input::Command;
    inputDeadline_.reset();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string_view command = commandStart(line);
    if (!command.empty()) execute(command, now);
}

bool AtEngine::cdmaArgumentComplete() const {
    // <number length><number><"02"><text length><text>, all as hex digit pairs.
    const std::string_view arg = commandStart(entry_).substr(8);
    const auto numberLength = parseHex(arg.substr(0, 2));
    if (!numberLength || arg.size() < 2) return false;
    const std::size_t textField = 2 + 2 * static_cast<std::size_t>(*numberLength) + 2;
    if (arg.size() < textField + 2) return false;
    const auto textLength = parseHex(arg.substr(textField, 2));
    return textLength && isHexText(arg) &&
           arg.size() == textField + 2 + 2 * static_cast<std::size_t>(*textLength);
}

void AtEngine::finishPdu(bool submit, Clock::time_point now) {
    record(entry_);
    const std::string pdu = entry_.substr(0, entry_.size() - 1);
    entry_.clear();
    input_ = Input::Command;
    inputDeadline_.reset();
    if (!submit) return reply(kOk, now);
    // The modem checks the announced length against the PDU, as real ones do.
    // It also refuses user data beyond one SMS (140 octets), as networks would.
    if (pdu.empty() || pdu.size() % 2 != 0 || !isHexText(pdu) ||
        tpduLength(pdu) != expectedOctets_ || submitUserDataOctets(pdu) > kMaxUserDataOctets)
        return reply("\r\n+CMS ERROR: 304\r\n", now);
    if (!cmgsSucceeds_) return reply("\r\n+CMS ERROR: " + std::to_string(cmgsError_) + "\r\n", now);
    submitted_.push_back(pdu);
    reply("\r\n+CMGS: " + nextReference() + "\r\n" + kOk, now);
}

void AtEngine::expire(Clock::time_point now) {
    const std::string lines = unsolicited_.due(now);
    if (!lines.empty() && !silentAll()) queue(lines, now);
    if (!inputDeadline_ || now < *inputDeadline_) return;
    if (input_ == Input::CdmaSend) return finishEntry(now);
    // An abandoned prompt: keep what arrived in the log and listen for commands again.
    if (!entry_.empty()) record(entry_);
    entry_.clear();
    input_ = Input::Command;
    inputDeadline_.reset();
}

std::optional<Clock::time_point> AtEngine::nextWake() const {
    std::optional<Clock::time_point> wake = inputDeadline_;
    if (!output_.empty() && (!wake || output_.front().due < *wake)) wake = output_.front().due;
    const auto lines = unsolicited_.nextWake();
    if (lines && (!wake || *lines < *wake)) wake = lines;
    return wake;
}

std::string AtEngine::takeOutput(Clock::time_point now) {
    std::string out;
    while (!output_.empty() && output_.front().due <= now) {
        out += output_.front().bytes;
        output_.pop_front();
    }
    return out;
}

void AtEngine::resetLine() {
    input_ = Input::Command;
    entry_.clear();
    pendingEcho_.clear();
    inputDeadline_.reset();
    output_.clear();
}

void AtEngine::restart() {
    resetLine();
    echo_ = true;
    cnmiMt_ = 0;
    network_.cregReports = 0;
    selected_ = Storage::Me;
}

void AtEngine::clearLogs() {
    log_.clear();
    submitted_.clear();
}

void AtEngine::execute(std::string_view command, Clock::time_point now) {
    const std::string upper = toUpper(command);
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (!startsWith(upper, toUpper(it->prefix))) continue;
        const FaultRule::Kind kind = it->kind;
        const std::string error = "\r\n" + it->error + "\r\n";
        if (it->remaining > 0 && --it->remaining == 0) rules_.erase(it);
        if (kind == FaultRule::Kind::Error) reply(error, now);
        return;
    }
    dispatch(command, now);
}

void AtEngine::dispatch(std::string_view command, Clock::time_point now) {
    const std::string upper = toUpper(command);
    const std::string_view body = std::string_view(upper).substr(2);
    if (body.empty()) return reply(kOk, now);
    if (body == "E0" || body == "E1" || body == "E") {
        echo_ = body != "E0";
        return reply(kOk, now);
    }
    if (startsWith(body, "+CMGF=")) return reply(firstField(body.substr(6)) == "0" ? kOk : kError, now);
    if (startsWith(body, "+CNMI")) {
        setIndications(body.substr(5));
        return reply(kOk, now);
    }
    if (startsWith(body, "+CMEC") || startsWith(body, "+STSF")) return reply(kOk, now);
    if (startsWith(body, "+CSMS")) return reply("\r\n+CSMS: 1,1,1\r\n" + kOk, now);
    if (startsWith(body, "+CUSD")) return ussd(command, now);
    if (startsWith(body, "D")) return dial(command, now);
    if (!dispatchStorage(command, body, now) && !dispatchNetwork(body, now)) reply(kError, now);
}

bool AtEngine::dispatchStorage(std::string_view command, std::string_view upper,
                               Clock::time_point now) {
    if (startsWith(upper, "+CPMS")) {
        selectStorage(upper.substr(5), now);
    } else if (startsWith(upper, "+CMGS=")) {
        startSubmit(command.substr(8), now);
    } else if (startsWith(upper, "+CMGL=")) {
        std::string_view arg = upper.substr(6);
        const bool cdma = mode_ == Mode::Cdma;
        if (cdma && !arg.empty() && arg.back() == ';') arg.remove_suffix(1);
        const auto stat = parseNumber(arg);
        if (!stat || *stat < 0 || *stat > (cdma ? 1 : kStatAll)) return false;
        reply(cdma ? cdma_.cdmaListing(*stat) : storage(selected_).pduListing(*stat), now);
    } else if (startsWith(upper, "+CMGD=")) {
        const auto index = parseNumber(firstField(upper.substr(6)));
        if (!index) return false;
        MessageStorage& memory = mode_ == Mode::Cdma ? cdma_ : storage(selected_);
        // An empty slot is "invalid memory index" (TS 27.005 3.2.5), as most modems answer.
        reply(memory.remove(*index) ? kOk : "\r\n+CMS ERROR: 321\r\n", now);
    } else {
        return false;
    }
    return true;
}

bool AtEngine::dispatchNetwork(std::string_view upper, Clock::time_point now) {
    // TS 27.007 8.5 signal quality, 7.2 registration, 7.3 operator.
    if (upper == "+CSQ") {
        reply("\r\n+CSQ: " + std::to_string(network_.rssi) + "," + std::to_string(network_.ber) + "\r\n" + kOk, now);
    } else if (upper == "+CREG?") {
        reply("\r\n+CREG: " + std::to_string(network_.cregReports) + "," + std::to_string(network_.registration) +
                  "\r\n" + kOk,
              now);
    } else if (startsWith(upper, "+CREG=")) {
        const auto n = parseNumber(upper.substr(6));
        if (!n || *n < 0 || *n > 2) return false;
        network_.cregReports = *n;
        reply(kOk, now);
    } else if (upper == "+COPS?") {
        const bool registered = network_.registration == 1 || network_.registration == 5;
        reply(registered ? "\r\n+COPS: 0,0,\"" + network_.operatorName + "\"\r\n" + kOk : "\r\n+COPS: 0\r\n" + kOk, now);
    } else {
        return false;
    }
    return true;
}

void AtEngine::setRegistration(int stat, Clock::time_point now) {
    const bool changed = stat != network_.registration;
    network_.registration = stat;
    // With AT+CREG=1 or 2 the modem reports every change on its own.
    if (changed && network_.cregReports > 0 && !silentAll())
        queue("\r\n+CREG: " + std::to_string(stat) + "\r\n", now);
}

void AtEngine::selectStorage(std::string_view args, Clock::time_point now) {
    auto counts = [](const MessageStorage& m) {
        return std::to_string(m.used()) + "," + std::to_string(m.capacity());
    };
    if (args == "?") {
        const std::string name = selected_ == Storage::Me ? "\"ME\"," : "\"SM\",";
        return reply("\r\n+CPMS: " + name + counts(storage(selected_)) + ",\"ME\"," +
                         counts(me_) + ",\"ME\"," + counts(me_) + "\r\n" + kOk,
                     now);
    }
    if (args.empty() || args.front() != '=') return reply(kError, now);
    const std::string_view first = firstField(args.substr(1));
    if (first == "\"ME\"")
        selected_ = Storage::Me;
    else if (first == "\"SM\"")
        selected_ = Storage::Sm;
    else
        return reply(kError, now);
    // Only the reading memory changes; writing and receiving stay in ME.
    reply("\r\n+CPMS: " + counts(storage(selected_)) + "," + counts(me_) + "," + counts(me_) +
              "\r\n" + kOk,
          now);
}

void AtEngine::startSubmit(std::string_view arg, Clock::time_point now) {
    if (mode_ == Mode::Cdma) {
        // The CDMA modem sends the text given in the argument at once.
        if (!cmgsSucceeds_) return reply(kError, now);
        submitted_.emplace_back(arg);
        return reply("\r\n+CMGS: " + nextReference() + "\r\n" + kOk, now);
    }
    const auto octets = parseNumber(firstField(arg));
    if (!octets || *octets < 1 || *octets > 255) return reply(kError, now);
    expectedOctets_ = *octets;
    input_ = Input::Pdu;
    inputDeadline_ = now + kPromptTimeout;
    reply("\r\n> ", now);
}

void AtEngine::ussd(std::string_view command, Clock::time_point now) {
    // AT+CUSD=<n>[,"<code>"[,<dcs>]]
    if (command.size() < 8 || command[7] != '=') return reply(kError, now);
    const std::string_view args = command.substr(8);
    const std::string_view n = firstField(args);
    if (n != "0" && n != "1" && n != "2") return reply(kError, now);
    const std::size_t open = args.find('"');
    const std::size_t close = open == std::string_view::npos ? open : args.find('"', open + 1);
    if (open == std::string_view::npos) return reply(kOk, now);
    if (close == std::string_view::npos || close == open + 1) return reply(kError, now);
    answerUssd(now);
}

void AtEngine::dial(std::string_view command, Clock::time_point now) {
    std::string_view code = command.substr(3);
    const bool voice = !code.empty() && code.back() == ';';
    if (voice) code.remove_suffix(1);
    if (code.empty()) return reply(kError, now);
    if (!voice) return reply("\r\nNO CARRIER\r\n", now);
    // A service code (*...#) is a USSD request: the network answers like AT+CUSD.
    if (code.find_first_of("*#") == std::string_view::npos) return reply(kOk, now);
    answerUssd(now);
}

std::string AtEngine::cusdLine() const {
    return cusdLine_.empty() ? "+CUSD: 0,\"" + cusdAnswer_ + "\",15" : cusdLine_;
}

void AtEngine::answerUssd(Clock::time_point now) {
    // The network's answer arrives later, unsolicited, unless this modem waits for it.
    if (cusdBeforeOk_) return reply("\r\n" + cusdLine() + "\r\n" + kOk, now);
    reply(kOk, now);
    if (!silentAll()) queue("\r\n" + cusdLine() + "\r\n", now + answerDelay_ + cusdDelay_);
}

void AtEngine::setIndications(std::string_view args) {
    // AT+CNMI=<mode>,<mt>,...; blanks around "=" as some modules write it.
    const std::size_t equals = args.find('=');
    if (equals == std::string_view::npos) return;
    std::string fields;
    for (const char c : args.substr(equals + 1))
        if (c != ' ') fields += c;
    const std::size_t comma = fields.find(',');
    if (comma == std::string::npos) return;
    cnmiMt_ = parseNumber(firstField(std::string_view(fields).substr(comma + 1))).value_or(0);
}

void AtEngine::announceArrival(Storage which, int index, Clock::time_point now) {
    const bool on = announce_ == Announce::On || (announce_ == Announce::Auto && cnmiMt_ >= 1);
    if (!on || silentAll() || mode_ != Mode::Gsm) return;
    const char* memory = which == Storage::Me ? "ME" : "SM";
    queue("\r\n+CMTI: \"" + std::string(memory) + "\"," + std::to_string(index) + "\r\n", now);
}

bool AtEngine::silentAll() const {
    return std::any_of(rules_.begin(), rules_.end(), [](const FaultRule& r) {
        return r.kind == FaultRule::Kind::Silence && r.prefix.empty();
    });
}

void AtEngine::flushEcho(Clock::time_point now) {
    if (pendingEcho_.empty()) return;
    queue(std::move(pendingEcho_), now);
    pendingEcho_.clear();
}

void AtEngine::reply(std::string bytes, Clock::time_point now) {
    if (silentAll()) return;
    flushEcho(now);
    queue(garbage() + unsolicited_.shape(std::move(bytes)), now + answerDelay_);
}

void AtEngine::queue(std::string bytes, Clock::time_point due) {
    // Answers leave in the order they were made, whatever their delays.
    if (!output_.empty() && output_.back().due > due) due = output_.back().due;
    output_.push_back(Chunk{due, std::move(bytes)});
}

std::string AtEngine::garbage() {
    if (garbageCount_ <= 0) return {};
    std::string out(1, '\0');
    std::uniform_int_distribution<int> byte(0, 255);
    while (static_cast<int>(out.size()) < garbageCount_) {
        const char c = static_cast<char>(byte(rng_));
        // Never forge one of the module's markers ("OK\r\n", "ERROR", ">", ",15").
        out += std::string_view("OKER>,").find(c) == std::string_view::npos ? c : '\0';
    }
    return out;
}

void AtEngine::record(std::string entry) {
    // A demo may run for days: the older half goes once the log is full.
    if (log_.size() >= kMaxLogEntries)
        log_.erase(log_.begin(), log_.begin() + static_cast<std::ptrdiff_t>(kMaxLogEntries / 2));
    log_.push_back(std::move(entry));
}

std::string AtEngine::nextReference() {
    reference_ = reference_ % 255 + 1;
    return std::to_string(reference_);
}

void AtEngine::setGarbage(int count, unsigned seed) {
    garbageCount_ = count;
    garbageSeed_ = seed;
    rng_.seed(seed);
}

void AtEngine::clearFaults() {
    rules_.clear();
    answerDelay_ = Millis{0};
    garbageCount_ = 0;
}

std::string AtEngine::describeFaults() const {
    std::string out;
    for (const FaultRule& r : rules_) {
        if (r.kind == FaultRule::Kind::Silence) out += "silence";
        else out += r.error == "ERROR" ? "error" : r.error;
        if (r.remaining > 0) out += " x" + std::to_string(r.remaining);
        out += r.prefix.empty() ? std::string(" *") : " " + r.prefix;
        out += "; ";
    }
    if (answerDelay_.count() > 0) out += "slow " + std::to_string(answerDelay_.count()) + "; ";
    if (garbageCount_ > 0)
        out += "garbage " + std::to_string(garbageCount_) + " seed " +
               std::to_string(garbageSeed_) + "; ";
    return out.empty() ? "none" : out.substr(0, out.size() - 2);
}

} // namespace pelorin::modemsim

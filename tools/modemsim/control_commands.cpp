#include "modemsim/control_commands.h"

#include "modemsim/control_protocol.h"

#include <cctype>
#include <charconv>
#include <optional>

namespace pelorin::modemsim {

namespace {

// The words of a request, remembering where each began so that a final text argument
// can be taken as the rest of the line, blanks and all.
class Request {
public:
    explicit Request(std::string_view line) : line_(line) {
        std::size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
            const std::size_t start = i;
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
            if (i > start) words_.push_back({start, i});
        }
    }
    std::size_t size() const { return words_.size(); }
    std::string word(std::size_t n) const {
        return n < words_.size() ? std::string(line_.substr(words_[n].first,
                                                            words_[n].second - words_[n].first))
                                 : std::string();
    }
    // Everything from word n on, unescaped; empty when there is no word n.
    std::string rest(std::size_t n) const {
        return n < words_.size() ? unescapeBytes(line_.substr(words_[n].first)) : std::string();
    }

private:
    std::string_view line_;
    std::vector<std::pair<std::size_t, std::size_t>> words_;
};

std::string ok(const std::string& value = {}, const std::vector<std::string>& lines = {}) {
    std::string out;
    for (const std::string& line : lines) out += "- " + line + "\n";
    return out + (value.empty() ? "OK\n" : "OK " + value + "\n");
}

std::string err(const std::string& why) { return "ERR " + why + "\n"; }

std::optional<int> number(const std::string& s, int min, int max) {
    int value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<Storage> storageNamed(std::string name) {
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "ME") return Storage::Me;
    if (name == "SM") return Storage::Sm;
    return std::nullopt;
}

std::string storeIn(MessageStorage& memory, int stat, std::string body) {
    const auto index = memory.add(stat, std::move(body));
    return index ? ok(std::to_string(*index)) : err("storage full");
}

std::string store(const Request& r, AtEngine& engine, Clock::time_point now) {
    if (engine.mode() != Mode::Gsm) return err("a CDMA modem stores text messages: cdma-store");
    const auto memory = storageNamed(r.word(1));
    const auto stat = number(r.word(2), 0, kStatStoSent);
    if (r.size() != 4 || !memory || !stat) return err("usage: store ME|SM STAT(0-3) PDU");
    const auto index = engine.storage(*memory).add(*stat, r.word(3));
    if (!index) return err("storage full");
    // Only messages received from the network are announced, not ones a test files as sent.
    if (*stat <= kStatRecRead) engine.announceArrival(*memory, *index, now);
    return ok(std::to_string(*index));
}

std::string cdmaStore(const Request& r, AtEngine& engine, bool raw) {
    if (engine.mode() != Mode::Cdma) return err("not a CDMA modem (start with --cdma)");
    const auto list = number(r.word(1), 0, 1);
    if (raw) {
        if (!list || r.size() < 3) return err("usage: cdma-store-raw LIST(0|1) LINE");
        return storeIn(engine.cdmaStorage(), *list, r.rest(2));
    }
    if (!list || r.size() < 4 || r.word(3).size() != 12)
        return err("usage: cdma-store LIST(0|1) SENDER STAMP(12 characters) [TEXT]");
    return storeIn(engine.cdmaStorage(), *list, cdmaDataLine(r.word(2), r.word(3), r.rest(4)));
}

void listInto(std::vector<std::string>& lines, const std::string& name,
              const MessageStorage& memory) {
    for (const auto& [index, msg] : memory.messages())
        lines.push_back(name + " " + std::to_string(index) + " " + std::to_string(msg.stat) + " " +
                        escapeBytes(msg.body));
}

std::string list(AtEngine& engine) {
    std::vector<std::string> lines;
    listInto(lines, "ME", engine.storage(Storage::Me));
    listInto(lines, "SM", engine.storage(Storage::Sm));
    listInto(lines, "CDMA", engine.cdmaStorage());
    return ok({}, lines);
}

std::string remove(const Request& r, AtEngine& engine) {
    const std::string name = r.word(1);
    const auto index = number(r.word(2), 0, 1 << 30);
    if (r.size() != 3 || !index) return err("usage: delete ME|SM|CDMA INDEX");
    MessageStorage* memory = nullptr;
    if (const auto which = storageNamed(name)) memory = &engine.storage(*which);
    if (name == "CDMA" || name == "cdma") memory = &engine.cdmaStorage();
    if (memory == nullptr) return err("unknown storage " + name);
    return memory->remove(*index) ? ok() : err("no message " + std::to_string(*index));
}

std::string escapedLines(const std::vector<std::string>& entries) {
    std::vector<std::string> lines;
    for (const std::string& entry : entries) lines.push_back(escapeBytes(entry));
    return ok(std::to_string(lines.size()), lines);
}

// The network's USSD answer; nothing when the request is not about it.
std::optional<std::string> setUssd(const Request& r, AtEngine& engine) {
    const std::string what = r.word(1);
    if (what == "cusd") {
        engine.setCusdAnswer(r.rest(2));
        return ok();
    }
    if (what == "cusd-line") {
        engine.setCusdLine(r.rest(2));
        return ok();
    }
    if (what == "cusd-order" && (r.word(2) == "after-ok" || r.word(2) == "before-ok") && r.size() == 3) {
        engine.setCusdBeforeOk(r.word(2) == "before-ok");
        return ok();
    }
    if (what == "cusd-delay") {
        const auto ms = number(r.word(2), 0, 600000);
        if (!ms) return err("usage: set cusd-delay MS");
        engine.setCusdDelay(Millis{*ms});
        return ok();
    }
    return std::nullopt;
}

std::string set(const Request& r, AtEngine& engine) {
    const std::string what = r.word(1);
    if (std::optional<std::string> done = setUssd(r, engine)) return *done;
    if (what == "cmgs" && r.word(2) == "ok" && r.size() == 3) {
        engine.setCmgsSucceeds(true);
        return ok();
    }
    if (what == "cmgs" && r.word(2) == "error" && r.size() <= 4) {
        const auto code = r.size() == 4 ? number(r.word(3), 0, 9999) : std::optional<int>(500);
        if (!code) return err("usage: set cmgs error [CODE]");
        engine.setCmgsSucceeds(false, *code);
        return ok();
    }
    if (what == "cmti" && r.size() == 3) {
        const std::string mode = r.word(2);
        if (mode == "auto" || mode == "on" || mode == "off") {
            engine.setAnnounce(mode == "on" ? AtEngine::Announce::On
                                            : mode == "off" ? AtEngine::Announce::Off : AtEngine::Announce::Auto);
            return ok();
        }
    }
    return err("usage: set cusd TEXT | set cusd-line LINE | set cusd-order after-ok|before-ok | "
               "set cusd-delay MS | set cmgs ok|error [CODE] | set cmti auto|on|off");
}

// signal RSSI BER | registration STAT | operator "NAME"
std::string network(const Request& r, AtEngine& engine, Clock::time_point now) {
    const std::string what = r.word(0);
    if (what == "signal") {
        const auto rssi = number(r.word(1), 0, 99);
        const auto ber = number(r.word(2), 0, 99);
        if (r.size() != 3 || !rssi || !ber || (*rssi > 31 && *rssi != 99) || (*ber > 7 && *ber != 99))
            return err("usage: signal RSSI(0-31|99) BER(0-7|99)");
        engine.setSignal(*rssi, *ber);
        return ok();
    }
    if (what == "registration") {
        const auto stat = number(r.word(1), 0, 5);
        if (r.size() != 2 || !stat) return err("usage: registration STAT(0-5)");
        engine.setRegistration(*stat, now);
        return ok();
    }
    std::string name = r.rest(1);
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    if (name.empty() || name.find('"') != std::string::npos) return err("usage: operator \"NAME\"");
    engine.setOperatorName(std::move(name));
    return ok();
}

// inject [--at now|before-answer|after-header|after-ok] [--every MS] [--times N] LINE
std::string inject(const Request& r, AtEngine& engine, Clock::time_point now) {
    const std::string usage =
        "usage: inject [--at now|before-answer|after-header|after-ok] [--every MS] [--times N] LINE | inject none";
    if (r.word(1) == "none" && r.size() == 2) {
        engine.unsolicited().clear();
        return ok();
    }
    UnsolicitedLines::Rule rule;
    std::size_t word = 1;
    for (; r.word(word).rfind("--", 0) == 0; word += 2) {
        const std::string option = r.word(word);
        const std::string value = r.word(word + 1);
        if (option == "--at") {
            const auto place = UnsolicitedLines::placeNamed(value);
            if (!place) return err(usage);
            rule.place = *place;
        } else if (option == "--every" && number(value, 1, 3600000)) {
            rule.every = Millis{*number(value, 1, 3600000)};
        } else if (option == "--times" && number(value, 1, 1 << 30)) {
            rule.times = *number(value, 1, 1 << 30);
        } else {
            return err(usage);
        }
    }
    rule.line = r.rest(word);
    if (rule.line.empty()) return err(usage);
    engine.unsolicited().add(std::move(rule), now);
    return ok();
}

// fault silence|error [--times N] [PREFIX]; fault cms|cme CODE [--times N] [PREFIX]
std::string ruleFault(const Request& r, AtEngine& engine, FaultRule::Kind kind, std::string error = "ERROR") {
    FaultRule rule;
    rule.kind = kind;
    rule.error = std::move(error);
    std::size_t word = rule.error == "ERROR" ? 2 : 3;
    if (r.word(word) == "--times") {
        const auto times = number(r.word(word + 1), 1, 1 << 30);
        if (!times) return err("usage: fault silence|error [--times N] [PREFIX] | fault cms|cme CODE [--times N] [PREFIX]");
        rule.remaining = *times;
        word += 2;
    }
    rule.prefix = r.rest(word);
    engine.addFaultRule(std::move(rule));
    return ok();
}

std::string fault(const Request& r, AtEngine& engine, const ControlHooks& hooks) {
    const std::string what = r.word(1);
    if (what == "silence") return ruleFault(r, engine, FaultRule::Kind::Silence);
    if (what == "error") return ruleFault(r, engine, FaultRule::Kind::Error);
    if (what == "cms" || what == "cme") {
        // A coded error (3GPP TS 27.005 3.2.5, TS 27.007 9.2): a number, or words as AT+CMEE=2 gives.
        if (r.size() < 3) return err("usage: fault cms|cme CODE [--times N] [PREFIX]");
        return ruleFault(r, engine, FaultRule::Kind::Error, (what == "cms" ? "+CMS ERROR: " : "+CME ERROR: ") + r.word(2));
    }
    if (what == "slow") {
        const auto ms = number(r.word(2), 0, 600000);
        if (!ms || r.size() != 3) return err("usage: fault slow MS");
        engine.setAnswerDelay(Millis{*ms});
        return ok();
    }
    if (what == "garbage") {
        const auto count = r.size() > 2 ? number(r.word(2), 1, 4096) : std::optional<int>(8);
        const auto seed = r.size() > 3 ? number(r.word(3), 0, 1 << 30) : std::optional<int>(1);
        if (!count || !seed || r.size() > 4) return err("usage: fault garbage [COUNT [SEED]]");
        engine.setGarbage(*count, static_cast<unsigned>(*seed));
        return ok();
    }
    if (what == "hangup" && r.size() == 2 && hooks.hangup) {
        hooks.hangup();
        return ok();
    }
    if (what == "none" && r.size() == 2) {
        engine.clearFaults();
        return ok();
    }
    return err("unknown fault; one of: silence, error, cms, cme, slow, garbage, hangup, none");
}

std::vector<std::string> info(AtEngine& engine, const ControlHooks& hooks) {
    std::vector<std::string> lines = hooks.info ? hooks.info() : std::vector<std::string>{};
    lines.push_back(std::string("mode ") + (engine.mode() == Mode::Cdma ? "cdma" : "gsm"));
    lines.push_back(std::string("echo ") + (engine.echo() ? "on" : "off"));
    lines.push_back(std::string("storage ") +
                    (engine.selectedStorage() == Storage::Me ? "ME" : "SM"));
    lines.push_back(std::string("cmgs ") + (engine.cmgsSucceeds() ? "ok" : "error"));
    lines.push_back("cusd " + escapeBytes(engine.cusdLine()));
    lines.push_back("unsolicited " + escapeBytes(engine.unsolicited().describe()));
    const AtEngine::Network& net = engine.network();
    lines.push_back("network signal " + std::to_string(net.rssi) + "," + std::to_string(net.ber) + " registration " +
                    std::to_string(net.registration) + " operator \"" + net.operatorName + "\"");
    lines.push_back("faults " + engine.describeFaults());
    lines.push_back("log " + std::to_string(engine.sentLog().size()));
    return lines;
}

const char* const kHelp[] = {
    "ping | info | help | quit",
    "store ME|SM STAT PDU                 -> OK <index>",
    "cdma-store LIST SENDER STAMP [TEXT]  -> OK <index>",
    "cdma-store-raw LIST LINE             -> OK <index>",
    "list | delete ME|SM|CDMA INDEX | wipe",
    "log | submitted | log-clear",
    "set cusd TEXT | set cusd-line LINE | set cusd-order after-ok|before-ok | set cusd-delay MS",
    "set cmgs ok | set cmgs error [CODE] | set cmti auto|on|off",
    "inject [--at now|before-answer|after-header|after-ok] [--every MS] [--times N] LINE | inject none",
    "signal RSSI BER | registration STAT | operator \"NAME\"",
    "fault silence|error [--times N] [PREFIX] | fault cms|cme CODE [--times N] [PREFIX] | fault slow MS",
    "fault garbage [COUNT [SEED]] | fault hangup | fault none | reopen",
};

} // namespace

std::string executeControlRequest(std::string_view line, AtEngine& engine,
                                  const ControlHooks& hooks, Clock::time_point now) {
    const Request r(line);
    const std::string verb = r.word(0);
    if (verb == "ping") return ok();
    if (verb == "help") return ok({}, std::vector<std::string>(std::begin(kHelp), std::end(kHelp)));
    if (verb == "info") return ok({}, info(engine, hooks));
    if (verb == "store") return store(r, engine, now);
    if (verb == "inject") return inject(r, engine, now);
    if (verb == "signal" || verb == "registration" || verb == "operator") return network(r, engine, now);
    if (verb == "cdma-store") return cdmaStore(r, engine, false);
    if (verb == "cdma-store-raw") return cdmaStore(r, engine, true);
    if (verb == "list") return list(engine);
    if (verb == "delete") return remove(r, engine);
    if (verb == "wipe") {
        engine.storage(Storage::Me).clear();
        engine.storage(Storage::Sm).clear();
        engine.cdmaStorage().clear();
        return ok();
    }
    if (verb == "log") return escapedLines(engine.sentLog());
    if (verb == "submitted") return escapedLines(engine.submitted());
    if (verb == "log-clear") {
        engine.clearLogs();
        return ok();
    }
    if (verb == "set") return set(r, engine);
    if (verb == "fault") return fault(r, engine, hooks);
    if (verb == "reopen" && hooks.reopen) {
        std::string result;
        return hooks.reopen(result) ? ok(result) : err(result);
    }
    if (verb == "quit" && hooks.quit) {
        hooks.quit();
        return ok();
    }
    return err(verb.empty() ? "empty request" : "unknown request " + verb + " (try help)");
}

} // namespace pelorin::modemsim

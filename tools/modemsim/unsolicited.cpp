#include "modemsim/unsolicited.h"

#include <algorithm>

namespace pelorin::modemsim {

namespace {

// Modems frame an unsolicited line as they frame an answer line (ITU-T V.250 5.7.1).
std::string framed(const std::string& line) { return "\r\n" + line + "\r\n"; }

constexpr const char* kPlaceNames[] = {"now", "before-answer", "after-header", "after-ok"};

} // namespace

std::optional<UnsolicitedLines::Place> UnsolicitedLines::placeNamed(const std::string& name) {
    for (int i = 0; i < 4; ++i) {
        if (name == kPlaceNames[i]) return static_cast<Place>(i);
    }
    return std::nullopt;
}

void UnsolicitedLines::add(Rule rule, Clock::time_point now) {
    Active a;
    a.left = rule.every.count() > 0 ? rule.times : 1;
    a.rule = std::move(rule);
    a.next = now;
    rules_.push_back(std::move(a));
}

void UnsolicitedLines::spend(Active& a) {
    if (a.left > 0) --a.left;
}

std::string UnsolicitedLines::due(Clock::time_point now) {
    std::string out;
    for (Active& a : rules_) {
        if (a.left == 0 || a.armed || now < a.next) continue;
        if (a.rule.place == Place::Now) {
            out += framed(a.rule.line);
            spend(a);
        } else {
            a.armed = true;
        }
        a.next = now + a.rule.every;
    }
    std::erase_if(rules_, [](const Active& a) { return a.left == 0; });
    return out;
}

std::optional<UnsolicitedLines::Clock::time_point> UnsolicitedLines::nextWake() const {
    std::optional<Clock::time_point> wake;
    for (const Active& a : rules_) {
        if (a.armed || a.left == 0) continue;
        if (!wake || a.next < *wake) wake = a.next;
    }
    return wake;
}

bool UnsolicitedLines::insert(std::string& answer, const Active& a) const {
    const std::string line = framed(a.rule.line);
    switch (a.rule.place) {
    case Place::BeforeAnswer:
        answer.insert(0, line);
        return true;
    case Place::AfterHeader: {
        // Between a listing header and the PDU (or CDMA data line) it announces.
        const std::size_t header = answer.find("+CMGL:");
        const std::size_t end = header == std::string::npos ? header : answer.find("\r\n", header);
        if (end == std::string::npos) return false;
        answer.insert(end + 2, line);
        return true;
    }
    case Place::AfterOk: {
        const std::size_t ok = answer.find("OK\r\n");
        if (ok == std::string::npos) return false;
        answer.insert(ok + 4, line);
        return true;
    }
    case Place::Now:
        break;
    }
    return false;
}

std::string UnsolicitedLines::shape(std::string answer) {
    for (Active& a : rules_) {
        if (!a.armed || !insert(answer, a)) continue;
        a.armed = false;
        spend(a);
    }
    std::erase_if(rules_, [](const Active& a) { return a.left == 0; });
    return answer;
}

std::string UnsolicitedLines::describe() const {
    std::string out;
    for (const Active& a : rules_) {
        out += std::string(kPlaceNames[static_cast<int>(a.rule.place)]) + " " + a.rule.line;
        if (a.rule.every.count() > 0) out += " every " + std::to_string(a.rule.every.count()) + "ms";
        if (a.rule.every.count() > 0 && a.left > 0) out += " x" + std::to_string(a.left);
        out += "; ";
    }
    return out.empty() ? "none" : out.substr(0, out.size() - 2);
}

} // namespace pelorin::modemsim

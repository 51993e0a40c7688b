#pragma once
// Lines the simulated modem sends on its own, as real modems and USB dongles do: injected on
// request at a chosen place (at once, before the next answer, between the next listing header
// and its PDU, after the next OK), once or every so often. No clock of its own ("now" is passed
// in). Never throws beyond std::bad_alloc.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace pelorin::modemsim {

class UnsolicitedLines {
public:
    using Clock = std::chrono::steady_clock;
    using Millis = std::chrono::milliseconds;

    enum class Place { Now, BeforeAnswer, AfterHeader, AfterOk };

    struct Rule {
        std::string line;       // without its CR LF frame
        Place place = Place::Now;
        Millis every{0};        // 0: once
        int times = -1;         // how many lines in all; -1: no end (periodic rules only)
    };

    void add(Rule rule, Clock::time_point now);
    void clear() { rules_.clear(); }
    bool empty() const { return rules_.empty(); }

    // Lines due at once (Place::Now), framed; also arms the periodic rules whose time has come.
    std::string due(Clock::time_point now);
    // The earliest moment at which due() has something to do.
    std::optional<Clock::time_point> nextWake() const;
    // An answer about to leave, with the armed lines put in their places; a line whose place
    // the answer lacks (no listing header, no OK) waits for a later answer.
    std::string shape(std::string answer);

    std::string describe() const;
    static std::optional<Place> placeNamed(const std::string& name);

private:
    struct Active {
        Rule rule;
        Clock::time_point next{};
        bool armed = false;
        int left = -1;
    };
    bool insert(std::string& answer, const Active& a) const;
    void spend(Active& a);

    std::vector<Active> rules_;
};

} // namespace pelorin::modemsim

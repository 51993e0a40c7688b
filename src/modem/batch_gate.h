#pragma once
// The pause between two outbound batches: a one-shot timer whose only effect is that it
// runs for its interval after being started. Kept as a deadline so the worker can start
// and test it without a round trip through the UI thread. Thread-safe; never throws.

#include <atomic>
#include <chrono>

namespace pelorin::modem {

class BatchGate {
public:
    using Clock = std::chrono::steady_clock;

    void setInterval(std::chrono::milliseconds interval) { interval_ = interval.count(); }
    void start() { runsUntil_ = (Clock::now().time_since_epoch().count()) + toTicks(interval_); }
    bool isRunning() const { return Clock::now().time_since_epoch().count() < runsUntil_; }

private:
    static Clock::rep toTicks(long long ms) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(ms)).count();
    }

    std::atomic<long long> interval_{0};
    std::atomic<Clock::rep> runsUntil_{0};
};

} // namespace pelorin::modem

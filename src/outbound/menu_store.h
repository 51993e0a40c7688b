#pragma once
// Stores the menu requests of the "MERL-CENTER" type one after another on a thread of its own,
// with that thread's own database connection, so that the listener never waits for the
// database. A request that meets a busy or lost database waits for it as every other path
// does; only then is it reported as stored or not.
// Never throws; `done` is called on the store's thread, exactly once per request.

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace pelorin::outbound {

// One request ready to be stored: a received message of the caller.
struct MenuEntry {
    std::string caller;
    std::string message;
    std::string stamp; // "dd-mm-yy hh:mm:ss", when the request arrived
};

class MenuStore {
public:
    // Stores one entry in one transaction; throws DbError when it cannot.
    using Store = std::function<void(const MenuEntry&)>;
    // Waits for a lost connection (or a file another writer holds) to come back; false when it
    // did not.
    using AwaitDatabase = std::function<bool()>;
    using Done = std::function<void(bool stored, const std::string& error)>;

    MenuStore(Store store, AwaitDatabase awaitDatabase);
    // Finishes the request under way; the ones still waiting are reported as not stored.
    ~MenuStore();
    MenuStore(const MenuStore&) = delete;
    MenuStore& operator=(const MenuStore&) = delete;

    void submit(MenuEntry entry, Done done);

private:
    struct Job {
        MenuEntry entry;
        Done done;
    };
    void run();
    bool storeOne(const MenuEntry& entry, std::string& error);

    Store store_;
    AwaitDatabase awaitDatabase_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::atomic<bool> ending_{false};
    std::unique_ptr<QThread> thread_;
};

} // namespace pelorin::outbound

#include "outbound/menu_store.h"

#include <exception>

#include "db/database.h"

namespace pelorin::outbound {
namespace {

constexpr int kConflictTries = 5;

} // namespace

MenuStore::MenuStore(Store store, AwaitDatabase awaitDatabase)
    : store_(std::move(store)), awaitDatabase_(std::move(awaitDatabase)) {
    thread_.reset(QThread::create([this] { run(); }));
    thread_->setObjectName(QStringLiteral("menu store"));
    thread_->start();
}

MenuStore::~MenuStore() {
    {
        const std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    thread_->wait();
}

void MenuStore::submit(MenuEntry entry, Done done) {
    {
        const std::lock_guard lock(mutex_);
        jobs_.push_back({std::move(entry), std::move(done)});
    }
    wake_.notify_one();
}

void MenuStore::run() {
    while (true) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return ending_ || !jobs_.empty(); });
            if (jobs_.empty()) break;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        std::string error = "the module is ending";
        const bool stored = !ending_ && storeOne(job.entry, error);
        job.done(stored, error);
    }
    db::Database::closeThisThread();
}

// Done again after a conflict, and after a lost connection or a file another writer held
// (db::Busy) came back; any other failure is final.
bool MenuStore::storeOne(const MenuEntry& entry, std::string& error) {
    for (int conflicts = 0;;) {
        try {
            store_(entry);
            return true;
        } catch (const db::Conflict& e) {
            error = e.what();
            if (++conflicts >= kConflictTries) return false;
        } catch (const db::ConnectionLost& e) {
            error = e.what();
            if (!awaitDatabase_ || !awaitDatabase_()) return false;
        } catch (const std::exception& e) {
            error = e.what();
            return false;
        }
    }
}

} // namespace pelorin::outbound

#include "app/module.h"

#include "db/database.h"

namespace pelorin::app {

Module::Module(QObject* parent) : QObject(parent) {}

bool Module::formCreate(const std::string& argument) {
    connectionError_ = db::Database::open(db::DatabaseConfig::fromEnvironment());
    if (!connectionError_.isEmpty()) return false;

    BrowserIndex = 0;
    StopFlag = true;
    settings_ = Settings{};
    const int pieces = applyCommandLine(settings_, argument);
    emit settingsChanged();
    if (pieces > 2) startModule();
    return true;
}

void Module::startModule() {
    // The modem engine is not part of this build yet: START only records the request, so
    // the start-up decision is visible and testable.
    startRequested_ = true;
    emit moduleStarted();
}

} // namespace pelorin::app

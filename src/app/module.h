#pragma once
// One module instance: its settings, its run-time flags and its start-up sequence. The
// window only shows this object, so everything here runs without a display.
// Never throws; a failed database connection is reported through formCreate's result.

#include <QObject>
#include <QString>
#include <atomic>
#include <string>

#include "app/settings.h"

namespace pelorin::app {

class Module : public QObject {
    Q_OBJECT
public:
    explicit Module(QObject* parent = nullptr);

    // The start-up sequence: open the shared database, reset the run-time state, apply the
    // command-line argument, and start when it carried more than two settings. Returns false
    // (and does nothing after the connection attempt) when the database cannot be opened;
    // connectionError() then says why.
    bool formCreate(const std::string& argument);

    const Settings& settings() const { return settings_; }
    QString connectionError() const { return connectionError_; }
    bool startRequested() const { return startRequested_; }

    // Set while no worker may run; the worker and every modem exchange test it.
    std::atomic<bool> StopFlag{true};
    int BrowserIndex = 0;

public slots:
    // START. The modem engine, the port row and supervision hang off this call.
    void startModule();

signals:
    void settingsChanged();
    void moduleStarted();

private:
    Settings settings_;
    QString connectionError_;
    bool startRequested_ = false;
};

} // namespace pelorin::app

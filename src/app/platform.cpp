#include "app/platform.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QString>
#include <QtGlobal>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "log/log.h"

namespace pelorin::app {
namespace {

int signalPipe[2] = {-1, -1};

void writeSignalByte(int) {
    const char byte = 1;
    // Only async-signal-safe work here: the event loop picks the byte up.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}

} // namespace

void routeQtMessages() {
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) return;
        const std::string text = message.toStdString();
        switch (type) {
        case QtDebugMsg: log::debug(text); break;
        case QtInfoMsg: log::info(text); break;
        case QtWarningMsg: log::warning(text); break;
        default: log::error(text); break;
        }
    });
}

void handleTerminationSignals(QObject* parent, std::function<void()> onSignal) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [onSignal] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[1], &byte, 1);
        onSignal();
    });
    struct sigaction action = {};
    action.sa_handler = writeSignalByte;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
}

} // namespace pelorin::app

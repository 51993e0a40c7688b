// Program entry of one module instance, built twice: `pelorin` (modems) and `pelorin-net`
// ("MERL-CENTER", "MERL-SENDER"). Without a window to show (no display, or "showme" other
// than "1") the module runs here on Qt Core; otherwise this process becomes the window
// program. `pelorin` hands the types that need Qt Network to `pelorin-net`.

#include <QCoreApplication>

#include <optional>

#include "app/launch.h"
#include "app/module.h"
#include "app/platform.h"
#include "log/log.h"

namespace launch = pelorin::app::launch;
using pelorin::app::Module;

int main(int argc, char** argv) {
    if (const std::optional<int> answered = launch::answerOption(argc, argv)) return *answered;
    launch::nameProcess();
    if (launch::wantsWindow(argc, argv)) {
        launch::becomeProgram(launch::kWindowProgram, argv, "running without a window");
    }
    if (launch::needsNetwork(argc, argv) && !Module::networkLinked()) {
        // Should that fail, START refuses the type: the port row says ERR, the log why.
        launch::becomeProgram(launch::kNetworkProgram, argv, "this type cannot run here");
    }
    // Qt's own event loop rather than GLib's: nothing here needs GLib, whose loop costs each
    // wake-up of the module's threads more CPU.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    pelorin::app::routeQtMessages();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Pelorin"));

    const std::string argument = launch::settingsArgument(argc, argv);
    if (const QString refused = launch::refusal(argument, true); !refused.isEmpty()) {
        pelorin::log::error(refused.toStdString());
        return launch::kUnusableSettings;
    }

    Module module;
    QObject::connect(&module, &Module::finished, &app, [](int status) { QCoreApplication::exit(status); },
                     Qt::QueuedConnection);
    QObject::connect(&module, &Module::operatorMessage, &app,
                     [](const QString& text) { pelorin::log::error(text.toStdString()); });
    pelorin::app::handleTerminationSignals(&app, [&module] { module.terminate(); });
    launch::logProgress(module);

    if (!module.formCreate(argument)) {
        // The cause goes to the log on a line of its own; the operator sees the message as it is.
        pelorin::log::error(module.connectionError().toStdString());
        pelorin::log::error(launch::kConnectionFailed);
        // Nobody could close a window here: a failure status tells a service manager.
        return 1;
    }
    if (!module.workerStarted() && !module.ended()) {
        // START said why (a listening port that is not a number); nobody could correct it.
        pelorin::log::error("nothing was started, and without a window nobody can press START: ending");
        return launch::kUnusableSettings;
    }
    return QCoreApplication::exec();
}

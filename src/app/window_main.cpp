// Program entry of a module with a window and a tray icon: what `pelorin` becomes where a
// window can be seen. Run by itself without a display it still works, on Qt's offscreen
// platform.

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include <memory>
#include <optional>

#include "app/launch.h"
#include "app/main_window.h"
#include "app/module.h"
#include "app/platform.h"
#include "log/log.h"

namespace {

namespace launch = pelorin::app::launch;
using pelorin::app::MainWindow;
using pelorin::app::Module;

// Without a display (no DISPLAY nor WAYLAND_DISPLAY) Qt's offscreen platform, so that the
// program also runs on a server. Before the application object exists.
void selectPlatform() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

// Nobody can see or close a window on the offscreen platform.
bool isHeadless() {
    return QGuiApplication::platformName() == QLatin1String("offscreen");
}

// Operator messages go to standard error always and into a message box where one can be seen.
void tellOperator(const QString& text, QWidget* window) {
    pelorin::log::error(text.toStdString());
    if (!isHeadless()) QMessageBox::warning(window, QStringLiteral("Pelorin"), text);
}

} // namespace

int main(int argc, char** argv) {
    if (const std::optional<int> answered = launch::answerOption(argc, argv)) return *answered;
    launch::nameProcess();
    pelorin::app::routeQtMessages();
    selectPlatform();
    QApplication app(argc, argv);
    // No display name: Qt would append it to the window's caption.
    QApplication::setApplicationName(QStringLiteral("Pelorin"));
    // The module ends the program itself; hiding or closing the window does not.
    QApplication::setQuitOnLastWindowClosed(false);

    const std::string argument = launch::settingsArgument(argc, argv);
    const bool headless = isHeadless();
    if (const QString refused = launch::refusal(argument, headless); !refused.isEmpty()) {
        tellOperator(refused, nullptr);
        return launch::kUnusableSettings;
    }

    Module module;
    std::unique_ptr<MainWindow> window;
    if (!headless) window = std::make_unique<MainWindow>(module);
    QObject::connect(&module, &Module::finished, &app, [&module, &window](int status) {
        // A window that simply vanished would leave its operator guessing.
        if (window && status != 0 && !module.endReason().isEmpty()) {
            QMessageBox::critical(window.get(), QStringLiteral("Pelorin"), module.endReason());
        }
        QCoreApplication::exit(status);
    }, Qt::QueuedConnection);
    QObject::connect(&module, &Module::operatorMessage, &app,
                     [&window](const QString& text) { tellOperator(text, window.get()); });
    pelorin::app::handleTerminationSignals(&app, [&module] { module.terminate(); });
    launch::logProgress(module);

    if (!module.formCreate(argument)) {
        pelorin::log::error(module.connectionError().toStdString());
        tellOperator(QString::fromLatin1(launch::kConnectionFailed), window.get());
        if (headless) return 1;
        window->finishStartup(false, false);
        return QApplication::exec();
    }
    const bool unattended = headless || !module.settings().ShowTray;
    if (unattended && !module.workerStarted() && !module.ended()) {
        pelorin::log::error("nothing was started, and without a window nobody can press START: ending");
        return launch::kUnusableSettings;
    }
    if (!headless) window->finishStartup(true, QSystemTrayIcon::isSystemTrayAvailable());
    return QApplication::exec();
}

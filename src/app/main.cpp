// Program entry of one module instance.

#include <QApplication>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include <memory>

#include <cstdio>

#include "app/main_window.h"
#include "app/module.h"
#include "app/platform.h"
#include "log/log.h"

namespace {

using pelorin::app::MainWindow;
using pelorin::app::Module;

constexpr const char* kConnectionFailed = "Koneksi Database GAGAL";

// Operator messages go to standard error always and into a message box where one can be seen.
void tellOperator(const QString& text, QWidget* window) {
    pelorin::log::error(text.toStdString());
    if (!pelorin::app::isHeadless()) QMessageBox::warning(window, QStringLiteral("Pelorin"), text);
}

// PELORIN_VERBOSE=1 prints the module's progress, one line per event, for the demo and
// for operators watching a module from a shell.
void printProgress(const Module& module) {
    if (qEnvironmentVariableIntValue("PELORIN_VERBOSE") == 0) return;
    auto print = [](const char* what, const QString& text) {
        std::printf("%s %s\n", what, qPrintable(QString(text).replace(QLatin1Char('\r'), QStringLiteral("\\r"))
                                                    .replace(QLatin1Char('\n'), QStringLiteral("\\n"))));
        std::fflush(stdout);
    };
    QObject::connect(&module, &Module::progress, [print](const QString& t) { print("status:", t); });
    QObject::connect(&module, &Module::commandSent, [print](const QString& t) { print("modem <", t); });
    QObject::connect(&module, &Module::quizChecked, [print](const QString& t) { print("stored:", t); });
}

} // namespace

int main(int argc, char** argv) {
    pelorin::app::selectPlatform();
    QApplication app(argc, argv);
    // No display name: Qt would append it to the window's caption.
    QApplication::setApplicationName(QStringLiteral("Pelorin"));
    // The module ends the program itself; hiding or closing the window does not.
    QApplication::setQuitOnLastWindowClosed(false);

    // The settings argument arrives in the locale's encoding; the module works in UTF-8.
    const std::string argument =
        argc > 1 ? QString::fromLocal8Bit(argv[1]).toStdString() : std::string();

    Module module;
    // Without a display nobody sees a window: a headless module makes no widgets at all.
    const bool headless = pelorin::app::isHeadless();
    std::unique_ptr<MainWindow> window;
    if (!headless) window = std::make_unique<MainWindow>(module);
    QObject::connect(&module, &Module::finished, &app, [](int status) { QCoreApplication::exit(status); },
                     Qt::QueuedConnection);
    QObject::connect(&module, &Module::operatorMessage, &app,
                     [&window](const QString& text) { tellOperator(text, window.get()); });
    pelorin::app::handleTerminationSignals(&app, [&module] { module.terminate(); });
    printProgress(module);

    if (!module.formCreate(argument)) {
        // The cause goes to the log on a line of its own; the operator sees the message as it is.
        pelorin::log::error(module.connectionError().toStdString());
        tellOperator(QString::fromLatin1(kConnectionFailed), window.get());
        // Without a display nobody could ever close the window: end with a failure status
        // so a service manager sees it.
        if (headless) return 1;
        window->finishStartup(false, false);
        return QApplication::exec();
    }
    if (headless) {
        if (module.settings().ShowTray) {
            pelorin::log::info("no display: running without a window or tray icon");
        }
    } else {
        window->finishStartup(true, QSystemTrayIcon::isSystemTrayAvailable());
    }
    return QApplication::exec();
}

// Program entry of one module instance.

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

#include "app/main_window.h"
#include "app/module.h"
#include "app/platform.h"

namespace {

using pelorin::app::Module;

constexpr const char* kConnectionFailed = "Koneksi Database GAGAL";

// Operator messages go to standard error always and into a message box where one can be seen.
void tellOperator(const QString& text, QWidget* window) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
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
    QApplication::setApplicationName(QStringLiteral("Pelorin"));
    QApplication::setApplicationDisplayName(QStringLiteral("Pelorin"));

    // The settings argument arrives in the locale's encoding; the module works in UTF-8.
    const std::string argument =
        argc > 1 ? QString::fromLocal8Bit(argv[1]).toStdString() : std::string();

    Module module;
    pelorin::app::MainWindow window(module);
    QObject::connect(&module, &Module::finished, &app, [](int status) { QCoreApplication::exit(status); },
                     Qt::QueuedConnection);
    QObject::connect(&module, &Module::operatorMessage, &window,
                     [&window](const QString& text) { tellOperator(text, &window); });
    pelorin::app::handleTerminationSignals(&app, [&module] { module.terminate(); });
    printProgress(module);

    if (!module.formCreate(argument)) {
        tellOperator(QString::fromLatin1(kConnectionFailed) + QStringLiteral("\n(") +
                         module.connectionError() + QLatin1Char(')'),
                     &window);
        // Without a display nobody could ever close the window: end with a failure status
        // so a service manager sees it.
        if (pelorin::app::isHeadless()) return 1;
        window.show();
        return QApplication::exec();
    }
    // Offscreen, a window is seen by nobody: showing it would only cost memory.
    if (module.settings().ShowTray && !pelorin::app::isHeadless()) window.show();
    return QApplication::exec();
}

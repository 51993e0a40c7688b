// Program entry of one module instance.

#include <QApplication>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "app/main_window.h"
#include "app/module.h"
#include "app/platform.h"
#include "app/settings.h"
#include "log/log.h"

namespace {

using pelorin::app::MainWindow;
using pelorin::app::Module;

constexpr const char* kConnectionFailed = "Koneksi Database GAGAL";
// Settings the module cannot use, or an instance nobody could ever start: a service manager
// must not restart it in a loop.
constexpr int kUnusableSettings = 2;

constexpr const char* kUsage =
    "usage: pelorin [SETTINGS]\n"
    "       pelorin --help | --version\n"
    "Runs the module of one port. SETTINGS are key=value pieces joined by \"#\", for example\n"
    "  com=5#modem=WAVECOM#baudrate=115200#center=CENTER#sender=SENDER\n"
    "Keys: com, modem, baudrate, handshake, nama, whandle, tipesender, delay, sender, center,\n"
    "showme, listen, allow. More than two settings start the module at once. Without SETTINGS\n"
    "the module takes them from $PELORIN_SETTINGS. The environment (PELORIN_HOME,\n"
    "PELORIN_DATABASE, PELORIN_DEVICE_DIR, PELORIN_VERBOSE, ...) is described in the README.\n"
    "Exit status: 0 stopped, 1 failed (modem, database, ...), 2 settings it cannot use.\n";

// --help and --version, answered before anything else starts; nothing when the argument is
// a settings argument.
std::optional<int> answerOption(int argc, char** argv) {
    if (argc < 2 || std::strncmp(argv[1], "-", 1) != 0) return std::nullopt;
    const std::string option = argv[1];
    if (option == "--help" || option == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (option == "--version" || option == "-V") {
        std::printf("pelorin %s\n", PELORIN_VERSION);
        return 0;
    }
    std::fprintf(stderr, "pelorin: unknown option %s\n%s", option.c_str(), kUsage);
    return kUnusableSettings;
}

// The settings argument: the first argument, else PELORIN_SETTINGS (how a service passes
// them without showing an activation key to every `ps`). In the locale's encoding; the
// module works in UTF-8.
std::string settingsArgument(int argc, char** argv) {
    if (argc > 1) return QString::fromLocal8Bit(argv[1]).toStdString();
    return qEnvironmentVariable("PELORIN_SETTINGS").toStdString();
}

// Operator messages go to standard error always and into a message box where one can be seen.
void tellOperator(const QString& text, QWidget* window) {
    pelorin::log::error(text.toStdString());
    if (!pelorin::app::isHeadless()) QMessageBox::warning(window, QStringLiteral("Pelorin"), text);
}

// Why these settings cannot run here, before anything is opened; empty when they can.
QString refusal(const std::string& argument, bool unattended) {
    pelorin::app::Settings settings;
    const int pieces = pelorin::app::applyCommandLine(settings, argument);
    if (const std::string problem = pelorin::app::unusableSetting(settings); !problem.empty()) {
        return QString::fromStdString(problem);
    }
    const QString instance = qEnvironmentVariable("PELORIN_INSTANCE");
    if (!instance.isEmpty() && instance.toStdString() != settings.cport) {
        return QStringLiteral("this is the instance for port %1, but its settings name port %2 (com=%2)")
            .arg(instance, QString::fromStdString(settings.cport));
    }
    if (unattended && pieces <= 2) {
        return QStringLiteral("with fewer than three settings the module waits for START, and without a "
                              "window nobody can press it; give the full settings");
    }
    return {};
}

// PELORIN_VERBOSE: the worker's status texts (not its cycle counter, which ticks several
// times a second) as debug lines; the modem conversation is traced by the module itself.
void logProgress(const Module& module) {
    if (!pelorin::log::verbose()) return;
    QObject::connect(&module, &Module::progress, [](const QString& text) {
        bool counter = false;
        text.toInt(&counter);
        if (!counter) pelorin::log::debug("status: " + text.toStdString());
    });
}

} // namespace

int main(int argc, char** argv) {
    if (const std::optional<int> answered = answerOption(argc, argv)) return *answered;
    pelorin::app::routeQtMessages();
    pelorin::app::selectPlatform();
    QApplication app(argc, argv);
    // No display name: Qt would append it to the window's caption.
    QApplication::setApplicationName(QStringLiteral("Pelorin"));
    // The module ends the program itself; hiding or closing the window does not.
    QApplication::setQuitOnLastWindowClosed(false);

    const std::string argument = settingsArgument(argc, argv);
    // Without a display nobody sees a window: a headless module makes no widgets at all.
    const bool headless = pelorin::app::isHeadless();
    if (const QString refused = refusal(argument, headless); !refused.isEmpty()) {
        tellOperator(refused, nullptr);
        return kUnusableSettings;
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
    logProgress(module);

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
    const bool unattended = headless || !module.settings().ShowTray;
    if (unattended && !module.workerStarted() && !module.ended()) {
        // START said why (a listening port that is not a number); nobody could correct it.
        pelorin::log::error("nothing was started, and without a window nobody can press START: ending");
        return kUnusableSettings;
    }
    if (!headless) window->finishStartup(true, QSystemTrayIcon::isSystemTrayAvailable());
    return QApplication::exec();
}

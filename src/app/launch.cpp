#include "app/launch.h"

#include <QObject>
#include <QtGlobal>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

#include "app/module.h"
#include "app/settings.h"
#include "log/log.h"

namespace pelorin::app::launch {
namespace {

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

bool displayPlatform() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty()) return !platform.startsWith("offscreen");
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

Settings rawSettings(int argc, char** argv) {
    const char* raw = argc > 1 ? argv[1] : std::getenv("PELORIN_SETTINGS");
    Settings settings;
    applyCommandLine(settings, raw != nullptr ? raw : "");
    return settings;
}

std::string ownProgram() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

} // namespace

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

std::string settingsArgument(int argc, char** argv) {
    if (argc > 1) return QString::fromLocal8Bit(argv[1]).toStdString();
    return qEnvironmentVariable("PELORIN_SETTINGS").toStdString();
}

QString refusal(const std::string& argument, bool unattended) {
    Settings settings;
    const int pieces = applyCommandLine(settings, argument);
    if (const std::string problem = unusableSetting(settings); !problem.empty()) {
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

void logProgress(const Module& module) {
    if (!log::verbose()) return;
    QObject::connect(&module, &Module::progress, [](const QString& text) {
        bool counter = false;
        text.toInt(&counter);
        if (!counter) log::debug("status: " + text.toStdString());
    });
}

bool wantsWindow(int argc, char** argv) {
    return displayPlatform() && rawSettings(argc, argv).ShowTray;
}

bool needsNetwork(int argc, char** argv) {
    return Module::needsNetwork(rawSettings(argc, argv).cmodem);
}

void nameProcess() {
    ::prctl(PR_SET_NAME, "pelorin", 0, 0, 0);
}

void becomeProgram(const char* name, char** argv, const char* otherwise) {
    const std::string self = ownProgram();
    const std::string folder = self.substr(0, self.rfind('/') + 1);
    // Beside this program in a build tree; in the libexec folder once installed.
    for (const std::string& candidate : {folder + name, folder + PELORIN_PROGRAM_FOLDER "/" + name}) {
        if (self.empty() || ::access(candidate.c_str(), X_OK) != 0) continue;
        argv[0] = const_cast<char*>(candidate.c_str());
        ::execv(candidate.c_str(), argv);
        log::error("cannot start the program " + candidate + " (" + std::strerror(errno) + "); " + otherwise);
        return;
    }
    log::error(std::string("the program ") + name + " is not installed beside " + self + "; " + otherwise);
}

} // namespace pelorin::app::launch

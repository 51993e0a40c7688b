// Program entry of one module instance.

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

#include "app/main_window.h"
#include "app/module.h"
#include "app/platform.h"
#include "db/cp1252.h"

namespace {

constexpr const char* kConnectionFailed = "Koneksi Database GAGAL";

void reportConnectionFailure(const pelorin::app::Module& module, QWidget* window) {
    std::fprintf(stderr, "%s\n(%s)\n", kConnectionFailed,
                 qPrintable(module.connectionError()));
    std::fflush(stderr);
    if (!pelorin::app::isHeadless()) {
        QMessageBox::critical(window, QStringLiteral("Pelorin"), QString::fromLatin1(kConnectionFailed));
    }
}

} // namespace

int main(int argc, char** argv) {
    pelorin::app::selectPlatform();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pelorin"));
    QApplication::setApplicationDisplayName(QStringLiteral("Pelorin"));
    QApplication::setQuitOnLastWindowClosed(true);
    pelorin::app::quitOnTerminationSignals(&app);

    // The settings argument arrives in the locale's encoding; the module works in Windows-1252.
    const std::string argument =
        argc > 1 ? pelorin::db::toWindows1252(QString::fromLocal8Bit(argv[1])) : std::string();

    pelorin::app::Module module;
    pelorin::app::MainWindow window(module);
    if (!module.formCreate(argument)) {
        reportConnectionFailure(module, &window);
        // Without a display nobody could ever close the window: end with a failure status
        // so a service manager sees it.
        if (pelorin::app::isHeadless()) return 1;
        window.show();
        return QApplication::exec();
    }
    if (module.settings().ShowTray) window.show();
    return QApplication::exec();
}

#include "db/paths.h"

#include <QCoreApplication>
#include <QDir>

namespace pelorin::db {

QString homeDirectory() {
    const QString env = qEnvironmentVariable("PELORIN_HOME");
    if (!env.isEmpty()) return QDir(env).absolutePath();
    return QCoreApplication::applicationDirPath();
}

QString deviceDirectory() {
    const QString env = qEnvironmentVariable("PELORIN_DEVICE_DIR");
    return env.isEmpty() ? QStringLiteral("/dev") : env;
}

QString serialDevicePath(const QString& portNumber) {
    return QDir(deviceDirectory()).filePath(QStringLiteral("COM") + portNumber);
}

} // namespace pelorin::db

#include "modem/serial_line.h"

#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <memory>
#include <thread>

namespace pelorin::modem {

SerialConfig serialConfigFor(const QString& device, const std::string& baudText,
                             const std::string& handshakeText) {
    SerialConfig config;
    config.device = device;
    config.baudRate = baudText == "115200" ? 115200 : 9600;
    if (handshakeText == "2") {
        config.flow = QSerialPort::HardwareControl;
        config.dtr = false;
    } else if (handshakeText == "0") {
        config.flow = QSerialPort::HardwareControl;
        config.dtr = true;
    } else {
        config.flow = QSerialPort::NoFlowControl;
        config.dtr = false;
        config.rts = false;
    }
    return config;
}

SerialLine::SerialLine(QObject* parent) : QObject(parent) {
    connect(&port_, &QSerialPort::readyRead, this, &SerialLine::readArrived);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialLine::errorOccurred);
}

SerialLine::~SerialLine() {
    close();
}

QString SerialLine::open(const SerialConfig& config) {
    if (port_.isOpen()) port_.close();
    port_.setPortName(config.device);
    port_.setBaudRate(config.baudRate);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(config.flow);
    if (!port_.open(QIODevice::ReadWrite)) return port_.errorString();
    // Modem-control lines may be unsupported (a pseudo-terminal has none); that is harmless.
    port_.setDataTerminalReady(config.dtr);
    if (config.flow != QSerialPort::HardwareControl) port_.setRequestToSend(config.rts);
    port_.clearError();
    return {};
}

void SerialLine::close() {
    if (port_.isOpen()) port_.close();
}

bool SerialLine::writeHere(const QByteArray& bytes) {
    if (!port_.isOpen()) return false;
    return port_.write(bytes) == bytes.size();
}

bool SerialLine::writeFromAnyThread(const std::string& bytes, const std::atomic<bool>& stop,
                                    int timeoutMs) {
    const QByteArray data(bytes.data(), static_cast<qsizetype>(bytes.size()));
    if (QThread::currentThread() == thread()) return writeHere(data);

    // Shared with the queued call, which may run after this function gave up.
    struct Handoff {
        std::atomic<int> state{0}; // 0 pending, 1 written, 2 failed
    };
    auto handoff = std::make_shared<Handoff>();
    QMetaObject::invokeMethod(this, [this, data, handoff] {
        handoff->state = writeHere(data) ? 1 : 2;
    }, Qt::QueuedConnection);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (handoff->state == 0) {
        if (stop || std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return handoff->state == 1;
}

void SerialLine::readArrived() {
    const QByteArray bytes = port_.readAll();
    if (bytes.isEmpty() || !receiver_) return;
    receiver_(std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

void SerialLine::errorOccurred(QSerialPort::SerialPortError error) {
    // A vanished device (unplugged modem, hung-up line) would otherwise keep signalling;
    // closing makes the next write fail, which the exchange reports.
    if (error == QSerialPort::ResourceError && port_.isOpen()) {
        port_.close();
    }
}

} // namespace pelorin::modem

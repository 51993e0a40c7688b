#include "modem/serial_line.h"

#include <QMetaObject>
#include <QObject>

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

class SerialPortOwner : public QObject {
public:
    explicit SerialPortOwner(SerialLine::Receiver receiver) : receiver_(std::move(receiver)) {
        QObject::connect(&port_, &QSerialPort::readyRead, this, [this] { readArrived(); });
        QObject::connect(&port_, &QSerialPort::errorOccurred, this,
                         [this](QSerialPort::SerialPortError e) { errorOccurred(e); });
    }

    QString open(const SerialConfig& config) {
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

    void close() {
        if (port_.isOpen()) port_.close();
    }

    bool write(const QByteArray& bytes) {
        if (!port_.isOpen()) return false;
        return port_.write(bytes) == bytes.size();
    }

private:
    void readArrived() {
        const QByteArray bytes = port_.readAll();
        if (bytes.isEmpty() || !receiver_) return;
        receiver_(std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    }

    void errorOccurred(QSerialPort::SerialPortError error) {
        // A vanished device (unplugged modem, hung-up line) would otherwise keep signalling;
        // closing makes the next write fail, which the exchange reports.
        if (error == QSerialPort::ResourceError && port_.isOpen()) port_.close();
    }

    QSerialPort port_{this};
    SerialLine::Receiver receiver_;
};

SerialLine::SerialLine() {
    thread_.setObjectName(QStringLiteral("serial"));
}

SerialLine::~SerialLine() {
    if (!thread_.isRunning()) return;
    // The port and its notifiers must go on the thread they belong to.
    QMetaObject::invokeMethod(owner_, [this] { delete owner_; }, Qt::BlockingQueuedConnection);
    owner_ = nullptr;
    thread_.quit();
    thread_.wait();
}

template <typename Call>
auto SerialLine::onIoThread(Call call) {
    decltype(call()) result{};
    QMetaObject::invokeMethod(owner_, [&] { result = call(); }, Qt::BlockingQueuedConnection);
    return result;
}

QString SerialLine::open(const SerialConfig& config) {
    if (!thread_.isRunning()) {
        owner_ = new SerialPortOwner(receiver_);
        owner_->moveToThread(&thread_);
        thread_.start();
    }
    return onIoThread([&] { return owner_->open(config); });
}

void SerialLine::close() {
    if (!thread_.isRunning()) return;
    onIoThread([this] {
        owner_->close();
        return true;
    });
}

bool SerialLine::write(const std::string& bytes, const std::atomic<bool>& stop, bool mayGiveUp,
                       int timeoutMs) {
    if (!thread_.isRunning()) return false;
    const QByteArray data(bytes.data(), static_cast<qsizetype>(bytes.size()));

    // Shared with the queued call, which may run after this function gave up; whoever moves
    // the state away from "pending" first decides whether the bytes go out.
    enum State { Pending, Writing, Written, Failed, Cancelled };
    auto state = std::make_shared<std::atomic<int>>(Pending);
    QMetaObject::invokeMethod(owner_, [owner = owner_, data, state] {
        int expected = Pending;
        if (!state->compare_exchange_strong(expected, Writing)) return;
        *state = owner->write(data) ? Written : Failed;
    }, Qt::QueuedConnection);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        const int now = *state;
        if (now == Written || now == Failed) return now == Written;
        const bool giveUp = (mayGiveUp && stop) || std::chrono::steady_clock::now() > deadline;
        int expected = Pending;
        if (giveUp && state->compare_exchange_strong(expected, Cancelled)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace pelorin::modem

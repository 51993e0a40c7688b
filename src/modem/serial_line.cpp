#include "modem/serial_line.h"

#include <QMetaObject>
#include <QObject>

#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include <unistd.h>

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

// The descriptor the worker writes to, shared with the I/O thread, which reads and closes
// it. Held while a write is under way, so that a close never lands in the middle of one and a
// descriptor number reused after a close is never written to.
struct SerialLine::WriteEnd {
    std::mutex mutex;
    int fd = -1;

    void set(int descriptor) {
        const std::lock_guard lock(mutex);
        fd = descriptor;
    }
};

class SerialPortOwner : public QObject {
public:
    SerialPortOwner(SerialLine::Receiver receiver, std::shared_ptr<SerialLine::WriteEnd> writeEnd)
        : receiver_(std::move(receiver)), writeEnd_(std::move(writeEnd)) {
        QObject::connect(&port_, &QSerialPort::readyRead, this, [this] { readArrived(); });
        QObject::connect(&port_, &QSerialPort::errorOccurred, this,
                         [this](QSerialPort::SerialPortError e) { errorOccurred(e); });
    }

    ~SerialPortOwner() override { close(); }

    QString open(const SerialConfig& config) {
        close();
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
        writeEnd_->set(static_cast<int>(port_.handle()));
        return {};
    }

    void close() {
        writeEnd_->set(-1);
        if (port_.isOpen()) port_.close();
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
        if (error == QSerialPort::ResourceError && port_.isOpen()) close();
    }

    QSerialPort port_{this};
    SerialLine::Receiver receiver_;
    std::shared_ptr<SerialLine::WriteEnd> writeEnd_;
};

SerialLine::SerialLine() : writeEnd_(std::make_shared<WriteEnd>()) {
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
        owner_ = new SerialPortOwner(receiver_, writeEnd_);
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
    // Written from the calling thread: the descriptor is non-blocking, so a write never waits
    // on the line, and the I/O thread is not woken for every command.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < bytes.size()) {
        {
            const std::lock_guard lock(writeEnd_->mutex);
            if (writeEnd_->fd < 0) return false;
            // A stop may keep a command off the line, never cut one that has begun.
            if (done == 0 && mayGiveUp && stop) return false;
            const ssize_t n = ::write(writeEnd_->fd, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        }
        // The output is held back (flow control, a full buffer): tried again until the deadline.
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace pelorin::modem

#pragma once
// The modem's serial line. It lives on the thread that created it (the UI thread), where
// received bytes are delivered; the worker writes through writeFromAnyThread(), which
// hands the bytes over and waits a bounded time, giving up when the stop flag is set, so
// the worker can never hang on a UI thread that is itself waiting for the worker.
// Never throws; failures come back as results.

#include <QObject>
#include <QSerialPort>
#include <QString>

#include <atomic>
#include <functional>
#include <string>

namespace pelorin::modem {

struct SerialConfig {
    QString device;                          // "<device dir>/COM<port>"
    qint32 baudRate = 115200;
    QSerialPort::FlowControl flow = QSerialPort::HardwareControl;
    bool dtr = false;                        // data terminal ready after opening
    bool rts = false;                        // request to send, without hardware handshake
};

// Speed: 115200 only for the exact text "115200", else 9600. Handshake "2": RTS/CTS, DTR
// off; "0": the stored default, output paced by CTS with DTR on; anything else: none.
SerialConfig serialConfigFor(const QString& device, const std::string& baudText,
                             const std::string& handshakeText);

class SerialLine : public QObject {
    Q_OBJECT
public:
    using Receiver = std::function<void(const std::string&)>;

    explicit SerialLine(QObject* parent = nullptr);
    ~SerialLine() override;

    // Opens the device with 8N1 and the configured speed and flow control; an error text
    // when it cannot be opened.
    QString open(const SerialConfig& config);
    void setReceiver(Receiver receiver) { receiver_ = std::move(receiver); }

    // Any thread. False when the port is closed, the write fails, the owning thread did not
    // take the bytes within `timeoutMs`, or `stop` became set while waiting.
    bool writeFromAnyThread(const std::string& bytes, const std::atomic<bool>& stop,
                            int timeoutMs = 10000);

public slots:
    void close();

private:
    bool writeHere(const QByteArray& bytes);
    void readArrived();
    void errorOccurred(QSerialPort::SerialPortError error);

    QSerialPort port_;
    Receiver receiver_;
};

} // namespace pelorin::modem

#pragma once
// The modem's serial line. The port lives on a thread of its own with its own event loop, so
// that received bytes are taken in whatever the UI thread is doing (a database statement
// there may wait for its busy timeout, and ending the program waits for the worker); writes go
// straight to the device from the writing thread. Every member may be called from any thread
// other than that I/O thread.
// Never throws; failures come back as results.

#include <QSerialPort>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
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

class SerialPortOwner; // the QObject on the I/O thread that owns the QSerialPort

class SerialLine {
public:
    // Called on the I/O thread with every chunk of received bytes.
    using Receiver = std::function<void(const std::string&)>;

    SerialLine();
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // Set before open().
    void setReceiver(Receiver receiver) { receiver_ = std::move(receiver); }
    // Opens the device with 8N1 and the configured speed and flow control; an error text
    // when it cannot be opened. Starts the I/O thread on first use.
    QString open(const SerialConfig& config);
    void close();

    // True when the bytes were written. False when the port is closed, the write failed, the
    // line did not take them within `timeoutMs`, or, only with `mayGiveUp`, `stop` was set
    // before the first byte went; bytes given up on are never written later.
    bool write(const std::string& bytes, const std::atomic<bool>& stop, bool mayGiveUp,
               int timeoutMs = 10000);

    struct WriteEnd;

private:
    template <typename Call>
    auto onIoThread(Call call);

    QThread thread_;
    SerialPortOwner* owner_ = nullptr; // lives on thread_
    Receiver receiver_;
    std::shared_ptr<WriteEnd> writeEnd_;
};

} // namespace pelorin::modem

#pragma once
// Menu requests of the "MERL-CENTER" type: another system connects over TCP, sends a caller
// number and up to eight inputs, gets a fixed reply, and the template that the first input
// chooses in the port's section of "merlcenter.ini" is filled and stored as a received
// message of the caller. The listener runs on the thread that created it (the UI thread)
// and bounds what a peer can cost: open connections, bytes read, idle time.
// Never throws; a store that fails is logged and the listener goes on.

#include <QObject>
#include <QString>
#include <QTcpServer>

#include <array>
#include <functional>
#include <string>

namespace pelorin::outbound {

struct MenuRequest {
    std::string caller;               // after "MSISDN="
    std::array<std::string, 8> inputs; // after "USRINP1=" to "USRINP8="
};

// Keys are found in any letter case; each value runs to the next "\r\n" or the end.
MenuRequest ParseMenuRequest(const std::string& text);

// The template of the first block of `portSection` (split at "Tipe=") whose first line equals
// input 1, with "^1" to "^8" replaced by the inputs; empty when no block matches or it has
// no "MESSAGE=" line.
std::string FillMenuTemplate(const std::string& portSection, const MenuRequest& request);

// The reply every accepted connection gets at once (151 bytes).
extern const char kMenuReply[];

class TcpMenuServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxConnections = 256;
    static constexpr qint64 kMaxBytes = 64 * 1024;
    static constexpr int kIdleMs = 30000;

    // Stores a received message: caller, text, own number, stamp.
    using Store = std::function<void(const std::string&, const std::string&, const std::string&,
                                     const std::string&)>;
    using OwnNumber = std::function<std::string()>;

    TcpMenuServer(std::string portSection, Store store, OwnNumber ownNumber, QObject* parent = nullptr);

    // Listens on every address on `port`; an error text when it cannot.
    QString listen(quint16 port);
    void close();
    int openConnections() const { return open_; }

signals:
    void received(const QString& text); // the text that arrived, for the progress display

private:
    void accept();
    void handle(QTcpSocket* socket);

    std::string portSection_;
    Store store_;
    OwnNumber ownNumber_;
    QTcpServer server_;
    int open_ = 0;
};

} // namespace pelorin::outbound

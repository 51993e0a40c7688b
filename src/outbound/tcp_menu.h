#pragma once
// Menu requests of the "MERL-CENTER" type: another system connects over TCP and sends a caller
// number and up to eight inputs; the template that the first input chooses in the port's
// section of "merlcenter.ini" is filled and stored as a received message of the caller, and
// only then does the connection get the fixed reply. A request that cannot be stored gets no
// reply. The listener runs on the thread that created it (the UI thread), stores through a
// thread of its own, and bounds what a peer can cost: open connections, bytes, time.
// Never throws; a store that fails is logged and the listener goes on.

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "outbound/menu_store.h"

class QEventLoop;
class QSocketNotifier;
class QTcpSocket;
class QTimer;

namespace pelorin::outbound {

struct MenuRequest {
    std::string caller;               // after "MSISDN="
    std::array<std::string, 8> inputs; // after "USRINP1=" to "USRINP8="
};

// Keys are found in any letter case; each value runs to the next "\r\n" or the end. Values
// come back as UTF-8 (bytes that are not UTF-8 read as Windows-1252), without U+0000.
MenuRequest ParseMenuRequest(const std::string& text);

// The filled text is never longer than this (bytes of UTF-8).
constexpr std::size_t kMaxFilledBytes = 64 * 1024;

// The template of the first block of `portSection` (split at "Tipe=") whose first line equals
// input 1, each "^1" to "^8" replaced by its input in one pass over the template (what an
// input brings is never read for placeholders), cut to kMaxFilledBytes; empty when no block
// matches or it has no "MESSAGE=" line.
std::string FillMenuTemplate(const std::string& portSection, const MenuRequest& request);

// Client addresses allowed to connect: single addresses or subnets ("10.0.0.0/8"), separated by
// commas; nothing when an entry is neither. An empty list allows everyone.
using ClientRules = std::vector<std::pair<QHostAddress, int>>;
std::optional<ClientRules> ParseAllowedClients(const std::string& list);

// The reply every request that was stored (or that had nothing to store) gets (151 bytes).
extern const char kMenuReply[];

class TcpMenuServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxConnections = 256;
    static constexpr qint64 kMaxRequestBytes = 16 * 1024;
    static constexpr int kPauseMs = 1000;   // a request is complete after this long without data
    static constexpr int kSilentMs = 5000;  // a connection that sent nothing is closed after this
    static constexpr int kRequestMs = 10000; // a request still arriving after this is taken as it is

    TcpMenuServer(const std::string& portSection, MenuStore::Store store, MenuStore::AwaitDatabase awaitDatabase,
                  QObject* parent = nullptr);
    ~TcpMenuServer() override;

    // Listens on `address` (empty: every interface) and `port`, taking connections only from
    // `allowed` (empty: anyone); an error text when it cannot.
    QString listen(const std::string& address, const std::string& allowed, quint16 port);
    // Stops taking connections, then stores and answers every request already read (closing
    // connections that sent nothing) before it returns, or after `ms` at the latest.
    void finish(int ms);
    void close();
    int openConnections() const { return static_cast<int>(connections_.size()); }

signals:
    void received(const QString& text); // the request that arrived (escaped), for the display

private:
    // A client's connection on a descriptor of its own rather than a QTcpSocket, which closes
    // as soon as the peer closes its side: a client that half-closes after its request must
    // still get the reply.
    struct Connection {
        int fd = -1;                              // -1 once closed
        std::unique_ptr<QSocketNotifier> reader;  // enabled while bytes are wanted
        std::unique_ptr<QTimer> timer;
        QByteArray data;
        qint64 firstByteMs = -1;
        std::string caller;
        bool peerDone = false; // the peer closed its side
        bool taken = false;    // complete: handed to the store or answered
        bool storing = false;  // the store has not reported yet
        bool answered = false; // the reply went and our side is closed
    };

    void accept();
    bool allowed(const QHostAddress& peer);
    void adopt(QTcpSocket* socket);
    void read(quint64 id);
    // Bytes from `before` on are new: the request is complete, or waits for more.
    void arrived(quint64 id, qsizetype before);
    void peerClosed(quint64 id);
    bool finished(const Connection& connection) const; // nothing more to wait for
    void shut(Connection& connection); // closes the descriptor; the entry stays
    void timedOut(quint64 id);
    void complete(quint64 id);
    void stored(quint64 id, bool ok, const std::string& error);
    void answer(Connection& connection);
    void release(quint64 id);

    std::string portSection_;
    std::unique_ptr<MenuStore> store_;
    QTcpServer server_;
    ClientRules allowed_;
    std::set<QString> refusedLogged_;
    std::map<quint64, Connection> connections_;
    quint64 serial_ = 0;
    bool paused_ = false;
    bool finishing_ = false; // a stop: answered connections are closed at once
    QElapsedTimer clock_;
    QEventLoop* draining_ = nullptr;
};

} // namespace pelorin::outbound

#include "outbound/tcp_menu.h"

#include <QDateTime>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log/log.h"
#include "pdu/text_utils.h"
#include "pdu/unicode.h"

namespace pelorin::outbound {

const char kMenuReply[] =
    "HTTP/1.0 200 OK\r\nTE: deflate,gzip;q=0.3\r\nConnection: TE, close\r\nHost: 127.0.0.1\r\n"
    "User-Agent: TAVRIN\r\nContent-Length: 2\r\nContent-Type: text/html\r\n\r\nOK\r\n";

namespace {

constexpr std::size_t kMaxRefusalsLogged = 100;
constexpr std::size_t kShownCharacters = 200;

std::string upperAZ(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// The value after `key` (found in any letter case) up to the next "\r\n" or the end.
std::string valueAfter(const std::string& text, const std::string& upper, const std::string& key) {
    const std::size_t at = upper.find(key);
    if (at == std::string::npos) return {};
    const std::size_t from = at + key.size();
    const std::size_t end = text.find("\r\n", from);
    return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// A value from the peer as the module keeps texts: UTF-8, and no U+0000.
std::string cleanValue(const std::string& raw) {
    std::string text = pdu::Utf8OrCp1252(raw);
    std::erase(text, '\0');
    return text;
}

// The longest prefix of at most `bytes` bytes that ends between two characters.
std::string utf8Prefix(std::string text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t cut = bytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text;
}

std::string fillOnce(const std::string& pattern, const std::array<std::string, 8>& inputs) {
    std::string out;
    for (std::size_t at = 0; at < pattern.size() && out.size() <= kMaxFilledBytes; ++at) {
        const char next = at + 1 < pattern.size() ? pattern[at + 1] : '\0';
        if (pattern[at] != '^' || next < '1' || next > '8') {
            out.push_back(pattern[at]);
            continue;
        }
        const std::string& input = inputs[static_cast<std::size_t>(next - '1')];
        out.append(input, 0, kMaxFilledBytes + 1 - out.size());
        ++at;
    }
    return utf8Prefix(std::move(out), kMaxFilledBytes);
}

QHostAddress plainAddress(const QHostAddress& address) {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : address;
}

} // namespace

MenuRequest ParseMenuRequest(const std::string& text) {
    const std::string upper = upperAZ(text);
    MenuRequest request;
    request.caller = cleanValue(valueAfter(text, upper, "MSISDN="));
    for (std::size_t k = 0; k < request.inputs.size(); ++k)
        request.inputs[k] = cleanValue(valueAfter(text, upper, "USRINP" + std::to_string(k + 1) + "="));
    return request;
}

std::string FillMenuTemplate(const std::string& portSection, const MenuRequest& request) {
    for (const std::string& block : pdu::SplitText(portSection, "Tipe=")) {
        const pdu::TSplitArray lines = pdu::SplitText(block, "\r\n");
        if (lines.empty() || lines.front() != request.inputs[0]) continue;
        return fillOnce(valueAfter(block, upperAZ(block), "MESSAGE="), request.inputs);
    }
    return {};
}

std::optional<ClientRules> ParseAllowedClients(const std::string& list) {
    ClientRules rules;
    for (const std::string& piece : pdu::SplitText(list, ",")) {
        const QString entry = QString::fromStdString(piece).trimmed();
        if (entry.isEmpty()) continue;
        std::pair<QHostAddress, int> rule = QHostAddress::parseSubnet(entry);
        if (!entry.contains(QLatin1Char('/'))) {
            rule = {QHostAddress(entry), -1};
            rule.second = rule.first.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
        }
        if (rule.first.isNull()) return std::nullopt;
        rules.emplace_back(plainAddress(rule.first), rule.second);
    }
    return rules;
}

TcpMenuServer::TcpMenuServer(const std::string& portSection, MenuStore::Store store,
                             MenuStore::AwaitDatabase awaitDatabase, QObject* parent)
    : QObject(parent), portSection_(pdu::Utf8OrCp1252(portSection)),
      store_(std::make_unique<MenuStore>(std::move(store), std::move(awaitDatabase))) {
    // Connections beyond the cap wait in the system's backlog, unanswered, until one ends.
    server_.setListenBacklogSize(kMaxConnections);
    connect(&server_, &QTcpServer::newConnection, this, &TcpMenuServer::accept);
    clock_.start();
}

TcpMenuServer::~TcpMenuServer() {
    close();
}

QString TcpMenuServer::listen(const std::string& address, const std::string& allowed, quint16 port) {
    QHostAddress host = QHostAddress::Any;
    if (!address.empty() && !host.setAddress(QString::fromStdString(address))) {
        return QStringLiteral("'%1' is not an address").arg(QString::fromStdString(address));
    }
    const std::optional<ClientRules> rules = ParseAllowedClients(allowed);
    if (!rules) return QStringLiteral("'%1' is not a list of addresses").arg(QString::fromStdString(allowed));
    allowed_ = *rules;
    if (server_.listen(host, port)) return {};
    return server_.errorString();
}

void TcpMenuServer::close() {
    server_.close();
    for (auto& [id, connection] : connections_) shut(connection);
    store_.reset(); // waits for the request under way
}

void TcpMenuServer::accept() {
    while (openConnections() < kMaxConnections) {
        QTcpSocket* socket = server_.nextPendingConnection();
        if (socket == nullptr) return;
        if (allowed(socket->peerAddress())) adopt(socket);
        socket->abort();
        socket->deleteLater();
    }
    // At the cap nothing more is taken: new connections wait, unanswered, until one ends.
    server_.pauseAccepting();
    paused_ = true;
}

bool TcpMenuServer::allowed(const QHostAddress& peer) {
    const QHostAddress address = plainAddress(peer);
    if (allowed_.empty()) return true;
    for (const auto& [subnet, prefix] : allowed_)
        if (address.isInSubnet(subnet, prefix)) return true;
    // Once per address: a peer that keeps trying must not flood the log.
    if (refusedLogged_.size() < kMaxRefusalsLogged && refusedLogged_.insert(address.toString()).second)
        log::warning("refused a menu connection from " + address.toString().toStdString() + ": not an allowed client");
    return false;
}

void TcpMenuServer::adopt(QTcpSocket* socket) {
    // The connection goes on with a copy of the descriptor; the socket is closed by the caller.
    // Bytes it took in while waiting in the server's list come along.
    const quint64 id = ++serial_;
    Connection& c = connections_[id];
    c.data = socket->read(kMaxRequestBytes);
    if (socket->state() == QAbstractSocket::ConnectedState) {
        c.fd = ::fcntl(static_cast<int>(socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
        if (c.fd < 0) log::warning(std::string("a menu connection could not be kept: ") + std::strerror(errno));
    }
    c.peerDone = c.fd < 0; // closed while it waited: nothing can be answered
    c.timer = std::make_unique<QTimer>();
    c.timer->setSingleShot(true);
    connect(c.timer.get(), &QTimer::timeout, this, [this, id] { timedOut(id); });
    c.timer->start(kSilentMs);
    if (c.fd >= 0) {
        c.reader = std::make_unique<QSocketNotifier>(c.fd, QSocketNotifier::Read);
        connect(c.reader.get(), &QSocketNotifier::activated, this, [this, id] { read(id); });
    }
    if (c.peerDone) peerClosed(id);
    else arrived(id, 0);
}

void TcpMenuServer::read(quint64 id) {
    const auto it = connections_.find(id);
    if (it == connections_.end() || it->second.fd < 0 || it->second.peerDone) return;
    Connection& c = it->second;
    if (c.answered) {
        // Answered: whatever else comes is read and dropped until the peer closes, so that
        // closing never resets a connection whose reply may still be on its way.
        char sink[4096];
        ssize_t n = 1;
        for (int chunk = 0; chunk < 16 && n > 0; ++chunk) n = ::recv(c.fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) release(id);
        return;
    }
    if (c.taken) return;
    const qsizetype before = c.data.size();
    while (c.data.size() < kMaxRequestBytes) {
        char buffer[4096];
        const ssize_t n =
            ::recv(c.fd, buffer, std::min<std::size_t>(sizeof buffer, static_cast<std::size_t>(kMaxRequestBytes - c.data.size())),
                   MSG_DONTWAIT);
        if (n > 0) {
            c.data.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) {
            c.peerDone = true;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            shut(c); // reset by the peer: nothing can be answered any more
            c.peerDone = true;
        }
        break;
    }
    if (c.peerDone) {
        peerClosed(id);
        return;
    }
    arrived(id, before);
}

void TcpMenuServer::arrived(quint64 id, qsizetype before) {
    Connection& c = connections_.at(id);
    if (c.data.size() == before) return;
    if (c.firstByteMs < 0) c.firstByteMs = clock_.elapsed();
    // An empty line ends a request, as it ends the head of an HTTP request.
    const bool ended = c.data.indexOf("\r\n\r\n", std::max<qsizetype>(0, before - 3)) >= 0;
    if (ended || c.data.size() >= kMaxRequestBytes || clock_.elapsed() - c.firstByteMs >= kRequestMs) {
        complete(id);
        return;
    }
    // Pieces that follow each other within the pause belong to one request.
    c.timer->start(kPauseMs);
}

void TcpMenuServer::peerClosed(quint64 id) {
    // The peer closed its side: what it sent is the whole request.
    const auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Connection& c = it->second;
    if (c.reader) c.reader->setEnabled(false);
    if (!c.taken && !c.data.isEmpty()) complete(id);
    else if (!c.storing) release(id);
}

void TcpMenuServer::timedOut(quint64 id) {
    const auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Connection& c = it->second;
    if (!c.taken && !c.data.isEmpty()) complete(id);
    // Silent since it connected, or answered and still not gone: closed unanswered.
    else if (!c.storing) release(id);
}

void TcpMenuServer::complete(quint64 id) {
    const auto it = connections_.find(id);
    if (it == connections_.end() || it->second.taken) return;
    Connection& c = it->second;
    if (!store_) { // closed: nothing is taken on any more
        release(id);
        return;
    }
    c.taken = true;
    // Nothing more is read until the reply went: a flood waits in the system's buffers.
    if (c.reader) c.reader->setEnabled(false);
    c.timer->start(kSilentMs); // bounds the wait for the reply to leave and the peer to go
    const std::string text(c.data.constData(), static_cast<std::size_t>(c.data.size()));
    c.data.clear();
    emit received(QString::fromStdString(log::escaped(pdu::FirstCharacters(pdu::Utf8OrCp1252(text), kShownCharacters))));
    const MenuRequest request = ParseMenuRequest(text);
    std::string message = FillMenuTemplate(portSection_, request);
    if (message.empty() || request.caller.empty()) {
        answer(c); // nothing to keep: answered and otherwise ignored
        if (finished(c)) release(id);
        return;
    }
    c.timer->stop(); // the reply waits for the store, however long the database makes it wait
    c.caller = request.caller;
    c.storing = true;
    const std::string stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("dd-MM-yy hh:mm:ss")).toStdString();
    store_->submit({request.caller, std::move(message), stamp}, [this, id](bool ok, const std::string& error) {
        QMetaObject::invokeMethod(this, [this, id, ok, error] { stored(id, ok, error); }, Qt::QueuedConnection);
    });
}

void TcpMenuServer::stored(quint64 id, bool ok, const std::string& error) {
    const auto it = connections_.find(id);
    if (it == connections_.end()) return;
    Connection& c = it->second;
    c.storing = false;
    if (ok) {
        log::info("menu request from " + c.caller + " stored");
        answer(c);
    } else {
        log::error("menu request from " + c.caller + " could not be stored (" + error + "); closed without a reply");
        shut(c);
    }
    // A peer that went away meanwhile, or closed its side, has had all it can get; its request
    // is kept all the same.
    if (finished(c)) {
        release(id);
        return;
    }
    c.timer->start(kSilentMs);
}

void TcpMenuServer::answer(Connection& c) {
    if (c.fd < 0) return;
    // The first bytes a connection sends: they fit the socket's empty send buffer whole.
    const ssize_t n = ::send(c.fd, kMenuReply, sizeof kMenuReply - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n != static_cast<ssize_t>(sizeof kMenuReply - 1)) {
        log::warning("the reply to a menu request from " + c.caller + " could not be sent: the client went away");
        shut(c);
        return;
    }
    ::shutdown(c.fd, SHUT_WR);
    c.answered = true;
    if (c.reader && !c.peerDone) c.reader->setEnabled(true);
}

bool TcpMenuServer::finished(const Connection& c) const {
    // On a stop nobody waits for peers to close after their reply.
    return c.fd < 0 || c.peerDone || finishing_;
}

void TcpMenuServer::shut(Connection& c) {
    if (c.reader) {
        // Unwatched before the descriptor goes; deleted later, as its signal may have led here.
        c.reader->setEnabled(false);
        c.reader.release()->deleteLater();
    }
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
}

void TcpMenuServer::release(quint64 id) {
    const auto it = connections_.find(id);
    if (it == connections_.end() || it->second.storing) return; // the store's report releases it
    shut(it->second);
    // Not deleted here: the timer or notifier whose signal led here may still be on the stack.
    it->second.timer.release()->deleteLater();
    connections_.erase(it);
    if (draining_ != nullptr && connections_.empty()) draining_->quit();
    if (paused_ && openConnections() < kMaxConnections && server_.isListening()) {
        paused_ = false;
        server_.resumeAccepting();
        accept(); // those that waited in Qt's own list
    }
}

void TcpMenuServer::finish(int ms) {
    finishing_ = true;
    server_.close();
    std::vector<quint64> ids;
    for (const auto& [id, connection] : connections_) ids.push_back(id);
    for (const quint64 id : ids) {
        read(id);
        const auto it = connections_.find(id);
        if (it == connections_.end()) continue;
        if (it->second.answered) {
            release(id); // its reply went: nothing to wait for
            continue;
        }
        if (it->second.taken) continue;
        if (!it->second.data.isEmpty()) complete(id);
        else release(id);
    }
    if (connections_.empty()) return;
    QEventLoop loop;
    draining_ = &loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    draining_ = nullptr;
}

} // namespace pelorin::outbound

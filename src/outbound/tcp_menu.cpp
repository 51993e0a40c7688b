#include "outbound/tcp_menu.h"

#include <QDateTime>
#include <QTcpSocket>
#include <QTimer>

#include <exception>

#include "log/log.h"
#include "pdu/text_utils.h"
#include "pdu/unicode.h"

namespace pelorin::outbound {

const char kMenuReply[] =
    "HTTP/1.0 200 OK\r\nTE: deflate,gzip;q=0.3\r\nConnection: TE, close\r\nHost: 127.0.0.1\r\n"
    "User-Agent: TAVRIN\r\nContent-Length: 2\r\nContent-Type: text/html\r\n\r\nOK\r\n";

namespace {

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

} // namespace

MenuRequest ParseMenuRequest(const std::string& text) {
    const std::string upper = upperAZ(text);
    MenuRequest request;
    request.caller = valueAfter(text, upper, "MSISDN=");
    for (std::size_t k = 0; k < request.inputs.size(); ++k)
        request.inputs[k] = valueAfter(text, upper, "USRINP" + std::to_string(k + 1) + "=");
    return request;
}

std::string FillMenuTemplate(const std::string& portSection, const MenuRequest& request) {
    for (const std::string& block : pdu::SplitText(portSection, "Tipe=")) {
        const pdu::TSplitArray lines = pdu::SplitText(block, "\r\n");
        if (lines.empty() || lines.front() != request.inputs[0]) continue;
        std::string filled = valueAfter(block, upperAZ(block), "MESSAGE=");
        for (std::size_t k = 0; k < request.inputs.size(); ++k)
            filled = pdu::ReplaceAll(filled, "^" + std::to_string(k + 1), request.inputs[k]);
        return filled;
    }
    return {};
}

TcpMenuServer::TcpMenuServer(std::string portSection, Store store, OwnNumber ownNumber, QObject* parent)
    : QObject(parent), portSection_(std::move(portSection)), store_(std::move(store)),
      ownNumber_(std::move(ownNumber)) {
    server_.setMaxPendingConnections(kMaxConnections);
    connect(&server_, &QTcpServer::newConnection, this, &TcpMenuServer::accept);
}

QString TcpMenuServer::listen(quint16 port) {
    if (server_.listen(QHostAddress::Any, port)) return {};
    return server_.errorString();
}

void TcpMenuServer::close() {
    server_.close();
}

void TcpMenuServer::accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        socket->setParent(this);
        socket->write(kMenuReply, sizeof kMenuReply - 1);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // A peer that never reads nor closes is cut off after the idle time.
        QTimer::singleShot(kIdleMs, socket, [socket] { socket->abort(); socket->deleteLater(); });
        if (open_ >= kMaxConnections) {
            socket->disconnectFromHost(); // answered, but not read: the limit is reached
            continue;
        }
        ++open_;
        connect(socket, &QObject::destroyed, this, [this] { --open_; });
        // Qt stops taking bytes from the peer beyond this, so a flood costs no memory.
        socket->setReadBufferSize(kMaxBytes);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { handle(socket); });
    }
}

void TcpMenuServer::handle(QTcpSocket* socket) {
    const QByteArray bytes = socket->read(kMaxBytes);
    const std::string text(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    const MenuRequest request = ParseMenuRequest(text);
    const std::string message = FillMenuTemplate(portSection_, request);
    if (!message.empty() && !request.caller.empty()) {
        try {
            std::string own;
            try {
                own = ownNumber_();
            } catch (const std::exception&) {
                own.clear();
            }
            const std::string stamp =
                QDateTime::currentDateTime().toString(QStringLiteral("dd-MM-yy hh:mm:ss")).toStdString();
            store_(request.caller, pdu::Utf8OrCp1252(message), own, stamp);
            log::info("menu request from " + request.caller + " stored");
        } catch (const std::exception& e) {
            log::error("menu request from " + request.caller + " could not be stored: " + e.what());
        }
    }
    emit received(QString::fromLatin1(bytes));
    // Answered at connection and handled now: the connection has served its purpose.
    socket->disconnectFromHost();
}

} // namespace pelorin::outbound

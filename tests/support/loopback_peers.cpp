#include "loopback_peers.h"

#include <QElapsedTimer>
#include <QFile>

#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pelorin::test {

const std::string kMenuReplyText =
    "HTTP/1.0 200 OK\r\nTE: deflate,gzip;q=0.3\r\nConnection: TE, close\r\nHost: 127.0.0.1\r\n"
    "User-Agent: TAVRIN\r\nContent-Length: 2\r\nContent-Type: text/html\r\n\r\nOK\r\n";

namespace {

sockaddr_in socketAddress(quint32 address, quint16 port) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    out.sin_addr.s_addr = htonl(address);
    return out;
}

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

int listenOn(quint32 address, quint16& port, int backlog) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at = socketAddress(address, port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t length = sizeof at;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
    port = ntohs(at.sin_port);
    return fd;
}

quint16 freePort() {
    quint16 port = 0;
    ::close(listenOn(INADDR_LOOPBACK, port));
    return port;
}

WebService::WebService(WebAnswer answer, int status, int delayMs, std::string location)
    : answer_(answer), status_(status), delayMs_(delayMs), location_(std::move(location)) {
    listener_ = listenOn(INADDR_LOOPBACK, port_);
    thread_ = std::thread([this] { serve(); });
}

WebService::~WebService() {
    stop_ = true;
    thread_.join();
    for (std::thread& worker : workers_) worker.join();
    ::close(listener_);
}

std::vector<WebService::Request> WebService::requests() {
    const std::lock_guard lock(mutex_);
    return requests_;
}

std::string WebService::param(const std::string& line, const std::string& key) {
    for (const char* separator : {"?", "&"}) {
        const std::size_t at = line.find(separator + key + "=");
        if (at == std::string::npos) continue;
        const std::size_t from = at + key.size() + 2;
        return line.substr(from, line.find_first_of("& ", from) - from);
    }
    return {};
}

int WebService::count(const std::string& line, const std::string& key) {
    int n = 0;
    for (std::size_t at = 0; (at = line.find(key + "=", at)) != std::string::npos; ++at)
        if (at > 0 && (line[at - 1] == '?' || line[at - 1] == '&')) ++n;
    return n;
}

void WebService::serve() {
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd >= 0) workers_.emplace_back([this, fd] { answer(fd); });
    }
}

void WebService::answer(int fd) {
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && !stop_) {
        pollfd c{fd, POLLIN, 0};
        if (::poll(&c, 1, 100) == 0) continue;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    {
        const std::lock_guard lock(mutex_);
        requests_.push_back({request.substr(0, request.find("\r\n")), clock.elapsed()});
    }
    for (int waited = 0; (waited < delayMs_ || answer_ == WebAnswer::Silence) && !stop_; waited += 50)
        ::usleep(50000);
    if (answer_ == WebAnswer::ResetInBody || answer_ == WebAnswer::CloseInBody) {
        writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nOK, part of");
        ::usleep(500000);
        const linger reset{1, 0};
        if (answer_ == WebAnswer::ResetInBody) ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    } else if (answer_ != WebAnswer::Silence) {
        const int status = answer_ == WebAnswer::Ok ? 200 : status_;
        std::string head = "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: 2\r\nConnection: close\r\n";
        if (!location_.empty()) head += "Location: " + location_ + "\r\n";
        writeAll(fd, head + "\r\nOK");
    }
    ::close(fd);
}

MenuClient::MenuClient(quint16 port, quint32 to, quint32 from, bool wait) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (from != 0) {
        sockaddr_in own = socketAddress(from, 0);
        ::bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own);
    }
    if (!wait) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    sockaddr_in address = socketAddress(to, port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && (wait || errno != EINPROGRESS)) {
        ::close(fd);
        fd = -1;
    }
}

MenuClient::~MenuClient() {
    if (fd >= 0) ::close(fd);
}

std::string MenuClient::readReply(std::size_t bytes, int timeoutMs) {
    std::string out;
    char buffer[512];
    while (fd >= 0 && out.size() < bytes) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) break;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
}

bool MenuClient::send(const std::string& bytes) {
    std::size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return fd >= 0;
}

void MenuClient::closeWriting() {
    ::shutdown(fd, SHUT_WR);
}

bool MenuClient::closedUnanswered(int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char byte = 0;
    return ::read(fd, &byte, 1) <= 0;
}

bool MenuClient::closedInOrder(int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    char byte = 0;
    return ::poll(&p, 1, timeoutMs) > 0 && ::read(fd, &byte, 1) == 0;
}

long residentKb(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

} // namespace pelorin::test

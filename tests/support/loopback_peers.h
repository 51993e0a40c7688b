#pragma once
// Peers of the modem-less types on loopback: a web service written here, whose answer each
// test chooses, and a TCP client of the menu port.

#include <QString>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelorin::test {

// A listening socket on `address` (host order, e.g. INADDR_LOOPBACK) and a free port.
int listenOn(quint32 address, quint16& port, int backlog = 64);
// A loopback port nobody listens on.
quint16 freePort();

// How the web service answers a request.
enum class WebAnswer {
    Ok,          // 200 at once
    Status,      // the status given (404, 500, 302 ...)
    ResetInBody, // 200 and part of the body, then a reset
    CloseInBody, // 200 and part of the body, then the connection closed
    Silence,     // never
};

// A web service on 127.0.0.1: records each request line with its arrival time (ms since
// start) and answers it as told, each connection on its own thread.
class WebService {
public:
    struct Request {
        std::string line;
        qint64 atMs = 0;
    };
    explicit WebService(WebAnswer answer = WebAnswer::Ok, int status = 200, int delayMs = 0,
                        std::string location = {});
    ~WebService();
    quint16 port() const { return port_; }
    std::vector<Request> requests();
    // The value of `key` in a request line's query, as sent (still percent-encoded).
    static std::string param(const std::string& line, const std::string& key);
    static int count(const std::string& line, const std::string& key);

private:
    void serve();
    void answer(int fd);

    WebAnswer answer_;
    int status_;
    int delayMs_;
    std::string location_;
    quint16 port_ = 0;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Request> requests_;
    std::vector<std::thread> workers_;
    std::thread thread_;
};

// A TCP client of the menu port. `from` binds the client's own address first (host order,
// 0: any); a connection that fails leaves fd at -1.
struct MenuClient {
    int fd = -1;
    explicit MenuClient(quint16 port, quint32 to = 0x7F000001, quint32 from = 0, bool wait = true);
    ~MenuClient();
    MenuClient(const MenuClient&) = delete;
    MenuClient& operator=(const MenuClient&) = delete;
    // Reads until `bytes` arrived, the peer closed, or nothing came for timeoutMs.
    std::string readReply(std::size_t bytes = 151, int timeoutMs = 10000);
    bool send(const std::string& bytes);
    void closeWriting();
    // True when the peer closed the connection (or reset it) without sending anything.
    bool closedUnanswered(int timeoutMs);
    // True when the peer closed the connection in order (no reset) within timeoutMs.
    bool closedInOrder(int timeoutMs);
};

// The module's resident memory in kB, -1 when it cannot be read.
long residentKb(qint64 pid);

// The fixed reply of the menu port.
extern const std::string kMenuReplyText;

} // namespace pelorin::test

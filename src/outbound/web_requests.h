#pragma once
// The HTTP client of the "MERL-SENDER" type. It lives on a thread of its own with an event
// loop: the worker hands it a URL and gets back the request's outcome-to-be, which it awaits
// once the batch's requests are all under way. Every request has a time limit, counted from
// when it is on the wire (not while it waits behind other requests to the same host); a
// failed one is described with the destination and the status, the credentials masked.
// Thread-safe; never throws.

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <future>
#include <memory>
#include <string>

class QNetworkAccessManager;
class QNetworkReply;

namespace pelorin::outbound {

// The URL with the values of "activationKey" and "sign" replaced by "***".
QString MaskCredentials(const QString& url);

// What became of one request: taken when the service answered 2xx; otherwise `report` is a
// line for the log (slot, destination, status or error, the URL masked).
struct WebOutcome {
    bool taken = false;
    std::string report;
};

class WebRequests : public QObject {
    Q_OBJECT
public:
    static constexpr int kTimeoutMs = 30000;

    explicit WebRequests(int timeoutMs = kTimeoutMs);
    ~WebRequests() override;

    // PELORIN_WEB_TIMEOUT_SECONDS in milliseconds, else kTimeoutMs.
    static int timeoutFromEnvironment();
    int timeoutMs() const { return timeoutMs_; }

    // Starts one GET; `slot` is the request slot of the pool the worker cycles through. The
    // outcome is there at the latest twice the time limit later: one limit for waiting to be
    // sent, one for the answer. The answer's body is never read.
    std::future<WebOutcome> issue(const std::string& url, int slot);

    // Requests started and not yet finished (for tests and the operator).
    int pending() const { return pending_; }

signals:
    // The report of a request that failed, for the progress display.
    void requestFailed(const QString& text);

private:
    using Promise = std::shared_ptr<std::promise<WebOutcome>>;
    void start(const QString& url, int slot, const Promise& promise);
    void limit(QNetworkReply* reply);
    void finished(QNetworkReply* reply, int slot, const Promise& promise);

    int timeoutMs_;
    QThread thread_;
    QObject* home_ = nullptr;                 // lives on thread_: the context of every call
    QNetworkAccessManager* manager_ = nullptr; // lives on thread_
    std::atomic<int> pending_{0};
};

} // namespace pelorin::outbound

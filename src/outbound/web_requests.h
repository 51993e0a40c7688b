#pragma once
// The HTTP client of the "MERL-SENDER" type. It lives on a thread of its own with an event
// loop, so the worker hands it a URL and goes on at once. Every request has a time limit;
// a failed one is logged with the destination and the status, the credentials masked.
// Thread-safe; never throws.

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <string>

class QNetworkAccessManager;
class QNetworkReply;

namespace pelorin::outbound {

// The URL with the values of "activationKey" and "sign" replaced by "***".
QString MaskCredentials(const QString& url);

class WebRequests : public QObject {
    Q_OBJECT
public:
    static constexpr int kTimeoutMs = 30000;

    explicit WebRequests(int timeoutMs = kTimeoutMs);
    ~WebRequests() override;

    // Starts one GET; `slot` is the request slot of the pool the worker cycles through. The
    // answer is never read; only its failure is reported.
    void issue(const std::string& url, int slot);

    // Requests started and not yet finished (for tests and the operator).
    int pending() const { return pending_; }

signals:
    // One line for the module's log: a request that failed, credentials masked.
    void requestFailed(const QString& text);

private:
    void start(const QString& url, int slot);
    void finished(QNetworkReply* reply, int slot);

    int timeoutMs_;
    QThread thread_;
    QObject* home_ = nullptr;                 // lives on thread_: the context of every call
    QNetworkAccessManager* manager_ = nullptr; // lives on thread_
    std::atomic<int> pending_{0};
};

} // namespace pelorin::outbound

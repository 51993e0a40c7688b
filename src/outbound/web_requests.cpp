#include "outbound/web_requests.h"

#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

namespace pelorin::outbound {
namespace {

constexpr const char* kOnWire = "pelorinOnWire";
constexpr const char* kTimedOut = "pelorinTimedOut";
constexpr const char* kBodyBytes = "pelorinBodyBytes";

void skipBody(QNetworkReply* reply) {
    if (!reply->isOpen()) return; // aborted
    const qint64 skipped = reply->skip(reply->bytesAvailable());
    reply->setProperty(kBodyBytes, reply->property(kBodyBytes).toLongLong() + std::max<qint64>(0, skipped));
}

// Qt may end a reply whose connection broke inside the body as if it were complete.
bool bodyComplete(QNetworkReply* reply) {
    skipBody(reply);
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return !length.isValid() || reply->property(kBodyBytes).toLongLong() >= length.toLongLong();
}

} // namespace

QString MaskCredentials(const QString& url) {
    static const QRegularExpression secret(QStringLiteral("([?&](?:activationKey|sign)=)[^&\\s]*"),
                                           QRegularExpression::CaseInsensitiveOption);
    return QString(url).replace(secret, QStringLiteral("\\1***"));
}

WebRequests::WebRequests(int timeoutMs) : timeoutMs_(timeoutMs) {
    thread_.setObjectName(QStringLiteral("web"));
    home_ = new QObject;
    home_->moveToThread(&thread_);
    thread_.start();
    QMetaObject::invokeMethod(home_, [this] { manager_ = new QNetworkAccessManager(home_); },
                              Qt::BlockingQueuedConnection);
}

WebRequests::~WebRequests() {
    // Requests still under way are aborted on their own thread, which settles their outcomes.
    QMetaObject::invokeMethod(home_, [this] {
        for (QNetworkReply* reply : manager_->findChildren<QNetworkReply*>()) reply->abort();
        delete home_;
    }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

int WebRequests::timeoutFromEnvironment() {
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("PELORIN_WEB_TIMEOUT_SECONDS", &ok);
    return ok && seconds > 0 ? seconds * 1000 : kTimeoutMs;
}

std::future<WebOutcome> WebRequests::issue(const std::string& url, int slot) {
    ++pending_;
    auto promise = std::make_shared<std::promise<WebOutcome>>();
    std::future<WebOutcome> outcome = promise->get_future();
    const QString target = QString::fromStdString(url);
    QMetaObject::invokeMethod(home_, [this, target, slot, promise] { start(target, slot, promise); },
                              Qt::QueuedConnection);
    return outcome;
}

void WebRequests::start(const QString& url, int slot, const Promise& promise) {
    QNetworkRequest request{QUrl(url)};
    // A redirect may move the request on its own server, never hand the credentials elsewhere.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    // The body's bytes are counted as they come, so that an answer cut short shows.
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply* reply = manager_->get(request);
    // The body is never kept: only the status and its completeness matter.
    reply->setReadBufferSize(1);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] { skipBody(reply); });
    QObject::connect(reply, &QNetworkReply::finished, home_,
                     [this, reply, slot, promise] { finished(reply, slot, promise); });
    limit(reply);
}

// The time limit runs from when the request goes on the wire; before that it waits behind
// other requests to the same host, which is bounded by one limit of its own.
void WebRequests::limit(QNetworkReply* reply) {
    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, [reply] {
        reply->setProperty(kTimedOut, true);
        reply->abort();
    });
    const auto onWire = [reply, timer, ms = timeoutMs_] {
        if (reply->property(kOnWire).toBool()) return;
        reply->setProperty(kOnWire, true);
        timer->start(ms);
    };
    QObject::connect(reply, &QNetworkReply::socketStartedConnecting, timer, onWire);
    QObject::connect(reply, &QNetworkReply::requestSent, timer, onWire);
    timer->start(timeoutMs_);
}

void WebRequests::finished(QNetworkReply* reply, int slot, const Promise& promise) {
    reply->deleteLater();
    --pending_;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool complete = bodyComplete(reply);
    if (reply->error() == QNetworkReply::NoError && status >= 200 && status < 300 && complete) {
        promise->set_value({true, {}});
        return;
    }
    QString reason = status > 0 ? QStringLiteral("HTTP %1").arg(status) : reply->errorString();
    if (reply->error() == QNetworkReply::NoError && !complete) {
        reason += QStringLiteral(", then the answer broke off");
    } else if (reply->property(kTimedOut).toBool()) {
        reason = (reply->property(kOnWire).toBool() ? QStringLiteral("no answer within %1 s")
                                                    : QStringLiteral("not sent within %1 s"))
                     .arg(timeoutMs_ / 1000.0);
    } else if (status > 0 && reply->error() != QNetworkReply::NoError && status < 300) {
        reason += QStringLiteral(", then ") + reply->errorString(); // cut off after the status
    }
    const QUrlQuery query(reply->url());
    // Error texts may quote the URL: the whole line is masked.
    const QString line = MaskCredentials(QStringLiteral("web request %1 for %2 failed: %3 (%4)")
                                             .arg(slot)
                                             .arg(query.queryItemValue(QStringLiteral("destination")), reason,
                                                  reply->url().toString()));
    promise->set_value({false, line.toStdString()});
    emit requestFailed(line);
}

} // namespace pelorin::outbound

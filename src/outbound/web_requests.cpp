#include "outbound/web_requests.h"

#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

#include "log/log.h"

namespace pelorin::outbound {

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
    // Requests still under way are aborted with their manager, on its own thread.
    QMetaObject::invokeMethod(home_, [this] { delete home_; }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

void WebRequests::issue(const std::string& url, int slot) {
    ++pending_;
    const QString target = QString::fromStdString(url);
    QMetaObject::invokeMethod(home_, [this, target, slot] { start(target, slot); }, Qt::QueuedConnection);
}

void WebRequests::start(const QString& url, int slot) {
    QNetworkRequest request{QUrl(url)};
    request.setTransferTimeout(timeoutMs_);
    QNetworkReply* reply = manager_->get(request);
    // The body is never read: only the status matters, so nothing is buffered.
    reply->setReadBufferSize(1);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] { reply->skip(reply->bytesAvailable()); });
    QObject::connect(reply, &QNetworkReply::finished, home_, [this, reply, slot] { finished(reply, slot); });
}

void WebRequests::finished(QNetworkReply* reply, int slot) {
    reply->deleteLater();
    --pending_;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() == QNetworkReply::NoError && status < 400) return;
    const QUrlQuery query(reply->url());
    const QString reason = status > 0 ? QStringLiteral("HTTP %1").arg(status) : reply->errorString();
    // Error texts may quote the URL: the whole line is masked.
    const QString line = MaskCredentials(QStringLiteral("web request %1 for %2 failed: %3 (%4)")
                                             .arg(slot)
                                             .arg(query.queryItemValue(QStringLiteral("destination")), reason,
                                                  reply->url().toString()));
    log::warning(line.toStdString());
    emit requestFailed(line);
}

} // namespace pelorin::outbound

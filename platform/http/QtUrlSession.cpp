#include "platform/http/QtUrlSession.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <iostream>
#include <limits>
#include <string>

namespace velmo {

namespace {

class QtUrlSession;

class QtDataTask final : public DataTask, public std::enable_shared_from_this<QtDataTask> {
public:
    QtDataTask(std::shared_ptr<QtUrlSession> session, UrlRequest request, DataTaskCompletion completion)
        : session_(std::move(session)), request_(std::move(request)), completion_(std::move(completion)) {}

    void resume() override;

private:
    void start();
    // Takes what has arrived; a reply that grows (or is announced) past the limit is abandoned.
    void receive(QNetworkReply* reply);
    // Stops the transfer at once; the completion reports `error`.
    void abandon(QNetworkReply* reply, UrlError error);
    void finish(QNetworkReply* reply);
    void complete(std::optional<Bytes> body, std::optional<UrlResponse> response, std::optional<UrlError> error);

    std::shared_ptr<QtUrlSession> session_;
    UrlRequest request_;
    DataTaskCompletion completion_;
    bool resumed_ = false;
    Bytes body_;                           // the reply's body so far
    std::optional<UrlError> abandonedBy_;  // set before the transfer is aborted
    std::shared_ptr<QtDataTask> self_;     // held from resume() until the completion has run
};

class QtUrlSession final : public UrlSession, public std::enable_shared_from_this<QtUrlSession> {
public:
    explicit QtUrlSession(const UrlSessionConfiguration& configuration)
        : configuration_(configuration), manager_(new QNetworkAccessManager) {
        if (auto* app = QCoreApplication::instance(); app && manager_->thread() != app->thread()) {
            manager_->moveToThread(app->thread());
        }
        tls_ = QSslConfiguration::defaultConfiguration();
        if (configuration_.extraTrustedCertificateFile) {
            const QString path = QString::fromStdString(*configuration_.extraTrustedCertificateFile);
            const QList<QSslCertificate> extra = QSslCertificate::fromPath(path, QSsl::Pem);
            if (extra.isEmpty()) {
                std::cerr << "velmo: no certificate could be read from \""
                          << *configuration_.extraTrustedCertificateFile
                          << "\"; only the system's certificates are trusted" << std::endl;
            } else {
                tls_.addCaCertificates(extra);
            }
        }
    }

    ~QtUrlSession() override {
        // The last reference may go inside one of the manager's own signals.
        manager_->deleteLater();
    }

    std::shared_ptr<DataTask> dataTask(const UrlRequest& request, DataTaskCompletion completion) override {
        return std::make_shared<QtDataTask>(shared_from_this(), request, std::move(completion));
    }

    QNetworkAccessManager* manager() const { return manager_; }
    const UrlSessionConfiguration& configuration() const { return configuration_; }
    const QSslConfiguration& tls() const { return tls_; }

private:
    UrlSessionConfiguration configuration_;
    QNetworkAccessManager* manager_;
    QSslConfiguration tls_;
};

int deadlineMs(double seconds) {
    if (!(seconds > 0)) {
        return 0;  // no deadline
    }
    const double ms = std::ceil(seconds * 1000.0);
    return ms >= std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : static_cast<int>(ms);
}

UrlError transportError(const QNetworkReply& reply) {
    const std::string message = reply.errorString().toStdString();
    switch (reply.error()) {
        case QNetworkReply::OperationCanceledError: return {UrlError::cancelled, message};
        case QNetworkReply::TimeoutError: return {UrlError::timedOut, message};
        case QNetworkReply::HostNotFoundError: return {UrlError::cannotFindHost, message};
        case QNetworkReply::ConnectionRefusedError: return {UrlError::cannotConnectToHost, message};
        case QNetworkReply::RemoteHostClosedError: return {UrlError::networkConnectionLost, message};
        case QNetworkReply::SslHandshakeFailedError: return {UrlError::serverCertificateUntrusted, message};
        case QNetworkReply::ProtocolUnknownError:
        case QNetworkReply::ProtocolInvalidOperationError: return {UrlError::badURL, message};
        default: return {UrlError::unknown, message};
    }
}

void QtDataTask::resume() {
    if (resumed_) {
        return;
    }
    resumed_ = true;
    self_ = shared_from_this();
    // Always queued: the completion must never run inside resume().
    QMetaObject::invokeMethod(
        session_->manager(), [self = self_] { self->start(); }, Qt::QueuedConnection);
}

void QtDataTask::start() {
    const QUrl url(QString::fromStdString(request_.url), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) {
        complete(std::nullopt, std::nullopt, UrlError{UrlError::badURL, "invalid URL: " + request_.url});
        return;
    }
    QNetworkRequest request(url);
    for (const auto& [name, value] : session_->configuration().additionalHeaders) {
        request.setRawHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    }
    for (const auto& [name, value] : request_.headers) {
        request.setRawHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    }
    // No cached reply is used and nothing is stored, whatever the policy asks.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // A redirect could turn the POST into a GET elsewhere; its own reply is what arrives.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (url.scheme() == QLatin1String("https")) {
        request.setSslConfiguration(session_->tls());
    }
    const QByteArray body(reinterpret_cast<const char*>(request_.httpBody.data()),
                          static_cast<qsizetype>(request_.httpBody.size()));
    QNetworkReply* reply =
        session_->manager()->sendCustomRequest(request, QByteArray::fromStdString(request_.httpMethod), body);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [self = self_, reply] { self->receive(reply); });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [self = self_, reply] { self->receive(reply); });
    QObject::connect(reply, &QNetworkReply::finished, reply, [self = self_, reply] { self->finish(reply); });
    // One deadline for the whole exchange: Qt's own transfer time-out only notices silence.
    if (const int ms = deadlineMs(request_.timeoutInterval); ms > 0) {
        // The timer may outlive the exchange a little: it must not keep the task (and with it
        // the session and its connections) alive.
        QTimer::singleShot(ms, reply, [task = weak_from_this(), reply] {
            if (const auto self = task.lock()) {
                self->abandon(reply, UrlError{UrlError::timedOut, "no complete reply before the deadline"});
            }
        });
    }
}

void QtDataTask::receive(QNetworkReply* reply) {
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    const QByteArray data = reply->readAll();
    body_.insert(body_.end(), data.begin(), data.end());
    if (body_.size() > request_.maximumBodyBytes ||
        (announced.isValid() && announced.toULongLong() > request_.maximumBodyBytes)) {
        abandon(reply, UrlError{UrlError::dataLengthExceedsMaximum,
                                "reply larger than " + std::to_string(request_.maximumBodyBytes) + " bytes"});
    }
}

void QtDataTask::abandon(QNetworkReply* reply, UrlError error) {
    if (abandonedBy_ || !completion_) {
        return;
    }
    abandonedBy_ = std::move(error);
    reply->abort();  // finished() follows, inside this call or later
}

void QtDataTask::finish(QNetworkReply* reply) {
    reply->deleteLater();
    if (!abandonedBy_) {
        receive(reply);  // what arrived after the last readyRead
    }
    if (abandonedBy_) {
        complete(std::nullopt, std::nullopt, std::move(abandonedBy_));
        return;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const bool cancelled = reply->error() == QNetworkReply::OperationCanceledError;
    if (!status.isValid() || cancelled) {
        complete(std::nullopt, std::nullopt, transportError(*reply));
        return;
    }
    // An HTTP response of any status is a response, not a transport error.
    UrlResponse response;
    response.statusCode = status.toInt();
    response.url = reply->url().toString().toStdString();
    for (const auto& [name, value] : reply->rawHeaderPairs()) {
        response.headers[name.toStdString()] = value.toStdString();
    }
    complete(std::move(body_), std::move(response), std::nullopt);
}

void QtDataTask::complete(std::optional<Bytes> body, std::optional<UrlResponse> response,
                          std::optional<UrlError> error) {
    auto keepAlive = std::move(self_);  // released when this call returns
    auto completion = std::move(completion_);
    completion_ = nullptr;
    if (completion) {
        completion(std::move(body), std::move(response), std::move(error));
    }
}

}  // namespace

std::shared_ptr<UrlSession> QtUrlSessionFactory::makeSession(const UrlSessionConfiguration& configuration) {
    return std::make_shared<QtUrlSession>(configuration);
}

}  // namespace velmo

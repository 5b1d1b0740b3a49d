#pragma once

#include <vantry/BuildConfig.h>

#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

namespace vantry {

/// A transfer that ended without an HTTP answer to judge: no connection, TLS refused, a body
/// that broke off, too long without data, or cancelled by its owner.
struct TransferError {
    QNetworkReply::NetworkError code = QNetworkReply::UnknownNetworkError;
    QString description; // the network layer's own words, for logs and the failed state
    bool timedOut = false;

    friend bool operator==(const TransferError &, const TransferError &) = default;
};

#if VANTRY_DEVELOPMENT_ORIGIN
/// Where to reach the catalog host during development: connect to address:port instead of the
/// host's port 443, still verifying TLS for the host's own name, trusting one more certificate.
struct DevelopmentOrigin {
    QString address;
    quint16 port = 0;
    QList<QSslCertificate> extraCaCertificates;

    /// From VANTRY_CONNECT_TO=ADDRESS:PORT and VANTRY_EXTRA_CA=FILE.pem; nothing when unset.
    /// A variable that is set but unusable is fatal: quietly talking to the real host instead
    /// would hide the mistake.
    [[nodiscard]] static std::optional<DevelopmentOrigin> fromEnvironment();
};
#endif

/// The launcher's one way onto the network. Every request is a plain GET with no cache, no
/// cookies kept, no credentials, redirects handed back to the caller to decide, and a time-out
/// when no data arrives for 60 seconds. Lives on the thread that made it.
class HttpTransport
{
public:
    static constexpr std::chrono::milliseconds transferTimeout{60'000};

    HttpTransport();
#if VANTRY_DEVELOPMENT_ORIGIN
    explicit HttpTransport(std::optional<DevelopmentOrigin> origin);
#endif
    ~HttpTransport();
    HttpTransport(const HttpTransport &) = delete;
    HttpTransport &operator=(const HttpTransport &) = delete;

    /// The production transport: in a development build, the development origin of the
    /// environment applies.
    [[nodiscard]] static std::unique_ptr<HttpTransport> fromEnvironment();

    /// A new transport that reaches the same origin, for use on the calling thread: a transport,
    /// like its replies, belongs to the thread that made it.
    [[nodiscard]] std::unique_ptr<HttpTransport> forThisThread() const;

    /// Starts a GET of `url`. The reply belongs to the caller, who must delete it.
    [[nodiscard]] QNetworkReply *get(const QUrl &url) const;

    /// Ends a transfer on its owner's request; transferError then tells it from a time-out.
    static void cancel(QNetworkReply &reply);

    /// What ended a reply that has no HTTP status to judge.
    [[nodiscard]] static TransferError transferError(const QNetworkReply &reply);

    /// Drops kept-alive connections, so that the next request opens a new one.
    void clearConnections() const;

private:
    std::unique_ptr<QNetworkAccessManager> m_manager;
#if VANTRY_DEVELOPMENT_ORIGIN
    std::optional<DevelopmentOrigin> m_origin;
#endif
};

} // namespace vantry

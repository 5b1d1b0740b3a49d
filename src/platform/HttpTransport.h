#pragma once

#include <core/Expected.h>
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
/// that broke off, too long without data, too large or too slow, or cancelled by its owner.
struct TransferError {
    enum class Cause {
        network,   // the network layer's own failure: no connection, TLS refused, a broken body
        cancelled, // its owner ended it
        timedOut,  // no data for HttpTransport::transferTimeout
        tooLarge,  // the body passed its limit, or was announced beyond it
        tooSlow,   // slower than the speed floor over a whole window
    };

    QNetworkReply::NetworkError code = QNetworkReply::UnknownNetworkError;
    QString description; // the network layer's own words, for logs and the failed state
    Cause cause = Cause::network;

    friend bool operator==(const TransferError &, const TransferError &) = default;
};

/// The slowest a transfer may go: fewer than `bytesPerSecond` on average over a whole `window`
/// ends it as too slow, so a host that trickles cannot hold the launcher for ever.
struct SpeedFloor {
    qint64 bytesPerSecond = 1024;
    std::chrono::milliseconds window{60'000};
};

/// Why the development origin's variables cannot be used.
enum class DevelopmentOriginError {
    badConnectTo,      // VANTRY_CONNECT_TO is not ADDRESS:PORT with a port from 1 to 65535
    unreadableExtraCa, // VANTRY_EXTRA_CA names no readable PEM certificate
};

#if VANTRY_DEVELOPMENT_ORIGIN
/// Where to reach the catalog host during development: connect to address:port instead of the
/// host's port 443, still verifying TLS for the host's own name, trusting one more certificate.
struct DevelopmentOrigin {
    QString address;
    quint16 port = 0;
    QList<QSslCertificate> extraCaCertificates;

    /// From VANTRY_CONNECT_TO=ADDRESS:PORT and VANTRY_EXTRA_CA=FILE.pem; nothing when both are
    /// unset. A variable that is set but unusable is an error, for the application to report:
    /// quietly talking to the real host instead would hide the mistake.
    [[nodiscard]] static Expected<std::optional<DevelopmentOrigin>, DevelopmentOriginError>
    fromEnvironment();

    /// The same from the two values, an empty one counting as unset.
    [[nodiscard]] static Expected<std::optional<DevelopmentOrigin>, DevelopmentOriginError>
    from(const QString &connectTo, const QString &extraCaPath);
};
#endif

/// The launcher's one way onto the network. Every request is a plain GET with no cache, no
/// cookies kept, no credentials, no content coding (a body's limit counts the bytes as stored),
/// redirects handed back to the caller to decide, a time-out when no data arrives for 60 seconds,
/// and an end when it stays below the speed floor. Lives on the thread that made it.
class HttpTransport
{
public:
    static constexpr std::chrono::milliseconds transferTimeout{60'000};
    /// 1 KiB/s averaged over 60 s, as curl's --speed-limit 1024 --speed-time 60.
    static constexpr SpeedFloor defaultSpeedFloor{};

    HttpTransport();
#if VANTRY_DEVELOPMENT_ORIGIN
    explicit HttpTransport(std::optional<DevelopmentOrigin> origin);
#endif
    ~HttpTransport();
    HttpTransport(const HttpTransport &) = delete;
    HttpTransport &operator=(const HttpTransport &) = delete;

    /// The production transport: in a development build, the development origin of the
    /// environment applies, and an unusable one is an error.
    [[nodiscard]] static Expected<std::unique_ptr<HttpTransport>, DevelopmentOriginError>
    fromEnvironment();

    /// A new transport that reaches the same origin, for use on the calling thread: a transport,
    /// like its replies, belongs to the thread that made it.
    [[nodiscard]] std::unique_ptr<HttpTransport> forThisThread() const;

    /// The speed floor of this transport's transfers, and of those of its forThisThread copies.
    [[nodiscard]] SpeedFloor speedFloor() const { return m_speedFloor; }
    void setSpeedFloor(SpeedFloor floor) { m_speedFloor = floor; }

    /// Starts a GET of `url` whose body may not pass `bodyLimit` bytes. A length announced beyond
    /// it ends the transfer at once; the caller, who sees the body arrive, ends it with `end`
    /// (tooLarge) as soon as more than that has come. The reply belongs to the caller, who must
    /// delete it.
    [[nodiscard]] QNetworkReply *get(const QUrl &url, qint64 bodyLimit) const;

    /// Ends a transfer at once for `cause`, which transferError then gives: the network layer
    /// reports every abort alike, and a time-out too.
    static void end(QNetworkReply &reply, TransferError::Cause cause);

    /// Ends a transfer on its owner's request.
    static void cancel(QNetworkReply &reply) { end(reply, TransferError::Cause::cancelled); }

    /// What ended a reply that has no HTTP status to judge.
    [[nodiscard]] static TransferError transferError(const QNetworkReply &reply);

    /// Drops kept-alive connections, so that the next request opens a new one.
    void clearConnections() const;

private:
    std::unique_ptr<QNetworkAccessManager> m_manager;
    SpeedFloor m_speedFloor = defaultSpeedFloor;
#if VANTRY_DEVELOPMENT_ORIGIN
    std::optional<DevelopmentOrigin> m_origin;
#endif
};

} // namespace vantry

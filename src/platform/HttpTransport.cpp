#include <platform/HttpTransport.h>

#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTimer>

#include <algorithm>

namespace vantry {

namespace {

// Cookies are neither kept nor sent.
class NoCookies final : public QNetworkCookieJar
{
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl &) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie> &, const QUrl &) override { return false; }
};

constexpr char endedBy[] = "vantryEndedBy";

// Ends a reply whose length is announced beyond its limit at once, and one that stays below the
// speed floor for a whole window. A child of the reply: it goes with it.
class TransferGuard final : public QObject
{
public:
    TransferGuard(QNetworkReply &reply, qint64 bodyLimit, SpeedFloor floor) : QObject(&reply)
    {
        connect(&reply, &QNetworkReply::metaDataChanged, this, [&reply, bodyLimit] {
            if (reply.header(QNetworkRequest::ContentLengthHeader).toLongLong() > bodyLimit)
                HttpTransport::end(reply, TransferError::Cause::tooLarge);
        });
        // Counted from the network layer's progress rather than from reads, which are the
        // caller's; fine-grained enough for a window of seconds.
        connect(&reply, &QNetworkReply::downloadProgress, this,
                [this](qint64 received, qint64) { m_received = received; });
        const qint64 least = floor.bytesPerSecond * floor.window.count() / 1000;
        connect(&m_window, &QTimer::timeout, this, [this, &reply, least] {
            if (m_received - m_receivedBefore < least)
                return HttpTransport::end(reply, TransferError::Cause::tooSlow);
            m_receivedBefore = m_received;
        });
        connect(&reply, &QNetworkReply::finished, &m_window, &QTimer::stop);
        // A coarse timer may fire early, and so judge less than a whole window.
        m_window.setTimerType(Qt::PreciseTimer);
        m_window.start(floor.window);
    }

private:
    QTimer m_window;
    qint64 m_received = 0;
    qint64 m_receivedBefore = 0;
};

} // namespace

#if VANTRY_DEVELOPMENT_ORIGIN
Expected<std::optional<DevelopmentOrigin>, DevelopmentOriginError> DevelopmentOrigin::fromEnvironment()
{
    return from(qEnvironmentVariable("VANTRY_CONNECT_TO"), qEnvironmentVariable("VANTRY_EXTRA_CA"));
}

Expected<std::optional<DevelopmentOrigin>, DevelopmentOriginError>
DevelopmentOrigin::from(const QString &connectTo, const QString &extraCaPath)
{
    if (connectTo.isEmpty() && extraCaPath.isEmpty())
        return std::nullopt;

    DevelopmentOrigin origin;
    if (!connectTo.isEmpty()) {
        const qsizetype colon = connectTo.lastIndexOf(u':');
        const QString portText = connectTo.mid(colon + 1);
        // Digits only: toUInt would also take a sign or blanks.
        const bool digits = !portText.isEmpty() && portText.size() <= 5
            && std::all_of(portText.cbegin(), portText.cend(),
                           [](QChar c) { return c >= u'0' && c <= u'9'; });
        const uint port = digits ? portText.toUInt() : 0;
        QString address = colon > 0 ? connectTo.left(colon) : QString();
        if (address.startsWith(u'[') && address.endsWith(u']'))
            address = address.mid(1, address.size() - 2);
        QUrl probe;
        probe.setHost(address, QUrl::StrictMode);
        if (port == 0 || port > 65535 || address.isEmpty() || !probe.isValid() || probe.host().isEmpty())
            return unexpected(DevelopmentOriginError::badConnectTo);
        origin.address = address;
        origin.port = static_cast<quint16>(port);
    }
    if (!extraCaPath.isEmpty()) {
        origin.extraCaCertificates = QSslCertificate::fromPath(extraCaPath, QSsl::Pem);
        if (origin.extraCaCertificates.isEmpty())
            return unexpected(DevelopmentOriginError::unreadableExtraCa);
    }
    return origin;
}
#endif

HttpTransport::HttpTransport() : m_manager(std::make_unique<QNetworkAccessManager>())
{
    m_manager->setCookieJar(new NoCookies(m_manager.get()));
    m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_manager->setTransferTimeout(static_cast<int>(transferTimeout.count()));
}

#if VANTRY_DEVELOPMENT_ORIGIN
HttpTransport::HttpTransport(std::optional<DevelopmentOrigin> origin) : HttpTransport()
{
    m_origin = std::move(origin);
}
#endif

HttpTransport::~HttpTransport() = default;

Expected<std::unique_ptr<HttpTransport>, DevelopmentOriginError> HttpTransport::fromEnvironment()
{
#if VANTRY_DEVELOPMENT_ORIGIN
    auto origin = DevelopmentOrigin::fromEnvironment();
    if (!origin)
        return unexpected(origin.error());
    return std::make_unique<HttpTransport>(std::move(*origin));
#else
    return std::make_unique<HttpTransport>();
#endif
}

std::unique_ptr<HttpTransport> HttpTransport::forThisThread() const
{
#if VANTRY_DEVELOPMENT_ORIGIN
    auto transport = std::make_unique<HttpTransport>(m_origin);
#else
    auto transport = std::make_unique<HttpTransport>();
#endif
    transport->setSpeedFloor(m_speedFloor);
    return transport;
}

QNetworkReply *HttpTransport::get(const QUrl &url, qint64 bodyLimit) const
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(static_cast<int>(transferTimeout.count()));
    // The body as stored: a limit then counts what arrives, and nothing expands behind it.
    request.setRawHeader("Accept-Encoding", "identity");

#if VANTRY_DEVELOPMENT_ORIGIN
    if (m_origin) {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        if (!m_origin->extraCaCertificates.isEmpty())
            tls.setCaCertificates(tls.caCertificates() + m_origin->extraCaCertificates);
        request.setSslConfiguration(tls);
        if (!m_origin->address.isEmpty()) {
            // Same request, another socket: TLS is still verified for the URL's own host.
            QUrl physical = url;
            request.setPeerVerifyName(url.host());
            request.setRawHeader("Host", url.host(QUrl::FullyEncoded).toLatin1());
            physical.setHost(m_origin->address);
            physical.setPort(m_origin->port);
            request.setUrl(physical);
        }
    }
#endif
    QNetworkReply *reply = m_manager->get(request);
    new TransferGuard(*reply, bodyLimit, m_speedFloor);
    return reply;
}

void HttpTransport::end(QNetworkReply &reply, TransferError::Cause cause)
{
    reply.setProperty(endedBy, static_cast<int>(cause));
    reply.abort();
}

TransferError HttpTransport::transferError(const QNetworkReply &reply)
{
    using Cause = TransferError::Cause;
    if (reply.error() != QNetworkReply::OperationCanceledError)
        return {reply.error(), reply.errorString(), Cause::network};
    // Qt reports its own time-out as a cancellation too; every other end says why in its flag.
    const QVariant ended = reply.property(endedBy);
    const Cause cause = ended.isValid() ? static_cast<Cause>(ended.toInt()) : Cause::timedOut;
    switch (cause) {
    case Cause::network:
    case Cause::cancelled:
        return {reply.error(), reply.errorString(), cause};
    case Cause::timedOut:
        return {reply.error(), QStringLiteral("The request timed out."), cause};
    case Cause::tooLarge:
        return {reply.error(), QStringLiteral("The response was larger than allowed."), cause};
    case Cause::tooSlow:
        return {reply.error(), QStringLiteral("The transfer was too slow."), cause};
    }
    return {reply.error(), reply.errorString(), Cause::network};
}

void HttpTransport::clearConnections() const { m_manager->clearConnectionCache(); }

} // namespace vantry

#include <platform/HttpTransport.h>

#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkRequest>
#include <QSslConfiguration>

#include <cstdio>
#include <cstdlib>

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

} // namespace

#if VANTRY_DEVELOPMENT_ORIGIN
std::optional<DevelopmentOrigin> DevelopmentOrigin::fromEnvironment()
{
    const QString connectTo = qEnvironmentVariable("VANTRY_CONNECT_TO");
    const QString extraCa = qEnvironmentVariable("VANTRY_EXTRA_CA");
    if (connectTo.isEmpty() && extraCa.isEmpty())
        return std::nullopt;

    auto refuse = [](const char *what) {
        std::fprintf(stderr, "vantry: %s\n", what);
        std::exit(2);
    };
    DevelopmentOrigin origin;
    if (!connectTo.isEmpty()) {
        const qsizetype colon = connectTo.lastIndexOf(u':');
        bool ok = false;
        const uint port = colon > 0 ? connectTo.mid(colon + 1).toUInt(&ok) : 0;
        if (!ok || port == 0 || port > 65535)
            refuse("VANTRY_CONNECT_TO must be ADDRESS:PORT");
        origin.address = connectTo.left(colon);
        if (origin.address.startsWith(u'[') && origin.address.endsWith(u']'))
            origin.address = origin.address.mid(1, origin.address.size() - 2);
        origin.port = static_cast<quint16>(port);
    }
    if (!extraCa.isEmpty()) {
        origin.extraCaCertificates = QSslCertificate::fromPath(extraCa, QSsl::Pem);
        if (origin.extraCaCertificates.isEmpty())
            refuse("VANTRY_EXTRA_CA names no readable PEM certificate");
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

std::unique_ptr<HttpTransport> HttpTransport::fromEnvironment()
{
#if VANTRY_DEVELOPMENT_ORIGIN
    return std::make_unique<HttpTransport>(DevelopmentOrigin::fromEnvironment());
#else
    return std::make_unique<HttpTransport>();
#endif
}

std::unique_ptr<HttpTransport> HttpTransport::forThisThread() const
{
#if VANTRY_DEVELOPMENT_ORIGIN
    return std::make_unique<HttpTransport>(m_origin);
#else
    return std::make_unique<HttpTransport>();
#endif
}

QNetworkReply *HttpTransport::get(const QUrl &url) const
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(static_cast<int>(transferTimeout.count()));

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
    return m_manager->get(request);
}

void HttpTransport::cancel(QNetworkReply &reply)
{
    reply.setProperty("vantryCancelled", true);
    reply.abort();
}

TransferError HttpTransport::transferError(const QNetworkReply &reply)
{
    // Qt reports a transfer time-out as a cancellation; a reply its owner cancelled says so in
    // its own flag, so here a cancellation without one is the time-out.
    const bool timedOut = reply.error() == QNetworkReply::OperationCanceledError
        && !reply.property("vantryCancelled").toBool();
    return {reply.error(), timedOut ? QStringLiteral("The request timed out.") : reply.errorString(), timedOut};
}

void HttpTransport::clearConnections() const { m_manager->clearConnectionCache(); }

} // namespace vantry

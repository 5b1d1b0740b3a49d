#include <catalog/HostAllowlist.h>

#include <vantry/BuildConfig.h>

namespace vantry::HostAllowlist {

namespace {

QString catalogHost() { return QString::fromLatin1(BuildConfig::catalogHost); }

// The authority as written: between "//" and the first "/", "?" or "#".
QStringView writtenAuthority(QStringView afterScheme)
{
    if (!afterScheme.startsWith(u"//"))
        return {};
    const QStringView rest = afterScheme.mid(2);
    qsizetype end = 0;
    while (end < rest.size() && rest[end] != u'/' && rest[end] != u'?' && rest[end] != u'#')
        ++end;
    return rest.first(end);
}

} // namespace

std::optional<QUrl> allowedUrl(QStringView urlText)
{
    // 1. The scheme exactly "https", as written.
    const qsizetype colon = urlText.indexOf(u':');
    if (colon < 0 || urlText.first(colon) != u"https")
        return std::nullopt;

    // 2-5, judged on the text: an authority that is the host alone, with no "@" (user
    // information, even empty) and no ":" (a port, even empty or 443). Comparing the text also
    // refuses what a parser would quietly normalise into the host: percent-escapes, non-ASCII
    // look-alikes, a trailing dot.
    const QStringView authority = writtenAuthority(urlText.mid(colon + 1));
    if (authority.isEmpty() || authority.compare(catalogHost(), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    for (const QChar c : authority) {
        if (c.unicode() > 0x7f)
            return std::nullopt;
    }

    // And it must be a well-formed URL whose parsed parts say the same.
    QUrl url(urlText.toString(), QUrl::StrictMode);
    if (!url.isValid() || !allows(url))
        return std::nullopt;
    return url;
}

bool allows(QStringView urlText) { return allowedUrl(urlText).has_value(); }

bool allows(const QUrl &url)
{
    return url.isValid() && url.scheme() == u"https" && !url.host().isEmpty()
        && url.host(QUrl::FullyEncoded).toLower() == catalogHost() && url.userName().isNull()
        && url.password().isNull() && url.userInfo().isEmpty() && url.port() == -1
        && !url.authority().contains(u'@');
}

QUrl catalogURL()
{
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(catalogHost());
    url.setPath(QStringLiteral("/catalog.json"));
    return url;
}

QUrl catalogSignatureURL()
{
    QUrl url = catalogURL();
    url.setPath(QStringLiteral("/catalog.json.sig"));
    return url;
}

} // namespace vantry::HostAllowlist

// Whatever text the rule allows must parse to https on exactly the catalog host, with no user
// information and no port.
#include <catalog/HostAllowlist.h>

#include <vantry/BuildConfig.h>

#include <cstdlib>

using namespace vantry;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto url = HostAllowlist::allowedUrl(text);
    if (!url)
        return 0;
    if (!text.startsWith(u"https://") || url->scheme() != u"https"
        || url->host() != QString::fromLatin1(BuildConfig::catalogHost) || !url->userInfo().isEmpty()
        || url->port() != -1 || !HostAllowlist::allows(QUrl(url->toString(QUrl::FullyEncoded))))
        std::abort();
    return 0;
}

#include <publish/Arguments.h>
#include <publish/CatalogWords.h>
#include <publish/Commands.h>
#include <publish/PublishTool.h>
#include <publish/Site.h>

#include <catalog/AllowlistFetch.h>
#include <catalog/AppcastParser.h>
#include <catalog/Catalog.h>
#include <catalog/Ed25519Verifier.h>
#include <catalog/HostAllowlist.h>
#include <catalog/VersionCompare.h>
#include <platform/Crypto.h>
#include <platform/FileSystem.h>
#include <platform/MappedFile.h>
#include <vantry/BuildConfig.h>

#include <QFileInfo>

#include <nlohmann/json.hpp>

#include <cstring>

namespace vantry::Publish {

namespace {

using Json = nlohmann::ordered_json;

struct Problem {
    std::optional<QString> title; // nothing for the catalog as a whole
    QString text;
};

QString fileProblem(const QString &relative, const SystemError &error)
{
    switch (error.code) {
    case ENOENT:
        return QStringLiteral("%1 is missing").arg(relative);
    case EXDEV:
        return QStringLiteral("%1 leads out of the site").arg(relative);
    case EFBIG:
        return QStringLiteral("%1 is larger than the launcher reads").arg(relative);
    default:
        return QStringLiteral("%1 cannot be read (%2)")
            .arg(relative, QString::fromLocal8Bit(std::strerror(error.code)));
    }
}

// Every rule the launcher applies to what it fetches from the site, run over the folder.
class SiteCheck
{
public:
    SiteCheck(QString site, QString key) : m_site(std::move(site)), m_key(std::move(key)) {}

    QList<Problem> run()
    {
        const auto catalog = readCatalog();
        for (const auto &entry : catalog ? catalog->games : QList<Catalog::Entry> {}) {
            if (entry.released)
                checkFeed(entry);
            checkIcon(entry);
        }
        return m_problems;
    }

private:
    void note(const std::optional<QString> &title, const QString &text)
    {
        m_problems.append({title, text});
    }

    std::optional<Catalog> readCatalog()
    {
        const QString catalogFile = QLatin1String(Site::catalogFile),
                      signatureFile = QLatin1String(Site::signatureFile);
        const auto bytes = Site::read(m_site, catalogFile, AllowlistFetch::catalogLimit);
        if (!bytes) {
            note(std::nullopt, fileProblem(catalogFile, bytes.error()));
            return std::nullopt;
        }
        // A bad signature is one problem; the entries are still worth checking.
        const auto signature = Site::read(m_site, signatureFile, AllowlistFetch::signatureLimit);
        auto verified =
            signature ? Ed25519Verifier::verify(*bytes, QString::fromLatin1(*signature), m_key)
                      : verifyDraft(*bytes);
        if (!signature)
            note(std::nullopt, fileProblem(signatureFile, signature.error()));
        if (!verified) {
            note(std::nullopt,
                 QStringLiteral("%1: %2").arg(signatureFile, describe(verified.error())));
            verified = verifyDraft(*bytes);
        }
        if (!verified)
            return std::nullopt;
        auto catalog = Catalog::decode(*verified, 0);
        if (!catalog) {
            note(std::nullopt, QStringLiteral("the launcher refuses catalog.json: %1")
                                   .arg(describe(catalog.error())));
            return std::nullopt;
        }
        for (const auto &skipped : catalog->skippedEntries)
            note(skipped.id,
                 QStringLiteral("the launcher skips this entry: %1").arg(skipped.reason));
        return std::move(*catalog);
    }

    std::optional<QByteArray> readFile(const QString &id, const QUrl &url, const char *what,
                                       qsizetype limit)
    {
        const auto relative = Site::pathOf(url);
        if (!relative) {
            note(id, QStringLiteral("%1 %2 names no file of the site")
                         .arg(QLatin1String(what), url.toString()));
            return std::nullopt;
        }
        auto bytes = Site::read(m_site, *relative, limit);
        if (!bytes)
            note(id, QStringLiteral("%1 %2").arg(QLatin1String(what),
                                                 fileProblem(*relative, bytes.error())));
        return bytes ? std::optional<QByteArray>(std::move(*bytes)) : std::nullopt;
    }

    void checkIcon(const Catalog::Entry &entry)
    {
        const auto icon = readFile(entry.id, entry.iconURL, "icon", AllowlistFetch::iconLimit);
        if (icon && sha256Hex(*icon) != entry.iconSHA256)
            note(entry.id,
                 QStringLiteral("icon %1 has SHA-256 %2, the catalog says %3")
                     .arg(*Site::pathOf(entry.iconURL), sha256Hex(*icon), entry.iconSHA256));
    }

    void checkFeed(const Catalog::Entry &entry)
    {
        const auto feed =
            readFile(entry.id, entry.appcastURL, "feed", AllowlistFetch::appcastLimit);
        if (!feed)
            return;
        const auto items = AppcastParser::validItems(*feed);
        if (items.isEmpty())
            note(entry.id, QStringLiteral("feed %1 offers no release the launcher takes: it is not "
                                          "well-formed XML or has no valid item")
                               .arg(*Site::pathOf(entry.appcastURL)));
        for (const auto &item : items)
            checkItem(entry.id, item);
    }

    void checkItem(const QString &id, const AppcastItem &item)
    {
        const QString build = QStringLiteral("build %1: ").arg(item.version);
        if (item.minimumSystemVersion &&
            !VersionCompare::parseSystemVersion(*item.minimumSystemVersion))
            note(id, build + QStringLiteral("minimumSystemVersion '%1' is not a version")
                                 .arg(*item.minimumSystemVersion));
        // Judged as written, as the launcher judges it.
        const auto url = HostAllowlist::allowedUrl(item.enclosureURLText);
        const auto relative = url ? Site::pathOf(*url) : std::nullopt;
        if (!relative) {
            note(id,
                 build + QStringLiteral("enclosure %1 is off-origin or names no file of the site")
                             .arg(item.enclosureURLText));
            return;
        }
        const QString path = m_site + u'/' + *relative;
        const auto fd = FileSystem::openBeneath(m_site, *relative);
        Expected<MappedFile, SystemError> image = unexpected(SystemError {});
        image = fd ? MappedFile::map(*fd, path) : unexpected(fd.error());
        if (!image) {
            note(id, build + QStringLiteral("image ") + fileProblem(*relative, image.error()));
            return;
        }
        const QByteArrayView bytes = image->bytes();
        if (bytes.size() != item.length)
            note(id, build + QStringLiteral("image %1 is %2 bytes, the feed says %3")
                                 .arg(*relative)
                                 .arg(bytes.size())
                                 .arg(item.length));
        // The launcher's own check, over the mapping rather than a copy.
        const auto verified = Ed25519Verifier::verify(
            QByteArray::fromRawData(bytes.data(), bytes.size()), item.edSignature, m_key);
        if (!verified)
            note(id,
                 build +
                     QStringLiteral("the edSignature of image %1 %2")
                         .arg(*relative,
                              verified.error() ==
                                      Ed25519Verifier::VerificationError::malformedSignature
                                  ? QStringLiteral("is not the Base64 text of a 64-byte signature")
                                  : QStringLiteral("does not verify under the release key")));
    }

    QString m_site;
    QString m_key;
    QList<Problem> m_problems;
};

} // namespace

int checkSite(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QString error;
    const auto parsed =
        Arguments::parse(arguments, {QStringLiteral("--key")}, {QStringLiteral("--json")}, error);
    if (!parsed || parsed->positional.size() != 1) {
        err << "vantry-publish check-site: "
            << (error.isEmpty() ? QStringLiteral("usage: check-site DIR [--key BASE64] [--json]")
                                : error)
            << '\n';
        return usageError;
    }
    const QString key = parsed->value(QStringLiteral("--key"))
                            .value_or(QString::fromLatin1(BuildConfig::releasePublicKey));
    if (const auto decoded = Crypto::decodeBase64Strict(key);
        !decoded || decoded->size() != Crypto::ed25519PublicKeySize) {
        err << "vantry-publish check-site: --key takes the Base64 text of a 32-byte Ed25519 public "
               "key\n";
        return usageError;
    }
    const QString site = QFileInfo(parsed->positional.first()).absoluteFilePath();
    if (!QFileInfo(site).isDir()) {
        err << "vantry-publish check-site: " << site << " is not a folder\n";
        return usageError;
    }

    const QList<Problem> problems = SiteCheck(site, key).run();
    if (parsed->flags.contains(QStringLiteral("--json"))) {
        Json list = Json::array();
        for (const auto &problem : problems)
            list.push_back(
                {{"title", problem.title ? Json(problem.title->toStdString()) : Json(nullptr)},
                 {"problem", problem.text.toStdString()}});
        out << QString::fromStdString(
                   Json {{"problems", list}}.dump(2, ' ', false, Json::error_handler_t::replace))
            << '\n';
    } else if (problems.isEmpty()) {
        out << "no problems: the launcher takes everything in " << site << '\n';
    }
    if (!parsed->flags.contains(QStringLiteral("--json"))) {
        for (const auto &problem : problems)
            out << problem.title.value_or(QStringLiteral("catalog")) << ": " << problem.text
                << '\n';
    }
    return problems.isEmpty() ? success : refused;
}

} // namespace vantry::Publish

#include <publish/Arguments.h>
#include <publish/CatalogWords.h>
#include <publish/Commands.h>
#include <publish/PublishTool.h>
#include <publish/Site.h>

#include <catalog/AllowlistFetch.h>
#include <catalog/Catalog.h>
#include <catalog/Ed25519Verifier.h>
#include <platform/FileSystem.h>
#include <signing/PrivateKeys.h>
#include <vantry/BuildConfig.h>

#include <QFile>
#include <QFileInfo>

#include <nlohmann/json.hpp>

#include <limits>

namespace vantry::Publish {

namespace {

using Json = nlohmann::ordered_json;

const QString usageText =
    QStringLiteral("usage: catalog set DIR --id ID --key KEY [--name N] [--tagline T] "
                   "[--description D] [--bundle-id B] "
                   "[--minimum-system V] [--icon PNG] [--released yes|no] [--host NAME]");

Refusal refusal(QString reason)
{
    return Refusal {refused, std::move(reason)};
}

// The pair as the launcher takes it: verified with this build's release key, then decoded.
Expected<Catalog, QString> launcherView(const QByteArray &bytes, const QByteArray &signature,
                                        std::int64_t highWaterMark)
{
    auto verified = Ed25519Verifier::verify(bytes, QString::fromLatin1(signature),
                                            QString::fromLatin1(BuildConfig::releasePublicKey));
    if (!verified)
        return unexpected(describe(verified.error()));
    auto decoded = Catalog::decode(*verified, highWaterMark);
    if (!decoded)
        return unexpected(describe(decoded.error()));
    return std::move(*decoded);
}

// Why the launcher would not list entry `id`; nothing when it would.
std::optional<QString> entryProblem(const Expected<Catalog, QString> &catalog, const QString &id)
{
    if (!catalog)
        return QStringLiteral("the launcher would refuse the catalog: %1").arg(catalog.error());
    for (const auto &skipped : catalog->skippedEntries) {
        if (skipped.id == id)
            return QStringLiteral("the launcher would skip entry %1: %2").arg(id, skipped.reason);
    }
    for (const auto &entry : catalog->games) {
        if (entry.id == id)
            return std::nullopt;
    }
    return QStringLiteral("the launcher would not list entry %1").arg(id);
}

// The icon the entry will carry: the one given, or the one already in the site.
Expected<QByteArray, Refusal> icon(const std::optional<QString> &given, const QString &site,
                                   const QString &id)
{
    const auto bytes = given ? FileSystem::readSmallFile(*given, AllowlistFetch::iconLimit,
                                                         FileSystem::LastLink::follow)
                             : Site::read(site, Site::iconPath(id), AllowlistFetch::iconLimit);
    if (!bytes && !given && bytes.error().code == ENOENT)
        return unexpected(
            Refusal {usageError, QStringLiteral("%1 has no icon yet: give --icon PNG").arg(id)});
    if (!bytes)
        return unexpected(Refusal {usageError, bytes.error().describe()});
    if (!bytes->startsWith("\x89PNG\r\n\x1a\n"))
        return unexpected(refusal(QStringLiteral("the icon is not a PNG image")));
    return *bytes;
}

// A new entry, its keys in the catalog's order; the caller fills in what options give.
Expected<Json, Refusal> newEntry(const Arguments &parsed, const QString &id)
{
    QStringList missing;
    for (const char *option :
         {"--name", "--tagline", "--description", "--bundle-id", "--minimum-system"}) {
        if (!parsed.value(QString::fromLatin1(option)))
            missing.append(QString::fromLatin1(option));
    }
    if (!missing.isEmpty())
        return unexpected(Refusal {
            usageError, QStringLiteral("%1 is not in the catalog yet: a new entry needs %2")
                            .arg(id, missing.join(u", "))});
    Json entry = Json::object();
    for (const char *key : {"id", "name", "tagline", "description", "bundleId", "appcastURL",
                            "minSystemVersion", "iconURL", "iconSHA256"})
        entry[key] = "";
    entry["released"] = true;
    return entry;
}

// Puts back what a file held before (nothing: it did not exist).
void restore(const QString &path, const std::optional<QByteArray> &before)
{
    if (before)
        (void)FileSystem::writeFileAtomically(path, *before);
    else
        QFile::remove(path);
}

std::optional<QByteArray> present(const QString &site, const QString &relative, qsizetype limit)
{
    const auto bytes = Site::read(site, relative, limit);
    return bytes ? std::optional<QByteArray>(*bytes) : std::nullopt;
}

Expected<QString, Refusal> setEntry(const Arguments &parsed, const QString &site, const QString &id,
                                    const QString &host)
{
    const auto released = parsed.value(QStringLiteral("--released"));
    if (released && *released != u"yes" && *released != u"no")
        return unexpected(Refusal {usageError, QStringLiteral("--released takes yes or no")});
    const auto key = Site::releaseKey(*parsed.value(QStringLiteral("--key")), site);
    if (!key)
        return unexpected(key.error());

    // The catalog as it stands must be one the launcher takes: signing over anything else would
    // vouch for bytes nobody checked.
    const QString catalogPath = site + u'/' + QLatin1String(Site::catalogFile);
    const QString signaturePath = site + u'/' + QLatin1String(Site::signatureFile);
    const auto old =
        Site::read(site, QLatin1String(Site::catalogFile), AllowlistFetch::catalogLimit);
    if (!old && old.error().code != ENOENT)
        return unexpected(Refusal {usageError, old.error().describe()});
    Json document {{"schemaVersion", 1}, {"catalogVersion", 1}, {"games", Json::array()}};
    std::int64_t version = 1;
    std::optional<QByteArray> oldSignature;
    if (old) {
        const auto signature =
            Site::read(site, QLatin1String(Site::signatureFile), AllowlistFetch::signatureLimit);
        if (!signature)
            return unexpected(
                refusal(QStringLiteral("the site's catalog has no readable signature: %1")
                            .arg(signature.error().describe())));
        oldSignature = *signature;
        const auto current = launcherView(*old, *signature, 0);
        if (!current)
            return unexpected(refusal(QStringLiteral("the launcher refuses the site's catalog as "
                                                     "it stands (%1); not signing over it")
                                          .arg(current.error())));
        if (current->catalogVersion == std::numeric_limits<std::int64_t>::max())
            return unexpected(refusal(QStringLiteral("catalogVersion cannot go higher")));
        document = Json::parse(old->cbegin(), old->cend(), nullptr, false);
        version = current->catalogVersion + 1;
        document["catalogVersion"] = version;
    }

    Json &games = document["games"];
    auto entry = std::find_if(games.begin(), games.end(), [&](const Json &game) {
        return game.is_object() && game.value("id", Json()) == id.toStdString();
    });
    const bool added = entry == games.end();
    if (added) {
        auto made = newEntry(parsed, id);
        if (!made)
            return unexpected(made.error());
        games.push_back(std::move(*made));
        entry = games.end() - 1;
    }
    const auto iconBytes = icon(parsed.value(QStringLiteral("--icon")), site, id);
    if (!iconBytes)
        return unexpected(iconBytes.error());
    (*entry)["id"] = id.toStdString();
    for (const auto &[option, field] : {std::pair {"--name", "name"},
                                        {"--tagline", "tagline"},
                                        {"--description", "description"},
                                        {"--bundle-id", "bundleId"},
                                        {"--minimum-system", "minSystemVersion"}}) {
        if (const auto value = parsed.value(QString::fromLatin1(option)))
            (*entry)[field] = value->toStdString();
    }
    (*entry)["appcastURL"] = Site::url(host, Site::feedPath(id)).toStdString();
    (*entry)["iconURL"] = Site::url(host, Site::iconPath(id)).toStdString();
    (*entry)["iconSHA256"] = sha256Hex(*iconBytes).toStdString();
    if (released)
        (*entry)["released"] = *released == u"yes";

    const QByteArray bytes =
        QByteArray::fromStdString(document.dump(2, ' ', false, Json::error_handler_t::replace)) +
        '\n';
    const auto signature = Crypto::ed25519Sign(*key, bytes);
    if (!signature)
        return unexpected(Refusal {usageError, QStringLiteral("the catalog cannot be signed")});
    const QByteArray signatureText = signature->toBase64() + '\n';
    if (const auto problem = entryProblem(launcherView(bytes, signatureText, version), id))
        return unexpected(refusal(*problem));

    // Written one file at a time, each atomically, then read back as the launcher reads them;
    // anything short of that puts every file back as it was.
    const QString iconPath = site + u'/' + Site::iconPath(id);
    const auto oldIcon = present(site, Site::iconPath(id), AllowlistFetch::iconLimit);
    const auto rollBack = [&](const QString &why) {
        restore(iconPath, oldIcon);
        restore(catalogPath, old ? std::optional<QByteArray>(*old) : std::nullopt);
        restore(signaturePath, oldSignature);
        return unexpected(Refusal {usageError, why});
    };
    if (const auto icons = Site::folder(site, QFileInfo(Site::iconPath(id)).path()); !icons)
        return unexpected(refusal(icons.error()));
    for (const auto &[path, content] :
         {std::pair {iconPath, *iconBytes}, {catalogPath, bytes}, {signaturePath, signatureText}}) {
        if (auto written = FileSystem::writeFileAtomically(path, content); !written)
            return rollBack(written.error().describe());
    }
    const auto writtenBytes =
        present(site, QLatin1String(Site::catalogFile), AllowlistFetch::catalogLimit);
    const auto writtenSignature =
        present(site, QLatin1String(Site::signatureFile), AllowlistFetch::signatureLimit);
    if (!writtenBytes || !writtenSignature || writtenBytes != bytes ||
        entryProblem(launcherView(*writtenBytes, *writtenSignature, version), id))
        return rollBack(QStringLiteral("the written catalog does not read back as it was signed"));
    return QStringLiteral(
               "%1 entry %2; catalog.json is now catalogVersion %3, signed in catalog.json.sig\n")
        .arg(added ? QStringLiteral("added") : QStringLiteral("updated"), id)
        .arg(version);
}

} // namespace

int catalog(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QString error;
    const auto parsed = Arguments::parse(
        arguments.mid(1),
        {QStringLiteral("--id"), QStringLiteral("--key"), QStringLiteral("--name"),
         QStringLiteral("--tagline"), QStringLiteral("--description"),
         QStringLiteral("--bundle-id"), QStringLiteral("--minimum-system"),
         QStringLiteral("--icon"), QStringLiteral("--released"), QStringLiteral("--host")},
        {}, error);
    if (arguments.value(0) != u"set" || !parsed || parsed->positional.size() != 1 ||
        !parsed->value(QStringLiteral("--id")) || !parsed->value(QStringLiteral("--key"))) {
        err << "vantry-publish catalog: " << (error.isEmpty() ? usageText : error) << '\n';
        return usageError;
    }
    const QString site = QFileInfo(parsed->positional.first()).absoluteFilePath();
    return Site::change("catalog", *parsed, out, err, [&](const QString &id, const QString &host) {
        return setEntry(*parsed, site, id, host);
    });
}

} // namespace vantry::Publish

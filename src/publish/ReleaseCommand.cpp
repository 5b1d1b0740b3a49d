#include <publish/Arguments.h>
#include <publish/Commands.h>
#include <publish/Feed.h>
#include <publish/PublishTool.h>
#include <publish/Site.h>

#include <catalog/AllowlistFetch.h>
#include <catalog/AppcastParser.h>
#include <catalog/Ed25519Verifier.h>
#include <catalog/VersionCompare.h>
#include <copies/LibraryScanner.h>
#include <platform/CodeSignature.h>
#include <platform/FileSystem.h>
#include <platform/MappedFile.h>
#include <signing/DiskImage.h>
#include <signing/PrivateKeys.h>
#include <vantry/BuildConfig.h>

#include <QFileInfo>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <nlohmann/json.hpp>

namespace vantry::Publish {

namespace {

// The most a release's notes may hold.
constexpr qsizetype notesLimit = 256 * 1024;

QString text(const char *latin1)
{
    return QString::fromLatin1(latin1);
}

Refusal refusal(QString reason)
{
    return Refusal {refused, std::move(reason)};
}

// What the launcher will read from the bundle once it is installed, checked here as the install
// chain checks the copy it takes out of the image.
struct BundleFacts {
    InstalledObservation observation;
    QString name;
    std::optional<QString> minimumSystem;
};

Expected<BundleFacts, Refusal> inspectBundle(const QString &bundle,
                                             const std::optional<QString> &minimumOption)
{
    if (const auto signature =
            CodeSignature::validate(bundle, CodeSignature::developerIdRequirement());
        !signature)
        return unexpected(
            refusal(QStringLiteral("the bundle's code signature does not validate (%1) %2")
                        .arg(text(CodeSignature::identifier(signature.error().reason)),
                             signature.error().item)
                        .trimmed()));
    if (const auto notarization = CodeSignature::assessNotarization(bundle); !notarization)
        return unexpected(
            refusal(QStringLiteral("the bundle is not notarized (%1)")
                        .arg(text(CodeSignature::identifier(notarization.error().reason)))));
    const auto observation = LibraryScanner::observation(bundle);
    if (!observation)
        return unexpected(
            refusal(QStringLiteral("the bundle's Info.plist lacks CFBundleIdentifier, an integer "
                                   "CFBundleVersion or CFBundleShortVersionString")));
    if (observation->version < 1)
        return unexpected(
            refusal(QStringLiteral("CFBundleVersion %1 is not a build number of at least 1")
                        .arg(observation->version)));
    // The feed carries the short version trimmed, and the launcher compares it with the bundle's.
    if (observation->shortVersion.isEmpty() ||
        observation->shortVersion.trimmed() != observation->shortVersion)
        return unexpected(
            refusal(QStringLiteral("CFBundleShortVersionString is empty or has blanks around it")));
    const auto plist = LibraryScanner::readInfoPlist(bundle);
    BundleFacts facts {
        *observation,
        plist->text(u"CFBundleName").value_or(QFileInfo(bundle).completeBaseName()).trimmed(),
        minimumOption ? minimumOption : plist->text(u"LSMinimumSystemVersion")};
    if (facts.name.isEmpty())
        facts.name = QFileInfo(bundle).completeBaseName();
    if (facts.minimumSystem && !VersionCompare::parseSystemVersion(*facts.minimumSystem))
        return unexpected(refusal(QStringLiteral("the minimum system version '%1' is not a version")
                                      .arg(*facts.minimumSystem)));
    return facts;
}

// A title the catalog already lists must be the same game.
Expected<void, Refusal> checkCatalogIdentity(const QString &site, const QString &id,
                                             const QString &bundleId)
{
    const auto bytes = Site::read(site, text(Site::catalogFile), AllowlistFetch::catalogLimit);
    if (!bytes)
        return bytes.error().code == ENOENT
                   ? Expected<void, Refusal> {}
                   : unexpected(Refusal {usageError, bytes.error().describe()});
    const auto document = nlohmann::json::parse(bytes->cbegin(), bytes->cend(), nullptr, false);
    const auto games = document.is_object() ? document.find("games") : document.end();
    if (document.is_discarded() || games == document.end() || !games->is_array())
        return unexpected(refusal(QStringLiteral("the site's catalog.json is not a catalog")));
    for (const auto &entry : *games) {
        if (!entry.is_object() || entry.value("id", nlohmann::json()) != id.toStdString())
            continue;
        const auto listed = entry.value("bundleId", nlohmann::json());
        if (listed != bundleId.toStdString())
            return unexpected(
                refusal(QStringLiteral("the catalog's entry %1 has bundleId %2, the bundle is %3")
                            .arg(id, QString::fromStdString(listed.dump()), bundleId)));
    }
    return {};
}

Expected<std::optional<QString>, Refusal> readNotes(const std::optional<QString> &path)
{
    if (!path)
        return std::nullopt;
    const auto bytes = FileSystem::readSmallFile(*path, notesLimit, FileSystem::LastLink::follow);
    if (!bytes)
        return unexpected(Refusal {usageError, bytes.error().describe()});
    auto decoder = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString notes = decoder(*bytes);
    if (decoder.hasError())
        return unexpected(Refusal {usageError, QStringLiteral("%1 is not UTF-8 text").arg(*path)});
    return notes.trimmed();
}

// A release image made beside its final place, signed, and checked as the launcher checks it.
struct Image {
    QString path;
    std::int64_t length = 0;
    QString signature;
};

Expected<Image, Refusal> makeImage(const QString &bundle, const QString &folder,
                                   const QString &name, const QByteArray &key)
{
    Image image {folder + u'/' + name, 0, {}};
    if (auto made = DiskImage::create(bundle, image.path); !made)
        return unexpected(Refusal {usageError, made.error()});
    const auto mapped = MappedFile::open(image.path);
    if (!mapped)
        return unexpected(Refusal {usageError, mapped.error().describe()});
    const auto signature = Crypto::ed25519Sign(key, mapped->bytes());
    if (!signature)
        return unexpected(Refusal {usageError, QStringLiteral("the image cannot be signed")});
    image.length = mapped->bytes().size();
    image.signature = QString::fromLatin1(signature->toBase64());
    if (!Ed25519Verifier::verifyFile(image.path, image.signature,
                                     QString::fromLatin1(BuildConfig::releasePublicKey)))
        return unexpected(
            refusal(QStringLiteral("the image's signature does not verify under the release key")));
    return image;
}

// The item as the launcher's parser must read it back.
AppcastItem expectedItem(const Feed::Item &item)
{
    return AppcastItem {item.title,
                        AppcastParser::rfc822Date(Feed::rfc822(item.pubDate)),
                        item.version,
                        item.shortVersion,
                        item.minimumSystemVersion,
                        QUrl(item.url, QUrl::StrictMode),
                        item.url,
                        item.length,
                        item.edSignature};
}

Expected<QString, Refusal> publishRelease(const Arguments &parsed, const QString &site,
                                          const QString &id, const QString &host)
{
    const QString bundle = QFileInfo(parsed.positional.first()).absoluteFilePath();
    if (!bundle.endsWith(u".app") || !QFileInfo(bundle).isDir() || QFileInfo(bundle).isSymLink())
        return unexpected(
            Refusal {usageError, QStringLiteral("%1 is not an app bundle").arg(bundle)});
    const auto minimumOption = parsed.value(QStringLiteral("--minimum-system"));
    if (minimumOption && !VersionCompare::parseSystemVersion(*minimumOption))
        return unexpected(Refusal {
            usageError, QStringLiteral("--minimum-system takes a version such as 2.36, not '%1'")
                            .arg(*minimumOption)});
    const auto notes = readNotes(parsed.value(QStringLiteral("--notes")));
    if (!notes)
        return unexpected(notes.error());
    const auto key = Site::releaseKey(*parsed.value(QStringLiteral("--key")), site);
    if (!key)
        return unexpected(key.error());

    const auto facts = inspectBundle(bundle, minimumOption);
    if (!facts)
        return unexpected(facts.error());
    if (auto identity = checkCatalogIdentity(site, id, facts->observation.bundleId); !identity)
        return unexpected(identity.error());
    const QString feedPath = Site::feedPath(id);
    auto feed = Site::read(site, feedPath, AllowlistFetch::appcastLimit);
    if (!feed && feed.error().code != ENOENT)
        return unexpected(Refusal {usageError, feed.error().describe()});
    const QByteArray oldFeed = feed ? *feed : Feed::empty(facts->name);

    const std::int64_t build = facts->observation.version;
    const QString imagePath = Site::imagePath(id, build);
    Feed::Item item {facts->name + u' ' + facts->observation.shortVersion,
                     QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC),
                     build,
                     facts->observation.shortVersion,
                     facts->minimumSystem,
                     *notes,
                     Site::url(host, imagePath),
                     1,
                     {}};
    // Refuse a build the feed already passed before making anything.
    if (auto trial = Feed::withItem(oldFeed, item); !trial)
        return unexpected(refusal(trial.error()));
    if (FileSystem::itemExists(site + u'/' + imagePath))
        return unexpected(refusal(
            QStringLiteral("%1 already exists; a release image is never replaced").arg(imagePath)));

    const auto folder = Site::folder(site, QFileInfo(imagePath).path());
    const auto updates = Site::folder(site, QFileInfo(feedPath).path());
    if (!folder || !updates)
        return unexpected(refusal(folder ? updates.error() : folder.error()));
    QTemporaryDir work(*folder + QStringLiteral("/.release-XXXXXX"));
    if (!work.isValid())
        return unexpected(
            Refusal {usageError, QStringLiteral("cannot make a folder in %1").arg(*folder)});
    const auto image = makeImage(bundle, work.path(), QFileInfo(imagePath).fileName(), *key);
    if (!image)
        return unexpected(image.error());
    item.length = image->length;
    item.edSignature = image->signature;
    const auto newFeed = Feed::withItem(oldFeed, item);
    if (!newFeed)
        return unexpected(refusal(newFeed.error()));
    // The launcher's own reader must take exactly this item as the newest.
    if (AppcastParser::newestItem(*newFeed) != expectedItem(item))
        return unexpected(refusal(
            QStringLiteral("the launcher would not take the new item as the feed's newest")));

    const QString finalImage = site + u'/' + imagePath;
    if (auto moved = FileSystem::moveNoReplace(image->path, finalImage); !moved)
        return unexpected(Refusal {moved.error().code == EEXIST ? refused : usageError,
                                   moved.error().describe()});
    if (auto written = FileSystem::writeFileAtomically(site + u'/' + feedPath, *newFeed);
        !written) {
        QFile::remove(finalImage);
        return unexpected(Refusal {usageError, written.error().describe()});
    }
    return QStringLiteral("released %1 build %2 (%3): %4, %5 bytes, added to %6\n")
        .arg(id)
        .arg(build)
        .arg(facts->observation.shortVersion, imagePath)
        .arg(image->length)
        .arg(feedPath);
}

} // namespace

int release(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QString error;
    const auto parsed = Arguments::parse(
        arguments,
        {QStringLiteral("--site"), QStringLiteral("--id"), QStringLiteral("--key"),
         QStringLiteral("--minimum-system"), QStringLiteral("--notes"), QStringLiteral("--host")},
        {}, error);
    if (!parsed || parsed->positional.size() != 1 || !parsed->value(QStringLiteral("--site")) ||
        !parsed->value(QStringLiteral("--id")) || !parsed->value(QStringLiteral("--key"))) {
        err << "vantry-publish release: "
            << (error.isEmpty()
                    ? QStringLiteral(
                          "usage: release BUNDLE --site DIR --id ID --key KEY [--minimum-system V] "
                          "[--notes FILE] [--host NAME]")
                    : error)
            << '\n';
        return usageError;
    }
    const QString site = QFileInfo(*parsed->value(QStringLiteral("--site"))).absoluteFilePath();
    return Site::change("release", *parsed, out, err, [&](const QString &id, const QString &host) {
        return publishRelease(*parsed, site, id, host);
    });
}

} // namespace vantry::Publish

#pragma once

#include <catalog/Catalog.h>
#include <copies/InstallPlanner.h>
#include <platform/Crypto.h>
#include <platform/FileSystem.h>
#include <platform/Workspace.h>
#include <signing/DiskImage.h>

#include <support/BundleBuilder.h>
#include <support/CatalogFixtures.h>
#include <support/TestServer.h>

#include <QDir>
#include <QFile>

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>

// Test games and their releases, published as the maker publishes them.
namespace vantry::test {

/// The catalog entry of a test game: `id`, identifier com.vantry.test.<id>.
inline Catalog::Entry gameEntry(const QString &id)
{
    const QString base = onOrigin(QStringLiteral("/%1/") + id);
    return Catalog::Entry{id, id, {}, {}, QStringLiteral("com.vantry.test.") + id, QUrl(base.arg(u"appcasts"_qs)),
                          QStringLiteral("2.31"), QUrl(base.arg(u"icons"_qs)), QString(64, u'0'), true};
}

/// The bundle of `entry` at build `version`, short version "1.<version>".
inline BundleBuilder gameBundle(const Catalog::Entry &entry, int version)
{
    BundleBuilder bundle(entry.id.at(0).toUpper() + entry.id.mid(1));
    bundle.setBundleIdentifier(entry.bundleId).setBundleVersion(QString::number(version));
    bundle.setShortVersion(QStringLiteral("1.%1").arg(version)).setReadme("build " + QByteArray::number(version));
    return bundle;
}

/// The Base64 signature of the file at `path` under the development release key.
inline QString releaseSignature(const QString &path)
{
    const auto key = FileSystem::readFile(QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/release.key"));
    const auto bytes = FileSystem::readFile(path);
    const auto signature = key && bytes ? Crypto::ed25519Sign(*key, *bytes) : unexpected(Crypto::CryptoError::failed);
    return signature ? QString::fromLatin1(signature->toBase64()) : QString();
}

/// Serves the image at `image` at the path of `plan`'s URL, and gives the plan its length and
/// signature.
inline bool serveImage(TestServer &server, const QString &image, InstallPlan &plan)
{
    const auto bytes = FileSystem::readFile(image);
    server.serve(plan.enclosureURL.path(), bytes.value_or(QByteArray()));
    plan.expectedLength = bytes ? bytes->size() : 0;
    plan.expectedSignature = releaseSignature(image);
    return bytes.has_value();
}

/// Builds `bundle` in `scratch`/stage-<id>-<version>, makes its release image <id>-<version>.dmg
/// there with the publishing tool's code and serves it; the plan that installs it (no URL when
/// any part failed).
inline InstallPlan publish(TestServer &server, const QString &scratch, const Catalog::Entry &entry, int version,
                           const BundleBuilder &bundle)
{
    const QString name = QStringLiteral("%1-%2").arg(entry.id).arg(version), image = scratch + u'/' + name + u".dmg"_qs;
    QDir(scratch + u"/stage-"_qs + name).removeRecursively();
    QFile::remove(image);
    const auto built = bundle.build(scratch + u"/stage-"_qs + name);
    InstallPlan plan{entry.id, QUrl(onOrigin(u"/releases/"_qs + name + u".dmg"_qs)), 0, {}, entry.bundleId, version,
                     QStringLiteral("1.%1").arg(version)};
    return built && DiskImage::create(*built, image) && serveImage(server, image, plan) ? plan : InstallPlan{};
}

/// Reaps the games a test has the workspace start detached, and kills those still running when it
/// ends.
struct RunningGames {
    QStringList bundleIds;
    explicit RunningGames(QStringList ids) : bundleIds(std::move(ids)) { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
    ~RunningGames()
    {
        stop();
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    void stop() const
    {
        for (const QString &id : bundleIds) {
            for (const Workspace::RunningApplication &game : Workspace::runningApplications(id)) {
                ::kill(game.pid, SIGKILL);
                ::waitpid(game.pid, nullptr, 0);
            }
        }
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {}
    }
};

/// Entries left in `folder` (hidden ones too); none when it does not exist.
inline QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

/// True when no mount lies at or below `folder`.
inline bool nothingMountedUnder(const QString &folder)
{
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    const QByteArray prefix = QFile::encodeName(folder);
    const auto below = [&prefix](const QByteArray &line) {
        const QList<QByteArray> fields = line.split(' ');
        return fields.size() > 4 && (fields[4] == prefix || fields[4].startsWith(prefix + '/'));
    };
    const QList<QByteArray> lines = mounts.open(QIODevice::ReadOnly) ? mounts.readAll().split('\n') : QList<QByteArray>();
    return !lines.isEmpty() && std::none_of(lines.cbegin(), lines.cend(), below);
}

} // namespace vantry::test

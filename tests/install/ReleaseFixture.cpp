#include "ReleaseFixture.h"

#include <platform/Crypto.h>
#include <platform/DiskImage.h>
#include <platform/FileSystem.h>

#include <support/CatalogFixtures.h>

#include <QDir>
#include <QFile>

namespace vantry::test {

Catalog::Entry gameEntry(const QString &id)
{
    Catalog::Entry entry;
    entry.id = id;
    entry.name = id;
    entry.bundleId = QStringLiteral("com.vantry.test.") + id;
    entry.appcastURL = QUrl(onOrigin(QStringLiteral("/appcasts/") + id + QStringLiteral(".xml")));
    entry.minSystemVersion = QStringLiteral("2.31");
    entry.iconURL = QUrl(onOrigin(QStringLiteral("/icons/") + id + QStringLiteral(".png")));
    entry.iconSHA256 = QString(64, u'0');
    entry.released = true;
    return entry;
}

BundleBuilder gameBundle(const Catalog::Entry &entry, int version)
{
    BundleBuilder bundle(entry.id.at(0).toUpper() + entry.id.mid(1));
    bundle.setBundleIdentifier(entry.bundleId)
        .setBundleVersion(QString::number(version))
        .setShortVersion(QStringLiteral("1.%1").arg(version))
        .setReadme("build " + QByteArray::number(version) + '\n');
    return bundle;
}

QString releaseSignature(const QString &path)
{
    const auto key = FileSystem::readFile(QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/release.key"));
    const auto bytes = FileSystem::readFile(path);
    const auto signature = key && bytes ? Crypto::ed25519Sign(*key, *bytes) : unexpected(Crypto::CryptoError::failed);
    return signature ? QString::fromLatin1(signature->toBase64()) : QString();
}

InstallPlan publish(TestServer &server, const QString &scratch, const Catalog::Entry &entry, int version,
                    const BundleBuilder &bundle)
{
    const QString name = QStringLiteral("%1-%2").arg(entry.id).arg(version);
    const QString stage = scratch + QStringLiteral("/stage-") + name;
    const QString image = scratch + u'/' + name + QStringLiteral(".dmg");
    QDir(stage).removeRecursively();
    QFile::remove(image);
    const auto built = bundle.build(stage);
    InstallPlan plan{entry.id, QUrl(onOrigin(QStringLiteral("/releases/") + name + QStringLiteral(".dmg"))), 0, {},
                     entry.bundleId, version, QStringLiteral("1.%1").arg(version)};
    if (!built || !DiskImage::create(*built, image) || !serveImage(server, image, plan)) {
        qWarning("cannot publish %s: %s", qPrintable(name), built ? "no image" : qPrintable(built.error()));
        return {};
    }
    return plan;
}

bool serveImage(TestServer &server, const QString &image, InstallPlan &plan)
{
    const auto bytes = FileSystem::readFile(image);
    if (!bytes)
        return false;
    server.serve(plan.enclosureURL.path(), *bytes);
    plan.expectedLength = bytes->size();
    plan.expectedSignature = releaseSignature(image);
    return true;
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

bool nothingMountedUnder(const QString &folder)
{
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    if (!mounts.open(QIODevice::ReadOnly))
        return false;
    const QByteArray prefix = QFile::encodeName(folder);
    for (const QByteArray &line : mounts.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4 && (fields[4] == prefix || fields[4].startsWith(prefix + '/')))
            return false;
    }
    return true;
}

} // namespace vantry::test

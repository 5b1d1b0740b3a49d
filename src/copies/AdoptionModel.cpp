#include <copies/AdoptionModel.h>

#include <copies/PathOrder.h>

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace vantry::AdoptionModel {

namespace {

// Resolves links through the longest prefix that exists; the missing rest is kept as text.
QString resolveExisting(const QString &absolute)
{
    const QString resolved = QFileInfo(absolute).canonicalFilePath();
    if (!resolved.isEmpty())
        return resolved;
    const qsizetype slash = absolute.lastIndexOf(u'/');
    if (slash <= 0)
        return absolute;
    const QString parent = resolveExisting(absolute.left(slash));
    return parent + absolute.mid(slash);
}

} // namespace

QString canonical(const QString &path)
{
    if (path.isEmpty())
        return path;
    // Not QFileInfo::absoluteFilePath: it removes ".." before links are resolved.
    const QString absolute = QDir::isAbsolutePath(path) ? path : QDir::currentPath() + u'/' + path;
    QString text = QDir::cleanPath(resolveExisting(absolute));
    while (text.size() > 1 && text.endsWith(u'/'))
        text.chop(1);
    return text;
}

std::optional<InstallResolution> resolve(const QString &bundleId,
                                         const std::optional<InstalledApp> &managed,
                                         const QList<AdoptableCopy> &adoptable)
{
    QList<InstallCopy> copies;
    QSet<QString> seen;
    if (managed) {
        const QString path = canonical(managed->url);
        // The launcher's own folder needs no writability check: the swap is the pipeline's job.
        copies.append(InstallCopy {path, managed->observation, InstallCopy::Origin::managed, true, true});
        seen.insert(path);
    }
    for (const AdoptableCopy &copy : adoptable) {
        if (seen.contains(copy.canonicalURL))
            continue;
        copies.append(InstallCopy {copy.canonicalURL,
                                   InstalledObservation {bundleId, copy.version, copy.shortVersion},
                                   InstallCopy::Origin::adopted, copy.writable, copy.parentWritable});
        seen.insert(copy.canonicalURL);
    }
    if (copies.isEmpty())
        return std::nullopt;
    std::stable_sort(copies.begin(), copies.end(), [](const InstallCopy &a, const InstallCopy &b) {
        return copies_detail::pathPrecedes(a.canonicalURL, b.canonicalURL);
    });

    const InstallCopy *best = &copies.front();
    for (const InstallCopy &candidate : copies) {
        const std::int64_t build = candidate.observation.version;
        const std::int64_t bestBuild = best->observation.version;
        const bool better =
            build > bestBuild ||
            (build == bestBuild && best->origin == InstallCopy::Origin::adopted &&
             candidate.origin == InstallCopy::Origin::managed) ||
            (build == bestBuild && best->origin == candidate.origin &&
             copies_detail::pathPrecedes(candidate.canonicalURL, best->canonicalURL));
        if (better)
            best = &candidate;
    }
    return InstallResolution {*best, copies};
}

} // namespace vantry::AdoptionModel

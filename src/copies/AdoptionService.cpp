#include <copies/AdoptionService.h>

#include <copies/AdoptionModel.h>
#include <copies/LibraryScanner.h>
#include <copies/PathOrder.h>

#include <core/OffMain.h>
#include <platform/CodesignVerifier.h>
#include <platform/FileSystem.h>
#include <platform/HostSystem.h>
#include <platform/Paths.h>
#include <platform/Volumes.h>
#include <platform/Workspace.h>

#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <utility>

namespace vantry::AdoptionService {

namespace {

bool isSameOrInside(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder + u'/');
}

bool hasComponent(const QString &path, QStringView name)
{
    const auto components = QStringView(path).split(u'/');
    return std::any_of(components.begin(), components.end(), [name](QStringView part) { return part == name; });
}

std::optional<AdoptionExclusion> exclusion(const QString &path, const QString &install, const QString &staging)
{
    if (isSameOrInside(path, staging))
        return AdoptionExclusion::staging;
    if (isSameOrInside(path, install))
        return AdoptionExclusion::managedInstall;
    if (hasComponent(path, u".vantry-staging"))
        return AdoptionExclusion::staging;
    if (hasComponent(path, u"AppTranslocation"))
        return AdoptionExclusion::appTranslocation;
    if (volumeIsExcluded(path))
        return AdoptionExclusion::readOnlyOrRemovableVolume;
    return std::nullopt;
}

} // namespace

Verification productionVerify(const QString &bundlePath)
{
    if (!CodesignVerifier::signatureValid(bundlePath))
        return {};
    return {true, CodesignVerifier::isNotarized(bundlePath)};
}

SystemVersion runningSystemVersion()
{
    return VersionCompare::parseSystemVersion(HostSystem::versionText()).value_or(SystemVersion {});
}

QCoro::Task<AdoptionReport> assessOffMain(Catalog::Entry entry, std::int64_t highWaterMark)
{
    auto work = [entry = std::move(entry), highWaterMark] {
        return assess(entry, highWaterMark, registeredURLs(entry.bundleId), Paths::managedGamesDirectory(),
                      Paths::stagingDirectory(), productionVerify, runningSystemVersion());
    };
    co_return co_await offMain(work);
}

AdoptionReport assess(const Catalog::Entry &entry, std::int64_t highWaterMark, const QStringList &candidateURLs,
                      const QString &installDirectory, const QString &stagingDirectory, const Verify &verify,
                      const SystemVersion &os)
{
    const QString install = FileSystem::canonicalPath(installDirectory);
    const QString staging = FileSystem::canonicalPath(stagingDirectory);
    AdoptionReport report {entry.bundleId, {}, std::nullopt};
    QSet<QString> seen;
    for (const QString &url : candidateURLs) {
        const QString path = FileSystem::canonicalPath(url);
        if (path.isEmpty() || seen.contains(path))
            continue;
        seen.insert(path);
        if (const auto excluded = exclusion(path, install, staging)) {
            report.candidates.append({path, *excluded});
            continue;
        }
        report.candidates.append({path, AdoptionModel::assess(entry, facts(path, verify), highWaterMark, os)});
    }
    std::stable_sort(report.candidates.begin(), report.candidates.end(),
                     [](const AdoptionReport::Candidate &a, const AdoptionReport::Candidate &b) {
                         return copies_detail::pathPrecedes(a.canonicalURL, b.canonicalURL);
                     });
    report.selection = AdoptionModel::select(report.adoptableCopies());
    return report;
}

QStringList registeredURLs(const QString &bundleId) { return Workspace::applicationURLs(bundleId); }

AdoptionCandidateFacts facts(const QString &url, const Verify &verify)
{
    const QString path = FileSystem::canonicalPath(url);
    const Verification verification = verify(path);
    AdoptionCandidateFacts gathered;
    gathered.canonicalURL = path;
    gathered.signatureValid = verification.signatureValid;
    // A notarization without a valid signature says nothing.
    gathered.notarized = verification.signatureValid && verification.notarized;
    gathered.plist = LibraryScanner::readInfoPlist(path);
    gathered.writable = FileSystem::isWritable(path);
    gathered.parentWritable = FileSystem::isWritable(QFileInfo(path).path());
    return gathered;
}

bool volumeIsExcluded(const QString &url)
{
    const auto flags = Volumes::flags(url);
    return !flags || flags->readOnly || flags->removable;
}

std::optional<QString> volumeUUID(const QString &url) { return Volumes::uuid(url); }

} // namespace vantry::AdoptionService

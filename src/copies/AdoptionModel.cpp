#include <copies/AdoptionModel.h>

#include <copies/PathOrder.h>

#include <platform/FileSystem.h>
#include <platform/PropertyList.h>

#include <QSet>

#include <algorithm>
#include <utility>

namespace vantry::AdoptionModel {

AdoptionVerdict assess(const Catalog::Entry &entry, const AdoptionCandidateFacts &facts,
                       std::int64_t highWaterMark, const SystemVersion &os)
{
    if (!facts.signatureValid)
        return AdoptionRefusal::signatureInvalid();
    if (!facts.notarized)
        return AdoptionRefusal::notNotarized();
    const PlistValue *plist = facts.plist ? &*facts.plist : nullptr;
    if (!plist || !plist->dictionary() || plist->dictionary()->empty())
        return AdoptionRefusal::identityMismatch(std::nullopt);
    auto identifier = plist->text(u"CFBundleIdentifier");
    if (!identifier)
        return AdoptionRefusal::identityMismatch(std::nullopt);
    if (*identifier != entry.bundleId)
        return AdoptionRefusal::identityMismatch(std::move(identifier));

    const auto buildText = plist->text(u"CFBundleVersion");
    auto shortVersion = plist->text(u"CFBundleShortVersionString");
    if (!buildText || !shortVersion)
        return AdoptionRefusal::versionUnreadable();
    const auto build = LibraryScanner::parseBuildNumber(*buildText);
    if (!build)
        return AdoptionRefusal::versionUnreadable();
    if (*build < highWaterMark)
        return AdoptionRefusal::belowHighWaterMark(*build, highWaterMark);

    QString required = entry.minSystemVersion;
    const auto entryFloor = VersionCompare::parseSystemVersion(required);
    if (const auto bundleText = plist->text(u"LSMinimumSystemVersion")) {
        const auto bundleFloor = VersionCompare::parseSystemVersion(*bundleText);
        if (entryFloor && bundleFloor && VersionCompare::compare(*bundleFloor, *entryFloor) > 0)
            required = *bundleText;
    }
    // A floor that cannot be read cannot be shown to be met.
    const auto floor = VersionCompare::parseSystemVersion(required);
    if (!floor || VersionCompare::compare(os, *floor) < 0)
        return AdoptionRefusal::systemFloorNotMet(required);

    return AdoptableCopy {facts.canonicalURL, *build, std::move(*shortVersion), facts.writable, facts.parentWritable};
}

std::optional<AdoptableCopy> select(const QList<AdoptableCopy> &copies)
{
    const auto best = std::min_element(copies.begin(), copies.end(), [](const AdoptableCopy &a, const AdoptableCopy &b) {
        if (a.version != b.version)
            return a.version > b.version;
        return copies_detail::pathPrecedes(a.canonicalURL, b.canonicalURL);
    });
    if (best == copies.end())
        return std::nullopt;
    return *best;
}

std::optional<qsizetype> dataSharingCopyCount(const AdoptionReport &report,
                                              const std::optional<QList<DataSighting>> &sightings)
{
    if (!sightings)
        return std::nullopt;
    QSet<QString> paths;
    for (const AdoptionReport::Candidate &candidate : report.candidates) {
        // Staging and translocated paths are transient views of another copy; a bundle of another
        // identity keeps its data elsewhere.
        bool counts = false;
        if (const auto *exclusion = std::get_if<AdoptionExclusion>(&candidate.disposition)) {
            counts = *exclusion == AdoptionExclusion::managedInstall ||
                     *exclusion == AdoptionExclusion::readOnlyOrRemovableVolume;
        } else {
            const auto &verdict = std::get<AdoptionVerdict>(candidate.disposition);
            const auto *refusal = std::get_if<AdoptionRefusal>(&verdict);
            counts = !refusal || refusal->discriminator() != AdoptionRefusal::Case::identityMismatch;
        }
        if (counts)
            paths.insert(candidate.canonicalURL);
    }
    for (const DataSighting &sighting : *sightings) {
        if (sighting.bundleId == report.bundleId)
            paths.insert(FileSystem::canonicalPath(sighting.url));
    }
    return paths.size();
}

std::optional<InstallResolution> resolve(const QString &bundleId,
                                         const std::optional<InstalledApp> &managed,
                                         const QList<AdoptableCopy> &adoptable)
{
    QList<InstallCopy> copies;
    QSet<QString> seen;
    if (managed) {
        const QString path = FileSystem::canonicalPath(managed->url);
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

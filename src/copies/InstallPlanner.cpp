#include <copies/InstallPlanner.h>

#include <catalog/HostAllowlist.h>

#include <QCoreApplication>

namespace vantry {

QString UpdateBlock::userFacingReason() const
{
    switch (reason) {
    case Reason::notWritable:
        return QCoreApplication::translate("UpdateBlock", "the copy is not writable by you");
    case Reason::parentNotWritable:
        return QCoreApplication::translate("UpdateBlock",
                                           "the folder holding it is not writable by you");
    }
    Q_UNREACHABLE();
}

} // namespace vantry

namespace vantry::InstallPlanner {

namespace {

QString message(const char *english)
{
    return QCoreApplication::translate("InstallPlanner", english);
}

InstallPlan planFor(const Catalog::Entry &entry, const AppcastItem &item)
{
    return InstallPlan {entry.id,       item.enclosureURL, item.length, item.edSignature,
                        entry.bundleId, item.version,      item.shortVersionString};
}

RestingDecision installed() { return RestingDecision {TitleState::installed(), std::nullopt}; }

RestingDecision unavailable(const char *english)
{
    return RestingDecision {TitleState::unavailable(message(english)), std::nullopt};
}

} // namespace

QString effectiveMinimumSystemVersion(const Catalog::Entry &entry, const std::optional<AppcastItem> &appcast)
{
    if (!appcast || !appcast->minimumSystemVersion)
        return entry.minSystemVersion;
    const auto entryMinimum = VersionCompare::parseSystemVersion(entry.minSystemVersion);
    const auto itemMinimum = VersionCompare::parseSystemVersion(*appcast->minimumSystemVersion);
    if (entryMinimum && itemMinimum && VersionCompare::compare(*itemMinimum, *entryMinimum) > 0)
        return *appcast->minimumSystemVersion;
    return entry.minSystemVersion;
}

std::optional<RestingDecision> decide(const Catalog::Entry &entry, const std::optional<AppcastItem> &appcast,
                                      const std::optional<InstalledObservation> &installedCopy,
                                      const SystemVersion &os, std::int64_t highWaterMark)
{
    if (!entry.released)
        return std::nullopt;
    const QString minimum = effectiveMinimumSystemVersion(entry, appcast);
    const auto parsedMinimum = VersionCompare::parseSystemVersion(minimum);
    // An unreadable minimum cannot be shown to be met, so it never allows a fresh install.
    const bool newEnough = parsedMinimum && VersionCompare::compare(os, *parsedMinimum) >= 0;

    if (!newEnough && !installedCopy)
        return RestingDecision {TitleState::requiresNewerMacOS(minimum), std::nullopt};
    if (!appcast)
        return installedCopy ? installed() : unavailable("Offline — check your connection and try again.");
    // Judged as written: QUrl would have folded the scheme's case.
    if (!HostAllowlist::allows(QStringView(appcast->enclosureURLText)))
        return installedCopy ? installed() : unavailable("This release failed an origin check.");
    if (!installedCopy) {
        if (appcast->version >= highWaterMark)
            return RestingDecision {TitleState::available(), planFor(entry, *appcast)};
        return unavailable("This release is older than one you have already installed.");
    }
    if (newEnough && installedCopy->version < appcast->version && appcast->version >= highWaterMark)
        return RestingDecision {TitleState::updateAvailable(), planFor(entry, *appcast)};
    return installed();
}

std::pair<RestingDecision, std::optional<UpdateBlock>>
applyUpdateBlock(RestingDecision decision, const std::optional<InstallResolution> &resolution)
{
    if (decision.state.discriminator() != TitleState::Case::updateAvailable || !decision.plan || !resolution ||
        resolution->current.origin != InstallCopy::Origin::adopted)
        return {std::move(decision), std::nullopt};
    const InstallCopy &current = resolution->current;
    std::optional<UpdateBlock::Reason> reason;
    if (!current.writable)
        reason = UpdateBlock::Reason::notWritable;
    else if (!current.parentWritable)
        reason = UpdateBlock::Reason::parentNotWritable;
    if (!reason)
        return {std::move(decision), std::nullopt};
    UpdateBlock block {std::move(*decision.plan), current.canonicalURL, *reason};
    return {installed(), std::move(block)};
}

} // namespace vantry::InstallPlanner

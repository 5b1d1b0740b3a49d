#include <copies/LibraryScanner.h>

#include <copies/PathOrder.h>

#include <platform/FileSystem.h>
#include <platform/Paths.h>

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <limits>

namespace vantry::LibraryScanner {

namespace {

// The bundle paths that survive the listing filter, or nothing when the folder cannot be listed.
std::optional<QStringList> listBundles(const std::optional<QString> &directory)
{
    const QString folder = directory.value_or(Paths::managedGamesDirectory());
    const QFileInfo info(folder);
    // QDir::entryList gives an empty list for an unreadable folder, so check first.
    if (!info.isDir() || !info.isReadable())
        return std::nullopt;
    const QStringList names =
        QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                               QDir::NoSort);
    const QString prefix = folder.endsWith(u'/') ? folder : folder + u'/';
    QStringList bundles;
    for (const QString &name : names) {
        // The hidden staging folder lives here too; it must never look like an installed game.
        if (name.endsWith(u".app"_qs) && !name.startsWith(u'.'))
            bundles.append(prefix + name);
    }
    return bundles;
}

template<typename T>
void sortByPath(QList<T> &items)
{
    std::stable_sort(items.begin(), items.end(), [](const T &a, const T &b) {
        return copies_detail::pathPrecedes(a.url, b.url);
    });
}

} // namespace

QList<InstalledApp> scanAll(const std::optional<QString> &directory)
{
    QList<InstalledApp> apps;
    for (const QString &bundle : listBundles(directory).value_or(QStringList {})) {
        if (auto found = observation(bundle))
            apps.append(InstalledApp {bundle, std::move(*found)});
    }
    sortByPath(apps);
    return apps;
}

std::optional<QList<DataSighting>> sightingsForCounting(const std::optional<QString> &directory)
{
    const auto bundles = listBundles(directory);
    if (!bundles)
        return std::nullopt;
    QList<DataSighting> sightings;
    for (const QString &bundle : *bundles) {
        const auto plist = readInfoPlist(bundle);
        if (!plist)
            continue;
        if (auto bundleId = plist->text(u"CFBundleIdentifier"))
            sightings.append(DataSighting {bundle, std::move(*bundleId)});
    }
    sortByPath(sightings);
    return sightings;
}

std::optional<PlistValue> readInfoPlist(const QString &bundle)
{
    return PlistValue::readInfoPlist(bundle);
}

std::optional<InstalledObservation> observation(const QString &bundle)
{
    const auto plist = readInfoPlist(bundle);
    if (!plist || plist->dictionary()->empty())
        return std::nullopt;
    auto bundleId = plist->text(u"CFBundleIdentifier");
    if (!bundleId)
        return std::nullopt;
    const auto buildText = plist->text(u"CFBundleVersion");
    if (!buildText)
        return std::nullopt;
    const auto build = parseBuildNumber(*buildText);
    if (!build)
        return std::nullopt;
    auto shortVersion = plist->text(u"CFBundleShortVersionString");
    if (!shortVersion)
        return std::nullopt;
    return InstalledObservation {std::move(*bundleId), *build, std::move(*shortVersion)};
}

std::optional<TimedObservation> observationWithModificationTime(const QString &bundle)
{
    auto found = observation(bundle);
    if (!found)
        return std::nullopt;
    const QDateTime modified = QFileInfo(bundle).lastModified();
    return TimedObservation {std::move(*found),
                             modified.isValid() ? std::optional<QDateTime>(modified) : std::nullopt};
}

QHash<QString, InstalledApp> keyedByBundleId(const QList<InstalledApp> &apps)
{
    QHash<QString, InstalledApp> byId;
    for (const InstalledApp &app : apps) {
        const auto stored = byId.find(app.observation.bundleId);
        if (stored == byId.end()) {
            byId.insert(app.observation.bundleId, app);
            continue;
        }
        bool replace = false;
        if (app.observation.version != stored->observation.version) {
            replace = app.observation.version > stored->observation.version;
        } else {
            const QString storedPath = FileSystem::canonicalPath(stored->url);
            const QString newPath = FileSystem::canonicalPath(app.url);
            replace = storedPath != newPath && copies_detail::pathPrecedes(newPath, storedPath);
        }
        if (replace)
            *stored = app;
    }
    return byId;
}

std::optional<std::int64_t> parseBuildNumber(QStringView text)
{
    // Hand-written: QString::toLongLong also accepts surrounding blanks, which the grammar refuses.
    qsizetype index = 0;
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        index = 1;
    }
    if (index == text.size())
        return std::nullopt;
    // Accumulate towards the negative side, whose range is one larger.
    constexpr std::int64_t minimum = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (; index < text.size(); ++index) {
        const char16_t c = text[index].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        const int digit = c - u'0';
        if (value < (minimum + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative)
        return value;
    if (value == minimum)
        return std::nullopt;
    return -value;
}

} // namespace vantry::LibraryScanner

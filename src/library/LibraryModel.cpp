#include <library/LibraryModel.h>

#include <catalog/CatalogService.h>
#include <catalog/HighWaterStore.h>
#include <copies/AdoptionModel.h>
#include <copies/AdoptionService.h>
#include <copies/UninstallService.h>
#include <core/DefaultsKeys.h>
#include <core/OffMain.h>
#include <install/InstallEngine.h>
#include <platform/FileSystem.h>
#include <platform/PropertyList.h>
#include <vantry/BuildConfig.h>

#include <QCoroSignal>
#include <QCoroTimer>
#include <QPointer>

#include <algorithm>
#include <chrono>
#include <utility>

namespace vantry {

namespace {

QString launchNotice(const QString &name, const LaunchError &error)
{
    if (const AdoptionRefusal *refusal = error.adoptionRefusal())
        return LibraryModel::tr("%1 could not be launched: %2.").arg(name, refusal->userFacingDescription());
    return LibraryModel::tr("%1 could not be launched.").arg(name);
}

// What a removal learns from the disk about one copy, gathered off the main thread.
struct DiskFacts {
    QString path; // canonical
    std::optional<QString> identity;
    bool trashable = false;
};

} // namespace

LibraryModel::LibraryModel(OutwardSeams seams, std::unique_ptr<CatalogService> catalogService,
                           InstallEngine *engine, HighWaterStore *highWater, QObject *parent)
    : QObject(parent), m_seams(std::move(seams)), m_catalogService(std::move(catalogService)),
      m_engine(engine ? *engine : InstallEngine::shared()),
      m_highWater(highWater ? *highWater : HighWaterStore::shared())
{
    // Held weakly: the connection ends with the model. A refresh merges once at its end.
    connect(&m_engine, &InstallEngine::jobStatesChanged, this, [this] {
        if (!m_isRefreshing)
            merge(m_engine.jobStates());
    });
}

LibraryModel::~LibraryModel() = default;

void LibraryModel::clearNotice()
{
    if (!m_notice)
        return;
    m_notice.reset();
    Q_EMIT noticeChanged();
}

void LibraryModel::setNotice(QString text)
{
    m_notice = std::move(text);
    Q_EMIT noticeChanged();
}

std::int64_t LibraryModel::highWaterMark(const QString &titleId) const
{
    return m_highWater.read(DefaultsKeys::titleVersionHighWater(titleId));
}

void LibraryModel::merge(const QHash<QString, TitleState> &jobStates)
{
    QHash<QString, TitleState> merged = m_restingStates;
    for (auto it = jobStates.cbegin(); it != jobStates.cend(); ++it)
        merged.insert(it.key(), it.value());
    m_states = std::move(merged);
    Q_EMIT statesChanged();
}

QCoro::Task<void> LibraryModel::refresh()
{
    const quint64 request = ++m_refreshRequests;
    if (m_isRefreshing) {
        // Folded into the next run, which begins after the one under way.
        while (m_refreshesCovered < request)
            co_await qCoro(this, &LibraryModel::refreshRunEnded);
        co_return;
    }
    m_isRefreshing = true;
    while (m_refreshesCovered < m_refreshRequests) {
        const quint64 covers = m_refreshRequests;
        co_await runRefresh();
        m_refreshesCovered = covers;
        Q_EMIT refreshRunEnded();
    }
    m_isRefreshing = false;
}

QCoro::Task<void> LibraryModel::runRefresh()
{
    auto load = m_catalogService->load();
    const auto loaded = co_await load;
    if (loaded) {
        m_catalog = *loaded;
        Q_EMIT catalogChanged();
    }
    if (const bool offline = !loaded && !m_catalog; offline != m_isOffline) {
        m_isOffline = offline;
        Q_EMIT isOfflineChanged();
    }
    if (!m_catalog) {
        m_states.clear();
        Q_EMIT statesChanged();
        co_return;
    }
    const Catalog catalog = *m_catalog;
    if (const bool wanted = currentBuild() < catalog.minimumLauncherBuild; wanted != m_launcherUpdateAvailable) {
        m_launcherUpdateAvailable = wanted;
        Q_EMIT launcherUpdateAvailableChanged();
    }

    const QHash<QString, InstalledApp> managed = LibraryScanner::keyedByBundleId(m_seams.scanLibrary.run());
    const std::optional<QList<DataSighting>> sightings = m_seams.scanForCounting.run();
    const SystemVersion os = AdoptionService::runningSystemVersion();

    m_entries.clear();
    m_decisions.clear();
    QHash<QString, AppcastItem> appcastItems;
    QHash<QString, InstalledObservation> installedVersions;
    QHash<QString, TitleState> restingStates;
    QHash<QString, InstallResolution> resolutions;
    QHash<QString, qsizetype> dataSharingCopyCounts;
    QHash<QString, UpdateBlock> updateBlocks;

    for (const Catalog::Entry &entry : catalog.games) {
        if (!entry.released)
            continue;
        m_entries.insert(entry.id, entry);
        auto fetch = m_seams.fetchAppcast.run(entry);
        const std::optional<AppcastItem> item = co_await fetch;
        if (item)
            appcastItems.insert(entry.id, *item);

        const QString key = DefaultsKeys::titleVersionHighWater(entry.id);
        auto assess = m_seams.assessAdoption.run(entry, m_highWater.read(key));
        const AdoptionReport report = co_await assess;
        if (report.selection && report.selection->version > m_highWater.read(key)) {
            auto raise = m_highWater.raise(key, report.selection->version);
            co_await raise;
        }

        std::optional<InstalledApp> managedApp;
        if (const auto found = managed.constFind(entry.bundleId); found != managed.cend())
            managedApp = *found;
        const std::optional<InstallResolution> resolution =
            AdoptionModel::resolve(entry.bundleId, managedApp, report.adoptableCopies());
        if (resolution) {
            resolutions.insert(entry.id, *resolution);
            installedVersions.insert(entry.id, resolution->current.observation);
        }
        if (const auto count = AdoptionModel::dataSharingCopyCount(report, sightings))
            dataSharingCopyCounts.insert(entry.id, *count);

        const std::optional<InstalledObservation> installed =
            resolution ? std::optional(resolution->current.observation) : std::nullopt;
        std::optional<RestingDecision> decided =
            InstallPlanner::decide(entry, item, installed, os, m_highWater.read(key));
        if (!decided)
            continue;
        auto [decision, block] = InstallPlanner::applyUpdateBlock(std::move(*decided), resolution);
        if (block)
            updateBlocks.insert(entry.id, *block);

        TitleState state = decision.state;
        m_decisions.insert(entry.id, std::move(decision));
        if (resolution) {
            const TitleState::Case rest = state.discriminator();
            const bool canRun = rest == TitleState::Case::installed || rest == TitleState::Case::updateAvailable;
            if (canRun && m_seams.isRunning.run(entry.bundleId))
                state = TitleState::running();
        }
        restingStates.insert(entry.id, state);
        m_engine.reconcileOnRefresh(entry.id, state);
    }

    m_appcastItems = std::move(appcastItems);
    Q_EMIT appcastItemsChanged();
    m_installedVersions = std::move(installedVersions);
    Q_EMIT installedVersionsChanged();
    m_resolutions = std::move(resolutions);
    Q_EMIT resolutionsChanged();
    m_dataSharingCopyCounts = std::move(dataSharingCopyCounts);
    Q_EMIT dataSharingCopyCountsChanged();
    m_updateBlocks = std::move(updateBlocks);
    Q_EMIT updateBlocksChanged();
    m_restingStates = std::move(restingStates);

    merge(m_engine.jobStates());
    co_await loadIcons();
}

QCoro::Task<void> LibraryModel::loadIcons()
{
    if (!m_catalog)
        co_return;
    const Catalog catalog = *m_catalog;
    for (const Catalog::Entry &entry : catalog.games) {
        if (!entry.released)
            continue;
        if (const auto pinned = m_iconCache.constFind(entry.id);
            pinned != m_iconCache.cend() && pinned->pin == entry.iconSHA256)
            continue;
        auto fetch = m_catalogService->icon(entry);
        const auto file = co_await fetch;
        if (!file)
            continue;
        // The seed's icons are resources (qrc:), the others files.
        const QString path = file->isLocalFile() ? file->toLocalFile() : u':' + file->path();
        auto decode = [path] { return QImage(path); };
        const QImage image = co_await offMain(decode);
        if (image.isNull())
            continue;
        m_iconCache.insert(entry.id, PinnedIcon {entry.iconSHA256, image});
        m_icons.insert(entry.id, image);
        Q_EMIT iconsChanged();
    }
}

std::optional<Catalog::Entry> LibraryModel::entry(const QString &titleId) const
{
    if (const auto found = m_entries.constFind(titleId); found != m_entries.cend())
        return *found;
    return std::nullopt;
}

std::optional<QString> LibraryModel::installedVersionText(const QString &titleId) const
{
    if (const auto found = m_installedVersions.constFind(titleId); found != m_installedVersions.cend())
        return found->shortVersion;
    return std::nullopt;
}

std::int64_t LibraryModel::currentBuild()
{
    return BuildConfig::launcherBuild;
}

void LibraryModel::install(const QString &titleId)
{
    const auto entry = m_entries.constFind(titleId);
    const auto decision = m_decisions.constFind(titleId);
    const auto state = m_states.constFind(titleId);
    if (entry == m_entries.cend() || decision == m_decisions.cend() || !decision->plan || state == m_states.cend())
        return;
    std::optional<AdoptableCopy> target;
    if (const auto resolution = m_resolutions.constFind(titleId); resolution != m_resolutions.cend())
        target = resolution->current.adoptableCopy();
    m_engine.requestInstall(*entry, *decision->plan, *state, target);
}

void LibraryModel::installManagedCopy(const QString &titleId)
{
    const auto entry = m_entries.constFind(titleId);
    const auto block = m_updateBlocks.constFind(titleId);
    if (entry == m_entries.cend() || block == m_updateBlocks.cend())
        return;
    m_engine.requestInstall(*entry, block->plan, TitleState::updateAvailable(), std::nullopt);
}

std::optional<InstallResolution> LibraryModel::resolutionOrManagedCopy(const Catalog::Entry &entry) const
{
    if (const auto published = m_resolutions.constFind(entry.id); published != m_resolutions.cend())
        return *published;
    const QHash<QString, InstalledApp> scanned = LibraryScanner::keyedByBundleId(m_seams.scanLibrary.run());
    const auto managed = scanned.constFind(entry.bundleId);
    if (managed == scanned.cend())
        return std::nullopt;
    const InstallCopy copy {FileSystem::canonicalPath(managed->url), managed->observation,
                            InstallCopy::Origin::managed, true, true};
    return InstallResolution {copy, {copy}};
}

void LibraryModel::play(const QString &titleId)
{
    const auto entry = m_entries.constFind(titleId);
    if (entry == m_entries.cend())
        return;
    const std::optional<InstallResolution> resolution = resolutionOrManagedCopy(*entry);
    if (!resolution)
        return;
    playInBackground(*entry, resolution->current, highWaterMark(titleId)); // runs on by itself
}

QCoro::Task<void> LibraryModel::playInBackground(Catalog::Entry entry, InstallCopy copy, std::int64_t mark)
{
    const QPointer<LibraryModel> self(this);
    auto launch = m_seams.play.run(entry, copy, mark);
    const auto launched = co_await launch;
    if (!self)
        co_return;
    if (!launched) {
        setNotice(launchNotice(entry.name, launched.error()));
        co_return;
    }
    co_await QCoro::sleepFor(std::chrono::seconds(1));
    if (self)
        co_await refresh();
}

QCoro::Task<void> LibraryModel::quitAndUpdate(QString titleId)
{
    const auto found = entry(titleId);
    if (!found)
        co_return;
    auto quit = m_seams.terminate.run(found->bundleId);
    if (!co_await quit) {
        setNotice(tr("%1 did not quit. Quit it yourself, then update.").arg(found->name));
        co_return;
    }
    co_await refresh();
    install(titleId);
}

std::optional<InstallCopy> LibraryModel::soleCopyForRemoval(const QString &titleId) const
{
    const auto found = entry(titleId);
    if (!found)
        return std::nullopt;
    const std::optional<InstallResolution> resolution = resolutionOrManagedCopy(*found);
    if (!resolution || resolution->copies.size() != 1)
        return std::nullopt;
    return resolution->current;
}

std::optional<RemovalRefusal> LibraryModel::removalBlocker(const QString &titleId, const InstallCopy &copy) const
{
    const auto found = entry(titleId);
    if (!found)
        return RemovalRefusal::notACandidate();
    if (m_seams.isRunning.run(found->bundleId))
        return RemovalRefusal::running();
    if (!copy.writable || !UninstallService::isTrashable(copy.canonicalURL))
        return RemovalRefusal::notWritable();
    return std::nullopt;
}

QCoro::Task<std::optional<qsizetype>> LibraryModel::freshDataSharingCount(Catalog::Entry entry)
{
    auto assess = m_seams.assessAdoption.run(entry, highWaterMark(entry.id));
    const AdoptionReport report = co_await assess;
    co_return AdoptionModel::dataSharingCopyCount(report, m_seams.scanForCounting.run());
}

QCoro::Task<void> LibraryModel::removeCopy(QString titleId, InstallCopy copy, bool includeUserData)
{
    const QPointer<LibraryModel> self(this);
    const auto found = entry(titleId);
    if (!found)
        co_return;
    const Catalog::Entry entry = *found;
    std::optional<qsizetype> sharing;
    if (includeUserData) {
        auto count = freshDataSharingCount(entry);
        sharing = co_await count;
        if (!self)
            co_return;
    }
    const std::optional<InstallResolution> resolution = resolutionOrManagedCopy(entry);
    if (!resolution)
        co_return;

    auto read = [url = copy.canonicalURL] {
        const QString path = FileSystem::canonicalPath(url);
        const auto plist = PlistValue::readInfoPlist(path);
        return DiskFacts {path, plist ? plist->text(u"CFBundleIdentifier") : std::nullopt,
                          UninstallService::isTrashable(path)};
    };
    const DiskFacts disk = co_await offMain(read);
    if (!self)
        co_return;
    const QString &path = disk.path;
    const RemovalFacts facts {
        path, m_seams.isRunning.run(entry.bundleId),
        std::any_of(resolution->copies.cbegin(), resolution->copies.cend(),
                    [&path](const InstallCopy &known) { return known.canonicalURL == path; }),
        disk.identity, disk.trashable};

    if (const auto refusal = UninstallModel::refusal(facts, entry.bundleId)) {
        setNotice(tr("%1 could not be removed: %2.").arg(entry.name, refusal->userFacingDescription()));
    } else if (const auto moved = m_seams.trash.run(path); !moved) {
        setNotice(tr("%1 could not be removed: %2.").arg(entry.name, moved.error()));
    } else if (includeUserData && sharing == 1) {
        QStringList failures;
        const QStringList items = UninstallService::existingUserDataPaths(
            entry.bundleId, m_seams.userLibrary.run, QString::fromLatin1(BuildConfig::launcherBundleId));
        for (const QString &item : items) {
            if (const auto gone = m_seams.trash.run(item); !gone)
                failures.append(item + u": "_qs + gone.error());
        }
        if (!failures.isEmpty()) {
            setNotice(tr("%1 moved to the Trash, but some of its data could not be removed: %2.")
                          .arg(entry.name, failures.join(u"; "_qs)));
        }
    }
    co_await refresh();
}

QCoro::Task<void> LibraryModel::removeNonCurrentCopies(QString titleId, QList<InstallCopy> copies)
{
    const auto found = entry(titleId);
    const auto resolution = m_resolutions.constFind(titleId);
    if (!found || resolution == m_resolutions.cend())
        co_return;
    const QList<CopyRemovalResult> results = UninstallService::removeNonCurrentCopies(
        *found, *resolution, copies, m_seams.isRunning.run, m_seams.trash.run);
    QStringList failures;
    for (const CopyRemovalResult &result : results) {
        if (const auto *refusal = std::get_if<RemovalRefusal>(&result.outcome))
            failures.append(result.url + u": "_qs + refusal->userFacingDescription());
        else if (const auto *failed = std::get_if<CopyRemovalResult::TrashFailed>(&result.outcome))
            failures.append(result.url + u": "_qs + failed->message);
    }
    if (!failures.isEmpty()) {
        setNotice(tr("%1 copies moved to the Trash. These could not be removed: %2.")
                      .arg(QString::number(results.size() - failures.size()), failures.join(u"; "_qs)));
    }
    co_await refresh();
}

QStringList LibraryModel::userDataItems(const QString &titleId) const
{
    const auto found = entry(titleId);
    if (!found)
        return {};
    return UninstallService::existingUserDataPaths(found->bundleId, m_seams.userLibrary.run,
                                                   QString::fromLatin1(BuildConfig::launcherBundleId));
}

} // namespace vantry

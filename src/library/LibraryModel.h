#pragma once

#include <library/OutwardSeams.h>

#include <catalog/AppcastItem.h>
#include <catalog/Catalog.h>
#include <copies/InstallCopy.h>
#include <copies/InstallPlanner.h>
#include <copies/LibraryScanner.h>
#include <copies/UninstallModel.h>
#include <core/TitleState.h>

#include <QCoroTask>
#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace vantry {

class CatalogService;
class HighWaterStore;
class InstallEngine;

/// The one object that knows the whole library: it merges the verified catalog, the copies on
/// disk, the planning rules and the install engine's jobs into one state per title, publishes
/// the result, and carries out every action on a title. Main thread only; it reaches outside the
/// process through its seams, its catalog service, the engine and the high-water store alone.
class LibraryModel : public QObject
{
    Q_OBJECT

public:
    /// A model over `seams` and `catalogService` (owned from now on), using `engine` and
    /// `highWater` (default: the shared ones), which must outlive it. No refresh starts here.
    LibraryModel(OutwardSeams seams, std::unique_ptr<CatalogService> catalogService,
                 InstallEngine *engine = nullptr, HighWaterStore *highWater = nullptr,
                 QObject *parent = nullptr);
    ~LibraryModel() override;

    // What the presentation reads; each has a change signal below.
    [[nodiscard]] const std::optional<Catalog> &catalog() const { return m_catalog; }
    [[nodiscard]] const QHash<QString, TitleState> &states() const { return m_states; }
    [[nodiscard]] bool isOffline() const { return m_isOffline; }
    [[nodiscard]] bool launcherUpdateAvailable() const { return m_launcherUpdateAvailable; }
    [[nodiscard]] const QHash<QString, QImage> &icons() const { return m_icons; }
    [[nodiscard]] const std::optional<QString> &notice() const { return m_notice; }
    [[nodiscard]] const QHash<QString, AppcastItem> &appcastItems() const { return m_appcastItems; }
    [[nodiscard]] const QHash<QString, InstalledObservation> &installedVersions() const { return m_installedVersions; }
    [[nodiscard]] const QHash<QString, InstallResolution> &resolutions() const { return m_resolutions; }
    [[nodiscard]] const QHash<QString, qsizetype> &dataSharingCopyCounts() const { return m_dataSharingCopyCounts; }
    [[nodiscard]] const QHash<QString, UpdateBlock> &updateBlocks() const { return m_updateBlocks; }
    [[nodiscard]] bool isRefreshing() const { return m_isRefreshing; }

    /// The alert showing the notice was dismissed.
    void clearNotice();

    /// Reloads the catalog and recomputes every title. A refresh asked for while one runs is
    /// folded into one more run after it; the task ends when a run that began after the request
    /// has ended.
    QCoro::Task<void> refresh();

    [[nodiscard]] std::optional<Catalog::Entry> entry(const QString &titleId) const;
    [[nodiscard]] std::optional<QString> installedVersionText(const QString &titleId) const;

    /// Asks the engine to install or update the title along its resting plan.
    void install(const QString &titleId);
    /// Asks the engine for a managed copy in place of a blocked update of an adopted copy.
    void installManagedCopy(const QString &titleId);
    /// Launches the title's current copy in a task of its own; a failure becomes the notice.
    void play(const QString &titleId);
    /// Quits the running game, then updates it.
    QCoro::Task<void> quitAndUpdate(QString titleId);

    [[nodiscard]] std::optional<InstallCopy> soleCopyForRemoval(const QString &titleId) const;
    /// The pre-check shown before a removal is confirmed; it does not read the bundle.
    [[nodiscard]] std::optional<RemovalRefusal> removalBlocker(const QString &titleId, const InstallCopy &copy) const;
    /// Moves one copy, and with `includeUserData` its saved data when no other copy shares it,
    /// to the Trash.
    QCoro::Task<void> removeCopy(QString titleId, InstallCopy copy, bool includeUserData);
    /// Moves every listed copy but the current one to the Trash.
    QCoro::Task<void> removeNonCurrentCopies(QString titleId, QList<InstallCopy> copies);
    /// The title's saved-data items that exist.
    [[nodiscard]] QStringList userDataItems(const QString &titleId) const;

    /// The running launcher's build number.
    [[nodiscard]] static std::int64_t currentBuild();

Q_SIGNALS:
    void catalogChanged();
    void statesChanged();
    void isOfflineChanged();
    void launcherUpdateAvailableChanged();
    void iconsChanged();
    void noticeChanged();
    void appcastItemsChanged();
    void installedVersionsChanged();
    void resolutionsChanged();
    void dataSharingCopyCountsChanged();
    void updateBlocksChanged();
    /// A refresh run ended (internal: lets a folded request end with the run that covers it).
    void refreshRunEnded();

private:
    struct PinnedIcon {
        QString pin; // the iconSHA256 the image was loaded for
        QImage image;
    };

    void merge(const QHash<QString, TitleState> &jobStates);
    QCoro::Task<void> runRefresh();
    QCoro::Task<void> loadIcons();
    void setNotice(QString text);
    [[nodiscard]] std::int64_t highWaterMark(const QString &titleId) const;
    // The published resolution, or the managed copy from a fresh scan as the only copy.
    [[nodiscard]] std::optional<InstallResolution> resolutionOrManagedCopy(const Catalog::Entry &entry) const;
    [[nodiscard]] RemovalFacts removalFacts(const Catalog::Entry &entry, const InstallResolution &resolution,
                                            const InstallCopy &copy) const;
    QCoro::Task<std::optional<qsizetype>> freshDataSharingCount(Catalog::Entry entry);
    QCoro::Task<void> playInBackground(Catalog::Entry entry, InstallCopy copy, std::int64_t mark);

    const OutwardSeams m_seams;
    std::unique_ptr<CatalogService> m_catalogService;
    InstallEngine &m_engine;
    HighWaterStore &m_highWater;

    std::optional<Catalog> m_catalog;
    QHash<QString, TitleState> m_states;
    bool m_isOffline = false;
    bool m_launcherUpdateAvailable = false;
    QHash<QString, QImage> m_icons;
    std::optional<QString> m_notice;
    QHash<QString, AppcastItem> m_appcastItems;
    QHash<QString, InstalledObservation> m_installedVersions;
    QHash<QString, InstallResolution> m_resolutions;
    QHash<QString, qsizetype> m_dataSharingCopyCounts;
    QHash<QString, UpdateBlock> m_updateBlocks;

    QHash<QString, RestingDecision> m_decisions;
    QHash<QString, Catalog::Entry> m_entries;
    QHash<QString, TitleState> m_restingStates;
    QHash<QString, PinnedIcon> m_iconCache;
    bool m_isRefreshing = false;
    quint64 m_refreshRequests = 0; // refreshes asked for
    quint64 m_refreshesCovered = 0; // of those, the ones a finished run began after
};

} // namespace vantry

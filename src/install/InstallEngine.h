#pragma once

#include <install/InstallFailure.h>
#include <install/WorkingRoots.h>

#include <catalog/Catalog.h>
#include <catalog/DownloadService.h>
#include <copies/AdoptableCopy.h>
#include <copies/InstallPlanner.h>
#include <copies/LibraryScanner.h>
#include <core/Expected.h>
#include <core/TitleState.h>
#include <platform/DMGMounter.h>
#include <vantry/BuildConfig.h>

#include <QCoroTask>
#include <QDateTime>
#include <QFuture>
#include <QHash>
#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace vantry {

class HighWaterStore;
class HttpTransport;

Q_DECLARE_LOGGING_CATEGORY(installLog)

/// The installed copy a job goes into, as seen at one moment.
struct InstalledSnapshot {
    QString url;
    InstalledObservation observation;
    std::optional<QDateTime> mtime; // the bundle folder's modification time, when readable

    friend bool operator==(const InstalledSnapshot &, const InstalledSnapshot &) = default;
};

/// The system tools a job runs, by absolute path.
struct InstallTools {
    QString hdiutil;
    QString ditto;
    QString spctl;
    QString xattr;

    /// The build's own.
    [[nodiscard]] static InstallTools standard();
};

/// The one object that installs and updates games: a queue of jobs run one at a time, each
/// downloading a release image, taking it through the nine verification steps and swapping the
/// game into place. It publishes a state per title while it has something to say about it, and
/// lives on the main thread; its blocking work runs on the background pool.
class InstallEngine : public QObject
{
    Q_OBJECT

public:
    /// One install or update.
    struct Job {
        Catalog::Entry entry;
        InstallPlan plan;
        TitleState origin; // the state a dropped or cancelled job returns the title to
        std::optional<AdoptableCopy> adoptedTarget;
        std::optional<std::int64_t> installedVersionAtStart;
        std::optional<QDateTime> installedMtimeAtStart;

        /// The origin state in the form a title returns to: available or updateAvailable.
        [[nodiscard]] TitleState returnState() const;

        friend bool operator==(const Job &, const Job &) = default;
    };

    using DrainHandler = std::function<void()>;

    /// An engine downloading through `transport` (none: every download fails, for a development
    /// origin that cannot be used), keeping marks in `highWater` (default: the shared store),
    /// working in `roots` (default: the standard folders) with `tools` (default: the build's).
    explicit InstallEngine(const HttpTransport *transport, HighWaterStore *highWater = nullptr,
                           std::optional<WorkingRoots> roots = std::nullopt,
                           InstallTools tools = InstallTools::standard(), QObject *parent = nullptr);
    ~InstallEngine() override;

    /// The process-wide engine, created on first use with the defaults.
    static InstallEngine &shared();

    /// The job overlay: a title is listed while the engine has something to say about it.
    [[nodiscard]] const QHash<QString, TitleState> &jobStates() const { return m_jobStates; }
    [[nodiscard]] const WorkingRoots &roots() const { return m_roots; }

    /// Asks for an install or update. Refusals are only logged.
    void requestInstall(const Catalog::Entry &entry, const InstallPlan &plan, const TitleState &origin,
                        const std::optional<AdoptableCopy> &adoptedTarget);
    /// Queues the title's failed job again, with its plan and start snapshot.
    void retry(const QString &titleId);
    /// Removes a queued job, or stops the active job's download.
    void cancel(const QString &titleId);
    /// Holds the queue for a launcher relaunch: queued jobs go back to their titles, the active
    /// one runs on, and the drain handlers run once the engine is idle.
    void noteRelaunchPending();
    /// Lets a fresh resting state win over a stale overlay.
    void reconcileOnRefresh(const QString &titleId, const TitleState &resting);

    /// At start: removes what an earlier run left (staging folders beside adopted copies, every
    /// item of `downloads` and `staging`), then sweeps stale image mounts from the temporary
    /// folder, all on the background pool. The first job waits for it; so may a caller.
    static QFuture<void> prepare(const QString &downloads, const QString &staging);

    // The launcher updater's view of the queue.
    [[nodiscard]] bool relaunchPending() const { return m_relaunchPending; }
    void setRelaunchPending(bool pending) { m_relaunchPending = pending; }
    [[nodiscard]] bool relaunchHandlerFired() const { return m_relaunchHandlerFired; }
    void setRelaunchHandlerFired(bool fired) { m_relaunchHandlerFired = fired; }
    [[nodiscard]] const std::optional<Job> &active() const { return m_active; }
    [[nodiscard]] const QList<Job> &pending() const { return m_pending; }
    [[nodiscard]] const QHash<QString, Job> &failedJobs() const { return m_failedJobs; }
    void addDrainHandler(DrainHandler handler) { m_drainHandlers.append(std::move(handler)); }
    /// Starts the next job when the engine is free.
    void pump();

    /// The installed copy a job for `entry` goes into: `target` when given, otherwise the managed
    /// games folder's copy with the entry's identifier. Blocks.
    [[nodiscard]] static std::optional<InstalledSnapshot>
    installedSnapshot(const Catalog::Entry &entry, const std::optional<AdoptableCopy> &target,
                      const QString &installDirectory);

#if VANTRY_TEST_HOOKS
    /// Tests only: called with the name of each point a job passes (on whichever thread it runs),
    /// so that a test can change the world there, or end the process.
    static void setCheckpointHook(std::function<void(const char *point)> hook);
#endif

Q_SIGNALS:
    void jobStatesChanged();

private:
    // A request that passed the quick checks and waits for the ones that block.
    struct Request {
        quint64 serial = 0;
        Job job;
    };
    // What the steps of one job hand on to each other.
    struct StepContext {
        Job job;
        QString dmg;
        std::optional<MountedDMG> mounted;
        std::optional<QString> staged;
    };
    using Alive = std::shared_ptr<const bool>;

    void setState(const QString &titleId, const TitleState &state,
                  std::optional<TitleState::Case> from = std::nullopt);
    void removeState(const QString &titleId);
    void signalDrainedIfIdle();
    [[nodiscard]] bool hasInFlightState(const QString &titleId) const;

    QCoro::Task<void> admit();
    QCoro::Task<void> run(Job job);
    QCoro::Task<Expected<void, JobError>> perform(const Job &job, Alive alive);
    QCoro::Task<Expected<void, JobError>> runSteps(StepContext &context, Alive alive);
    QCoro::Task<Expected<void, JobError>> execute(VerificationStep step, StepContext &context, Alive alive);
    QCoro::Task<Expected<void, JobError>> finalizeInstall(const QString &staged, const Job &job,
                                                         const QString &installDirectory, Alive alive);
    QCoro::Task<void> cleanupAfterFailure(const Job &job);
    void settle(const Job &job, const Expected<void, JobError> &outcome);

    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    QHash<QString, TitleState> m_jobStates;
    bool m_relaunchPending = false;
    QList<Job> m_pending;
    std::optional<Job> m_active;
    QHash<QString, Job> m_failedJobs;
    QList<DrainHandler> m_drainHandlers;
    std::optional<QString> m_stagingInUse;
    std::unique_ptr<DownloadService> m_downloader; // absent: no usable transport
    HighWaterStore &m_highWater;
    WorkingRoots m_roots;
    InstallTools m_tools;
    bool m_relaunchHandlerFired = false;
    bool m_startCancelled = false; // the active job was cancelled before its download began

    QList<Request> m_requests;
    quint64 m_nextRequest = 0;
    bool m_admitting = false;
};

} // namespace vantry

#include <install/InstallEngine.h>

#include <install/Checkpoint.h>
#include <install/Staging.h>

#include <catalog/HighWaterStore.h>
#include <core/OffMain.h>
#include <platform/HttpTransport.h>
#include <platform/Workspace.h>

#include <QCoroFuture>
#include <QDir>
#include <QFile>

#include <type_traits>
#include <utility>

namespace vantry {

Q_LOGGING_CATEGORY(installLog, "com.vantry.launcher.install", QtInfoMsg)

namespace {

// The work prepare started last: a job waits for it, so that it never stages into a folder that
// is being emptied.
QFuture<void> &lastPreparation()
{
    static QFuture<void> future;
    return future;
}

#if VANTRY_TEST_HOOKS
std::function<void(const char *)> &checkpointHook()
{
    static std::function<void(const char *)> hook;
    return hook;
}
#endif

template<class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template<class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

QByteArray raw(TitleState::Case value) { return TitleState::rawValue(value).toUtf8(); }

QString describe(const DownloadService::Error &error)
{
    using Kind = DownloadService::Error::Kind;
    switch (error.kind) {
    case Kind::offOrigin:
        return QStringLiteral("offOrigin(%1)").arg(error.url.toString());
    case Kind::httpStatus:
        return QStringLiteral("httpStatus(%1)").arg(error.status);
    case Kind::failed:
        return QStringLiteral("failed(%1)").arg(error.description);
    case Kind::cancelled:
        return QStringLiteral("cancelled");
    case Kind::busy:
        return QStringLiteral("busy");
    }
    Q_UNREACHABLE();
}

// The running check and the installed snapshot of a request, made together off the main thread.
struct Admission {
    bool running = false;
    std::optional<InstalledSnapshot> snapshot;
};

} // namespace

#if VANTRY_TEST_HOOKS
void InstallCheckpoint::reach(const char *point)
{
    if (const auto &hook = checkpointHook())
        hook(point);
}

void InstallEngine::setCheckpointHook(std::function<void(const char *)> hook) { checkpointHook() = std::move(hook); }
#endif

InstallTools InstallTools::standard()
{
    return InstallTools{QString::fromUtf8(BuildConfig::hdiutilPath), QString::fromUtf8(BuildConfig::dittoPath),
                        QString::fromUtf8(BuildConfig::spctlPath), QString::fromUtf8(BuildConfig::xattrPath)};
}

TitleState InstallEngine::Job::returnState() const
{
    return origin.discriminator() == TitleState::Case::available ? TitleState::available() : TitleState::updateAvailable();
}

InstallEngine::InstallEngine(const HttpTransport *transport, HighWaterStore *highWater, std::optional<WorkingRoots> roots,
                             InstallTools tools, QObject *parent)
    : QObject(parent), m_downloader(transport ? std::make_unique<DownloadService>(*transport) : nullptr),
      m_highWater(highWater ? *highWater : HighWaterStore::shared()), m_roots(roots.value_or(WorkingRoots::standard())),
      m_tools(std::move(tools))
{
}

InstallEngine::~InstallEngine()
{
    // A job still under way finds out at its next step and touches nothing of the engine.
    *m_alive = false;
}

InstallEngine &InstallEngine::shared()
{
    static const auto transport = HttpTransport::fromEnvironment();
    if (!transport)
        qCCritical(installLog, "the development origin cannot be used: every download will fail");
    static InstallEngine engine(transport ? transport->get() : nullptr);
    return engine;
}

void InstallEngine::setState(const QString &titleId, const TitleState &state, std::optional<TitleState::Case> from)
{
    if (!from) {
        if (const auto current = m_jobStates.constFind(titleId); current != m_jobStates.cend())
            from = current->discriminator();
    }
    if (from && state.discriminator() != *from && !TitleState::canTransition(*from, state.discriminator())) {
        qCCritical(installLog, "refused illegal transition %s -> %s", raw(*from).constData(),
                   raw(state.discriminator()).constData());
        return;
    }
    m_jobStates.insert(titleId, state);
    Q_EMIT jobStatesChanged();
}

void InstallEngine::removeState(const QString &titleId)
{
    if (m_jobStates.remove(titleId) > 0)
        Q_EMIT jobStatesChanged();
}

bool InstallEngine::hasInFlightState(const QString &titleId) const
{
    const auto current = m_jobStates.constFind(titleId);
    if (current == m_jobStates.cend())
        return false;
    switch (current->discriminator()) {
    case TitleState::Case::queued:
    case TitleState::Case::downloading:
    case TitleState::Case::verifying:
    case TitleState::Case::installing:
    case TitleState::Case::failed:
        return true;
    case TitleState::Case::available:
    case TitleState::Case::requiresNewerMacOS:
    case TitleState::Case::unavailable:
    case TitleState::Case::installed:
    case TitleState::Case::updateAvailable:
    case TitleState::Case::running:
        return false;
    }
    Q_UNREACHABLE();
}

void InstallEngine::requestInstall(const Catalog::Entry &entry, const InstallPlan &plan, const TitleState &origin,
                                   const std::optional<AdoptableCopy> &adoptedTarget)
{
    const QByteArray id = entry.id.toUtf8();
    if (m_relaunchPending) {
        qCInfo(installLog, "refusing to start %s: a launcher relaunch is pending", id.constData());
        return;
    }
    const auto originCase = origin.discriminator();
    if (originCase != TitleState::Case::available && originCase != TitleState::Case::updateAvailable) {
        qCInfo(installLog, "refusing to start %s from %s", id.constData(), raw(originCase).constData());
        return;
    }
    // The caller's view may be older than the engine's: a title with a job in flight, or one being
    // admitted, is never started twice.
    const bool requested = std::any_of(m_requests.cbegin(), m_requests.cend(),
                                       [&](const Request &request) { return request.job.entry.id == entry.id; });
    if (hasInFlightState(entry.id) || requested) {
        const auto current = requested ? TitleState::Case::queued : m_jobStates.value(entry.id).discriminator();
        qCInfo(installLog, "refusing to start %s from %s", id.constData(), raw(current).constData());
        return;
    }
    if (adoptedTarget && !adoptedTarget->writable) {
        qCInfo(installLog, "refusing to start %s: the adopted copy is not writable", id.constData());
        return;
    }
    m_requests.append(Request{++m_nextRequest, Job{entry, plan, origin, adoptedTarget, std::nullopt, std::nullopt}});
    if (!m_admitting)
        admit(); // runs on by itself; the requests it finds are handled in order
}

QCoro::Task<void> InstallEngine::admit()
{
    m_admitting = true;
    const Alive alive = m_alive;
    while (!m_requests.isEmpty()) {
        const Request request = m_requests.first();
        auto look = [entry = request.job.entry, target = request.job.adoptedTarget, install = m_roots.install] {
            return Admission{!Workspace::runningApplications(entry.bundleId).isEmpty(),
                             installedSnapshot(entry, target, install)};
        };
        const Admission seen = co_await offMain(look);
        if (!*alive)
            co_return;
        if (m_requests.isEmpty() || m_requests.first().serial != request.serial)
            continue; // cancelled meanwhile
        Job job = m_requests.takeFirst().job;
        const QByteArray id = job.entry.id.toUtf8();
        if (m_relaunchPending) {
            qCInfo(installLog, "refusing to start %s: a launcher relaunch is pending", id.constData());
            continue;
        }
        if (seen.running) {
            qCInfo(installLog, "refusing to start %s: the game is running", id.constData());
            continue;
        }
        if (seen.snapshot) {
            job.installedVersionAtStart = seen.snapshot->observation.version;
            job.installedMtimeAtStart = seen.snapshot->mtime;
        }
        // From the state the request was made in: an overlay the last refresh has not yet cleared
        // (installed, after an earlier job) must not keep the new job from showing.
        setState(job.entry.id, TitleState::queued(), job.origin.discriminator());
        m_pending.append(std::move(job));
        pump();
    }
    m_admitting = false;
    signalDrainedIfIdle();
}

std::optional<InstalledSnapshot> InstallEngine::installedSnapshot(const Catalog::Entry &entry,
                                                                  const std::optional<AdoptableCopy> &target,
                                                                  const QString &installDirectory)
{
    QString url;
    if (target) {
        url = target->canonicalURL;
    } else {
        const auto apps = LibraryScanner::keyedByBundleId(LibraryScanner::scanAll(installDirectory));
        const auto found = apps.constFind(entry.bundleId);
        if (found == apps.cend())
            return std::nullopt;
        url = found->url;
    }
    auto observed = LibraryScanner::observationWithModificationTime(url);
    if (!observed)
        return std::nullopt;
    return InstalledSnapshot{url, std::move(observed->observation), observed->mtime};
}

void InstallEngine::pump()
{
    if (m_active)
        return;
    if (m_relaunchPending) {
        qCInfo(installLog, "queue held: a launcher relaunch is pending");
        signalDrainedIfIdle();
        return;
    }
    if (m_pending.isEmpty()) {
        signalDrainedIfIdle();
        return;
    }
    m_active = m_pending.takeFirst();
    run(*m_active); // runs on by itself and ends by pumping again
}

QCoro::Task<void> InstallEngine::run(Job job)
{
    const Alive alive = m_alive;
    const QByteArray id = job.entry.id.toUtf8();
    InstallCheckpoint::reach("started");
    if (auto preparation = lastPreparation(); !preparation.isFinished()) {
        co_await preparation;
        if (!*alive)
            co_return;
    }
    auto look = [bundleId = job.entry.bundleId] { return !Workspace::runningApplications(bundleId).isEmpty(); };
    const bool running = co_await offMain(look);
    if (!*alive)
        co_return;
    if (std::exchange(m_startCancelled, false)) {
        setState(job.entry.id, job.returnState());
    } else if (running) {
        qCInfo(installLog, "dropping %s: the game is running", id.constData());
        setState(job.entry.id, job.returnState());
    } else {
        auto work = perform(job, alive);
        const auto outcome = co_await std::move(work);
        if (!*alive)
            co_return;
        if (!outcome) {
            auto cleanup = cleanupAfterFailure(job);
            co_await std::move(cleanup);
            if (!*alive)
                co_return;
        }
        settle(job, outcome);
        InstallCheckpoint::reach("settled");
    }
    m_active.reset();
    m_stagingInUse.reset();
    pump();
}

void InstallEngine::settle(const Job &job, const Expected<void, JobError> &outcome)
{
    const QString &titleId = job.entry.id;
    const QByteArray id = titleId.toUtf8();
    if (outcome) {
        setState(titleId, TitleState::installed());
        return;
    }
    const auto keep = [&](QString message, std::optional<VerificationStep> step = std::nullopt) {
        setState(titleId, TitleState::failed(step, std::move(message)));
        m_failedJobs.insert(titleId, job);
    };
    std::visit(Overloaded{
                   [&](const StepFailure &failure) {
                       qCCritical(installLog, "%s refused at %s: %s", id.constData(), qUtf8Printable(rawValue(failure.step)),
                                  qUtf8Printable(failure.detail));
                       keep(userMessage(failure.step), failure.step);
                   },
                   [&](const AdoptedCopyChanged &changed) {
                       const QString reason = changed.reason.userFacingDescription();
                       qCCritical(installLog, "%s adopted copy changed mid-update: %s", id.constData(), qUtf8Printable(reason));
                       keep(tr("The update was stopped: the copy being updated changed or no longer verifies (")
                            + reason + tr("). It was left untouched."));
                   },
                   [&](const DownloadService::Error &error) {
                       if (error.kind == DownloadService::Error::Kind::cancelled) {
                           setState(titleId, job.returnState());
                           return;
                       }
                       qCCritical(installLog, "%s download failed: %s", id.constData(), qUtf8Printable(describe(error)));
                       keep(tr("The download failed. Check your connection and try again."));
                   },
                   [&](const UnexpectedFailure &failure) {
                       qCCritical(installLog, "%s failed unexpectedly: %s", id.constData(),
                                  qUtf8Printable(failure.description));
                       keep(tr("The install failed unexpectedly."));
                   },
               },
               outcome.error());
}

QCoro::Task<Expected<void, JobError>> InstallEngine::perform(const Job &job, Alive alive)
{
    const QString titleId = job.entry.id;
    const QString hdiutil = m_tools.hdiutil; // the image is detached even when the engine is gone
    setState(titleId, TitleState::downloading(0.0));
    InstallCheckpoint::reach("download");
    if (!m_downloader)
        co_return unexpected(JobError(DownloadService::Error::failed(QStringLiteral("the development origin cannot be used"))));
    auto progress = [this, alive, titleId](double fraction) {
        if (!*alive || m_jobStates.value(titleId).discriminator() != TitleState::Case::downloading)
            return;
        setState(titleId, TitleState::downloading(fraction));
        InstallCheckpoint::reach("progress");
    };
    const QUrl url = job.plan.enclosureURL;
    const QString folder = m_roots.downloads + u'/' + titleId;
    auto download = m_downloader->download(url, folder, job.plan.expectedLength, progress);
    auto downloaded = co_await std::move(download);
    if (!*alive || !downloaded) {
        if (downloaded)
            co_return unexpected(JobError(DownloadService::Error::cancelled()));
        if (const auto *error = std::get_if<DownloadService::Error>(&downloaded.error()))
            co_return unexpected(JobError(*error));
        co_return unexpected(JobError(UnexpectedFailure{std::get<SystemError>(downloaded.error()).describe()}));
    }
    InstallCheckpoint::reach("downloaded");

    StepContext context{job, *downloaded, std::nullopt, std::nullopt};
    auto steps = runSteps(context, alive);
    const auto outcome = co_await std::move(steps);
    // Whatever happened, and even when the engine is gone: nothing stays mounted, no image stays.
    if (context.mounted) {
        auto detach = [mounted = *context.mounted, hdiutil] { DMGMounter::detach(mounted, hdiutil); };
        co_await offMain(detach);
        InstallCheckpoint::reach("detached");
    }
    auto remove = [dmg = context.dmg, folder] {
        QFile::remove(dmg);
        InstallCheckpoint::reach("image removed");
        QDir().rmdir(folder);
    };
    co_await offMain(remove);
    InstallCheckpoint::reach("removed");
    co_return outcome;
}

QCoro::Task<Expected<void, JobError>> InstallEngine::runSteps(StepContext &context, Alive alive)
{
    for (const VerificationStep step : allVerificationSteps) {
        if (!*alive)
            co_return unexpected(JobError(UnexpectedFailure{QStringLiteral("the install engine is gone")}));
        const bool verifying = step == VerificationStep::length || step == VerificationStep::edSignature;
        setState(context.job.entry.id, verifying ? TitleState::verifying(step) : TitleState::installing(step));
        const QByteArray name = rawValue(step).toUtf8();
        InstallCheckpoint::reach(name.constData());
        auto work = execute(step, context, alive);
        auto done = co_await std::move(work);
        if (done) {
            InstallCheckpoint::reach(QByteArray(name + " done").constData());
            continue;
        }
        // Only the two failures that say what went wrong pass as they are; anything else is a
        // failure of the step that was running.
        if (const auto *failure = std::get_if<UnexpectedFailure>(&done.error()))
            co_return unexpected(JobError(StepFailure{step, failure->description}));
        if (const auto *error = std::get_if<DownloadService::Error>(&done.error()))
            co_return unexpected(JobError(StepFailure{step, describe(*error)}));
        co_return done;
    }
    co_return {};
}

QCoro::Task<void> InstallEngine::cleanupAfterFailure(const Job &job)
{
    auto clean = [downloadFolder = m_roots.downloads + u'/' + job.entry.id, staging = m_roots.staging,
                  inUse = m_stagingInUse] {
        Staging::removeTree(downloadFolder);
        Staging::removeRecordedBesideTargets(staging);
        if (inUse && *inUse != staging)
            Staging::removeTree(*inUse);
        Staging::emptyFolder(staging);
    };
    co_await offMain(clean);
}

void InstallEngine::retry(const QString &titleId)
{
    const auto failed = m_failedJobs.constFind(titleId);
    if (failed == m_failedJobs.cend() || !m_jobStates.contains(titleId)
        || m_jobStates.value(titleId).discriminator() != TitleState::Case::failed)
        return;
    if (m_relaunchPending) {
        qCInfo(installLog, "refusing to retry %s: a launcher relaunch is pending", qUtf8Printable(titleId));
        return;
    }
    Job job = *failed;
    m_failedJobs.erase(failed);
    setState(titleId, TitleState::queued());
    m_pending.append(std::move(job));
    pump();
}

void InstallEngine::cancel(const QString &titleId)
{
    // Not yet queued: it never will be, and its title never changed.
    const auto requested = std::find_if(m_requests.begin(), m_requests.end(),
                                        [&](const Request &request) { return request.job.entry.id == titleId; });
    if (requested != m_requests.end()) {
        m_requests.erase(requested);
        return;
    }
    const auto queued = std::find_if(m_pending.begin(), m_pending.end(),
                                     [&](const Job &job) { return job.entry.id == titleId; });
    if (queued != m_pending.end()) {
        const TitleState back = queued->returnState();
        m_pending.erase(queued);
        setState(titleId, back);
        signalDrainedIfIdle();
        return;
    }
    if (!m_active || m_active->entry.id != titleId)
        return;
    // Taken from the queue but not yet downloading (it waits for the start's clean-up or the
    // running check): it still shows queued, and is cancelled as a queued job is.
    const auto shown = m_jobStates.value(titleId).discriminator();
    if (shown == TitleState::Case::queued)
        m_startCancelled = true;
    else if (shown == TitleState::Case::downloading && m_downloader)
        m_downloader->cancel();
}

void InstallEngine::noteRelaunchPending()
{
    if (m_relaunchPending)
        return;
    m_relaunchPending = true;
    const QList<Job> held = std::exchange(m_pending, {});
    for (const Job &job : held)
        setState(job.entry.id, job.returnState());
    signalDrainedIfIdle();
}

void InstallEngine::signalDrainedIfIdle()
{
    if (m_active || m_admitting || (!m_pending.isEmpty() && !m_relaunchPending))
        return;
    if (m_relaunchPending)
        m_relaunchHandlerFired = true;
    const QList<DrainHandler> handlers = std::exchange(m_drainHandlers, {});
    for (const DrainHandler &handler : handlers)
        handler();
}

void InstallEngine::reconcileOnRefresh(const QString &titleId, const TitleState &resting)
{
    const auto current = m_jobStates.constFind(titleId);
    if (current == m_jobStates.cend())
        return;
    switch (current->discriminator()) {
    case TitleState::Case::available:
    case TitleState::Case::installed:
    case TitleState::Case::updateAvailable:
        removeState(titleId);
        return;
    case TitleState::Case::failed:
        if (TitleState::canTransition(TitleState::Case::failed, resting.discriminator()))
            setState(titleId, resting);
        else
            removeState(titleId);
        m_failedJobs.remove(titleId);
        return;
    case TitleState::Case::requiresNewerMacOS:
    case TitleState::Case::unavailable:
    case TitleState::Case::queued:
    case TitleState::Case::downloading:
    case TitleState::Case::verifying:
    case TitleState::Case::installing:
    case TitleState::Case::running:
        return;
    }
}

QFuture<void> InstallEngine::prepare(const QString &downloads, const QString &staging)
{
    auto work = [downloads, staging, temporary = QDir::tempPath()] {
        // The notes first: they live in the staging folder about to be emptied.
        Staging::removeRecordedBesideTargets(staging);
        Staging::emptyFolder(downloads);
        Staging::emptyFolder(staging);
        DMGMounter::sweepStaleMounts(temporary);
    };
    lastPreparation() = offMain(work);
    return lastPreparation();
}

} // namespace vantry

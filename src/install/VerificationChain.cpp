// The nine steps of a job, one at a time: what each checks and how it fails.

#include <install/InstallEngine.h>

#include <install/Checkpoint.h>
#include <install/Staging.h>

#include <catalog/Ed25519Verifier.h>
#include <catalog/HighWaterStore.h>
#include <copies/AdoptionModel.h>
#include <copies/AdoptionService.h>
#include <core/DefaultsKeys.h>
#include <core/OffMain.h>
#include <platform/CodesignVerifier.h>
#include <platform/FileSystem.h>
#include <platform/Workspace.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace vantry {

namespace {

using Outcome = Expected<void, JobError>;

Outcome refuse(VerificationStep step, QString detail) { return unexpected(JobError(StepFailure{step, std::move(detail)})); }

QString describe(const DMGMounter::Failure &failure)
{
    if (const auto *error = std::get_if<SystemError>(&failure))
        return error->describe();
    const auto &error = std::get<DMGMounter::MountError>(failure);
    using Kind = DMGMounter::MountError::Kind;
    switch (error.kind) {
    case Kind::attachFailed:
        return error.text;
    case Kind::unexpectedAppCount:
        return QStringLiteral("the disk image holds %1 apps at its top, not one").arg(error.count);
    case Kind::plistUnreadable:
        return QStringLiteral("hdiutil's answer is not a property list");
    case Kind::noMountPoint:
        return QStringLiteral("hdiutil reported no mount point");
    }
    Q_UNREACHABLE();
}

// The installed copy is as it was when the job was requested: the same build and the same
// modification time, or absent then and now.
bool unchangedSinceStart(const InstallEngine::Job &job, const std::optional<InstalledSnapshot> &now)
{
    const std::optional<std::int64_t> version = now ? std::optional(now->observation.version) : std::nullopt;
    const std::optional<QDateTime> mtime = now ? now->mtime : std::nullopt;
    return version == job.installedVersionAtStart && mtime == job.installedMtimeAtStart;
}

struct FinalChecks {
    bool running = false;
    std::optional<InstalledSnapshot> snapshot;
    std::optional<QString> otherGame; // the identifier of another game at the destination
};

} // namespace

QCoro::Task<Outcome> InstallEngine::execute(VerificationStep step, StepContext &context, Alive alive)
{
    const Job &job = context.job;
    const InstallPlan &plan = job.plan;
    switch (step) {
    case VerificationStep::length: {
        auto measure = [dmg = context.dmg]() -> Expected<qint64, SystemError> {
            struct stat status {};
            if (::stat(QFile::encodeName(dmg).constData(), &status) != 0)
                return unexpected(SystemError::fromErrno(QStringLiteral("stat"), dmg));
            return qint64(status.st_size);
        };
        const auto size = co_await offMain(measure);
        if (!size)
            co_return unexpected(JobError(UnexpectedFailure{size.error().describe()}));
        if (*size != plan.expectedLength)
            co_return refuse(step, QStringLiteral("%1 bytes, expected %2").arg(*size).arg(plan.expectedLength));
        co_return Outcome{};
    }
    case VerificationStep::edSignature: {
        auto verify = [dmg = context.dmg, signature = plan.expectedSignature] {
            return Ed25519Verifier::verifyFile(dmg, signature, QString::fromLatin1(BuildConfig::releasePublicKey)).has_value();
        };
        if (!co_await offMain(verify))
            co_return refuse(step, QStringLiteral("Ed25519 signature mismatch over the whole DMG"));
        co_return Outcome{};
    }
    case VerificationStep::mount: {
        auto attach = [dmg = context.dmg, hdiutil = m_tools.hdiutil] {
            return DMGMounter::attach(dmg, QDir::tempPath(), hdiutil);
        };
        auto mounted = co_await offMain(attach);
        if (!mounted)
            co_return unexpected(JobError(UnexpectedFailure{describe(mounted.error())}));
        context.mounted = std::move(*mounted); // kept even when the engine is gone: it is detached
        InstallCheckpoint::reach("mounted");
        co_return Outcome{};
    }
    case VerificationStep::extract: {
        if (!context.mounted)
            co_return refuse(step, QStringLiteral("nothing mounted"));
        auto place = [target = job.adoptedTarget, staging = m_roots.staging, install = m_roots.install] {
            return Staging::choosePlacement(target, staging, install);
        };
        const auto placement = co_await offMain(place);
        if (!placement)
            co_return unexpected(JobError(placement.error()));
        if (!*alive)
            co_return refuse(step, QStringLiteral("the install engine is gone"));
        // In use from now on, so that a copy that fails half-way is removed too.
        m_stagingInUse = placement->directory;
        InstallCheckpoint::reach("placed");
        auto copy = [app = context.mounted->appPath, placement = *placement, staging = m_roots.staging,
                     ditto = m_tools.ditto]() -> Expected<QString, JobError> {
            if (placement.kind == StagingPlacement::Kind::besideTarget) {
                if (auto noted = Staging::recordBesideTarget(staging, placement.directory); !noted)
                    return unexpected(JobError(UnexpectedFailure{noted.error().describe()}));
                InstallCheckpoint::reach("recorded");
            }
            return Staging::copyOut(app, placement.directory, ditto);
        };
        auto staged = co_await offMain(copy);
        if (!staged)
            co_return unexpected(staged.error());
        context.staged = *staged;
        InstallCheckpoint::reach("staged");
        co_return Outcome{};
    }
    case VerificationStep::codesign: {
        auto check = [staged = context.staged.value_or(QString())] { return CodesignVerifier::signatureValid(staged); };
        if (!context.staged || !co_await offMain(check))
            co_return refuse(step, QStringLiteral("CodeSignature::validate refused the staged bundle"));
        co_return Outcome{};
    }
    case VerificationStep::notarization: {
        auto assess = [staged = context.staged.value_or(QString()), spctl = m_tools.spctl] {
            return CodesignVerifier::isNotarized(staged, spctl);
        };
        if (!context.staged || !co_await offMain(assess))
            co_return refuse(step, QStringLiteral("spctl --assess --type exec did not exit 0"));
        co_return Outcome{};
    }
    case VerificationStep::identityBinding: {
        if (!context.staged)
            co_return refuse(step, QStringLiteral("no staged bundle"));
        auto read = [staged = *context.staged] { return LibraryScanner::observation(staged); };
        const auto found = co_await offMain(read);
        if (!found)
            co_return refuse(step, QStringLiteral("the staged bundle's Info.plist is unreadable"));
        if (found->bundleId != plan.expectedBundleId || found->version != plan.expectedVersion
            || (plan.expectedShortVersion && found->shortVersion != *plan.expectedShortVersion))
            // Joined, not substituted: the texts come from the bundle and may hold "%1" themselves.
            co_return refuse(step, u"staged "_qs + found->bundleId + u' ' + found->shortVersion + u" ("_qs
                                       + QString::number(found->version) + u") != plan "_qs + plan.expectedBundleId
                                       + u' ' + plan.expectedShortVersion.value_or(u"(any)"_qs) + u" ("_qs
                                       + QString::number(plan.expectedVersion) + u')');
        co_return Outcome{};
    }
    case VerificationStep::antiDowngrade: {
        if (!context.staged)
            co_return refuse(step, QStringLiteral("no staged bundle"));
        auto look = [entry = job.entry, target = job.adoptedTarget, install = m_roots.install] {
            return installedSnapshot(entry, target, install);
        };
        const auto snapshot = co_await offMain(look);
        if (!*alive)
            co_return refuse(step, QStringLiteral("the install engine is gone"));
        if (!unchangedSinceStart(job, snapshot))
            co_return refuse(step, QStringLiteral("the installed bundle changed mid-job"));
        const std::int64_t mark = m_highWater.read(DefaultsKeys::titleVersionHighWater(job.entry.id));
        if ((snapshot && plan.expectedVersion < snapshot->observation.version) || plan.expectedVersion < mark)
            co_return refuse(step, QStringLiteral("feed build %1 below installed/high-water").arg(plan.expectedVersion));
        co_return Outcome{};
    }
    case VerificationStep::quarantineStrip: {
        if (!context.staged)
            co_return refuse(step, QStringLiteral("no staged bundle"));
        auto finish = finalizeInstall(*context.staged, job, m_roots.install, alive);
        co_return co_await std::move(finish);
    }
    }
    Q_UNREACHABLE();
}

QCoro::Task<Outcome> InstallEngine::finalizeInstall(const QString &staged, const Job &job, const QString &installDirectory,
                                                    Alive alive)
{
    constexpr auto step = VerificationStep::quarantineStrip;
    const QString key = DefaultsKeys::titleVersionHighWater(job.entry.id);
    const std::int64_t mark = m_highWater.read(key);
    auto ready = [staged, installDirectory, entry = job.entry, target = job.adoptedTarget, mark,
                  xattr = m_tools.xattr]() -> Outcome {
        if (auto stripped = CodesignVerifier::stripQuarantine(staged, xattr); !stripped) {
            if (stripped.error().runError)
                return unexpected(JobError(UnexpectedFailure{stripped.error().runError->text}));
            return refuse(step, QStringLiteral("xattr strip exited %1").arg(stripped.error().status));
        }
        InstallCheckpoint::reach("stripped");
        if (auto made = FileSystem::makeDirectories(installDirectory); !made)
            return unexpected(JobError(UnexpectedFailure{made.error().describe()}));
        if (target) {
            const auto facts = AdoptionService::facts(target->canonicalURL, AdoptionService::productionVerify);
            const auto verdict =
                AdoptionModel::assess(entry, facts, mark, AdoptionService::runningSystemVersion());
            if (const auto *refusal = std::get_if<AdoptionRefusal>(&verdict))
                return unexpected(JobError(AdoptedCopyChanged{*refusal}));
        }
        return {};
    };
    const Outcome readied = co_await offMain(ready);
    if (!readied)
        co_return readied;
    if (!*alive)
        co_return refuse(step, QStringLiteral("the install engine is gone"));

    const QString destination =
        job.adoptedTarget ? job.adoptedTarget->canonicalURL : installDirectory + u'/' + QFileInfo(staged).fileName();
    auto look = [entry = job.entry, target = job.adoptedTarget, installDirectory, destination] {
        // What lies at the destination goes when the swap succeeds: never another game.
        const auto plist = target ? std::nullopt : LibraryScanner::readInfoPlist(destination);
        auto occupant = plist ? plist->text(u"CFBundleIdentifier") : std::nullopt;
        return FinalChecks{!Workspace::runningApplications(entry.bundleId).isEmpty(),
                           installedSnapshot(entry, target, installDirectory),
                           occupant != entry.bundleId ? occupant : std::nullopt};
    };
    const FinalChecks seen = co_await offMain(look);
    if (!*alive)
        co_return refuse(step, QStringLiteral("the install engine is gone"));
    if (seen.running)
        co_return refuse(step, QStringLiteral("the game launched mid-job"));
    if (job.adoptedTarget && !seen.snapshot)
        co_return unexpected(JobError(AdoptedCopyChanged{AdoptionRefusal::versionUnreadable()}));
    if (!unchangedSinceStart(job, seen.snapshot))
        co_return refuse(step, QStringLiteral("the installed bundle changed mid-job"));
    if (seen.otherGame)
        co_return refuse(step, u"another game lies at the destination: "_qs + *seen.otherGame);

    InstallCheckpoint::reach("swap");
    auto swap = [staged, destination] { return Staging::performSwap(staged, destination); };
    const auto swapped = co_await offMain(swap);
    if (!swapped)
        co_return unexpected(swapped.error());
    InstallCheckpoint::reach("swapped");
    if (!*alive)
        co_return Outcome{}; // in place; the next start empties staging
    const QString staging = m_roots.staging; // read now: the engine may be gone after the next wait

    if (job.plan.expectedVersion > m_highWater.read(key)) {
        auto raise = m_highWater.raise(key, job.plan.expectedVersion);
        co_await std::move(raise);
        InstallCheckpoint::reach("raised");
    }
    if (!*swapped)
        co_return Outcome{};

    auto dispose = [old = **swapped, bundleId = job.entry.bundleId, staging] {
        // Started during the swap: the old bundle stays until the staging folders are emptied.
        if (!Workspace::runningApplications(bundleId).isEmpty())
            return false;
        Staging::removeTree(old);
        InstallCheckpoint::reach("old bundle removed");
        const QString folder = QFileInfo(old).path();
        if (folder != staging && QDir().rmdir(folder))
            Staging::forgetBesideTarget(staging, folder);
        return true;
    };
    const bool disposed = co_await offMain(dispose);
    if (!disposed)
        qCInfo(installLog, "%s launched around the swap: old bundle left for the next sweep", qUtf8Printable(job.entry.id));
    InstallCheckpoint::reach("disposed");
    co_return Outcome{};
}

} // namespace vantry

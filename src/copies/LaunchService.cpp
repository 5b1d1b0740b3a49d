#include <copies/LaunchService.h>

#include <copies/AdoptionModel.h>
#include <copies/LibraryScanner.h>

#include <core/OffMain.h>
#include <platform/CodesignVerifier.h>
#include <platform/Workspace.h>

#include <QCoroTimer>
#include <QElapsedTimer>

#include <chrono>
#include <utility>
#include <variant>

namespace vantry {

LaunchError LaunchError::adoptionRefused(AdoptionRefusal refusal)
{
    LaunchError error(Case::adoptionRefused);
    error.m_refusal = std::move(refusal);
    return error;
}

LaunchError LaunchError::workspaceFailed(QString message)
{
    LaunchError error(Case::workspaceFailed);
    error.m_message = std::move(message);
    return error;
}

namespace LaunchService {

bool productionCodesign(const QString &bundlePath) { return CodesignVerifier::signatureValid(bundlePath); }

Expected<void, LaunchError> recheck(const Catalog::Entry &entry, const InstallCopy &current, std::int64_t highWaterMark,
                                    const AdoptionService::Verify &verify, const Codesign &codesign)
{
    const QString &url = current.canonicalURL;
    const auto observed = LibraryScanner::observation(url);
    if (!observed)
        return unexpected(LaunchError::notInstalled());
    if (observed->bundleId != entry.bundleId)
        return unexpected(LaunchError::identityMismatch());
    switch (current.origin) {
    case InstallCopy::Origin::managed:
        if (!codesign(url))
            return unexpected(LaunchError::codesignRefused());
        return {};
    case InstallCopy::Origin::adopted: {
        // The facts read the property list again: the copy may have changed since the line above.
        const AdoptionVerdict verdict = AdoptionModel::assess(entry, AdoptionService::facts(url, verify), highWaterMark,
                                                              AdoptionService::runningSystemVersion());
        if (const auto *refusal = std::get_if<AdoptionRefusal>(&verdict))
            return unexpected(LaunchError::adoptionRefused(*refusal));
        return {};
    }
    }
    Q_UNREACHABLE();
}

QCoro::Task<Expected<void, LaunchError>> play(Catalog::Entry entry, InstallCopy current, std::int64_t highWaterMark,
                                              AdoptionService::Verify verify, Codesign codesign, Open open)
{
    auto check = [entry, current, highWaterMark, verify, codesign] {
        return recheck(entry, current, highWaterMark, verify, codesign);
    };
    const Expected<void, LaunchError> checked = co_await offMain(check);
    if (!checked)
        co_return unexpected(checked.error());
    open(current.canonicalURL);
    co_return {};
}

QCoro::Task<Expected<void, LaunchError>> play(Catalog::Entry entry, InstallCopy current, std::int64_t highWaterMark)
{
    // Not a coroutine itself: the operations are moved into the frame of the one above.
    return play(std::move(entry), std::move(current), highWaterMark, AdoptionService::productionVerify,
                productionCodesign, openApplication);
}

void openApplication(const QString &bundlePath)
{
    // Fire and forget: a game that did not start is seen not running at the next refresh.
    static_cast<void>(Workspace::openApplication(bundlePath));
}

QCoro::Task<bool> terminate(QString bundleId, double timeoutSeconds)
{
    if (!isRunning(bundleId))
        co_return true;
    Workspace::terminate(bundleId);
    const std::chrono::milliseconds interval(200);
    QElapsedTimer clock;
    clock.start();
    // Compared as a number: a time-out that is not one ends the wait at once, as a past deadline.
    while (double(clock.elapsed()) / 1000.0 < timeoutSeconds) {
        if (!isRunning(bundleId))
            co_return true;
        co_await QCoro::sleepFor(interval);
    }
    co_return !isRunning(bundleId);
}

bool isRunning(const QString &bundleId) { return !Workspace::runningApplications(bundleId).isEmpty(); }

} // namespace LaunchService
} // namespace vantry

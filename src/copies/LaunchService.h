#pragma once

#include <copies/AdoptionReport.h>
#include <copies/AdoptionService.h>
#include <copies/InstallCopy.h>

#include <catalog/Catalog.h>
#include <core/Expected.h>

#include <QCoroTask>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace vantry {

/// Why a game was not launched. Carries no user-facing text beyond the refusal's own clause.
class LaunchError
{
public:
    enum class Case {
        adoptionRefused,  // an adopted copy failed its re-assessment: the refusal
        workspaceFailed,  // the workspace could not open it: its message (the open reports none)
        notInstalled,     // the copy's Info.plist no longer yields an observation
        codesignRefused,  // a managed copy failed the code-signature check
        identityMismatch, // the copy's bundle identifier is no longer the entry's
    };

    [[nodiscard]] static LaunchError adoptionRefused(AdoptionRefusal refusal);
    [[nodiscard]] static LaunchError workspaceFailed(QString message);
    [[nodiscard]] static LaunchError notInstalled() { return LaunchError(Case::notInstalled); }
    [[nodiscard]] static LaunchError codesignRefused() { return LaunchError(Case::codesignRefused); }
    [[nodiscard]] static LaunchError identityMismatch() { return LaunchError(Case::identityMismatch); }

    [[nodiscard]] Case discriminator() const { return m_case; }
    /// The refusal of an `adoptionRefused` error; null for every other case.
    [[nodiscard]] const AdoptionRefusal *adoptionRefusal() const { return m_refusal ? &*m_refusal : nullptr; }
    /// The message of a `workspaceFailed` error; empty for every other case.
    [[nodiscard]] const QString &workspaceMessage() const { return m_message; }

    friend bool operator==(const LaunchError &, const LaunchError &) = default;

private:
    explicit LaunchError(Case value) : m_case(value) {}

    Case m_case;
    std::optional<AdoptionRefusal> m_refusal;
    QString m_message;
};

// Opening a title's current copy after checking it again, asking a running game to quit, and
// whether a game runs. Nothing is remembered: the workspace is asked every time.
namespace LaunchService {

using Codesign = std::function<bool(const QString &bundlePath)>;
using Open = std::function<void(const QString &bundlePath)>;

/// The Developer ID requirement check alone, as adoption makes it. Blocks.
[[nodiscard]] bool productionCodesign(const QString &bundlePath);

/// The checks before a launch, in order: the copy's observation (absent: `notInstalled`), its
/// identity against the entry's (`identityMismatch`), then for a managed copy `codesign`
/// (`codesignRefused`) and for an adopted one the full adoption assessment with `verify`, the
/// high-water mark and the running system (`adoptionRefused`). Blocks: it reads the bundle and
/// runs the checks.
[[nodiscard]] Expected<void, LaunchError> recheck(const Catalog::Entry &entry, const InstallCopy &current,
                                                  std::int64_t highWaterMark,
                                                  const AdoptionService::Verify &verify, const Codesign &codesign);

/// `recheck` on the background pool, then `open` with the copy's canonical path on the calling
/// thread. The arguments are values: they must outlive every suspension.
[[nodiscard]] QCoro::Task<Expected<void, LaunchError>> play(Catalog::Entry entry, InstallCopy current,
                                                            std::int64_t highWaterMark,
                                                            AdoptionService::Verify verify, Codesign codesign,
                                                            Open open);

/// `play` with the launcher's own checks and `openApplication`.
[[nodiscard]] QCoro::Task<Expected<void, LaunchError>> play(Catalog::Entry entry, InstallCopy current,
                                                            std::int64_t highWaterMark);

/// Starts the game at `bundlePath` with the launcher's environment plus VANTRY_MANAGED=1 and
/// returns at once. Whether it started is not reported: `isRunning` tells later.
void openApplication(const QString &bundlePath);

/// Asks every running application with `bundleId` to quit (SIGTERM, never a forced kill) and
/// looks again every 0.2 s, suspended in between, until none is left or `timeoutSeconds` have
/// passed. True when none runs at the end; true at once when none ran.
[[nodiscard]] QCoro::Task<bool> terminate(QString bundleId, double timeoutSeconds);

/// Whether at least one application with `bundleId` runs now.
[[nodiscard]] bool isRunning(const QString &bundleId);

} // namespace LaunchService
} // namespace vantry

#pragma once

#include <copies/AdoptionReport.h>

#include <catalog/Catalog.h>
#include <catalog/VersionCompare.h>

#include <QCoroTask>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

// Finding the copies of a game installed outside the managed games folder and judging each one.
// Everything here except `assessOffMain` blocks: it reads folders, property lists and signatures.
// Nothing is cached or written: every call looks again.
namespace vantry::AdoptionService {

/// What the signature checks say of one bundle.
struct Verification {
    bool signatureValid = false;
    bool notarized = false;

    friend bool operator==(const Verification &, const Verification &) = default;
};

using Verify = std::function<Verification(const QString &bundlePath)>;

/// The launcher's own checks: the Developer ID requirement and, only when it holds, the
/// notarization assessment. Run afresh on every call.
[[nodiscard]] Verification productionVerify(const QString &bundlePath);

/// The running system's version as the version rules compare it. When it cannot be read it is
/// 0.0.0, so that no floor is taken as met.
[[nodiscard]] SystemVersion runningSystemVersion();

/// The report for `entry` from the application registry, the launcher's folders, the production
/// checks and the running system, made on the background pool. Pass a named entry: GCC 12
/// destroys a braced temporary in a suspending `co_await` expression twice.
[[nodiscard]] QCoro::Task<AdoptionReport> assessOffMain(Catalog::Entry entry, std::int64_t highWaterMark);

/// The report with every input given: each distinct canonical path of `candidateURLs` once,
/// excluded or assessed, sorted by canonical path, and the preferred adoptable copy.
[[nodiscard]] AdoptionReport assess(const Catalog::Entry &entry, std::int64_t highWaterMark,
                                    const QStringList &candidateURLs, const QString &installDirectory,
                                    const QString &stagingDirectory, const Verify &verify, const SystemVersion &os);

/// Every bundle the application registry holds for `bundleId`, in its order.
[[nodiscard]] QStringList registeredURLs(const QString &bundleId);

/// What is known of the bundle at `url` (canonicalised): `verify`'s answer, its Info.plist, and
/// whether the bundle and its containing folder are writable.
[[nodiscard]] AdoptionCandidateFacts facts(const QString &url, const Verify &verify);

/// True unless the volume holding `url` is reported writable and fixed.
[[nodiscard]] bool volumeIsExcluded(const QString &url);

/// The identity of the volume holding `url`, absent when it cannot be read.
[[nodiscard]] std::optional<QString> volumeUUID(const QString &url);

} // namespace vantry::AdoptionService

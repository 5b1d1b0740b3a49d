#pragma once

#include <core/Expected.h>
#include <platform/ProcessRunner.h>

#include <QString>

// The launcher's platform checks of a game bundle before it is trusted and started. All of them
// block: call them off the main thread.
namespace vantry::CodesignVerifier {

/// How long the assessment and each quarantine run may take.
inline constexpr double toolTimeout = 600;

/// The signature check: true exactly when the bundle's code signature satisfies the Developer ID
/// requirement under the code-signing anchor built into the launcher (nested code and strict
/// validation included). Never fails otherwise.
[[nodiscard]] bool signatureValid(const QString &bundlePath);

/// The build's spctl and xattr.
[[nodiscard]] QString defaultSpctl();
[[nodiscard]] QString defaultXattr();

/// The notarization assessment: "spctl --assess --type exec PATH" exited 0. A tool that cannot
/// be run, runs too long or answers anything else gives false.
[[nodiscard]] bool isNotarized(const QString &bundlePath, const QString &spctl = defaultSpctl());

/// Why the quarantine could not be removed: the tool could not run, or its delete failed.
struct QuarantineFailure {
    std::optional<ProcessRunner::RunError> runError;
    int status = 0; // the delete's exit status, when it ran

    friend bool operator==(const QuarantineFailure &, const QuarantineFailure &) = default;
};

/// The name of the attribute the system marks downloaded files with.
inline constexpr char quarantineAttribute[] = "com.apple.quarantine";

/// Removes the quarantine attribute from the whole bundle when its top carries one; a bundle
/// without one is left untouched.
[[nodiscard]] Expected<void, QuarantineFailure> stripQuarantine(const QString &bundlePath,
                                                                const QString &xattr = defaultXattr());

} // namespace vantry::CodesignVerifier

#pragma once

#include <QString>
#include <QStringView>

#include <array>
#include <optional>

namespace vantry {

/// The nine steps every downloaded release goes through, in execution order.
enum class VerificationStep {
    length,
    edSignature,
    mount,
    extract,
    codesign,
    notarization,
    identityBinding,
    antiDowngrade,
    quarantineStrip,
};

inline constexpr std::array<VerificationStep, 9> allVerificationSteps{
    VerificationStep::length,         VerificationStep::edSignature,
    VerificationStep::mount,          VerificationStep::extract,
    VerificationStep::codesign,       VerificationStep::notarization,
    VerificationStep::identityBinding, VerificationStep::antiDowngrade,
    VerificationStep::quarantineStrip,
};

/// The case name, as written in log lines.
[[nodiscard]] QString rawValue(VerificationStep step);
[[nodiscard]] std::optional<VerificationStep> verificationStepFromRawValue(QStringView text);

/// What the user sees while the step runs.
[[nodiscard]] QString stepName(VerificationStep step);
/// What the user sees when the step fails.
[[nodiscard]] QString userMessage(VerificationStep step);

} // namespace vantry

#include <core/VerificationStep.h>

#include <QCoreApplication>

namespace vantry {

QString rawValue(VerificationStep step)
{
    switch (step) {
    case VerificationStep::length:
        return QStringLiteral("length");
    case VerificationStep::edSignature:
        return QStringLiteral("edSignature");
    case VerificationStep::mount:
        return QStringLiteral("mount");
    case VerificationStep::extract:
        return QStringLiteral("extract");
    case VerificationStep::codesign:
        return QStringLiteral("codesign");
    case VerificationStep::notarization:
        return QStringLiteral("notarization");
    case VerificationStep::identityBinding:
        return QStringLiteral("identityBinding");
    case VerificationStep::antiDowngrade:
        return QStringLiteral("antiDowngrade");
    case VerificationStep::quarantineStrip:
        return QStringLiteral("quarantineStrip");
    }
    Q_UNREACHABLE();
}

std::optional<VerificationStep> verificationStepFromRawValue(QStringView text)
{
    for (const auto step : allVerificationSteps) {
        if (rawValue(step) == text)
            return step;
    }
    return std::nullopt;
}

QString stepName(VerificationStep step)
{
    switch (step) {
    case VerificationStep::length:
        return QCoreApplication::translate("VerificationStep", "Checking the download size");
    case VerificationStep::edSignature:
        return QCoreApplication::translate("VerificationStep", "Verifying the download signature");
    case VerificationStep::mount:
        return QCoreApplication::translate("VerificationStep", "Opening the disk image");
    case VerificationStep::extract:
        return QCoreApplication::translate("VerificationStep", "Copying the game");
    case VerificationStep::codesign:
        return QCoreApplication::translate("VerificationStep", "Checking the Developer ID");
    case VerificationStep::notarization:
        return QCoreApplication::translate("VerificationStep", "Checking notarization");
    case VerificationStep::identityBinding:
        return QCoreApplication::translate("VerificationStep", "Confirming the game's identity");
    case VerificationStep::antiDowngrade:
        return QCoreApplication::translate("VerificationStep", "Checking the version");
    case VerificationStep::quarantineStrip:
        return QCoreApplication::translate("VerificationStep", "Preparing for launch");
    }
    Q_UNREACHABLE();
}

QString userMessage(VerificationStep step)
{
    switch (step) {
    case VerificationStep::length:
        return QCoreApplication::translate(
            "VerificationStep",
            "The download is incomplete \u2014 its size does not match the release record.");
    case VerificationStep::edSignature:
        return QCoreApplication::translate(
            "VerificationStep",
            "The download's signature does not match. It may have been tampered with.");
    case VerificationStep::mount:
        return QCoreApplication::translate("VerificationStep",
                                           "The downloaded disk image could not be opened.");
    case VerificationStep::extract:
        return QCoreApplication::translate("VerificationStep",
                                           "The game could not be copied out of the disk image.");
    case VerificationStep::codesign:
        return QCoreApplication::translate("VerificationStep",
                                           "The game's Developer ID signature is invalid.");
    case VerificationStep::notarization:
        return QCoreApplication::translate("VerificationStep", "The game has not been notarized.");
    case VerificationStep::identityBinding:
        return QCoreApplication::translate(
            "VerificationStep", "The download contains a different game than the one requested.");
    case VerificationStep::antiDowngrade:
        return QCoreApplication::translate(
            "VerificationStep", "This release is older than the version already installed.");
    case VerificationStep::quarantineStrip:
        return QCoreApplication::translate("VerificationStep",
                                           "The game could not be prepared for launch.");
    }
    Q_UNREACHABLE();
}

} // namespace vantry

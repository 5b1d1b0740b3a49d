#include <cli/CopyCheck.h>

#include <cli/Texts.h>

#include <core/VerificationStep.h>
#include <install/InstallEngine.h>
#include <platform/CodeSignature.h>
#include <platform/CodesignVerifier.h>

namespace vantry::Cli {

namespace {

QString signatureClause(CodeSignature::Refusal reason, const QString &item)
{
    using Refusal = CodeSignature::Refusal;
    switch (reason) {
    case Refusal::unreadableRequirement:
        return text("the requirement cannot be read");
    case Refusal::notABundle:
        return text("it is not a bundle folder");
    case Refusal::notSigned:
        return text("it is not signed");
    case Refusal::malformedSignature:
        return text("its signature is malformed");
    case Refusal::certificateNotFromAnchor:
        return text("its certificate is not from the trusted anchor");
    case Refusal::wrongTeam:
        return text("it is signed by another team");
    case Refusal::manifestSignatureMismatch:
        return text("its signed list of files does not verify");
    case Refusal::linkOutsideBundle:
        return text("%1 points outside the bundle").arg(item);
    case Refusal::fileAdded:
        return text("%1 was added").arg(item);
    case Refusal::fileMissing:
        return text("%1 is missing").arg(item);
    case Refusal::fileModified:
        return text("%1 was modified").arg(item);
    case Refusal::unreadableItem:
        return text("%1 cannot be read").arg(item);
    case Refusal::identifierMismatch:
        return text("its Info.plist names another identifier");
    case Refusal::nestedCodeInvalid:
        return text("nested code is invalid");
    }
    Q_UNREACHABLE();
}

} // namespace

CopyCheck CopyCheck::of(const QString &path)
{
    // The check CodesignVerifier::signatureValid makes, called directly once for its reason too.
    const auto validated = CodeSignature::validate(path, CodeSignature::developerIdRequirement());
    CopyCheck check {path, validated.has_value(),
                     CodesignVerifier::isNotarized(path, InstallTools::standard().spctl),
                     std::nullopt};
    if (!validated) {
        const CodeSignature::SignatureFailure &failure = validated.error();
        const QString clause = failure.nestedReason
            ? signatureClause(*failure.nestedReason, failure.item) + text(", in nested code")
            : signatureClause(failure.reason, failure.item);
        check.problem =
            userMessage(VerificationStep::codesign).chopped(1) + u": "_qs + clause + u'.';
    } else if (!check.notarized) {
        check.problem = userMessage(VerificationStep::notarization);
    }
    return check;
}

} // namespace vantry::Cli

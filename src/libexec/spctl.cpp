// Vantry's spctl: the execution assessment of a bundle, with the system tool's command line.
//
//     spctl --assess --type exec PATH
//
// Exit 0 when the bundle's code signature satisfies the Developer ID requirement under the anchor
// built into this build and a ticket from the built-in notary is stapled to it; 3 and
// "PATH: rejected" with the reason on standard error otherwise; 2 for any other command line.
#include <platform/CodeSignature.h>

#include <QFile>

#include <cstdio>
#include <cstring>

using namespace vantry;

namespace {

const char *describe(CodeSignature::Refusal reason)
{
    using CodeSignature::Refusal;
    switch (reason) {
    case Refusal::unreadableRequirement:
        return "the code requirement cannot be read";
    case Refusal::notABundle:
        return "not a bundle folder";
    case Refusal::notSigned:
        return "no usable signature: code object is not signed at all";
    case Refusal::malformedSignature:
        return "the code signature is malformed";
    case Refusal::certificateNotFromAnchor:
        return "the signing certificate is not from the trusted anchor";
    case Refusal::wrongTeam:
        return "the signing certificate belongs to another team";
    case Refusal::manifestSignatureMismatch:
        return "the manifest's signature does not verify";
    case Refusal::linkOutsideBundle:
        return "a symbolic link points outside the bundle";
    case Refusal::fileAdded:
        return "a sealed resource was added";
    case Refusal::fileMissing:
        return "a sealed resource is missing";
    case Refusal::fileModified:
        return "a sealed resource was modified";
    case Refusal::unreadableItem:
        return "an item of the bundle cannot be read";
    case Refusal::identifierMismatch:
        return "the bundle identifier does not match the signature";
    case Refusal::nestedCodeInvalid:
        return "nested code is not validly signed";
    }
    return "unknown";
}

const char *describe(CodeSignature::NotarizationRefusal reason)
{
    using CodeSignature::NotarizationRefusal;
    switch (reason) {
    case NotarizationRefusal::signatureInvalid:
        return "code signature invalid";
    case NotarizationRefusal::noTicket:
        return "Unnotarized Developer ID";
    case NotarizationRefusal::malformedTicket:
        return "the stapled notarization ticket is malformed";
    case NotarizationRefusal::ticketNotFromNotary:
        return "the stapled notarization ticket is not from the notary";
    case NotarizationRefusal::ticketForOtherCode:
        return "the stapled notarization ticket is for other code";
    }
    return "unknown";
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 5 || std::strcmp(argv[1], "--assess") != 0 || std::strcmp(argv[2], "--type") != 0 ||
        std::strcmp(argv[3], "exec") != 0) {
        std::fputs("usage: spctl --assess --type exec PATH\n", stderr);
        return 2;
    }
    const char *path = argv[4];
    const auto assessed = CodeSignature::assessNotarization(QFile::decodeName(path));
    if (assessed)
        return 0;
    const auto &failure = assessed.error();
    std::fprintf(stderr, "%s: rejected\n", path);
    if (failure.signature) {
        const auto &signature = *failure.signature;
        std::fprintf(stderr, "source=%s: %s", describe(failure.reason), describe(signature.reason));
        if (signature.nestedReason)
            std::fprintf(stderr, " (%s)", describe(*signature.nestedReason));
        if (!signature.item.isEmpty())
            std::fprintf(stderr, ": %s", QFile::encodeName(signature.item).constData());
        std::fputc('\n', stderr);
    } else {
        std::fprintf(stderr, "source=%s\n", describe(failure.reason));
    }
    return 3;
}

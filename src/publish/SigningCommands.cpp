#include <publish/Arguments.h>
#include <publish/Commands.h>
#include <publish/PublishTool.h>

#include <platform/CodeSignature.h>
#include <platform/Crypto.h>
#include <platform/FileSystem.h>
#include <signing/CodeSigning.h>

#include <QFileInfo>

#include <nlohmann/json.hpp>

#include <cstring>

namespace vantry::Publish {

namespace {

using Json = nlohmann::ordered_json;
using CodeSignature::SigningError;
using CodeSignature::SigningFailure;

// Whether a signing failure is the input failing a rule (1) or the tool not getting at its input
// or output (2).
int statusOf(SigningError error)
{
    switch (error) {
    case SigningError::keyDoesNotMatchCertificate:
    case SigningError::missingBundleIdentifier:
    case SigningError::unsupportedItem:
    case SigningError::linkOutsideBundle:
    case SigningError::signatureInvalid:
        return refused;
    case SigningError::malformedPrivateKey:
    case SigningError::malformedPublicKey:
    case SigningError::malformedCertificate:
    case SigningError::invalidTeam:
    case SigningError::invalidDeveloperName:
    case SigningError::notABundle:
    case SigningError::unreadableItem:
    case SigningError::writeFailed:
        return usageError;
    }
    Q_UNREACHABLE();
}

QString describe(const SigningFailure &failure)
{
    QString text;
    switch (failure.error) {
    case SigningError::malformedPrivateKey:
        text = QStringLiteral("the key is not an Ed25519 private key");
        break;
    case SigningError::malformedPublicKey:
        text = QStringLiteral("the public key is not 32 bytes");
        break;
    case SigningError::malformedCertificate:
        text = QStringLiteral("the certificate is malformed");
        break;
    case SigningError::invalidTeam:
        text = QStringLiteral("a team identifier is ten upper-case letters and digits");
        break;
    case SigningError::invalidDeveloperName:
        text = QStringLiteral("a developer name is 1 to 128 characters, no control characters, "
                              "no space at either end");
        break;
    case SigningError::keyDoesNotMatchCertificate:
        text = QStringLiteral("the key is not the one the certificate carries");
        break;
    case SigningError::notABundle:
        text = QStringLiteral("not a bundle folder");
        break;
    case SigningError::missingBundleIdentifier:
        text = QStringLiteral("no Info.plist with a valid CFBundleIdentifier");
        break;
    case SigningError::unsupportedItem:
        text = QStringLiteral("an item that is neither file, folder nor symbolic link");
        break;
    case SigningError::linkOutsideBundle:
        text = QStringLiteral("a symbolic link points outside the bundle");
        break;
    case SigningError::unreadableItem:
        text = QStringLiteral("an item cannot be read");
        break;
    case SigningError::writeFailed:
        text = QStringLiteral("the signature cannot be written");
        break;
    case SigningError::signatureInvalid:
        text = QStringLiteral("the bundle's code signature does not validate (%1)")
                   .arg(QLatin1String(CodeSignature::identifier(
                       failure.signature ? failure.signature->reason
                                         : CodeSignature::Refusal::notSigned)));
        if (failure.signature && !failure.signature->item.isEmpty())
            text += QStringLiteral(": ") + failure.signature->item;
        return text;
    }
    if (!failure.item.isEmpty())
        text += QStringLiteral(": ") + failure.item;
    if (failure.systemCode != 0)
        text +=
            QStringLiteral(" (") + QString::fromLocal8Bit(std::strerror(failure.systemCode)) + u')';
    return text;
}

// The Base64 text of a public key as keygen writes it, with or without its newline.
std::optional<QByteArray> readPublicKey(const QString &path)
{
    auto text = FileSystem::readFile(path);
    if (!text)
        return std::nullopt;
    if (text->endsWith('\n'))
        text->chop(1);
    auto key = Crypto::decodeBase64Strict(QString::fromLatin1(*text));
    if (!key || key->size() != Crypto::ed25519PublicKeySize)
        return std::nullopt;
    return key;
}

bool isBundleFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
}

} // namespace

int certify(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    const QString usage = QStringLiteral("usage: certify --anchor-key ANCHOR.key --team TEAM "
                                         "--developer NAME --developer-key DEV.pub --out CERT");
    const QSet<QString> options {QStringLiteral("--anchor-key"), QStringLiteral("--team"),
                                 QStringLiteral("--developer"), QStringLiteral("--developer-key"),
                                 QStringLiteral("--out")};
    QString error;
    const auto parsed = Arguments::parse(arguments, options, {}, error);
    if (!parsed || !parsed->positional.isEmpty() || parsed->values.size() != options.size()) {
        err << "vantry-publish certify: " << (error.isEmpty() ? usage : error) << '\n';
        return usageError;
    }
    const auto anchorKey = FileSystem::readFile(*parsed->value(QStringLiteral("--anchor-key")));
    if (!anchorKey) {
        err << "vantry-publish certify: " << anchorKey.error().describe() << '\n';
        return usageError;
    }
    const QString developerKeyPath = *parsed->value(QStringLiteral("--developer-key"));
    const auto developerKey = readPublicKey(developerKeyPath);
    if (!developerKey) {
        err << "vantry-publish certify: " << developerKeyPath
            << " is not the Base64 text of a 32-byte Ed25519 public key\n";
        return usageError;
    }
    const auto certificate = CodeSignature::makeCertificate(
        *anchorKey, *parsed->value(QStringLiteral("--team")),
        *parsed->value(QStringLiteral("--developer")), *developerKey);
    if (!certificate) {
        err << "vantry-publish certify: " << describe(certificate.error()) << '\n';
        return usageError;
    }
    const QString outPath = *parsed->value(QStringLiteral("--out"));
    if (auto written = FileSystem::writeFileAtomically(outPath, certificate->bytes()); !written) {
        err << "vantry-publish certify: " << written.error().describe() << '\n';
        return usageError;
    }
    out << "wrote " << outPath << ": team " << certificate->team << ", developer "
        << certificate->developer << '\n';
    return success;
}

int codesign(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QString error;
    const auto parsed = Arguments::parse(
        arguments, {QStringLiteral("--key"), QStringLiteral("--certificate")}, {}, error);
    if (!parsed || parsed->positional.size() != 1 || parsed->values.size() != 2) {
        err << "vantry-publish codesign: "
            << (error.isEmpty()
                    ? QStringLiteral("usage: codesign BUNDLE --key DEV.key --certificate CERT")
                    : error)
            << '\n';
        return usageError;
    }
    const QString bundle = parsed->positional.first();
    if (!isBundleFolder(bundle)) {
        err << "vantry-publish codesign: " << bundle << " is not a bundle folder\n";
        return usageError;
    }
    const auto key = FileSystem::readFile(*parsed->value(QStringLiteral("--key")));
    const auto certificateBytes =
        FileSystem::readFile(*parsed->value(QStringLiteral("--certificate")));
    for (const auto *read : {&key, &certificateBytes}) {
        if (!*read) {
            err << "vantry-publish codesign: " << read->error().describe() << '\n';
            return usageError;
        }
    }
    const auto certificate = CodeSignature::Certificate::parse(*certificateBytes);
    if (!certificate) {
        err << "vantry-publish codesign: " << *parsed->value(QStringLiteral("--certificate"))
            << " is not a developer certificate\n";
        return usageError;
    }
    if (auto signedBundle = CodeSignature::signBundle(bundle, *key, *certificate); !signedBundle) {
        err << "vantry-publish codesign: " << describe(signedBundle.error()) << '\n';
        return statusOf(signedBundle.error().error);
    }
    out << "signed " << bundle << " for team " << certificate->team << " ("
        << certificate->developer << ")\n";
    return success;
}

int notarize(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QString error;
    const auto parsed = Arguments::parse(arguments, {QStringLiteral("--key")}, {}, error);
    if (!parsed || parsed->positional.size() != 1 || !parsed->value(QStringLiteral("--key"))) {
        err << "vantry-publish notarize: "
            << (error.isEmpty() ? QStringLiteral("usage: notarize BUNDLE --key NOTARY.key") : error)
            << '\n';
        return usageError;
    }
    const QString bundle = parsed->positional.first();
    if (!isBundleFolder(bundle)) {
        err << "vantry-publish notarize: " << bundle << " is not a bundle folder\n";
        return usageError;
    }
    const auto key = FileSystem::readFile(*parsed->value(QStringLiteral("--key")));
    if (!key) {
        err << "vantry-publish notarize: " << key.error().describe() << '\n';
        return usageError;
    }
    if (auto stapled = CodeSignature::notarize(bundle, *key); !stapled) {
        err << "vantry-publish notarize: " << describe(stapled.error()) << '\n';
        return statusOf(stapled.error().error);
    }
    out << "stapled a notarization ticket to " << bundle << '\n';
    return success;
}

int verifyBundle(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QString error;
    const auto parsed = Arguments::parse(arguments, {}, {QStringLiteral("--json")}, error);
    if (!parsed || parsed->positional.size() != 1) {
        err << "vantry-publish verify-bundle: "
            << (error.isEmpty() ? QStringLiteral("usage: verify-bundle BUNDLE [--json]") : error)
            << '\n';
        return usageError;
    }
    const QString bundle = parsed->positional.first();
    if (!isBundleFolder(bundle)) {
        err << "vantry-publish verify-bundle: " << bundle << " is not a bundle folder\n";
        return usageError;
    }
    // The launcher's two checks: CodesignVerifier's signature check (the same call, which also
    // gives the reason) and the assessment spctl makes.
    const auto signature = CodeSignature::validate(bundle, CodeSignature::developerIdRequirement());
    const auto notarization = CodeSignature::assessNotarization(bundle);
    const bool signatureValid = signature.has_value();

    const auto name = [](const char *text) { return text ? Json(text) : Json(nullptr); };
    const char *signatureRefusal =
        signature ? nullptr : CodeSignature::identifier(signature.error().reason);
    const char *nestedRefusal = !signature && signature.error().nestedReason
                                    ? CodeSignature::identifier(*signature.error().nestedReason)
                                    : nullptr;
    const char *notarizationRefusal =
        notarization ? nullptr : CodeSignature::identifier(notarization.error().reason);
    const QString item = signature ? QString() : signature.error().item;

    if (parsed->flags.contains(QStringLiteral("--json"))) {
        const Json report {
            {"signatureValid", signatureValid},
            {"notarized", notarization.has_value()},
            {"signatureRefusal", name(signatureRefusal)},
            {"nestedRefusal", name(nestedRefusal)},
            {"refusedItem", item.isEmpty() ? Json(nullptr) : Json(item.toStdString())},
            {"notarizationRefusal", name(notarizationRefusal)},
        };
        out << QString::fromStdString(report.dump(2, ' ', false, Json::error_handler_t::replace))
            << '\n';
    } else {
        out << "code signature: " << (signatureValid ? "valid" : "refused");
        if (signatureRefusal) {
            out << " (" << signatureRefusal;
            if (nestedRefusal)
                out << ", nested: " << nestedRefusal;
            out << ')';
            if (!item.isEmpty())
                out << ": " << item;
        }
        out << "\nnotarization:   " << (notarization ? "accepted" : "refused");
        if (notarizationRefusal)
            out << " (" << notarizationRefusal << ')';
        out << '\n';
    }
    return signatureValid && notarization ? success : refused;
}

} // namespace vantry::Publish

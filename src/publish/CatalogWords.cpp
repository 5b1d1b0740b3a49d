#include <publish/CatalogWords.h>

#include <signing/PrivateKeys.h>

namespace vantry::Publish {

using VerificationError = Ed25519Verifier::VerificationError;

QString describe(VerificationError error)
{
    switch (error) {
    case VerificationError::malformedPublicKey:
        return QStringLiteral("the public key is not the Base64 text of a 32-byte Ed25519 key");
    case VerificationError::malformedSignature:
        return QStringLiteral(
            "the signature is not the Base64 text of a 64-byte Ed25519 signature");
    case VerificationError::signatureMismatch:
        return QStringLiteral("the signature does not match the catalog's bytes under this key");
    }
    Q_UNREACHABLE();
}

QString describe(const Catalog::DecodeError &error)
{
    switch (error.kind) {
    case Catalog::DecodeError::Kind::unsupportedSchemaVersion:
        return QStringLiteral("schemaVersion %1 is not supported (only 1 is)").arg(error.version);
    case Catalog::DecodeError::Kind::missingField:
        return QStringLiteral("\"%1\" is missing or of the wrong type or range").arg(error.field);
    case Catalog::DecodeError::Kind::replay:
        return QStringLiteral(
                   "catalogVersion %1 is below the high-water mark %2 (a replayed catalog)")
            .arg(error.found)
            .arg(error.highWaterMark);
    case Catalog::DecodeError::Kind::notJSONObject:
        return QStringLiteral("the top level is not a JSON object");
    case Catalog::DecodeError::Kind::invalidJSON:
        return QStringLiteral("not valid JSON: %1").arg(error.readerMessage);
    }
    Q_UNREACHABLE();
}

Expected<VerifiedCatalogData, VerificationError> verifyDraft(const QByteArray &bytes)
{
    const auto pair = Crypto::generateEd25519KeyPair();
    if (!pair)
        return unexpected(VerificationError::signatureMismatch);
    const auto signature = Crypto::ed25519Sign(pair->privateKeyPem, bytes);
    if (!signature)
        return unexpected(VerificationError::signatureMismatch);
    return Ed25519Verifier::verify(bytes, QString::fromLatin1(signature->toBase64()),
                                   QString::fromLatin1(pair->publicKey.toBase64()));
}

} // namespace vantry::Publish

#include <catalog/Ed25519Verifier.h>

#include <platform/Crypto.h>
#include <platform/MappedFile.h>

namespace vantry {

namespace Ed25519Verifier {

Expected<VerifiedCatalogData, VerificationError> verify(QByteArray bytes, QStringView signatureBase64,
                                                        QStringView publicKeyBase64)
{
    const auto publicKey = Crypto::decodeBase64Strict(publicKeyBase64);
    if (!publicKey || publicKey->size() != Crypto::ed25519PublicKeySize)
        return unexpected(VerificationError::malformedPublicKey);

    const auto signature = Crypto::decodeBase64Strict(signatureBase64.trimmed());
    if (!signature || signature->size() != Crypto::ed25519SignatureSize)
        return unexpected(VerificationError::malformedSignature);

    switch (Crypto::ed25519Verify(*publicKey, *signature, bytes)) {
    case Crypto::Ed25519Check::valid:
        return VerifiedCatalogData(std::move(bytes));
    case Crypto::Ed25519Check::malformedPublicKey:
        return unexpected(VerificationError::malformedPublicKey);
    case Crypto::Ed25519Check::mismatch:
        return unexpected(VerificationError::signatureMismatch);
    }
    Q_UNREACHABLE();
}

Expected<void, std::variant<VerificationError, SystemError>> verifyFile(const QString &path, QStringView signatureBase64,
                                                                        QStringView publicKeyBase64)
{
    using Failure = std::variant<VerificationError, SystemError>;
    const auto publicKey = Crypto::decodeBase64Strict(publicKeyBase64);
    if (!publicKey || publicKey->size() != Crypto::ed25519PublicKeySize)
        return unexpected(Failure(VerificationError::malformedPublicKey));
    const auto signature = Crypto::decodeBase64Strict(signatureBase64.trimmed());
    if (!signature || signature->size() != Crypto::ed25519SignatureSize)
        return unexpected(Failure(VerificationError::malformedSignature));
    const auto mapped = MappedFile::open(path);
    if (!mapped)
        return unexpected(Failure(mapped.error()));
    switch (Crypto::ed25519Verify(*publicKey, *signature, mapped->bytes())) {
    case Crypto::Ed25519Check::valid:
        return {};
    case Crypto::Ed25519Check::malformedPublicKey:
        return unexpected(Failure(VerificationError::malformedPublicKey));
    case Crypto::Ed25519Check::mismatch:
        return unexpected(Failure(VerificationError::signatureMismatch));
    }
    Q_UNREACHABLE();
}

} // namespace Ed25519Verifier

QString sha256Hex(QByteArrayView bytes)
{
    return QString::fromLatin1(Crypto::sha256Digest(bytes).toHex());
}

} // namespace vantry

#include <catalog/Ed25519Verifier.h>

#include <platform/Crypto.h>

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

} // namespace Ed25519Verifier

QString sha256(QByteArrayView bytes)
{
    return QString::fromLatin1(Crypto::sha256(bytes).toHex());
}

} // namespace vantry

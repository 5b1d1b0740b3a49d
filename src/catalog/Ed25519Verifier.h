#pragma once

#include <core/Expected.h>
#include <platform/SystemError.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <variant>

namespace vantry {

class VerifiedCatalogData;

namespace Ed25519Verifier {

enum class VerificationError {
    malformedPublicKey,
    malformedSignature,
    signatureMismatch,
};

/// Checks a detached Ed25519 signature over all of `bytes`.
///
/// The key must be strict Base64 of 32 bytes; the signature Base64 of 64 bytes, white space
/// allowed only around it. The only way to make VerifiedCatalogData.
[[nodiscard]] Expected<VerifiedCatalogData, VerificationError>
verify(QByteArray bytes, QStringView signatureBase64, QStringView publicKeyBase64);

/// The same check over every byte of the file at `path` (a regular file, never a link), read
/// through a read-only mapping rather than into the heap, so that a release image of several
/// gigabytes costs no memory of its own. A file that cannot be read is a SystemError. Blocks.
[[nodiscard]] Expected<void, std::variant<VerificationError, SystemError>>
verifyFile(const QString &path, QStringView signatureBase64, QStringView publicKeyBase64);

} // namespace Ed25519Verifier

/// Bytes that passed Ed25519Verifier::verify, exactly as they were signed. Catalog::decode
/// accepts nothing else, so unverified bytes cannot be decoded.
class VerifiedCatalogData
{
public:
    [[nodiscard]] const QByteArray &bytes() const { return m_bytes; }

private:
    explicit VerifiedCatalogData(QByteArray bytes) : m_bytes(std::move(bytes)) {}
    friend Expected<VerifiedCatalogData, Ed25519Verifier::VerificationError>
    Ed25519Verifier::verify(QByteArray, QStringView, QStringView);

    QByteArray m_bytes;
};

/// SHA-256 of the bytes as 64 lower-case hexadecimal characters.
[[nodiscard]] QString sha256Hex(QByteArrayView bytes);

} // namespace vantry

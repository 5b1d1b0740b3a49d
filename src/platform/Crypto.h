#pragma once

#include <core/Expected.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>

namespace vantry::Crypto {

// Ed25519 (pure, no pre-hashing) and SHA-256 on OpenSSL.

inline constexpr qsizetype ed25519PublicKeySize = 32;
inline constexpr qsizetype ed25519SignatureSize = 64;

enum class CryptoError {
    malformedPrivateKey,
    malformedPublicKey,
    failed, // the library refused an operation on well-formed input
};

struct Ed25519KeyPair {
    QByteArray privateKeyPem; // PKCS #8, PEM
    QByteArray publicKey;     // the 32 raw bytes
};

[[nodiscard]] Expected<Ed25519KeyPair, CryptoError> generateEd25519KeyPair();

/// The 32 raw public-key bytes of a PEM private key.
[[nodiscard]] Expected<QByteArray, CryptoError> ed25519PublicKey(QByteArrayView privateKeyPem);

/// The 64-byte signature of `message` under a PEM private key.
[[nodiscard]] Expected<QByteArray, CryptoError> ed25519Sign(QByteArrayView privateKeyPem, QByteArrayView message);

enum class Ed25519Check { valid, malformedPublicKey, mismatch };

/// Checks a 64-byte signature over `message` with a 32-byte public key. Any other size of key is
/// malformed; a signature of another size never verifies.
[[nodiscard]] Ed25519Check ed25519Verify(QByteArrayView publicKey, QByteArrayView signature,
                                         QByteArrayView message);

/// The 32-byte SHA-256 digest.
[[nodiscard]] QByteArray sha256(QByteArrayView bytes);

/// Standard Base64 with padding and nothing else: no white space, no line breaks, no URL
/// alphabet, no missing or misplaced padding.
[[nodiscard]] std::optional<QByteArray> decodeBase64Strict(QStringView text);

} // namespace vantry::Crypto

#pragma once

#include <core/Expected.h>

#include <QByteArray>
#include <QByteArrayView>

// The private half of Ed25519 (platform/Crypto.h holds the public half): key generation and
// signing, for the maker's tool and the test fixtures. Nothing the launcher links reaches it.
namespace vantry::Crypto {

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
[[nodiscard]] Expected<QByteArray, CryptoError> ed25519Sign(QByteArrayView privateKeyPem,
                                                            QByteArrayView message);

} // namespace vantry::Crypto

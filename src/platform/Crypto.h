#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>

namespace vantry::Crypto {

// Ed25519 (pure, no pre-hashing) and SHA-256 on OpenSSL: the public half only. Generating keys
// and signing is the maker's (signing/PrivateKeys.h).

inline constexpr qsizetype ed25519PublicKeySize = 32;
inline constexpr qsizetype ed25519SignatureSize = 64;

enum class Ed25519Check { valid, malformedPublicKey, mismatch };

/// Checks a 64-byte signature over `message` with a 32-byte public key. Any other size of key is
/// malformed; a signature of another size never verifies.
[[nodiscard]] Ed25519Check ed25519Verify(QByteArrayView publicKey, QByteArrayView signature,
                                         QByteArrayView message);

/// The 32-byte SHA-256 digest.
[[nodiscard]] QByteArray sha256Digest(QByteArrayView bytes);

/// Keeps OpenSSL's state until the process ends, for a program that returns from main while
/// threads it does not own (Qt's network thread) are still ending: OpenSSL's own clean-up at exit
/// would run before they hand back their records, and those would be lost. Call first in main.
void keepLibraryUntilExit();

/// Standard Base64 with padding and nothing else: no white space, no line breaks, no URL
/// alphabet, no missing or misplaced padding.
[[nodiscard]] std::optional<QByteArray> decodeBase64Strict(QStringView text);

} // namespace vantry::Crypto

#pragma once

#include <core/Expected.h>
#include <platform/CodeSignature.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// The maker's side of the Vantry code signature, for vantry-publish and the test fixtures only:
// the launcher links verification alone (platform/CodeSignature.h) and holds no private key.
namespace vantry::CodeSignature {

enum class SigningError {
    malformedPrivateKey,
    malformedPublicKey,
    malformedCertificate,
    invalidTeam,
    invalidDeveloperName,
    keyDoesNotMatchCertificate,
    notABundle,
    missingBundleIdentifier, // no Info.plist with a valid CFBundleIdentifier
    unsupportedItem, // neither file, folder nor symbolic link; or a stray item among the signature
                     // files
    linkOutsideBundle,
    unreadableItem,
    writeFailed,
    signatureInvalid, // notarizing a bundle whose signature does not validate
};

struct SigningFailure {
    SigningError error = SigningError::writeFailed;
    QString item;                              // the path concerned, when there is one
    int systemCode = 0;                        // errno, when the host refused
    std::optional<SignatureFailure> signature; // for signatureInvalid
};

/// A certificate for `team` and `developer` carrying `developerPublicKey` (32 bytes), signed with
/// the anchor's PEM private key.
[[nodiscard]] Expected<Certificate, SigningFailure>
makeCertificate(QByteArrayView anchorPrivateKeyPem, const QString &team, const QString &developer,
                QByteArrayView developerPublicKey);

/// The manifest the bundle at `bundlePath` would be signed with, as it stands on disk.
[[nodiscard]] Expected<Manifest, SigningFailure> scanBundle(const QString &bundlePath,
                                                            const QString &team);

/// Writes `manifest` as the bundle's signature with the developer's PEM private key and
/// `certificate`, replacing any signature and ticket there. Checks nothing about the bundle: the
/// low-level step of signBundle.
[[nodiscard]] Expected<void, SigningFailure> writeSignature(const QString &bundlePath,
                                                            const Manifest &manifest,
                                                            QByteArrayView developerPrivateKeyPem,
                                                            const Certificate &certificate);

enum class NestedCode { sign, keepAsIs };

/// Signs the bundle: each nested bundle first, innermost first (unless `nested` is keepAsIs), then
/// the bundle itself. Refuses a key that is not the certificate's, and a bundle with a link that
/// leaves it, an item of another kind or no bundle identifier.
[[nodiscard]] Expected<void, SigningFailure> signBundle(const QString &bundlePath,
                                                        QByteArrayView developerPrivateKeyPem,
                                                        const Certificate &certificate,
                                                        NestedCode nested = NestedCode::sign);

/// The ticket the notary's PEM private key gives the signed bundle, without any check.
[[nodiscard]] Expected<NotarizationTicket, SigningFailure>
makeTicket(const QString &bundlePath, QByteArrayView notaryPrivateKeyPem);

/// Writes `ticket` into the bundle's signature folder.
[[nodiscard]] Expected<void, SigningFailure> stapleTicket(const QString &bundlePath,
                                                          const NotarizationTicket &ticket);

/// The notary's work: validates the bundle's signature for the team its certificate names, under
/// `anchorKey`, then staples a ticket signed with the notary's PEM private key.
[[nodiscard]] Expected<void, SigningFailure>
notarize(const QString &bundlePath, QByteArrayView notaryPrivateKeyPem,
         QByteArrayView anchorKey = builtInAnchorKey());

} // namespace vantry::CodeSignature

#pragma once

#include <vantry/BuildConfig.h>

#include <core/Expected.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <functional>
#include <optional>
#include <vector>

// The Vantry code signature: a developer certificate issued by the anchor, a signed manifest of a
// bundle's every item, and a notarization ticket stapled by the notary. Formats, what is signed
// byte for byte and every refusal are described in docs/code-signature.md.
//
// A bundle is a folder `<Name>.app` (its signature in `Contents/_CodeSignature/`, its Info.plist
// at `Contents/Info.plist`) or `<Name>.framework` (`_CodeSignature/` and `Resources/Info.plist`).
namespace vantry::CodeSignature {

/// A team identifier: ten characters, upper-case letters and digits.
[[nodiscard]] bool isTeamIdentifier(QStringView text);

/// A bundle identifier: 1 to 255 characters, ASCII letters, digits, '.' and '-'.
[[nodiscard]] bool isBundleIdentifier(QStringView text);

// ---------------------------------------------------------------------------------------------
// Requirements

/// The Developer ID requirement every game is checked against, naming this build's team.
[[nodiscard]] QString developerIdRequirement();

/// The Developer ID requirement with another team in its team clause.
[[nodiscard]] QString developerIdRequirement(QStringView team);

/// The team a requirement demands as the leaf certificate's organisational unit; nothing when the
/// text is not a requirement this reader understands (then nothing can satisfy it).
[[nodiscard]] std::optional<QString> requiredTeam(QStringView requirement);

// ---------------------------------------------------------------------------------------------
// Formats. Each `parse` accepts exactly the canonical bytes its `bytes()` writes, nothing else.

/// A developer certificate: the anchor's word that a developer key belongs to a team.
struct Certificate {
    QString team;
    QString developer;    // a display name
    QByteArray publicKey; // the developer's 32-byte Ed25519 key
    QByteArray signature; // the anchor's 64-byte signature over signedBytes()

    [[nodiscard]] static std::optional<Certificate> parse(QByteArrayView bytes);
    /// The lines the anchor signs: everything but the signature line.
    [[nodiscard]] QByteArray signedBytes() const;
    [[nodiscard]] QByteArray bytes() const;

    friend bool operator==(const Certificate &, const Certificate &) = default;
};

/// The list of every item of a bundle but its signature folder, which the developer signs.
struct Manifest {
    enum class Kind { directory, file, symbolicLink };

    struct Entry {
        QByteArray path; // relative, '/'-separated raw bytes
        Kind kind = Kind::file;
        QByteArray digest;       // files: the 32-byte SHA-256 of the content
        bool executable = false; // files: any execute permission bit set
        QByteArray linkTarget;   // links: the raw target bytes

        friend bool operator==(const Entry &, const Entry &) = default;
    };

    QString team;
    QString identifier;
    std::vector<Entry> entries; // sorted by path bytes, no duplicates

    [[nodiscard]] static std::optional<Manifest> parse(QByteArrayView bytes);
    [[nodiscard]] QByteArray bytes() const;
    /// The entry at `path`, if any.
    [[nodiscard]] const Entry *find(QByteArrayView path) const;

    friend bool operator==(const Manifest &, const Manifest &) = default;
};

/// A notarization ticket: the notary's word on one exact manifest of one team's bundle.
struct NotarizationTicket {
    QString team;
    QString identifier;
    QByteArray manifestDigest; // SHA-256 of the manifest's bytes
    QByteArray signature;      // the notary's 64-byte signature over signedBytes()

    [[nodiscard]] static std::optional<NotarizationTicket> parse(QByteArrayView bytes);
    [[nodiscard]] QByteArray signedBytes() const;
    [[nodiscard]] QByteArray bytes() const;
};

/// A path or link target as manifest text: bytes 0x21–0x7E other than '%' as they are, every other
/// byte as '%' and two upper-case hex digits.
[[nodiscard]] QByteArray encodePath(QByteArrayView raw);
/// The inverse of encodePath; nothing for any text encodePath would not write.
[[nodiscard]] std::optional<QByteArray> decodePath(QByteArrayView text);

/// The first symbolic link of the manifest (in path order) whose target, resolved through the
/// manifest's own folders and links, leaves the bundle, is absolute or does not resolve within 40
/// links; nothing when every link stays inside.
[[nodiscard]] std::optional<QByteArray> firstLinkOutside(const Manifest &manifest);

// ---------------------------------------------------------------------------------------------
// Validation. Both checks block on the file system: call them off the main thread. They never
// follow a symbolic link (the bundle's own folder included), read files in pieces, and hold no
// state, so they may run concurrently.

/// Why a code signature is refused.
enum class Refusal {
    unreadableRequirement,     // the requirement text is not one this reader understands
    notABundle,                // the path is not a folder (or is a symbolic link)
    notSigned,                 // there is no signature folder
    malformedSignature,        // the signature folder or a file in it is not exactly as specified
    certificateNotFromAnchor,  // the certificate does not verify under the anchor key
    wrongTeam,                 // the certificate names another team than the requirement
    manifestSignatureMismatch, // the manifest's signature does not verify with the certificate's
                               // key
    linkOutsideBundle,         // a symbolic link points outside the bundle
    fileAdded,                 // an item on disk is not in the manifest
    fileMissing,               // an item of the manifest is not on disk
    fileModified,              // an item differs in kind, content, executable bit or link target
    unreadableItem,            // an item could not be read, or the tree is too deep
    identifierMismatch,        // Info.plist's CFBundleIdentifier is not the manifest's identifier
    nestedCodeInvalid,         // a nested .app or .framework fails its own validation
};

/// A refusal and where it was found.
struct SignatureFailure {
    Refusal reason = Refusal::notSigned;
    /// The item concerned, relative to the bundle (for nestedCodeInvalid: inside the nested
    /// bundle, prefixed with its path); empty when the refusal concerns the whole bundle.
    QString item;
    /// For nestedCodeInvalid: the reason of the innermost refusing bundle.
    std::optional<Refusal> nestedReason;

    friend bool operator==(const SignatureFailure &, const SignatureFailure &) = default;
};

/// Why a notarization assessment is refused.
enum class NotarizationRefusal {
    signatureInvalid,    // the code signature does not validate (see SignatureFailure)
    noTicket,            // no ticket is stapled
    malformedTicket,     // the ticket is not exactly as specified
    ticketNotFromNotary, // the ticket does not verify under the notary key
    ticketForOtherCode,  // the ticket names another manifest, team or bundle identifier
};

struct NotarizationFailure {
    NotarizationRefusal reason = NotarizationRefusal::noTicket;
    std::optional<SignatureFailure> signature; // for signatureInvalid
};

/// A stable name for logs and machine-readable reports ("fileModified"); not for users.
[[nodiscard]] const char *identifier(Refusal reason);
[[nodiscard]] const char *identifier(NotarizationRefusal reason);

/// The anchor and notary keys fixed in this build, as raw 32-byte keys.
[[nodiscard]] QByteArray builtInAnchorKey();
[[nodiscard]] QByteArray builtInNotaryKey();

/// Validates the bundle at `bundlePath` against `requirement`: the certificate verifies under
/// `anchorKey` and names the required team, the manifest's signature verifies with the
/// certificate's key, no link leaves the bundle, the bundle on disk is exactly the manifest
/// (nothing added, missing or changed), Info.plist names the manifest's identifier, and every
/// nested bundle validates the same way.
[[nodiscard]] Expected<void, SignatureFailure>
validate(const QString &bundlePath, QStringView requirement,
         QByteArrayView anchorKey = builtInAnchorKey());

/// The execution assessment: the signature validates against the Developer ID requirement and a
/// ticket from `notaryKey` for exactly this manifest, team and identifier is stapled.
[[nodiscard]] Expected<void, NotarizationFailure>
assessNotarization(const QString &bundlePath, QByteArrayView notaryKey = builtInNotaryKey(),
                   QByteArrayView anchorKey = builtInAnchorKey());

#if VANTRY_TEST_HOOKS
/// Tests only: called with each nested bundle's path (relative to the bundle around it) after
/// the walk over that bundle and before the nested bundle is checked, so that a test can change
/// the tree in between.
void setBeforeNestedCheck(std::function<void(const QString &)> hook);
#endif

} // namespace vantry::CodeSignature

// Validation: a bundle is checked step by step, each step refusing on its own, in the order
// docs/code-signature.md gives.
#include <platform/CodeSignatureDetail.h>

#include <platform/Crypto.h>
#include <vantry/BuildConfig.h>

#include <QFile>

#include <algorithm>
#include <cerrno>

namespace vantry::CodeSignature {

using namespace detail;

namespace {

#if VANTRY_TEST_HOOKS
std::function<void(const QString &)> beforeNestedCheck;
#endif

// The signature folder, open, with its names.
struct SignatureFolder {
    UniqueFd folder;
    std::vector<QByteArray> names;

    [[nodiscard]] bool has(const char *name) const
    {
        return std::binary_search(names.begin(), names.end(), QByteArray(name));
    }
};

// The manifest as signed: its exact bytes and what they say.
struct SignedManifest {
    QByteArray bytes;
    Manifest manifest;
};

// The outermost nested bundles of a walk, each with the folder the walk saw: checked through that
// descriptor, never reopened by a path whose folders could be swapped for links meanwhile.
struct NestedFolders {
    NestedBundles bundles;
    std::vector<UniqueFd> folders;
};

Expected<Sealed, SignatureFailure> checkOpened(const UniqueFd &root, const Layout &layout,
                                               const std::optional<QString> &requiredTeam,
                                               QByteArrayView anchorKey, int depth);

// Exactly the known files, each a regular file: a certificate, a manifest, its signature and
// perhaps a ticket.
Expected<SignatureFolder, SignatureFailure> openSignatureFolder(int root, const Layout &layout)
{
    UniqueFd folder = openFolderInside(root, layout.signatureFolder);
    if (!folder.isValid()) {
        if (errno == ENOENT)
            return unexpected(refuse(Refusal::notSigned));
        if (errno == ENOTDIR || errno == ELOOP)
            return unexpected(refuse(Refusal::malformedSignature, layout.signatureFolder));
        return unexpected(refuse(Refusal::unreadableItem, layout.signatureFolder));
    }
    auto names = listNames(folder.get());
    if (!names)
        return unexpected(refuse(Refusal::unreadableItem, layout.signatureFolder));
    SignatureFolder opened {std::move(folder), std::move(*names)};
    const std::vector<QByteArray> known {certificateName, manifestName, ticketName,
                                         signatureName}; // sorted
    if (!std::includes(known.begin(), known.end(), opened.names.begin(), opened.names.end()) ||
        !opened.has(certificateName) || !opened.has(manifestName) || !opened.has(signatureName))
        return unexpected(refuse(Refusal::malformedSignature, layout.signatureFolder));
    return opened;
}

// The certificate, issued by the anchor to the required team.
Expected<Certificate, SignatureFailure> readCertificate(const SignatureFolder &signature,
                                                        const Layout &layout,
                                                        const std::optional<QString> &requiredTeam,
                                                        QByteArrayView anchorKey)
{
    const auto bytes = readSmallFileAt(signature.folder.get(), certificateName, certificateLimit);
    auto certificate = bytes ? Certificate::parse(*bytes) : std::nullopt;
    if (!certificate)
        return unexpected(
            refuse(Refusal::malformedSignature, joinPath(layout.signatureFolder, certificateName)));
    if (!signatureMatches(anchorKey, certificate->signature, certificate->signedBytes()))
        return unexpected(refuse(Refusal::certificateNotFromAnchor));
    if (requiredTeam && certificate->team != *requiredTeam)
        return unexpected(refuse(Refusal::wrongTeam));
    return std::move(*certificate);
}

// The manifest, signed with the certificate's key, for its team, not sealing its own folder.
Expected<SignedManifest, SignatureFailure> readSignedManifest(const SignatureFolder &signature,
                                                              const Layout &layout,
                                                              const Certificate &certificate)
{
    const auto signatureText =
        readSmallFileAt(signature.folder.get(), signatureName, signatureFileLimit);
    const auto signatureBytes =
        signatureText && signatureText->endsWith('\n')
            ? base64Field(QByteArrayView(*signatureText).chopped(1), Crypto::ed25519SignatureSize)
            : std::nullopt;
    if (!signatureBytes)
        return unexpected(
            refuse(Refusal::malformedSignature, joinPath(layout.signatureFolder, signatureName)));
    const QByteArray manifestPath = joinPath(layout.signatureFolder, manifestName);
    auto bytes = readSmallFileAt(signature.folder.get(), manifestName, manifestLimit);
    if (!bytes)
        return unexpected(refuse(Refusal::malformedSignature, manifestPath));
    // Only signed bytes are parsed.
    if (!signatureMatches(certificate.publicKey, *signatureBytes, *bytes))
        return unexpected(refuse(Refusal::manifestSignatureMismatch));
    auto manifest = Manifest::parse(*bytes);
    if (!manifest || manifest->team != certificate.team)
        return unexpected(refuse(Refusal::malformedSignature, manifestPath));
    // The signature folder is never part of what it seals.
    for (const auto &entry : manifest->entries) {
        if (entry.path == layout.signatureFolder ||
            entry.path.startsWith(layout.signatureFolder + '/'))
            return unexpected(refuse(Refusal::malformedSignature, manifestPath));
    }
    return SignedManifest {std::move(*bytes), std::move(*manifest)};
}

// What the signature seals, and the ticket stapled to it (judged by the assessment only).
Sealed sealedBy(const SignatureFolder &signature, const SignedManifest &manifest)
{
    Sealed sealed {Crypto::sha256Digest(manifest.bytes), manifest.manifest.team,
                   manifest.manifest.identifier, false, std::nullopt};
    if (signature.has(ticketName)) {
        sealed.ticketPresent = true;
        sealed.ticket = readSmallFileAt(signature.folder.get(), ticketName, ticketLimit);
    }
    return sealed;
}

// One item on disk against its manifest entry; a nested bundle's folder is opened and kept.
Expected<bool, SignatureFailure> sameAsEntry(const Manifest::Entry &entry, int folder,
                                             const QByteArray &name, const QByteArray &path,
                                             const struct stat &info, NestedFolders &nested,
                                             std::vector<char> &buffer)
{
    if (S_ISDIR(info.st_mode)) {
        bool same = entry.kind == Manifest::Kind::directory;
        const size_t before = nested.bundles.paths.size();
        nested.bundles.note(name, path);
        if (same && nested.bundles.paths.size() > before) {
            UniqueFd opened = openFolderAt(folder, name.constData());
            struct stat now {
            };
            if (!opened.isValid() && errno != ELOOP && errno != ENOTDIR)
                return unexpected(refuse(Refusal::unreadableItem, path));
            same = opened.isValid() && ::fstat(opened.get(), &now) == 0 &&
                   now.st_ino == info.st_ino && now.st_dev == info.st_dev;
            nested.folders.push_back(std::move(opened));
        }
        return same;
    }
    if (S_ISLNK(info.st_mode)) {
        if (entry.kind != Manifest::Kind::symbolicLink)
            return false;
        const auto target = readLinkAt(folder, name.constData(), info);
        if (!target)
            return unexpected(refuse(Refusal::unreadableItem, path));
        return *target == entry.linkTarget;
    }
    if (S_ISREG(info.st_mode)) {
        if (entry.kind != Manifest::Kind::file)
            return false;
        const auto facts = hashFileAt(folder, name.constData(), info, buffer);
        if (!facts && facts.error() == ReadProblem::unreadable)
            return unexpected(refuse(Refusal::unreadableItem, path));
        return facts && facts->digest == entry.digest && facts->executable == entry.executable;
    }
    return false;
}

// The tree on disk is exactly the manifest: nothing added, missing or changed. Records the
// outermost nested bundles.
std::optional<SignatureFailure> compareWithDisk(int root, const Layout &layout,
                                                const Manifest &manifest, NestedFolders &nested)
{
    std::vector<bool> seen(manifest.entries.size(), false);
    std::vector<char> buffer;
    std::optional<SignatureFailure> failure;
    const auto visit = [&](int folder, const QByteArray &name, const QByteArray &path,
                           const struct stat &info) {
        const Manifest::Entry *entry = manifest.find(path);
        if (!entry) {
            failure = refuse(Refusal::fileAdded, path);
            return false;
        }
        seen[size_t(entry - manifest.entries.data())] = true;
        const auto same = sameAsEntry(*entry, folder, name, path, info, nested, buffer);
        if (!same || !*same)
            failure = same ? refuse(Refusal::fileModified, path) : same.error();
        return same && *same;
    };
    if (const auto problem = walkTree(root, layout.signatureFolder, visit)) {
        switch (problem->kind) {
        case WalkProblem::Kind::stopped:
            return failure;
        case WalkProblem::Kind::unreadable:
        case WalkProblem::Kind::tooDeep:
            return refuse(Refusal::unreadableItem, problem->path);
        }
    }
    for (size_t i = 0; i < seen.size(); ++i) {
        if (!seen[i])
            return refuse(Refusal::fileMissing, manifest.entries[i].path);
    }
    return std::nullopt;
}

// Info.plist names the identifier the manifest seals.
std::optional<SignatureFailure> checkIdentity(int root, const Layout &layout,
                                              const Manifest &manifest)
{
    if (bundleIdentifierAt(root, layout) != manifest.identifier)
        return refuse(Refusal::identifierMismatch, layout.infoPlist);
    return std::nullopt;
}

// Every nested bundle validates on its own, for the same team as the bundle around it, through
// the folder the walk opened.
std::optional<SignatureFailure> checkNestedCode(const NestedFolders &nested, const QString &team,
                                                QByteArrayView anchorKey, int depth)
{
    for (size_t i = 0; i < nested.folders.size(); ++i) {
        const QByteArray &path = nested.bundles.paths[i];
        if (depth >= maximumDepth)
            return refuse(Refusal::unreadableItem, path);
#if VANTRY_TEST_HOOKS
        if (beforeNestedCheck)
            beforeNestedCheck(QFile::decodeName(path));
#endif
        const auto inner =
            checkOpened(nested.folders[i], layoutOf(path), team, anchorKey, depth + 1);
        if (!inner) {
            const SignatureFailure &cause = inner.error();
            QString item = describePath(path);
            if (!cause.item.isEmpty())
                item += u'/' + cause.item;
            return SignatureFailure {Refusal::nestedCodeInvalid, item,
                                     cause.nestedReason.value_or(cause.reason)};
        }
    }
    return std::nullopt;
}

Expected<Sealed, SignatureFailure> checkOpened(const UniqueFd &root, const Layout &layout,
                                               const std::optional<QString> &requiredTeam,
                                               QByteArrayView anchorKey, int depth)
{
    const auto signature = openSignatureFolder(root.get(), layout);
    if (!signature)
        return unexpected(signature.error());
    const auto certificate = readCertificate(*signature, layout, requiredTeam, anchorKey);
    if (!certificate)
        return unexpected(certificate.error());
    const auto manifest = readSignedManifest(*signature, layout, *certificate);
    if (!manifest)
        return unexpected(manifest.error());
    Sealed sealed = sealedBy(*signature, *manifest);
    if (const auto link = firstLinkOutside(manifest->manifest))
        return unexpected(refuse(Refusal::linkOutsideBundle, *link));
    NestedFolders nested;
    if (auto failure = compareWithDisk(root.get(), layout, manifest->manifest, nested))
        return unexpected(std::move(*failure));
    if (auto failure = checkIdentity(root.get(), layout, manifest->manifest))
        return unexpected(std::move(*failure));
    if (auto failure = checkNestedCode(nested, certificate->team, anchorKey, depth))
        return unexpected(std::move(*failure));
    return sealed;
}

} // namespace

namespace detail {

SignatureFailure refuse(Refusal reason, QByteArrayView item)
{
    return SignatureFailure {reason, describePath(item), std::nullopt};
}

Expected<Sealed, SignatureFailure> check(const QByteArray &nativeRoot,
                                         const std::optional<QString> &requiredTeam,
                                         QByteArrayView anchorKey)
{
    const UniqueFd root = openRoot(nativeRoot);
    if (!root.isValid())
        return unexpected(refuse(Refusal::notABundle));
    return checkOpened(root, layoutOf(nativeRoot), requiredTeam, anchorKey, 0);
}

} // namespace detail

const char *identifier(Refusal reason)
{
    switch (reason) {
    case Refusal::unreadableRequirement:
        return "unreadableRequirement";
    case Refusal::notABundle:
        return "notABundle";
    case Refusal::notSigned:
        return "notSigned";
    case Refusal::malformedSignature:
        return "malformedSignature";
    case Refusal::certificateNotFromAnchor:
        return "certificateNotFromAnchor";
    case Refusal::wrongTeam:
        return "wrongTeam";
    case Refusal::manifestSignatureMismatch:
        return "manifestSignatureMismatch";
    case Refusal::linkOutsideBundle:
        return "linkOutsideBundle";
    case Refusal::fileAdded:
        return "fileAdded";
    case Refusal::fileMissing:
        return "fileMissing";
    case Refusal::fileModified:
        return "fileModified";
    case Refusal::unreadableItem:
        return "unreadableItem";
    case Refusal::identifierMismatch:
        return "identifierMismatch";
    case Refusal::nestedCodeInvalid:
        return "nestedCodeInvalid";
    }
    Q_UNREACHABLE();
}

const char *identifier(NotarizationRefusal reason)
{
    switch (reason) {
    case NotarizationRefusal::signatureInvalid:
        return "signatureInvalid";
    case NotarizationRefusal::noTicket:
        return "noTicket";
    case NotarizationRefusal::malformedTicket:
        return "malformedTicket";
    case NotarizationRefusal::ticketNotFromNotary:
        return "ticketNotFromNotary";
    case NotarizationRefusal::ticketForOtherCode:
        return "ticketForOtherCode";
    }
    Q_UNREACHABLE();
}

QByteArray builtInAnchorKey()
{
    return Crypto::decodeBase64Strict(QString::fromLatin1(BuildConfig::codesignAnchorKey))
        .value_or(QByteArray());
}

QByteArray builtInNotaryKey()
{
    return Crypto::decodeBase64Strict(QString::fromLatin1(BuildConfig::notaryKey))
        .value_or(QByteArray());
}

Expected<void, SignatureFailure> validate(const QString &bundlePath, QStringView requirement,
                                          QByteArrayView anchorKey)
{
    const auto team = requiredTeam(requirement);
    if (!team)
        return unexpected(refuse(Refusal::unreadableRequirement));
    const auto sealed = check(nativeBundlePath(bundlePath), team, anchorKey);
    if (!sealed)
        return unexpected(sealed.error());
    return {};
}

Expected<void, NotarizationFailure>
assessNotarization(const QString &bundlePath, QByteArrayView notaryKey, QByteArrayView anchorKey)
{
    const auto sealed =
        check(nativeBundlePath(bundlePath), requiredTeam(developerIdRequirement()), anchorKey);
    if (!sealed)
        return unexpected(
            NotarizationFailure {NotarizationRefusal::signatureInvalid, sealed.error()});
    if (!sealed->ticketPresent)
        return unexpected(NotarizationFailure {NotarizationRefusal::noTicket, std::nullopt});
    const auto ticket = sealed->ticket ? NotarizationTicket::parse(*sealed->ticket) : std::nullopt;
    if (!ticket)
        return unexpected(NotarizationFailure {NotarizationRefusal::malformedTicket, std::nullopt});
    if (!signatureMatches(notaryKey, ticket->signature, ticket->signedBytes()))
        return unexpected(
            NotarizationFailure {NotarizationRefusal::ticketNotFromNotary, std::nullopt});
    if (ticket->manifestDigest != sealed->manifestDigest || ticket->team != sealed->team ||
        ticket->identifier != sealed->identifier)
        return unexpected(
            NotarizationFailure {NotarizationRefusal::ticketForOtherCode, std::nullopt});
    return {};
}

#if VANTRY_TEST_HOOKS
void setBeforeNestedCheck(std::function<void(const QString &)> hook)
{
    beforeNestedCheck = std::move(hook);
}
#endif

} // namespace vantry::CodeSignature

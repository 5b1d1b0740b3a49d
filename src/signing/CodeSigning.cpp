// The maker's side of the code signature: certificates, signatures and notarization tickets.
#include <signing/CodeSigning.h>

#include <signing/PrivateKeys.h>

#include <platform/CodeSignatureDetail.h>
#include <platform/Crypto.h>

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vantry::CodeSignature {

using namespace detail;

namespace {

SigningFailure signingFailure(SigningError error, QByteArrayView item = {}, int code = 0)
{
    return SigningFailure {error, describePath(item), code, std::nullopt};
}

// A bundle opened for signing: its path as bytes, its folder and where its signature lives.
struct OpenedBundle {
    QByteArray nativeRoot;
    UniqueFd root;
    Layout layout;
};

Expected<OpenedBundle, SigningFailure> openBundle(const QString &bundlePath)
{
    QByteArray nativeRoot = nativeBundlePath(bundlePath);
    UniqueFd root = openRoot(nativeRoot);
    if (!root.isValid())
        return unexpected(signingFailure(SigningError::notABundle, nativeRoot, errno));
    Layout layout = layoutOf(nativeRoot);
    return OpenedBundle {std::move(nativeRoot), std::move(root), std::move(layout)};
}

Expected<void, SigningFailure> writeNewFileAt(int folder, const char *name, QByteArrayView bytes,
                                              const QByteArray &path)
{
    const UniqueFd fd(
        ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.isValid())
        return unexpected(signingFailure(SigningError::writeFailed, path, errno));
    const char *data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd.get(), data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return unexpected(signingFailure(SigningError::writeFailed, path, errno));
        data += written;
        left -= written;
    }
    return {};
}

Expected<void, SigningFailure> replaceFileAt(int folder, const char *name, QByteArrayView bytes,
                                             const QByteArray &path)
{
    if (::unlinkat(folder, name, 0) != 0 && errno != ENOENT)
        return unexpected(signingFailure(SigningError::writeFailed, path, errno));
    return writeNewFileAt(folder, name, bytes, path);
}

// The outermost nested bundles, which sign their own nested code in turn.
Expected<std::vector<QByteArray>, SigningFailure> nestedBundlesOf(int root, const Layout &layout)
{
    NestedBundles nested;
    auto visit = [&](int, const QByteArray &name, const QByteArray &path, const struct stat &info) {
        if (S_ISDIR(info.st_mode))
            nested.note(name, path);
        return true;
    };
    if (const auto problem = walkTree(root, layout.signatureFolder, visit))
        return unexpected(signingFailure(SigningError::unreadableItem, problem->path));
    return nested.paths;
}

Expected<void, SigningFailure> signTree(const QByteArray &nativeRoot, QByteArrayView key,
                                        const Certificate &certificate, NestedCode nested,
                                        int depth)
{
    if (nested == NestedCode::sign) {
        const UniqueFd root = openRoot(nativeRoot);
        if (!root.isValid())
            return unexpected(signingFailure(SigningError::notABundle, nativeRoot, errno));
        const auto paths = nestedBundlesOf(root.get(), layoutOf(nativeRoot));
        if (!paths)
            return unexpected(paths.error());
        for (const QByteArray &path : *paths) {
            if (depth >= maximumDepth)
                return unexpected(signingFailure(SigningError::unreadableItem, path));
            if (auto done = signTree(nativeRoot + '/' + path, key, certificate, nested, depth + 1);
                !done)
                return done;
        }
    }
    const QString bundle = QFile::decodeName(nativeRoot);
    auto manifest = scanBundle(bundle, certificate.team);
    if (!manifest)
        return unexpected(manifest.error());
    if (const auto link = firstLinkOutside(*manifest))
        return unexpected(
            signingFailure(SigningError::linkOutsideBundle, nativeRoot + '/' + *link));
    return writeSignature(bundle, *manifest, key, certificate);
}

Expected<NotarizationTicket, SigningFailure> signedTicket(NotarizationTicket ticket,
                                                          QByteArrayView notaryPrivateKeyPem)
{
    auto signature = Crypto::ed25519Sign(notaryPrivateKeyPem, ticket.signedBytes());
    if (!signature)
        return unexpected(signingFailure(SigningError::malformedPrivateKey));
    ticket.signature = std::move(*signature);
    return ticket;
}

} // namespace

Expected<Certificate, SigningFailure> makeCertificate(QByteArrayView anchorPrivateKeyPem,
                                                      const QString &team, const QString &developer,
                                                      QByteArrayView developerPublicKey)
{
    if (!isTeamIdentifier(team))
        return unexpected(signingFailure(SigningError::invalidTeam));
    if (!isDeveloperName(developer))
        return unexpected(signingFailure(SigningError::invalidDeveloperName));
    if (developerPublicKey.size() != Crypto::ed25519PublicKeySize)
        return unexpected(signingFailure(SigningError::malformedPublicKey));
    Certificate certificate {team, developer, developerPublicKey.toByteArray(), {}};
    auto signature = Crypto::ed25519Sign(anchorPrivateKeyPem, certificate.signedBytes());
    if (!signature)
        return unexpected(signingFailure(SigningError::malformedPrivateKey));
    certificate.signature = std::move(*signature);
    return certificate;
}

Expected<Manifest, SigningFailure> scanBundle(const QString &bundlePath, const QString &team)
{
    const auto opened = openBundle(bundlePath);
    if (!opened)
        return unexpected(opened.error());
    const auto &[nativeRoot, root, layout] = *opened;
    const auto identifier = bundleIdentifierAt(root.get(), layout);
    if (!identifier)
        return unexpected(signingFailure(SigningError::missingBundleIdentifier,
                                         nativeRoot + '/' + layout.infoPlist));

    Manifest manifest {team, *identifier, {}};
    // clang 14 cannot capture a structured binding in a lambda.
    const auto &bundleRoot = nativeRoot;
    std::vector<char> buffer;
    std::optional<SigningFailure> failure;
    auto visit = [&](int folder, const QByteArray &name, const QByteArray &path,
                     const struct stat &info) {
        Manifest::Entry entry;
        entry.path = path;
        if (S_ISDIR(info.st_mode)) {
            entry.kind = Manifest::Kind::directory;
        } else if (S_ISLNK(info.st_mode)) {
            entry.kind = Manifest::Kind::symbolicLink;
            auto target = readLinkAt(folder, name.constData(), info);
            if (!target) {
                failure =
                    signingFailure(SigningError::unreadableItem, bundleRoot + '/' + path, errno);
                return false;
            }
            entry.linkTarget = std::move(*target);
        } else if (S_ISREG(info.st_mode)) {
            const auto facts = hashFileAt(folder, name.constData(), info, buffer);
            if (!facts) {
                failure =
                    signingFailure(SigningError::unreadableItem, bundleRoot + '/' + path, errno);
                return false;
            }
            entry.digest = facts->digest;
            entry.executable = facts->executable;
        } else {
            failure = signingFailure(SigningError::unsupportedItem, bundleRoot + '/' + path);
            return false;
        }
        manifest.entries.push_back(std::move(entry));
        return true;
    };
    if (const auto problem = walkTree(root.get(), layout.signatureFolder, visit)) {
        if (problem->kind == WalkProblem::Kind::stopped && failure)
            return unexpected(std::move(*failure));
        return unexpected(
            signingFailure(SigningError::unreadableItem, nativeRoot + '/' + problem->path));
    }
    // The walk sorts each folder; the manifest sorts all paths as one list of bytes.
    std::sort(manifest.entries.begin(), manifest.entries.end(),
              [](const Manifest::Entry &a, const Manifest::Entry &b) { return a.path < b.path; });
    return manifest;
}

Expected<void, SigningFailure> writeSignature(const QString &bundlePath, const Manifest &manifest,
                                              QByteArrayView developerPrivateKeyPem,
                                              const Certificate &certificate)
{
    const auto publicKey = Crypto::ed25519PublicKey(developerPrivateKeyPem);
    if (!publicKey)
        return unexpected(signingFailure(SigningError::malformedPrivateKey));
    if (*publicKey != certificate.publicKey)
        return unexpected(signingFailure(SigningError::keyDoesNotMatchCertificate));
    const QByteArray manifestBytes = manifest.bytes();
    const auto signature = Crypto::ed25519Sign(developerPrivateKeyPem, manifestBytes);
    if (!signature)
        return unexpected(signingFailure(SigningError::malformedPrivateKey));

    const auto opened = openBundle(bundlePath);
    if (!opened)
        return unexpected(opened.error());
    const auto &[nativeRoot, root, layout] = *opened;
    const QByteArray folderPath = nativeRoot + '/' + layout.signatureFolder;
    const UniqueFd parent = openFolderInside(root.get(), parentOf(layout.signatureFolder));
    if (!parent.isValid())
        return unexpected(signingFailure(SigningError::notABundle, parentOf(folderPath), errno));
    const QByteArray folderName = lastComponent(layout.signatureFolder);
    if (::mkdirat(parent.get(), folderName.constData(), 0755) != 0 && errno != EEXIST)
        return unexpected(signingFailure(SigningError::writeFailed, folderPath, errno));
    const UniqueFd folder = openFolderAt(parent.get(), folderName.constData());
    if (!folder.isValid())
        return unexpected(signingFailure(SigningError::unsupportedItem, folderPath, errno));

    // A fresh signature: the old files go, and a ticket for the old manifest with them.
    const auto names = listNames(folder.get());
    if (!names)
        return unexpected(signingFailure(SigningError::unreadableItem, folderPath, errno));
    for (const QByteArray &name : *names) {
        if (name != manifestName && name != certificateName && name != signatureName &&
            name != ticketName)
            return unexpected(
                signingFailure(SigningError::unsupportedItem, folderPath + '/' + name));
    }
    for (const char *name : {ticketName, manifestName, certificateName, signatureName}) {
        if (::unlinkat(folder.get(), name, 0) != 0 && errno != ENOENT)
            return unexpected(
                signingFailure(SigningError::writeFailed, folderPath + '/' + name, errno));
    }
    if (auto done = writeNewFileAt(folder.get(), manifestName, manifestBytes,
                                   folderPath + '/' + manifestName);
        !done)
        return done;
    if (auto done = writeNewFileAt(folder.get(), certificateName, certificate.bytes(),
                                   folderPath + '/' + certificateName);
        !done)
        return done;
    return writeNewFileAt(folder.get(), signatureName, signature->toBase64() + '\n',
                          folderPath + '/' + signatureName);
}

Expected<void, SigningFailure> signBundle(const QString &bundlePath,
                                          QByteArrayView developerPrivateKeyPem,
                                          const Certificate &certificate, NestedCode nested)
{
    // Checked before anything is written, so a wrong key leaves no nested bundle half signed.
    const auto publicKey = Crypto::ed25519PublicKey(developerPrivateKeyPem);
    if (!publicKey)
        return unexpected(signingFailure(SigningError::malformedPrivateKey));
    if (*publicKey != certificate.publicKey)
        return unexpected(signingFailure(SigningError::keyDoesNotMatchCertificate));
    return signTree(nativeBundlePath(bundlePath), developerPrivateKeyPem, certificate, nested, 0);
}

Expected<NotarizationTicket, SigningFailure> makeTicket(const QString &bundlePath,
                                                        QByteArrayView notaryPrivateKeyPem)
{
    const auto opened = openBundle(bundlePath);
    if (!opened)
        return unexpected(opened.error());
    const auto &[nativeRoot, root, layout] = *opened;
    const UniqueFd folder = openFolderInside(root.get(), layout.signatureFolder);
    const auto bytes = folder.isValid() ? readSmallFileAt(folder.get(), manifestName, manifestLimit)
                                        : std::nullopt;
    const auto manifest = bytes ? Manifest::parse(*bytes) : std::nullopt;
    if (!manifest) {
        SigningFailure failure = signingFailure(SigningError::signatureInvalid, nativeRoot);
        failure.signature =
            refuse(folder.isValid() ? Refusal::malformedSignature : Refusal::notSigned);
        return unexpected(std::move(failure));
    }
    return signedTicket({manifest->team, manifest->identifier, Crypto::sha256Digest(*bytes), {}},
                        notaryPrivateKeyPem);
}

Expected<void, SigningFailure> stapleTicket(const QString &bundlePath,
                                            const NotarizationTicket &ticket)
{
    const auto opened = openBundle(bundlePath);
    if (!opened)
        return unexpected(opened.error());
    const auto &[nativeRoot, root, layout] = *opened;
    const QByteArray folderPath = nativeRoot + '/' + layout.signatureFolder;
    const UniqueFd folder = openFolderInside(root.get(), layout.signatureFolder);
    if (!folder.isValid())
        return unexpected(signingFailure(SigningError::writeFailed, folderPath, errno));
    return replaceFileAt(folder.get(), ticketName, ticket.bytes(), folderPath + '/' + ticketName);
}

Expected<void, SigningFailure>
notarize(const QString &bundlePath, QByteArrayView notaryPrivateKeyPem, QByteArrayView anchorKey)
{
    if (!Crypto::ed25519PublicKey(notaryPrivateKeyPem))
        return unexpected(signingFailure(SigningError::malformedPrivateKey));
    // The notary notarizes any team the anchor certifies: the team is the certificate's own.
    const auto sealed = check(nativeBundlePath(bundlePath), std::nullopt, anchorKey);
    if (!sealed) {
        SigningFailure failure = signingFailure(SigningError::signatureInvalid);
        failure.signature = sealed.error();
        return unexpected(std::move(failure));
    }
    // The ticket is for exactly what was checked, not for whatever is there a moment later.
    const auto ticket = signedTicket({sealed->team, sealed->identifier, sealed->manifestDigest, {}},
                                     notaryPrivateKeyPem);
    if (!ticket)
        return unexpected(ticket.error());
    return stapleTicket(bundlePath, *ticket);
}

} // namespace vantry::CodeSignature

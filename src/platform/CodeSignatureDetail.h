#pragma once

// The pieces of the code signature that validation and signing share: the names and limits of the
// formats, a bundle's layout, and the walk over its tree through descriptors. Not an interface for
// anything else: only CodeSignature*.cpp and the signing library include it.

#include <core/UniqueFd.h>
#include <platform/CodeSignature.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>
#include <optional>
#include <sys/stat.h>
#include <vector>

namespace vantry::CodeSignature::detail {

// The signature folder's files.
inline constexpr char manifestName[] = "manifest";
inline constexpr char certificateName[] = "certificate";
inline constexpr char signatureName[] = "signature";
inline constexpr char ticketName[] = "notarization-ticket";

// Far above anything real, low enough that a hostile file cannot exhaust memory.
inline constexpr qsizetype certificateLimit = 4096;
inline constexpr qsizetype ticketLimit = 4096;
inline constexpr qsizetype signatureFileLimit = 128;
inline constexpr qsizetype manifestLimit = qsizetype(64) << 20;
inline constexpr qsizetype infoPlistLimit = qsizetype(1) << 20;
inline constexpr qsizetype pathLimit = 4096;
inline constexpr int maximumDepth = 128;   // folders below a bundle, nested bundles included
inline constexpr int maximumLinkHops = 40; // as the kernel's own limit

// ---------------------------------------------------------------------------------------------
// Paths as bytes, and fields of the formats

[[nodiscard]] QString describePath(QByteArrayView raw);
[[nodiscard]] QByteArray joinPath(const QByteArray &prefix, QByteArrayView name);
[[nodiscard]] QByteArray parentOf(QByteArrayView path);
[[nodiscard]] QByteArray lastComponent(QByteArrayView path);
[[nodiscard]] bool isBundleName(QByteArrayView name);
/// A display name: 1 to 128 characters, no control character, no space at either end.
[[nodiscard]] bool isDeveloperName(QStringView name);
/// Base64 of exactly `size` bytes, in its one canonical text.
[[nodiscard]] std::optional<QByteArray> base64Field(QByteArrayView text, qsizetype size);
[[nodiscard]] bool signatureMatches(QByteArrayView key, QByteArrayView signature,
                                    QByteArrayView message);

// ---------------------------------------------------------------------------------------------
// The file system, reached through descriptors only so that no link is ever followed

struct Layout {
    QByteArray signatureFolder; // relative to the bundle
    QByteArray infoPlist;
};

/// The bundle's path without trailing slashes (a trailing slash would make the kernel follow a
/// link at the end of it).
[[nodiscard]] QByteArray nativeBundlePath(const QString &path);
[[nodiscard]] Layout layoutOf(const QByteArray &nativeRoot);

[[nodiscard]] UniqueFd openRoot(const QByteArray &nativeRoot);
[[nodiscard]] UniqueFd openFolderAt(int at, const char *name);
/// Opens the folder at relative `path` below `root`, one component at a time; errno tells why not.
[[nodiscard]] UniqueFd openFolderInside(int root, QByteArrayView path);
/// Reads a whole regular file opened at `at`, refusing more than `limit` bytes.
[[nodiscard]] std::optional<QByteArray> readSmallFileAt(int at, const char *name, qsizetype limit);
/// Info.plist's CFBundleIdentifier, when it is a valid bundle identifier.
[[nodiscard]] std::optional<QString> bundleIdentifierAt(int root, const Layout &layout);
/// The folder's names but "." and "..", in byte order.
[[nodiscard]] std::optional<std::vector<QByteArray>> listNames(int folder);
[[nodiscard]] std::optional<QByteArray> readLinkAt(int at, const char *name,
                                                   const struct stat &info);

enum class ReadProblem { unreadable, changed };

struct FileFacts {
    QByteArray digest;
    bool executable = false;
};

/// Hashes a regular file in pieces; `seen` is what the walk saw, so that a file swapped for
/// something else between the two looks changed rather than being read.
[[nodiscard]] Expected<FileFacts, ReadProblem>
hashFileAt(int at, const char *name, const struct stat &seen, std::vector<char> &buffer);

struct WalkProblem {
    enum class Kind { stopped, unreadable, tooDeep } kind;
    QByteArray path;
};

/// What the walk calls for each item: visit(folderFd, name, path, info), false to stop.
using Visit = std::function<bool(int folder, const QByteArray &name, const QByteArray &path,
                                 const struct stat &info)>;

/// Visits every item below `root` depth first, each folder's names in byte order, parents before
/// their children, never following a link; `excluded` (a relative path, the signature folder) is
/// skipped with everything in it.
[[nodiscard]] std::optional<WalkProblem> walkTree(int root, const QByteArray &excluded,
                                                  const Visit &visit);

/// Records the outermost nested bundles a depth-first walk meets.
struct NestedBundles {
    std::vector<QByteArray> paths;

    void note(const QByteArray &name, const QByteArray &path);
};

// ---------------------------------------------------------------------------------------------
// Validation

/// What a valid signature seals, for the notarization assessment and the notary.
struct Sealed {
    QByteArray manifestDigest;
    QString team;
    QString identifier;
    bool ticketPresent = false;
    std::optional<QByteArray> ticket; // nothing when present but unreadable
};

[[nodiscard]] SignatureFailure refuse(Refusal reason, QByteArrayView item = {});

/// Validates the bundle at `nativeRoot` under `anchorKey`, for `requiredTeam` or, with none, for
/// the team its certificate names.
[[nodiscard]] Expected<Sealed, SignatureFailure> check(const QByteArray &nativeRoot,
                                                       const std::optional<QString> &requiredTeam,
                                                       QByteArrayView anchorKey);

} // namespace vantry::CodeSignature::detail

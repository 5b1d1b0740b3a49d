#include <platform/CodeSignature.h>

#include <platform/Crypto.h>
#include <platform/PropertyList.h>
#include <vantry/BuildConfig.h>

#include <QFile>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vantry::CodeSignature {

namespace {

#if VANTRY_TEST_HOOKS
std::function<void(const QString &)> beforeNestedCheck;
#endif

// ---------------------------------------------------------------------------------------------
// Constants of the formats

constexpr char certificateHeader[] = "vantry-developer-certificate 1";
constexpr char manifestHeader[] = "vantry-manifest 1";
constexpr char ticketHeader[] = "vantry-notarization-ticket 1";

constexpr char manifestName[] = "manifest";
constexpr char certificateName[] = "certificate";
constexpr char signatureName[] = "signature";
constexpr char ticketName[] = "notarization-ticket";

constexpr char developerIdIntermediateMarker[] = "1.2.840.113635.100.6.2.6";
constexpr char developerIdApplicationMarker[] = "1.2.840.113635.100.6.1.13";

// Far above anything real, low enough that a hostile file cannot exhaust memory.
constexpr qsizetype certificateLimit = 4096;
constexpr qsizetype ticketLimit = 4096;
constexpr qsizetype signatureFileLimit = 128;
constexpr qsizetype manifestLimit = qsizetype(64) << 20;
constexpr qsizetype infoPlistLimit = qsizetype(1) << 20;
constexpr qsizetype pathLimit = 4096;
constexpr int maximumDepth = 128;   // folders below a bundle, nested bundles included
constexpr int maximumLinkHops = 40; // as the kernel's own limit
constexpr qsizetype hashChunk = qsizetype(256) << 10;

// ---------------------------------------------------------------------------------------------
// Small helpers

class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    Descriptor(Descriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] bool isValid() const { return m_fd >= 0; }

private:
    int m_fd;
};

struct MdCtxFree {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

QString describePath(QByteArrayView raw)
{
    return QFile::decodeName(raw.toByteArray());
}

QByteArray joinPath(const QByteArray &prefix, QByteArrayView name)
{
    return prefix.isEmpty() ? name.toByteArray() : prefix + '/' + name.toByteArray();
}

std::optional<std::vector<QByteArrayView>> splitLines(QByteArrayView bytes)
{
    if (bytes.isEmpty() || bytes.back() != '\n')
        return std::nullopt;
    std::vector<QByteArrayView> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n') {
            lines.push_back(bytes.sliced(start, i - start));
            start = i + 1;
        }
    }
    return lines;
}

// The value of a line "<name> <value>", when the line has that name.
std::optional<QByteArrayView> field(QByteArrayView line, QByteArrayView name)
{
    if (line.size() <= name.size() || !line.startsWith(name) || line[name.size()] != ' ')
        return std::nullopt;
    return line.sliced(name.size() + 1);
}

std::optional<QByteArray> base64Field(QByteArrayView text, qsizetype size)
{
    auto decoded = Crypto::decodeBase64Strict(QString::fromLatin1(text));
    // Re-encoding rules out unused low bits that are not zero: one value, one text.
    if (!decoded || decoded->size() != size || decoded->toBase64() != text)
        return std::nullopt;
    return decoded;
}

std::optional<QByteArray> hexField(QByteArrayView text, qsizetype size)
{
    if (text.size() != size * 2)
        return std::nullopt;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return std::nullopt;
    }
    return QByteArray::fromHex(text.toByteArray());
}

std::optional<QString> teamField(QByteArrayView text)
{
    const QString team = QString::fromLatin1(text);
    return isTeamIdentifier(team) ? std::optional(team) : std::nullopt;
}

std::optional<QString> identifierField(QByteArrayView text)
{
    const QString identifier = QString::fromLatin1(text);
    return isBundleIdentifier(identifier) ? std::optional(identifier) : std::nullopt;
}

bool isDeveloperName(QStringView name)
{
    if (name.isEmpty() || name.size() > 128 || name.front() == u' ' || name.back() == u' ')
        return false;
    return std::none_of(name.begin(), name.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029;
    });
}

// A relative path of one or more components, none empty, "." or "..", and no NUL.
bool isRelativePath(QByteArrayView path)
{
    if (path.isEmpty() || path.size() > pathLimit || path.contains('\0'))
        return false;
    for (const QByteArrayView component :
         QByteArray::fromRawData(path.data(), path.size()).split('/')) {
        if (component.isEmpty() || component == "." || component == "..")
            return false;
    }
    return true;
}

QByteArray parentOf(QByteArrayView path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray() : path.first(slash).toByteArray();
}

QByteArray lastComponent(QByteArrayView path)
{
    return path.sliced(path.lastIndexOf('/') + 1).toByteArray();
}

bool isBundleName(QByteArrayView name)
{
    return name.endsWith(".app") || name.endsWith(".framework");
}

bool signatureMatches(QByteArrayView key, QByteArrayView signature, QByteArrayView message)
{
    return Crypto::ed25519Verify(key, signature, message) == Crypto::Ed25519Check::valid;
}

// ---------------------------------------------------------------------------------------------
// The file system, reached through descriptors only so that no link is ever followed

struct Layout {
    QByteArray signatureFolder; // relative to the bundle
    QByteArray infoPlist;
};

// The bundle's path without trailing slashes (a trailing slash would make the kernel follow a
// link at the end of it).
QByteArray nativeBundlePath(const QString &path)
{
    QByteArray native = QFile::encodeName(path);
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    return native;
}

Layout layoutOf(const QByteArray &nativeRoot)
{
    if (lastComponent(nativeRoot).endsWith(".framework"))
        return {"_CodeSignature", "Resources/Info.plist"};
    return {"Contents/_CodeSignature", "Contents/Info.plist"};
}

Descriptor openFolderAt(int at, const char *name)
{
    return Descriptor(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

Descriptor openRoot(const QByteArray &nativeRoot)
{
    return Descriptor(
        ::open(nativeRoot.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Opens the folder at relative `path` below `root`, one component at a time; errno tells why not.
Descriptor openFolderInside(int root, QByteArrayView path)
{
    Descriptor current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (path.isEmpty() || !current.isValid())
        return current;
    for (const QByteArray &component : path.toByteArray().split('/')) {
        const int next = ::openat(current.get(), component.constData(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        current = Descriptor(next);
        if (!current.isValid()) {
            errno = saved; // closing the folder above must not hide why
            break;
        }
    }
    return current;
}

// Reads a whole regular file opened at `at`, refusing more than `limit` bytes.
std::optional<QByteArray> readSmallFileAt(int at, const char *name, qsizetype limit)
{
    const Descriptor fd(
        ::openat(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat info {
    };
    if (!fd.isValid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > limit)
        return std::nullopt;
    QByteArray bytes;
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || bytes.size() + n > limit)
            return std::nullopt;
        if (n == 0)
            return bytes;
        bytes.append(buffer, n);
    }
}

std::optional<QByteArray> readSmallFileInside(int root, QByteArrayView path, qsizetype limit)
{
    const Descriptor folder = openFolderInside(root, parentOf(path));
    if (!folder.isValid())
        return std::nullopt;
    return readSmallFileAt(folder.get(), lastComponent(path).constData(), limit);
}

std::optional<QString> bundleIdentifierAt(int root, const Layout &layout)
{
    const auto bytes = readSmallFileInside(root, layout.infoPlist, infoPlistLimit);
    if (!bytes)
        return std::nullopt;
    const auto plist = PlistValue::parse(*bytes);
    if (!plist)
        return std::nullopt;
    auto identifier = plist->text(u"CFBundleIdentifier");
    if (!identifier || !isBundleIdentifier(*identifier))
        return std::nullopt;
    return identifier;
}

std::optional<std::vector<QByteArray>> listNames(int folder)
{
    const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return std::nullopt;
    DIR *dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return std::nullopt;
    }
    std::unique_ptr<DIR, int (*)(DIR *)> owner(dir, ::closedir);
    ::rewinddir(dir); // the copy shares its offset with `folder`
    std::vector<QByteArray> names;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0)
                return std::nullopt;
            break;
        }
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<QByteArray> readLinkAt(int at, const char *name, const struct stat &info)
{
    QByteArray target(qsizetype(std::clamp<off_t>(info.st_size, 64, 2 * pathLimit)) + 1, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::readlinkat(at, name, target.data(), size_t(target.size()));
        if (n < 0)
            return std::nullopt;
        if (n < target.size()) {
            target.truncate(n);
            return target;
        }
        if (target.size() > 2 * pathLimit) // the kernel keeps no longer target
            return std::nullopt;
        target.resize(target.size() * 2);
    }
}

enum class ReadProblem { unreadable, changed };

struct FileFacts {
    QByteArray digest;
    bool executable = false;
};

// Hashes a regular file in pieces; `seen` is what the walk saw, so that a file swapped for
// something else between the two looks changed rather than being read.
Expected<FileFacts, ReadProblem> hashFileAt(int at, const char *name, const struct stat &seen,
                                            std::vector<char> &buffer)
{
    const Descriptor fd(
        ::openat(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.isValid())
        return unexpected(errno == ELOOP || errno == ENOENT ? ReadProblem::changed
                                                            : ReadProblem::unreadable);
    struct stat info {
    };
    if (::fstat(fd.get(), &info) != 0)
        return unexpected(ReadProblem::unreadable);
    if (!S_ISREG(info.st_mode) || info.st_ino != seen.st_ino || info.st_dev != seen.st_dev)
        return unexpected(ReadProblem::changed);
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return unexpected(ReadProblem::unreadable);
    buffer.resize(hashChunk);
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return unexpected(ReadProblem::unreadable);
        if (n == 0)
            break;
        if (EVP_DigestUpdate(context.get(), buffer.data(), size_t(n)) != 1)
            return unexpected(ReadProblem::unreadable);
    }
    QByteArray digest(32, Qt::Uninitialized);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char *>(digest.data()),
                           &length) != 1 ||
        length != 32)
        return unexpected(ReadProblem::unreadable);
    return FileFacts {digest, (info.st_mode & 0111) != 0};
}

struct WalkProblem {
    enum class Kind { stopped, unreadable, tooDeep } kind;
    QByteArray path;
};

// Visits every item below `folder` depth first, each folder's names in byte order, parents
// before their children, never following a link; `excluded` (a relative path) is skipped with
// everything in it. visit(folderFd, name, path, info) returns false to stop the walk.
template <class Visit>
std::optional<WalkProblem> walkTree(int folder, const QByteArray &prefix,
                                    const QByteArray &excluded, int depth, Visit &visit)
{
    if (depth > maximumDepth)
        return WalkProblem {WalkProblem::Kind::tooDeep, prefix};
    const auto names = listNames(folder);
    if (!names)
        return WalkProblem {WalkProblem::Kind::unreadable, prefix};
    for (const QByteArray &name : *names) {
        const QByteArray path = joinPath(prefix, name);
        if (path == excluded)
            continue;
        struct stat info {
        };
        if (::fstatat(folder, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return WalkProblem {WalkProblem::Kind::unreadable, path};
        if (!visit(folder, name, path, info))
            return WalkProblem {WalkProblem::Kind::stopped, path};
        if (S_ISDIR(info.st_mode)) {
            const Descriptor child = openFolderAt(folder, name.constData());
            if (!child.isValid())
                return WalkProblem {WalkProblem::Kind::unreadable, path};
            if (auto problem = walkTree(child.get(), path, excluded, depth + 1, visit))
                return problem;
        }
    }
    return std::nullopt;
}

// Records the outermost nested bundles a depth-first walk meets.
struct NestedBundles {
    std::vector<QByteArray> paths;

    void note(const QByteArray &name, const QByteArray &path)
    {
        if (!isBundleName(name))
            return;
        // Depth first: a folder below a nested bundle comes right after it, before any sibling.
        if (!paths.empty() && path.startsWith(paths.back() + '/'))
            return;
        paths.push_back(path);
    }
};

// ---------------------------------------------------------------------------------------------
// Requirements

struct Token {
    enum class Kind { word, open, close, equals, string } kind;
    QStringView text;
};

bool isWordCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '.' ||
           u == '_';
}

std::optional<std::vector<Token>> tokenize(QStringView text)
{
    std::vector<Token> tokens;
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text[i];
        if (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r') {
            ++i;
        } else if (c == u'[' || c == u']' || c == u'=') {
            tokens.push_back({c == u'['   ? Token::Kind::open
                              : c == u']' ? Token::Kind::close
                                          : Token::Kind::equals,
                              text.sliced(i, 1)});
            ++i;
        } else if (c == u'"') {
            const qsizetype start = ++i;
            while (i < text.size() && text[i] != u'"') {
                if (text[i] == u'\\' || text[i].unicode() < 0x20)
                    return std::nullopt;
                ++i;
            }
            if (i == text.size())
                return std::nullopt;
            tokens.push_back({Token::Kind::string, text.sliced(start, i - start)});
            ++i;
        } else if (isWordCharacter(c)) {
            const qsizetype start = i;
            while (i < text.size() && isWordCharacter(text[i]))
                ++i;
            tokens.push_back({Token::Kind::word, text.sliced(start, i - start)});
        } else {
            return std::nullopt;
        }
    }
    return tokens;
}

bool isCertificateSlot(QStringView slot)
{
    return slot == u"leaf" ||
           (!slot.isEmpty() && std::all_of(slot.begin(), slot.end(), [](QChar c) {
               return c.isDigit() && c.unicode() < 0x80;
           }));
}

// ---------------------------------------------------------------------------------------------
// Validation

struct Sealed {
    QByteArray manifestDigest;
    QString team;
    QString identifier;
    bool ticketPresent = false;
    std::optional<QByteArray> ticket; // nothing when present but unreadable
};

SignatureFailure refuse(Refusal reason, QByteArrayView item = {})
{
    return SignatureFailure {reason, describePath(item), std::nullopt};
}

Expected<Sealed, SignatureFailure> checkOpened(const Descriptor &root, const Layout &layout,
                                               const std::optional<QString> &requiredTeam,
                                               QByteArrayView anchorKey, int depth);

// The outermost nested bundles of a walk, each with the folder the walk saw: checked through that
// descriptor, never reopened by a path whose folders could be swapped for links meanwhile.
struct NestedFolders {
    NestedBundles bundles;
    std::vector<Descriptor> folders;
};

// Compares the tree on disk with the manifest, strictly; records the outermost nested bundles.
std::optional<SignatureFailure> compareWithDisk(int root, const Layout &layout,
                                                const Manifest &manifest, NestedFolders &nested)
{
    std::vector<bool> seen(manifest.entries.size(), false);
    std::vector<char> buffer;
    std::optional<SignatureFailure> failure;
    auto visit = [&](int folder, const QByteArray &name, const QByteArray &path,
                     const struct stat &info) {
        const Manifest::Entry *entry = manifest.find(path);
        if (!entry) {
            failure = refuse(Refusal::fileAdded, path);
            return false;
        }
        seen[size_t(entry - manifest.entries.data())] = true;
        bool same = false;
        if (S_ISDIR(info.st_mode)) {
            same = entry->kind == Manifest::Kind::directory;
            const size_t before = nested.bundles.paths.size();
            nested.bundles.note(name, path);
            if (same && nested.bundles.paths.size() > before) {
                Descriptor opened = openFolderAt(folder, name.constData());
                struct stat now {
                };
                if (!opened.isValid() && errno != ELOOP && errno != ENOTDIR) {
                    failure = refuse(Refusal::unreadableItem, path);
                    return false;
                }
                same = opened.isValid() && ::fstat(opened.get(), &now) == 0 && now.st_ino == info.st_ino &&
                       now.st_dev == info.st_dev;
                nested.folders.push_back(std::move(opened));
            }
        } else if (S_ISLNK(info.st_mode)) {
            if (entry->kind == Manifest::Kind::symbolicLink) {
                const auto target = readLinkAt(folder, name.constData(), info);
                if (!target) {
                    failure = refuse(Refusal::unreadableItem, path);
                    return false;
                }
                same = *target == entry->linkTarget;
            }
        } else if (S_ISREG(info.st_mode)) {
            if (entry->kind == Manifest::Kind::file) {
                const auto facts = hashFileAt(folder, name.constData(), info, buffer);
                if (!facts && facts.error() == ReadProblem::unreadable) {
                    failure = refuse(Refusal::unreadableItem, path);
                    return false;
                }
                same = facts && facts->digest == entry->digest &&
                       facts->executable == entry->executable;
            }
        }
        if (!same)
            failure = refuse(Refusal::fileModified, path);
        return same;
    };
    if (const auto problem = walkTree(root, QByteArray(), layout.signatureFolder, 0, visit)) {
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

Expected<Sealed, SignatureFailure> check(const QByteArray &nativeRoot,
                                         const std::optional<QString> &requiredTeam,
                                         QByteArrayView anchorKey, int depth)
{
    const Descriptor root = openRoot(nativeRoot);
    if (!root.isValid())
        return unexpected(refuse(Refusal::notABundle));
    return checkOpened(root, layoutOf(nativeRoot), requiredTeam, anchorKey, depth);
}

Expected<Sealed, SignatureFailure> checkOpened(const Descriptor &root, const Layout &layout,
                                               const std::optional<QString> &requiredTeam,
                                               QByteArrayView anchorKey, int depth)
{

    // The signature folder: exactly the known files, each a regular file.
    const Descriptor folder = openFolderInside(root.get(), layout.signatureFolder);
    if (!folder.isValid()) {
        if (errno == ENOENT)
            return unexpected(refuse(Refusal::notSigned));
        if (errno == ENOTDIR || errno == ELOOP)
            return unexpected(refuse(Refusal::malformedSignature, layout.signatureFolder));
        return unexpected(refuse(Refusal::unreadableItem, layout.signatureFolder));
    }
    const auto names = listNames(folder.get());
    if (!names)
        return unexpected(refuse(Refusal::unreadableItem, layout.signatureFolder));
    const std::vector<QByteArray> known {certificateName, manifestName, ticketName,
                                         signatureName}; // sorted
    if (!std::includes(known.begin(), known.end(), names->begin(), names->end()) ||
        !std::binary_search(names->begin(), names->end(), QByteArray(certificateName)) ||
        !std::binary_search(names->begin(), names->end(), QByteArray(manifestName)) ||
        !std::binary_search(names->begin(), names->end(), QByteArray(signatureName)))
        return unexpected(refuse(Refusal::malformedSignature, layout.signatureFolder));

    const auto certificateBytes = readSmallFileAt(folder.get(), certificateName, certificateLimit);
    const auto certificate =
        certificateBytes ? Certificate::parse(*certificateBytes) : std::nullopt;
    if (!certificate)
        return unexpected(
            refuse(Refusal::malformedSignature, joinPath(layout.signatureFolder, certificateName)));
    if (!signatureMatches(anchorKey, certificate->signature, certificate->signedBytes()))
        return unexpected(refuse(Refusal::certificateNotFromAnchor));
    if (requiredTeam && certificate->team != *requiredTeam)
        return unexpected(refuse(Refusal::wrongTeam));

    const auto signatureText = readSmallFileAt(folder.get(), signatureName, signatureFileLimit);
    const auto signature =
        signatureText && signatureText->endsWith('\n')
            ? base64Field(QByteArrayView(*signatureText).chopped(1), Crypto::ed25519SignatureSize)
            : std::nullopt;
    if (!signature)
        return unexpected(
            refuse(Refusal::malformedSignature, joinPath(layout.signatureFolder, signatureName)));
    const auto manifestBytes = readSmallFileAt(folder.get(), manifestName, manifestLimit);
    if (!manifestBytes)
        return unexpected(
            refuse(Refusal::malformedSignature, joinPath(layout.signatureFolder, manifestName)));
    // Only signed bytes are parsed.
    if (!signatureMatches(certificate->publicKey, *signature, *manifestBytes))
        return unexpected(refuse(Refusal::manifestSignatureMismatch));
    const auto manifest = Manifest::parse(*manifestBytes);
    if (!manifest || manifest->team != certificate->team)
        return unexpected(
            refuse(Refusal::malformedSignature, joinPath(layout.signatureFolder, manifestName)));
    // The signature folder is never part of what it seals.
    for (const auto &entry : manifest->entries) {
        if (entry.path == layout.signatureFolder ||
            entry.path.startsWith(layout.signatureFolder + '/'))
            return unexpected(refuse(Refusal::malformedSignature,
                                     joinPath(layout.signatureFolder, manifestName)));
    }

    Sealed sealed {Crypto::sha256(*manifestBytes), manifest->team, manifest->identifier, false,
                   std::nullopt};
    if (std::binary_search(names->begin(), names->end(), QByteArray(ticketName))) {
        sealed.ticketPresent = true;
        sealed.ticket = readSmallFileAt(folder.get(), ticketName, ticketLimit);
    }

    if (const auto link = firstLinkOutside(*manifest))
        return unexpected(refuse(Refusal::linkOutsideBundle, *link));

    NestedFolders nested;
    if (auto failure = compareWithDisk(root.get(), layout, *manifest, nested))
        return unexpected(std::move(*failure));

    if (bundleIdentifierAt(root.get(), layout) != manifest->identifier)
        return unexpected(refuse(Refusal::identifierMismatch, layout.infoPlist));

    for (size_t i = 0; i < nested.folders.size(); ++i) {
        const QByteArray &path = nested.bundles.paths[i];
        // Nested code answers to the same team as the bundle around it.
        if (depth >= maximumDepth)
            return unexpected(refuse(Refusal::unreadableItem, path));
#if VANTRY_TEST_HOOKS
        if (beforeNestedCheck)
            beforeNestedCheck(QFile::decodeName(path));
#endif
        const auto inner = checkOpened(nested.folders[i], layoutOf(path), certificate->team, anchorKey, depth + 1);
        if (!inner) {
            const SignatureFailure &cause = inner.error();
            QString item = describePath(path);
            if (!cause.item.isEmpty())
                item += u'/' + cause.item;
            return unexpected(SignatureFailure {Refusal::nestedCodeInvalid, item,
                                                cause.nestedReason.value_or(cause.reason)});
        }
    }
    return sealed;
}

// ---------------------------------------------------------------------------------------------
// Signing

SigningFailure signingFailure(SigningError error, QByteArrayView item = {}, int code = 0)
{
    return SigningFailure {error, describePath(item), code, std::nullopt};
}

Expected<void, SigningFailure> writeNewFileAt(int folder, const char *name, QByteArrayView bytes,
                                              const QByteArray &path)
{
    const Descriptor fd(
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
    if (const auto problem = walkTree(root, QByteArray(), layout.signatureFolder, 0, visit))
        return unexpected(signingFailure(SigningError::unreadableItem, problem->path));
    return nested.paths;
}

Expected<void, SigningFailure> signTree(const QByteArray &nativeRoot, QByteArrayView key,
                                        const Certificate &certificate, NestedCode nested,
                                        int depth)
{
    if (nested == NestedCode::sign) {
        const Descriptor root = openRoot(nativeRoot);
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

} // namespace

// -------------------------------------------------------------------------------------------------
// Identifiers and requirements

bool isTeamIdentifier(QStringView text)
{
    return text.size() == 10 && std::all_of(text.begin(), text.end(), [](QChar c) {
               return (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
           });
}

bool isBundleIdentifier(QStringView text)
{
    return !text.isEmpty() && text.size() <= 255 &&
           std::all_of(text.begin(), text.end(), [](QChar c) {
               return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') ||
                      (c >= u'0' && c <= u'9') || c == u'.' || c == u'-';
           });
}

QString developerIdRequirement()
{
    return developerIdRequirement(QString::fromLatin1(BuildConfig::developerTeamId));
}

QString developerIdRequirement(QStringView team)
{
    return QStringLiteral("anchor apple generic and certificate 1[field.%1] and certificate "
                          "leaf[field.%2] and "
                          "certificate leaf[subject.OU] = \"%3\"")
        .arg(QLatin1String(developerIdIntermediateMarker),
             QLatin1String(developerIdApplicationMarker), team);
}

std::optional<QString> requiredTeam(QStringView requirement)
{
    const auto tokens = tokenize(requirement);
    if (!tokens || tokens->empty())
        return std::nullopt;
    std::optional<QString> team;
    size_t i = 0;
    const auto word = [&](QStringView expected) {
        if (i < tokens->size() && (*tokens)[i].kind == Token::Kind::word &&
            (*tokens)[i].text == expected) {
            ++i;
            return true;
        }
        return false;
    };
    const auto take = [&](Token::Kind kind) -> std::optional<QStringView> {
        if (i < tokens->size() && (*tokens)[i].kind == kind)
            return (*tokens)[i++].text;
        return std::nullopt;
    };
    for (;;) {
        if (word(u"anchor")) {
            // The anchor built into the launcher stands where Apple's root stands.
            if (!word(u"apple") || !word(u"generic"))
                return std::nullopt;
        } else if (word(u"certificate")) {
            const auto slot = take(Token::Kind::word);
            if (!slot || !isCertificateSlot(*slot) || !take(Token::Kind::open))
                return std::nullopt;
            const auto key = take(Token::Kind::word);
            if (!key || !take(Token::Kind::close))
                return std::nullopt;
            if (*key == u"subject.OU") {
                if (*slot != u"leaf" || !take(Token::Kind::equals) || team)
                    return std::nullopt;
                const auto value = take(Token::Kind::string);
                if (!value || !isTeamIdentifier(*value))
                    return std::nullopt;
                team = value->toString();
            } else if (key->startsWith(u"field.")) {
                // Every certificate the anchor issues is a Developer ID Application certificate,
                // so the two Developer ID markers hold; a marker this reader does not know cannot
                // be honoured.
                const QStringView oid = key->sliced(6);
                const bool known =
                    (*slot == u"1" && oid == QLatin1String(developerIdIntermediateMarker)) ||
                    (*slot == u"leaf" && oid == QLatin1String(developerIdApplicationMarker));
                if (!known)
                    return std::nullopt;
            } else {
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
        if (i == tokens->size())
            break;
        if (!word(u"and"))
            return std::nullopt;
    }
    return team;
}

// -------------------------------------------------------------------------------------------------
// Formats

std::optional<Certificate> Certificate::parse(QByteArrayView bytes)
{
    const auto lines = splitLines(bytes);
    if (!lines || lines->size() != 5 || (*lines)[0] != certificateHeader)
        return std::nullopt;
    const auto team = field((*lines)[1], "team");
    const auto developer = field((*lines)[2], "developer");
    const auto key = field((*lines)[3], "key");
    const auto signature = field((*lines)[4], "signature");
    if (!team || !developer || !key || !signature)
        return std::nullopt;
    Certificate certificate;
    const auto teamText = teamField(*team);
    const auto publicKey = base64Field(*key, Crypto::ed25519PublicKeySize);
    const auto signatureBytes = base64Field(*signature, Crypto::ed25519SignatureSize);
    certificate.developer = QString::fromUtf8(*developer);
    if (!teamText || !publicKey || !signatureBytes || !isDeveloperName(certificate.developer) ||
        certificate.developer.toUtf8() != *developer) // invalid UTF-8 does not come back
        return std::nullopt;
    certificate.team = *teamText;
    certificate.publicKey = *publicKey;
    certificate.signature = *signatureBytes;
    if (certificate.bytes() != bytes)
        return std::nullopt;
    return certificate;
}

QByteArray Certificate::signedBytes() const
{
    return QByteArray(certificateHeader) + '\n' + "team " + team.toLatin1() + '\n' + "developer " +
           developer.toUtf8() + '\n' + "key " + publicKey.toBase64() + '\n';
}

QByteArray Certificate::bytes() const
{
    return signedBytes() + "signature " + signature.toBase64() + '\n';
}

QByteArray encodePath(QByteArrayView raw)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    QByteArray text;
    text.reserve(raw.size());
    for (const char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x21 && byte <= 0x7e && byte != '%') {
            text.append(c);
        } else {
            text.append('%');
            text.append(hex[byte >> 4]);
            text.append(hex[byte & 0xf]);
        }
    }
    return text;
}

std::optional<QByteArray> decodePath(QByteArrayView text)
{
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    QByteArray raw;
    raw.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = digit(text[i + 1]);
            const int low = digit(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            const int value = high * 16 + low;
            if (value >= 0x21 && value <= 0x7e && value != '%') // would have been written as itself
                return std::nullopt;
            raw.append(char(value));
            i += 2;
        } else if (byte >= 0x21 && byte <= 0x7e) {
            raw.append(char(byte));
        } else {
            return std::nullopt;
        }
    }
    return raw;
}

std::optional<Manifest> Manifest::parse(QByteArrayView bytes)
{
    const auto lines = splitLines(bytes);
    if (!lines || lines->size() < 3 || (*lines)[0] != manifestHeader)
        return std::nullopt;
    const auto team = field((*lines)[1], "team");
    const auto identifier = field((*lines)[2], "identifier");
    const auto teamText = team ? teamField(*team) : std::nullopt;
    const auto identifierText = identifier ? identifierField(*identifier) : std::nullopt;
    if (!teamText || !identifierText)
        return std::nullopt;
    Manifest manifest;
    manifest.team = *teamText;
    manifest.identifier = *identifierText;
    manifest.entries.reserve(lines->size() - 3);
    for (size_t i = 3; i < lines->size(); ++i) {
        const QList<QByteArray> parts = (*lines)[i].toByteArray().split(' ');
        Entry entry;
        if (parts[0] == "dir" && parts.size() == 2) {
            entry.kind = Kind::directory;
        } else if (parts[0] == "file" && parts.size() == 4 &&
                   (parts[3] == "x" || parts[3] == "-")) {
            entry.kind = Kind::file;
            const auto digest = hexField(parts[2], 32);
            if (!digest)
                return std::nullopt;
            entry.digest = *digest;
            entry.executable = parts[3] == "x";
        } else if (parts[0] == "link" && parts.size() == 3) {
            entry.kind = Kind::symbolicLink;
            auto target = decodePath(parts[2]);
            if (!target || target->isEmpty() || target->contains('\0') ||
                target->size() > pathLimit)
                return std::nullopt;
            entry.linkTarget = std::move(*target);
        } else {
            return std::nullopt;
        }
        auto path = decodePath(parts[1]);
        if (!path || !isRelativePath(*path))
            return std::nullopt;
        entry.path = std::move(*path);
        // Strictly increasing: sorted, and no path twice.
        if (!manifest.entries.empty() && !(manifest.entries.back().path < entry.path))
            return std::nullopt;
        // A tree: every item's folder is listed, as a folder.
        if (const QByteArray parent = parentOf(entry.path); !parent.isEmpty()) {
            const Entry *folder = manifest.find(parent);
            if (!folder || folder->kind != Kind::directory)
                return std::nullopt;
        }
        manifest.entries.push_back(std::move(entry));
    }
    if (manifest.bytes() != bytes)
        return std::nullopt;
    return manifest;
}

QByteArray Manifest::bytes() const
{
    QByteArray text = QByteArray(manifestHeader) + '\n' + "team " + team.toLatin1() + '\n' +
                      "identifier " + identifier.toLatin1() + '\n';
    for (const Entry &entry : entries) {
        switch (entry.kind) {
        case Kind::directory:
            text += "dir " + encodePath(entry.path) + '\n';
            break;
        case Kind::file:
            text += "file " + encodePath(entry.path) + ' ' + entry.digest.toHex() + ' ' +
                    (entry.executable ? 'x' : '-') + '\n';
            break;
        case Kind::symbolicLink:
            text += "link " + encodePath(entry.path) + ' ' + encodePath(entry.linkTarget) + '\n';
            break;
        }
    }
    return text;
}

const Manifest::Entry *Manifest::find(QByteArrayView path) const
{
    const auto found =
        std::lower_bound(entries.begin(), entries.end(), path,
                         [](const Entry &entry, QByteArrayView p) { return entry.path < p; });
    return found != entries.end() && found->path == path ? &*found : nullptr;
}

std::optional<NotarizationTicket> NotarizationTicket::parse(QByteArrayView bytes)
{
    const auto lines = splitLines(bytes);
    if (!lines || lines->size() != 5 || (*lines)[0] != ticketHeader)
        return std::nullopt;
    const auto team = field((*lines)[1], "team");
    const auto identifier = field((*lines)[2], "identifier");
    const auto digest = field((*lines)[3], "manifest");
    const auto signature = field((*lines)[4], "signature");
    if (!team || !identifier || !digest || !signature)
        return std::nullopt;
    const auto teamText = teamField(*team);
    const auto identifierText = identifierField(*identifier);
    const auto digestBytes = hexField(*digest, 32);
    const auto signatureBytes = base64Field(*signature, Crypto::ed25519SignatureSize);
    if (!teamText || !identifierText || !digestBytes || !signatureBytes)
        return std::nullopt;
    NotarizationTicket ticket {*teamText, *identifierText, *digestBytes, *signatureBytes};
    if (ticket.bytes() != bytes)
        return std::nullopt;
    return ticket;
}

QByteArray NotarizationTicket::signedBytes() const
{
    return QByteArray(ticketHeader) + '\n' + "team " + team.toLatin1() + '\n' + "identifier " +
           identifier.toLatin1() + '\n' + "manifest " + manifestDigest.toHex() + '\n';
}

QByteArray NotarizationTicket::bytes() const
{
    return signedBytes() + "signature " + signature.toBase64() + '\n';
}

std::optional<QByteArray> firstLinkOutside(const Manifest &manifest)
{
    const auto staysInside = [&](const Manifest::Entry &link) {
        if (link.linkTarget.startsWith('/'))
            return false;
        // `where` is the real folder reached so far, relative to the bundle; links met on the way
        // are replaced by their targets, so ".." leaves the folder a link led into, as the kernel
        // resolves it.
        QByteArray where = parentOf(link.path);
        std::deque<QByteArray> pending;
        for (const QByteArray &part : link.linkTarget.split('/'))
            pending.push_back(part);
        int hops = 0;
        qsizetype steps = 0;
        while (!pending.empty()) {
            // The kernel gives up on long paths too; a target this long resolves to nothing.
            if (++steps > pathLimit)
                return false;
            const QByteArray part = std::move(pending.front());
            pending.pop_front();
            if (part.isEmpty() || part == ".")
                continue;
            if (part == "..") {
                if (where.isEmpty())
                    return false;
                where.truncate(std::max<qsizetype>(where.lastIndexOf('/'), 0));
                continue;
            }
            const QByteArray path = joinPath(where, part);
            const Manifest::Entry *entry = manifest.find(path);
            if (entry && entry->kind == Manifest::Kind::symbolicLink) {
                if (++hops > maximumLinkHops || entry->linkTarget.startsWith('/'))
                    return false;
                const QList<QByteArray> target = entry->linkTarget.split('/');
                pending.insert(pending.begin(), target.begin(), target.end());
                continue;
            }
            // A folder, a file, or nothing: what follows cannot lead through a link any more,
            // and going on by name alone only ever refuses more, never less.
            where = path;
        }
        return true;
    };
    for (const auto &entry : manifest.entries) {
        if (entry.kind == Manifest::Kind::symbolicLink && !staysInside(entry))
            return entry.path;
    }
    return std::nullopt;
}

// -------------------------------------------------------------------------------------------------
// Validation

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
    const auto sealed = check(nativeBundlePath(bundlePath), team, anchorKey, 0);
    if (!sealed)
        return unexpected(sealed.error());
    return {};
}

Expected<void, NotarizationFailure>
assessNotarization(const QString &bundlePath, QByteArrayView notaryKey, QByteArrayView anchorKey)
{
    const auto sealed =
        check(nativeBundlePath(bundlePath), requiredTeam(developerIdRequirement()), anchorKey, 0);
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

// -------------------------------------------------------------------------------------------------
// Signing

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
    const QByteArray nativeRoot = nativeBundlePath(bundlePath);
    const Descriptor root = openRoot(nativeRoot);
    if (!root.isValid())
        return unexpected(signingFailure(SigningError::notABundle, nativeRoot, errno));
    const Layout layout = layoutOf(nativeRoot);
    const auto identifier = bundleIdentifierAt(root.get(), layout);
    if (!identifier)
        return unexpected(signingFailure(SigningError::missingBundleIdentifier,
                                         nativeRoot + '/' + layout.infoPlist));

    Manifest manifest {team, *identifier, {}};
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
                    signingFailure(SigningError::unreadableItem, nativeRoot + '/' + path, errno);
                return false;
            }
            entry.linkTarget = std::move(*target);
        } else if (S_ISREG(info.st_mode)) {
            const auto facts = hashFileAt(folder, name.constData(), info, buffer);
            if (!facts) {
                failure =
                    signingFailure(SigningError::unreadableItem, nativeRoot + '/' + path, errno);
                return false;
            }
            entry.digest = facts->digest;
            entry.executable = facts->executable;
        } else {
            failure = signingFailure(SigningError::unsupportedItem, nativeRoot + '/' + path);
            return false;
        }
        manifest.entries.push_back(std::move(entry));
        return true;
    };
    if (const auto problem = walkTree(root.get(), QByteArray(), layout.signatureFolder, 0, visit)) {
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

    const QByteArray nativeRoot = nativeBundlePath(bundlePath);
    const Descriptor root = openRoot(nativeRoot);
    if (!root.isValid())
        return unexpected(signingFailure(SigningError::notABundle, nativeRoot, errno));
    const Layout layout = layoutOf(nativeRoot);
    const QByteArray folderPath = nativeRoot + '/' + layout.signatureFolder;
    const Descriptor parent = openFolderInside(root.get(), parentOf(layout.signatureFolder));
    if (!parent.isValid())
        return unexpected(signingFailure(SigningError::notABundle, parentOf(folderPath), errno));
    const QByteArray folderName = lastComponent(layout.signatureFolder);
    if (::mkdirat(parent.get(), folderName.constData(), 0755) != 0 && errno != EEXIST)
        return unexpected(signingFailure(SigningError::writeFailed, folderPath, errno));
    const Descriptor folder = openFolderAt(parent.get(), folderName.constData());
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

namespace {

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

Expected<NotarizationTicket, SigningFailure> makeTicket(const QString &bundlePath,
                                                        QByteArrayView notaryPrivateKeyPem)
{
    const QByteArray nativeRoot = nativeBundlePath(bundlePath);
    const Descriptor root = openRoot(nativeRoot);
    if (!root.isValid())
        return unexpected(signingFailure(SigningError::notABundle, nativeRoot, errno));
    const Layout layout = layoutOf(nativeRoot);
    const Descriptor folder = openFolderInside(root.get(), layout.signatureFolder);
    const auto bytes = folder.isValid() ? readSmallFileAt(folder.get(), manifestName, manifestLimit)
                                        : std::nullopt;
    const auto manifest = bytes ? Manifest::parse(*bytes) : std::nullopt;
    if (!manifest) {
        SigningFailure failure = signingFailure(SigningError::signatureInvalid, nativeRoot);
        failure.signature =
            refuse(folder.isValid() ? Refusal::malformedSignature : Refusal::notSigned);
        return unexpected(std::move(failure));
    }
    return signedTicket({manifest->team, manifest->identifier, Crypto::sha256(*bytes), {}},
                        notaryPrivateKeyPem);
}

Expected<void, SigningFailure> stapleTicket(const QString &bundlePath,
                                            const NotarizationTicket &ticket)
{
    const QByteArray nativeRoot = nativeBundlePath(bundlePath);
    const Descriptor root = openRoot(nativeRoot);
    if (!root.isValid())
        return unexpected(signingFailure(SigningError::notABundle, nativeRoot, errno));
    const Layout layout = layoutOf(nativeRoot);
    const QByteArray folderPath = nativeRoot + '/' + layout.signatureFolder;
    const Descriptor folder = openFolderInside(root.get(), layout.signatureFolder);
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
    const auto sealed = check(nativeBundlePath(bundlePath), std::nullopt, anchorKey, 0);
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

#if VANTRY_TEST_HOOKS
void setBeforeNestedCheck(std::function<void(const QString &)> hook)
{
    beforeNestedCheck = std::move(hook);
}
#endif

} // namespace vantry::CodeSignature

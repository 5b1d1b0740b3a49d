// The formats of the code signature: certificate, manifest, notarization ticket and the path text
// they share. Each parser accepts exactly the canonical bytes its writer gives, nothing else.
#include <platform/CodeSignatureDetail.h>

#include <platform/Crypto.h>

#include <QList>

#include <algorithm>
#include <deque>

namespace vantry::CodeSignature {

using namespace detail;

namespace {

constexpr char certificateHeader[] = "vantry-developer-certificate 1";
constexpr char manifestHeader[] = "vantry-manifest 1";
constexpr char ticketHeader[] = "vantry-notarization-ticket 1";

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

} // namespace

namespace detail {

std::optional<QByteArray> base64Field(QByteArrayView text, qsizetype size)
{
    auto decoded = Crypto::decodeBase64Strict(QString::fromLatin1(text));
    // Re-encoding rules out unused low bits that are not zero: one value, one text.
    if (!decoded || decoded->size() != size || decoded->toBase64() != text)
        return std::nullopt;
    return decoded;
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

bool signatureMatches(QByteArrayView key, QByteArrayView signature, QByteArrayView message)
{
    return Crypto::ed25519Verify(key, signature, message) == Crypto::Ed25519Check::valid;
}

} // namespace detail

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

} // namespace vantry::CodeSignature

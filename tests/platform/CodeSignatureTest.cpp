#include <platform/CodeSignature.h>
#include <platform/CodesignVerifier.h>
#include <platform/Crypto.h>
#include <platform/FileSystem.h>

#include <support/BundleBuilder.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace vantry;
using namespace vantry::CodeSignature;
using test::BundleBuilder;
namespace Dev = test::DevelopmentSigning;

namespace vantry::CodeSignature {
// Readable failures in QCOMPARE messages.
char *toString(const SignatureFailure &failure)
{
    return qstrdup(QStringLiteral("%1 at '%2' nested %3")
                       .arg(QLatin1String(identifier(failure.reason)), failure.item,
                            failure.nestedReason ? QLatin1String(identifier(*failure.nestedReason))
                                                 : QLatin1String("-"))
                       .toUtf8()
                       .constData());
}
} // namespace vantry::CodeSignature

namespace {

// A change made to a freshly built, signed and notarized Game.app; `scratch` is a folder beside it.
using Mutation = std::function<bool(const QString &bundle, const QString &scratch)>;

QString inContents(const QString &bundle, const QString &path)
{
    return bundle + QStringLiteral("/Contents/") + path;
}

bool put(const QString &path, const QByteArray &bytes, mode_t mode = 0644)
{
    return FileSystem::makeDirectories(QFileInfo(path).path()) &&
           FileSystem::writeFileAtomically(path, bytes, mode);
}

// Names as raw bytes: Qt would not keep bytes that are not UTF-8.
bool putRaw(const QByteArray &path, const QByteArray &bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const bool written =
        fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return fd >= 0 && ::close(fd) == 0 && written;
}

bool link(const QByteArray &target, const QString &path)
{
    return ::symlink(target.constData(), QFile::encodeName(path).constData()) == 0;
}

bool flipLastByte(const QString &path)
{
    auto bytes = FileSystem::readFile(path);
    if (!bytes || bytes->isEmpty())
        return false;
    const auto mode = *FileSystem::permissions(path);
    (*bytes)[bytes->size() - 1] = char((*bytes)[bytes->size() - 1] ^ 0x01);
    return bool(FileSystem::writeFileAtomically(path, *bytes, mode));
}

bool resign(const QString &bundle, NestedCode nested = NestedCode::sign,
            QByteArray key = Dev::developerKey(),
            const Certificate &certificate = Dev::certificate())
{
    return bool(signBundle(bundle, key, certificate, nested));
}

// A developer who signs whatever is on disk, without the signing side's own checks.
bool forge(const QString &bundle, const std::function<void(Manifest &)> &edit = {})
{
    auto manifest = scanBundle(bundle, Dev::certificate().team);
    if (!manifest)
        return false;
    if (edit)
        edit(*manifest);
    return bool(writeSignature(bundle, *manifest, Dev::developerKey(), Dev::certificate()));
}

Certificate certificateFor(const QString &team, const QByteArray &anchorKey,
                           const Crypto::Ed25519KeyPair &developer)
{
    return *makeCertificate(anchorKey, team, QStringLiteral("Someone Else"), developer.publicKey);
}

int spctl(const QString &bundle)
{
    QProcess process;
    process.start(QStringLiteral(VANTRY_SPCTL), {u"--assess"_qs, u"--type"_qs, u"exec"_qs, bundle});
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

std::optional<SignatureFailure> refusal(Refusal reason, QString item = {},
                                        std::optional<Refusal> nested = {})
{
    return SignatureFailure {reason, std::move(item), nested};
}

const QString executable = u"MacOS/Game"_qs;
const QString engine = u"Contents/Frameworks/Engine.framework"_qs;

Manifest manifestOf(std::vector<Manifest::Entry> entries)
{
    std::sort(entries.begin(), entries.end(),
              [](const auto &a, const auto &b) { return a.path < b.path; });
    return Manifest {u"ZQ8WN2KD4T"_qs, u"com.example.game"_qs, std::move(entries)};
}

Manifest::Entry folderEntry(QByteArray path)
{
    return {std::move(path), Manifest::Kind::directory, {}, false, {}};
}
Manifest::Entry fileEntry(QByteArray path)
{
    return {std::move(path), Manifest::Kind::file, QByteArray(32, '\xab'), false, {}};
}
Manifest::Entry linkEntry(QByteArray path, QByteArray target)
{
    return {std::move(path), Manifest::Kind::symbolicLink, {}, false, std::move(target)};
}

} // namespace

Q_DECLARE_METATYPE(Mutation)
Q_DECLARE_METATYPE(std::optional<SignatureFailure>)
Q_DECLARE_METATYPE(std::optional<NotarizationRefusal>)
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(QList<Manifest::Entry>)

namespace {
void addRow(const char *name, Mutation mutate, std::optional<SignatureFailure> expected,
            std::optional<NotarizationRefusal> notarization)
{
    QTest::newRow(name) << std::move(mutate) << std::move(expected) << notarization;
}
} // namespace

class CodeSignatureTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void requirementsAreReadForTheirTeamClause_data()
    {
        QTest::addColumn<QString>("requirement");
        QTest::addColumn<std::optional<QString>>("team");
        const auto none = std::optional<QString>();
        const QString clause = u"certificate leaf[subject.OU] = \"ZQ8WN2KD4T\""_qs;
        QTest::newRow("the production text")
            << developerIdRequirement() << std::optional(u"ZQ8WN2KD4T"_qs);
        QTest::newRow("another team")
            << developerIdRequirement(u"AB12CD34EF") << std::optional(u"AB12CD34EF"_qs);
        QTest::newRow("the team clause alone") << clause << std::optional(u"ZQ8WN2KD4T"_qs);
        QTest::newRow("other spacing")
            << u" anchor  apple generic\nand certificate leaf [ subject.OU ]=\"ZQ8WN2KD4T\" "_qs
            << std::optional(u"ZQ8WN2KD4T"_qs);
        QTest::newRow("empty") << QString() << none;
        QTest::newRow("no team clause") << u"anchor apple generic"_qs << none;
        QTest::newRow("two team clauses") << clause + u" and "_qs + clause << none;
        QTest::newRow("or") << u"anchor apple generic or "_qs + clause << none;
        QTest::newRow("trailing and") << clause + u" and"_qs << none;
        QTest::newRow("unknown clause")
            << u"identifier \"com.example.game\" and "_qs + clause << none;
        QTest::newRow("unknown field") << u"certificate leaf[subject.CN] and "_qs + clause << none;
        QTest::newRow("unknown marker")
            << u"certificate leaf[field.1.2.3] and "_qs + clause << none;
        QTest::newRow("marker on the wrong certificate")
            << u"certificate 2[field.1.2.840.113635.100.6.2.6] and "_qs + clause << none;
        QTest::newRow("team on the intermediate")
            << u"certificate 1[subject.OU] = \"ZQ8WN2KD4T\""_qs << none;
        QTest::newRow("unterminated text")
            << u"certificate leaf[subject.OU] = \"ZQ8WN2KD4T"_qs << none;
        QTest::newRow("not a team identifier")
            << u"certificate leaf[subject.OU] = \"zq8wn2kd4t\""_qs << none;
        QTest::newRow("apple anchor only") << u"anchor apple and "_qs + clause << none;
    }

    void requirementsAreReadForTheirTeamClause()
    {
        QFETCH(QString, requirement);
        QFETCH(std::optional<QString>, team);
        QCOMPARE(requiredTeam(requirement), team);
    }

    void theDeveloperIdRequirementIsTheFixedText()
    {
        const QString text = developerIdRequirement();
        QCOMPARE(text.size(), 172);
        QVERIFY(text.startsWith(
            u"anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] and "
            u"certificate leaf[field.1.2.840.113635.100.6.1.13] and certificate leaf[subject.OU] "
            u"= "));
        QVERIFY(text.endsWith(u"\"ZQ8WN2KD4T\""));
    }

    void certificatesAreReadExactly()
    {
        const auto developer = *Crypto::generateEd25519KeyPair();
        const auto certificate = makeCertificate(Dev::anchorKey(), u"ZQ8WN2KD4T"_qs,
                                                 u"Zoë Studio"_qs, developer.publicKey);
        QVERIFY(certificate);
        const QByteArray bytes = certificate->bytes();
        QCOMPARE(Certificate::parse(bytes), std::optional(*certificate));
        QCOMPARE(Crypto::ed25519Verify(*Crypto::ed25519PublicKey(Dev::anchorKey()),
                                       certificate->signature, certificate->signedBytes()),
                 Crypto::Ed25519Check::valid);

        const QByteArray key = developer.publicKey.toBase64();
        // The last character of a 32-byte key carries two unused low bits: set one of them.
        const QByteArray alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        QByteArray lastBitSet = key;
        lastBitSet[42] = alphabet[alphabet.indexOf(key[42]) ^ 1];
        const auto variants = {
            QByteArray(bytes).replace("\n", "\r\n"),
            bytes.chopped(1),
            bytes + "\n",
            QByteArray(bytes).replace("team ZQ8WN2KD4T", "team zq8wn2kd4t"),
            QByteArray(bytes).replace("team ZQ8WN2KD4T", "team ZQ8WN2KD4"),
            QByteArray(bytes).replace("team ", "team  "),
            QByteArray(bytes).replace("developer Zo", "developer  Zo"),
            QByteArray(bytes).replace("Zoë", "Zo\xff"),
            QByteArray(bytes).replace("Zoë", "Zo\t"),
            QByteArray(bytes).replace("certificate 1", "certificate 2"),
            QByteArray(bytes).replace(key, lastBitSet),
            QByteArray(bytes).replace(key, developer.publicKey.left(31).toBase64()),
            bytes.left(bytes.indexOf("signature ")),
            bytes + "extra line\n",
        };
        for (const QByteArray &variant : variants) {
            QVERIFY2(variant != bytes, variant.constData());
            QVERIFY2(!Certificate::parse(variant), variant.constData());
        }
        QVERIFY(!makeCertificate(Dev::anchorKey(), u"ZQ8WN2KD4"_qs, u"X"_qs, developer.publicKey));
        QVERIFY(
            !makeCertificate(Dev::anchorKey(), u"ZQ8WN2KD4T"_qs, u" X"_qs, developer.publicKey));
        QVERIFY(
            !makeCertificate(developer.publicKey, u"ZQ8WN2KD4T"_qs, u"X"_qs, developer.publicKey));
    }

    void manifestsAreReadExactly()
    {
        const Manifest manifest = manifestOf({folderEntry("a"), fileEntry("a/b"),
                                              linkEntry("a/c", "../x y"), fileEntry("z%\n\xff")});
        const QByteArray bytes = manifest.bytes();
        QCOMPARE(bytes, QByteArray("vantry-manifest 1\nteam ZQ8WN2KD4T\nidentifier "
                                   "com.example.game\ndir a\nfile a/b ") +
                            QByteArray(32, '\xab').toHex() +
                            " -\nlink a/c ../x%20y\nfile z%25%0A%FF " +
                            QByteArray(32, '\xab').toHex() + " -\n");
        QCOMPARE(Manifest::parse(bytes), manifest);

        const QByteArray digest = QByteArray(32, '\xab').toHex();
        const QByteArray entry = "file a/b " + digest + " -\n";
        const auto with = [&](const QByteArray &replacement) {
            return QByteArray(bytes).replace(entry, replacement);
        };
        QVERIFY(Manifest::parse(with(""))); // without an entry, still a good manifest
        const auto variants = {
            with(entry + entry), // a path twice
            QByteArray(bytes).replace(entry + "link a/c ../x%20y\n",
                                      "link a/c ../x%20y\n" + entry), // unsorted
            with("file a/../b " + digest + " -\n"),
            with("file a/./b " + digest + " -\n"),
            with("file a//b " + digest + " -\n"),
            with("file a/b/ " + digest + " -\n"),
            with("file /a/b " + digest + " -\n"),
            with("file a%2Fb " + digest + " -\n"),
            with("file a/b%00 " + digest + " -\n"),
            with("file a/%c3 " + digest + " -\n"),
            with("file a/\xc3\xa9 " + digest + " -\n"),
            with("file a/b " + digest.toUpper() + " -\n"),
            with("file a/b " + digest.left(62) + " -\n"),
            with("file a/b " + digest + " X\n"),
            with("file a/b " + digest + "  -\n"),
            with("pipe a/b\n"),
            with("link a/b \n"),
            with(entry + "file a/b/c " + digest + " -\n"), // below a file
            with(entry + "file b/c " + digest + " -\n"),   // below nothing listed
            QByteArray(bytes).replace("identifier com.example.game", "identifier com.example_game"),
            QByteArray(bytes).replace("vantry-manifest 1", "vantry-manifest 2"),
            QByteArray(bytes).replace("dir a\n", "dir a\n\n"),
            bytes.chopped(1),
        };
        for (const QByteArray &variant : variants) {
            QVERIFY2(variant != bytes, variant.constData());
            QVERIFY2(!Manifest::parse(variant), variant.constData());
        }
    }

    void pathsAreTextForEveryByte()
    {
        QByteArray every;
        for (int byte = 1; byte < 256; ++byte)
            every.append(char(byte));
        const QByteArray text = encodePath(every);
        QVERIFY(std::all_of(text.begin(), text.end(), [](char c) { return c > 0x20 && c < 0x7f; }));
        QCOMPARE(decodePath(text), every);
        QCOMPARE(encodePath("a b/%\n\xc3\xa9"), QByteArray("a%20b/%25%0A%C3%A9"));
        for (const QByteArray &bad :
             {QByteArray("%2"), QByteArray("%41"), QByteArray("%e9"), QByteArray("a b")})
            QVERIFY2(!decodePath(bad), bad.constData());
    }

    void linksAreResolvedAsTheKernelWould_data()
    {
        QTest::addColumn<QList<Manifest::Entry>>("entries");
        QTest::addColumn<bool>("inside");
        const QList<Manifest::Entry> tree {folderEntry("x"), folderEntry("x/y"),
                                           fileEntry("x/y/f")};
        QTest::newRow("to a file beside") << (tree + QList {linkEntry("x/l", "y/f")}) << true;
        QTest::newRow("up and down again")
            << (tree + QList {linkEntry("x/y/l", "../../x/y/f")}) << true;
        QTest::newRow("to the bundle itself") << (tree + QList {linkEntry("x/l", "..")}) << true;
        QTest::newRow("to nothing inside")
            << (tree + QList {linkEntry("x/l", "missing/./deeper")}) << true;
        QTest::newRow("one level too far") << (tree + QList {linkEntry("x/l", "../../f")}) << false;
        QTest::newRow("absolute") << (tree + QList {linkEntry("x/l", "/x/y/f")}) << false;
        QTest::newRow("through an absolute link")
            << (tree + QList {linkEntry("a", "/tmp"), linkEntry("b", "a/..")}) << false;
        // Lexically p/q/r/../../.. is the bundle; through the link p/q/r -> ../../s it is above it.
        QTest::newRow("out through a link that leads up")
            << QList {folderEntry("p"), folderEntry("p/q"), linkEntry("p/q/r", "../../s"),
                      folderEntry("s"), linkEntry("t", "p/q/r/../../..")}
            << false;
        QTest::newRow("through a link that leads down")
            << (tree + QList {linkEntry("d", "x/y"), linkEntry("e", "d/../y/f")}) << true;
        QTest::newRow("a loop") << QList {linkEntry("a", "b"), linkEntry("b", "a")} << false;
    }

    void linksAreResolvedAsTheKernelWould()
    {
        QFETCH(QList<Manifest::Entry>, entries);
        QFETCH(bool, inside);
        const Manifest manifest = manifestOf({entries.begin(), entries.end()});
        QVERIFY(Manifest::parse(manifest.bytes())); // a well-formed tree
        QCOMPARE(!firstLinkOutside(manifest).has_value(), inside);
    }

    void validationMatrix_data()
    {
        QTest::addColumn<Mutation>("mutate");
        QTest::addColumn<std::optional<SignatureFailure>>("expected");
        QTest::addColumn<std::optional<NotarizationRefusal>>("notarization");
        const auto fine = std::optional<SignatureFailure>();
        const auto noRefusal = std::optional<NotarizationRefusal>();
        const auto signatureOnly = std::optional(NotarizationRefusal::signatureInvalid);
        const auto noTicket = std::optional(NotarizationRefusal::noTicket);
        const auto nothing = [](const QString &, const QString &) { return true; };

        addRow("valid", nothing, fine, noRefusal);
        addRow(
            "unsigned",
            [](const QString &b, const QString &) {
                return QDir(inContents(b, u"_CodeSignature"_qs)).removeRecursively();
            },
            refusal(Refusal::notSigned), signatureOnly);
        addRow(
            "another team's valid certificate",
            [](const QString &b, const QString &) {
                const auto other = *Crypto::generateEd25519KeyPair();
                return resign(b, NestedCode::sign, other.privateKeyPem,
                              certificateFor(u"AB12CD34EF"_qs, Dev::anchorKey(), other));
            },
            refusal(Refusal::wrongTeam), signatureOnly);
        addRow(
            "a certificate not from the anchor",
            [](const QString &b, const QString &) {
                const auto anchor = *Crypto::generateEd25519KeyPair();
                const auto other = *Crypto::generateEd25519KeyPair();
                return resign(b, NestedCode::sign, other.privateKeyPem,
                              certificateFor(u"ZQ8WN2KD4T"_qs, anchor.privateKeyPem, other));
            },
            refusal(Refusal::certificateNotFromAnchor), signatureOnly);
        addRow(
            "one byte changed",
            [](const QString &b, const QString &) {
                return flipLastByte(inContents(b, executable));
            },
            refusal(Refusal::fileModified, u"Contents/MacOS/Game"_qs), signatureOnly);
        addRow(
            "a file added",
            [](const QString &b, const QString &) {
                return put(inContents(b, u"Resources/extra.txt"_qs), "more");
            },
            refusal(Refusal::fileAdded, u"Contents/Resources/extra.txt"_qs), signatureOnly);
        addRow(
            "an empty folder added",
            [](const QString &b, const QString &) {
                return QDir().mkpath(inContents(b, u"Plugins"_qs));
            },
            refusal(Refusal::fileAdded, u"Contents/Plugins"_qs), signatureOnly);
        addRow(
            "a file removed",
            [](const QString &b, const QString &) {
                return QFile::remove(inContents(b, u"Resources/readme.txt"_qs));
            },
            refusal(Refusal::fileMissing, u"Contents/Resources/readme.txt"_qs), signatureOnly);
        addRow(
            "the nested framework modified",
            [](const QString &b, const QString &) {
                return flipLastByte(b + u'/' + engine + u"/Engine"_qs);
            },
            refusal(Refusal::fileModified, engine + u"/Engine"_qs), signatureOnly);
        addRow(
            "the nested framework modified, the bundle sealed again",
            [](const QString &b, const QString &) {
                return flipLastByte(b + u'/' + engine + u"/Engine"_qs) &&
                       resign(b, NestedCode::keepAsIs);
            },
            refusal(Refusal::nestedCodeInvalid, engine + u"/Engine"_qs, Refusal::fileModified),
            signatureOnly);
        addRow(
            "the nested framework unsigned, the bundle sealed again",
            [](const QString &b, const QString &) {
                return QDir(b + u'/' + engine + u"/_CodeSignature"_qs).removeRecursively() &&
                       resign(b, NestedCode::keepAsIs);
            },
            refusal(Refusal::nestedCodeInvalid, engine, Refusal::notSigned), signatureOnly);
        addRow(
            "the nested framework signed by another team",
            [](const QString &b, const QString &) {
                const auto other = *Crypto::generateEd25519KeyPair();
                return resign(b + u'/' + engine, NestedCode::sign, other.privateKeyPem,
                              certificateFor(u"AB12CD34EF"_qs, Dev::anchorKey(), other)) &&
                       resign(b, NestedCode::keepAsIs);
            },
            refusal(Refusal::nestedCodeInvalid, engine, Refusal::wrongTeam), signatureOnly);
        addRow(
            "a signed link out of the bundle",
            [](const QString &b, const QString &) {
                return link("../../../outside", inContents(b, u"Resources/escape"_qs)) && forge(b);
            },
            refusal(Refusal::linkOutsideBundle, u"Contents/Resources/escape"_qs), signatureOnly);
        addRow(
            "a signed absolute link",
            [](const QString &b, const QString &) {
                return link("/bin/sh", inContents(b, u"MacOS/shell"_qs)) && forge(b);
            },
            refusal(Refusal::linkOutsideBundle, u"Contents/MacOS/shell"_qs), signatureOnly);
        addRow(
            "signed links inside the bundle",
            [](const QString &b, const QString &) {
                return link("../MacOS/Game", inContents(b, u"Resources/game"_qs)) &&
                       link("Frameworks/Engine.framework", inContents(b, u"Current"_qs)) &&
                       resign(b) && notarize(b, Dev::notaryKey());
            },
            fine, noRefusal);
        addRow(
            "a link added",
            [](const QString &b, const QString &) {
                return link("readme.txt", inContents(b, u"Resources/alias"_qs));
            },
            refusal(Refusal::fileAdded, u"Contents/Resources/alias"_qs), signatureOnly);
        addRow(
            "a file replaced by a link",
            [](const QString &b, const QString &) {
                const QString readme = inContents(b, u"Resources/readme.txt"_qs);
                return QFile::remove(readme) && link("../Info.plist", readme);
            },
            refusal(Refusal::fileModified, u"Contents/Resources/readme.txt"_qs), signatureOnly);
        addRow(
            "a file replaced by a folder",
            [](const QString &b, const QString &) {
                const QString readme = inContents(b, u"Resources/readme.txt"_qs);
                return QFile::remove(readme) && QDir().mkdir(readme);
            },
            refusal(Refusal::fileModified, u"Contents/Resources/readme.txt"_qs), signatureOnly);
        addRow(
            "the executable bit cleared",
            [](const QString &b, const QString &) {
                return bool(FileSystem::setPermissions(inContents(b, executable), 0644));
            },
            refusal(Refusal::fileModified, u"Contents/MacOS/Game"_qs), signatureOnly);
        addRow(
            "an executable bit set",
            [](const QString &b, const QString &) {
                return bool(FileSystem::setPermissions(inContents(b, u"Info.plist"_qs), 0645));
            },
            refusal(Refusal::fileModified, u"Contents/Info.plist"_qs), signatureOnly);
        addRow(
            "the manifest edited",
            [](const QString &b, const QString &) {
                const QString path = inContents(b, u"_CodeSignature/manifest"_qs);
                return put(path, FileSystem::readFile(path)->replace("dir Contents/MacOS\n", ""));
            },
            refusal(Refusal::manifestSignatureMismatch), signatureOnly);
        addRow(
            "a stray file among the signature files",
            [](const QString &b, const QString &) {
                return put(inContents(b, u"_CodeSignature/notes"_qs), "hidden");
            },
            refusal(Refusal::malformedSignature, u"Contents/_CodeSignature"_qs), signatureOnly);
        addRow(
            "the signature folder is a link",
            [](const QString &b, const QString &s) {
                return QFile::rename(inContents(b, u"_CodeSignature"_qs), s + u"/sig"_qs) &&
                       link(QFile::encodeName(s + u"/sig"_qs), inContents(b, u"_CodeSignature"_qs));
            },
            refusal(Refusal::malformedSignature, u"Contents/_CodeSignature"_qs), signatureOnly);
        addRow(
            "a certificate with one more line",
            [](const QString &b, const QString &) {
                const QString path = inContents(b, u"_CodeSignature/certificate"_qs);
                return put(path, *FileSystem::readFile(path) + "x\n");
            },
            refusal(Refusal::malformedSignature, u"Contents/_CodeSignature/certificate"_qs),
            signatureOnly);
        addRow(
            "an identifier Info.plist does not name",
            [](const QString &b, const QString &) {
                return forge(b, [](Manifest &m) { m.identifier = u"com.vantry.test.other"_qs; });
            },
            refusal(Refusal::identifierMismatch, u"Contents/Info.plist"_qs), signatureOnly);

        // The notarization ticket.
        addRow(
            "no ticket",
            [](const QString &b, const QString &) {
                return QFile::remove(inContents(b, u"_CodeSignature/notarization-ticket"_qs));
            },
            fine, noTicket);
        addRow(
            "signed again, the old ticket goes",
            [](const QString &b, const QString &) { return resign(b); }, fine, noTicket);
        addRow(
            "the ticket of another bundle",
            [](const QString &b, const QString &s) {
                return copyTicket(BundleBuilder(u"Other"_qs).build(s), b);
            },
            fine, std::optional(NotarizationRefusal::ticketForOtherCode));
        addRow(
            "the ticket of another build of the same game",
            [](const QString &b, const QString &s) {
                return copyTicket(BundleBuilder().setReadme("other text\n").build(s), b);
            },
            fine, std::optional(NotarizationRefusal::ticketForOtherCode));
        addRow(
            "a ticket not from the notary",
            [](const QString &b, const QString &) {
                const auto ticket = makeTicket(b, Crypto::generateEd25519KeyPair()->privateKeyPem);
                return ticket && stapleTicket(b, *ticket);
            },
            fine, std::optional(NotarizationRefusal::ticketNotFromNotary));
        addRow(
            "a notary's ticket naming another identifier",
            [](const QString &b, const QString &) {
                return restapled(
                    b, [](NotarizationTicket &t) { t.identifier = u"com.vantry.test.other"_qs; });
            },
            fine, std::optional(NotarizationRefusal::ticketForOtherCode));
        addRow(
            "a notary's ticket naming another team",
            [](const QString &b, const QString &) {
                return restapled(b, [](NotarizationTicket &t) { t.team = u"AB12CD34EF"_qs; });
            },
            fine, std::optional(NotarizationRefusal::ticketForOtherCode));
        addRow(
            "a malformed ticket",
            [](const QString &b, const QString &) {
                const QString path = inContents(b, u"_CodeSignature/notarization-ticket"_qs);
                return put(path, FileSystem::readFile(path)->replace("team ", "team  "));
            },
            fine, std::optional(NotarizationRefusal::malformedTicket));
    }

    void validationMatrix()
    {
        QFETCH(Mutation, mutate);
        QFETCH(std::optional<SignatureFailure>, expected);
        QFETCH(std::optional<NotarizationRefusal>, notarization);
        QTemporaryDir folder;
        const auto bundle = BundleBuilder().build(folder.filePath(u"app"_qs));
        QVERIFY2(bundle, qPrintable(bundle.error()));
        QVERIFY(QDir().mkpath(folder.filePath(u"scratch"_qs)));
        QVERIFY(mutate(*bundle, folder.filePath(u"scratch"_qs)));

        const auto validated = validate(*bundle, developerIdRequirement());
        QCOMPARE(validated.has_value(), !expected);
        if (expected)
            QCOMPARE(validated.error(), *expected);
        QCOMPARE(CodesignVerifier::signatureValid(*bundle), !expected);

        const auto assessed = assessNotarization(*bundle);
        QCOMPARE(assessed.has_value(), !notarization);
        if (notarization)
            QCOMPARE(int(assessed.error().reason), int(*notarization));
        if (expected)
            QCOMPARE(*assessed.error().signature, *expected);
        QCOMPARE(spctl(*bundle), notarization ? 3 : 0);
    }

    void theRequirementDecides()
    {
        QTemporaryDir folder;
        const auto bundle = BundleBuilder().build(folder.path());
        QVERIFY(bundle);
        QVERIFY(validate(*bundle, u"certificate leaf[subject.OU] = \"ZQ8WN2KD4T\""_qs));
        QCOMPARE(validate(*bundle, developerIdRequirement(u"AB12CD34EF")).error().reason,
                 Refusal::wrongTeam);
        for (const QString &unreadable : {QString(), u"anchor apple generic"_qs,
                                          u"certificate leaf[subject.OU] = ZQ8WN2KD4T"_qs})
            QCOMPARE(validate(*bundle, unreadable).error().reason, Refusal::unreadableRequirement);
        QCOMPARE(
            validate(folder.filePath(u"Missing.app"_qs), developerIdRequirement()).error().reason,
            Refusal::notABundle);
        QCOMPARE(spctl(folder.filePath(u"Missing.app"_qs)), 3);
    }

    void nestedCodeIsCheckedWhereTheWalkFoundIt()
    {
        // Between the walk and the nested check, the frameworks folder is moved away and a link
        // to a pristine copy takes its place; then the moved framework is changed. The verdict
        // must be about the folder the walk saw, not about whatever the path leads to now.
        QTemporaryDir folder;
        const auto bundle = BundleBuilder().build(folder.filePath(u"app"_qs));
        const auto pristine = BundleBuilder().build(folder.filePath(u"pristine"_qs));
        QVERIFY(bundle && pristine);
        const QString frameworks = inContents(*bundle, u"Frameworks"_qs);
        bool swapped = false;
        setBeforeNestedCheck([&](const QString &path) {
            if (path != u"Contents/Frameworks/Engine.framework" || swapped)
                return;
            swapped = QFile::rename(frameworks, frameworks + u".moved"_qs) &&
                      QFile::link(inContents(*pristine, u"Frameworks"_qs), frameworks) &&
                      put(frameworks + u".moved/Engine.framework/Engine"_qs, "changed", 0755);
        });
        const auto resetHook = qScopeGuard([] { setBeforeNestedCheck({}); });
        const auto validated = validate(*bundle, developerIdRequirement());
        QVERIFY(swapped);
        QVERIFY(!validated);
        QCOMPARE(validated.error().reason, Refusal::nestedCodeInvalid);
    }

    void anchorAndNotaryAreParameters()
    {
        const auto anchor = *Crypto::generateEd25519KeyPair();
        const auto notary = *Crypto::generateEd25519KeyPair();
        const auto developer = *Crypto::generateEd25519KeyPair();
        QTemporaryDir folder;
        const auto bundle =
            BundleBuilder()
                .setDeveloper(developer.privateKeyPem,
                              certificateFor(u"ZQ8WN2KD4T"_qs, anchor.privateKeyPem, developer))
                .setAnchorPublicKey(anchor.publicKey)
                .setNotaryKey(notary.privateKeyPem)
                .build(folder.path());
        QVERIFY2(bundle, qPrintable(bundle.error()));
        QVERIFY(validate(*bundle, developerIdRequirement(), anchor.publicKey));
        QVERIFY(assessNotarization(*bundle, notary.publicKey, anchor.publicKey));
        QCOMPARE(assessNotarization(*bundle, builtInNotaryKey(), anchor.publicKey).error().reason,
                 NotarizationRefusal::ticketNotFromNotary);
        QCOMPARE(validate(*bundle, developerIdRequirement()).error().reason,
                 Refusal::certificateNotFromAnchor);
        QCOMPARE(spctl(*bundle), 3);
        // The notary checks under its anchor before it staples.
        QCOMPARE(notarize(*bundle, notary.privateKeyPem).error().error,
                 SigningError::signatureInvalid);
    }

    void namesAreBytesAndFilesAreReadWhole()
    {
        QTemporaryDir folder;
        const auto bundle =
            BundleBuilder().setSigning(BundleBuilder::Signing::none).build(folder.path());
        QVERIFY(bundle);
        const QString resources = inContents(*bundle, u"Resources/"_qs);
        const QByteArray oddNames[] = {"with space", "new\nline", "per%cent", "latin \xe9\xff",
                                       "tab\there"};
        for (const QByteArray &name : oddNames)
            QVERIFY(putRaw(QFile::encodeName(resources) + name, name));
        // Larger than one piece of the hash, so that every piece counts.
        QByteArray large(1024 * 1024 + 7, Qt::Uninitialized);
        for (qsizetype i = 0; i < large.size(); ++i)
            large[i] = char(i * 7919 % 251);
        QVERIFY(put(resources + u"large.bin"_qs, large));
        // Qt cannot remove what it cannot name: the odd names go by their bytes.
        const auto removeOddNames = qScopeGuard([&] {
            for (const QByteArray &name : oddNames)
                ::unlink((QFile::encodeName(resources) + name).constData());
        });
        QVERIFY(resign(*bundle));
        QVERIFY(CodesignVerifier::signatureValid(*bundle));

        const auto manifest = scanBundle(*bundle, u"ZQ8WN2KD4T"_qs);
        QVERIFY(manifest);
        QCOMPARE(manifest->find("Contents/Resources/large.bin")->digest, Crypto::sha256(large));
        for (const QByteArray &name : oddNames)
            QVERIFY2(manifest->find("Contents/Resources/" + name), name.constData());

        QVERIFY(flipLastByte(resources + u"large.bin"_qs));
        QCOMPARE(validate(*bundle, developerIdRequirement()).error(),
                 *refusal(Refusal::fileModified, u"Contents/Resources/large.bin"_qs));
        QVERIFY(flipLastByte(resources + u"large.bin"_qs));
        QVERIFY(CodesignVerifier::signatureValid(*bundle));
        QVERIFY(QFile::remove(resources + u"new\nline"_qs) &&
                putRaw(QFile::encodeName(resources) + "new\nline", "changed"));
        QVERIFY(!CodesignVerifier::signatureValid(*bundle));
    }

    void signingRefusesWhatCouldNotValidate()
    {
        QTemporaryDir folder;
        const auto bundle =
            BundleBuilder().setSigning(BundleBuilder::Signing::none).build(folder.path());
        QVERIFY(bundle);
        const auto failing = [&](auto result) {
            return result ? std::optional<SigningError>() : result.error().error;
        };

        const auto stranger = *Crypto::generateEd25519KeyPair();
        QCOMPARE(failing(signBundle(*bundle, stranger.privateKeyPem, Dev::certificate())),
                 SigningError::keyDoesNotMatchCertificate);
        QVERIFY(!QFileInfo::exists(*bundle + u'/' + engine +
                                   u"/_CodeSignature"_qs)); // nothing half done

        QVERIFY(link("../../..", inContents(*bundle, u"Resources/up"_qs)));
        QCOMPARE(failing(signBundle(*bundle, Dev::developerKey(), Dev::certificate())),
                 SigningError::linkOutsideBundle);
        QVERIFY(QFile::remove(inContents(*bundle, u"Resources/up"_qs)));

        const QString fifo = inContents(*bundle, u"Resources/pipe"_qs);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
        QCOMPARE(failing(signBundle(*bundle, Dev::developerKey(), Dev::certificate())),
                 SigningError::unsupportedItem);
        QVERIFY(QFile::remove(fifo));

        QVERIFY(QFile::remove(*bundle + u'/' + engine + u"/Resources/Info.plist"_qs));
        QCOMPARE(failing(signBundle(*bundle, Dev::developerKey(), Dev::certificate())),
                 SigningError::missingBundleIdentifier);

        QCOMPARE(failing(notarize(*bundle, Dev::notaryKey())), SigningError::signatureInvalid);
        QVERIFY(!QFileInfo::exists(inContents(*bundle, u"_CodeSignature/notarization-ticket"_qs)));
    }

private:
    // The notary signs a ticket for this bundle's manifest with one thing changed.
    static bool restapled(const QString &bundle,
                          const std::function<void(NotarizationTicket &)> &edit)
    {
        auto ticket = makeTicket(bundle, Dev::notaryKey());
        if (!ticket)
            return false;
        edit(*ticket);
        ticket->signature = *Crypto::ed25519Sign(Dev::notaryKey(), ticket->signedBytes());
        return bool(stapleTicket(bundle, *ticket));
    }

    static bool copyTicket(const Expected<QString, QString> &from, const QString &to)
    {
        const QString ticket = u"/Contents/_CodeSignature/notarization-ticket"_qs;
        return from && QFile::remove(to + ticket) && QFile::copy(*from + ticket, to + ticket);
    }
};

QTEST_GUILESS_MAIN(CodeSignatureTest)
#include "CodeSignatureTest.moc"

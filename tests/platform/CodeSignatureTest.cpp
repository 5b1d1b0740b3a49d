#include <platform/CodeSignature.h>
#include <platform/CodesignVerifier.h>
#include <platform/Crypto.h>
#include <platform/FileSystem.h>
#include <signing/CodeSigning.h>
#include <signing/PrivateKeys.h>

#include <support/BundleBuilder.h>
#include <support/TestHome.h>
#include <support/ToolRun.h>

#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <functional>
#include <sys/xattr.h>
#include <unistd.h>

using namespace vantry;
using namespace vantry::CodeSignature;
using test::BundleBuilder;
namespace Dev = test::DevelopmentSigning;

namespace vantry::CodeSignature {
// Readable verdicts in QCOMPARE messages.
char *toString(const std::optional<SignatureFailure> &failure)
{
    if (!failure)
        return qstrdup("valid");
    const auto nested = failure->nestedReason ? identifier(*failure->nestedReason) : "-";
    return qstrdup(
        QStringLiteral("%1 at '%2' nested %3")
            .arg(QLatin1String(identifier(failure->reason)), failure->item, QLatin1String(nested))
            .toUtf8());
}
} // namespace vantry::CodeSignature

namespace {

// A change made to a freshly built, signed and notarized Game.app.
using Mutation = std::function<bool(const QString &bundle)>;

// Paths below the bundle's Contents folder.
QString in(const QString &bundle, const QString &path)
{
    return bundle + u"/Contents/"_qs + path;
}

// One-line builders of the matrix's changes. A shell command runs in the bundle's Contents.
Mutation sh(const char *command)
{
    return [=](const QString &b) {
        QProcess shell;
        shell.setWorkingDirectory(b + u"/Contents"_qs);
        shell.start(u"/bin/sh"_qs, {u"-ec"_qs, QString::fromUtf8(command)});
        return shell.waitForFinished() && shell.exitStatus() == QProcess::NormalExit &&
               shell.exitCode() == 0;
    };
}
Mutation then(Mutation first, Mutation second)
{
    return [=](const QString &b) { return first(b) && second(b); };
}
// Signed again by the development developer, nested code signed too or kept as it is.
Mutation resealed(NestedCode nested = NestedCode::sign)
{
    return [=](const QString &b) {
        return bool(signBundle(b, Dev::developerKey(), Dev::certificate(), nested));
    };
}
// Signed by a fresh developer of `team` certified by `anchorKey` (a fresh anchor when empty);
// `inside` names a nested bundle below Contents to sign instead.
Mutation signedBy(QString team, QByteArray anchorKey, QString inside = {})
{
    return [=](const QString &b) {
        const auto developer = *Crypto::generateEd25519KeyPair();
        const QByteArray anchor =
            anchorKey.isEmpty() ? Crypto::generateEd25519KeyPair()->privateKeyPem : anchorKey;
        const auto certificate =
            makeCertificate(anchor, team, u"Someone Else"_qs, developer.publicKey);
        return bool(signBundle(inside.isEmpty() ? b : in(b, inside), developer.privateKeyPem,
                               *certificate));
    };
}
// A developer who signs whatever is on disk, without the signing side's own checks.
Mutation forged(std::function<void(Manifest &)> change = {})
{
    return [=](const QString &b) {
        auto manifest = scanBundle(b, Dev::certificate().team);
        if (manifest && change)
            change(*manifest);
        return manifest && writeSignature(b, *manifest, Dev::developerKey(), Dev::certificate());
    };
}
// The notary's ticket for this bundle's manifest, with one thing changed, signed by `notary`.
Mutation restapled(std::function<void(NotarizationTicket &)> change, QByteArray notary = {})
{
    return [=](const QString &b) {
        auto ticket = makeTicket(b, Dev::notaryKey());
        if (!ticket)
            return false;
        change(*ticket);
        ticket->signature = *Crypto::ed25519Sign(notary.isEmpty() ? Dev::notaryKey() : notary,
                                                 ticket->signedBytes());
        return bool(stapleTicket(b, *ticket));
    };
}
enum class Spctl { skip, run };

void row(const char *name, Mutation mutate, std::optional<SignatureFailure> expected,
         std::optional<NotarizationRefusal> notarization, Spctl spctl = Spctl::skip)
{
    QTest::newRow(name) << std::move(mutate) << std::move(expected) << notarization << spctl;
}
// A row the signature check refuses (and so the assessment), at `item` below Contents.
void refused(const char *name, Mutation mutate, Refusal reason, const QString &item = {},
             std::optional<Refusal> nested = {}, Spctl spctl = Spctl::skip)
{
    const QString where = item.isEmpty() ? item : u"Contents/"_qs + item;
    row(name, std::move(mutate), SignatureFailure {reason, where, nested},
        NotarizationRefusal::signatureInvalid, spctl);
}

const QString engine = u"Frameworks/Engine.framework"_qs;

Manifest::Entry entry(QByteArray path, Manifest::Kind kind = Manifest::Kind::directory,
                      QByteArray target = {})
{
    const bool file = kind == Manifest::Kind::file;
    return {std::move(path), kind, file ? QByteArray(32, '\xab') : QByteArray(), false,
            std::move(target)};
}
Manifest::Entry linkEntry(QByteArray path, QByteArray target)
{
    return entry(std::move(path), Manifest::Kind::symbolicLink, std::move(target));
}

Manifest manifestOf(QList<Manifest::Entry> entries)
{
    std::sort(entries.begin(), entries.end(),
              [](const auto &a, const auto &b) { return a.path < b.path; });
    return Manifest {u"ZQ8WN2KD4T"_qs, u"com.example.game"_qs, {entries.begin(), entries.end()}};
}

} // namespace

class CodeSignatureTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;

private Q_SLOTS:
    void requirementsAreReadForTheirTeamClause_data()
    {
        QTest::addColumn<QString>("requirement");
        QTest::addColumn<std::optional<QString>>("team");
        const QString clause = u"certificate leaf[subject.OU] = \"ZQ8WN2KD4T\""_qs;
        const auto row = [](const char *name, const QString &text, const char *team = nullptr) {
            QTest::newRow(name) << text
                                << (team ? std::optional(QString::fromLatin1(team)) : std::nullopt);
        };
        row("other spacing",
            u" anchor  apple generic\nand certificate leaf [ subject.OU ]=\"ZQ8WN2KD4T\" "_qs,
            "ZQ8WN2KD4T");
        row("empty", QString());
        row("no team clause", u"anchor apple generic"_qs);
        row("two team clauses", clause + u" and "_qs + clause);
        row("or", u"anchor apple generic or "_qs + clause);
        row("trailing and", clause + u" and"_qs);
        row("unknown field", u"certificate leaf[subject.CN] and "_qs + clause);
        row("marker on the wrong certificate",
            u"certificate 2[field.1.2.840.113635.100.6.2.6] and "_qs + clause);
        row("team on the intermediate", u"certificate 1[subject.OU] = \"ZQ8WN2KD4T\""_qs);
        row("unterminated text", clause.chopped(1));
        row("not a team identifier", clause.toLower());
        row("apple anchor only", u"anchor apple and "_qs + clause);
    }

    void requirementsAreReadForTheirTeamClause()
    {
        QFETCH(QString, requirement);
        QFETCH(std::optional<QString>, team);
        QCOMPARE(requiredTeam(requirement), team);
    }

    void formatsAreReadExactly()
    {
        const auto developer = *Crypto::generateEd25519KeyPair();
        const QByteArray certificate = makeCertificate(Dev::anchorKey(), u"ZQ8WN2KD4T"_qs,
                                                       u"Zoë Studio"_qs, developer.publicKey)
                                           ->bytes();
        QVERIFY(Certificate::parse(certificate));
        const QByteArray key = developer.publicKey.toBase64();
        // The last character of a 32-byte key carries two unused low bits: set one of them.
        const QByteArray alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        QByteArray lastBitSet = key;
        lastBitSet[42] = alphabet[alphabet.indexOf(key[42]) ^ 1];
        const auto withCertificate = [&](const char *from, const QByteArray &to) {
            return QByteArray(certificate).replace(from, to);
        };
        for (const QByteArray &variant :
             {withCertificate("\n", "\r\n"), certificate.chopped(1), certificate + "extra line\n",
              withCertificate("team ZQ8WN2KD4T", "team zq8wn2kd4t"),
              withCertificate("developer Zo", "developer  Zo"), withCertificate("Zoë", "Zo\xff"),
              withCertificate("Zoë", "Zo\t"), withCertificate("certificate 1", "certificate 2"),
              withCertificate(key, lastBitSet),
              withCertificate(key, developer.publicKey.left(31).toBase64())})
            QVERIFY2(!Certificate::parse(variant), variant.constData());

        const Manifest manifest =
            manifestOf({entry("a"), entry("a/b", Manifest::Kind::file), linkEntry("a/c", "../x y"),
                        entry("z%\n\xff", Manifest::Kind::file)});
        const QByteArray bytes = manifest.bytes();
        const QByteArray digest = QByteArray(32, '\xab').toHex();
        const QByteArray file = "file a/b " + digest + " -\n";
        QCOMPARE(bytes, "vantry-manifest 1\nteam ZQ8WN2KD4T\nidentifier com.example.game\ndir a\n" +
                            file + "link a/c ../x%20y\nfile z%25%0A%FF " + digest + " -\n");
        QCOMPARE(Manifest::parse(bytes), manifest);
        const auto with = [&](const QByteArray &replacement) {
            return QByteArray(bytes).replace(file, replacement);
        };
        QVERIFY(Manifest::parse(with(""))); // without an entry, still a good manifest
        for (const QByteArray &variant :
             {with(file + file),
              QByteArray(bytes).replace(file + "link a/c ../x%20y\n", "link a/c ../x%20y\n" + file),
              with("file a/../b " + digest + " -\n"), with("file a/./b " + digest + " -\n"),
              with("file a//b " + digest + " -\n"), with("file a/b%00 " + digest + " -\n"),
              with("file a/b " + digest.toUpper() + " -\n"),
              with("file a/b " + digest.left(62) + " -\n"), with("file a/b " + digest + " X\n"),
              with("file a/b " + digest + "  -\n"), with("pipe a/b\n"), with("link a/b \n"),
              with(file + "file a/b/c " + digest + " -\n"),
              with(file + "file b/c " + digest + " -\n"),
              QByteArray(bytes).replace("game\n", "_game\n"),
              QByteArray(bytes).replace(" 1\n", " 2\n"),
              QByteArray(bytes).replace("dir a\n", "dir a\n\n"), bytes.chopped(1)})
            QVERIFY2(!Manifest::parse(variant), variant.constData());
    }

    void pathsAreTextForEveryByte()
    {
        QByteArray every;
        for (int byte = 1; byte < 256; ++byte)
            every.append(char(byte));
        const QByteArray text = encodePath(every);
        QVERIFY(std::all_of(text.begin(), text.end(), [](char c) { return c > 0x20 && c < 0x7f; }));
        QCOMPARE(decodePath(text), every);
        for (const QByteArray &bad :
             {QByteArray("%2"), QByteArray("%41"), QByteArray("%e9"), QByteArray("a b")})
            QVERIFY2(!decodePath(bad), bad.constData());
    }

    void linksAreResolvedAsTheKernelWould_data()
    {
        QTest::addColumn<QList<Manifest::Entry>>("entries");
        QTest::addColumn<bool>("inside");
        const QList<Manifest::Entry> tree {entry("x"), entry("x/y"),
                                           entry("x/y/f", Manifest::Kind::file)};
        const auto with = [&](QList<Manifest::Entry> links) { return tree + links; };
        QTest::newRow("to a file beside") << with({linkEntry("x/l", "y/f")}) << true;
        QTest::newRow("up and down again") << with({linkEntry("x/y/l", "../../x/y/f")}) << true;
        QTest::newRow("to the bundle itself") << with({linkEntry("x/l", "..")}) << true;
        QTest::newRow("to nothing inside") << with({linkEntry("x/l", "missing/./deeper")}) << true;
        QTest::newRow("one level too far") << with({linkEntry("x/l", "../../f")}) << false;
        QTest::newRow("absolute") << with({linkEntry("x/l", "/x/y/f")}) << false;
        QTest::newRow("through an absolute link")
            << with({linkEntry("a", "/tmp"), linkEntry("b", "a/..")}) << false;
        // Lexically p/q/r/../../.. is the bundle; through the link p/q/r -> ../../s it is above it.
        QTest::newRow("out through a link that leads up")
            << QList {entry("p"), entry("p/q"), linkEntry("p/q/r", "../../s"), entry("s"),
                      linkEntry("t", "p/q/r/../../..")}
            << false;
        QTest::newRow("through a link that leads down")
            << with({linkEntry("d", "x/y"), linkEntry("e", "d/../y/f")}) << true;
        QTest::newRow("a loop") << QList {linkEntry("a", "b"), linkEntry("b", "a")} << false;
    }

    void linksAreResolvedAsTheKernelWould()
    {
        QFETCH(QList<Manifest::Entry>, entries);
        QFETCH(bool, inside);
        const Manifest manifest = manifestOf(entries);
        QVERIFY(Manifest::parse(manifest.bytes())); // a well-formed tree
        QCOMPARE(!firstLinkOutside(manifest).has_value(), inside);
    }

    void validationMatrix_data()
    {
        QTest::addColumn<Mutation>("mutate");
        QTest::addColumn<std::optional<SignatureFailure>>("expected");
        QTest::addColumn<std::optional<NotarizationRefusal>>("notarization");
        QTest::addColumn<Spctl>("spctl");
        using R = Refusal;
        const auto nothing = [](const QString &) { return true; };
        const auto mine = Dev::anchorKey();
        const QString readme = u"Resources/readme.txt"_qs, info = u"Info.plist"_qs,
                      signature = u"_CodeSignature"_qs;

        row("valid", nothing, {}, {}, Spctl::run);
        refused("unsigned", sh("rm -r _CodeSignature"), R::notSigned);
        refused("another team's certificate", signedBy(u"AB12CD34EF"_qs, mine), R::wrongTeam);
        refused("a certificate not from the anchor", signedBy(u"ZQ8WN2KD4T"_qs, {}),
                R::certificateNotFromAnchor);
        refused("a byte added", sh("printf x >> MacOS/Game"), R::fileModified, u"MacOS/Game"_qs, {},
                Spctl::run);
        refused("a file added", sh("echo > Resources/extra"), R::fileAdded, u"Resources/extra"_qs);
        refused("a file removed", sh("rm Resources/readme.txt"), R::fileMissing, readme);
        refused("the nested framework modified, the bundle sealed again",
                then(sh("printf x >> Frameworks/Engine.framework/Engine"),
                     resealed(NestedCode::keepAsIs)),
                R::nestedCodeInvalid, engine + u"/Engine"_qs, R::fileModified);
        refused("the nested framework signed by another team",
                then(signedBy(u"AB12CD34EF"_qs, mine, engine), resealed(NestedCode::keepAsIs)),
                R::nestedCodeInvalid, engine, R::wrongTeam);
        refused("a signed link out of the bundle",
                then(sh("ln -s ../../../outside Resources/escape"), forged()), R::linkOutsideBundle,
                u"Resources/escape"_qs);
        row("signed links inside the bundle",
            then(
                sh("ln -s ../MacOS/Game Resources/game; ln -s Frameworks/Engine.framework Current"),
                resealed()),
            {}, NotarizationRefusal::noTicket);
        refused("a file replaced by a link", sh("ln -sf ../Info.plist Resources/readme.txt"),
                R::fileModified, readme);
        refused("a file replaced by a folder",
                sh("rm Resources/readme.txt; mkdir Resources/readme.txt"), R::fileModified, readme);
        refused("an executable bit set", sh("chmod o+x Info.plist"), R::fileModified, info);
        refused("the manifest edited",
                sh("sed -i '/^dir Contents.MacOS$/d' _CodeSignature/manifest"),
                R::manifestSignatureMismatch);
        refused("a stray file among the signature files", sh("echo > _CodeSignature/notes"),
                R::malformedSignature, signature);
        refused("the signature folder is a link",
                sh("rm -r _CodeSignature; ln -s Resources _CodeSignature"), R::malformedSignature,
                signature);
        refused("a malformed signature file", sh("sed -i 's/==$//' _CodeSignature/signature"),
                R::malformedSignature, signature + u"/signature"_qs);
        refused("a certificate with one more line",
                sh("sed -i 's/^signature /x\\nsignature /' _CodeSignature/certificate"),
                R::malformedSignature, signature + u"/certificate"_qs);
        refused("a manifest that seals its own folder",
                forged([](Manifest &m) { m.entries.push_back(entry("Contents/_CodeSignature")); }),
                R::malformedSignature, signature + u"/manifest"_qs);
        refused("an identifier Info.plist does not name",
                forged([](Manifest &m) { m.identifier = u"com.vantry.test.other"_qs; }),
                R::identifierMismatch, info);

        // The notarization ticket.
        using N = NotarizationRefusal;
        row("no ticket", sh("rm _CodeSignature/notarization-ticket"), {}, N::noTicket);
        row("signed again, the old ticket goes", resealed(), {}, N::noTicket);
        row("the ticket of another build of the same game", restapled([](NotarizationTicket &t) {
                t.manifestDigest = Crypto::sha256Digest("other");
            }),
            {}, N::ticketForOtherCode);
        row("a ticket not from the notary",
            restapled([](NotarizationTicket &) {}, Crypto::generateEd25519KeyPair()->privateKeyPem),
            {}, N::ticketNotFromNotary);
        row("a notary's ticket naming another identifier",
            restapled([](NotarizationTicket &t) { t.identifier = u"com.vantry.test.other"_qs; }),
            {}, N::ticketForOtherCode);
        row("a notary's ticket naming another team",
            restapled([](NotarizationTicket &t) { t.team = u"AB12CD34EF"_qs; }), {},
            N::ticketForOtherCode);
        row("a malformed ticket",
            sh("sed -i 's/^team /team  /' _CodeSignature/notarization-ticket"), {},
            N::malformedTicket);
    }

    void validationMatrix()
    {
        QFETCH(Mutation, mutate);
        QFETCH(std::optional<SignatureFailure>, expected);
        QFETCH(std::optional<NotarizationRefusal>, notarization);
        QFETCH(Spctl, spctl);
        QTemporaryDir folder;
        const auto bundle = BundleBuilder().build(folder.filePath(u"app"_qs));
        QVERIFY2(bundle, qPrintable(bundle.error()));
        QVERIFY(mutate(*bundle));

        const auto validated = validate(*bundle, developerIdRequirement());
        QCOMPARE(validated ? std::nullopt : std::optional(validated.error()), expected);
        QCOMPARE(CodesignVerifier::signatureValid(*bundle), !expected);
        const auto assessed = assessNotarization(*bundle);
        QCOMPARE(assessed ? std::nullopt : std::optional(assessed.error().reason), notarization);
        QCOMPARE(assessed ? std::nullopt : assessed.error().signature, expected);
        if (spctl == Spctl::run)
            QCOMPARE(test::runTool(QStringLiteral(VANTRY_SPCTL),
                                   {u"--assess"_qs, u"--type"_qs, u"exec"_qs, *bundle})
                         .status,
                     notarization ? 3 : 0);
    }

    void theRequirementAndTheKeysDecide()
    {
        QTemporaryDir folder;
        const auto bundle = BundleBuilder().build(folder.path());
        QVERIFY2(bundle, qPrintable(bundle.error()));
        const QByteArray anchor = builtInAnchorKey(),
                         other = Crypto::generateEd25519KeyPair()->publicKey;
        const auto refusal = [&](const QString &requirement, QByteArrayView anchorKey,
                                 const QString &path = {}) {
            const auto validated =
                validate(path.isEmpty() ? *bundle : path, requirement, anchorKey);
            return validated ? std::nullopt : std::optional(validated.error().reason);
        };
        const QString team = u"certificate leaf[subject.OU] = \"ZQ8WN2KD4T\""_qs;
        QCOMPARE(refusal(team, anchor), std::nullopt);
        QCOMPARE(refusal(developerIdRequirement(u"AB12CD34EF"), anchor), Refusal::wrongTeam);
        QCOMPARE(refusal(u"anchor apple generic"_qs, anchor), Refusal::unreadableRequirement);
        QCOMPARE(refusal(team, other), Refusal::certificateNotFromAnchor);
        QCOMPARE(refusal(team, anchor, folder.filePath(u"Missing.app"_qs)), Refusal::notABundle);
        QVERIFY(assessNotarization(*bundle, builtInNotaryKey(), anchor));
        QCOMPARE(assessNotarization(*bundle, other, anchor).error().reason,
                 NotarizationRefusal::ticketNotFromNotary);
        QCOMPARE(assessNotarization(*bundle, builtInNotaryKey(), other).error().reason,
                 NotarizationRefusal::signatureInvalid);
        // The launcher's assessment runs the build's spctl; a tool that cannot run refuses.
        QVERIFY(CodesignVerifier::isNotarized(*bundle));
        QVERIFY(!CodesignVerifier::isNotarized(*bundle, folder.filePath(u"no-spctl"_qs)));
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
        const QString frameworks = in(*bundle, u"Frameworks"_qs);
        bool swapped = false;
        setBeforeNestedCheck([&](const QString &path) {
            if (path != u"Contents/"_qs + engine || swapped)
                return;
            swapped = QFile::rename(frameworks, frameworks + u".moved"_qs) &&
                      QFile::link(in(*pristine, u"Frameworks"_qs), frameworks) &&
                      test::put(frameworks + u".moved/Engine.framework/Engine"_qs, "changed", 0755);
        });
        const auto resetHook = qScopeGuard([] { setBeforeNestedCheck({}); });
        const auto validated = validate(*bundle, developerIdRequirement());
        QVERIFY(swapped);
        QCOMPARE(validated.error().reason, Refusal::nestedCodeInvalid);
    }

    void namesAreBytesAndFilesAreReadWhole()
    {
        QTemporaryDir folder;
        const auto bundle =
            BundleBuilder().setSigning(BundleBuilder::Signing::none).build(folder.path());
        QVERIFY(bundle);
        // Names as raw bytes: Qt would not keep bytes that are not UTF-8.
        const QByteArray resources = QFile::encodeName(in(*bundle, u"Resources/"_qs));
        const QByteArray oddNames[] = {"with space", "new\nline", "per%cent", "latin \xe9\xff"};
        const auto tidy = test::removeAtEnd(QFile::encodeName(folder.path()));
        for (const QByteArray &name : oddNames) {
            const int fd =
                ::open((resources + name).constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            QVERIFY(fd >= 0 && ::write(fd, name.constData(), size_t(name.size())) == name.size());
            ::close(fd);
        }
        // Larger than one piece of the hash, so that every piece counts.
        QByteArray large(1024 * 1024 + 7, Qt::Uninitialized);
        for (qsizetype i = 0; i < large.size(); ++i)
            large[i] = char(i * 7919 % 251);
        const QString largePath = in(*bundle, u"Resources/large.bin"_qs);
        QVERIFY(test::put(largePath, large));
        QVERIFY(signBundle(*bundle, Dev::developerKey(), Dev::certificate()));
        QVERIFY(CodesignVerifier::signatureValid(*bundle));
        const auto manifest = scanBundle(*bundle, u"ZQ8WN2KD4T"_qs);
        QCOMPARE(manifest->find("Contents/Resources/large.bin")->digest,
                 Crypto::sha256Digest(large));
        for (const QByteArray &name : oddNames)
            QVERIFY2(manifest->find("Contents/Resources/" + name), name.constData());

        large.back() ^= 0x01; // in the last piece
        QVERIFY(test::put(largePath, large));
        QCOMPARE(
            std::optional(validate(*bundle, developerIdRequirement()).error()),
            (SignatureFailure {Refusal::fileModified, u"Contents/Resources/large.bin"_qs, {}}));
    }

    void theQuarantineGoesFromTheBundle()
    {
        // The build's xattr, behind a wrapper that logs each call.
        const QString log = m_home.scratch(u"xattr.log"_qs), xattr = m_home.scratch(u"xattr"_qs);
        QVERIFY(test::put(xattr,
                          "#!/bin/sh\necho \"$*\" >> '" + QFile::encodeName(log) + "'\nexec '" +
                              QFile::encodeName(CodesignVerifier::defaultXattr()) + "' \"$@\"\n",
                          0755));
        const auto bundle = BundleBuilder(u"Mazzle"_qs).build(m_home.scratch(u"q"_qs));
        const auto logged = [&] { return QString::fromUtf8(*FileSystem::readFile(log)); };

        // Without the attribute only the probe runs.
        QVERIFY(CodesignVerifier::stripQuarantine(*bundle, xattr));
        QCOMPARE(logged(), u"-p com.apple.quarantine "_qs + *bundle + u'\n');

        // With it, the whole tree is stripped (xattr's own tests say how), and the attribute not
        // being part of the signature, the bundle still validates.
        const QByteArray inside = QFile::encodeName(*bundle + u"/Contents/Info.plist"_qs);
        for (const QByteArray &path : {QFile::encodeName(*bundle), inside})
            QCOMPARE(::lsetxattr(path.constData(), "user.com.apple.quarantine", "0081;", 5, 0), 0);
        QVERIFY(CodesignVerifier::stripQuarantine(*bundle, xattr));
        QVERIFY(logged().contains(u"-rd com.apple.quarantine "_qs + *bundle));
        QVERIFY(::lgetxattr(inside.constData(), "user.com.apple.quarantine", nullptr, 0) < 0);
        QVERIFY(CodesignVerifier::signatureValid(*bundle));
        const auto missingTool =
            CodesignVerifier::stripQuarantine(*bundle, m_home.scratch(u"no-xattr"_qs));
        QVERIFY(!missingTool && missingTool.error().runError);
    }
};

QTEST_GUILESS_MAIN(CodeSignatureTest)
#include "CodeSignatureTest.moc"

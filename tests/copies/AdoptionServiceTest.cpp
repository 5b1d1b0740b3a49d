#include <copies/AdoptionService.h>

#include <platform/FileSystem.h>
#include <platform/Paths.h>
#include <platform/Workspace.h>
#include <signing/DiskImage.h>

#include <support/BundleBuilder.h>
#include <support/TestHome.h>

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

using namespace vantry;
using test::BundleBuilder;

namespace {

const QString mazzleId = u"com.example.mazzle"_qs;
constexpr auto signedOnly = BundleBuilder::Signing::signedOnly;

Catalog::Entry mazzle()
{
    Catalog::Entry game;
    game.id = u"mazzle"_qs;
    game.bundleId = mazzleId;
    game.minSystemVersion = u"2.17"_qs;
    game.released = true;
    return game;
}

BundleBuilder game(const char *build = "41")
{
    return BundleBuilder(u"Mazzle"_qs)
        .setBundleIdentifier(mazzleId)
        .setBundleVersion(QString::fromLatin1(build))
        .setFramework(std::nullopt);
}

// The production checks, recording which paths they were asked about.
struct RecordingVerify {
    QStringList asked;

    AdoptionService::Verify verify()
    {
        return [this](const QString &path) {
            asked.append(path);
            return AdoptionService::productionVerify(path);
        };
    }
};

QStringList pathsOf(const AdoptionReport &report)
{
    QStringList paths;
    for (const auto &candidate : report.candidates)
        paths.append(candidate.canonicalURL);
    return paths;
}

QString excludedAs(AdoptionExclusion why) { return u"excluded %1"_qs.arg(int(why)); }

// What became of the copy at `path`: its exclusion, the refusal's text, or "adoptable".
QString outcomeOf(const AdoptionReport &report, const QString &path)
{
    const auto found = std::find_if(report.candidates.begin(), report.candidates.end(),
                                    [&](const auto &candidate) { return candidate.canonicalURL == path; });
    if (found == report.candidates.end())
        return u"no candidate"_qs;
    if (const auto *excluded = std::get_if<AdoptionExclusion>(&found->disposition))
        return excludedAs(*excluded);
    const auto *refusal = std::get_if<AdoptionRefusal>(&std::get<AdoptionVerdict>(found->disposition));
    return refusal ? refusal->userFacingDescription() : u"adoptable"_qs;
}

} // namespace

class AdoptionServiceTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;

    QString built(const BundleBuilder &builder, const QString &folder)
    {
        const auto bundle = builder.build(folder);
        if (!bundle)
            qWarning("bundle not built: %s", qPrintable(bundle.error()));
        return bundle ? *bundle : QString();
    }

    AdoptionReport assess(const QStringList &urls, std::int64_t mark, const AdoptionService::Verify &verify,
                          const SystemVersion &os = AdoptionService::runningSystemVersion())
    {
        return AdoptionService::assess(mazzle(), mark, urls, Paths::managedGamesDirectory(),
                                       Paths::stagingDirectory(), verify, os);
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(QDir(m_home.home()).removeRecursively());
        QVERIFY(QDir().mkpath(m_home.home()));
    }

    void theRegistrysCopiesAreFoundAndJudgedPathByPath()
    {
        const QString home = m_home.home();
        const QString applications = built(game("41"), home + u"/Applications"_qs);
        const QString managed = built(game("42"), Paths::managedGamesDirectory());
        const QString shelf = built(game("43").setSigning(signedOnly), home + u"/Games/Shelf"_qs);
        QVERIFY(!applications.isEmpty() && !managed.isEmpty() && !shelf.isEmpty());
        const BundleBuilder bare = game().setSigning(BundleBuilder::Signing::none);
        QVERIFY(!built(bare, home + u"/Games/a/b"_qs).isEmpty()); // too deep
        QVERIFY(!built(BundleBuilder(u"Other"_qs).setSigning(BundleBuilder::Signing::none), home + u"/Applications"_qs)
                     .isEmpty());
        const QString link = home + u"/Games/Link.app"_qs;
        QVERIFY(QFile::link(applications, link));
        // A plain file named like a bundle, a bundle whose property list is not one, and worse.
        QVERIFY(test::put(home + u"/Games/Fake.app"_qs, "x"));
        QVERIFY(test::put(home + u"/Games/Broken.app/Contents/Info.plist"_qs, "<plist>"));
        QVERIFY(test::plantHostileInfoPlists(home + u"/Games"_qs));

        const QStringList registered = AdoptionService::registeredURLs(mazzleId);
        QCOMPARE(registered, (QStringList {applications, managed, link, shelf}));
        QCOMPARE(AdoptionService::registeredURLs(u"com.example.nothing"_qs), QStringList {});
        // One level: the bundle in a sub-folder is out of reach.
        QCOMPARE(Workspace::applicationURLs(mazzleId, {{home + u"/Games/"_qs, 1}}), QStringList {link});

        RecordingVerify recorder;
        const AdoptionReport report = assess(registered, 41, recorder.verify());
        QCOMPARE(report.bundleId, mazzleId);
        // The link reaches the same bundle: one candidate, checked once; the managed copy is never checked.
        QCOMPARE(recorder.asked, (QStringList {applications, shelf}));
        QCOMPARE(pathsOf(report), (QStringList {applications, managed, shelf}));
        QCOMPARE(outcomeOf(report, managed), excludedAs(AdoptionExclusion::managedInstall));
        QCOMPARE(outcomeOf(report, shelf), u"it is no longer notarized"_qs);
        const AdoptableCopy expected {applications, 41, u"1.0"_qs, true, true};
        QCOMPARE(report.selection, expected);
        QCOMPARE(QCoro::waitFor(AdoptionService::assessOffMain(mazzle(), 41)), report);
    }

    void eachCopyIsExcludedByItsPlaceOrJudgedInOrder()
    {
        const QString scratch = m_home.scratch(u"elsewhere"_qs);
        const SystemVersion os = AdoptionService::runningSystemVersion();
        QVERIFY(os.major >= 2);
        const QString above = QString::number(os.major) + u'.' + QString::number(os.minor + 1);
        const QString staging = excludedAs(AdoptionExclusion::staging);
        const std::tuple<BundleBuilder, QString, QString> cases[] = {
            // Real, adoptable bundles that only their place excludes (the managed folder's own
            // copy: see above); inside the managed folder, the staging rule comes first.
            {game(), Paths::stagingDirectory() + u"/job"_qs, staging},
            {game(), scratch + u"/Games/.vantry-staging/1"_qs, staging},
            {game(), scratch + u"/AppTranslocation/ABCD/d"_qs, excludedAs(AdoptionExclusion::appTranslocation)},
            // A staging-like name that is not a whole component does not exclude.
            {game(), scratch + u"/my.vantry-staging-notes"_qs, u"adoptable"_qs},
            {game().setSigning(signedOnly), scratch + u"/1"_qs, u"it is no longer notarized"_qs},
            {game("40"), scratch + u"/2"_qs, u"it is build 40, older than build 41 already accepted"_qs},
            {game().setMinimumSystemVersion(above), scratch + u"/4"_qs, u"it now requires glibc "_qs + above},
            {game().setMinimumSystemVersion(os.toString()), scratch + u"/5"_qs, u"adoptable"_qs},
            {game(), scratch + u"/6"_qs, u"its Developer ID signature is no longer valid"_qs}, // tampered with below
        };
        QStringList paths;
        for (const auto &[builder, folder, outcome] : cases)
            paths.append(built(builder, folder));
        QVERIFY(!paths.contains(QString()));
        // Changed after signing: the signature no longer covers what is on disk.
        QFile readme(paths.last() + u"/Contents/Resources/readme.txt"_qs);
        QVERIFY(readme.open(QIODevice::Append) && readme.write("cheat\n") == 6);
        readme.close();

        RecordingVerify recorder;
        const QStringList respelled {paths.at(0) + u'/', paths.at(7) + u"/Contents/.."_qs};
        const AdoptionReport report = assess(paths + respelled, 41, recorder.verify(), os);
        QCOMPARE(recorder.asked, paths.mid(3));
        // Each path once, sorted by canonical path whatever the registry's order.
        QStringList sorted = paths;
        std::sort(sorted.begin(), sorted.end());
        QCOMPARE(pathsOf(report), sorted);
        for (qsizetype i = 0; i < paths.size(); ++i)
            QCOMPARE(outcomeOf(report, paths.at(i)), std::get<2>(cases[i]));
        // Two adoptable copies of build 41: the smaller path is preferred.
        QCOMPARE(report.selection->canonicalURL, std::min(paths.at(3), paths.at(7)));
    }

    void aCopyOnAMountedImageIsExcluded()
    {
        // The volume holds the game and a translocated view of it.
        const QString volume = m_home.scratch(u"volume/Mazzle Volume"_qs);
        const QString onImage = built(game(), volume);
        const QString translocatedOnImage = built(game(), volume + u"/AppTranslocation/X"_qs);
        QVERIFY(!onImage.isEmpty() && !translocatedOnImage.isEmpty());
        const QString image = m_home.scratch(u"mazzle.dmg"_qs);
        QVERIFY(DiskImage::create(volume, image));
        const QString mountPoint = m_home.scratch(u"mnt"_qs);
        QVERIFY(QDir().mkpath(mountPoint));
        if (QProcess::execute(u"squashfuse"_qs, {u"-o"_qs, u"ro"_qs, image, mountPoint}) != 0)
            QSKIP("FUSE is not usable here: no image can be mounted");
        const auto unmount = qScopeGuard([&] { QProcess::execute(u"fusermount3"_qs, {u"-u"_qs, mountPoint}); });

        const QString mounted = mountPoint + u"/Mazzle Volume/Mazzle.app"_qs;
        const QString mountedTranslocated = mountPoint + u"/Mazzle Volume/AppTranslocation/X/Mazzle.app"_qs;
        QVERIFY(AdoptionService::productionVerify(mounted).notarized);
        QVERIFY(AdoptionService::volumeIsExcluded(mounted));

        RecordingVerify recorder;
        const AdoptionReport report = assess({mounted, mountedTranslocated}, 0, recorder.verify());
        QVERIFY(recorder.asked.isEmpty());
        QCOMPARE(outcomeOf(report, mounted), excludedAs(AdoptionExclusion::readOnlyOrRemovableVolume));
        QCOMPARE(outcomeOf(report, mountedTranslocated), excludedAs(AdoptionExclusion::appTranslocation));

        // Launching checks the facts again: nothing on the image can be written, not even by root.
        const auto facts = AdoptionService::facts(mounted + u"/"_qs, AdoptionService::productionVerify);
        QCOMPARE(facts.canonicalURL, mounted);
        QVERIFY(facts.signatureValid && facts.notarized && facts.plist);
        QVERIFY(!facts.writable && !facts.parentWritable);
    }

    void factsOfAnOrdinaryFolder()
    {
        const QString home = m_home.home();
        QVERIFY(FileSystem::makeDirectories(home + u"/a"_qs));
        QVERIFY(!AdoptionService::volumeIsExcluded(home + u"/a"_qs));
        QVERIFY(AdoptionService::volumeIsExcluded(home + u"/missing/Mazzle.app"_qs));

        const AdoptionCandidateFacts facts = AdoptionService::facts(home + u"/a"_qs, [](const QString &) {
            return AdoptionService::Verification {false, true};
        });
        // A notarization without a signature is not passed on.
        QVERIFY(!facts.signatureValid && !facts.notarized);
        QVERIFY(!facts.plist);
    }
};

QTEST_GUILESS_MAIN(AdoptionServiceTest)
#include "AdoptionServiceTest.moc"

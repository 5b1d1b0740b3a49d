#include <copies/AdoptionModel.h>
#include <copies/AdoptionService.h>
#include <copies/LibraryScanner.h>

#include <platform/DiskImage.h>
#include <platform/FileSystem.h>
#include <platform/HostSystem.h>
#include <platform/Paths.h>
#include <platform/Workspace.h>

#include <support/BundleBuilder.h>
#include <support/TestHome.h>

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <sys/statvfs.h>

using namespace vantry;
using test::BundleBuilder;

namespace {

const QString mazzleId = u"com.example.mazzle"_qs;

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

const AdoptionReport::Candidate *candidate(const AdoptionReport &report, const QString &path)
{
    for (const auto &found : report.candidates) {
        if (found.canonicalURL == path)
            return &found;
    }
    return nullptr;
}

std::optional<AdoptionExclusion> exclusionOf(const AdoptionReport &report, const QString &path)
{
    const auto *found = candidate(report, path);
    if (const auto *excluded = found ? std::get_if<AdoptionExclusion>(&found->disposition) : nullptr)
        return *excluded;
    return std::nullopt;
}

// The refusal's text, "adoptable", or why there is no verdict.
QString verdictOf(const AdoptionReport &report, const QString &path)
{
    const auto *found = candidate(report, path);
    if (!found)
        return u"no candidate"_qs;
    const auto *verdict = std::get_if<AdoptionVerdict>(&found->disposition);
    if (!verdict)
        return u"excluded"_qs;
    if (const auto *refusal = std::get_if<AdoptionRefusal>(verdict))
        return refusal->userFacingDescription();
    return u"adoptable"_qs;
}

bool mountedReadOnly(const QString &path)
{
    struct statvfs volume {
    };
    return ::statvfs(QFile::encodeName(path).constData(), &volume) == 0 && (volume.f_flag & ST_RDONLY);
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

    void theRegistryFindsBundlesByIdentifierTwoLevelsDown()
    {
        const QString home = m_home.home();
        const QString applications = built(game().setSigning(BundleBuilder::Signing::none), home + u"/Applications"_qs);
        const QString managed = built(game().setSigning(BundleBuilder::Signing::none), Paths::managedGamesDirectory());
        const QString shelf = built(game().setSigning(BundleBuilder::Signing::none), home + u"/Games/Shelf"_qs);
        const QString tooDeep = built(game().setSigning(BundleBuilder::Signing::none), home + u"/Games/a/b"_qs);
        const QString other = built(BundleBuilder(u"Other"_qs).setSigning(BundleBuilder::Signing::none),
                                    home + u"/Applications"_qs);
        QVERIFY(!applications.isEmpty() && !managed.isEmpty() && !shelf.isEmpty() && !tooDeep.isEmpty() &&
                !other.isEmpty());
        const QString link = home + u"/Games/Link.app"_qs;
        QVERIFY(QFile::link(applications, link));
        // A plain file named like a bundle, and a bundle whose property list is not one.
        QVERIFY(FileSystem::writeNewFile(home + u"/Games/Fake.app"_qs, "x", 0644));
        QVERIFY(FileSystem::makeDirectories(home + u"/Games/Broken.app/Contents"_qs));
        QVERIFY(FileSystem::writeNewFile(home + u"/Games/Broken.app/Contents/Info.plist"_qs, "<plist>", 0644));
        QVERIFY(test::plantHostileInfoPlists(home + u"/Games"_qs));

        QCOMPARE(AdoptionService::registeredURLs(mazzleId), (QStringList {applications, managed, link, shelf}));
        QCOMPARE(AdoptionService::registeredURLs(u"com.example.nothing"_qs), QStringList {});
        // One level: the bundle in a sub-folder is out of reach.
        QCOMPARE(Workspace::applicationURLs(mazzleId, {{home + u"/Games/"_qs, 1}}), QStringList {link});
    }

    void theRegistryReportIsJudgedPathByPath()
    {
        const QString home = m_home.home();
        const QString applications = built(game("41"), home + u"/Applications"_qs);
        const QString managed = built(game("42"), Paths::managedGamesDirectory());
        const QString shelf = built(game("43").setSigning(BundleBuilder::Signing::signedOnly), home + u"/Games/Shelf"_qs);
        QVERIFY(!applications.isEmpty() && !managed.isEmpty() && !shelf.isEmpty());
        QVERIFY(QFile::link(applications, home + u"/Games/Link.app"_qs));

        RecordingVerify recorder;
        const AdoptionReport report = assess(AdoptionService::registeredURLs(mazzleId), 41, recorder.verify());

        QCOMPARE(report.bundleId, mazzleId);
        // The link reaches the same bundle: one candidate, checked once; the managed copy is never checked.
        QCOMPARE(recorder.asked, (QStringList {applications, shelf}));
        QCOMPARE(report.candidates.size(), 3);
        QCOMPARE(report.candidates.at(0).canonicalURL, applications);
        QCOMPARE(report.candidates.at(1).canonicalURL, managed);
        QCOMPARE(report.candidates.at(2).canonicalURL, shelf);
        QCOMPARE(verdictOf(report, applications), u"adoptable"_qs);
        QCOMPARE(exclusionOf(report, managed), AdoptionExclusion::managedInstall);
        QCOMPARE(verdictOf(report, shelf), u"it is no longer notarized"_qs);
        const AdoptableCopy expected {applications, 41, u"1.0"_qs, true, true};
        QCOMPARE(report.selection, expected);
        QCOMPARE(report.adoptableCopies(), QList {expected});

        // The managed copy is in the report and in the folder: it counts once.
        const auto sightings = LibraryScanner::sightingsForCounting();
        QVERIFY(sightings && sightings->size() == 1);
        QCOMPARE(AdoptionModel::dataSharingCopyCount(report, sightings), std::optional<qsizetype>(3));
    }

    void stagingTranslocationAndTheManagedFolderAreNotAssessed()
    {
        const QString home = m_home.home();
        const QString scratch = m_home.scratch(u"elsewhere"_qs);
        // Each of these is a real, adoptable bundle: only its place excludes it.
        const QString staged = built(game(), Paths::stagingDirectory() + u"/job"_qs);
        const QString besideTarget = built(game(), scratch + u"/Games/.vantry-staging/1"_qs);
        const QString translocated = built(game(), scratch + u"/AppTranslocation/ABCD/d"_qs);
        const QString managed = built(game(), Paths::managedGamesDirectory());
        const QString adoptable = built(game(), scratch + u"/Apps"_qs);
        QVERIFY(!staged.isEmpty() && !besideTarget.isEmpty() && !translocated.isEmpty() && !managed.isEmpty() &&
                !adoptable.isEmpty());
        // A staging-like name that is not a whole component does not exclude.
        const QString lookalike = built(game(), scratch + u"/my.vantry-staging-notes"_qs);
        QVERIFY(!lookalike.isEmpty());

        RecordingVerify recorder;
        const AdoptionReport report = assess({translocated, staged + u"/"_qs, besideTarget, managed, adoptable,
                                              lookalike, adoptable + u"/Contents/.."_qs},
                                             0, recorder.verify());
        QCOMPARE(recorder.asked, (QStringList {adoptable, lookalike}));
        QCOMPARE(report.candidates.size(), 6);
        // Inside the managed folder, but the staging rule comes first.
        QCOMPARE(exclusionOf(report, staged), AdoptionExclusion::staging);
        QCOMPARE(exclusionOf(report, besideTarget), AdoptionExclusion::staging);
        QCOMPARE(exclusionOf(report, translocated), AdoptionExclusion::appTranslocation);
        QCOMPARE(exclusionOf(report, managed), AdoptionExclusion::managedInstall);
        QCOMPARE(verdictOf(report, lookalike), u"adoptable"_qs);
        // Sorted by canonical path whatever the registry's order.
        for (qsizetype i = 1; i < report.candidates.size(); ++i)
            QVERIFY(report.candidates.at(i - 1).canonicalURL < report.candidates.at(i).canonicalURL);
        // Two adoptable copies of build 41: the smaller path is preferred.
        QCOMPARE(report.selection->canonicalURL, std::min(adoptable, lookalike));

        // Staging and translocated copies are views of another copy: the managed one and the two
        // adoptable ones count.
        QCOMPARE(AdoptionModel::dataSharingCopyCount(report, QList<DataSighting> {}), std::optional<qsizetype>(3));
        QCOMPARE(AdoptionModel::dataSharingCopyCount(report, std::nullopt), std::nullopt);
    }

    void realBundlesAreRefusedInOrder()
    {
        const QString folder = m_home.scratch(u"refusals"_qs);
        const SystemVersion os = AdoptionService::runningSystemVersion();
        QVERIFY(os.major >= 2);
        const QString running = os.toString();
        const QString above = QString::number(os.major) + u'.' + QString::number(os.minor + 1);

        const QString unsignedOther =
            built(game().setSigning(BundleBuilder::Signing::none).setBundleIdentifier(u"com.example.other"_qs),
                  folder + u"/unsigned-other"_qs);
        const QString signedOnly = built(game().setSigning(BundleBuilder::Signing::signedOnly), folder + u"/signed"_qs);
        const QString other = built(game().setBundleIdentifier(u"com.example.other"_qs), folder + u"/other"_qs);
        const QString build40 = built(game("40"), folder + u"/b40"_qs);
        const QString build41 = built(game("41"), folder + u"/b41"_qs);
        const QString needsMore = built(game("41").setMinimumSystemVersion(above), folder + u"/above"_qs);
        const QString needsThis = built(game("41").setMinimumSystemVersion(running), folder + u"/exact"_qs);
        const QString tampered = built(game("41"), folder + u"/tampered"_qs);
        const QString badVersion = built(game("4.1"), folder + u"/version"_qs);
        const QStringList all {unsignedOther, signedOnly, other, build40, build41, needsMore, needsThis, tampered,
                               badVersion};
        QVERIFY(!all.contains(QString()));
        // Changed after signing: the signature no longer covers what is on disk.
        QFile readme(tampered + u"/Contents/Resources/readme.txt"_qs);
        QVERIFY(readme.open(QIODevice::Append) && readme.write("cheat\n") == 6);
        readme.close();

        RecordingVerify recorder;
        const AdoptionReport report = assess(all, 41, recorder.verify(), os);
        QCOMPARE(verdictOf(report, unsignedOther), u"its Developer ID signature is no longer valid"_qs);
        QCOMPARE(verdictOf(report, signedOnly), u"it is no longer notarized"_qs);
        QCOMPARE(verdictOf(report, other), u"it now identifies as a different app (com.example.other)"_qs);
        QCOMPARE(verdictOf(report, build40), u"it is build 40, older than build 41 already accepted"_qs);
        QCOMPARE(verdictOf(report, build41), u"adoptable"_qs);
        QCOMPARE(verdictOf(report, needsMore), u"it now requires glibc "_qs + above);
        QCOMPARE(HostSystem::name(), u"glibc"_qs);
        QCOMPARE(verdictOf(report, needsThis), u"adoptable"_qs);
        QCOMPARE(verdictOf(report, tampered), u"its Developer ID signature is no longer valid"_qs);
        QCOMPARE(verdictOf(report, badVersion), u"its version can no longer be read"_qs);

        // Everything but the other game's bundle shares the game's data.
        QCOMPARE(AdoptionModel::dataSharingCopyCount(report, QList<DataSighting> {}),
                 std::optional<qsizetype>(all.size() - 1));
    }

    void aCopyOnAMountedImageIsExcludedButCounted()
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
        QVERIFY(mountedReadOnly(mountPoint));

        const QString mounted = mountPoint + u"/Mazzle Volume/Mazzle.app"_qs;
        const QString mountedTranslocated = mountPoint + u"/Mazzle Volume/AppTranslocation/X/Mazzle.app"_qs;
        QVERIFY(AdoptionService::productionVerify(mounted).notarized);
        QVERIFY(AdoptionService::volumeIsExcluded(mounted));

        RecordingVerify recorder;
        const AdoptionReport report = assess({mounted, mountedTranslocated}, 0, recorder.verify());
        QVERIFY(recorder.asked.isEmpty());
        QCOMPARE(exclusionOf(report, mounted), AdoptionExclusion::readOnlyOrRemovableVolume);
        QCOMPARE(exclusionOf(report, mountedTranslocated), AdoptionExclusion::appTranslocation);
        QCOMPARE(report.selection, std::nullopt);
        QCOMPARE(AdoptionModel::dataSharingCopyCount(report, QList<DataSighting> {}), std::optional<qsizetype>(1));

        // Launching checks the facts again: nothing on the image can be written, not even by root.
        const AdoptionCandidateFacts facts = AdoptionService::facts(mounted + u"/"_qs, AdoptionService::productionVerify);
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
        QVERIFY(facts.writable && facts.parentWritable);
    }

    void theBackgroundAssessmentSeesWhatTheRegistrySees()
    {
        const QString applications = built(game("41"), m_home.home() + u"/Applications"_qs);
        const QString managed = built(game("40"), Paths::managedGamesDirectory());
        QVERIFY(!applications.isEmpty() && !managed.isEmpty());
        const AdoptionReport report = QCoro::waitFor(AdoptionService::assessOffMain(mazzle(), 41));
        QCOMPARE(report, assess({applications, managed}, 41, AdoptionService::productionVerify));
        QCOMPARE(report.selection->canonicalURL, applications);
    }
};

QTEST_GUILESS_MAIN(AdoptionServiceTest)
#include "AdoptionServiceTest.moc"

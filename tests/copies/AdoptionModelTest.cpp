#include <copies/AdoptionModel.h>

#include <copies/AdoptionReport.h>

#include "InfoPlist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace vantry;

namespace {

using Origin = InstallCopy::Origin;

const QString bundleId = u"com.example.mazzle"_qs;

InstallCopy copy(const char *path, qint64 build, Origin origin, bool writable = true, bool parentWritable = true)
{
    return InstallCopy {QString::fromUtf8(path), {bundleId, build, QString::number(build)}, origin, writable,
                        parentWritable};
}

AdoptableCopy adoptable(const char *path, qint64 build, bool writable = true, bool parentWritable = true)
{
    return AdoptableCopy {QString::fromUtf8(path), build, QString::number(build), writable, parentWritable};
}

InstalledApp managedApp(const char *url, qint64 build)
{
    return InstalledApp {QString::fromUtf8(url), {bundleId, build, QString::number(build)}};
}

Catalog::Entry entry(const char *minimum = "13.0")
{
    Catalog::Entry game;
    game.id = u"mazzle"_qs;
    game.bundleId = bundleId;
    game.minSystemVersion = QString::fromUtf8(minimum);
    game.released = true;
    return game;
}

PlistValue info(const char *identifier, const char *build, const char *shortVersion = "4.1",
                std::optional<PlistValue> minimum = std::nullopt)
{
    return test::infoPlist(identifier, build, shortVersion, std::move(minimum));
}

AdoptionCandidateFacts facts(std::optional<PlistValue> plist, bool signatureValid = true, bool notarized = true)
{
    return AdoptionCandidateFacts {u"/Applications/Mazzle.app"_qs, std::move(plist), signatureValid, notarized, true,
                                   false};
}

SystemVersion version(const char *text) { return *VersionCompare::parseSystemVersion(QString::fromUtf8(text)); }

// Every field, so that a failed comparison says what differed.
QString describe(const AdoptionVerdict &verdict)
{
    if (const auto *copy = std::get_if<AdoptableCopy>(&verdict))
        return u"adoptable %1 %2 %3 %4 %5"_qs.arg(copy->canonicalURL, QString::number(copy->version),
                                                 copy->shortVersion, QString::number(copy->writable),
                                                 QString::number(copy->parentWritable));
    const auto &refusal = std::get<AdoptionRefusal>(verdict);
    return u"refused %1: %2"_qs.arg(int(refusal.discriminator())).arg(refusal.userFacingDescription());
}

AdoptionReport::Candidate excluded(const char *path, AdoptionExclusion why)
{
    return {QString::fromUtf8(path), why};
}

AdoptionReport::Candidate assessed(const char *path, AdoptionVerdict verdict)
{
    return {QString::fromUtf8(path), std::move(verdict)};
}

} // namespace

class AdoptionModelTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void canonicalOfPlainPaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::newRow("trailing slash") << u"/nonexistent-vantry/X.app/"_qs << u"/nonexistent-vantry/X.app"_qs;
        QTest::newRow("dot") << u"/nonexistent-vantry/./X.app"_qs << u"/nonexistent-vantry/X.app"_qs;
        QTest::newRow("dot-dot") << u"/nonexistent-vantry/a/../X.app"_qs << u"/nonexistent-vantry/X.app"_qs;
        QTest::newRow("doubled slashes") << u"/nonexistent-vantry//X.app//"_qs << u"/nonexistent-vantry/X.app"_qs;
        QTest::newRow("root") << u"/"_qs << u"/"_qs;
        QTest::newRow("root, doubled") << u"//"_qs << u"/"_qs;
        QTest::newRow("root, dotted") << u"/."_qs << u"/"_qs;
    }

    void canonicalOfPlainPaths()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QCOMPARE(AdoptionModel::canonical(path), expected);
    }

    void canonicalResolvesLinks()
    {
        QTemporaryDir temp;
        QVERIFY(temp.isValid());
        const QString root = QFileInfo(temp.path()).canonicalFilePath();
        QVERIFY(QDir().mkpath(root + u"/deep/real/Game.app"_qs));
        QVERIFY(QFile::link(root + u"/deep/real"_qs, root + u"/link"_qs));

        QCOMPARE(AdoptionModel::canonical(root + u"/link/Game.app/"_qs), root + u"/deep/real/Game.app"_qs);
        // A copy that is gone still has a canonical path: links resolve as far as the path exists.
        QCOMPARE(AdoptionModel::canonical(root + u"/link/Gone.app"_qs), root + u"/deep/real/Gone.app"_qs);
        QCOMPARE(AdoptionModel::canonical(root + u"/link/gone/../Gone.app"_qs), root + u"/deep/real/Gone.app"_qs);
        // Links are resolved before ".." is taken away, so ".." leaves the link's target.
        QCOMPARE(AdoptionModel::canonical(root + u"/link/.."_qs), root + u"/deep"_qs);
    }

    void resolve_data()
    {
        QTest::addColumn<std::optional<InstalledApp>>("managed");
        QTest::addColumn<QList<AdoptableCopy>>("found");
        QTest::addColumn<QList<InstallCopy>>("copies");
        QTest::addColumn<int>("current");

        QTest::newRow("adopted higher build wins")
            << std::optional(managedApp("/nonexistent-vantry/Vantry/Mazzle.app", 5))
            << QList {adoptable("/Applications/Mazzle.app", 7)}
            << QList {copy("/Applications/Mazzle.app", 7, Origin::adopted),
                      copy("/nonexistent-vantry/Vantry/Mazzle.app", 5, Origin::managed)}
            << 0;
        QTest::newRow("managed wins equal builds whatever the paths")
            << std::optional(managedApp("/nonexistent-vantry/Vantry/Mazzle.app", 7))
            << QList {adoptable("/Applications/Mazzle.app", 7)}
            << QList {copy("/Applications/Mazzle.app", 7, Origin::adopted),
                      copy("/nonexistent-vantry/Vantry/Mazzle.app", 7, Origin::managed)}
            << 1;
        QTest::newRow("smaller path among adopted equals")
            << std::optional<InstalledApp>()
            << QList {adoptable("/Users/a/Games/Mazzle.app", 7), adoptable("/Applications/Mazzle.app", 7)}
            << QList {copy("/Applications/Mazzle.app", 7, Origin::adopted),
                      copy("/Users/a/Games/Mazzle.app", 7, Origin::adopted)}
            << 0;
        QTest::newRow("highest build even when last")
            << std::optional<InstalledApp>()
            << QList {adoptable("/c/Mazzle.app", 3), adoptable("/a/Mazzle.app", 2), adoptable("/b/Mazzle.app", 4)}
            << QList {copy("/a/Mazzle.app", 2, Origin::adopted), copy("/b/Mazzle.app", 4, Origin::adopted),
                      copy("/c/Mazzle.app", 3, Origin::adopted)}
            << 1;
        QTest::newRow("path shared with the managed copy is listed once, as managed")
            << std::optional(managedApp("/nonexistent-vantry/Vantry/./Mazzle.app/", 4))
            << QList {adoptable("/nonexistent-vantry/Vantry/Mazzle.app", 9, false, false)}
            << QList {copy("/nonexistent-vantry/Vantry/Mazzle.app", 4, Origin::managed)}
            << 0;
        QTest::newRow("repeated adoptable path counts once")
            << std::optional<InstalledApp>()
            << QList {adoptable("/Applications/Mazzle.app", 2, false, true),
                      adoptable("/Applications/Mazzle.app", 8)}
            << QList {copy("/Applications/Mazzle.app", 2, Origin::adopted, false, true)}
            << 0;
    }

    void resolve()
    {
        QFETCH(std::optional<InstalledApp>, managed);
        QFETCH(QList<AdoptableCopy>, found);
        QFETCH(QList<InstallCopy>, copies);
        QFETCH(int, current);
        const auto resolution = AdoptionModel::resolve(bundleId, managed, found);
        QVERIFY(resolution.has_value());
        QCOMPARE(resolution->copies, copies);
        QCOMPARE(resolution->current, copies.at(current));
    }

    void resolveWithoutCopies()
    {
        QCOMPARE(AdoptionModel::resolve(bundleId, std::nullopt, {}), std::nullopt);
    }

    void adoptedObservationTakesTheGivenIdentifier()
    {
        const auto resolution =
            AdoptionModel::resolve(u"com.example.other"_qs, std::nullopt, {adoptable("/Applications/O.app", 3)});
        QVERIFY(resolution.has_value());
        QCOMPARE(resolution->current.observation.bundleId, u"com.example.other"_qs);
    }
    void assess_data()
    {
        QTest::addColumn<AdoptionCandidateFacts>("facts");
        QTest::addColumn<qint64>("mark");
        QTest::addColumn<QString>("entryMinimum");
        QTest::addColumn<QString>("os");
        QTest::addColumn<AdoptionVerdict>("expected");

        const auto mazzle = [](const char *build, std::optional<PlistValue> minimum = std::nullopt) {
            return info("com.example.mazzle", build, "4.1", std::move(minimum));
        };
        const AdoptionVerdict adopted41 = AdoptableCopy {u"/Applications/Mazzle.app"_qs, 41, u"4.1"_qs, true, false};

        QTest::newRow("unsigned comes before the wrong identity")
            << facts(info("com.example.other", "41"), false, false) << qint64(41) << u"13.0"_qs << u"14.0"_qs
            << AdoptionVerdict(AdoptionRefusal::signatureInvalid());
        QTest::newRow("a notarization without a signature is no signature")
            << facts(mazzle("41"), false, true) << qint64(41) << u"13.0"_qs << u"14.0"_qs
            << AdoptionVerdict(AdoptionRefusal::signatureInvalid());
        QTest::newRow("not notarized comes before the wrong identity")
            << facts(info("com.example.other", "41"), true, false) << qint64(41) << u"13.0"_qs << u"14.0"_qs
            << AdoptionVerdict(AdoptionRefusal::notNotarized());
        QTest::newRow("no property list") << facts(std::nullopt) << qint64(0) << u"13.0"_qs << u"14.0"_qs
                                          << AdoptionVerdict(AdoptionRefusal::identityMismatch(std::nullopt));
        QTest::newRow("empty property list") << facts(PlistValue()) << qint64(0) << u"13.0"_qs << u"14.0"_qs
                                             << AdoptionVerdict(AdoptionRefusal::identityMismatch(std::nullopt));
        QTest::newRow("identifier that is not text")
            << facts(PlistValue(PlistValue::Dictionary {{u"CFBundleIdentifier"_qs, 7}, {u"CFBundleVersion"_qs, "41"}}))
            << qint64(0) << u"13.0"_qs << u"14.0"_qs << AdoptionVerdict(AdoptionRefusal::identityMismatch(std::nullopt));
        QTest::newRow("another game's identifier")
            << facts(info("com.example.other", nullptr)) << qint64(0) << u"13.0"_qs << u"14.0"_qs
            << AdoptionVerdict(AdoptionRefusal::identityMismatch(u"com.example.other"_qs));
        QTest::newRow("identifier differing in case")
            << facts(info("com.example.Mazzle", "41")) << qint64(0) << u"13.0"_qs << u"14.0"_qs
            << AdoptionVerdict(AdoptionRefusal::identityMismatch(u"com.example.Mazzle"_qs));
        QTest::newRow("build that is not a number, below the mark")
            << facts(mazzle(" 41")) << qint64(99) << u"13.0"_qs << u"14.0"_qs
            << AdoptionVerdict(AdoptionRefusal::versionUnreadable());
        QTest::newRow("build that is not text")
            << facts(PlistValue(PlistValue::Dictionary {{u"CFBundleIdentifier"_qs, "com.example.mazzle"},
                                                        {u"CFBundleVersion"_qs, 41},
                                                        {u"CFBundleShortVersionString"_qs, "4.1"}}))
            << qint64(0) << u"13.0"_qs << u"14.0"_qs << AdoptionVerdict(AdoptionRefusal::versionUnreadable());
        QTest::newRow("no short version")
            << facts(info("com.example.mazzle", "41", nullptr)) << qint64(0) << u"13.0"_qs << u"14.0"_qs
            << AdoptionVerdict(AdoptionRefusal::versionUnreadable());
        QTest::newRow("build 40 under mark 41, before the system floor")
            << facts(mazzle("40", "99.0")) << qint64(41) << u"13.0"_qs << u"14.0"_qs
            << AdoptionVerdict(AdoptionRefusal::belowHighWaterMark(40, 41));
        QTest::newRow("build 41 at mark 41") << facts(mazzle("41")) << qint64(41) << u"13.0"_qs << u"14.0"_qs
                                             << adopted41;
        QTest::newRow("signed build with a plus") << facts(mazzle("+41")) << qint64(-5) << u"13.0"_qs << u"13.0"_qs
                                                  << adopted41;
        QTest::newRow("bundle floor above the running system")
            << facts(mazzle("41", "15.0")) << qint64(41) << u"13.0"_qs << u"14.5"_qs
            << AdoptionVerdict(AdoptionRefusal::systemFloorNotMet(u"15.0"_qs));
        QTest::newRow("bundle floor met exactly") << facts(mazzle("41", "15.0")) << qint64(41) << u"13.0"_qs
                                                  << u"15.0"_qs << adopted41;
        QTest::newRow("entry floor above a lower bundle floor")
            << facts(mazzle("41", "12.0")) << qint64(41) << u"13.0"_qs << u"12.5"_qs
            << AdoptionVerdict(AdoptionRefusal::systemFloorNotMet(u"13.0"_qs));
        QTest::newRow("unreadable bundle floor leaves the entry's")
            << facts(mazzle("41", "fifteen")) << qint64(41) << u"13.0"_qs << u"13.1"_qs << adopted41;
        QTest::newRow("bundle floor that is not text is ignored")
            << facts(mazzle("41", PlistValue(99))) << qint64(41) << u"13.0"_qs << u"13.0"_qs << adopted41;
        QTest::newRow("unreadable entry floor is never met")
            << facts(mazzle("41", "1.0")) << qint64(41) << u"13.x"_qs << u"99.0"_qs
            << AdoptionVerdict(AdoptionRefusal::systemFloorNotMet(u"13.x"_qs));
    }

    void assess()
    {
        QFETCH(AdoptionCandidateFacts, facts);
        QFETCH(qint64, mark);
        QFETCH(QString, entryMinimum);
        QFETCH(QString, os);
        QFETCH(AdoptionVerdict, expected);
        const AdoptionVerdict verdict =
            AdoptionModel::assess(entry(entryMinimum.toUtf8().constData()), facts, mark, version(os.toUtf8().constData()));
        QCOMPARE(describe(verdict), describe(expected));
        QVERIFY(verdict == expected);
    }

    void refusalTexts_data()
    {
        QTest::addColumn<AdoptionVerdict>("refusal");
        QTest::addColumn<QString>("text");
        QTest::newRow("identity") << AdoptionVerdict(AdoptionRefusal::identityMismatch(u"com.example.other"_qs))
                                  << u"it now identifies as a different app (com.example.other)"_qs;
        QTest::newRow("no identity") << AdoptionVerdict(AdoptionRefusal::identityMismatch(std::nullopt))
                                     << u"it now identifies as a different app (no bundle identifier)"_qs;
        QTest::newRow("mark") << AdoptionVerdict(AdoptionRefusal::belowHighWaterMark(40, 41))
                              << u"it is build 40, older than build 41 already accepted"_qs;
        QTest::newRow("negative build") << AdoptionVerdict(AdoptionRefusal::belowHighWaterMark(-3, 9000000000))
                                        << u"it is build -3, older than build 9000000000 already accepted"_qs;
        QTest::newRow("floor") << AdoptionVerdict(AdoptionRefusal::systemFloorNotMet(u"2.38"_qs))
                               << u"it now requires glibc 2.38"_qs;
        QTest::newRow("signature") << AdoptionVerdict(AdoptionRefusal::signatureInvalid())
                                   << u"its Developer ID signature is no longer valid"_qs;
        QTest::newRow("notarization") << AdoptionVerdict(AdoptionRefusal::notNotarized())
                                      << u"it is no longer notarized"_qs;
        QTest::newRow("version") << AdoptionVerdict(AdoptionRefusal::versionUnreadable())
                                 << u"its version can no longer be read"_qs;
    }

    void refusalTexts()
    {
        QFETCH(AdoptionVerdict, refusal);
        QFETCH(QString, text);
        QCOMPARE(std::get<AdoptionRefusal>(refusal).userFacingDescription(), text);
    }

    void select()
    {
        QCOMPARE(AdoptionModel::select({}), std::nullopt);
        const AdoptableCopy games = adoptable("/home/a/Games/Mazzle.app", 12);
        const AdoptableCopy applications = adoptable("/Applications/Mazzle.app", 12);
        const AdoptableCopy older = adoptable("/Applications/Aazzle.app", 11);
        const AdoptableCopy newer = adoptable("/opt/z/Mazzle.app", 13);
        QCOMPARE(AdoptionModel::select({games, applications}), applications);
        QCOMPARE(AdoptionModel::select({older, games, applications}), applications);
        QCOMPARE(AdoptionModel::select({games, newer, applications, older}), newer);
        QCOMPARE(AdoptionModel::select({older}), older);
    }

    void dataSharingCopyCount()
    {
        AdoptionReport report;
        report.bundleId = bundleId;
        report.candidates = {
            excluded("/nonexistent-vantry/Vantry/Mazzle.app", AdoptionExclusion::managedInstall),
            excluded("/nonexistent-vantry/stage/Mazzle.app", AdoptionExclusion::staging),
            excluded("/private/AppTranslocation/X/Mazzle.app", AdoptionExclusion::appTranslocation),
            excluded("/media/image/Mazzle.app", AdoptionExclusion::readOnlyOrRemovableVolume),
            assessed("/Applications/Mazzle.app", adoptable("/Applications/Mazzle.app", 4)),
            assessed("/opt/old/Mazzle.app", AdoptionRefusal::belowHighWaterMark(1, 4)),
            assessed("/opt/unsigned/Mazzle.app", AdoptionRefusal::signatureInvalid()),
            assessed("/opt/other/Other.app", AdoptionRefusal::identityMismatch(u"com.example.other"_qs)),
            assessed("/opt/none/None.app", AdoptionRefusal::identityMismatch(std::nullopt)),
        };
        QCOMPARE(AdoptionModel::dataSharingCopyCount(report, std::nullopt), std::nullopt);
        QCOMPARE(AdoptionModel::dataSharingCopyCount(report, QList<DataSighting> {}), std::optional<qsizetype>(5));

        // The managed copy seen in its folder again, spelled differently; a second managed bundle of the
        // game; a bundle of another game.
        const QList<DataSighting> sightings {
            {u"/nonexistent-vantry/Vantry/./Mazzle.app/"_qs, bundleId},
            {u"/nonexistent-vantry/Vantry/Mazzle 2.app"_qs, bundleId},
            {u"/nonexistent-vantry/Vantry/Other.app"_qs, u"com.example.other"_qs},
        };
        QCOMPARE(AdoptionModel::dataSharingCopyCount(report, sightings), std::optional<qsizetype>(6));

        AdoptionReport empty;
        empty.bundleId = bundleId;
        QCOMPARE(AdoptionModel::dataSharingCopyCount(empty, sightings), std::optional<qsizetype>(2));
        QCOMPARE(AdoptionModel::dataSharingCopyCount(empty, std::nullopt), std::nullopt);
    }

    void adoptableCopiesKeepCandidateOrder()
    {
        AdoptionReport report;
        report.candidates = {
            assessed("/a/Mazzle.app", adoptable("/a/Mazzle.app", 2)),
            excluded("/b/Mazzle.app", AdoptionExclusion::readOnlyOrRemovableVolume),
            assessed("/c/Mazzle.app", AdoptionRefusal::notNotarized()),
            assessed("/d/Mazzle.app", adoptable("/d/Mazzle.app", 9)),
        };
        QCOMPARE(report.adoptableCopies(), (QList {adoptable("/a/Mazzle.app", 2), adoptable("/d/Mazzle.app", 9)}));
    }
};

QTEST_GUILESS_MAIN(AdoptionModelTest)
#include "AdoptionModelTest.moc"

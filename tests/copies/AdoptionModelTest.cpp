#include <copies/AdoptionModel.h>

#include <copies/AdoptionReport.h>

#include <support/InfoPlist.h>

#include <QTest>

using namespace vantry;

namespace {

using Origin = InstallCopy::Origin;
using Refusal = AdoptionRefusal;

const QString bundleId = u"com.example.mazzle"_qs;

InstallCopy copy(const char *path, qint64 build, Origin origin, bool writable = true, bool parentWritable = true)
{
    return {QString::fromUtf8(path), {bundleId, build, QString::number(build)}, origin, writable, parentWritable};
}

AdoptableCopy adoptable(const char *path, qint64 build, bool writable = true, bool parentWritable = true)
{
    return {QString::fromUtf8(path), build, QString::number(build), writable, parentWritable};
}

std::optional<InstalledApp> managedApp(const char *url, qint64 build)
{
    return InstalledApp {QString::fromUtf8(url), {bundleId, build, QString::number(build)}};
}

PlistValue mazzle(const char *build, std::optional<PlistValue> minimum = std::nullopt)
{
    return test::infoPlist("com.example.mazzle", build, "4.1", std::move(minimum));
}

AdoptionCandidateFacts facts(std::optional<PlistValue> plist, bool signatureValid = true, bool notarized = true)
{
    return {u"/Applications/Mazzle.app"_qs, std::move(plist), signatureValid, notarized, true, false};
}

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

AdoptionReport::Candidate excluded(const char *path, AdoptionExclusion why) { return {QString::fromUtf8(path), why}; }

AdoptionReport::Candidate assessed(const char *path, AdoptionVerdict verdict)
{
    return {QString::fromUtf8(path), std::move(verdict)};
}

} // namespace

class AdoptionModelTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void resolve_data()
    {
        QTest::addColumn<std::optional<InstalledApp>>("managed");
        QTest::addColumn<QList<AdoptableCopy>>("found");
        QTest::addColumn<QList<InstallCopy>>("copies");
        QTest::addColumn<int>("current"); // -1: no resolution
        const char *vantry = "/nonexistent-vantry/Vantry/Mazzle.app";
        const char *applications = "/Applications/Mazzle.app";

        QTest::newRow("a higher adopted build wins") << managedApp(vantry, 5) << QList {adoptable(applications, 7)}
            << QList {copy(applications, 7, Origin::adopted), copy(vantry, 5, Origin::managed)} << 0;
        QTest::newRow("managed wins equal builds whatever the paths") << managedApp(vantry, 7)
            << QList {adoptable(applications, 7)}
            << QList {copy(applications, 7, Origin::adopted), copy(vantry, 7, Origin::managed)} << 1;
        QTest::newRow("the smaller path among adopted equals") << std::optional<InstalledApp>()
            << QList {adoptable("/Users/a/Games/Mazzle.app", 7), adoptable(applications, 7)}
            << QList {copy(applications, 7, Origin::adopted), copy("/Users/a/Games/Mazzle.app", 7, Origin::adopted)}
            << 0;
        QTest::newRow("the highest build even when last") << std::optional<InstalledApp>()
            << QList {adoptable("/c/M.app", 3), adoptable("/a/M.app", 2), adoptable("/b/M.app", 4)}
            << QList {copy("/a/M.app", 2, Origin::adopted), copy("/b/M.app", 4, Origin::adopted),
                      copy("/c/M.app", 3, Origin::adopted)}
            << 1;
        QTest::newRow("a path shared with the managed copy is listed once, as managed")
            << managedApp("/nonexistent-vantry/Vantry/./Mazzle.app/", 4) << QList {adoptable(vantry, 9, false, false)}
            << QList {copy(vantry, 4, Origin::managed)} << 0;
        QTest::newRow("a repeated path counts once") << std::optional<InstalledApp>()
            << QList {adoptable(applications, 2, false, true), adoptable(applications, 8)}
            << QList {copy(applications, 2, Origin::adopted, false, true)} << 0;
        QTest::newRow("no copy") << std::optional<InstalledApp>() << QList<AdoptableCopy>() << QList<InstallCopy>()
                                 << -1;
    }

    void resolve()
    {
        QFETCH(std::optional<InstalledApp>, managed);
        QFETCH(QList<AdoptableCopy>, found);
        QFETCH(QList<InstallCopy>, copies);
        QFETCH(int, current);
        const auto resolution = AdoptionModel::resolve(bundleId, managed, found);
        QCOMPARE(resolution.has_value(), current >= 0);
        if (resolution)
            QCOMPARE(*resolution, (InstallResolution {copies.at(current), copies}));
    }

    void assess_data()
    {
        QTest::addColumn<AdoptionCandidateFacts>("facts");
        QTest::addColumn<AdoptionVerdict>("expected");
        QTest::addColumn<qint64>("mark");
        QTest::addColumn<QString>("os");
        QTest::addColumn<QString>("entryMinimum");
        const auto row = [](const char *name, AdoptionCandidateFacts facts, AdoptionVerdict expected, qint64 mark = 41,
                            const char *os = "14.0", const char *entryMinimum = "13.0") {
            QTest::newRow(name) << facts << expected << mark << QString::fromUtf8(os)
                                << QString::fromUtf8(entryMinimum);
        };
        const auto other = test::infoPlist("com.example.other", "41", "4.1");
        const auto dictionary = [](PlistValue identifier, PlistValue build) {
            return PlistValue(PlistValue::Dictionary {{u"CFBundleIdentifier"_qs, identifier},
                                                      {u"CFBundleVersion"_qs, build},
                                                      {u"CFBundleShortVersionString"_qs, "4.1"}});
        };
        const AdoptableCopy adopted {u"/Applications/Mazzle.app"_qs, 41, u"4.1"_qs, true, false};

        row("unsigned comes before the wrong identity", facts(other, false, false), Refusal::signatureInvalid());
        row("not notarized comes before the wrong identity", facts(other, true, false), Refusal::notNotarized());
        row("no property list", facts(std::nullopt), Refusal::identityMismatch(std::nullopt));
        row("an identifier that is not text", facts(dictionary(7, "41")), Refusal::identityMismatch(std::nullopt));
        row("an identifier differing in case, before the versions",
            facts(test::infoPlist("com.example.Mazzle", nullptr, nullptr)),
            Refusal::identityMismatch(u"com.example.Mazzle"_qs));
        row("a build that is not a number", facts(mazzle(" 41")), Refusal::versionUnreadable());
        row("a build that is not text", facts(dictionary("com.example.mazzle", 41)), Refusal::versionUnreadable());
        row("no short version", facts(test::infoPlist("com.example.mazzle", "41", nullptr)),
            Refusal::versionUnreadable());
        row("below the mark, before the floor", facts(mazzle("40", "99.0")), Refusal::belowHighWaterMark(40, 41));
        row("at the mark and on the bundle's floor exactly", facts(mazzle("41", "15.0")), adopted, 41, "15.0");
        row("the bundle's floor above the running system", facts(mazzle("41", "15.0")),
            Refusal::systemFloorNotMet(u"15.0"_qs), 41, "14.5");
        row("the entry's floor above a lower bundle floor", facts(mazzle("41", "12.0")),
            Refusal::systemFloorNotMet(u"13.0"_qs), 41, "12.5");
        row("an unreadable bundle floor leaves the entry's", facts(mazzle("41", "fifteen")), adopted, 41, "13.1");
        row("an unreadable entry floor is never met", facts(mazzle("41", "1.0")),
            Refusal::systemFloorNotMet(u"13.x"_qs), 41, "99.0", "13.x");
    }

    void assess()
    {
        QFETCH(AdoptionCandidateFacts, facts);
        QFETCH(AdoptionVerdict, expected);
        QFETCH(qint64, mark);
        QFETCH(QString, os);
        QFETCH(QString, entryMinimum);
        Catalog::Entry entry;
        entry.bundleId = bundleId;
        entry.minSystemVersion = entryMinimum;
        const AdoptionVerdict verdict =
            AdoptionModel::assess(entry, facts, mark, *VersionCompare::parseSystemVersion(os));
        QCOMPARE(describe(verdict), describe(expected));
        QVERIFY(verdict == expected);
    }

    // Builds are 64-bit in the text too.
    void refusalTextsKeepWholeBuildNumbers()
    {
        QCOMPARE(Refusal::belowHighWaterMark(-3, 9000000000).userFacingDescription(),
                 u"it is build -3, older than build 9000000000 already accepted"_qs);
    }

    void select()
    {
        const AdoptableCopy games = adoptable("/home/a/Games/Mazzle.app", 12);
        const AdoptableCopy applications = adoptable("/Applications/Mazzle.app", 12);
        const AdoptableCopy older = adoptable("/Applications/Aazzle.app", 11);
        const AdoptableCopy newer = adoptable("/opt/z/Mazzle.app", 13);
        QCOMPARE(AdoptionModel::select({}), std::nullopt);
        QCOMPARE(AdoptionModel::select({games, applications, older}), applications);
        QCOMPARE(AdoptionModel::select({games, newer, applications, older}), newer);
    }

    void whatAReportCounts()
    {
        AdoptionReport report;
        report.bundleId = bundleId;
        report.candidates = {
            excluded("/nonexistent-vantry/Vantry/Mazzle.app", AdoptionExclusion::managedInstall),
            excluded("/nonexistent-vantry/stage/Mazzle.app", AdoptionExclusion::staging),
            excluded("/private/AppTranslocation/X/Mazzle.app", AdoptionExclusion::appTranslocation),
            excluded("/media/image/Mazzle.app", AdoptionExclusion::readOnlyOrRemovableVolume),
            assessed("/opt/later/Mazzle.app", adoptable("/opt/later/Mazzle.app", 9)),
            assessed("/opt/unsigned/Mazzle.app", Refusal::signatureInvalid()),
            assessed("/opt/none/None.app", Refusal::identityMismatch(std::nullopt)),
            assessed("/Applications/Mazzle.app", adoptable("/Applications/Mazzle.app", 4)),
        };
        QCOMPARE(report.adoptableCopies(),
                 (QList {adoptable("/opt/later/Mazzle.app", 9), adoptable("/Applications/Mazzle.app", 4)}));
        QCOMPARE(AdoptionModel::dataSharingCopyCount(report, std::nullopt), std::nullopt);
        QCOMPARE(AdoptionModel::dataSharingCopyCount(report, QList<DataSighting> {}), std::optional<qsizetype>(5));

        // The managed copy seen in its folder again, spelled differently; a second managed bundle of
        // the game; a bundle of another game.
        const QList<DataSighting> sightings {
            {u"/nonexistent-vantry/Vantry/./Mazzle.app/"_qs, bundleId},
            {u"/nonexistent-vantry/Vantry/Mazzle 2.app"_qs, bundleId},
            {u"/nonexistent-vantry/Vantry/Other.app"_qs, u"com.example.other"_qs},
        };
        QCOMPARE(AdoptionModel::dataSharingCopyCount(report, sightings), std::optional<qsizetype>(6));
        report.candidates.clear();
        QCOMPARE(AdoptionModel::dataSharingCopyCount(report, sightings), std::optional<qsizetype>(2));
    }
};

QTEST_GUILESS_MAIN(AdoptionModelTest)
#include "AdoptionModelTest.moc"

#include <copies/AdoptionModel.h>

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
};

QTEST_GUILESS_MAIN(AdoptionModelTest)
#include "AdoptionModelTest.moc"
